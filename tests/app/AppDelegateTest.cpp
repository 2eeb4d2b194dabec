// The controller over a temporary root and a private bus: menus of the three states, the daemon's
// reports on the tray, the user's choices in the account record, quit, and the icon animator.

#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "LoginController.h"
#include "MenuIconAnimation.h"
#include "PropertyList.h"
#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

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

// The status window as the controller sees it, recording what it is told.
struct StatusProbe : StatusWindowApi {
    QWidget widget;
    QStringList calls;
    QString title, message;
    QWidget* window() override { return &widget; }
    void setPosition(const QString& user) override { calls << "setPosition:" + user; }
    void showStausWindow() override { calls << QStringLiteral("showStausWindow"); }
    void setTitleMessage(const QString& t) override { title = t; }
    void setDisplayMessage(const QString& m) override { message = m; }
    void setProgress(const QVariantMap& p) override {
        calls << "setProgress:" + p[Protocol::KeyTotalFiles].toString();
    }
    void getTimeMachineDetails() override { calls << QStringLiteral("getTimeMachineDetails"); }
    void TimeMachineProcessCompleted() override {}
    void setConfigureTimeMachine() override {}
};

// Whether the tray shows the still image of that name.
bool showsImage(AppDelegate& app, const QString& name) {
    return app.statusItem()->icon().pixmap(22, 22).toImage() ==
           AppDelegate::trayImage(name).pixmap(22, 22).toImage();
}

// Presses key on the next alert once it is up, as a person pressing Return or Escape would; returns
// (through seen) its name, question, consequence and the buttons of Return and Escape, or "unanswered"
// when the key did not answer it (it is then closed a moment later).
void answerWithKey(Qt::Key key, QStringList* seen) {
    QTimer::singleShot(20, [key, seen] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                *seen = {box->objectName(), box->text(), box->informativeText(), box->defaultButton()->text(),
                         box->escapeButton()->text()};
                QTest::keyClick(box, key);
                QTimer::singleShot(2000, box, [box, seen] {
                    if (box->isVisible())
                        *seen << QStringLiteral("unanswered"), box->done(0);
                });
                return;
            }
        answerWithKey(key, seen);
    });
}

class AppDelegateTest : public RequiringTest {
  protected:
    StatusProbe* status = nullptr;
    std::unique_ptr<AppTestHost> host;

    QString requirements() override {
        AppTestHost::Options options;
        options.windows.status = [this](AppDelegate&) {
            auto probe = std::make_unique<StatusProbe>();
            status = probe.get();
            return probe;
        };
        host = std::make_unique<AppTestHost>(options);
        return host->setUp();
    }
    QString recordValue(const QString& key) const {
        return PropertyList::readDictionary(host->userDetailsPath()).value(key).toString();
    }
    void report(const QVariant& progress, const QVariantMap& more = {}) {
        QVariantMap info{{Protocol::KeyProgress, progress}};
        info.insert(more);
        host->postAsDaemon(Protocol::Progress, info);
    }
};

} // namespace

TEST_F(AppDelegateTest, MenusOfTheThreeStatesAndTheirValidation) {
    // Logged out: the log-in window opens and the menu offers log-in.
    host->launch();
    AppDelegate& app = host->app();
    EXPECT_TRUE(app.loginController()->isVisible());
    EXPECT_EQ(menuOf(app), (QStringList{"Login ZorvikHollin", "[Send Feedback]", "-", "Quit Zorvik Hollin"}));
    EXPECT_EQ(app.statusItem()->toolTip(), QStringLiteral("ZorvikHollin"));
    EXPECT_TRUE(QFile::exists(host->home + QStringLiteral("/.config/autostart/ZorvikHollin.desktop")));
    EXPECT_TRUE(host->trace().contains(QStringLiteral("Zorvik Hollin Launched")));

    // Local backup, paused: two separators in a row before "Quit"; the status window opens at launch.
    host->writeDetails(accountRecord({{Protocol::PauseStateKey, QStringLiteral("1")}}));
    app.loadUI();
    EXPECT_EQ(menuOf(app), (QStringList{"Reinitialize", "-", "View Status", "-", "[View Log]",
                                        "[Preferences]", "[Send Feedback]", "-", "-", "Quit Zorvik Hollin"}));
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImagePause));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->calls.value(0), QStringLiteral("setPosition:ann"));

    // "Reinitialize" is off while an initial-backup marker exists.
    FilePathsController appPaths(FilePathsController::Table::Application, host->root.profile());
    appPaths.setM_ConsoleUserName(host->user.name);
    const QString marker = appPaths.pathForApplicationFile(AppPath::InitialBackupStartedMarker);
    writeFile(marker, {});
    EXPECT_EQ(menuOf(app).value(0), QStringLiteral("[Reinitialize]"));
    QFile::remove(marker);

    // After a log-in the separator moves between "View Log" and "Preferences".
    host->writeDetails(accountRecord());
    app.loadUIAfterLogin();
    EXPECT_EQ(menuOf(app), (QStringList{"Reinitialize", "-", "View Status", "[View Log]", "-",
                                        "[Preferences]", "[Send Feedback]", "-", "Quit Zorvik Hollin"}));

    // Time Machine only: the short menu; a share path asks for the destination.
    host->writeDetails(accountRecord({{Protocol::LocalBackup, QStringLiteral("0")},
                                      {Protocol::TimeMachineBackup, QStringLiteral("1")},
                                      {Protocol::TMSharePath, QStringLiteral("afp://hollin/tm")}}));
    status->calls.clear();
    app.loadUI();
    EXPECT_EQ(menuOf(app), (QStringList{"View Status", "[View Log]", "[Preferences]", "[Send Feedback]", "-",
                                        "Quit Zorvik Hollin"}));
    EXPECT_EQ(status->calls, (QStringList{"showStausWindow", "getTimeMachineDetails"}));
}

TEST_F(AppDelegateTest, DaemonReportsDriveTooltipIconAndAnimation) {
    host->writeDetails(accountRecord());
    host->launch();
    AppDelegate& app = host->app();
    // The figures reach the status window; "Backup completed" stops the animation now and again a
    // moment later, so a late restart leaves none.
    report(QString(Protocol::ProgressBackupStarts));
    report(QVariantMap{{Protocol::KeyTotalFiles, QStringLiteral("12")}}, {{Protocol::KeyBackupRunning, "1"}});
    ASSERT_TRUE(waitUntil([&] { return status->calls.contains(QStringLiteral("setProgress:12")); }));
    EXPECT_TRUE(app.isAnimating());
    report(QString(Protocol::ProgressBackupCompleted));
    ASSERT_TRUE(waitUntil([&] { return !app.isAnimating(); }));
    app.animation()->startAnimation();
    EXPECT_TRUE(waitUntil([&] { return !app.animation()->isAnimating(); }));

    // While paused a report changes only tooltip, icon and animation; the status texts stay.
    host->writeDetails(accountRecord({{Protocol::PauseStateKey, QStringLiteral("1")}}));
    app.startAnimation();
    report(QStringLiteral("Uploading a.txt"));
    ASSERT_TRUE(waitUntil([&] { return app.statusItem()->toolTip() == QStringLiteral("Paused"); }));
    EXPECT_FALSE(app.isAnimating());
    EXPECT_EQ(status->title, QStringLiteral("Success!"));

    // Pending lists animate; past the start-up window an idle daemon has nothing to back up.
    host->writeDetails(accountRecord());
    FilePathsController appPaths(FilePathsController::Table::Application, host->root.profile());
    appPaths.setM_ConsoleUserName(host->user.name);
    const QString lists = appPaths.pathForApplicationFile(AppPath::BackupListsFolder);
    writeFile(lists + QStringLiteral("/20261207.txt"), {});
    app.ResetStatusView();
    EXPECT_TRUE(app.isAnimating());
    QDir(lists).removeRecursively();
    ASSERT_TRUE(waitUntil([&] { return !app.isfirstTimeLogin(); }));
    app.ResetStatusView();
    EXPECT_FALSE(app.isAnimating());
    EXPECT_EQ(status->message, QStringLiteral("No files / folders for backup!"));
}

TEST_F(AppDelegateTest, ChoicesAreWrittenAndAnnouncedAndQuitLogsOut) {
    host->writeDetails(accountRecord({{Protocol::LocalBackup, QStringLiteral("0")}}));
    host->launch();
    AppDelegate& app = host->app();
    app.loginForBackupType(1);
    EXPECT_EQ(recordValue(Protocol::LocalBackup), QStringLiteral("1"));
    EXPECT_EQ(menuOf(app).value(0), QStringLiteral("Reinitialize"));

    // Pause and resume toggle the record and tell the daemon each time; so do the Time Machine hooks.
    app.startStop(1, false);
    EXPECT_EQ(recordValue(Protocol::PauseStateKey), QStringLiteral("1"));
    app.startStop(1, true); // the flag is ignored: a toggle
    EXPECT_EQ(recordValue(Protocol::PauseStateKey), QStringLiteral("0"));
    app.startStop(AppDelegate::TimeMachineTag, true);
    EXPECT_EQ(recordValue(Protocol::EnableTimeMachineKey), QStringLiteral("0"));
    app.TimeMachineConfigurationFailed();
    EXPECT_EQ(recordValue(Protocol::TimeMachineBackup), QStringLiteral("0"));
    app.TimeMachineStoppedManually();
    EXPECT_EQ(recordValue(Protocol::TimeMachineBackup), QStringLiteral("1"));
    answerAlert(QStringLiteral("Reinitialize"));
    app.Reinitialize();
    ASSERT_TRUE(waitUntil([&] { return host->posted().size() >= 5; }));
    EXPECT_EQ(host->posted(), (QStringList{"PauseState", "PauseState", "EnableTimeMachine",
                                           "TimeMachineBackupCanceled", "Reinitialize"}));

    // A pause never outlives the application; a record that cannot be read is not replaced.
    app.startStop(1, false);
    app.applicationWillTerminate();
    EXPECT_EQ(recordValue(Protocol::PauseStateKey), QStringLiteral("0"));
    writeFile(host->userDetailsPath(), "<plist><dict><key>username</key>");
    app.startStop(1, false);
    app.applicationWillTerminate();
    EXPECT_EQ(readTrace(host->userDetailsPath()), QStringLiteral("<plist><dict><key>username</key>"));
    host->writeDetails(accountRecord());

    // Quit: "No" keeps everything, "Yes" logs out.
    const QString autostart = host->home + QStringLiteral("/.config/autostart/ZorvikHollin.desktop");
    answerAlert(QStringLiteral("No"));
    app.logOut();
    EXPECT_TRUE(QFile::exists(host->userDetailsPath()) && QFile::exists(autostart));
    EXPECT_EQ(host->terminations, 0);
    answerAlert(QStringLiteral("Yes"));
    app.logOut();
    EXPECT_FALSE(QFile::exists(host->userDetailsPath()) || QFile::exists(autostart));
    EXPECT_EQ(PropertyList::readDictionary(host->supportFile(Protocol::LastUserFile)),
              (QVariantMap{{Protocol::LastUser, QStringLiteral("ann")}}));
    EXPECT_EQ(host->terminations, 1);
    ASSERT_TRUE(waitUntil([&] { return host->posted().contains(QStringLiteral("LogOut")); }));
    // A choice made while no record exists does not create one.
    app.startStop(1, false);
    app.applicationWillTerminate();
    EXPECT_FALSE(QFile::exists(host->userDetailsPath()));
}

TEST_F(AppDelegateTest, NotificationsFromAnyoneButRootChangeNothing) {
    ZH_SKIP_IF(needs::all(needs::root("the intruder must post under another uid (nobody)"),
                          needs::tool("runuser", "util-linux")));
    host->writeDetails(accountRecord());
    host->launch();
    AppDelegate& app = host->app();
    const QString tooltip = app.statusItem()->toolTip();

    // The peer posts every notification of the protocol once, as nobody: each is refused (the center
    // traces the first), and the application must not have moved.
    host->bus.exportAsSystemBus();
    const pid_t intruder = ChildProcess::spawn({"runuser", "-u", "nobody", "--", ZH_NOTIFICATION_PEER});
    ASSERT_TRUE(waitUntil([&] { return host->trace().contains(QStringLiteral("from uid")); }, 20000));
    spinFor(500);
    EXPECT_FALSE(app.isAnimating());
    EXPECT_EQ(app.statusItem()->toolTip(), tooltip);
    EXPECT_EQ(app.imageName(), QString(AppDelegate::ImageRegular));
    EXPECT_NE(status->title, QStringLiteral("Error!"));
    ChildProcess::terminate(intruder);

    // The same report from root is taken.
    report(QString(Protocol::ProgressQuotaExceeded));
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
    MenuIconAnimation animator([&](const QIcon& icon) { shown << icon.cacheKey(); }, 5ms, 5ms);
    // No frames: a tick and a start show nothing.
    animator.animateIcons();
    animator.startAnimation();
    spinFor(30);
    EXPECT_TRUE(shown.isEmpty());
    animator.stopAnimation();
    // Eight frames, then the first again; started twice: one timer; stopped: no tick follows.
    animator.setAnimatingIcons(frames);
    for (int tick = 0; tick < 9; ++tick)
        animator.animateIcons();
    EXPECT_EQ(shown.mid(7), (QList<qint64>{frames.at(7).cacheKey(), frames.at(0).cacheKey()}));
    animator.startAnimation();
    animator.startAnimation();
    EXPECT_EQ(animator.findChildren<QTimer*>().size(), 1);
    spinFor(60);
    animator.stopAnimation();
    const qsizetype after = shown.size();
    spinFor(60);
    EXPECT_EQ(shown.size(), after);
    // A blink is not allowed while the animation runs.
    animator.setBlinkingIcons({frames.at(0), frames.at(1)});
    animator.startAnimation();
    animator.startBlinking();
    EXPECT_FALSE(animator.isBlinking());
}

// "Send Feedback" while a report is still open (one that could not be sent, say) brings that one
// forward, with what was typed in it; once it is closed, the next opening makes a new one.
TEST(AppDelegateFeedback, AReportStillOpenIsBroughtForwardAndANewOneMadeOnceClosed) {
    struct FeedbackProbe : FeedbackWindowApi {
        QWidget widget;
        QWidget* window() override { return &widget; }
        void setUserName(const QString&) override {}
    };
    QList<FeedbackProbe*> made;
    AppTestHost::Options options;
    options.windows.feedback = [&made](AppDelegate&) {
        auto probe = std::make_unique<FeedbackProbe>();
        made << probe.get();
        return probe;
    };
    AppTestHost host(options);
    ZH_SKIP_IF(host.setUp());
    host.launch();
    host.app().SendFeedback();
    ASSERT_EQ(made.size(), 1);
    EXPECT_TRUE(made.first()->widget.isVisible());
    host.app().SendFeedback();
    EXPECT_EQ(made.size(), 1);
    made.first()->widget.close();
    host.app().SendFeedback();
    EXPECT_EQ(made.size(), 2);
    EXPECT_TRUE(made.last()->widget.isVisible());
}

TEST_F(AppDelegateTest, TheTrayIconIsTheStillImageOfTheStateOnceTheAnimationStops) {
    host->writeDetails(accountRecord());
    host->launch();
    AppDelegate& app = host->app();
    // However a run ends, no frame of the animation stays: the regular icon, or the alert when full
    // until a backup completes again; after "Backup completed" also past the second stop.
    const std::pair<QLatin1String, QLatin1String> ends[] = {
        {Protocol::ProgressBackupCompleted, AppDelegate::ImageRegular},
        {Protocol::ProgressError, AppDelegate::ImageRegular},
        {Protocol::ProgressQuotaExceeded, AppDelegate::ImageAlert},
        {Protocol::ProgressBackupCompleted, AppDelegate::ImageRegular}};
    for (const auto& [end, image] : ends) {
        report(QString(Protocol::ProgressBackupStarts));
        ASSERT_TRUE(
            waitUntil([&] { return app.isAnimating() && !showsImage(app, AppDelegate::ImageRegular); }));
        report(QString(end));
        ASSERT_TRUE(waitUntil([&] { return !app.isAnimating(); }));
        spinFor(int(AppTestHost::shortTimings().completedSecondStop.count()) + 50);
        EXPECT_TRUE(showsImage(app, image)) << end.data();
    }
    // Paused in the middle of a run: the pause image.
    report(QString(Protocol::ProgressBackupStarts));
    ASSERT_TRUE(waitUntil([&] { return app.isAnimating(); }));
    app.startStop(1, true);
    EXPECT_TRUE(showsImage(app, AppDelegate::ImagePause));
}

TEST_F(AppDelegateTest, ReinitializeAndQuitAskFirstAndTheSafeAnswerIsTheDefault) {
    host->writeDetails(accountRecord());
    host->launch();
    AppDelegate& app = host->app();
    QAction* reinitialize = app.statusMenu()->actions().first();
    QAction* quit = app.statusMenu()->actions().last();
    EXPECT_EQ(reinitialize->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    // Return and Escape keep everything; each alert says what its command does.
    const QStringList asks[] = {
        {"reinitializeAlert", "Do you want to Reinitialize your backup?",
         "exclusions are set back to the defaults", "Cancel"},
        {"quitAlert", "Do you want to Quit Zorvik Hollin", "backups stop until you log in again", "No"}};
    for (QAction* item : {reinitialize, quit})
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
            QStringList seen;
            answerWithKey(key, &seen);
            item->trigger();
            const QStringList& ask = asks[item == quit];
            ASSERT_EQ(seen.size(), 5) << seen.join(u'|').toStdString();
            EXPECT_EQ(seen.mid(0, 2) + seen.mid(3), (QStringList{ask[0], ask[1], ask[3], ask[3]}));
            EXPECT_TRUE(seen[2].contains(ask[2])) << seen[2].toStdString();
        }
    spinFor(100);
    EXPECT_TRUE(host->posted().isEmpty());
    EXPECT_EQ(host->terminations, 0);
    answerAlert(QStringLiteral("Reinitialize"));
    reinitialize->trigger();
    EXPECT_TRUE(waitUntil([&] { return host->posted() == QStringList{"Reinitialize"}; }));
    answerAlert(QStringLiteral("Yes"));
    quit->trigger();
    EXPECT_EQ(host->terminations, 1);
}

TEST_F(AppDelegateTest, TerminationSignalsEndTheApplicationTheWayAQuitDoes) {
    struct sigaction before {};
    ::sigaction(SIGTERM, nullptr, &before);
    host->writeDetails(accountRecord());
    host->launch();
    QString why;
    ASSERT_TRUE(host->app().endOnTerminationSignals(&why)) << why.toStdString();
    EXPECT_FALSE(AppDelegate(AppServices{}).endOnTerminationSignals(&why)); // one controller holds them
    // The session ends, a service manager stops us, Ctrl+C: the pause is put right, the application ends.
    const std::pair<int, const char*> endings[] = {
        {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGINT, "SIGINT"}};
    for (const auto& [signal, name] : endings) {
        host->writeDetails(accountRecord({{Protocol::PauseStateKey, QStringLiteral("1")}}));
        const int terminations = host->terminations;
        ASSERT_EQ(::raise(signal), 0);
        ASSERT_TRUE(waitUntil([&] { return host->terminations == terminations + 1; })) << name;
        EXPECT_EQ(recordValue(Protocol::PauseStateKey), QStringLiteral("0")) << name;
        EXPECT_TRUE(host->trace().contains(QStringLiteral("Zorvik Hollin ended by ") + QLatin1String(name)));
    }
    // Gone with the controller: the handlers are what they were.
    host.reset();
    struct sigaction after {};
    ::sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST(AppDelegateWindowTest, IdleAfterASuccessTheStatusWindowSaysUpToDate) {
    AppTestHost::Options options;
    options.windows.status = &StatusController::forApplication;
    AppTestHost host(options);
    ZH_SKIP_IF(host.setUp());
    host.writeDetails(accountRecord());
    host.launch();
    auto* window = static_cast<StatusController*>(host.app().statusWindow());
    ASSERT_TRUE(waitUntil([&] { return !host.app().isfirstTimeLogin(); }));
    host.postAsDaemon(Protocol::Progress,
                      {{Protocol::KeyProgress, QString(Protocol::ProgressBackupCompleted)}});
    ASSERT_TRUE(waitUntil([&] { return window->lastBackupCompleted().isValid(); }));
    // The daemon starts again (its daily restart), or a pause ends: nothing waits, and the window says so.
    host.postAsDaemon(Protocol::ZorvikHollinWatcherStarted);
    EXPECT_TRUE(waitUntil([&] { return text(window, "titleMsg") == QStringLiteral("Up to date"); }));
    host.app().startStop(1, true);
    host.app().startStop(1, false);
    EXPECT_EQ(text(window, "titleMsg"), QStringLiteral("Up to date"));
    EXPECT_TRUE(shown(window, "viewLogs"));
}

TEST(AppProgramTest, EndedBySignalAtTheSessionsEndItLeavesNoPauseBehind) {
    ZH_SKIP_IF(needs::all(needs::root("gives the program a home of its own with a bind mount over root's"),
                          needs::tool("unshare", "util-linux")));
    PrivateBus bus;
    ASSERT_TRUE(bus.start());
    // The real program, logged in and paused; root's home, as the account database names it, is a fresh
    // folder for it alone (a private mount). unshare and the shell exec in place: one process, one pid.
    QTemporaryDir home;
    const QString support = home.path() + QStringLiteral("/.local/share/ZorvikHollin");
    const QString record = support + u'/' + Protocol::UserDetailsFile;
    FileTools::makePath(support, 0700);
    ASSERT_TRUE(PropertyList::writeDictionary(record, accountRecord({{Protocol::PauseStateKey, "1"}}), 0600));
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] : {std::pair{"HOME", QStringLiteral("/root")},
                                      {"XDG_RUNTIME_DIR", home.path()},
                                      {"QT_QPA_PLATFORM", QStringLiteral("offscreen")},
                                      {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()},
                                      {"DBUS_SESSION_BUS_ADDRESS", bus.address()}})
        env.insert(QString::fromLatin1(name), value);
    program.setProcessEnvironment(env);
    program.start(QStringLiteral("unshare"),
                  {"--mount", "--propagation", "private", "--", "sh", "-c",
                   "mount --bind \"$0\" /root && exec \"$1\"", home.path(), ZH_APPLICATION});
    const auto stop = qScopeGuard([&] { program.kill(), program.waitForFinished(); });
    const auto trace = [&] { return readTrace(support + u'/' + Protocol::InteractiveTraceFile); };
    ASSERT_TRUE(waitUntil([&] { return trace().contains(QStringLiteral("Zorvik Hollin Launched")); }, 60000))
        << trace().toStdString();

    program.terminate(); // SIGTERM, as the session's end sends it
    ASSERT_TRUE(waitUntil([&] { return program.state() == QProcess::NotRunning; }, 30000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(PropertyList::readDictionary(record).value(Protocol::PauseStateKey), QStringLiteral("0"));
    EXPECT_TRUE(trace().contains(QStringLiteral("Zorvik Hollin ended by SIGTERM")));
}

TEST(AppProgramTest, AtALongHomeNoOtherAccountCanTakeTheApplicationsPlace) {
    ZH_SKIP_IF(needs::all(needs::root("runs the program as the fixture account and squats as another"),
                          needs::tool("runuser", "util-linux"), needs::tool("unshare", "util-linux"),
                          needs::tool("python3", "python3")));
    QString error;
    const FixtureUser user = FixtureUser::get(&error);
    ZH_SKIP_IF(user.uid == 0 ? QStringLiteral("needs a fixture account other than root: ") + error
                             : QString());
    PrivateBus bus;
    ASSERT_TRUE(bus.start());
    // A home of 75 characters (the socket's name in its own data folder would be too long for a
    // socket) and no runtime folder: the name used to fall back to the shared temporary folder, where
    // another account took it first and answered every start, so the application never ran.
    QTemporaryDir base;
    ::chmod(QFile::encodeName(base.path()).constData(), 0755);
    const QString home = base.path() + u'/' + QString(std::max<qsizetype>(1, 74 - base.path().size()), u'h');
    ASSERT_GE(home.size(), 65);
    const QString support = home + QStringLiteral("/.local/share/ZorvikHollin");
    FileTools::makePath(support, 0700);
    ASSERT_TRUE(
        PropertyList::writeDictionary(support + u'/' + Protocol::UserDetailsFile, accountRecord(), 0600));
    ASSERT_TRUE(user.handOver(home));
    const QString shared = QDir::tempPath() + QStringLiteral("/ZorvikHollin-%1").arg(user.uid);
    QFile::remove(shared);
    const pid_t squatter = squatAnswering(shared);
    const auto cleanUp = qScopeGuard([&] {
        ChildProcess::terminate(squatter);
        QFile::remove(shared);
    });
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(shared); }, 10000));

    // The program finds its folders by the account database's home, the socket's name by $HOME: in a
    // mount namespace of its own, the long home is laid over the database's (a fresh folder above it).
    const QString passwdHome = user.passwdHome;
    const auto start = [&](QProcess& program) {
        program.start(QStringLiteral("unshare"),
                      {"--mount", "--propagation", "private", "--", "sh", "-c",
                       "mount -t tmpfs zh-homes \"$(dirname \"$1\")\" && mkdir -p \"$1\" && "
                       "mount --bind \"$0\" \"$1\" && exec runuser -u \"$2\" -- env -u XDG_RUNTIME_DIR "
                       "HOME=\"$0\" QT_QPA_PLATFORM=offscreen DBUS_SYSTEM_BUS_ADDRESS=\"$3\" "
                       "DBUS_SESSION_BUS_ADDRESS=\"$3\" \"$4\"",
                       home, passwdHome, user.name, bus.address(), ZH_APPLICATION});
    };
    const auto trace = [&] { return readTrace(support + u'/' + Protocol::InteractiveTraceFile); };
    QProcess first;
    start(first);
    const auto stop = qScopeGuard([&] { first.kill(), first.waitForFinished(); });
    ASSERT_TRUE(waitUntil([&] { return trace().contains(QStringLiteral("Zorvik Hollin Launched")); }, 60000))
        << trace().toStdString() << first.readAllStandardError().toStdString();
    EXPECT_EQ(first.state(), QProcess::Running) << "the first start ended: another account answered for it";
    // The next start finds the first and ends; the first comes forward.
    QProcess second;
    start(second);
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(waitUntil(
        [&] { return trace().contains(QStringLiteral("Started again: coming to the front")); }, 10000))
        << trace().toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);
}
