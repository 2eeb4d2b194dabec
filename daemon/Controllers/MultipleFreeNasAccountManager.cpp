#include "MultipleFreeNasAccountManager.h"

#include "AccountRecord.h"
#include "DaemonRestarter.h"
#include "DistributedNotificationCenter.h"
#include "ExcludeManager.h"
#include "ExclusionRules.h"
#include "FileTools.h"
#include "HostFacts.h"
#include "PersonScope.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "TimeMachineTool.h"
#include "UserFileAccess.h"
#include "UtilityClass.h"

#include <QDir>
#include <QFileInfo>

namespace {

QStringList unique(const QStringList& list) {
    QStringList out;
    QSet<QString> seen;
    for (const QString& item : list)
        if (!seen.contains(item)) {
            seen.insert(item);
            out << item;
        }
    return out;
}

} // namespace

MultipleFreeNasAccountManager::MultipleFreeNasAccountManager(DaemonServices services,
                                                             ExcludeManager* excludeManager,
                                                             UserControllerFactory userControllerFactory)
    : mServices(std::move(services)), mExcludeManager(excludeManager),
      mUserControllerFactory(std::move(userControllerFactory)),
      mAppSupportFilePathsObjct(FilePathsController::Table::Daemon, mServices.profile) {
    mPollTimer.setInterval(mServices.timings.accountPollInterval);
    connect(&mPollTimer, &QTimer::timeout, this, &MultipleFreeNasAccountManager::didUserChanged);
}

MultipleFreeNasAccountManager::~MultipleFreeNasAccountManager() {
    if (mServices.notifications)
        mServices.notifications->removeObserver(this);
}

void MultipleFreeNasAccountManager::trace(const QString& line) const {
    mServices.logger->logDaemonTrace(line, true);
}

void MultipleFreeNasAccountManager::initWithDetails(const QString& consoleUserName) {
    mConsoleUser = consoleUserName;
    mAppSupportFilePathsObjct.setM_ConsoleUserName(consoleUserName);
    mServices.logger->setLogWritePath(path(DaemonPath::DaemonTrace));
    mServices.logger->setSessionLogWritePath(path(DaemonPath::SessionLogsFolder), consoleUserName);
    if (QFileInfo::exists(path(DaemonPath::InstalMarker))) {
        trace(QStringLiteral("Deamon restarted  due to application install/ Reinitialize"));
        getInitialBackupSetList();
        constructExcludeFolderList();
    } else {
        trace(QStringLiteral("Deamon restarted not due to application install"));
    }
    checkForUserLogedIn();
}

void MultipleFreeNasAccountManager::checkForUserLogedIn() {
    didUserChanged();
    mPollTimer.start();
}

QVariantMap MultipleFreeNasAccountManager::readUserDetails(bool* exists) const {
    // The record lies in the user's home: read with that user's rights only.
    UserFileAccess access(mConsoleUser);
    const QString detailsPath = path(DaemonPath::UserDetails);
    if (exists)
        *exists = QFileInfo::exists(detailsPath);
    return AccountRecord::read(detailsPath).stored();
}

void MultipleFreeNasAccountManager::didUserChanged() {
    bool exists = false;
    const QVariantMap details = readUserDetails(&exists);
    if (!exists) {
        mTimeMachineUserSet.clear();
        return;
    }
    const QString user = details.value(Protocol::UserName).toString();
    const QString local = details.value(Protocol::LocalBackup).toString();
    const QString timeMachine = details.value(Protocol::TimeMachineBackup).toString();

    // The account name becomes a folder name on both sides; anything else is not an account.
    if (!user.isEmpty() && !UserFileAccess::isSinglePathComponent(user)) {
        if (refusedUserName != user)
            trace(
                QStringLiteral("Account name \"%1\" in the user details refused: not a single path component")
                    .arg(user));
        refusedUserName = user;
        return;
    }
    // One process serves one appliance account: its collector, backup controller and index are set
    // up for it. Another account that switches local backup on gets a fresh process, as every other
    // account change does.
    if (!mFreeNasUserSet.isEmpty() && !mFreeNasUserSet.contains(user) && local == Protocol::FlagOn) {
        trace(QStringLiteral("checkForUserLogedIn appliance account changed restarting deamon"));
        mServices.restarter->exitProcess(1);
        return;
    }
    if (!mFreeNasUserSet.contains(user) && local == Protocol::FlagOn) {
        mFreeNasUserSet.insert(user);
        if (mUserControllerFactory) {
            auto controller = mUserControllerFactory({{QStringLiteral("ConsoleUser"), mConsoleUser}});
            if (controller)
                mFreeNasUserObject.push_back(std::move(controller));
        }
        trace(QStringLiteral("checkForUserLogedIn local backup is 1"));
    }
    if (!mTimeMachineUserSet.contains(user) && timeMachine == Protocol::FlagOn) {
        mTimeMachineUserSet.insert(user);
        registerTimeMachineObservers();
        CompleteEnableTimeMachine(user);
        trace(QStringLiteral("checkForUserLogedIn time machine backup is 1"));
    }
    if (mFreeNasUserSet.contains(user) && local == Protocol::FlagOff) {
        trace(QStringLiteral("checkForUserLogedIn local machine backup is 0 restarting deamon"));
        mServices.restarter->exitProcess(1);
        return;
    }
    if (mTimeMachineUserSet.contains(user) && timeMachine == Protocol::FlagOff) {
        DisableTimeMachine();
        mTimeMachineUserSet.remove(user);
        removeTimeMachineObservers();
        trace(QStringLiteral("checkForUserLogedIn time machine backup is 0 diabling time machine"));
    }
}

void MultipleFreeNasAccountManager::registerTimeMachineObservers() {
    if (!mServices.notifications)
        return;
    // One registration per name, however often Time Machine is switched on again.
    removeTimeMachineObservers();
    mServices.notifications->addObserver(
        this, Protocol::TimeMachine,
        [this](const QString&, const QVariantMap& info) { EnableTimeMachineBackup(info); });
    mServices.notifications->addObserver(
        this, Protocol::EnableTimeMachine,
        [this](const QString&, const QVariantMap&) { TimeMachineReceivePauseNotification(); });
    mServices.notifications->addObserver(
        this, Protocol::TimeMachineBackupCanceled,
        [this](const QString&, const QVariantMap&) { TimeMachineBackupCanceled(); });
}

void MultipleFreeNasAccountManager::removeTimeMachineObservers() {
    if (!mServices.notifications)
        return;
    for (const QLatin1String name :
         {Protocol::TimeMachine, Protocol::EnableTimeMachine, Protocol::TimeMachineBackupCanceled})
        mServices.notifications->removeObserver(this, name);
}

void MultipleFreeNasAccountManager::getInitialBackupSetList() {
    trace(QStringLiteral("getInitialBackupSetList Called"));
    const PlatformProfile& profile = mServices.profile;
    const HostFacts& facts = mServices.hostFacts ? *mServices.hostFacts : HostFacts::system();
    QSet<QString> volumeNames;
    for (const QString& line : UtilityClass::diskUtlilList(facts))
        volumeNames.insert(line.trimmed());
    QStringList roots;
    const auto internal = [&facts](const QString& volume) {
        HostFacts::VolumeInfo info;
        return facts.fileSystemInfo(volume, info) && !info.removable && !info.unmountable;
    };
    if (!profile.volumesFolder.isEmpty()) {
        // Volumes mounted in their own folder, listed by name.
        for (const QString& name : FileTools::entries(profile.volumesFolder)) {
            if (!volumeNames.contains(name) || name == QLatin1String(".DS_Store"))
                continue;
            const QString volume = profile.volumesFolder + u'/' + name;
            if (internal(volume))
                roots << volume;
        }
    } else {
        // The disk listing names the mount points themselves.
        for (const QString& mountPoint : std::as_const(volumeNames)) {
            if (mountPoint.isEmpty())
                continue;
            const QString volume = profile.rooted(mountPoint);
            if (QFileInfo(volume).isDir() && internal(volume))
                roots << volume;
        }
    }
    for (const QString& name : FileTools::entries(profile.root + QStringLiteral("/"))) {
        bool skip = false;
        for (const QString& prefix : profile.initialSetRootPrefixes)
            if (name.startsWith(prefix)) {
                skip = true;
                break;
            }
        if (!skip)
            roots << profile.root + u'/' + name;
    }
    FileTools::makePath(QFileInfo(path(DaemonPath::InitialBackupList)).path());
    PropertyList::writeStringArray(path(DaemonPath::InitialBackupList), unique(roots),
                                   PropertyList::OwnerOnlyMode);
    trace(QStringLiteral("getInitialBackupSetList End"));
}

void MultipleFreeNasAccountManager::constructExcludeFolderList() {
    trace(QStringLiteral("constructExcludeFolderList Called"));
    const PlatformProfile& profile = mServices.profile;
    const QString usersName = QFileInfo(profile.usersFolder).fileName();
    const auto homeFolders = [&profile](const QString& usersFolder) {
        QStringList out;
        for (const QString& home : FileTools::entries(usersFolder)) {
            const QString excluded = usersFolder + u'/' + home + u'/' + profile.perHomeExcludedFolder;
            if (QFileInfo::exists(excluded))
                out << excluded;
        }
        return out;
    };
    QStringList excluded;
    for (const QString& root : PropertyList::readStringArray(path(DaemonPath::InitialBackupList))) {
        for (const QString& folder : profile.volumeSystemFolders)
            if (QFileInfo::exists(root + folder))
                excluded << root + folder;
        excluded << homeFolders(root + u'/' + usersName);
    }
    excluded << homeFolders(profile.usersFolder);
    // The person's own home, wherever it is: what people and their desktops expect left out (caches,
    // trash, session secrets and logs, our own state), whether it exists yet or not. The person sees
    // and edits the same list in the exclusion editor.
    const QString home = mConsoleUser.isEmpty() ? QString() : profile.homeOf(mConsoleUser);
    if (!home.isEmpty())
        for (const QString& relative : profile.perHomeExclusions)
            excluded << home + u'/' + relative;
    excluded << profile.defaultExclusions;
    // No entry that would exclude the home from above ("/var" where the home is "/var/home/ann").
    const QStringList homeNames =
        PersonScope(home, {}, mServices.hostFacts ? *mServices.hostFacts : HostFacts::system(),
                    {profile.usersFolder})
            .homeNames();
    const QSet<QString> kept =
        ExclusionRules::withoutHoldersOf(QSet<QString>(excluded.cbegin(), excluded.cend()), homeNames);
    excluded.erase(std::remove_if(excluded.begin(), excluded.end(),
                                  [&kept](const QString& entry) { return !kept.contains(entry); }),
                   excluded.end());
    const QString list = path(DaemonPath::InitialExcludeList);
    {
        UserFileAccess access(mConsoleUser);
        FileTools::makePath(QFileInfo(list).path(), 0700);
        PropertyList::writeStringArray(list, unique(excluded), PropertyList::OwnerOnlyMode);
    }
    trace(QStringLiteral("constructExcludeFolderList End"));
}

void MultipleFreeNasAccountManager::EnableTimeMachineBackup(const QVariantMap& userInfo) {
    CompleteEnableTimeMachine(userInfo.value(Protocol::KeyPath).toString());
}

void MultipleFreeNasAccountManager::CompleteEnableTimeMachine(const QString& sharePathFromCaller) {
    QVariantMap details = readUserDetails();
    const QString stored = details.value(Protocol::TMSharePath).toString();
    const QString sharePath = stored.isEmpty() ? sharePathFromCaller : stored;
    trace(QStringLiteral("EnableTimeMachine called"));
    TimeMachineTool tool(mServices.profile.snapshotToolPath);
    trace(QStringLiteral("Command Used to enable Time machine:%1").arg(QStringLiteral("tmutil enable")));
    const TimeMachineTool::Result enabled = tool.run({QStringLiteral("enable")});
    trace(QStringLiteral("EnableTimeMachine status:%1").arg(enabled.exitCode));
    const bool destination = addBackupToTimeMachineList(sharePath);
    const bool ok = enabled.succeeded() && destination;
    if (ok)
        details.insert(Protocol::TMSharePath, sharePath);
    if (mServices.notifications)
        mServices.notifications->postNotification(
            Protocol::TimeMachineResult,
            {{Protocol::KeyResult, ok ? QString(Protocol::FlagOn) : QString(Protocol::FlagOff)}});
    if (ok) {
        UserFileAccess access(mConsoleUser);
        AccountRecord(details).write(path(DaemonPath::UserDetails));
    }
    trace(QStringLiteral("EnableTimeMachine End"));
}

bool MultipleFreeNasAccountManager::addBackupToTimeMachineList(const QString& sharePath) {
    if (sharePath.isEmpty())
        return false;
    const QVariantMap details = readUserDetails();
    const AccountRecord record(details);
    const QString mountPoint = TimeMachineTool::mountPointOf(
        TimeMachineTool::destinationUrl(record.userName(), record.value(Protocol::Ip), sharePath),
        mServices.profile.shareMountFolder);
    const QString marker = QStringLiteral("%1/.autodiskmounted").arg(mountPoint);
    {
        UserFileAccess access(mConsoleUser);
        PropertyList::writeStringArray(path(DaemonPath::TimeMachineExclude), {mountPoint, marker},
                                       PropertyList::OwnerOnlyMode);
    }
    if (mExcludeManager) {
        mExcludeManager->addTimeMachineDestinationToExcludeList(mountPoint);
        mExcludeManager->addTimeMachineDestinationToExcludeList(marker);
    }
    trace(QStringLiteral("Added TimeMachine Destination To ExcludeList:%1 %2").arg(mountPoint, marker));
    const TimeMachineTool::Result result =
        TimeMachineTool(mServices.profile.snapshotToolPath)
            .setDestination(record.userName(), record.password(), record.value(Protocol::Ip), sharePath);
    const QString error = QString::fromUtf8(result.error);
    if (!error.isEmpty()) {
        trace(QStringLiteral("Time machine set destination error :%1").arg(error));
        return false;
    }
    trace(QStringLiteral("Configure done properly"));
    return true;
}

void MultipleFreeNasAccountManager::DisableTimeMachine() {
    trace(QStringLiteral("DisableTimeMachine command:%1").arg(QStringLiteral("tmutil disable")));
    const TimeMachineTool::Result result =
        TimeMachineTool(mServices.profile.snapshotToolPath).run({QStringLiteral("disable")});
    trace(QStringLiteral("DisableTimeMachine status:%1").arg(result.exitCode));
}

void MultipleFreeNasAccountManager::TimeMachineReceivePauseNotification() {
    trace(QStringLiteral("TimeMachineReceivePauseNotification Called"));
    const QVariantMap details = readUserDetails();
    if (details.value(Protocol::EnableTimeMachineKey).toString() == Protocol::FlagOn) {
        trace(QStringLiteral("Resume time machine backup"));
        trace(QStringLiteral("resume time machine called"));
        CompleteEnableTimeMachine(details.value(Protocol::TMSharePath).toString());
    } else {
        trace(QStringLiteral("Pause time machine backup"));
        trace(QStringLiteral("Pause time machine called"));
        DisableTimeMachine();
    }
    trace(QStringLiteral("TimeMachineReceivePauseNotification End"));
}

void MultipleFreeNasAccountManager::TimeMachineBackupCanceled() {
    const QVariantMap details = readUserDetails();
    mTimeMachineUserSet.remove(details.value(Protocol::UserName).toString());
}
