#include "ConsoleUserManager.h"

#include "DaemonRestarter.h"
#include "EventLoopWait.h"
#include "ManualConsoleUserSource.h"
#include "RezodeLoger.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QFile>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Stands in for the account manager: records on which thread and for whom it was built.
struct RecordedManager : QObject {
    QString user;
};

class ConsoleUserManagerTest : public ::testing::Test {
  protected:
    TempRoot root;
    FixtureUser user = FixtureUser::get();
    RezodeLoger logger;
    ManualConsoleUserSource console;
    std::atomic<int> exitStatus{-1};
    std::atomic<int> exits{0};
    DaemonRestarter restarter{[this](int status) {
        exitStatus = status;
        ++exits;
    }};
    QList<QThread*> builtOn;
    QStringList builtFor;

    std::unique_ptr<ConsoleUserManager> makeManager(Timings timings = Timings::standard()) {
        DaemonServices services;
        services.profile = root.profile();
        services.timings = timings;
        services.logger = &logger;
        services.consoleUser = &console;
        services.restarter = &restarter;
        auto factory = [this](const QString& name) {
            builtOn << QThread::currentThread();
            builtFor << name;
            auto m = std::make_unique<RecordedManager>();
            m->user = name;
            return std::unique_ptr<QObject>(std::move(m));
        };
        return std::make_unique<ConsoleUserManager>(services, factory);
    }

    QString trace() const {
        QFile f(root.profile().systemSupportFolder + QStringLiteral("/LogsFolder/DaemonTrace.txt"));
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
    // The messages of the trace, in order, without their time stamps.
    QStringList traceMessages() const {
        QStringList messages;
        for (const QString& line : trace().split(u'\n', Qt::SkipEmptyParts)) {
            const int at = line.indexOf(QStringLiteral(" : "));
            messages << line.mid(at + 3).chopped(1); // the blank before the line end
        }
        return messages;
    }
};

} // namespace

TEST_F(ConsoleUserManagerTest, StartAtTheLoginWindowBuildsNothingUntilTheFirstLogIn) {
    auto manager = makeManager();
    manager->start();
    EXPECT_EQ(manager->accountManagerCount(), 0);
    EXPECT_EQ(traceMessages(), (QStringList{"ConsoleUserManager started.", "didConsoleUserChanged started.",
                                            "Console user name nill or Login window is present"}));
    spinFor(100); // the watch thread takes up its watch
    console.setUserName(user.name);
    ASSERT_TRUE(waitUntil([&] { return manager->accountManagerCount() == 1; }));
    EXPECT_EQ(builtFor, QStringList{user.name});
    // Built on the main thread, like a manager built at start-up: its timers run there.
    EXPECT_EQ(builtOn.first(), QThread::currentThread());
    EXPECT_EQ(manager->presentConsoleUser(), user.name);
    EXPECT_EQ(traceMessages().mid(traceMessages().size() - 2),
              (QStringList{"didConsoleUserChanged started.",
                           "No login window and console user array not contains this user."}));

    // The following log-out ends the process.
    console.setUserName(QStringLiteral("loginwindow"));
    ASSERT_TRUE(waitUntil([&] { return exits > 0; }));
    EXPECT_EQ(exitStatus, 1);
    EXPECT_EQ(traceMessages().last(), "console user nil so quit deamon");
}

TEST_F(ConsoleUserManagerTest, UserAtTheConsoleAtStartIsServedOnTheMainThread) {
    console.setUserName(user.name);
    auto manager = makeManager();
    manager->start();
    ASSERT_EQ(manager->accountManagerCount(), 1);
    EXPECT_EQ(builtOn.first(), QThread::currentThread());
    // The trace and session logs of that user are set up.
    RezodeLoger& l = logger;
    EXPECT_EQ(l.sessionLogWritePath(),
              root.profile().userSupportFolder(user.name) + QStringLiteral("/SessionLogs"));
    // The same user reported again changes nothing.
    manager->didConsoleUserChanged(user.name);
    EXPECT_EQ(manager->accountManagerCount(), 1);
    EXPECT_EQ(exits, 0);
    EXPECT_EQ(traceMessages().last(), "No login window and console user array  contains this user.");
}

TEST_F(ConsoleUserManagerTest, AnotherUserTakingTheConsoleRestarts) {
    console.setUserName(user.name);
    auto manager = makeManager();
    manager->start();
    spinFor(100);
    console.setUserName(QStringLiteral("someone-else"));
    ASSERT_TRUE(waitUntil([&] { return exits > 0; }));
    EXPECT_EQ(exitStatus, 1);
    EXPECT_EQ(manager->accountManagerCount(), 1);
    EXPECT_EQ(traceMessages().mid(traceMessages().size() - 2),
              (QStringList{"No login window and console user array not contains this user.",
                           "Console User Changed so restarting damon"}));
}

TEST_F(ConsoleUserManagerTest, DailyRestart) {
    Timings timings;
    timings.daemonRestartInterval = 300ms;
    auto manager = makeManager(timings);
    manager->start();
    ASSERT_TRUE(waitUntil([&] { return exits > 0; }, 5000));
    EXPECT_EQ(exitStatus, 1);
    EXPECT_EQ(traceMessages().last(), "Restarted Damon after 24 hours");
}

TEST_F(ConsoleUserManagerTest, RefusedWatchFallsBackToReadingTheConsoleUserAgain) {
    console.setRefuseWatch(true);
    Timings timings;
    timings.consoleUserPollInterval = 100ms;
    auto manager = makeManager(timings);
    manager->start();
    ASSERT_TRUE(waitUntil(
        [&] { return traceMessages().last().startsWith("console user watch could not be set up"); }));
    console.setUserName(user.name);
    ASSERT_TRUE(waitUntil([&] { return manager->accountManagerCount() == 1; }));
    EXPECT_EQ(builtOn.first(), QThread::currentThread());
    EXPECT_EQ(exits, 0);
    console.setUserName(QStringLiteral("loginwindow"));
    ASSERT_TRUE(waitUntil([&] { return exits > 0; }));
    EXPECT_EQ(traceMessages().last(), "console user nil so quit deamon");
}

TEST(DaemonRestarterTest, HooksRunOnceBeforeTheExit) {
    QStringList order;
    DaemonRestarter restarter([&](int status) { order << QStringLiteral("exit %1").arg(status); });
    restarter.addBeforeExitHook([&] { order << QStringLiteral("flush"); });
    restarter.exitProcess(1);
    restarter.exitProcess(1);
    EXPECT_EQ(order, (QStringList{"flush", "exit 1", "exit 1"}));
}

TEST(DaemonRestarterTest, ASecondTriggerWaitsForTheFirstOnesHooks) {
    std::atomic<int> exitsBeforeFlushEnded{0}, exits{0};
    std::atomic<bool> hookRunning{false}, flushed{false};
    DaemonRestarter restarter([&](int) {
        if (!flushed)
            ++exitsBeforeFlushEnded;
        ++exits;
    });
    restarter.addBeforeExitHook([&] {
        hookRunning = true;
        QThread::msleep(200); // the collector's flush, long enough for the second trigger to come
        flushed = true;
    });
    std::thread first([&] { restarter.exitProcess(1); });
    while (!hookRunning)
        QThread::msleep(1);
    std::thread second([&] { restarter.exitProcess(1); });
    first.join();
    second.join();
    EXPECT_EQ(exits, 2);
    EXPECT_EQ(exitsBeforeFlushEnded, 0);
}
