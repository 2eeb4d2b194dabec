// The status window and the Time Machine panel inside the real application controller: pause and the
// Time Machine hooks reach the account record; with the daemon's test host and the appliance, the
// window follows the initial backup to "Success!" and the daemon's "TimeMachineResult" reaches the panel.

#include "AppTestHost.h"
#include "Appliance.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "StatusTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>

#include <unistd.h>

namespace {

// The windows of this group over the controller; the status window asks our tmutil stand-in.
AppWindows statusWindows() {
    AppWindows w;
    w.status = [](AppDelegate& app) -> std::unique_ptr<StatusWindowApi> {
        PlatformProfile profile = app.paths().profile();
        profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);
        FilePathsController paths(FilePathsController::Table::Application, profile);
        paths.setM_ConsoleUserName(app.paths().m_ConsoleUserName());
        return std::make_unique<StatusController>(paths, StatusController::ownerFor(app), app.notifications(),
                                                  &app.logger(), app.services().timings);
    };
    w.timeMachine = &TimeMachine::forApplication;
    return w;
}

class StatusEndToEndTest : public ::testing::Test {
  protected:
    std::unique_ptr<AppTestHost> host;
    QString toolState;

    void SetUp() override {
        AppTestHost::Options options;
        options.windows = statusWindows();
        host = std::make_unique<AppTestHost>(options);
        const QString why = host->setUp();
        if (!why.isEmpty())
            GTEST_SKIP() << why.toStdString();
        toolState = host->root.path() + QStringLiteral("/tmutil-state.plist");
        qputenv("ZH_TMUTIL_STATE", toolState.toUtf8());
    }
    void TearDown() override {
        host.reset();
        qunsetenv("ZH_TMUTIL_STATE");
    }
    QVariantMap record() const { return PropertyList::readDictionary(host->userDetailsPath()); }
    StatusController* window() {
        return host->app().statusWindow() ? static_cast<StatusController*>(host->app().statusWindow())
                                          : nullptr;
    }
    TimeMachine* panel() {
        return host->app().timeMachineWindow() ? static_cast<TimeMachine*>(host->app().timeMachineWindow())
                                               : nullptr;
    }
    bool readDetails() {
        bool finished = false, ok = false;
        QObject::connect(window(), &StatusController::timeMachineDetailsFinished, window(), [&](bool result) {
            finished = true;
            ok = result;
        });
        window()->getTimeMachineDetails();
        EXPECT_TRUE(waitUntil([&] { return finished; }, 30000));
        return ok;
    }
};

} // namespace

TEST_F(StatusEndToEndTest, PauseAndTheTimeMachineHooksReachTheAccountRecord) {
    host->writeDetails({{Protocol::UserName, QStringLiteral("ann")},
                        {Protocol::Password, QStringLiteral("pw")},
                        {Protocol::Ip, QStringLiteral("127.0.0.1")},
                        {Protocol::PauseStateKey, QStringLiteral("0")},
                        {Protocol::LocalBackup, QStringLiteral("1")},
                        {Protocol::TimeMachineBackup, QStringLiteral("1")}});
    host->launch();
    ASSERT_NE(window(), nullptr);
    EXPECT_TRUE(window()->isVisible());
    EXPECT_EQ(window()->height(), 615);

    auto* pause = outlet<QPushButton>(window(), "pause");
    pause->click();
    EXPECT_EQ(record().value(Protocol::PauseStateKey), QStringLiteral("1"));
    pause->click();
    EXPECT_EQ(pause->text(), QStringLiteral("Pause"));
    EXPECT_EQ(record().value(Protocol::PauseStateKey), QStringLiteral("0"));
    ASSERT_TRUE(waitUntil([&] { return host->posted().count(Protocol::PauseState) == 2; }, 10000));

    // No destination: the choice is withdrawn and the daemon told.
    EXPECT_FALSE(readDetails());
    EXPECT_EQ(record().value(Protocol::TimeMachineBackup), QStringLiteral("0"));
    ASSERT_TRUE(
        waitUntil([&] { return host->posted().contains(Protocol::TimeMachineBackupCanceled); }, 10000));

    // A destination set but not mounted puts the choice back.
    QProcess tool;
    tool.start(QStringLiteral(ZH_TMUTIL),
               {QStringLiteral("setdestination"), QStringLiteral("afp://ann:pw@127.0.0.1/ann")});
    ASSERT_TRUE(tool.waitForFinished(30000));
    EXPECT_TRUE(readDetails());
    EXPECT_EQ(record().value(Protocol::TimeMachineBackup), QStringLiteral("1"));
    EXPECT_FALSE(shown(window(), "TMMountPointLabel"));
}

TEST_F(StatusEndToEndTest, TheWindowFollowsTheDaemonThroughBackupAndTimeMachine) {
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    Appliance appliance;
    const QString password = QStringLiteral("s3cret \"pw\"");
    appliance.addUser(QStringLiteral("ann"), password);
    appliance.putFile(QStringLiteral("ann/.keep"), "");
    ASSERT_TRUE(appliance.start());
    host->linkPrivateRsync(QStringLiteral(ZH_PRIVATE_RSYNC));
    QDir().mkpath(host->root.path() + QStringLiteral("/etc"));
    for (int i = 0; i < 40; ++i) {
        const QString path =
            host->home + QStringLiteral("/Documents/Part %1/Report '%2'.txt").arg(i / 8).arg(i);
        FileTools::makePath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(30000 + i, 'r'));
    }
    QFile(host->root.profile().systemSupportFolder + u'/' + Protocol::InstalMarker)
        .open(QIODevice::WriteOnly);
    host->writeDetails({{Protocol::UserName, QStringLiteral("ann")},
                        {Protocol::Password, password},
                        {Protocol::Ip, appliance.address()},
                        {Protocol::Login, QStringLiteral("1")},
                        {Protocol::PauseStateKey, QStringLiteral("0")},
                        {Protocol::LocalBackup, QStringLiteral("0")},
                        {Protocol::TimeMachineBackup, QStringLiteral("0")}});

    const QString hostLog = host->root.path() + QStringLiteral("/host.log");
    const pid_t daemon = ChildProcess::spawn(
        {QStringLiteral(ZH_DAEMON_HOST), host->root.path(), host->user.name, host->bus.address()}, hostLog,
        hostLog);
    ASSERT_GT(daemon, 0);
    const auto log = [&] {
        QFile f(hostLog);
        f.open(QIODevice::ReadOnly);
        return f.readAll().toStdString();
    };
    host->launch();
    // The application runs as the user: its folder and record are the user's, and the daemon reads
    // them with the user's rights.
    for (const QString& path : {QFileInfo(host->userDetailsPath()).path(), host->userDetailsPath()})
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), host->user.uid, host->user.gid), 0);
    ASSERT_NE(window(), nullptr);
    EXPECT_EQ(window()->height(), 385);

    // Local backup chosen in the window; the figures move during the initial backup. They are read
    // right after the controller has handed each "Progress" to the window.
    QSet<QString> counts;
    QObject reader;
    host->app().notifications()->addObserver(&reader, Protocol::Progress,
                                             [&](const QString&, const QVariantMap&) {
                                                 if (!text(window(), "sizeuploaded").isEmpty())
                                                     counts << text(window(), "sizeuploaded");
                                             });
    outlet<QPushButton>(window(), "startLocalBackup")->click();
    EXPECT_EQ(record().value(Protocol::LocalBackup), QStringLiteral("1"));
    EXPECT_EQ(window()->height(), 499);
    ASSERT_TRUE(waitUntil([&] { return text(window(), "titleMsg") == QStringLiteral("Success!"); }, 180000))
        << log();
    EXPECT_GE(counts.size(), 2) << log();
    EXPECT_EQ(text(window(), "displayMsg"),
              QStringLiteral("You have successfully backed up all your files / folders."));
    EXPECT_TRUE(text(window(), "lastBackup").startsWith(QStringLiteral("Last backup completed")));

    // Time Machine chosen: the daemon's automatic set-up reaches the panel, the window reads the details.
    outlet<QPushButton>(window(), "configureTimeMachine")->click();
    EXPECT_EQ(record().value(Protocol::TimeMachineBackup), QStringLiteral("1"));
    ASSERT_NE(panel(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return shown(panel(), "mStatus") && window()->TMDetailsVisible(); }, 60000))
        << log();
    EXPECT_EQ(text(window(), "TMName"), QStringLiteral("ann"));
    EXPECT_EQ(text(window(), "TMMountPoint"), QStringLiteral("/Volumes/ann"));
    EXPECT_EQ(text(window(), "TimeMachineTitle"), QStringLiteral("Time Machine Backup is Configured!"));
    EXPECT_EQ(window()->height(), 615);
    // The daemon records the share after its answer.
    EXPECT_TRUE(waitUntil(
        [&] { return record().value(Protocol::TMSharePath).toString() == QStringLiteral("ann"); }, 30000));
    ChildProcess::terminate(daemon);
}
