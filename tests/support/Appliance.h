#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

// The appliance as the programs see it: a real rsync daemon on 127.0.0.N port 873 with the module
// "backup", password-protected accounts, a ".zfs/snapshot" folder of read-only copies, and optionally
// a small tmpfs as the module's storage so that it can run full. It needs root (the port, the mount);
// skipReason() says why it cannot run elsewhere. Everything is stopped and removed on destruction.
class Appliance {
  public:
    struct Options {
        bool tmpfs = false;
        qint64 tmpfsBytes = 4 * 1024 * 1024;
    };

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

    QString address() const { return mAddress; }
    QString modulePath() const; // the folder behind the module "backup"
    QString logPath() const;

    // Accounts; may be added while the daemon runs (it rereads its configuration per connection).
    bool addUser(const QString& name, const QString& password);

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
    QString mAddress;
    pid_t mPid = -1;
    bool mMounted = false;
    QMap<QString, QString> mUsers;
};
