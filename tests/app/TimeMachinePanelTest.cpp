// The Time Machine panel and its exchange with the daemon: the automatic attempt, the user's attempts
// with a share name, success, OK, Cancel and close; its texts on Linux and on macOS, and the snapshot
// tool's errors as a person reads them. The daemon's answers reach it as they do from the bus (the
// whole exchange with the daemon runs in AppEndToEndTest).

#include "AppTestSupport.h"
#include "RezodeLoger.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QRegularExpression>

TEST(TimeMachinePanelTest, AutomaticFailureTheUsersAttemptsSuccessCancelAndClose) {
    RecordingCenter daemon;
    QStringList calls; // what the application controller was told
    TimeMachine::Owner owner;
    owner.TimeMachineConfigurationCompleted = [&] { calls << QStringLiteral("Completed"); };
    owner.TimeMachineConfigurationFailed = [&] { calls << QStringLiteral("Failed"); };
    TimeMachine* self = nullptr;
    owner.setConfigureTimeMachine = [&] { calls << QStringLiteral("setConfigureTimeMachine"), self->hide(); };
    TimeMachine panel(owner, &daemon, PlatformProfile::Kind::MacOS);
    self = &panel;
    panel.StartTimeMachineBackupFirstTime();
    const auto answer = [&](const char* flag) {
        panel.Result({{Protocol::KeyResult, QString::fromLatin1(flag)}});
    };
    const auto configure = [&](const QString& share) {
        outlet<QLineEdit>(&panel, "mSharedName")->setText(share);
        outlet<QPushButton>(&panel, "mconfigure")->click();
    };
    const auto enabled = [&] {
        return outlet(&panel, "mconfigure")->isEnabled() && outlet(&panel, "cancel")->isEnabled();
    };

    // The automatic attempt failed: the panel asks for the share, with no error.
    EXPECT_FALSE(panel.isVisible());
    answer("0");
    EXPECT_TRUE(panel.isVisible() && shown(&panel, "mSharedName"));
    EXPECT_FALSE(shown(&panel, "mError"));
    EXPECT_TRUE(calls.isEmpty());
    // The user's attempt: the share asked for, the buttons off while it runs; failed: error shown,
    // choice withdrawn, buttons back.
    configure(QStringLiteral("Backups/Time Machine"));
    EXPECT_EQ(daemon.posted, QStringList{"TimeMachine path=Backups/Time Machine"});
    EXPECT_FALSE(outlet(&panel, "mconfigure")->isEnabled() || outlet(&panel, "cancel")->isEnabled());
    EXPECT_TRUE(shown(&panel, "processing"));
    answer("0");
    EXPECT_TRUE(shown(&panel, "mError") && enabled());
    EXPECT_EQ(calls, QStringList{QStringLiteral("Failed")});
    EXPECT_FALSE(shown(&panel, "processing"));
    // A failure nobody waits for only resets the controls and counts.
    answer("0");
    EXPECT_EQ(calls.size(), 1);
    EXPECT_EQ(panel.attempt(), 4);

    configure(QStringLiteral("TM"));
    answer("1");
    EXPECT_EQ(calls.last(), QStringLiteral("Completed"));
    EXPECT_TRUE(shown(&panel, "mStatus") && shown(&panel, "mOk"));
    for (const char* gone : {"mSharedName", "mconfigure", "cancel", "mError", "mTitle", "processing"})
        EXPECT_FALSE(shown(&panel, gone)) << gone;
    // OK is not a closing: the choice is not touched.
    outlet<QPushButton>(&panel, "mOk")->click();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_FALSE(calls.contains(QStringLiteral("setConfigureTimeMachine")));

    // The next choice of backup type starts a new exchange. Cancel tells the controller once for the
    // button and once for the closing; a close once.
    panel.reset();
    panel.setAttempt(1);
    EXPECT_EQ(outlet<QLineEdit>(&panel, "mSharedName")->text(), QString());
    answer("0");
    ASSERT_TRUE(panel.isVisible());
    calls.clear();
    outlet<QPushButton>(&panel, "cancel")->click();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_EQ(calls, (QStringList{"setConfigureTimeMachine", "setConfigureTimeMachine"}));
    panel.show();
    panel.close();
    EXPECT_EQ(calls.size(), 3);
}

TEST(TimeMachinePanelTest, LinuxTextsSayWhatTheDestinationIsAndNothingOfTheMac) {
    // A user's attempt with a share fails on each platform.
    RecordingCenter daemon;
    TimeMachine linux(TimeMachine::Owner(), &daemon, PlatformProfile::Kind::Linux);
    TimeMachine mac(TimeMachine::Owner(), &daemon, PlatformProfile::Kind::MacOS);
    for (TimeMachine* panel : {&linux, &mac}) {
        outlet<QLineEdit>(panel, "mSharedName")->setText(QStringLiteral("TM share"));
        panel->MountAFP();
        panel->Result({{Protocol::KeyResult, QStringLiteral("0")}});
    }
    // Linux: the share becomes the snapshot-backup destination; the error names it and what to do.
    const QString linuxTexts = text(&linux, "mTitle") + text(&linux, "mStatus") + text(&linux, "mError");
    EXPECT_TRUE(text(&linux, "mTitle").contains(QStringLiteral("snapshot-backup destination")));
    EXPECT_TRUE(shown(&linux, "mError") &&
                text(&linux, "mError").contains(QStringLiteral("\u201cTM share\u201d")));
    EXPECT_FALSE(linuxTexts.contains(QRegularExpression(QStringLiteral("/Volumes|\\bMac\\b"))));
    // macOS keeps the layout's Time Machine texts.
    EXPECT_EQ(text(&mac, "mError"),
              QStringLiteral(
                  "Time Machine could not be configured with this share. Check the name and try again."));

    // The snapshot tool's own error goes to the trace; the status window shows what failed and what to
    // do (on macOS the tool's words are the Mac's and stay).
    TempRoot root;
    const ToolState toolState(root.path()); // no destination set
    RezodeLoger logger;
    logger.setLogWritePath(root.path() + QStringLiteral("/trace.txt"));
    QStringList shownTexts;
    for (const auto kind : {PlatformProfile::Kind::Linux, PlatformProfile::Kind::MacOS}) {
        PlatformProfile profile = root.profile();
        profile.kind = kind;
        profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);
        StatusTestApp app;
        StatusController w(FilePathsController(FilePathsController::Table::Application, profile),
                           app.statusOwner(), nullptr, &logger);
        bool read = false;
        QObject::connect(&w, &StatusController::timeMachineDetailsFinished, [&] { read = true; });
        w.getTimeMachineDetails();
        ASSERT_TRUE(waitUntil([&] { return read; }, 30000));
        shownTexts << text(&w, "processing");
    }
    EXPECT_EQ(shownTexts, (QStringList{"No snapshot-backup destination yet: configure it below.",
                                       "tmutil: No destinations configured."}));
    EXPECT_TRUE(
        readTrace(root.path() + QStringLiteral("/trace.txt"))
            .contains(QStringLiteral("Time Machine details failed: tmutil: No destinations configured.")));
    EXPECT_FALSE(
        TimeMachine::toolErrorText(QStringLiteral("tmutil: cannot save the Time Machine settings: x"),
                                   PlatformProfile::Kind::Linux)
            .contains(QStringLiteral("tmutil")));
}
