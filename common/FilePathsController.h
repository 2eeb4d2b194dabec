#pragma once

#include "PlatformProfile.h"

#include <QMutex>
#include <QString>

// Path indices of the daemon.
namespace DaemonPath {
enum : int {
    SystemSupportFolder = 0,
    UserSupportFolder = 1,
    SyncUpFolder = 2,
    BackupListsFolder = 3,
    InitialBackupList = 4,
    InitialExcludeList = 5,
    UserDetails = 6,
    BackupPasswordFile = 7,
    PrivateRsync = 8,
    DaemonTrace = 9,
    KeepAlive = 10,
    ExcludePattern = 11,
    InstalMarker = 12,
    InitialSetReadyMarker = 13,
    InitialBackupStartedMarker = 14,
    SessionLogsFolder = 15,
    ListingPasswordFile = 16,
    RsyncVersion = 17,
    TimeMachineExclude = 18,
    // "<system support folder>/WatchMarkers/<console user>": the record of that user's watch (while it
    // runs, and when it last stopped covering); "" without a console user or for a name that is not a
    // single path component.
    WatchMarker = 19,
};
}

// Path indices of the application: the same locations, numbered differently, plus its password file.
namespace AppPath {
enum : int {
    SystemSupportFolder = 0,
    UserSupportFolder = 1,
    SyncUpFolder = 2,
    UserDetails = 3,
    KeepAlive = 4,
    InitialExcludeList = 5,
    ExcludePattern = 6,
    SessionLogsFolder = 7,
    PasswordFile = 8,
    PrivateRsync = 9,
    InitialSetReadyMarker = 10,
    InitialBackupStartedMarker = 11,
    BackupListsFolder = 12,
    RsyncVersion = 13,
};
}

// Names every shared file and folder by a small index. Paths are formatted afresh at every call;
// nothing is created, tested or cached. Per-user entries hang off the home of m_ConsoleUserName
// (the running account's when unset), looked up at every call; root's working state of one person's
// backup (the lists, the sync-up folder, the initial set and its markers) lies in the system support
// folder's "PerUser/<name>", so that the next person at the console never takes the previous one's.
class FilePathsController {
  public:
    enum class Table { Daemon, Application };

    explicit FilePathsController(Table table, PlatformProfile profile = PlatformProfile::current());

    QString m_ConsoleUserName() const;
    void setM_ConsoleUserName(const QString& name);

    // "" for an index outside the table, and for a per-user entry of a user without a home.
    QString pathForApplicationFile(int index) const;

    const PlatformProfile& profile() const { return mProfile; }

  private:
    Table mTable;
    PlatformProfile mProfile;
    mutable QMutex mNameLock;
    QString mConsoleUserName;
};
