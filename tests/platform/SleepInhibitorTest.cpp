#include "LogindSleepInhibitor.h"

#include "EventLoopWait.h"
#include "FakeLogind.h"
#include "PrivateBus.h"
#include "Requirements.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

// The daemon's side and a stand-in logind, each with a connection of its own to a private bus.
class SleepInhibitorTest : public RequiringTest {
  protected:
    QString requirements() override { return needs::tool("dbus-daemon", "dbus-daemon"); }
    void prepare() override {
        ASSERT_TRUE(bus.start());
        logindConnection = bus.connect(QStringLiteral("logind"));
        daemonConnection = bus.connect(QStringLiteral("daemon"));
        logind = std::make_unique<FakeLogind>(logindConnection);
        ASSERT_TRUE(logind->isRegistered());
        inhibitor = std::make_unique<LogindSleepInhibitor>(daemonConnection);
        inhibitor->setTraceLogger([this](const QString& line) { traced << line; });
    }
    void TearDown() override {
        inhibitor.reset();
        logind.reset();
        QDBusConnection::disconnectFromBus(daemonConnection.name());
        QDBusConnection::disconnectFromBus(logindConnection.name());
    }

    PrivateBus bus;
    QDBusConnection logindConnection{QString()};
    QDBusConnection daemonConnection{QString()};
    std::unique_ptr<FakeLogind> logind;
    std::unique_ptr<LogindSleepInhibitor> inhibitor;
    QStringList traced;
};

} // namespace

// A delay lock, never a blocking one, held until it is let go; a child started meanwhile (rsync) does
// not keep it.
TEST_F(SleepInhibitorTest, TakesADelayLockAndLetsGoOfItEvenWithAChildRunning) {
    EXPECT_FALSE(inhibitor->isRequested());
    inhibitor->acquire(QStringLiteral("Sending the last changes"));
    EXPECT_TRUE(inhibitor->isRequested());
    ASSERT_TRUE(waitUntil([&] { return inhibitor->isHeld(); })) << traced.join(u'\n').toStdString();
    ASSERT_EQ(logind->callCount(), 1);
    const FakeLogind::Call call = logind->calls().first();
    EXPECT_EQ(call.what, QStringLiteral("sleep:shutdown"));
    EXPECT_EQ(call.who, QStringLiteral("Zorvik Hollin"));
    EXPECT_EQ(call.why, QStringLiteral("Sending the last changes"));
    EXPECT_EQ(call.mode, QStringLiteral("delay"));
    EXPECT_TRUE(waitUntil([&] { return logind->isHeld(0); }));

    // Asking again while held asks logind nothing.
    inhibitor->acquire(QStringLiteral("again"));
    spinFor(200);
    EXPECT_EQ(logind->callCount(), 1);

    QProcess child;
    child.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(child.waitForStarted());
    inhibitor->release();
    EXPECT_FALSE(inhibitor->isHeld());
    EXPECT_FALSE(inhibitor->isRequested());
    EXPECT_TRUE(waitUntil([&] { return !logind->isHeld(0); })) << "the child kept the lock";
    child.kill();
    child.waitForFinished();

    // Let go before the answer came: the lock is closed when it arrives.
    inhibitor->acquire(QStringLiteral("briefly"));
    inhibitor->release();
    ASSERT_TRUE(waitUntil([&] { return logind->callCount() == 2; }));
    spinFor(300);
    EXPECT_FALSE(inhibitor->isHeld());
    EXPECT_FALSE(logind->isHeld(1));
}

TEST_F(SleepInhibitorTest, AnnouncementsOfSleepAndShutdownReachTheHandler) {
    QList<std::pair<SleepInhibitor::Kind, bool>> heard;
    ASSERT_TRUE(inhibitor->watch([&](SleepInhibitor::Kind kind, bool starting) {
        heard.append({kind, starting});
    }));
    spinFor(200); // the match rules reach the bus
    logind->announceSleep(true);
    logind->announceSleep(false);
    logind->announceShutdown(true);
    ASSERT_TRUE(waitUntil([&] { return heard.size() == 3; }));
    EXPECT_EQ(heard[0], std::make_pair(SleepInhibitor::Kind::Sleep, true));
    EXPECT_EQ(heard[1], std::make_pair(SleepInhibitor::Kind::Sleep, false));
    EXPECT_EQ(heard[2], std::make_pair(SleepInhibitor::Kind::Shutdown, true));
}

// A refusal is traced once, and logind is not asked again at every change that follows.
TEST_F(SleepInhibitorTest, ARefusalIsTracedOnceAndNotAskedAgainAtOnce) {
    logind->setRefuse(true);
    inhibitor->acquire(QStringLiteral("refused"));
    ASSERT_TRUE(waitUntil([&] { return !inhibitor->isRequested(); }));
    EXPECT_FALSE(inhibitor->isHeld());
    ASSERT_EQ(traced.size(), 1);
    EXPECT_TRUE(
        traced.first().startsWith(QStringLiteral("Sleep and shutdown cannot be delayed: logind refused")))
        << traced.first().toStdString();
    for (int i = 0; i < 5; ++i)
        inhibitor->acquire(QStringLiteral("refused"));
    spinFor(300);
    EXPECT_EQ(logind->callCount(), 1);
    EXPECT_EQ(traced.size(), 1);

    // Without any logind on the bus: no lock, one line.
    logind.reset();
    LogindSleepInhibitor other(daemonConnection);
    QStringList otherTrace;
    other.setTraceLogger([&](const QString& line) { otherTrace << line; });
    other.acquire(QStringLiteral("nobody there"));
    ASSERT_TRUE(waitUntil([&] { return !other.isRequested(); }));
    EXPECT_EQ(otherTrace.size(), 1);
}

// The daemon may start before the system bus (or outlive a restart of it): the next request joins the
// bus that is there now, and the announcements are heard on it.
TEST(SleepInhibitorBus, ABusThatComesLaterIsJoinedAtTheNextRequest) {
    ZH_SKIP_IF(needs::tool("dbus-daemon", "dbus-daemon"));
    PrivateBus bus;
    const QString address = bus.socketAddress();
    QStringList names;
    LogindSleepInhibitor inhibitor(std::function<QDBusConnection()>([&] {
        names << QStringLiteral("late-%1").arg(names.size() + 1);
        return QDBusConnection::connectToBus(address, names.last());
    }));
    QStringList traced;
    inhibitor.setTraceLogger([&](const QString& line) { traced << line; });
    QList<bool> heard;
    QString error;
    EXPECT_FALSE(inhibitor.watch([&](SleepInhibitor::Kind, bool starting) { heard << starting; }, &error));
    EXPECT_FALSE(error.isEmpty());
    inhibitor.acquire(QStringLiteral("too early"));
    EXPECT_FALSE(inhibitor.isRequested());
    ASSERT_EQ(traced.size(), 1);
    EXPECT_TRUE(
        traced.first().startsWith(QStringLiteral("Sleep and shutdown cannot be delayed: no connection")));

    ASSERT_TRUE(bus.start());
    QDBusConnection logindConnection = bus.connect(QStringLiteral("logind"));
    {
        FakeLogind logind(logindConnection);
        ASSERT_TRUE(logind.isRegistered());
        inhibitor.acquire(QStringLiteral("now"));
        ASSERT_TRUE(waitUntil([&] { return inhibitor.isHeld() && logind.heldCount() == 1; }));
        spinFor(200); // the match rules reach the bus
        logind.announceSleep(true);
        EXPECT_TRUE(waitUntil([&] { return heard == QList<bool>{true}; }));
        inhibitor.release();
        EXPECT_TRUE(waitUntil([&] { return logind.heldCount() == 0; }));
    }
    for (const QString& name : std::as_const(names))
        QDBusConnection::disconnectFromBus(name);
    QDBusConnection::disconnectFromBus(logindConnection.name());
}
