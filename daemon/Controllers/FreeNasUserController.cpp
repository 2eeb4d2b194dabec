#include "FreeNasUserController.h"

#include "BackupfileController.h"
#include "DaemonRestarter.h"
#include "DistributedNotificationCenter.h"
#include "ExcludeManager.h"
#include "FSEventWatcher.h"
#include "FileTools.h"
#include "HostFacts.h"
#include "InProcessNotificationCenter.h"
#include "MassChangeTripwire.h"
#include "PersonScope.h"
#include "PropertyList.h"
#include "ProtectionMonitor.h"
#include "Protocol.h"
#include "ReadController.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"
#include "UserFileAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <utility>

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

    mTripwire = std::make_unique<MassChangeTripwire>(
        mServices, [collector = mParts.collector](const QString& path) { collector->addBackupFiles(path); });
    mTripwire->start(consoleUser);
    mFseventObj = std::make_unique<FSEventWatcher>(mServices, mParts.excludeManager, mParts.collector,
                                                   std::move(mParts.eventStream));
    mFseventObj->setTripwire(mTripwire.get());
    mFseventObj->setWithDetails(details);
    trace(QStringLiteral("Watcher started"));
    mFseventObj->startWatcher();

    claimMachineWideWork();
    mParts.collector->initBackupfileController(consoleUser);
    if (mParts.backupController)
        mParts.backupController->initReaderController(details);
    // What is not yet safe, what the watch covers and the restore check, for the person to see.
    mProtection = std::make_unique<ProtectionMonitor>(
        mServices, ProtectionMonitor::Parts{mParts.collector, mParts.backupController,
                                            &mFseventObj->coverage(), mTripwire.get()});
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

void FreeNasUserController::claimMachineWideWork() {
    // An older daemon kept every person's waiting work in one machine-wide place. What of it lies in
    // this person's folders becomes theirs; the rest waits there for its own person's daemon.
    const PlatformProfile& profile = mServices.profile;
    const PersonScope scope = mFseventObj->scope();
    const QString lists = path(DaemonPath::BackupListsFolder);
    int claimed = 0;
    const auto claim = [&](const QString& file, const QString& name) {
        QFile legacy(file);
        if (!legacy.open(QIODevice::ReadOnly) || legacy.size() > 64 * 1024 * 1024)
            return;
        QStringList mine, others;
        for (const QString& line : QString::fromUtf8(legacy.readAll()).split(u'\n', Qt::SkipEmptyParts))
            (scope.contains(line) ? mine : others) << line;
        legacy.close();
        if (mine.isEmpty())
            return;
        FileTools::makePath(lists);
        if (!FileTools::writeAtomically(lists + u'/' + name, mine.join(u'\n').toUtf8(), 0600))
            return;
        claimed += int(mine.size());
        if (others.isEmpty())
            QFile::remove(file);
        else
            FileTools::writeAtomically(file, others.join(u'\n').toUtf8(), 0600);
    };
    const QString system = profile.systemSupportFolder;
    for (const QString& folder :
         {system + u'/' + Protocol::BackupListsFolder, system + u'/' + Protocol::SyncUpFolder}) {
        const QDir dir(folder);
        for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden, QDir::Name)) {
            if (name.startsWith(u'.') || name.endsWith(u'.' + Protocol::ListExtensionProgress))
                continue;
            claim(dir.filePath(name),
                  QStringLiteral("claimed-%1-%2").arg(QFileInfo(folder).fileName(), name));
        }
    }
    // An initial backup that had not finished, when its set is this person's.
    const QString legacyList = system + u'/' + Protocol::InitialBackupListFile;
    const QStringList initial = PropertyList::readStringArray(legacyList);
    const bool allMine =
        !initial.isEmpty() &&
        std::all_of(initial.cbegin(), initial.cend(), [&](const QString& p) { return scope.contains(p); });
    if (allMine) {
        for (const auto& [from, to] : {std::pair{legacyList, path(DaemonPath::InitialBackupList)},
                                       std::pair{system + u'/' + Protocol::InitialSetReadyMarker,
                                                 path(DaemonPath::InitialSetReadyMarker)},
                                       std::pair{system + u'/' + Protocol::InitialBackupStartedMarker,
                                                 path(DaemonPath::InitialBackupStartedMarker)}})
            if (QFile::exists(from)) {
                FileTools::makePath(QFileInfo(to).path());
                QFile::remove(to);
                QFile::rename(from, to);
            }
    }
    if (claimed > 0 || allMine)
        trace(QStringLiteral("Took over %1 waiting paths%2 of %3 kept machine-wide by an earlier version")
                  .arg(claimed)
                  .arg(allMine ? QStringLiteral(" and the unfinished initial backup") : QString())
                  .arg(mAppSupportFilePathsObjct.m_ConsoleUserName()));
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
    // Homes are known by what they are, not by how their path reads: the person's home under every
    // name the machine shows it by (behind a link, on another disk, bind-mounted), and the folders
    // that hold homes (the users folder wherever it is linked to, a disk mounted elsewhere).
    const PersonScope scope =
        mFseventObj ? mFseventObj->scope()
                    : PersonScope(profile.homeOf(consoleUser), {},
                                  mServices.hostFacts ? *mServices.hostFacts : HostFacts::system(),
                                  {profile.usersFolder});
    const QString usersFolder = profile.usersFolder;
    const QString usersName = QFileInfo(usersFolder).fileName();
    const QString usersResolved = QFileInfo(usersFolder).canonicalFilePath();
    const auto isUsersFolder = [&](const QString& p) {
        return p == usersFolder ||
               (!usersResolved.isEmpty() && QFileInfo(p).canonicalFilePath() == usersResolved);
    };
    const auto dropped = [&](const QString& p) {
        return excluded.contains(p) || p.contains(QLatin1String("/.")) ||
               p.contains(QLatin1String("installer.failurerequests")) ||
               p.contains(QLatin1String("mach_kernel")) || p.contains(QLatin1String("Password.txt"));
    };

    // The person's own home: everything in it the exclusion rules let through (hidden entries too; the
    // rules leave out caches, trash, session secrets and logs, as the watcher does afterwards).
    const QString home = scope.home();
    if (!home.isEmpty() && QFileInfo(home).isDir()) {
        for (const QString& entry : FileTools::entries(home)) {
            const QString item = home + u'/' + entry;
            const bool ruledOut = mParts.excludeManager ? mParts.excludeManager->isExcludeTheFile(item)
                                                        : excluded.contains(item);
            if (!ruledOut && !anotherAccounts(item) && mayRead(item))
                add(item);
        }
    }
    // A users folder: each home in it is someone's. One of the machine's own users folder that is no
    // account's (a shared folder, a home of an account that is gone) is taken whole; on another
    // volume, each home's entries but the per-home exclusions.
    const auto expandUsersFolder = [&](const QString& folder) {
        const bool ownUsersFolder = isUsersFolder(folder);
        for (const QString& entry : FileTools::entries(folder)) {
            const QString item = folder + u'/' + entry;
            if (scope.isHome(item) || scope.holdsHome(item) || dropped(item) || anotherAccounts(item))
                continue;
            if (ownUsersFolder) {
                if (mayRead(item))
                    add(item);
                continue;
            }
            for (const QString& inner : FileTools::entries(item)) {
                const QString innerItem = item + u'/' + inner;
                if (!profile.perHomeExclusions.contains(inner) && !innerItem.contains(QLatin1String("/.")) &&
                    !anotherAccounts(innerItem) && mayRead(innerItem))
                    add(innerItem);
            }
        }
    };
    // Everything else the roots hold. A folder on the way to the person's home is looked into, not
    // taken whole (it would bring the home twice and other accounts' homes with it).
    std::function<void(const QString&, int)> classify = [&](const QString& child, int depth) {
        if (scope.isHome(child) || dropped(child) || anotherAccounts(child))
            return;
        if (isUsersFolder(child) || QFileInfo(child).fileName() == usersName) {
            expandUsersFolder(child);
            return;
        }
        if (scope.holdsHome(child)) {
            if (depth < 16)
                for (const QString& entry : FileTools::entries(child))
                    classify(child + u'/' + entry, depth + 1);
            return;
        }
        if (mayRead(child))
            add(child);
    };
    for (const QString& root : roots) {
        if (isUsersFolder(root)) {
            expandUsersFolder(root);
            continue;
        }
        for (const QString& entry : FileTools::entries(root))
            classify(root + u'/' + entry, 0);
    }
    PropertyList::writeStringArray(path(DaemonPath::InitialBackupList), result, PropertyList::OwnerOnlyMode);
    if (mFseventObj)
        mFseventObj->takeScope(); // the folders outside the home are now what the set holds
    trace(QStringLiteral("EnumurateInitialBackupSet End"));
    trace(QStringLiteral("Post Notification"));
    if (mServices.localNotifications)
        mServices.localNotifications->postNotification(Protocol::Initialbackup);
}
