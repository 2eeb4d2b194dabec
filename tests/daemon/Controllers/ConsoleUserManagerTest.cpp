#include "ConsoleUserManager.h"

#include "DaemonTestServices.h"
#include "ManualConsoleUserSource.h"

#include <thread>

namespace {

// The account manager is replaced by a bare object; the test records for whom and on which thread
// it was built.
class ConsoleUserManagerTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    ManualConsoleUserSource console;
    QList<QThread*> builtOn;
    QStringList builtFor;

    std::unique_ptr<ConsoleUserManager> makeManager(Timings timings = Timings::standard()) {
        DaemonServices services = env.services(timings);
        services.consoleUser = &console;
        return std::make_unique<ConsoleUserManager>(services, [this](const QString& name) {
            builtOn << QThread::currentThread();
            builtFor << name;
            return std::make_unique<QObject>();
        });
    }
    // The messages of the trace, in order, without their time stamps.
    QStringList traceMessages() const {
        QStringList messages;
        for (const QString& line : env.trace().split(u'\n', Qt::SkipEmptyParts))
            messages << line.mid(line.indexOf(" : ") + 3).chopped(1);
        return messages;
    }
    QStringList lastMessages(int n) const { return traceMessages().mid(traceMessages().size() - n); }
};

} // namespace

TEST_F(ConsoleUserManagerTest, StartAtTheLoginWindowBuildsNothingUntilTheFirstLogIn) {
    auto manager = makeManager();
    manager->start();
    EXPECT_EQ(manager->accountManagerCount(), 0);
    EXPECT_EQ(traceMessages(), (QStringList{"ConsoleUserManager started.", "didConsoleUserChanged started.",
                                            "Console user name nill or Login window is present"}));
    // With nobody at the screen there are no session logs: nothing is made in the daemon's own home.
    EXPECT_TRUE(env.logger.sessionLogWritePath().isEmpty());
    env.logger.logSessionTrace(QStringLiteral("nobody here"), true);
    EXPECT_FALSE(QFileInfo::exists(env.root.profile().userSupportFolder(QString())));
    EXPECT_TRUE(QDir(QStringLiteral("/")).entryList({QStringLiteral("Backup *")}).isEmpty());
    spinFor(100); // the watch thread takes up its watch
    console.setUserName(env.user.name);
    ASSERT_TRUE(waitUntil([&] { return manager->accountManagerCount() == 1; }));
    EXPECT_EQ(builtFor, QStringList{env.user.name});
    // Built on the main thread, like a manager built at start-up: its timers run there.
    EXPECT_EQ(builtOn.first(), QThread::currentThread());
    EXPECT_EQ(manager->presentConsoleUser(), env.user.name);
    EXPECT_EQ(lastMessages(2),
              (QStringList{"didConsoleUserChanged started.",
                           "No login window and console user array not contains this user."}));

    // The following log-out ends the process.
    console.setUserName("loginwindow");
    ASSERT_TRUE(waitUntil([&] { return env.exits > 0; }));
    EXPECT_EQ(env.exitStatus, 1);
    EXPECT_EQ(traceMessages().last(), "console user nil so quit deamon");
}

TEST_F(ConsoleUserManagerTest, UserAtStartIsServedAnotherUserAndTheDailyTimerRestart) {
    console.setUserName(env.user.name);
    Timings timings;
    timings.daemonRestartInterval = 300ms;
    auto manager = makeManager(timings);
    manager->start();
    ASSERT_EQ(manager->accountManagerCount(), 1);
    EXPECT_EQ(builtOn.first(), QThread::currentThread());
    EXPECT_EQ(env.logger.sessionLogWritePath(),
              env.root.profile().userSupportFolder(env.user.name) + "/SessionLogs");
    // The same user reported again changes nothing.
    manager->didConsoleUserChanged(env.user.name);
    EXPECT_EQ(manager->accountManagerCount(), 1);
    EXPECT_TRUE(traceMessages().contains("No login window and console user array  contains this user."));

    spinFor(100);
    console.setUserName("someone-else");
    ASSERT_TRUE(waitUntil([&] {
        const QStringList m = traceMessages();
        return m.contains("Console User Changed so restarting damon") &&
               m.contains("Restarted Damon after 24 hours");
    }));
    EXPECT_GE(env.exits, 2);
    EXPECT_EQ(env.exitStatus, 1);
    EXPECT_EQ(manager->accountManagerCount(), 1);
}

TEST_F(ConsoleUserManagerTest, RefusedWatchFallsBackToReadingTheConsoleUserAgain) {
    console.setRefuseWatch(true);
    Timings timings;
    timings.consoleUserPollInterval = 100ms;
    auto manager = makeManager(timings);
    manager->start();
    ASSERT_TRUE(waitUntil(
        [&] { return traceMessages().last().startsWith("console user watch could not be set up"); }));
    console.setUserName(env.user.name);
    ASSERT_TRUE(waitUntil([&] { return manager->accountManagerCount() == 1; }));
    EXPECT_EQ(builtOn.first(), QThread::currentThread());
    EXPECT_EQ(env.exits, 0);
    console.setUserName("loginwindow");
    ASSERT_TRUE(waitUntil([&] { return env.exits > 0; }));
    EXPECT_EQ(traceMessages().last(), "console user nil so quit deamon");
}

TEST(DaemonRestarterTest, HooksRunOnceBeforeTheExitAndASecondTriggerWaitsForThem) {
    std::atomic<int> exitsBeforeFlushEnded{0}, exits{0}, flushes{0};
    std::atomic<bool> hookRunning{false};
    DaemonRestarter restarter([&](int status) {
        EXPECT_EQ(status, 1);
        if (flushes == 0)
            ++exitsBeforeFlushEnded;
        ++exits;
    });
    restarter.addBeforeExitHook([&] {
        hookRunning = true;
        QThread::msleep(200); // the collector's flush, long enough for the second trigger to come
        ++flushes;
    });
    std::thread first([&] { restarter.exitProcess(1); });
    while (!hookRunning)
        QThread::msleep(1);
    std::thread second([&] { restarter.exitProcess(1); });
    first.join();
    second.join();
    restarter.exitProcess(1);
    EXPECT_EQ(exits, 3);
    EXPECT_EQ(flushes, 1);
    EXPECT_EQ(exitsBeforeFlushEnded, 0);
}
