// The controller over a temporary root and a private bus: menus of the three states, the daemon's
// reports on the tray, the user's choices in the account record, quit, and the icon animator.

#include "AppTestHost.h"
#include "EventLoopWait.h"
#include "LoginController.h"
#include "MenuIconAnimation.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

namespace {

// The menu as titles, "-" for a separator; disabled items in brackets.
QStringList menuOf(AppDelegate& app) {
    app.validateMenuItems();
    QStringList out;
    for (QAction* item : app.statusMenu()->actions())
        out << (item->isSeparator() ? QStringLiteral("-")
                : item->isEnabled() ? item->text()
                                    : u'[' + item->text() + u']');
    return out;
}

// Presses a button of the next modal alert as soon as it is up.
void answerAlert(const QString& button) {
    QTimer::singleShot(50, [button] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                for (QAbstractButton* b : box->buttons())
                    if (b->text() == button) {
                        b->click();
                        return;
                    }
        answerAlert(button); // not up yet
    });
}

// The status window as the controller sees it, recording what it is told.
struct StatusProbe : StatusWindowApi {
    QWidget widget;
    QStringList calls;
    QString title, message;
    QWidget* window() override { return &widget; }
    void setPosition(const QString& user) override { calls << QStringLiteral("setPosition:") + user; }
    void showStausWindow() override { calls << QStringLiteral("showStausWindow"); }
    void setTitleMessage(const QString& t) override { title = t; }
    void setDisplayMessage(const QString& m) override { message = m; }
    void setProgress(const QVariantMap& p) override {
        calls << QStringLiteral("setProgress:") + p.value(Protocol::KeyTotalFiles).toString();
    }
    void getTimeMachineDetails() override { calls << QStringLiteral("getTimeMachineDetails"); }
    void TimeMachineProcessCompleted() override { calls << QStringLiteral("TimeMachineProcessCompleted"); }
    void setConfigureTimeMachine() override { calls << QStringLiteral("setConfigureTimeMachine"); }
};

QVariantMap account(const QVariantMap& changes = {}) {
    QVariantMap details{
        {Protocol::UserName, QStringLiteral("ann")},       {Protocol::Password, QStringLiteral("pw")},
        {Protocol::Ip, QStringLiteral("127.0.0.1")},       {Protocol::Login, QStringLiteral("1")},
        {Protocol::PauseStateKey, QStringLiteral("0")},    {Protocol::LocalBackup, QStringLiteral("1")},
        {Protocol::TimeMachineBackup, QStringLiteral("0")}};
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        details.insert(it.key(), it.value());
    return details;
}

class AppDelegateTest : public ::testing::Test {
  protected:
    StatusProbe* status = nullptr;
    std::unique_ptr<AppTestHost> host;

    void SetUp() override {
        AppTestHost::Options options;
        options.windows.status = [this](AppDelegate&) {
            auto probe = std::make_unique<StatusProbe>();
            status = probe.get();
            return probe;
        };
        host = std::make_unique<AppTestHost>(options);
        const QString why = host->setUp();
        if (!why.isEmpty())
            GTEST_SKIP() << why.toStdString();
    }
    QString recordValue(const QString& key) const {
        return PropertyList::readDictionary(host->userDetailsPath()).value(key).toString();
    }
};

} // namespace

TEST_F(AppDelegateTest, MenusOfTheThreeStatesAndTheirValidation) {
    // Logged out: the log-in window opens and the menu offers log-in.
    host->launch();
    AppDelegate& app = host->app();
    EXPECT_EQ(AppDelegate::sharedController(), &app);
    EXPECT_FALSE(app.isLoggedIn());
    EXPECT_TRUE(app.loginController()->isVisible());
    EXPECT_EQ(menuOf(app), (QStringList{"Login ZorvikHollin", "[Send Feedback]", "-", "Quit Zorvik Hollin"}));
    EXPECT_EQ(app.statusItem()->toolTip(), QStringLiteral("ZorvikHollin"));
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImageRegular));
    EXPECT_TRUE(QFile::exists(host->home + QStringLiteral("/.config/autostart/ZorvikHollin.desktop")));
    EXPECT_TRUE(host->trace().contains(QStringLiteral("Zorvik Hollin Launched")));
    EXPECT_TRUE(PropertyList::readDictionary(host->supportFile(Protocol::RsyncVersionFile))
                    .contains(Protocol::DefaultRsync));
    EXPECT_FALSE(QFile::exists(host->home + QStringLiteral("/rsyncVersion")));

    // Local backup, paused: two separators in a row before "Quit"; the status window opens at launch.
    host->writeDetails(account({{Protocol::PauseStateKey, QStringLiteral("1")}}));
    app.loadUI();
    EXPECT_TRUE(app.isLoggedIn());
    EXPECT_EQ(menuOf(app), (QStringList{"Reinitialize", "-", "View Status", "-", "[View Log]",
                                        "[Preferences]", "[Send Feedback]", "-", "-", "Quit Zorvik Hollin"}));
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImagePause));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->calls.value(0), QStringLiteral("setPosition:ann"));

    // "Reinitialize" is off while either initial-backup marker exists, and back once both are gone.
    const QString marker =
        host->root.profile().systemSupportFolder + QStringLiteral("/initalBackupStarted.txt");
    QFile(marker).open(QIODevice::WriteOnly);
    EXPECT_EQ(menuOf(app).value(0), QStringLiteral("[Reinitialize]"));
    QFile::remove(marker);
    EXPECT_EQ(menuOf(app).value(0), QStringLiteral("Reinitialize"));

    // After a log-in the separator moves between "View Log" and "Preferences".
    host->writeDetails(account());
    app.loadUIAfterLogin();
    EXPECT_EQ(menuOf(app), (QStringList{"Reinitialize", "-", "View Status", "[View Log]", "-",
                                        "[Preferences]", "[Send Feedback]", "-", "Quit Zorvik Hollin"}));

    // Time Machine only (or nothing chosen): the short menu; a share path asks for the destination.
    host->writeDetails(account({{Protocol::LocalBackup, QStringLiteral("0")},
                                {Protocol::TimeMachineBackup, QStringLiteral("1")},
                                {Protocol::TMSharePath, QStringLiteral("afp://hollin/tm")}}));
    status->calls.clear();
    app.loadUI();
    EXPECT_EQ(menuOf(app), (QStringList{"View Status", "[View Log]", "[Preferences]", "[Send Feedback]", "-",
                                        "Quit Zorvik Hollin"}));
    EXPECT_EQ(status->calls, (QStringList{"showStausWindow", "getTimeMachineDetails"}));
    EXPECT_EQ(app.getStatusType(), 2);
}

TEST_F(AppDelegateTest, DaemonReportsDriveTooltipIconAndAnimation) {
    host->writeDetails(account());
    host->launch();
    AppDelegate& app = host->app();
    QList<bool> animation;
    QObject::connect(&app, &AppDelegate::animatingChanged, [&](bool on) { animation << on; });

    host->postAsDaemon(Protocol::Progress,
                       {{Protocol::KeyProgress, QString(Protocol::ProgressBackupStarts)}});
    ASSERT_TRUE(waitUntil([&] { return app.isAnimating(); }));
    EXPECT_EQ(app.statusItem()->toolTip(), QStringLiteral("Backup is in progress"));
    EXPECT_EQ(status->message, QString(Protocol::ProgressBackupStarts));
    // The animation really moves the tray through the frames.
    const qint64 first = app.statusItem()->icon().cacheKey();
    ASSERT_TRUE(waitUntil([&] { return app.statusItem()->icon().cacheKey() != first; }));

    const QVariantMap figures{{Protocol::KeyTotalFiles, QStringLiteral("12")},
                              {Protocol::KeyTotalSize, QStringLiteral("3 MB")}};
    host->postAsDaemon(Protocol::Progress,
                       {{Protocol::KeyProgress, figures}, {Protocol::KeyBackupRunning, QStringLiteral("1")}});
    ASSERT_TRUE(waitUntil([&] { return status->calls.contains(QStringLiteral("setProgress:12")); }));
    EXPECT_EQ(status->title, QStringLiteral("Backup is in progress!"));

    // "Backup completed" stops now and again a moment later, so a late restart leaves no animation.
    host->postAsDaemon(Protocol::Progress,
                       {{Protocol::KeyProgress, QString(Protocol::ProgressBackupCompleted)}});
    ASSERT_TRUE(waitUntil([&] { return !app.isAnimating(); }));
    EXPECT_EQ(app.statusItem()->toolTip(), QStringLiteral("Backup completed"));
    EXPECT_EQ(status->title, QStringLiteral("Success!"));
    app.animation()->startAnimation();
    EXPECT_TRUE(waitUntil([&] { return !app.animation()->isAnimating(); }));

    EXPECT_EQ(animation, (QList<bool>{true, false}));

    // While paused a report changes only tooltip, icon and animation; the status texts stay.
    host->writeDetails(account({{Protocol::PauseStateKey, QStringLiteral("1")}}));
    app.startAnimation();
    host->postAsDaemon(Protocol::Progress, {{Protocol::KeyProgress, QStringLiteral("Uploading a.txt")}});
    ASSERT_TRUE(waitUntil([&] { return app.statusItem()->toolTip() == QStringLiteral("Paused"); }));
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImagePause));
    EXPECT_FALSE(app.isAnimating());
    EXPECT_EQ(status->title, QStringLiteral("Success!"));

    // Pending lists animate; past the start-up window an idle daemon has nothing to back up.
    host->writeDetails(account());
    const QString lists = host->root.profile().systemSupportFolder + QStringLiteral("/Backup");
    QDir().mkpath(lists);
    QFile(lists + QStringLiteral("/20261207.txt")).open(QIODevice::WriteOnly);
    app.ResetStatusView();
    EXPECT_TRUE(app.isAnimating());
    EXPECT_EQ(status->message, QString(Protocol::ProgressBackupStarts));
    QDir(lists).removeRecursively();
    ASSERT_TRUE(waitUntil([&] { return !app.isfirstTimeLogin(); }));
    app.ResetStatusView();
    EXPECT_FALSE(app.isAnimating());
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImageRegular));
    EXPECT_EQ(status->message, QStringLiteral("No files / folders for backup!"));
}

TEST_F(AppDelegateTest, ChoicesAreWrittenAndAnnouncedAndQuitLogsOut) {
    host->writeDetails(account({{Protocol::LocalBackup, QStringLiteral("0")}}));
    host->launch();
    AppDelegate& app = host->app();

    // Backup type: local backup opens the full menu and the start-up window.
    app.loginForBackupType(1);
    EXPECT_EQ(recordValue(Protocol::LocalBackup), QStringLiteral("1"));
    EXPECT_EQ(recordValue(Protocol::TimeMachineBackup), QStringLiteral("0"));
    EXPECT_EQ(menuOf(app).value(0), QStringLiteral("Reinitialize"));
    app.loginForBackupType(3);
    EXPECT_EQ(app.getStatusType(), 3);

    // Pause and resume toggle the record and tell the daemon each time.
    app.startStop(1, false);
    EXPECT_EQ(recordValue(Protocol::PauseStateKey), QStringLiteral("1"));
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImagePause));
    EXPECT_EQ(status->title, QStringLiteral("Your backup is currently paused."));
    app.startStop(1, true); // the flag is ignored: a toggle
    EXPECT_EQ(recordValue(Protocol::PauseStateKey), QStringLiteral("0"));
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImageRegular));
    app.startStop(AppDelegate::TimeMachineTag, true);
    EXPECT_EQ(recordValue(Protocol::EnableTimeMachineKey), QStringLiteral("0"));
    app.TimeMachineConfigurationFailed();
    EXPECT_EQ(recordValue(Protocol::TimeMachineBackup), QStringLiteral("0"));
    app.TimeMachineStoppedManually();
    EXPECT_EQ(recordValue(Protocol::TimeMachineBackup), QStringLiteral("1"));
    app.Reinitialize();
    ASSERT_TRUE(waitUntil([&] { return host->posted().size() >= 5; }));
    EXPECT_EQ(host->posted(), (QStringList{"PauseState", "PauseState", "EnableTimeMachine",
                                           "TimeMachineBackupCanceled", "Reinitialize"}));

    // A pause never outlives the application; a record that cannot be read is not replaced.
    app.startStop(1, false);
    app.applicationWillTerminate();
    EXPECT_EQ(recordValue(Protocol::PauseStateKey), QStringLiteral("0"));
    EXPECT_EQ(recordValue(Protocol::UserName), QStringLiteral("ann"));
    {
        QFile broken(host->userDetailsPath());
        ASSERT_TRUE(broken.open(QIODevice::WriteOnly | QIODevice::Truncate));
        broken.write("<plist><dict><key>username</key>");
    }
    app.startStop(1, false);
    app.applicationWillTerminate();
    QFile kept(host->userDetailsPath());
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("<plist><dict><key>username</key>"));
    host->writeDetails(account());

    // Quit: "No" keeps everything, "Yes" logs out.
    const QString autostart = host->home + QStringLiteral("/.config/autostart/ZorvikHollin.desktop");
    answerAlert(QStringLiteral("No"));
    app.logOut();
    EXPECT_TRUE(QFile::exists(host->userDetailsPath()));
    EXPECT_TRUE(QFile::exists(autostart));
    EXPECT_EQ(host->terminations, 0);
    answerAlert(QStringLiteral("Yes"));
    app.logOut();
    EXPECT_FALSE(QFile::exists(host->userDetailsPath()));
    EXPECT_FALSE(QFile::exists(autostart));
    EXPECT_EQ(PropertyList::readDictionary(host->supportFile(Protocol::LastUserFile)),
              (QVariantMap{{Protocol::LastUser, QStringLiteral("ann")}}));
    EXPECT_EQ(host->terminations, 1);
    EXPECT_TRUE(host->trace().contains(QStringLiteral("logged out succesfully")));
    ASSERT_TRUE(waitUntil([&] { return host->posted().contains(QStringLiteral("LogOut")); }));
    app.applicationWillTerminate();
    EXPECT_FALSE(QFile::exists(host->userDetailsPath()));
}

TEST_F(AppDelegateTest, NotificationsFromAnyoneButRootChangeNothing) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the intruder must post under another uid (nobody)";
    host->writeDetails(account());
    host->launch();
    AppDelegate& app = host->app();
    const QString tooltip = app.statusItem()->toolTip();

    QProcess intruder;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), host->bus.address());
    intruder.setProcessEnvironment(env);
    intruder.start(QStringLiteral(ZH_NOTIFICATION_PEER),
                   {QStringLiteral("--user"), QStringLiteral("nobody")});
    ASSERT_TRUE(intruder.waitForStarted(5000));
    QByteArray out;
    ASSERT_TRUE(waitUntil(
        [&] {
            out += intruder.readAllStandardOutput();
            return out.contains("ready");
        },
        20000))
        << intruder.readAllStandardError().toStdString();
    intruder.write("post-all\n");
    // Each sample is refused (the center traces the first); then the application must not have moved.
    ASSERT_TRUE(waitUntil(
        [&] {
            out += intruder.readAllStandardOutput();
            return out.contains("posted");
        },
        20000))
        << intruder.readAllStandardError().toStdString();
    ASSERT_TRUE(waitUntil([&] { return host->trace().contains(QStringLiteral("from uid")); }));
    spinFor(500);
    EXPECT_FALSE(app.isAnimating());
    EXPECT_EQ(app.statusItem()->toolTip(), tooltip);
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImageRegular));
    EXPECT_TRUE(status->title.isEmpty() || status->title != QStringLiteral("Error!"));
    intruder.closeWriteChannel();
    intruder.waitForFinished(3000);

    // The same report from root is taken.
    host->postAsDaemon(Protocol::Progress,
                       {{Protocol::KeyProgress, QString(Protocol::ProgressQuotaExceeded)}});
    EXPECT_TRUE(waitUntil([&] { return app.imageName() == AppDelegate::ImageAlert; }));
}

TEST(MenuIconAnimationTest, EightFrameCycleRestartAndTheEmptyGuard) {
    QList<QIcon> frames;
    for (int i = 0; i < 8; ++i) {
        QPixmap pixmap(22, 22);
        pixmap.fill(QColor::fromHsv(i * 40, 200, 200));
        frames << QIcon(pixmap);
    }
    QList<qint64> shown;
    MenuIconAnimation animator([&](const QIcon& icon) { shown << icon.cacheKey(); }, std::chrono::hours(1),
                               std::chrono::hours(1));
    // No frames: a tick, a start and a blink show nothing.
    animator.animateIcons();
    animator.startAnimation();
    EXPECT_TRUE(shown.isEmpty());
    animator.stopAnimation();

    animator.setAnimatingIcons(frames);
    for (int tick = 0; tick < 9; ++tick)
        animator.animateIcons();
    ASSERT_EQ(shown.size(), 9);
    EXPECT_EQ(shown.at(0), frames.at(0).cacheKey());
    EXPECT_EQ(shown.at(7), frames.at(7).cacheKey());
    EXPECT_EQ(shown.at(8), frames.at(0).cacheKey());

    // Started twice: one timer; stopped: the last frame stays and no tick follows.
    MenuIconAnimation fast([&](const QIcon& icon) { shown << icon.cacheKey(); }, std::chrono::milliseconds(5),
                           std::chrono::milliseconds(5));
    fast.setAnimatingIcons(frames);
    fast.startAnimation();
    fast.startAnimation();
    EXPECT_EQ(fast.findChildren<QTimer*>().size(), 1);
    spinFor(60);
    fast.stopAnimation();
    EXPECT_FALSE(fast.isAnimating());
    const qsizetype after = shown.size();
    spinFor(60);
    EXPECT_EQ(shown.size(), after);
    EXPECT_EQ(shown.last(), fast.displayIcon().cacheKey());

    // A blink is not allowed while the animation runs.
    fast.setBlinkingIcons({frames.at(0), frames.at(1)});
    fast.startAnimation();
    fast.startBlinking();
    EXPECT_FALSE(fast.isBlinking());
}
