#pragma once

#include "AccountRecord.h"
#include "AppTimings.h"
#include "AppWindows.h"
#include "BackupHealth.h"
#include "DeploymentSettings.h"
#include "FilePathsController.h"
#include "PlatformProfile.h"
#include "ProtectionMonitor.h"
#include "RezodeLoger.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QRecursiveMutex>
#include <QString>
#include <QSystemTrayIcon>
#include <QVariantMap>

#include <functional>
#include <memory>

class DesktopNotifier;
class DistributedNotificationCenter;
class LoginController;
class LoginItems;
class MenuIconAnimation;
class QAction;
class UserDefaults;

// The desktop beyond the tray: whether there is a tray at all, the desktop notifications and the
// clock the backup's age is measured with.
struct DesktopServices {
    std::function<bool()> trayAvailable; // unset: QSystemTrayIcon::isSystemTrayAvailable()
    std::function<QDateTime()> now;      // unset: the system clock
    DesktopNotifier* notifier = nullptr; // no desktop notifications when null
    DesktopTimings timings;
    ProtectionTimings protection;
};

// What the application is built from. main() fills it with the machine's own; tests with a temporary
// profile root, a private bus, their own preferences file and short timings.
struct AppServices {
    PlatformProfile profile = PlatformProfile::current();
    // The account whose home holds the per-user files; "" is the account running the application.
    QString userName;
    DistributedNotificationCenter* notifications = nullptr;
    LoginItems* loginItems = nullptr;
    UserDefaults* defaults = nullptr;
    DeploymentSettings deployment;
    AppTimings timings;
    QString applicationPath; // the program the login items start
    QString version;         // the short version shown in the login window
    AppWindows windows;
    std::function<void()> terminate; // ends the application (QCoreApplication::quit when unset)
    std::function<void()> beep;      // QApplication::beep when unset
    DesktopServices desktop;
};

// The application's one controller: launch, the tray item and its menu, the menu icon and the status
// texts in step with the daemon's reports, the user's choices in the account record, and the opening
// of every window. Lives on the main thread.
class AppDelegate : public QObject {
    Q_OBJECT
  public:
    // Names of the tray images.
    static constexpr QLatin1String ImageRegular{"zorHollin_tray_regular"};
    static constexpr QLatin1String ImagePause{"zorHollin_tray_pause"};
    static constexpr QLatin1String ImageAlert{"zorHollin_tray_alert"};
    static constexpr QLatin1String ImageOnMenu{"zorHollin_tray_onMenu"};
    // Tag of the status window's Time Machine stop/start button.
    static constexpr int TimeMachineTag = 100;

    explicit AppDelegate(AppServices services, QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    // SIGTERM, SIGINT and SIGHUP (the session ending, a service manager, Ctrl+C) end the application
    // the way a quit does: applicationWillTerminate, then terminate. The handlers only write to a
    // socket the main thread watches. One controller at a time holds them; they are put back as they
    // were when it is destroyed. False (and why) when they could not be installed.
    bool endOnTerminationSignals(QString* why = nullptr);

    // Asked by the windows.
    bool isDefaultRsync() const { return mIsBuiltInRsyncThere; }
    int getStatusType() const;
    bool getPauseState() const;
    bool isBackupPending() const;
    bool isIntialBackuprunning() const;
    bool isfirstTimeLogin() const { return mFirstTimeLaunched || mFirstTimeLogin; }
    QString getusername() const;

    // The user's choices.
    void loginForBackupType(int type);
    void startStop(int tag, bool stop);
    void PauseResume();
    void ResetStatusView();

    // Windows.
    void LaunchStatus();
    void ViewStatus() { LaunchStatus(); }
    void ViewLogs();
    void Preferences();
    void SendFeedback();
    void RestoreWin();
    void TimeMachine();
    void StartTimeMachine();
    void launchTimeMachineWindow();

    // Time Machine hooks of the status window and the Time Machine panel.
    void setConfigureTimeMachine();
    void TimeMachineConfigurationCompleted();
    void TimeMachineConfigurationFailed();
    void TimeMachineStoppedManually();

    void writeInteractiveTrace(const QString& line);
    // Asks first: a reinitialisation resets the exclusions and uploads everything again.
    void Reinitialize();
    void logIn();
    void logOut();

    // The tray item and its menu; loadUIAfterLogin after a log-in and after every backup-type choice.
    void loadUI();
    void loadUIAfterLogin();
    // Enables and disables the menu's items as they are offered right now (before the menu opens).
    void validateMenuItems();
    // The held changes of the mass-change tripwire: the window that shows them, "Continue", and the
    // menu's way to them while any are held.
    void showHeldChanges();
    void letHeldChangesGo();
    void offerHeldChanges();

    // Without a tray the windows are the only way in: a second start of the program brings the status
    // window (or the log-in window) to the front, and the windows offer the tray's menu themselves.
    bool hasTray() const;
    void bringForward();
    BackupHealth& backupHealth() { return *mHealth; }
    // What is not yet safe on the appliance, the watch and the restore check ("PendingState.plist").
    ProtectionMonitor& protection() { return *mProtection; }
    QString toolTip() const { return mToolTip; }

    // "Progress" from the daemon.
    void receiveTestNotification(const QVariantMap& userInfo);

    // The menu icon animation over the tray item.
    void addIconsForMonitorAnimation();
    void startAnimation();
    void stopAnimation();
    bool isAnimating() const { return mIsAnimating; }

    // What the windows use.
    const AppServices& services() const { return mServices; }
    const FilePathsController& paths() const { return mAppSupportFilePathsObjct; }
    RezodeLoger& logger() { return mRezodeLogerdlg; }
    DistributedNotificationCenter* notifications() const { return mServices.notifications; }
    QString userDetailsPath() const;
    AccountRecord userDetails() const;
    bool isLoggedIn() const { return mState; }
    void setLoggedIn(bool loggedIn) { mState = loggedIn; }

    // The tray as it stands (for the windows, the screenshots and the tests).
    QSystemTrayIcon* statusItem() const { return mStatusItem; }
    QMenu* statusMenu() const { return mStatusMenu; }
    QString imageName() const { return mImageName; }
    MenuIconAnimation* animation() const { return mAnimation; }
    LoginController* loginController() const { return mLogin.get(); }
    StatusWindowApi* statusWindow() const { return mStatusController.get(); }
    TimeMachineWindowApi* timeMachineWindow() const { return mTimeMachineDlg.get(); }
    RestoreWindowApi* restoreWindow() const { return mRestoreViewControllerDlg.get(); }
    static QIcon trayImage(const QString& name);

  signals:
    // The menu icon animation started or stopped.
    void animatingChanged(bool animating);

  private:
    // $XDG_CACHE_HOME, where the person moved it elsewhere in the home, joins the exclusion list.
    void excludeCacheHome();
    void probeRsync();
    void AddToLoginItem();
    void removeLoginItem();
    void buildStatusItem(bool reuse);
    void buildMenu(bool afterLogin);
    QAction* addItem(const QString& title, void (AppDelegate::*action)(), bool available = true);
    void setImage(const QString& name);
    void setToolTip(const QString& text);
    void showToolTip();
    // Without a tray: a "Menu" button with the tray's menu on the window.
    void offerMenuIn(QWidget* window);
    void setStatusTitle(const QString& text);
    void setStatusMessage(const QString& text);
    // The tray's look for a backup that is paused, or the regular icon again.
    void showPauseState(bool paused);
    // The Time Machine panel, made on first use (its automatic first attempt starts then) and reset.
    bool makeTimeMachineWindow();
    // Reads the record, lets change alter it and writes it back; false when it could not be written
    // (a record that exists but cannot be read is left alone rather than replaced by a partial one).
    bool updateUserDetails(const std::function<void(AccountRecord&)>& change);
    void post(const QString& name);
    void after(std::chrono::milliseconds delay, std::function<void()> call);
    // A question whose consequence is spelled out beneath it; the safe answer (keep) is the default
    // and the answer of Escape. True when the person chose proceed.
    bool confirm(const QString& name, const QString& question, const QString& consequence,
                 const QString& proceed, const QString& keep);
    void endBySignal(int signal);

    AppServices mServices;
    FilePathsController mAppSupportFilePathsObjct;
    RezodeLoger mRezodeLogerdlg;
    QRecursiveMutex mLock; // serialises the "Progress" handler

    bool mState = false;
    bool mIsBuiltInRsyncThere = false;
    bool mIsAnimating = false;
    bool mFirstTimeLaunched = false;
    bool mFirstTimeLogin = false;

    QPointer<QSystemTrayIcon> mStatusItem;
    QPointer<QMenu> mStatusMenu;
    QPointer<QAction> mHeldItem, mHeldSeparator;
    QString mImageName;
    QString mToolTip;
    std::unique_ptr<BackupHealth> mHealth;
    std::unique_ptr<ProtectionMonitor> mProtection;
    MenuIconAnimation* mAnimation = nullptr;
    QList<QIcon> mAnimatingIcons;
    QObject mObserver; // registration on the notification center

    std::unique_ptr<LoginController> mLogin;
    std::unique_ptr<StatusWindowApi> mStatusController;
    std::unique_ptr<TimeMachineWindowApi> mTimeMachineDlg;
    std::unique_ptr<LogWindowApi> mLogControllerDlg;
    std::unique_ptr<ExclusionWindowApi> mExcludeControllerDlg;
    std::unique_ptr<RestoreWindowApi> mRestoreViewControllerDlg;
    std::unique_ptr<FeedbackWindowApi> mSendErrorReportDlg;

    struct TerminationSignals;
    std::unique_ptr<TerminationSignals> mSignals;
};
