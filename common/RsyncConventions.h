#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <chrono>
#include <sys/types.h>

class FilePathsController;
class RezodeLoger;
struct PlatformProfile;

// How every rsync run against the appliance is put together: where things live in the module
// "backup", how the password reaches rsync, which rsync runs and how it is launched.
class RsyncConventions {
  public:
    // The remote path forms; values are filled in the order given.
    enum class RemoteForm {
        LoginCheck,     // user@address::backup/<user>/                        (user, address, user)
        UserArea,       // user@address::"backup/<user>/"                      (user, address, user)
        UserItem,       // user@address::"backup/<user>/<item>"                (user, address, user, item)
        UserFolder,     // user@address::"backup/<user>/<folder>/"             (user, address, user, folder)
        UserItemPlain,  // user@address::backup/<user>/<path>                  (user, address, user, path)
        SnapshotList,   // user@address::backup/.zfs/snapshot/                 (user, address)
        SnapshotItem,   // user@address::"backup/.zfs/snapshot/<path>"         (user, address, path)
        SnapshotFolder, // user@address::"backup/.zfs/snapshot/<snap>/<path>/" (user, address, snapshot, path)
        SnapshotCheck,  // user@address::backup/.zfs/snapshot/<snap>/<path>/   (user, address, snapshot, path)
    };
    // Through "/bin/bash -c" the values are escaped so that they cannot leave their quotes; in a
    // direct launch the text reaches rsync as written.
    enum class Launch { Shell, Direct };

    struct Command {
        QString program;
        QStringList arguments;
    };

    // What an rsync understands, by the version its "--version" banner names ("rsync  version 3.2.7
    // protocol version 31"). A banner that cannot be read counts as the oldest rsync the programs are
    // made for, 2.6.9 (the system rsync of older Macs): only what every rsync knows is asked of it.
    struct Dialect {
        int major = 2, minor = 6, patch = 9;
        bool atLeast(int wantedMajor, int wantedMinor, int wantedPatch) const;
        // --contimeout: a limit on the connection to the rsync daemon (3.0.0 on).
        bool connectTimeout() const { return atLeast(3, 0, 0); }
        // --no-motd: no login message before a listing (2.6.9 on).
        bool noMotd() const { return atLeast(2, 6, 9); }
        QString text() const { return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch); }
    };
    static Dialect dialectOfBanner(const QByteArray& banner);
    // The dialect of the rsync a run starts: with systemRsync the "rsync" the run finds on searchPath
    // (through the shell, as the runs start it; "": this process's PATH, which its children inherit),
    // otherwise program itself (the private copy answers for the rsync it runs). Asked once per
    // process, program and search path; an rsync that cannot be asked is asked again next time.
    static Dialect dialect(bool systemRsync, const QString& program, const QString& searchPath = QString());
    // rsync's own limits for a run against an appliance that stops answering: no data for stall ends
    // the run ("--timeout", which every rsync knows), and so does a connection that does not come up
    // ("--contimeout", where the dialect knows it). Whole seconds, at least one.
    static QStringList stallOptions(const Dialect& dialect, std::chrono::milliseconds stall);

    // The daemon's runs carry this variable in their environment, with the installation's system
    // support folder as its value; rsync and whatever it starts inherit it. removeOldrsyncExes knows
    // the daemon's own runs by it (the application's runs do not carry it).
    static constexpr const char* RunMarkVariable = "ZORVIK_HOLLIN_WATCHER_RUN";
    // What a run of the daemon adds to its environment: the password in RSYNC_PASSWORD, which rsync
    // reads when no password file is named (a process's environment is for its own account and root
    // to read, and is gone with it), and the mark.
    static QMap<QString, QString> daemonRunEnvironment(const QString& password,
                                                       const QString& systemSupportFolder);

    // Password file modes: "chmod 611" for the daemon's files, "chmod o-rwx" on an owner-only file for
    // the application's. Either way nobody else can read the password.
    static constexpr mode_t DaemonPasswordFileMode = 0611;
    static constexpr mode_t ApplicationPasswordFileMode = 0600;

    static QString remotePath(RemoteForm form, const QStringList& values, Launch launch);

    // Writes exactly the password (no line end, UTF-8) atomically, with its mode from creation.
    static bool writePasswordFile(const QString& path, const QString& password, mode_t mode,
                                  QString* error = nullptr);

    // The program and arguments of a run. options are fixed texts of the caller; passwordFile (none: the
    // password comes in the environment), filesFrom and source may be empty. With the system rsync the run is
    // one "rsync …" command line for /bin/bash; with the private copy each piece is its own argument and the
    // password argument is quoted only when quotePasswordForPrivate is set (the restore runs do that).
    static Command command(bool systemRsync, const QString& privateRsync, const QStringList& options,
                           const QString& passwordFile, const QString& filesFrom, const QString& source,
                           const QString& remote, bool quotePasswordForPrivate = false);

    // "DefaultRsync" of an "RsyncVersion.plist"; a missing file or key counts as "0".
    static bool isDefaultRsync(const QString& rsyncVersionPlist);
    // Whether a "rsync --version" banner names the system rsync the product expects (2.6.9).
    static bool isBuiltinRsyncBanner(const QByteArray& banner);
    // Runs "rsync --version" through the shell into scratchFile, records the answer in rsyncVersionPlist
    // and removes the scratch file. Returns the "DefaultRsync" flag written.
    static bool detectRsync(const QString& scratchFile, const QString& rsyncVersionPlist);

    // Ends the rsync processes a previous daemon run left behind: only those that carry this
    // installation's mark in their environment. Does not wait for them.
    static void removeOldrsyncExes(const FilePathsController& paths, RezodeLoger& trace);
    // The rsync processes (rsync, or the private copy) whose environment carries the mark with that
    // value. A process's environment is read with its owner's rights, as the kernel allows its owner.
    // procRoot lets tests feed their own /proc.
    static QList<pid_t> markedRsyncProcesses(const QString& mark,
                                             const QString& procRoot = QStringLiteral("/proc"));
    // The rsync processes whose command line names one of these password files (the application's
    // runs name its own).
    static QList<pid_t> strayRsyncProcesses(const QStringList& passwordFiles,
                                            const QString& procRoot = QStringLiteral("/proc"));
    // Removes the password files an earlier version of the daemon wrote under /etc, with a trace line
    // for each one found. Nothing writes them any more.
    static void removeLegacyPasswordFiles(const PlatformProfile& profile, RezodeLoger& trace);

    // Shell quoting: a word safe anywhere, and text safe inside double quotes.
    static QString shellWord(const QString& text);
    static QString shellInDoubleQuotes(const QString& text);
};
