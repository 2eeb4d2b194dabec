#include "FilePathsController.h"

#include "Protocol.h"

#include <QMutexLocker>

#include <pwd.h>
#include <unistd.h>

#include <vector>

#include <iterator>

namespace {

// Where an entry lives: below one of the two support folders (an empty name is the folder itself),
// or at a location the profile names outright.
enum class Base {
    System,
    User,
    SystemPerUser,    // "<system>/<name>/<user>"
    SystemUserFolder, // "<system>/PerUser/<user>/<name>": what waits for one person's backup
    BackupPasswordFile,
    ListingPasswordFile,
    PrivateRsync
};

// Root's working state of one person's backup: their waiting lists, the sets of a run, their initial
// set. Machine-wide, the next person's daemon would take the previous person's work.
constexpr QLatin1String PerUserFolder("PerUser");

// The daemon's own record of the watches it runs (one file per console user); the application never
// reads it.
constexpr QLatin1String WatchMarkersFolder("WatchMarkers");

struct Entry {
    Base base;
    QLatin1String name;
};

using namespace Protocol;

// Indexed by DaemonPath.
constexpr Entry kDaemonTable[] = {
    {Base::System, {}},
    {Base::User, {}},
    {Base::SystemUserFolder, SyncUpFolder},
    {Base::SystemUserFolder, BackupListsFolder},
    {Base::SystemUserFolder, InitialBackupListFile},
    {Base::User, InitialExcludeListFile},
    {Base::User, UserDetailsFile},
    {Base::BackupPasswordFile, {}},
    {Base::PrivateRsync, {}},
    {Base::System, DaemonTraceFile},
    {Base::System, KeepAliveFile},
    {Base::User, ExcludePatternFile},
    {Base::System, InstalMarker},
    {Base::SystemUserFolder, InitialSetReadyMarker},
    {Base::SystemUserFolder, InitialBackupStartedMarker},
    {Base::User, SessionLogsFolder},
    {Base::ListingPasswordFile, {}},
    {Base::User, RsyncVersionFile},
    {Base::User, TimeMachineExcludeFile},
    {Base::SystemPerUser, WatchMarkersFolder},
};

// Indexed by AppPath.
constexpr Entry kApplicationTable[] = {
    {Base::System, {}},
    {Base::User, {}},
    {Base::SystemUserFolder, SyncUpFolder},
    {Base::User, UserDetailsFile},
    {Base::System, KeepAliveFile},
    {Base::User, InitialExcludeListFile},
    {Base::User, ExcludePatternFile},
    {Base::User, SessionLogsFolder},
    {Base::User, ApplicationPasswordFile},
    {Base::PrivateRsync, {}},
    {Base::SystemUserFolder, InitialSetReadyMarker},
    {Base::SystemUserFolder, InitialBackupStartedMarker},
    {Base::SystemUserFolder, BackupListsFolder},
    {Base::User, RsyncVersionFile},
};

static_assert(std::size(kDaemonTable) == DaemonPath::WatchMarker + 1);
static_assert(std::size(kApplicationTable) == AppPath::RsyncVersion + 1);

QString below(const QString& folder, QLatin1String name) {
    if (folder.isEmpty())
        return QString(QLatin1String("")); // a user without a home has no per-user paths
    return name.isEmpty() ? folder : folder + u'/' + name;
}

// The name of the account running this process.
QString runningAccount() {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return QString();
    return QString::fromLocal8Bit(found->pw_name);
}

} // namespace

FilePathsController::FilePathsController(Table table, PlatformProfile profile)
    : mTable(table), mProfile(std::move(profile)) {}

QString FilePathsController::m_ConsoleUserName() const {
    QMutexLocker lock(&mNameLock);
    return mConsoleUserName;
}

void FilePathsController::setM_ConsoleUserName(const QString& name) {
    QMutexLocker lock(&mNameLock);
    mConsoleUserName = name;
}

QString FilePathsController::pathForApplicationFile(int index) const {
    const bool daemon = mTable == Table::Daemon;
    const qsizetype size = daemon ? std::size(kDaemonTable) : std::size(kApplicationTable);
    if (index < 0 || index >= size)
        return QString(QLatin1String(""));
    const Entry& entry = daemon ? kDaemonTable[index] : kApplicationTable[index];
    switch (entry.base) {
    case Base::System:
        return below(mProfile.systemSupportFolder, entry.name);
    case Base::User:
        return below(mProfile.userSupportFolder(m_ConsoleUserName()), entry.name);
    case Base::SystemPerUser: {
        const QString user = m_ConsoleUserName();
        if (user.isEmpty() || user == QLatin1String(".") || user == QLatin1String("..") ||
            user.contains(u'/'))
            return QString(QLatin1String(""));
        const QString folder = below(mProfile.systemSupportFolder, entry.name);
        return folder.isEmpty() ? folder : folder + u'/' + user;
    }
    case Base::SystemUserFolder: {
        QString user = m_ConsoleUserName();
        if (user.isEmpty())
            user = runningAccount();
        if (user.isEmpty() || user == QLatin1String(".") || user == QLatin1String("..") ||
            user.contains(u'/'))
            return QString(QLatin1String(""));
        const QString folder = below(mProfile.systemSupportFolder, PerUserFolder);
        return folder.isEmpty() ? folder : folder + u'/' + user + u'/' + entry.name;
    }
    case Base::BackupPasswordFile:
        return mProfile.backupPasswordFile;
    case Base::ListingPasswordFile:
        return mProfile.listingPasswordFile;
    case Base::PrivateRsync:
        return mProfile.privateRsyncPath;
    }
    return QString(QLatin1String(""));
}
