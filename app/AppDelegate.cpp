#include "AppDelegate.h"

#include "DistributedNotificationCenter.h"
#include "FileTools.h"
#include "LoginController.h"
#include "LoginItems.h"
#include "MenuIconAnimation.h"
#include "Protocol.h"
#include "RsyncConventions.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

// The tray artwork is compiled into this library; a static library's resources must be registered.
static void registerTrayArtwork() {
    Q_INIT_RESOURCE(tray);
}

namespace {

AppDelegate* gSharedController = nullptr;

const QString kTooltipIdle = QStringLiteral("ZorvikHollin");
const QString kTooltipPaused = QStringLiteral("Paused");
const QString kTooltipInProgress = QStringLiteral("Backup is in progress");
const QString kTitleInProgress = QStringLiteral("Backup is in progress!");
const QString kTitlePaused = QStringLiteral("Your backup is currently paused.");
const QString kMessagePaused = QStringLiteral("Click 'Resume' to backup your data.");
const QString kMessageNothingToBackUp = QStringLiteral("No files / folders for backup!");
const QString kMessageUnexpectedError =
    QStringLiteral("The backup operation could not start due to an unexpected error.");
const QString kQuitTitle = QStringLiteral("Quit Zorvik Hollin");
const QString kReinitializeTitle = QStringLiteral("Reinitialize");

} // namespace

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent), mServices(std::move(services)),
      appSupportFilePathsObjct(FilePathsController::Table::Application, mServices.profile) {
    registerTrayArtwork();
    appSupportFilePathsObjct.setM_ConsoleUserName(mServices.userName);
    if (!mServices.terminate)
        mServices.terminate = [] { QCoreApplication::quit(); };
    if (!mServices.beep)
        mServices.beep = [] { QApplication::beep(); };
}

AppDelegate::~AppDelegate() {
    if (mServices.notifications) {
        mServices.notifications->removeObserver(&mObserver);
        mServices.notifications->setTraceLogger({});
    }
    if (gSharedController == this)
        gSharedController = nullptr;
    delete mStatusMenu;
    delete mStatusItem;
}

AppDelegate* AppDelegate::sharedController() {
    return gSharedController;
}

QIcon AppDelegate::trayImage(const QString& name) {
    return QIcon(QStringLiteral(":/icons/%1.png").arg(name));
}

QString AppDelegate::userDetailsPath() const {
    return appSupportFilePathsObjct.pathForApplicationFile(AppPath::UserDetails);
}

AccountRecord AppDelegate::userDetails() const {
    return AccountRecord::read(userDetailsPath());
}

// ---- launch and termination

void AppDelegate::applicationDidFinishLaunching() {
    gSharedController = this;
    mIsAnimating = false;
    isBuiltInRsyncThere = false;

    const QString userSupport = appSupportFilePathsObjct.pathForApplicationFile(AppPath::UserSupportFolder);
    FileTools::makePath(userSupport);
    probeRsync();

    firstTimeLaunched = true;
    after(mServices.timings.startupWindow, [this] { firstTimeLaunched = false; });

    RezodeLogerdlg.setLogWritePath(userSupport + u'/' + Protocol::InteractiveTraceFile);
    RezodeLogerdlg.logInteractiveTrace(QStringLiteral("Zorvik Hollin Launched"), true);

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
            &mObserver, Protocol::ZorvikHollinWatcherStarted,
            [this](const QString&, const QVariantMap&) { ResetStatusView(); });
    }

    mLogin = std::make_unique<LoginController>(*this);
    addIconsForMonitorAnimation();
    loadUI();
}

void AppDelegate::probeRsync() {
    const QString home = mServices.profile.homeOf(mServices.userName);
    const QString versionFile = appSupportFilePathsObjct.pathForApplicationFile(AppPath::RsyncVersion);
    isBuiltInRsyncThere =
        RsyncConventions::detectRsync(home + u'/' + Protocol::RsyncVersionScratchFile, versionFile);
}

void AppDelegate::applicationWillTerminate() {
    // A pause never outlives the application. After a log-out there is no record to write.
    if (!AccountRecord::exists(userDetailsPath()))
        return;
    updateUserDetails([](AccountRecord& record) { record.setFlag(Protocol::PauseStateKey, false); });
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
    const QString folder = appSupportFilePathsObjct.pathForApplicationFile(AppPath::BackupListsFolder);
    for (const QString& name : FileTools::entries(folder)) {
        const QString extension = QFileInfo(name).suffix();
        if (extension != Protocol::ListExtensionProgress && extension != Protocol::ListExtensionDelete &&
            name != QLatin1String(".DS_Store"))
            return true;
    }
    return false;
}

bool AppDelegate::isIntialBackuprunning() const {
    return QFile::exists(appSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialSetReadyMarker)) ||
           QFile::exists(
               appSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialBackupStartedMarker));
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
        RezodeLogerdlg.logInteractiveTrace(QStringLiteral("cannot read %1: %2").arg(path, error), true);
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
        firstTimeLogin = true;
        after(mServices.timings.startupWindow, [this] { firstTimeLogin = false; });
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
        RezodeLogerdlg.logInteractiveTrace(
            QStringLiteral("write plist %1 at path %2 failed").arg(record.maskedDescription(), path), true);
    loadUIAfterLogin();
    LaunchStatus();
}

void AppDelegate::startStop(int tag, bool stop) {
    if (tag == TimeMachineTag) {
        RezodeLogerdlg.logInteractiveTrace(stop ? QStringLiteral("Pause time machine backup")
                                                : QStringLiteral("Resume time machine backup"),
                                           true);
        if (!updateUserDetails(
                [stop](AccountRecord& r) { r.setFlag(Protocol::EnableTimeMachineKey, !stop); }))
            RezodeLogerdlg.logInteractiveTrace(QStringLiteral("write plist EnableTimeMachine"), true);
        post(Protocol::EnableTimeMachine);
        return;
    }
    const bool resume = getPauseState();
    showPauseState(!resume);
    if (!updateUserDetails([resume](AccountRecord& r) { r.setFlag(Protocol::PauseStateKey, !resume); }))
        RezodeLogerdlg.logInteractiveTrace(QStringLiteral("write plist pause local backup"), true);
    post(Protocol::PauseState);
    ResetStatusView();
}

void AppDelegate::showPauseState(bool paused) {
    if (!paused) {
        setImage(ImageRegular);
        return;
    }
    stopAnimation();
    setToolTip(kTooltipPaused);
    setImage(ImagePause);
    setStatusTitle(kTitlePaused);
    setStatusMessage(kMessagePaused);
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
        setStatusTitle(kTitlePaused);
        setStatusMessage(kMessagePaused);
        return;
    }
    if (isBackupPending() || isIntialBackuprunning()) {
        if (!mIsAnimating)
            startAnimation();
        setStatusTitle(kTitleInProgress);
        setStatusMessage(QString(Protocol::ProgressBackupStarts));
        setToolTip(kTooltipInProgress);
        return;
    }
    if (firstTimeLogin || firstTimeLaunched) {
        after(mServices.timings.startupWindow, [this] { ResetStatusView(); });
        setStatusMessage(QStringLiteral("Processing..."));
        return;
    }
    stopAnimation();
    setImage(ImageRegular);
    setStatusTitle(QString());
    setStatusMessage(kMessageNothingToBackUp);
}

// ---- "Progress"

void AppDelegate::receiveTestNotification(const QVariantMap& userInfo) {
    QMutexLocker locker(&mLock);
    if (getPauseState()) {
        setToolTip(kTooltipPaused);
        setImage(ImagePause);
        stopAnimation();
        return;
    }
    const QVariant progress = userInfo.value(Protocol::KeyProgress);
    if (progress.typeId() == QMetaType::QVariantMap) {
        // The daemon sends figures with at least one more entry; a bare dictionary means nothing.
        if (userInfo.size() < 2)
            return;
        setStatusTitle(kTitleInProgress);
        setToolTip(kTooltipInProgress);
        if (pStatusController)
            pStatusController->setProgress(progress.toMap());
        if (!mIsAnimating)
            startAnimation();
        return;
    }
    const QString text = progress.toString();
    if (text == Protocol::ProgressBackupCompleted) {
        stopAnimation();
        // A tick already queued must not leave a frame behind.
        after(mServices.timings.completedSecondStop, [this] { stopAnimation(); });
        setStatusTitle(QStringLiteral("Success!"));
        setStatusMessage(QStringLiteral("You have successfully backed up all your files / folders."));
        setToolTip(QString(Protocol::ProgressBackupCompleted));
    } else if (text == Protocol::ProgressQuotaExceeded) {
        stopAnimation();
        setStatusTitle(QString());
        setStatusMessage(QStringLiteral(
            "Storage is full!\nYou have used all of your storage space.\nContact your admin."));
        setToolTip(QStringLiteral("Storage is full!"));
        setImage(ImageAlert);
    } else if (text == Protocol::ProgressBackupCanceled) {
        stopAnimation();
        setStatusTitle(QStringLiteral("Error!"));
        setStatusMessage(kMessageUnexpectedError);
        setToolTip(QString(Protocol::ProgressBackupCanceled));
    } else if (text == Protocol::ProgressError) {
        stopAnimation();
        setStatusTitle(QStringLiteral("Error!"));
        setStatusMessage(kMessageUnexpectedError);
        setToolTip(QStringLiteral("Backup failed"));
    } else {
        if (!mIsAnimating)
            startAnimation();
        setStatusTitle(kTitleInProgress);
        setStatusMessage(text);
        setToolTip(kTooltipInProgress);
    }
}

// ---- windows

void AppDelegate::LaunchStatus() {
    if (!pStatusController) {
        if (!mServices.windows.status)
            return;
        pStatusController = mServices.windows.status(*this);
        if (!pStatusController)
            return;
        pStatusController->setPosition(userDetails().userName());
        return;
    }
    pStatusController->showStausWindow();
}

void AppDelegate::ViewLogs() {
    if (!LogControllerDlg && mServices.windows.logs)
        LogControllerDlg = mServices.windows.logs(*this);
    if (!LogControllerDlg)
        return;
    LogControllerDlg->window()->show();
    LogControllerDlg->window()->raise();
    LogControllerDlg->showLogWindow();
}

void AppDelegate::Preferences() {
    if (!ExcludeControllerDlg && mServices.windows.exclusions) {
        ExcludeControllerDlg = mServices.windows.exclusions(*this);
        if (ExcludeControllerDlg)
            ExcludeControllerDlg->setDetails();
    }
    if (!ExcludeControllerDlg)
        return;
    ExcludeControllerDlg->window()->show();
    ExcludeControllerDlg->window()->raise();
}

void AppDelegate::SendFeedback() {
    SendErrorReportDlg.reset();
    if (!mServices.windows.feedback)
        return;
    SendErrorReportDlg = mServices.windows.feedback(*this);
    if (!SendErrorReportDlg)
        return;
    SendErrorReportDlg->window()->show();
    SendErrorReportDlg->window()->raise();
    const QString remembered = QFileInfo(userDetailsPath()).path() + u'/' + Protocol::RememberDetailsFile;
    SendErrorReportDlg->setUserName(AccountRecord::read(remembered).userName());
}

void AppDelegate::RestoreWin() {
    if (RestoreViewControllerDlg && RestoreViewControllerDlg->window()->isVisible())
        return;
    if (RestoreViewControllerDlg) {
        RestoreViewControllerDlg->closeRestore();
        RestoreViewControllerDlg.reset();
    }
    if (!mServices.windows.restore)
        return;
    RestoreViewControllerDlg = mServices.windows.restore(*this);
    if (!RestoreViewControllerDlg)
        return;
    RestoreViewControllerDlg->window()->show();
    RestoreViewControllerDlg->window()->raise();
    if (!ExcludeControllerDlg && mServices.windows.exclusions) {
        ExcludeControllerDlg = mServices.windows.exclusions(*this);
        if (ExcludeControllerDlg)
            ExcludeControllerDlg->setDetails();
    }
    RestoreViewControllerDlg->setExcludeListDelegate(ExcludeControllerDlg.get());
}

bool AppDelegate::makeTimeMachineWindow() {
    if (!TimeMachineDlg && mServices.windows.timeMachine) {
        TimeMachineDlg = mServices.windows.timeMachine(*this);
        if (TimeMachineDlg)
            TimeMachineDlg->StartTimeMachineBackupFirstTime();
    }
    if (!TimeMachineDlg)
        return false;
    TimeMachineDlg->reset();
    return true;
}

void AppDelegate::TimeMachine() {
    if (!makeTimeMachineWindow())
        return;
    TimeMachineDlg->window()->show();
    TimeMachineDlg->window()->raise();
}

void AppDelegate::StartTimeMachine() {
    if (makeTimeMachineWindow())
        TimeMachineDlg->setAttempt(1);
}

void AppDelegate::launchTimeMachineWindow() {
    if (TimeMachineDlg) {
        TimeMachineDlg->window()->show();
        TimeMachineDlg->window()->raise();
    }
}

// ---- Time Machine hooks

void AppDelegate::setConfigureTimeMachine() {
    if (TimeMachineDlg)
        TimeMachineDlg->window()->hide();
    if (pStatusController)
        pStatusController->setConfigureTimeMachine();
}

void AppDelegate::TimeMachineConfigurationCompleted() {
    if (pStatusController)
        pStatusController->TimeMachineProcessCompleted();
}

void AppDelegate::TimeMachineConfigurationFailed() {
    AccountRecord record = userDetails();
    record.setFlag(Protocol::TimeMachineBackup, false);
    if (!updateUserDetails([](AccountRecord& r) { r.setFlag(Protocol::TimeMachineBackup, false); }))
        RezodeLogerdlg.logInteractiveTrace(QStringLiteral("write plist %1 at path %2 failed")
                                               .arg(record.maskedDescription(), userDetailsPath()),
                                           true);
    post(Protocol::TimeMachineBackupCanceled);
}

void AppDelegate::TimeMachineStoppedManually() {
    AccountRecord record = userDetails();
    record.setFlag(Protocol::TimeMachineBackup, true);
    if (!updateUserDetails([](AccountRecord& r) { r.setFlag(Protocol::TimeMachineBackup, true); }))
        RezodeLogerdlg.logInteractiveTrace(
            QStringLiteral("TimeMachineStoppedManually write plist %1 at path %2 failed")
                .arg(record.maskedDescription(), userDetailsPath()),
            true);
}

// ---- menu commands

void AppDelegate::writeInteractiveTrace(const QString& line) {
    RezodeLogerdlg.logInteractiveTrace(line, true);
}

void AppDelegate::Reinitialize() {
    post(Protocol::Reinitialize);
}

void AppDelegate::logIn() {
    if (mLogin)
        mLogin->LaunchLogInWindow();
}

void AppDelegate::logOut() {
    QMessageBox alert(QMessageBox::Question, QStringLiteral("Zorvik Hollin"),
                      QStringLiteral("Do you want to Quit Zorvik Hollin"));
    alert.setObjectName(QStringLiteral("quitAlert"));
    QPushButton* yes = alert.addButton(QStringLiteral("Yes"), QMessageBox::AcceptRole);
    alert.addButton(QStringLiteral("No"), QMessageBox::RejectRole);
    alert.setDefaultButton(yes);
    alert.exec();
    if (alert.clickedButton() != yes)
        return;

    removeLoginItem();
    const QString path = userDetailsPath();
    const QString lastUserPath = QFileInfo(path).path() + u'/' + Protocol::LastUserFile;
    AccountRecord lastUser;
    lastUser.setValue(Protocol::LastUser, userDetails().userName());
    lastUser.write(lastUserPath);
    if (QFile::remove(path))
        RezodeLogerdlg.logInteractiveTrace(QStringLiteral("logged out succesfully"), true);
    else
        RezodeLogerdlg.logInteractiveTrace(QStringLiteral("logged out failed"), true);
    state = false;
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
    if (mStatusItem)
        mStatusItem->setToolTip(text);
}

void AppDelegate::setStatusTitle(const QString& text) {
    mStatusTitle = text;
    if (pStatusController)
        pStatusController->setTitleMessage(text);
}

void AppDelegate::setStatusMessage(const QString& text) {
    mStatusMessage = text;
    if (pStatusController)
        pStatusController->setDisplayMessage(text);
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
    mStatusItem->setToolTip(kTooltipIdle);
    setImage(ImageRegular);
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

    state = AccountRecord::exists(userDetailsPath());
    if (state) {
        const AccountRecord record = userDetails();
        const bool paused = record.isOn(Protocol::PauseStateKey);
        if (record.integer(Protocol::LocalBackup) == 1) {
            QAction* reinitialize = addItem(kReinitializeTitle, &AppDelegate::Reinitialize);
            reinitialize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
            mStatusMenu->addSeparator();
            addItem(QStringLiteral("View Status"), &AppDelegate::ViewStatus, bool(w.status));
            if (!afterLogin)
                mStatusMenu->addSeparator();
            addItem(QStringLiteral("View Log"), &AppDelegate::ViewLogs, bool(w.logs));
            if (afterLogin)
                mStatusMenu->addSeparator();
            addItem(QStringLiteral("Preferences"), &AppDelegate::Preferences, bool(w.exclusions));
            addItem(QStringLiteral("Send Feedback"), &AppDelegate::SendFeedback, bool(w.feedback));
            if (paused)
                mStatusMenu->addSeparator();
            if (afterLogin)
                LaunchStatus();
        } else {
            addItem(QStringLiteral("View Status"), &AppDelegate::ViewStatus, bool(w.status));
            addItem(QStringLiteral("View Log"), &AppDelegate::ViewLogs, bool(w.logs));
            addItem(QStringLiteral("Preferences"), &AppDelegate::Preferences, bool(w.exclusions));
            addItem(QStringLiteral("Send Feedback"), &AppDelegate::SendFeedback, bool(w.feedback));
        }
        if (!afterLogin) {
            LaunchStatus();
            if (!record.value(Protocol::TMSharePath).isEmpty() && pStatusController)
                pStatusController->getTimeMachineDetails();
        }
    } else {
        addItem(QStringLiteral("Login ZorvikHollin"), &AppDelegate::logIn);
        addItem(QStringLiteral("Send Feedback"), &AppDelegate::SendFeedback, bool(w.feedback));
        if (!afterLogin && mLogin)
            mLogin->LaunchLogInWindow();
    }
    mStatusMenu->addSeparator();
    QAction* quit = addItem(kQuitTitle, &AppDelegate::logOut);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    connect(mStatusMenu, &QMenu::aboutToShow, this, [this] {
        validateMenuItems();
        if (!mIsAnimating && mStatusItem)
            mStatusItem->setIcon(trayImage(ImageOnMenu));
    });
    connect(mStatusMenu, &QMenu::aboutToHide, this, [this] {
        if (!mIsAnimating && mStatusItem)
            mStatusItem->setIcon(trayImage(mImageName));
    });
    mStatusItem->setContextMenu(mStatusMenu);
    if (state && getPauseState())
        setImage(ImagePause);
    mStatusItem->show();
}

void AppDelegate::validateMenuItems() {
    if (!mStatusMenu)
        return;
    const bool initialBackup = isIntialBackuprunning();
    for (QAction* item : mStatusMenu->actions()) {
        if (item->isSeparator())
            continue;
        bool enabled = item->property("zhAvailable").toBool();
        if (item->text() == kReinitializeTitle && initialBackup)
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
    if (mAnimation)
        mAnimation->stopAnimation();
    const bool was = mIsAnimating;
    mIsAnimating = false;
    if (was)
        emit animatingChanged(false);
}
