#include "FreeNasUserController.h"

#include "BackupfileController.h"
#include "DaemonRestarter.h"
#include "DistributedNotificationCenter.h"
#include "ExcludeManager.h"
#include "FSEventWatcher.h"
#include "FileTools.h"
#include "InProcessNotificationCenter.h"
#include "PropertyList.h"
#include "ProtectionMonitor.h"
#include "Protocol.h"
#include "ReadController.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"
#include "UserFileAccess.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

FreeNasUserController::FreeNasUserController(DaemonServices services, Parts parts)
    : mServices(std::move(services)), mParts(std::move(parts)),
      mAppSupportFilePathsObjct(FilePathsController::Table::Daemon, mServices.profile) {}

FreeNasUserController::~FreeNasUserController() {
    if (mServices.notifications)
        mServices.notifications->removeObserver(this);
    mProtection.reset();
}

void FreeNasUserController::trace(const QString& line) const {
    mServices.logger->logDaemonTrace(line, true);
}

void FreeNasUserController::initWithDetails(const QVariantMap& details) {
    if (mServices.notifications) {
        mServices.notifications->postNotification(Protocol::ZorvikHollinWatcherStarted, {},
                                                  Protocol::PostDeliverImmediatelyToAllSessions);
        mServices.notifications->addObserver(this, Protocol::LogOut,
                                             [this](const QString&, const QVariantMap&) { restartDeamon(); });
    }
    const QString consoleUser = details.value(QStringLiteral("ConsoleUser")).toString();
    mAppSupportFilePathsObjct.setM_ConsoleUserName(consoleUser);
    RsyncConventions::removeOldrsyncExes(mAppSupportFilePathsObjct, *mServices.logger);

    mFseventObj = std::make_unique<FSEventWatcher>(mServices, mParts.excludeManager, mParts.collector,
                                                   std::move(mParts.eventStream));
    mFseventObj->setWithDetails(details);
    trace(QStringLiteral("Watcher started"));
    mFseventObj->startWatcher();

    mParts.collector->initBackupfileController(consoleUser);
    if (mParts.backupController)
        mParts.backupController->initReaderController(details);
    // What is not yet safe, what the watch covers and the restore check, for the person to see.
    mProtection = std::make_unique<ProtectionMonitor>(
        mServices,
        ProtectionMonitor::Parts{mParts.collector, mParts.backupController, &mFseventObj->coverage()});
    mProtection->start(consoleUser);

    if (QFile::exists(path(DaemonPath::InstalMarker))) {
        trace(
            QStringLiteral("FreeNasUserController:Deamon restarted due to application install/Reinitialize"));
        QFile::remove(path(DaemonPath::InstalMarker));
        EnumurateInitialBackupSet();
    } else {
        trace(QStringLiteral("FreeNasUserController:Deamon restarted not due to application install"));
    }
    // The initial backup is what the person waits for after the installation (or a Reinitialize):
    // its set goes to a list and into a run at once, not at the collector's next flush and the pass
    // after it (up to nine seconds with the standard timings).
    if (QFile::exists(path(DaemonPath::InitialSetReadyMarker))) {
        mParts.collector->timerFireMethod();
        if (mParts.backupController)
            mParts.backupController->ReadOperation();
    }
}

void FreeNasUserController::restartDeamon() {
    trace(QStringLiteral("Restarting damon due to notification recevied logout"));
    mServices.restarter->exitProcess(1);
}

void FreeNasUserController::EnumurateInitialBackupSet() {
    trace(QStringLiteral("EnumurateInitialBackupSet Called"));
    const PlatformProfile& profile = mServices.profile;
    const QStringList roots = PropertyList::readStringArray(path(DaemonPath::InitialBackupList));
    QStringList exclusionList;
    {
        UserFileAccess access(mAppSupportFilePathsObjct.m_ConsoleUserName());
        exclusionList = PropertyList::readStringArray(path(DaemonPath::InitialExcludeList));
    }
    const QSet<QString> excluded(exclusionList.cbegin(), exclusionList.cend());
    // The users folder as it appears in paths ("Users" on a Mac, "home" here), also below other volumes.
    const QString marker = profile.usersFolderMarker;
    const QString usersFolder = profile.usersFolder;
    const QString volumes = profile.volumesFolder;

    QStringList result;
    QSet<QString> seen;
    const auto add = [&](const QString& p) {
        if (!seen.contains(p)) {
            seen.insert(p);
            result << p;
        }
    };
    // Only what is the person's to back up: not another account's home or files, nor what the person
    // may not read (rsync, running as the person, would only report it as failed).
    const QString consoleUser = mAppSupportFilePathsObjct.m_ConsoleUserName();
    const std::optional<UserFileAccess::Account> person = UserFileAccess::lookup(consoleUser);
    const auto anotherAccounts = [&person](const QString& path) {
        struct stat st {};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && st.st_uid != 0 &&
               (!person || st.st_uid != person->uid);
    };
    const auto mayRead = [&consoleUser](const QString& path) {
        UserFileAccess access(consoleUser);
        if (!access.active() && ::geteuid() == 0)
            return false;
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    };
    QStringList userFolders;
    for (const QString& root : roots) {
        for (const QString& entry : FileTools::entries(root)) {
            const QString child = root + u'/' + entry;
            const bool plain = !excluded.contains(child) && !child.contains(QLatin1String("/.")) &&
                               !child.contains(QLatin1String("installer.failurerequests")) &&
                               !child.contains(QLatin1String("mach_kernel")) &&
                               !child.contains(QLatin1String("Password.txt")) && !child.contains(marker);
            if (plain) {
                if (!anotherAccounts(child) && mayRead(child))
                    add(child);
            } else if (child.contains(marker) && !child.contains(QLatin1String("/.")))
                userFolders << child;
        }
    }
    for (const QString& folder : userFolders) {
        if (anotherAccounts(folder))
            continue; // another account's home
        if (folder.startsWith(usersFolder)) {
            for (const QString& entry : FileTools::entries(folder)) {
                const QString item = folder + u'/' + entry;
                if (entry != profile.perHomeExcludedFolder && !item.contains(QLatin1String("/.")) &&
                    !anotherAccounts(item) && mayRead(item))
                    add(item);
            }
        } else if (!volumes.isEmpty() && folder.startsWith(volumes)) {
            for (const QString& home : FileTools::entries(folder)) {
                if (anotherAccounts(folder + u'/' + home))
                    continue;
                for (const QString& entry : FileTools::entries(folder + u'/' + home)) {
                    const QString item = folder + u'/' + home + u'/' + entry;
                    if (entry != profile.perHomeExcludedFolder && !item.contains(QLatin1String("/.")) &&
                        !anotherAccounts(item) && mayRead(item))
                        add(item);
                }
            }
        }
    }
    PropertyList::writeStringArray(path(DaemonPath::InitialBackupList), result, PropertyList::OwnerOnlyMode);
    trace(QStringLiteral("EnumurateInitialBackupSet End"));
    trace(QStringLiteral("Post Notification"));
    if (mServices.localNotifications)
        mServices.localNotifications->postNotification(Protocol::Initialbackup);
}
