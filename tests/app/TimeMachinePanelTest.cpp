// The Time Machine panel against the daemon's side of the exchange on a private bus: the automatic
// attempt, the user's attempts with a share name, success, OK, Cancel and close.

#include "EventLoopWait.h"
#include "PrivateBus.h"
#include "StatusTestSupport.h"
#include "linux/DBusNotificationCenter.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QLineEdit>

namespace {

class TimeMachinePanelTest : public ::testing::Test {
  protected:
    PrivateBus bus;
    std::unique_ptr<DBusNotificationCenter> appSide, daemonSide;
    QObject daemon;
    QStringList sharePaths; // what the daemon was asked to set up
    QStringList calls;      // what the application controller was told
    std::unique_ptr<TimeMachine> panel;

    void SetUp() override {
        QString why;
        if (!bus.start(&why))
            GTEST_SKIP() << "no private bus: " << why.toStdString();
        appSide = std::make_unique<DBusNotificationCenter>(
            QDBusConnection::connectToBus(bus.address(), QStringLiteral("tm-app")),
            [](uint) { return true; });
        daemonSide = std::make_unique<DBusNotificationCenter>(
            QDBusConnection::connectToBus(bus.address(), QStringLiteral("tm-daemon")),
            [](uint) { return true; });
        daemonSide->addObserver(&daemon, Protocol::TimeMachine,
                                [this](const QString&, const QVariantMap& info) {
                                    sharePaths << info.value(Protocol::KeyPath).toString();
                                });
        TimeMachine::Owner owner;
        owner.TimeMachineConfigurationCompleted = [this] { calls << QStringLiteral("Completed"); };
        owner.TimeMachineConfigurationFailed = [this] { calls << QStringLiteral("Failed"); };
        owner.setConfigureTimeMachine = [this] {
            calls << QStringLiteral("setConfigureTimeMachine");
            panel->hide();
        };
        panel = std::make_unique<TimeMachine>(owner, appSide.get());
        panel->StartTimeMachineBackupFirstTime();
        spinFor(200); // the match rules reach the bus
    }
    void TearDown() override {
        panel.reset();
        appSide.reset();
        daemonSide.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("tm-app"));
        QDBusConnection::disconnectFromBus(QStringLiteral("tm-daemon"));
    }
    void answer(const char* result) {
        const int before = panel->attempt();
        daemonSide->postNotification(Protocol::TimeMachineResult,
                                     {{Protocol::KeyResult, QString::fromLatin1(result)}});
        ASSERT_TRUE(waitUntil(
            [&] { return panel->attempt() != before || calls.contains(QStringLiteral("Completed")); },
            10000));
    }
    void configure(const QString& share) {
        outlet<QLineEdit>(panel.get(), "mSharedName")->setText(share);
        outlet<QPushButton>(panel.get(), "mconfigure")->click();
        ASSERT_TRUE(waitUntil([&] { return sharePaths.contains(share); }, 10000));
    }
};

} // namespace

TEST_F(TimeMachinePanelTest, AutomaticFailureThenTheUsersAttemptsUntilSuccess) {
    EXPECT_FALSE(panel->isVisible());
    answer("0");
    // The automatic attempt failed: the panel asks for the share, with no error.
    EXPECT_TRUE(panel->isVisible());
    EXPECT_FALSE(shown(panel.get(), "mError"));
    EXPECT_TRUE(shown(panel.get(), "mSharedName"));
    EXPECT_EQ(panel->attempt(), 2);
    EXPECT_TRUE(calls.isEmpty());

    configure(QStringLiteral("Backups/Time Machine"));
    EXPECT_FALSE(outlet(panel.get(), "mconfigure")->isEnabled());
    EXPECT_FALSE(outlet(panel.get(), "cancel")->isEnabled());
    EXPECT_TRUE(shown(panel.get(), "processing"));
    answer("0");
    // The user's attempt failed: error shown, choice withdrawn, buttons back.
    EXPECT_TRUE(shown(panel.get(), "mError"));
    EXPECT_EQ(calls, QStringList{QStringLiteral("Failed")});
    EXPECT_TRUE(outlet(panel.get(), "mconfigure")->isEnabled());
    EXPECT_TRUE(outlet(panel.get(), "cancel")->isEnabled());
    EXPECT_FALSE(shown(panel.get(), "processing"));
    EXPECT_FALSE(panel->isConfigureStarted());

    // A failure nobody waits for only resets the controls and counts.
    answer("0");
    EXPECT_EQ(calls.size(), 1);
    EXPECT_EQ(panel->attempt(), 4);

    configure(QStringLiteral("TM"));
    answer("1");
    EXPECT_EQ(calls.last(), QStringLiteral("Completed"));
    EXPECT_TRUE(shown(panel.get(), "mStatus"));
    EXPECT_TRUE(shown(panel.get(), "mOk"));
    for (const char* gone : {"mSharedName", "mconfigure", "cancel", "mError", "mTitle", "processing"})
        EXPECT_FALSE(shown(panel.get(), gone)) << gone;
    outlet<QPushButton>(panel.get(), "mOk")->click();
    EXPECT_FALSE(panel->isVisible());
    // OK is not a closing: the choice is not touched.
    EXPECT_FALSE(calls.contains(QStringLiteral("setConfigureTimeMachine")));

    // The next choice of backup type starts a new exchange.
    panel->reset();
    panel->setAttempt(1);
    EXPECT_EQ(outlet<QLineEdit>(panel.get(), "mSharedName")->text(), QString());
}

TEST_F(TimeMachinePanelTest, CancelAndCloseTellTheController) {
    answer("0");
    ASSERT_TRUE(panel->isVisible());
    outlet<QPushButton>(panel.get(), "cancel")->click();
    EXPECT_FALSE(panel->isVisible());
    // Once for the button and once for the closing.
    EXPECT_EQ(calls.count(QStringLiteral("setConfigureTimeMachine")), 2);

    calls.clear();
    panel->show();
    panel->close();
    EXPECT_EQ(calls, QStringList{QStringLiteral("setConfigureTimeMachine")});
    EXPECT_FALSE(shown(panel.get(), "mStatus"));
    EXPECT_FALSE(shown(panel.get(), "processing"));
}
