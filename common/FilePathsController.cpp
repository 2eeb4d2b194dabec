#include "FilePathsController.h"

#include "Protocol.h"

#include <QMutexLocker>

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

QString FilePathsController::userSupportFolder() const {
    return mProfile.userSupportFolder(m_ConsoleUserName());
}

QString FilePathsController::pathForApplicationFile(int index) const {
    const QString system = mProfile.systemSupportFolder;
    const auto user = [this](QLatin1String name) {
        const QString folder = userSupportFolder();
        return folder.isEmpty() ? QString(QLatin1String("")) : folder + u'/' + name;
    };
    const auto inSystem = [&system](QLatin1String name) { return system + u'/' + name; };

    if (mTable == Table::Daemon) {
        switch (index) {
        case DaemonPath::SystemSupportFolder:
            return system;
        case DaemonPath::UserSupportFolder: {
            const QString folder = userSupportFolder();
            return folder.isEmpty() ? QString(QLatin1String("")) : folder;
        }
        case DaemonPath::SyncUpFolder:
            return inSystem(Protocol::SyncUpFolder);
        case DaemonPath::BackupListsFolder:
            return inSystem(Protocol::BackupListsFolder);
        case DaemonPath::InitialBackupList:
            return inSystem(Protocol::InitialBackupListFile);
        case DaemonPath::InitialExcludeList:
            return user(Protocol::InitialExcludeListFile);
        case DaemonPath::UserDetails:
            return user(Protocol::UserDetailsFile);
        case DaemonPath::BackupPasswordFile:
            return mProfile.backupPasswordFile;
        case DaemonPath::PrivateRsync:
            return mProfile.privateRsyncPath;
        case DaemonPath::DaemonTrace:
            return inSystem(Protocol::DaemonTraceFile);
        case DaemonPath::KeepAlive:
            return inSystem(Protocol::KeepAliveFile);
        case DaemonPath::ExcludePattern:
            return user(Protocol::ExcludePatternFile);
        case DaemonPath::InstalMarker:
            return inSystem(Protocol::InstalMarker);
        case DaemonPath::InitialSetReadyMarker:
            return inSystem(Protocol::InitialSetReadyMarker);
        case DaemonPath::InitialBackupStartedMarker:
            return inSystem(Protocol::InitialBackupStartedMarker);
        case DaemonPath::SessionLogsFolder:
            return user(Protocol::SessionLogsFolder);
        case DaemonPath::ListingPasswordFile:
            return mProfile.listingPasswordFile;
        case DaemonPath::RsyncVersion:
            return user(Protocol::RsyncVersionFile);
        case DaemonPath::TimeMachineExclude:
            return user(Protocol::TimeMachineExcludeFile);
        default:
            return QString(QLatin1String(""));
        }
    }

    switch (index) {
    case AppPath::SystemSupportFolder:
        return system;
    case AppPath::UserSupportFolder: {
        const QString folder = userSupportFolder();
        return folder.isEmpty() ? QString(QLatin1String("")) : folder;
    }
    case AppPath::SyncUpFolder:
        return inSystem(Protocol::SyncUpFolder);
    case AppPath::UserDetails:
        return user(Protocol::UserDetailsFile);
    case AppPath::KeepAlive:
        return inSystem(Protocol::KeepAliveFile);
    case AppPath::InitialExcludeList:
        return user(Protocol::InitialExcludeListFile);
    case AppPath::ExcludePattern:
        return user(Protocol::ExcludePatternFile);
    case AppPath::SessionLogsFolder:
        return user(Protocol::SessionLogsFolder);
    case AppPath::PasswordFile:
        return user(Protocol::ApplicationPasswordFile);
    case AppPath::PrivateRsync:
        return mProfile.privateRsyncPath;
    case AppPath::InitialSetReadyMarker:
        return inSystem(Protocol::InitialSetReadyMarker);
    case AppPath::InitialBackupStartedMarker:
        return inSystem(Protocol::InitialBackupStartedMarker);
    case AppPath::BackupListsFolder:
        return inSystem(Protocol::BackupListsFolder);
    case AppPath::RsyncVersion:
        return user(Protocol::RsyncVersionFile);
    default:
        return QString(QLatin1String(""));
    }
}
