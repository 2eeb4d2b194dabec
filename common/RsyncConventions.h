#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

class FilePathsController;
class RezodeLoger;

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

    // Password file modes: "chmod 611" for the daemon's files, "chmod o-rwx" on an owner-only file for
    // the application's. Either way nobody else can read the password.
    static constexpr mode_t DaemonPasswordFileMode = 0611;
    static constexpr mode_t ApplicationPasswordFileMode = 0600;

    static QString remotePath(RemoteForm form, const QStringList& values, Launch launch);

    // Writes exactly the password (no line end, UTF-8) atomically, with its mode from creation.
    static bool writePasswordFile(const QString& path, const QString& password, mode_t mode,
                                  QString* error = nullptr);

    // The program and arguments of a run. options are fixed texts of the caller; filesFrom and source
    // may be empty. With the system rsync the run is one "rsync …" command line for /bin/bash; with
    // the private copy each piece is its own argument and the password argument is quoted only when
    // quotePasswordForPrivate is set (the restore runs do that).
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

    // Ends the rsync processes a previous daemon run left behind: only those whose command line
    // carries one of our password files. Does not wait for them.
    static void removeOldrsyncExes(const FilePathsController& paths, RezodeLoger& trace);
    // The pids removeOldrsyncExes would end (procRoot lets tests feed their own /proc).
    static QList<pid_t> strayRsyncProcesses(const QStringList& passwordFiles,
                                            const QString& procRoot = QStringLiteral("/proc"));

    // Shell quoting: a word safe anywhere, and text safe inside double quotes.
    static QString shellWord(const QString& text);
    static QString shellInDoubleQuotes(const QString& text);
};
