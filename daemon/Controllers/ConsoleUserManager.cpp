#include "ConsoleUserManager.h"

#include "ConsoleUserSource.h"
#include "DaemonRestarter.h"
#include "RezodeLoger.h"
#include "ServedPerson.h"
#include "UserFileAccess.h"

#include <QMutexLocker>
#include <QTimer>

ConsoleUserManager::ConsoleUserManager(DaemonServices services, AccountManagerFactory accountManagerFactory)
    : mServices(std::move(services)), mAccountManagerFactory(std::move(accountManagerFactory)),
      mAppSupportFilePathsObjct(FilePathsController::Table::Daemon, mServices.profile) {}

ConsoleUserManager::~ConsoleUserManager() {
    if (mWatchThread) {
        mWatchThread->quit();
        mWatchThread->wait();
    }
    // Account managers built on the watch thread are released after that thread has ended.
    QMutexLocker lock(&mLock);
    mConsoleUserCollection.clear();
}

QString ConsoleUserManager::currentConsoleUserName() const {
    return mServices.consoleUser->currentUserName();
}

QString ConsoleUserManager::presentConsoleUser() const {
    QMutexLocker lock(&mLock);
    return mPresentConsoleUser;
}

int ConsoleUserManager::accountManagerCount() const {
    QMutexLocker lock(&mLock);
    return mConsoleUserCollection.size();
}

void ConsoleUserManager::start() {
    const QString name = currentConsoleUserName();
    const bool nobody = name.isEmpty() || name == ConsoleUserSource::LoginWindow;
    if (!nobody)
        mAppSupportFilePathsObjct.setM_ConsoleUserName(name);
    RezodeLoger& logger = *mServices.logger;
    logger.setLogWritePath(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::DaemonTrace));
    // Session logs live in the home of the person at the screen; with nobody there, there are none
    // (the paths of an unnamed user would be those of the daemon's own account).
    logger.setSessionLogWritePath(
        nobody ? QString() : mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::SessionLogsFolder),
        nobody ? QString() : name);
    logger.logDaemonTrace(QStringLiteral("ConsoleUserManager started."), true);

    // The baseline of the watch is the name read here: a change while the first build runs is
    // still seen as a change.
    gCurrentConsoleUser = nobody ? QString() : name;
    didConsoleUserChanged(name);
    ConsoleUserDetector();
    QTimer::singleShot(mServices.timings.daemonRestartInterval, this, &ConsoleUserManager::restartDamon);
}

void ConsoleUserManager::didConsoleUserChanged(const QString& userName) {
    RezodeLoger& logger = *mServices.logger;
    logger.logDaemonTrace(QStringLiteral("didConsoleUserChanged started."), true);
    if (userName.isEmpty() || userName == ConsoleUserSource::LoginWindow) {
        logger.logDaemonTrace(QStringLiteral("Console user name nill or Login window is present"), true);
        return;
    }
    {
        QMutexLocker lock(&mLock);
        if (mConsoleUserCollection.contains(userName)) {
            lock.unlock();
            logger.logDaemonTrace(
                QStringLiteral("No login window and console user array  contains this user."), true);
            return;
        }
    }
    logger.logDaemonTrace(QStringLiteral("No login window and console user array not contains this user."),
                          true);
    bool otherUser = false;
    {
        QMutexLocker lock(&mLock);
        otherUser = !mConsoleUserCollection.isEmpty();
    }
    if (otherUser) {
        exitDaemon(QStringLiteral("Console User Changed so restarting damon"));
        return;
    }
    {
        QMutexLocker lock(&mLock);
        mPresentConsoleUser = userName;
    }
    // From now on only this person (and root) may ask anything of what is built for them.
    if (mServices.servedPerson) {
        const std::optional<UserFileAccess::Account> account = UserFileAccess::lookup(userName);
        mServices.servedPerson->set(userName, account ? account->uid : uid_t(-1));
    }
    // Built outside the lock: the manager's first poll pass runs inside its creation.
    std::shared_ptr<QObject> manager;
    if (mAccountManagerFactory)
        manager = mAccountManagerFactory(userName);
    QMutexLocker lock(&mLock);
    mConsoleUserCollection.insert(userName, std::move(manager));
}

void ConsoleUserManager::ConsoleUserDetector() {
    mWatchThread = std::make_unique<QThread>();
    mWatchThread->setObjectName(QStringLiteral("console-user watch"));
    mWatchContext = new QObject;
    mWatchContext->moveToThread(mWatchThread.get());
    connect(mWatchThread.get(), &QThread::finished, mWatchContext, &QObject::deleteLater);
    mWatchThread->start();
    const QString baseline = gCurrentConsoleUser;
    QMetaObject::invokeMethod(mWatchContext, [this, baseline] {
        QString error;
        if (!mServices.consoleUser->watch([this](const QString& user) { queueNotification(user); }, &error)) {
            mServices.logger->logDaemonTrace(
                QStringLiteral("console user watch could not be set up: %1, reading the console user every "
                               "%2 ms instead")
                    .arg(error)
                    .arg(mServices.timings.consoleUserPollInterval.count()),
                true);
            QMetaObject::invokeMethod(this, [this] {
                mPollTimer = new QTimer(this);
                mPollTimer->setInterval(mServices.timings.consoleUserPollInterval);
                connect(mPollTimer, &QTimer::timeout, this, &ConsoleUserManager::pollConsoleUser);
                mPollTimer->start();
            });
            return;
        }
        // A change between start() and the watch taking hold would otherwise go unreported.
        const QString name = currentConsoleUserName();
        if ((name == ConsoleUserSource::LoginWindow ? QString() : name) != baseline)
            queueNotification(name);
    });
}

void ConsoleUserManager::queueNotification(const QString& userName) {
    QMetaObject::invokeMethod(
        this, [this, userName] { MyNotificationProc(userName); }, Qt::QueuedConnection);
}

void ConsoleUserManager::pollConsoleUser() {
    const QString name = currentConsoleUserName();
    if ((name == ConsoleUserSource::LoginWindow ? QString() : name) != gCurrentConsoleUser)
        MyNotificationProc(name);
}

void ConsoleUserManager::MyNotificationProc(const QString& userName) {
    if (userName.isEmpty() || userName == ConsoleUserSource::LoginWindow) {
        exitDaemon(QStringLiteral("console user nil so quit deamon"));
        return;
    }
    if (gCurrentConsoleUser.isNull() || gCurrentConsoleUser != userName) {
        gCurrentConsoleUser = userName;
        didConsoleUserChanged(userName);
    }
}

void ConsoleUserManager::restartDamon() {
    exitDaemon(QStringLiteral("Restarted Damon after 24 hours"));
}

void ConsoleUserManager::exitDaemon(const QString& traceLine) {
    mServices.logger->logDaemonTrace(traceLine, true);
    mServices.restarter->exitProcess(1);
}
