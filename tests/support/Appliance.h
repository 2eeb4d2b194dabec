#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

#include <sys/types.h>

class ApplianceRelay;

// The appliance as the programs see it in the field: a real rsync daemon on 127.0.0.N port 873 with
// the module "backup", password-protected accounts whose passwords can change while it runs, a login
// message that every client prints before anything else, optionally a connection limit and a small
// tmpfs as the module's storage so that it can run full, and a ".zfs/snapshot" folder of read-only
// copies. It needs root (the port, the mount); skipReason() says why it cannot run elsewhere.
// Everything is stopped and removed on destruction.
class Appliance {
  public:
    struct Options {
        bool tmpfs = false;
        qint64 tmpfsBytes = 4 * 1024 * 1024;
        // "max connections": clients past it are turned away ("@ERROR: max connections (N) reached");
        // 0 for no limit.
        int maxConnections = 0;
        // The login message ("motd file"); "" for none.
        QByteArray motd = DefaultMotd;
        // The programs reach the daemon through a relay in the test process (on address(); the daemon
        // listens elsewhere), which can go silent in the middle of a transfer (goSilentAfter).
        bool relay = false;
    };
    // A FreeNAS-like greeting whose lines have words, numbers, a date and a time, as such messages do.
    static constexpr const char* DefaultMotd =
        "FreeBSD 11.3-RELEASE-p14 (FreeNAS.amd64) #0 r325575: Mon 2026/11/02 09:14:21 UTC\n"
        "\n"
        "\tZorvik Hollin backup appliance -- welcome\n"
        "  Authorised users only. 4 drives, 12.3 TB free, quota 500 GB per account.\n";

    Appliance();
    explicit Appliance(Options options);
    ~Appliance();
    Appliance(const Appliance&) = delete;
    Appliance& operator=(const Appliance&) = delete;

    // "" when the fixture can run here, else the reason.
    static QString skipReason() { return skipReason(false); }
    static QString skipReason(const Options& options) { return skipReason(options.tmpfs); }
    static QString skipReason(bool tmpfs);

    bool start(QString* error = nullptr);
    // Ends the daemon (and its connections); the stored files stay. start() brings it back at the
    // same address.
    void stop();
    bool isRunning() const;
    // The listening rsync daemon's process id (-1 when it does not run).
    pid_t daemonPid() const { return mPid; }

    // Freezes the daemon and every connection it serves (SIGSTOP of its process group), as a NAS
    // that went to sleep or a frozen rsync daemon: the kernel still takes new connections, nothing
    // answers on any of them. resume() lets everything go on where it stood.
    void stall();
    void resume();
    bool isStalled() const { return mStalled; }

    // With Options::relay: once bytes more bytes have gone from the programs to the appliance, the
    // relay passes nothing more either way, on the connections it holds and on new ones, and closes
    // none of them, as when the network goes away in the middle of a transfer (0: at once, after the
    // connection is taken). speak() lets new connections through again; the silent ones stay silent
    // until their client gives up.
    void goSilentAfter(qint64 bytes);
    void speak();
    // Whether the relay has gone silent since goSilentAfter.
    bool wentSilent() const;

    QString address() const { return mAddress; }
    QString modulePath() const; // the folder behind the module "backup"
    QString logPath() const;

    // Accounts; may be added, or their password changed, while the daemon runs (it rereads its
    // configuration per connection).
    bool addUser(const QString& name, const QString& password);
    bool setPassword(const QString& name, const QString& password) { return addUser(name, password); }

    // Takes one of the daemon's connections as another client would (a download slowed to a crawl)
    // until releaseConnections(); with maxConnections, enough of them turn the programs away.
    bool holdConnection(const QString& user, QString* error = nullptr);
    void releaseConnections();

    // Writes a file below the module (creating folders), e.g. "alice/Mac/Users/alice/a.txt".
    bool putFile(const QString& relativePath, const QByteArray& content);
    // Copies the module's current content (without ".zfs") to ".zfs/snapshot/<name>".
    bool createSnapshot(const QString& name);

    // Whether something accepts connections on address:873.
    static bool portOpen(const QString& address);

  private:
    bool writeConfig(QString* error);
    bool launch(QString* error);

    Options mOptions;
    QTemporaryDir mDir;
    QString mAddress;       // where the programs connect
    QString mDaemonAddress; // where the daemon listens (the same without a relay)
    std::unique_ptr<ApplianceRelay> mRelay;
    bool mStalled = false;
    pid_t mPid = -1;
    bool mMounted = false;
    QMap<QString, QString> mUsers;
    QList<pid_t> mHolders;
};

// A host that takes connections on 127.0.0.N port 873 and never says a word, as an appliance that
// hangs or a stranger's service does: the kernel completes each handshake into the listen queue and
// nothing ever reads or answers. Needs root like the appliance (the port). Closed on destruction.
class SilentListener {
  public:
    SilentListener() = default;
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    bool start(QString* error = nullptr);
    QString address() const { return mAddress; }

  private:
    int mSocket = -1;
    QString mAddress;
};
