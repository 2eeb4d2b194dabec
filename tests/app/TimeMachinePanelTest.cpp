// The Time Machine panel and its exchange with the daemon: the automatic attempt, the user's attempts
// with a share name, success, OK, Cancel and close. The daemon's answers reach it as they do from the
// bus (the whole exchange with the daemon runs in AppEndToEndTest).

#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <QLineEdit>

TEST(TimeMachinePanelTest, AutomaticFailureTheUsersAttemptsSuccessCancelAndClose) {
    RecordingCenter daemon;
    QStringList calls; // what the application controller was told
    TimeMachine::Owner owner;
    owner.TimeMachineConfigurationCompleted = [&] { calls << QStringLiteral("Completed"); };
    owner.TimeMachineConfigurationFailed = [&] { calls << QStringLiteral("Failed"); };
    TimeMachine* self = nullptr;
    owner.setConfigureTimeMachine = [&] { calls << QStringLiteral("setConfigureTimeMachine"), self->hide(); };
    TimeMachine panel(owner, &daemon);
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
