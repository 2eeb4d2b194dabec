#include "ReadController.h"

#include "DistributedNotificationCenter.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "RezodeListAndUpdateToDBController.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"
#include "UserFileAccess.h"
#include "UtilityClass.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QTimer>

ReadController::ReadController(DaemonServices services, const ExcludeManager* excludes,
                               RezodeListAndUpdateToDBController* lister, QObject* parent)
    : QObject(parent), mServices(std::move(services)), mExcludes(excludes),
      mAppSupportFilePathsObjct(FilePathsController::Table::Daemon, mServices.profile),
      mListingObject(lister), mAlive(std::make_shared<std::atomic<bool>>(true)) {
    if (!mListingObject) {
        mOwnLister = std::make_unique<RezodeListAndUpdateToDBController>(mServices.profile, *mServices.logger,
                                                                         IndexThrottle(mServices.timings));
        mListingObject = mOwnLister.get();
    }
    connect(&mReadOperationTimer, &QTimer::timeout, this, &ReadController::ReadOperation);
    connect(&mListingTimer, &QTimer::timeout, this, &ReadController::startListingDailyOnceUpdateToDatabase);
}

ReadController::~ReadController() {
    *mAlive = false;
    mReadOperationTimer.stop();
    mListingTimer.stop();
    if (mServices.notifications)
        mServices.notifications->removeObserver(this);
    // The manager's end reports must not reach a controller that is going away.
    if (mRSyncBackupManager)
        mRSyncBackupManager->setDelegate(nullptr);
}

QVariantMap ReadController::cachedUserInfo() const {
    QMutexLocker lock(&mLock);
    return mUserInfoDic;
}

QVariantMap ReadController::readUserDetails() const {
    UserFileAccess access(mAppSupportFilePathsObjct.m_ConsoleUserName());
    return PropertyList::readDictionary(path(DaemonPath::UserDetails));
}

void ReadController::initReaderController(const QVariantMap& details) {
    const QString consoleUser = details.value(QString::fromLatin1(ConsoleUserKey)).toString();
    mAppSupportFilePathsObjct.setM_ConsoleUserName(consoleUser);
    if (const std::optional<UserFileAccess::Account> account = UserFileAccess::lookup(consoleUser))
        mConsoleUid = account->uid;
    const QString machine = QStringLiteral("%1").arg(UtilityClass::machineName());

    const QVariantMap userDetails = readUserDetails();
    mRSyncBackupManager = std::make_unique<RSyncBackupManager>(mServices, mExcludes);
    mRSyncBackupManager->initializeApplicationSupportPaths(consoleUser,
                                                           userDetails.value(Protocol::UserName).toString());
    mRSyncBackupManager->setMDestinationPath(machine);
    mRSyncBackupManager->setDelegate(this);

    bool builtin = false;
    {
        // The record lies in the person's home: read with their rights only.
        UserFileAccess access(consoleUser);
        builtin = RsyncConventions::isDefaultRsync(path(DaemonPath::RsyncVersion));
    }
    mRSyncBackupManager->setIsBuiltinRsync(builtin);
    mListingObject->setIsBuiltinRsync(builtin);
    mServices.logger->logSessionTrace(
        builtin ? QStringLiteral("setIsBuiltinRsync yes") : QStringLiteral("setIsBuiltinRsync NO"), true);

    mListingTimer.start(mServices.timings.serverListingInterval);
    mPause = userDetails.value(Protocol::PauseStateKey).toString() == Protocol::FlagOn;
    if (!mReadOperationTimer.isActive())
        mReadOperationTimer.start(mServices.timings.backupPassInterval);

    if (mServices.notifications) {
        mServices.notifications->addObserver(
            this, Protocol::LogIn,
            [this](const QString&, const QVariantMap& info) { receiveTestNotification(info); });
        mServices.notifications->addObserver(
            this, Protocol::PauseState,
            [this](const QString&, const QVariantMap& info) { receivePauseNotification(info); });
    }
}

void ReadController::ReadOperation() {
    if (mPause)
        return;
    readBackupFiles();
    deleteReadBackupFile();
}

void ReadController::readBackupFiles() {
    if (!mRSyncBackupManager || mRSyncBackupManager->mIsRunning())
        return;
    // Paths an earlier run could not write back go to the folder first; after a failed run the
    // lists wait for the retry schedule's next step.
    mRSyncBackupManager->flushOwedPaths();
    if (mRSyncBackupManager->isBackingOff())
        return;
    const QString folder = path(DaemonPath::BackupListsFolder);
    const QStringList listing =
        QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    if (listing.isEmpty())
        return;
    QStringList paths = readFileFor(listing);
    paths.removeDuplicates();
    if (paths.isEmpty())
        return;
    // The run owes what these lists held since they were queued (each list carries that time).
    mRSyncBackupManager->setQueuedTimes(mTakenOldest, mTakenNewest);
    StartBackupForPath(paths);
}

QStringList ReadController::readFileFor(const QStringList& listing) {
    const QString folder = path(DaemonPath::BackupListsFolder);
    const bool many = listing.size() > ManyLists;
    QStringList result;
    int read = 0;
    mTakenOldest = mTakenNewest = QDateTime();
    for (const QString& name : listing) {
        if (many && read >= ListsPerPassWhenMany)
            break;
        // Only lists the collector has finished: a name of its own without the extensions of a list
        // being written or already read. Hidden names are temporary files of an atomic write (or
        // ".DS_Store"), half written or empty.
        const QString suffix = QFileInfo(name).suffix();
        if (suffix == Protocol::ListExtensionProgress || suffix == Protocol::ListExtensionDelete ||
            name.startsWith(u'.'))
            continue;
        const QString file = QStringLiteral("%1/%2").arg(folder, name);
        // Read within a bound: a list too large for it stays where it is, with a trace line, rather
        // than exhausting the daemon's memory or being thrown away.
        QByteArray text;
        QString error;
        if (!FileTools::readRegularFile(file, RSyncBackupManager::MaxListBytes, text, &error) &&
            QFileInfo(file).size() > RSyncBackupManager::MaxListBytes) {
            mServices.logger->logDaemonTrace(error, true);
            continue;
        }
        result << QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
        const QDateTime queued = QFileInfo(file).lastModified().toUTC();
        if (queued.isValid() && (!mTakenOldest.isValid() || queued < mTakenOldest))
            mTakenOldest = queued;
        if (queued.isValid() && (!mTakenNewest.isValid() || queued > mTakenNewest))
            mTakenNewest = queued;
        const QString consumed = QStringLiteral("%1.%2").arg(file, Protocol::ListExtensionDelete);
        QFile::remove(consumed);
        QFile::rename(file, consumed);
        ++read;
    }
    return result;
}

void ReadController::deleteReadBackupFile() {
    if (mDeleteRunning)
        return;
    mDeleteRunning = true;
    const QString folder = path(DaemonPath::BackupListsFolder);
    const QStringList listing =
        QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : listing)
        if (QFileInfo(name).suffix() == Protocol::ListExtensionDelete)
            QFile::remove(QStringLiteral("%1/%2").arg(folder, name));
    mDeleteRunning = false;
}

void ReadController::StartBackupForPath(const QStringList& paths) {
    // What the application was told last must stay true: after a failure it heard of, a run that may
    // only meet the same failure again is not announced as backing up until it sends.
    if (mRSyncBackupManager->announceRun())
        postBackupStarts();
    else
        mStartOwed = true;
    QVariantMap account;
    {
        QMutexLocker lock(&mLock);
        if (mUserInfoDic.isEmpty()) {
            const QVariantMap details = readUserDetails();
            mUserInfoDic.insert(Protocol::UserName, details.value(Protocol::UserName).toString());
            mUserInfoDic.insert(Protocol::Password,
                                UtilityClass::decryptPath(details.value(Protocol::Password).toString()));
            mUserInfoDic.insert(Protocol::BackupDestinationPath,
                                details.value(Protocol::BackupDestinationPath).toString());
            mUserInfoDic.insert(Protocol::Port, details.value(Protocol::Port).toString());
            mUserInfoDic.insert(Protocol::Ip, details.value(Protocol::Ip).toString());
        }
        account.insert(Protocol::UserName, mUserInfoDic.value(Protocol::UserName).toString());
        account.insert(Protocol::Password,
                       UtilityClass::decryptPath(mUserInfoDic.value(Protocol::Password).toString()));
        account.insert(Protocol::BackupDestinationPath,
                       mUserInfoDic.value(Protocol::BackupDestinationPath).toString());
        account.insert(Protocol::Ip, mUserInfoDic.value(Protocol::Ip).toString());
        account.insert(Protocol::Port, mUserInfoDic.value(Protocol::Port).toString());
    }
    mRSyncBackupManager->setFileSetForOperation(paths);
    mRSyncBackupManager->setMUserDetails(account);
    mRSyncBackupManager->setMBackupExecutorPath(path(DaemonPath::PrivateRsync));
    mRSyncBackupManager->startBackup();
}

void ReadController::receiveTestNotification(const QVariantMap& userInfo) {
    // The application wrote the account record before it posted this; the payload carries nothing
    // the record does not (and is nobody's to redirect the backups with): the next run reads the
    // record again, the address the log-in found included.
    Q_UNUSED(userInfo)
    {
        QMutexLocker lock(&mLock);
        mUserInfoDic.clear();
    }
    mServices.logger->logSessionTrace(QStringLiteral("logged in sucessfully"), true);
    // The appliance has just let the person in: what a refusal or a failure held back goes now, not
    // after the wait (on the thread the passes run on).
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!mRSyncBackupManager)
                return;
            mRSyncBackupManager->accountLoggedIn();
            ReadOperation();
        },
        Qt::QueuedConnection);
}

void ReadController::restartRunUnderWay() {
    if (!mRSyncBackupManager || !mRSyncBackupManager->mIsRunning())
        return;
    mServices.logger->logDaemonTrace(
        QStringLiteral("The run under way ends: the next one leaves out what is held"), true);
    mRSyncBackupManager->StopOnGoingBackup();
}

void ReadController::receivePauseNotification(const QVariantMap& userInfo) {
    Q_UNUSED(userInfo)
    // The application shows the pause (and, resumed, what waits) instead of what it was told before.
    if (mRSyncBackupManager)
        mRSyncBackupManager->forgetToldFailure();
    const QVariantMap details = readUserDetails();
    if (details.value(Protocol::PauseStateKey).toString() == Protocol::FlagOn) {
        mPause = true;
        if (mRSyncBackupManager)
            mRSyncBackupManager->StopOnGoingBackup();
        mServices.logger->logSessionTrace(QStringLiteral("Pause state cancel backup"), true);
    } else {
        mPause = false;
        mServices.logger->logSessionTrace(QStringLiteral("Resume state cancel backup"), true);
    }
}

void ReadController::startListingDailyOnceUpdateToDatabase() {
    startListing(true);
}

void ReadController::startListing(bool fromTimer) {
    RezodeLoger& trace = *mServices.logger;
    if (mListingObject->isRunning()) {
        trace.logDaemonTrace(
            fromTimer
                ? QStringLiteral("Listing is already running so no need to do listing")
                : QStringLiteral(
                      "initialBackupFinished  but listing controller already running so no need listing"),
            true);
        return;
    }
    if (fromTimer)
        trace.logDaemonTrace(QStringLiteral("startListingDailyOnceUpdateToDatabase Called"), true);
    const QVariantMap details = readUserDetails();
    const QString user = details.value(Protocol::UserName).toString();
    const QString password = details.value(Protocol::Password).toString();
    const QString address = details.value(Protocol::Ip).toString();
    // The password goes to the listing's rsync in its environment, never into a file.
    mListingObject->setUserName(user);
    mListingObject->setUserPasswd(password);
    mListingObject->setServerIp(address);
    mListingObject->setDbPath(path(DaemonPath::UserSupportFolder));
    mListingObject->setLocalUser(mAppSupportFilePathsObjct.m_ConsoleUserName());
    const RsyncConventions::Command command = RezodeListAndUpdateToDBController::firstLevelCommand(
        mListingObject->isBuiltinRsync(), path(DaemonPath::PrivateRsync), user, address,
        mServices.timings.rsyncStallTimeout);
    mListingObject->setLaunchPath(command.program);
    mListingObject->setArguments(command.arguments);
    mListingObject->initialListing();
    if (fromTimer)
        trace.logDaemonTrace(QStringLiteral("startListingDailyOnceUpdateToDatabase End"), true);
}

void ReadController::postProgress(const QVariantMap& userInfo, int options, bool personal) {
    QMutexLocker lock(&mPostLock);
    // Figures still waiting belong before this post.
    queuePendingFigures();
    queuePost(userInfo, options, personal);
}

void ReadController::postFigures(const QVariantMap& figures) {
    QMutexLocker lock(&mPostLock);
    mPendingFigures = figures;
    if (mFiguresFlushScheduled)
        return; // the newest figures replace those waiting
    mFiguresFlushScheduled = true;
    const qint64 since = mLastFiguresPost.isValid() ? mLastFiguresPost.elapsed() : FiguresInterval.count();
    const int wait = int(std::max<qint64>(0, FiguresInterval.count() - since));
    std::shared_ptr<std::atomic<bool>> alive = mAlive;
    const auto flush = [this, alive] {
        if (!*alive)
            return;
        QMutexLocker flushLock(&mPostLock);
        queuePendingFigures();
    };
    QObject* main = QCoreApplication::instance();
    if (!main || wait == 0) {
        queuePendingFigures();
        return;
    }
    // The timer runs on the main thread, where the posts leave from.
    QMetaObject::invokeMethod(
        main, [main, wait, flush] { QTimer::singleShot(wait, main, flush); }, Qt::QueuedConnection);
}

void ReadController::queuePendingFigures() {
    mFiguresFlushScheduled = false;
    if (!mPendingFigures)
        return;
    queuePost(
        {{Protocol::KeyProgress, *mPendingFigures}, {Protocol::KeyBackupRunning, QString(Protocol::FlagOn)}},
        Protocol::PostDeliverImmediatelyToAllSessions, true);
    mPendingFigures.reset();
    mLastFiguresPost.start();
}

void ReadController::queuePost(const QVariantMap& userInfo, int options, bool personal) {
    DistributedNotificationCenter* center = mServices.notifications;
    if (!center)
        return;
    // Every post leaves from the main thread, in the order the events were queued.
    QObject* main = QCoreApplication::instance();
    std::shared_ptr<std::atomic<bool>> alive = mAlive;
    // Without a known person nobody but root hears a personal one.
    const uint uid = mConsoleUid.value_or(0);
    const auto post = [center, alive, userInfo, options, personal, uid] {
        if (!*alive)
            return;
        if (personal)
            center->postNotificationToUser(uid, Protocol::Progress, userInfo, options);
        else
            center->postNotification(Protocol::Progress, userInfo, options);
    };
    if (!main) {
        post();
        return;
    }
    QMetaObject::invokeMethod(main, post, Qt::QueuedConnection);
}

void ReadController::operationDidStart(RSyncBackupManager* manager) {
    Q_UNUSED(manager)
    mServices.logger->logSessionTraceWithoutTimeStamp(QString(79, u'-'), true);
}

void ReadController::postBackupStarts() {
    postProgress({{Protocol::KeyProgress, QString(Protocol::ProgressBackupStarts)}},
                 Protocol::PostToAllSessions);
}

void ReadController::operationDidReceiveData(const QVariantMap& progress) {
    QMutexLocker lock(&mLock);
    if (mStartOwed.exchange(false))
        postBackupStarts();
    postFigures(progress);
}

void ReadController::operationDidReceiveErrors(const QString& errors, const QString& file) {
    Q_UNUSED(file)
    postProgress({{Protocol::KeyProgress, QString(Protocol::ProgressError)}, {Protocol::KeyError, errors}},
                 Protocol::PostDeliverImmediatelyToAllSessions, true);
}

void ReadController::operationDidFailWithError(const QString& text) {
    postProgress({{Protocol::KeyProgress, QString(Protocol::ProgressError)}, {Protocol::KeyError, text}},
                 Protocol::PostDeliverImmediatelyToAllSessions, true);
}

void ReadController::quotaExceded(RSyncBackupManager* manager) {
    Q_UNUSED(manager)
    postProgress({{Protocol::KeyProgress, QString(Protocol::ProgressQuotaExceeded)}});
}

void ReadController::operationDidCancel(RSyncBackupManager* manager) {
    Q_UNUSED(manager)
    mStartOwed = false;
    postProgress({{Protocol::KeyProgress, QString(Protocol::ProgressBackupCanceled)}});
}

void ReadController::initialBackupFinished(RSyncBackupManager* manager) {
    Q_UNUSED(manager)
    startListing(false);
}

void ReadController::operationDidFinishSuccessfully(RSyncBackupManager* manager) {
    Q_UNUSED(manager)
    mStartOwed = false;
    postProgress({{Protocol::KeyProgress, QString(Protocol::ProgressBackupCompleted)}});
}

void ReadController::serverAddressDidChange(const QString& address) {
    QMutexLocker lock(&mLock);
    if (!mUserInfoDic.isEmpty())
        mUserInfoDic.insert(Protocol::Ip, address);
}
