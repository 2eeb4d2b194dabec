#include "AppDelegate.h"

#include "DesktopNotifier.h"
#include "DistributedNotificationCenter.h"
#include "ExcludeController.h"
#include "FileTools.h"
#include "HeldChangesDialog.h"
#include "LoginController.h"
#include "LoginItems.h"
#include "MenuIconAnimation.h"
#include "Protocol.h"
#include "RestoreExclusionRecord.h"
#include "RsyncConventions.h"
#include "StatusTexts.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

// The tray artwork is compiled into this library; a static library's resources must be registered.
static void registerTrayArtwork() {
    Q_INIT_RESOURCE(tray);
}

namespace {

const QString kTooltipIdle = QStringLiteral("ZorvikHollin");
QString kTooltipPaused() {
    return QCoreApplication::translate("AppDelegate", "Paused");
}
QString kTooltipInProgress() {
    return QCoreApplication::translate("AppDelegate", "Backup is in progress");
}
QString kMessageUnexpectedError() {
    return QCoreApplication::translate("AppDelegate",
                                       "The backup operation could not start due to an unexpected error.");
}
QString kQuitTitle() {
    return QCoreApplication::translate("AppDelegate", "Quit Zorvik Hollin");
}
QString kReinitializeTitle() {
    return QCoreApplication::translate("AppDelegate", "Reinitialize");
}

// The signals that end the application the way a quit does.
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Where the signal handler writes the signal's number; -1 while no controller holds the handlers.
volatile std::sig_atomic_t gSignalWriteEnd = -1;

extern "C" void onTerminationSignal(int signal) {
    const int saved = errno;
    const int fd = gSignalWriteEnd;
    if (fd >= 0) {
        const unsigned char number = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
    }
    errno = saved;
}

QString signalName(int signal) {
    switch (signal) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QString::number(signal);
    }
}

} // namespace

// The handlers and the socket pair between them and the main thread.
struct AppDelegate::TerminationSignals {
    int ends[2] = {-1, -1};
    QSocketNotifier* notifier = nullptr;
    std::vector<std::pair<int, struct sigaction>> previous;

    ~TerminationSignals() {
        for (const auto& [signal, action] : previous)
            ::sigaction(signal, &action, nullptr);
        gSignalWriteEnd = -1;
        delete notifier;
        for (int fd : ends)
            if (fd >= 0)
                ::close(fd);
    }
};

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent), mServices(std::move(services)),
      mAppSupportFilePathsObjct(FilePathsController::Table::Application, mServices.profile) {
    registerTrayArtwork();
    mAppSupportFilePathsObjct.setM_ConsoleUserName(mServices.userName);
    if (!mServices.terminate)
        mServices.terminate = [] { QCoreApplication::quit(); };
    if (!mServices.beep)
        mServices.beep = [] { QApplication::beep(); };
    mHealth = std::make_unique<BackupHealth>(mServices.defaults, mServices.desktop.notifier,
                                             mServices.desktop.now, mServices.desktop.timings,
                                             [this](const QString& line) { writeInteractiveTrace(line); });
    connect(mHealth.get(), &BackupHealth::warningChanged, this, [this](const QString& warning) {
        showToolTip();
        if (mStatusController)
            mStatusController->setBackupWarning(warning);
    });
    mProtection = std::make_unique<ProtectionMonitor>(
        mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserSupportFolder) + u'/' +
            Protocol::PendingStateFile,
        mServices.defaults, mServices.desktop.notifier, mServices.desktop.now, mServices.desktop.protection,
        [this](const QString& line) { writeInteractiveTrace(line); });
    // Changes that wait while the backup fails are told about by the failure, not again.
    mProtection->setReachable([this] { return !mHealth->failing(); });
    // Changes the mass-change tripwire holds: the person looks at them, and lets them go.
    mProtection->setHeldActions([this] { showHeldChanges(); }, [this] { letHeldChangesGo(); });
    connect(mProtection.get(), &ProtectionMonitor::changed, this, [this] {
        showToolTip();
        if (mStatusController)
            mStatusController->setProtection(mProtection->view());
    });
}

AppDelegate::~AppDelegate() {
    mSignals.reset();
    if (mServices.desktop.notifier)
        mServices.desktop.notifier->setTrace({});
    if (mServices.notifications) {
        mServices.notifications->removeObserver(mHealth.get());
        mServices.notifications->removeObserver(mProtection.get());
        mServices.notifications->removeObserver(&mObserver);
        mServices.notifications->setTraceLogger({});
    }
    delete mStatusMenu;
    delete mStatusItem;
}

QIcon AppDelegate::trayImage(const QString& name) {
    return QIcon(QStringLiteral(":/icons/%1.png").arg(name));
}

QString AppDelegate::userDetailsPath() const {
    return mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserDetails);
}

AccountRecord AppDelegate::userDetails() const {
    return AccountRecord::read(userDetailsPath());
}

// ---- launch and termination

void AppDelegate::applicationDidFinishLaunching() {
    mIsAnimating = false;
    mIsBuiltInRsyncThere = false;

    const QString userSupport = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserSupportFolder);
    FileTools::makePath(userSupport, 0700);
    probeRsync();

    mFirstTimeLaunched = true;
    after(mServices.timings.startupWindow, [this] { mFirstTimeLaunched = false; });

    mRezodeLogerdlg.setLogWritePath(userSupport + u'/' + Protocol::InteractiveTraceFile);
    mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("Zorvik Hollin Launched"), true);

    AddToLoginItem();

    if (mServices.notifications) {
        // Refused senders and malformed notifications are worth a line in our own trace.
        mServices.notifications->setTraceLogger([this](const QString& line) {
            QMetaObject::invokeMethod(this, [this, line] { writeInteractiveTrace(line); });
        });
        mServices.notifications->addObserver(
            &mObserver, Protocol::Progress,
            [this](const QString&, const QVariantMap& info) { receiveTestNotification(info); });
        mServices.notifications->addObserver(
            &mObserver, Protocol::ZorvikHollinWatcherStarted, [this](const QString&, const QVariantMap&) {
                ResetStatusView();
                excludeCacheHome(); // the daemon may just have written the default list afresh
            });
        // The backup's health is followed even while paused, unlike the tray's look.
        mServices.notifications->addObserver(
            mHealth.get(), Protocol::Progress,
            [this](const QString&, const QVariantMap& info) { mHealth->progress(info); });
        mServices.notifications->addObserver(
            mHealth.get(), Protocol::IntialBackupFailedDueToNetworkConnection,
            [this](const QString&, const QVariantMap&) { mHealth->initialBackupGaveUp(); });
        mServices.notifications->addObserver(
            mProtection.get(), Protocol::PendingStateChanged,
            [this](const QString&, const QVariantMap&) { mProtection->reload(); });
        mServices.notifications->addObserver(
            mProtection.get(), Protocol::RestoreCheckFailed,
            [this](const QString&, const QVariantMap&) { mProtection->restoreCheckFailed(); });
    }
    if (mServices.desktop.notifier)
        mServices.desktop.notifier->setTrace([this](const QString& line) { writeInteractiveTrace(line); });

    // A restore whose application was killed under it left its item out of the backup: lifted now,
    // and the daemon queues it.
    for (const QString& path : RestoreExclusionRecord(mServices.profile, mServices.userName,
                                                      mServices.notifications, &mRezodeLogerdlg)
                                   .liftAll())
        mRezodeLogerdlg.logInteractiveTrace(
            QStringLiteral("Lifted the exclusion of %1 left by a restore that did not end").arg(path), true);

    mLogin = std::make_unique<LoginController>(*this);
    addIconsForMonitorAnimation();
    loadUI();
    excludeCacheHome();
}

void AppDelegate::excludeCacheHome() {
    const QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty())
        return;
    if (ExcludeController::excludeCacheHome(
            mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialExcludeList),
            mServices.profile.homeOf(mServices.userName), cache) &&
        mServices.notifications)
        mServices.notifications->postNotification(Protocol::Exclude);
}

void AppDelegate::probeRsync() {
    const QString home = mServices.profile.homeOf(mServices.userName);
    const QString versionFile = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::RsyncVersion);
    mIsBuiltInRsyncThere =
        RsyncConventions::detectRsync(home + u'/' + Protocol::RsyncVersionScratchFile, versionFile);
}

void AppDelegate::applicationWillTerminate() {
    // A pause never outlives the application. After a log-out there is no record to write; a record
    // that is not paused needs no write (a quit by signal is followed by the quit's own call).
    if (!AccountRecord::exists(userDetailsPath()) || !getPauseState())
        return;
    updateUserDetails([](AccountRecord& record) { record.setFlag(Protocol::PauseStateKey, false); });
}

bool AppDelegate::endOnTerminationSignals(QString* why) {
    const auto fail = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (mSignals)
        return true;
    if (gSignalWriteEnd >= 0)
        return fail(QStringLiteral("another controller holds the termination signals"));
    auto held = std::make_unique<TerminationSignals>();
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, held->ends) != 0)
        return fail(QStringLiteral("socketpair: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    held->notifier = new QSocketNotifier(qintptr(held->ends[1]), QSocketNotifier::Read);
    connect(held->notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char numbers[16];
        ssize_t count = 0;
        QList<int> received;
        while (mSignals && (count = ::read(mSignals->ends[1], numbers, sizeof numbers)) > 0)
            for (ssize_t i = 0; i < count; ++i)
                received << numbers[i];
        for (int signal : received)
            endBySignal(signal);
    });
    gSignalWriteEnd = held->ends[0];
    for (int signal : kTerminationSignals) {
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        struct sigaction old {};
        if (::sigaction(signal, &action, &old) != 0) {
            const QString reason = QStringLiteral("sigaction %1: %2")
                                       .arg(signalName(signal), QString::fromLocal8Bit(std::strerror(errno)));
            held.reset(); // puts back those already installed
            return fail(reason);
        }
        held->previous.emplace_back(signal, old);
    }
    mSignals = std::move(held);
    return true;
}

void AppDelegate::endBySignal(int signal) {
    mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("Zorvik Hollin ended by %1").arg(signalName(signal)),
                                        true);
    applicationWillTerminate();
    mServices.terminate();
}

void AppDelegate::AddToLoginItem() {
    if (mServices.loginItems && !mServices.applicationPath.isEmpty())
        mServices.loginItems->add(mServices.applicationPath);
}

void AppDelegate::removeLoginItem() {
    if (mServices.loginItems && !mServices.applicationPath.isEmpty())
        mServices.loginItems->remove(mServices.applicationPath);
}

// ---- state read from the files

int AppDelegate::getStatusType() const {
    const AccountRecord record = userDetails();
    const int timeMachine = record.integer(Protocol::TimeMachineBackup);
    const int local = record.integer(Protocol::LocalBackup);
    if (timeMachine == 0 && local == 0)
        return 0;
    if (timeMachine == 1 && local == 1)
        return 3;
    if (timeMachine == 1)
        return 2;
    if (local == 1)
        return 1;
    return 0;
}

bool AppDelegate::getPauseState() const {
    return userDetails().isOn(Protocol::PauseStateKey);
}

bool AppDelegate::isBackupPending() const {
    const QString folder = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::BackupListsFolder);
    for (const QString& name : FileTools::entries(folder)) {
        const QString extension = QFileInfo(name).suffix();
        if (extension != Protocol::ListExtensionProgress && extension != Protocol::ListExtensionDelete &&
            name != QLatin1String(".DS_Store"))
            return true;
    }
    return false;
}

bool AppDelegate::isIntialBackuprunning() const {
    return QFile::exists(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialSetReadyMarker)) ||
           QFile::exists(
               mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialBackupStartedMarker));
}

QString AppDelegate::getusername() const {
    return mLogin ? mLogin->getusername() : QString();
}

bool AppDelegate::updateUserDetails(const std::function<void(AccountRecord&)>& change) {
    const QString path = userDetailsPath();
    // The record's existence means "logged in": a choice made without one does not create it.
    if (!AccountRecord::exists(path))
        return false;
    QString error;
    AccountRecord record = AccountRecord::read(path, &error);
    if (!error.isEmpty()) {
        mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("cannot read %1: %2").arg(path, error), true);
        return false;
    }
    change(record);
    return record.write(path);
}

void AppDelegate::post(const QString& name) {
    if (mServices.notifications)
        mServices.notifications->postNotification(name);
}

void AppDelegate::after(std::chrono::milliseconds delay, std::function<void()> call) {
    QTimer::singleShot(delay, this, std::move(call));
}

// ---- the user's choices

void AppDelegate::loginForBackupType(int type) {
    const auto startWindow = [this] {
        mFirstTimeLogin = true;
        after(mServices.timings.startupWindow, [this] { mFirstTimeLogin = false; });
    };
    const QString path = userDetailsPath();
    AccountRecord record = userDetails();
    switch (type) {
    case 1:
        startWindow();
        record.setFlag(Protocol::TimeMachineBackup, false);
        record.setFlag(Protocol::LocalBackup, true);
        break;
    case 2:
        record.setFlag(Protocol::TimeMachineBackup, true);
        record.setFlag(Protocol::LocalBackup, false);
        break;
    case 3:
        startWindow();
        record.setFlag(Protocol::TimeMachineBackup, true);
        record.setFlag(Protocol::LocalBackup, true);
        break;
    default:
        break;
    }
    if (!updateUserDetails([&record](AccountRecord& stored) { stored = record; }))
        mRezodeLogerdlg.logInteractiveTrace(
            QStringLiteral("write plist %1 at path %2 failed").arg(record.maskedDescription(), path), true);
    loadUIAfterLogin();
    LaunchStatus();
}

void AppDelegate::startStop(int tag, bool stop) {
    if (tag == TimeMachineTag) {
        mRezodeLogerdlg.logInteractiveTrace(stop ? QStringLiteral("Pause time machine backup")
                                                 : QStringLiteral("Resume time machine backup"),
                                            true);
        if (!updateUserDetails(
                [stop](AccountRecord& r) { r.setFlag(Protocol::EnableTimeMachineKey, !stop); }))
            mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("write plist EnableTimeMachine"), true);
        post(Protocol::EnableTimeMachine);
        return;
    }
    const bool resume = getPauseState();
    showPauseState(!resume);
    if (!updateUserDetails([resume](AccountRecord& r) { r.setFlag(Protocol::PauseStateKey, !resume); }))
        mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("write plist pause local backup"), true);
    post(Protocol::PauseState);
    ResetStatusView();
}

void AppDelegate::showPauseState(bool paused) {
    if (!paused) {
        setImage(ImageRegular);
        return;
    }
    stopAnimation();
    setToolTip(kTooltipPaused());
    setImage(ImagePause);
    setStatusTitle(StatusTexts::PausedTitle());
    setStatusMessage(StatusTexts::PausedMessage());
}

void AppDelegate::PauseResume() {
    const bool resume = getPauseState();
    showPauseState(!resume);
    if (updateUserDetails([resume](AccountRecord& r) { r.setFlag(Protocol::PauseStateKey, !resume); }))
        post(Protocol::PauseState);
    ResetStatusView();
}

void AppDelegate::ResetStatusView() {
    if (getPauseState()) {
        stopAnimation();
        setStatusTitle(StatusTexts::PausedTitle());
        setStatusMessage(StatusTexts::PausedMessage());
        return;
    }
    if (isBackupPending() || isIntialBackuprunning()) {
        if (!mIsAnimating)
            startAnimation();
        setStatusTitle(StatusTexts::InProgressTitle());
        setStatusMessage(QString(Protocol::ProgressBackupStarts));
        setToolTip(kTooltipInProgress());
        return;
    }
    if (mFirstTimeLogin || mFirstTimeLaunched) {
        after(mServices.timings.startupWindow, [this] { ResetStatusView(); });
        setStatusMessage(tr("Processing..."));
        return;
    }
    stopAnimation();
    setImage(ImageRegular);
    if (mStatusController)
        mStatusController->showIdle();
}

// ---- "Progress"

void AppDelegate::receiveTestNotification(const QVariantMap& userInfo) {
    QMutexLocker locker(&mLock);
    if (getPauseState()) {
        setToolTip(kTooltipPaused());
        setImage(ImagePause);
        stopAnimation();
        return;
    }
    const QVariant progress = userInfo.value(Protocol::KeyProgress);
    if (progress.typeId() == QMetaType::QVariantMap) {
        // The daemon sends figures with at least one more entry; a bare dictionary means nothing.
        if (userInfo.size() < 2)
            return;
        setStatusTitle(StatusTexts::InProgressTitle());
        setToolTip(kTooltipInProgress());
        if (mStatusController)
            mStatusController->setProgress(progress.toMap());
        if (!mIsAnimating)
            startAnimation();
        return;
    }
    const QString text = progress.toString();
    if (text == Protocol::ProgressBackupCompleted) {
        stopAnimation();
        // A completed backup is the regular state again, also after a full appliance's alert.
        setImage(ImageRegular);
        // A tick already queued must not leave a frame behind.
        after(mServices.timings.completedSecondStop, [this] { stopAnimation(); });
        setStatusTitle(tr("Success!"));
        setStatusMessage(tr("You have successfully backed up all your files / folders."));
        setToolTip(QString(Protocol::ProgressBackupCompleted));
    } else if (text == Protocol::ProgressQuotaExceeded) {
        stopAnimation();
        setStatusTitle(QString());
        setStatusMessage(
            tr("Storage is full!\nYou have used all of your storage space.\nContact your admin."));
        setToolTip(tr("Storage is full!"));
        setImage(ImageAlert);
    } else if (text == Protocol::ProgressBackupCanceled) {
        stopAnimation();
        setStatusTitle(tr("Error!"));
        setStatusMessage(kMessageUnexpectedError());
        setToolTip(QString(Protocol::ProgressBackupCanceled));
    } else if (text == Protocol::ProgressError) {
        stopAnimation();
        setStatusTitle(tr("Error!"));
        setStatusMessage(kMessageUnexpectedError());
        setToolTip(tr("Backup failed"));
    } else {
        if (!mIsAnimating)
            startAnimation();
        setStatusTitle(StatusTexts::InProgressTitle());
        setStatusMessage(text);
        setToolTip(kTooltipInProgress());
    }
}

// ---- windows

void AppDelegate::LaunchStatus() {
    if (!mStatusController) {
        if (!mServices.windows.status)
            return;
        mStatusController = mServices.windows.status(*this);
        if (!mStatusController)
            return;
        mStatusController->setPosition(userDetails().userName());
        mStatusController->setBackupWarning(mHealth->warning());
        mStatusController->setProtection(mProtection->view());
        if (!hasTray())
            offerMenuIn(mStatusController->window());
        return;
    }
    mStatusController->showStausWindow();
}

bool AppDelegate::hasTray() const {
    return mServices.desktop.trayAvailable ? mServices.desktop.trayAvailable()
                                           : QSystemTrayIcon::isSystemTrayAvailable();
}

void AppDelegate::bringForward() {
    writeInteractiveTrace(QStringLiteral("Started again: coming to the front"));
    QWidget* window = nullptr;
    if (AccountRecord::exists(userDetailsPath())) {
        LaunchStatus();
        window = mStatusController ? mStatusController->window() : nullptr;
    } else if (mLogin) {
        mLogin->LaunchLogInWindow();
        window = mLogin.get();
    }
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}

void AppDelegate::offerMenuIn(QWidget* window) {
    if (!window || !mStatusMenu)
        return;
    auto* button = window->findChild<QToolButton*>(QStringLiteral("trayMenuButton"));
    if (!button) {
        button = new QToolButton(window);
        button->setObjectName(QStringLiteral("trayMenuButton"));
        button->setText(tr("Menu"));
        button->setPopupMode(QToolButton::InstantPopup);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    }
    button->setMenu(mStatusMenu);
    button->adjustSize();
    button->move(window->width() - button->width() - 8, 8);
    button->raise();
    button->show();
}

void AppDelegate::ViewLogs() {
    if (!mLogControllerDlg && mServices.windows.logs)
        mLogControllerDlg = mServices.windows.logs(*this);
    if (!mLogControllerDlg)
        return;
    mLogControllerDlg->window()->show();
    mLogControllerDlg->window()->raise();
    mLogControllerDlg->showLogWindow();
}

void AppDelegate::Preferences() {
    if (!mExcludeControllerDlg && mServices.windows.exclusions) {
        mExcludeControllerDlg = mServices.windows.exclusions(*this);
        if (mExcludeControllerDlg)
            mExcludeControllerDlg->setDetails();
    }
    if (!mExcludeControllerDlg)
        return;
    mExcludeControllerDlg->window()->show();
    mExcludeControllerDlg->window()->raise();
}

void AppDelegate::SendFeedback() {
    // A report still open (one that could not be sent, say) is brought forward with what the person
    // typed; a new one is made once it was closed.
    if (mSendErrorReportDlg && mSendErrorReportDlg->window()->isVisible()) {
        mSendErrorReportDlg->window()->raise();
        mSendErrorReportDlg->window()->activateWindow();
        return;
    }
    mSendErrorReportDlg.reset();
    if (!mServices.windows.feedback)
        return;
    mSendErrorReportDlg = mServices.windows.feedback(*this);
    if (!mSendErrorReportDlg)
        return;
    mSendErrorReportDlg->window()->show();
    mSendErrorReportDlg->window()->raise();
    const QString remembered = QFileInfo(userDetailsPath()).path() + u'/' + Protocol::RememberDetailsFile;
    mSendErrorReportDlg->setUserName(AccountRecord::read(remembered).userName());
}

void AppDelegate::RestoreWin() {
    // A window that is shown, or restores while hidden, is brought forward: thrown away, it would end
    // the restore under way.
    if (mRestoreViewControllerDlg &&
        (mRestoreViewControllerDlg->window()->isVisible() || mRestoreViewControllerDlg->isRestoreRunning())) {
        mRestoreViewControllerDlg->window()->show();
        mRestoreViewControllerDlg->window()->raise();
        mRestoreViewControllerDlg->window()->activateWindow();
        return;
    }
    if (mRestoreViewControllerDlg) {
        mRestoreViewControllerDlg->closeRestore();
        mRestoreViewControllerDlg.reset();
    }
    if (!mServices.windows.restore)
        return;
    mRestoreViewControllerDlg = mServices.windows.restore(*this);
    if (!mRestoreViewControllerDlg)
        return;
    mRestoreViewControllerDlg->window()->show();
    mRestoreViewControllerDlg->window()->raise();
}

bool AppDelegate::makeTimeMachineWindow() {
    if (!mTimeMachineDlg && mServices.windows.timeMachine) {
        mTimeMachineDlg = mServices.windows.timeMachine(*this);
        if (mTimeMachineDlg)
            mTimeMachineDlg->StartTimeMachineBackupFirstTime();
    }
    if (!mTimeMachineDlg)
        return false;
    mTimeMachineDlg->reset();
    return true;
}

void AppDelegate::TimeMachine() {
    if (!makeTimeMachineWindow())
        return;
    mTimeMachineDlg->window()->show();
    mTimeMachineDlg->window()->raise();
}

void AppDelegate::StartTimeMachine() {
    if (makeTimeMachineWindow())
        mTimeMachineDlg->setAttempt(1);
}

void AppDelegate::launchTimeMachineWindow() {
    if (mTimeMachineDlg) {
        mTimeMachineDlg->window()->show();
        mTimeMachineDlg->window()->raise();
    }
}

// ---- Time Machine hooks

void AppDelegate::setConfigureTimeMachine() {
    if (mTimeMachineDlg)
        mTimeMachineDlg->window()->hide();
    if (mStatusController)
        mStatusController->setConfigureTimeMachine();
}

void AppDelegate::TimeMachineConfigurationCompleted() {
    if (mStatusController)
        mStatusController->TimeMachineProcessCompleted();
}

void AppDelegate::TimeMachineConfigurationFailed() {
    AccountRecord record = userDetails();
    record.setFlag(Protocol::TimeMachineBackup, false);
    if (!updateUserDetails([](AccountRecord& r) { r.setFlag(Protocol::TimeMachineBackup, false); }))
        mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("write plist %1 at path %2 failed")
                                                .arg(record.maskedDescription(), userDetailsPath()),
                                            true);
    post(Protocol::TimeMachineBackupCanceled);
}

void AppDelegate::TimeMachineStoppedManually() {
    AccountRecord record = userDetails();
    record.setFlag(Protocol::TimeMachineBackup, true);
    if (!updateUserDetails([](AccountRecord& r) { r.setFlag(Protocol::TimeMachineBackup, true); }))
        mRezodeLogerdlg.logInteractiveTrace(
            QStringLiteral("TimeMachineStoppedManually write plist %1 at path %2 failed")
                .arg(record.maskedDescription(), userDetailsPath()),
            true);
}

// ---- menu commands

void AppDelegate::writeInteractiveTrace(const QString& line) {
    mRezodeLogerdlg.logInteractiveTrace(line, true);
}

bool AppDelegate::confirm(const QString& name, const QString& question, const QString& consequence,
                          const QString& proceed, const QString& keep) {
    QMessageBox alert(QMessageBox::Question, tr("Zorvik Hollin"), question);
    alert.setObjectName(name);
    alert.setInformativeText(consequence);
    QPushButton* yes = alert.addButton(proceed, QMessageBox::AcceptRole);
    QPushButton* no = alert.addButton(keep, QMessageBox::RejectRole);
    alert.setDefaultButton(no);
    alert.setEscapeButton(no);
    alert.exec();
    return alert.clickedButton() == yes;
}

void AppDelegate::Reinitialize() {
    if (!confirm(QStringLiteral("reinitializeAlert"), tr("Do you want to Reinitialize your backup?"),
                 tr("Your exclusions are set back to the defaults, and all your files / folders are "
                    "uploaded to the Zorvik Hollin device again from the start. This can take from "
                    "a few minutes to a few hours."),
                 kReinitializeTitle(), tr("Cancel")))
        return;
    mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("Reinitialize confirmed"), true);
    post(Protocol::Reinitialize);
}

void AppDelegate::logIn() {
    if (mLogin)
        mLogin->LaunchLogInWindow();
}

void AppDelegate::logOut() {
    if (!confirm(QStringLiteral("quitAlert"), tr("Do you want to Quit Zorvik Hollin"),
                 tr("You are logged out of your Zorvik Hollin account on this computer, and your "
                    "backups stop until you log in again. What is already on the Zorvik Hollin "
                    "device stays there."),
                 tr("Yes"), tr("No")))
        return;

    removeLoginItem();
    const QString path = userDetailsPath();
    const QString lastUserPath = QFileInfo(path).path() + u'/' + Protocol::LastUserFile;
    AccountRecord lastUser;
    lastUser.setValue(Protocol::LastUser, userDetails().userName());
    lastUser.write(lastUserPath);
    if (QFile::remove(path))
        mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("logged out succesfully"), true);
    else
        mRezodeLogerdlg.logInteractiveTrace(QStringLiteral("logged out failed"), true);
    mState = false;
    post(Protocol::LogOut);
    mServices.terminate();
}

// ---- tray item and menu

void AppDelegate::setImage(const QString& name) {
    mImageName = name;
    if (mStatusItem)
        mStatusItem->setIcon(trayImage(name));
}

void AppDelegate::setToolTip(const QString& text) {
    mToolTip = text;
    showToolTip();
}

void AppDelegate::showToolTip() {
    const QString warning = mHealth->warning();
    // What is not yet safe on the appliance, under the state's own line.
    const QString protection = mProtection ? mProtection->toolTipLine() : QString();
    const QString text = protection.isEmpty() ? mToolTip : mToolTip + u'\n' + protection;
    if (mStatusItem)
        mStatusItem->setToolTip(warning.isEmpty() ? text : text + u'\n' + warning);
}

void AppDelegate::setStatusTitle(const QString& text) {
    if (mStatusController)
        mStatusController->setTitleMessage(text);
}

void AppDelegate::setStatusMessage(const QString& text) {
    if (mStatusController)
        mStatusController->setDisplayMessage(text);
}

void AppDelegate::buildStatusItem(bool reuse) {
    if (!mStatusItem || !reuse) {
        delete mStatusItem;
        mStatusItem = new QSystemTrayIcon(this);
        mStatusItem->setObjectName(QStringLiteral("statusItem"));
        // The menu opens on a click as well as on the context click, as a menu-bar item's would.
        connect(mStatusItem, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason why) {
                    if (why == QSystemTrayIcon::Trigger && mStatusMenu)
                        mStatusMenu->popup(QCursor::pos());
                });
    }
    setToolTip(kTooltipIdle);
    setImage(ImageRegular);
}

void AppDelegate::showHeldChanges() {
    auto* dialog = new HeldChangesDialog(mProtection->state().heldFiles, mProtection->state().held,
                                         [this] { letHeldChangesGo(); });
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    dialog->raise();
}

void AppDelegate::letHeldChangesGo() {
    if (mServices.notifications)
        mServices.notifications->postNotificationToUser(::geteuid(), Protocol::ReleaseHeldChanges);
}

void AppDelegate::offerHeldChanges() {
    // While the tripwire holds changes the menu leads to them first, also once the notification is gone.
    const bool held = mState && mProtection->state().held > 0;
    if (held == bool(mHeldItem))
        return;
    if (!held) {
        delete mHeldSeparator;
        delete mHeldItem;
        return;
    }
    QAction* first = mStatusMenu->actions().value(0);
    mHeldItem = new QAction(tr("Held Changes…"), mStatusMenu);
    mHeldItem->setObjectName(QStringLiteral("heldChangesItem"));
    mHeldItem->setProperty("zhAvailable", true);
    connect(mHeldItem, &QAction::triggered, this, [this] { showHeldChanges(); });
    mHeldSeparator = new QAction(mStatusMenu);
    mHeldSeparator->setSeparator(true);
    mStatusMenu->insertAction(first, mHeldItem);
    mStatusMenu->insertAction(first, mHeldSeparator);
}

QAction* AppDelegate::addItem(const QString& title, void (AppDelegate::*action)(), bool available) {
    QAction* item = mStatusMenu->addAction(title);
    connect(item, &QAction::triggered, this, [this, action] { (this->*action)(); });
    item->setProperty("zhAvailable", available);
    item->setEnabled(available);
    return item;
}

void AppDelegate::buildMenu(bool afterLogin) {
    if (mStatusMenu)
        mStatusMenu->deleteLater();
    mStatusMenu = new QMenu();
    mStatusMenu->setObjectName(QStringLiteral("statusMenu"));
    // The paused menu shows its two separators in a row as they are.
    mStatusMenu->setSeparatorsCollapsible(false);
    const AppWindows& w = mServices.windows;

    mState = AccountRecord::exists(userDetailsPath());
    if (mState) {
        const AccountRecord record = userDetails();
        const bool paused = record.isOn(Protocol::PauseStateKey);
        if (record.integer(Protocol::LocalBackup) == 1) {
            QAction* reinitialize = addItem(kReinitializeTitle(), &AppDelegate::Reinitialize);
            reinitialize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
            mStatusMenu->addSeparator();
            addItem(tr("View Status"), &AppDelegate::ViewStatus, bool(w.status));
            if (!afterLogin)
                mStatusMenu->addSeparator();
            addItem(tr("View Log"), &AppDelegate::ViewLogs, bool(w.logs));
            if (afterLogin)
                mStatusMenu->addSeparator();
            addItem(tr("Preferences"), &AppDelegate::Preferences, bool(w.exclusions));
            addItem(tr("Send Feedback"), &AppDelegate::SendFeedback, bool(w.feedback));
            if (paused)
                mStatusMenu->addSeparator();
            if (afterLogin)
                LaunchStatus();
        } else {
            addItem(tr("View Status"), &AppDelegate::ViewStatus, bool(w.status));
            addItem(tr("View Log"), &AppDelegate::ViewLogs, bool(w.logs));
            addItem(tr("Preferences"), &AppDelegate::Preferences, bool(w.exclusions));
            addItem(tr("Send Feedback"), &AppDelegate::SendFeedback, bool(w.feedback));
        }
        if (!afterLogin) {
            LaunchStatus();
            if (!record.value(Protocol::TMSharePath).isEmpty() && mStatusController)
                mStatusController->getTimeMachineDetails();
        }
    } else {
        addItem(tr("Login ZorvikHollin"), &AppDelegate::logIn);
        addItem(tr("Send Feedback"), &AppDelegate::SendFeedback, bool(w.feedback));
        if (!afterLogin && mLogin)
            mLogin->LaunchLogInWindow();
    }
    mStatusMenu->addSeparator();
    QAction* quit = addItem(kQuitTitle(), &AppDelegate::logOut);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    connect(mStatusMenu, &QMenu::aboutToShow, this, [this] {
        offerHeldChanges();
        validateMenuItems();
        if (!mIsAnimating && mStatusItem)
            mStatusItem->setIcon(trayImage(ImageOnMenu));
    });
    connect(mStatusMenu, &QMenu::aboutToHide, this, [this] {
        if (!mIsAnimating && mStatusItem)
            mStatusItem->setIcon(trayImage(mImageName));
    });
    mStatusItem->setContextMenu(mStatusMenu);
    if (mState && getPauseState())
        setImage(ImagePause);
    mStatusItem->show();
    mHealth->setWatching(mState && userDetails().integer(Protocol::LocalBackup) == 1);
    mProtection->setWatching(mState && userDetails().integer(Protocol::LocalBackup) == 1);
    if (!hasTray()) {
        if (mStatusController)
            offerMenuIn(mStatusController->window());
        offerMenuIn(mLogin.get());
    }
}

void AppDelegate::validateMenuItems() {
    if (!mStatusMenu)
        return;
    const bool initialBackup = isIntialBackuprunning();
    for (QAction* item : mStatusMenu->actions()) {
        if (item->isSeparator())
            continue;
        bool enabled = item->property("zhAvailable").toBool();
        if (item->text() == kReinitializeTitle() && initialBackup)
            enabled = false;
        item->setEnabled(enabled);
    }
}

void AppDelegate::loadUI() {
    if (mLogin)
        mLogin->prepare();
    StartTimeMachine();
    buildStatusItem(false);
    buildMenu(false);
    validateMenuItems();
    addIconsForMonitorAnimation();
}

void AppDelegate::loadUIAfterLogin() {
    if (mLogin)
        mLogin->prepare();
    StartTimeMachine();
    buildStatusItem(true);
    buildMenu(true);
    validateMenuItems();
    addIconsForMonitorAnimation();
}

// ---- animation

void AppDelegate::addIconsForMonitorAnimation() {
    if (mAnimatingIcons.isEmpty())
        for (int i = 1; i <= 8; ++i)
            mAnimatingIcons << trayImage(
                QStringLiteral("ZorvikHollin_anim%1").arg(i, 2, 10, QLatin1Char('0')));
    if (!mAnimation)
        mAnimation = new MenuIconAnimation(
            [this](const QIcon& icon) {
                if (mStatusItem)
                    mStatusItem->setIcon(icon);
            },
            mServices.timings.animationInterval, mServices.timings.blinkInterval, this);
    // A reload leaves a running animation running, now over the reloaded frames.
    mAnimation->setAnimatingIcons(mAnimatingIcons);
}

void AppDelegate::startAnimation() {
    if (!mStatusItem)
        buildStatusItem(false);
    if (!mAnimation)
        addIconsForMonitorAnimation();
    mAnimation->startAnimation();
    mIsAnimating = true;
    emit animatingChanged(true);
}

void AppDelegate::stopAnimation() {
    if (!mStatusItem)
        buildStatusItem(false);
    const bool ticking = mAnimation && mAnimation->isAnimating();
    if (mAnimation)
        mAnimation->stopAnimation();
    const bool was = mIsAnimating;
    mIsAnimating = false;
    // No frame of the working animation is left behind: the still image of the state comes back
    // (the regular one unless a pause or a full appliance set another).
    if ((was || ticking) && mStatusItem)
        mStatusItem->setIcon(trayImage(mImageName));
    if (was)
        emit animatingChanged(false);
}
