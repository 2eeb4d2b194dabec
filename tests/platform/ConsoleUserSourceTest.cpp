#include "LogindConsoleUserSource.h"
#include "ManualConsoleUserSource.h"
#include "PlatformTestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <systemd/sd-login.h>

namespace {

TEST(LogindConsoleUserSource, ReportsTheLoginWindowWhenNoSessionHoldsTheSeat) {
    char* session = nullptr;
    uid_t uid = 0;
    const bool seatActive = sd_seat_get_active("seat0", &session, &uid) >= 0;
    free(session);
    if (seatActive)
        GTEST_SKIP() << "a session is active on seat0 here; the no-session case cannot be observed";
    LogindConsoleUserSource source;
    EXPECT_EQ(source.currentUserName(), QString(ConsoleUserSource::LoginWindow));
}

TEST(LogindConsoleUserSource, WatchIsSetUpWhereLogindKeepsItsState) {
    ensureApplication();
    LogindConsoleUserSource source;
    QString error;
    int calls = 0;
    const bool watching = source.watch([&](const QString&) { ++calls; }, &error);
    if (!QDir(QStringLiteral("/run/systemd")).exists()) {
        // Without systemd's run-time folder there is nothing to watch; the failure must say why.
        EXPECT_FALSE(watching);
        EXPECT_TRUE(error.startsWith(QLatin1String("sd_login_monitor_new"))) << error.toStdString();
        return;
    }
    ASSERT_TRUE(watching) << error.toStdString();
    settle(100);
    EXPECT_EQ(calls, 0) << "nothing changed, so nothing is reported";
    EXPECT_FALSE(source.watch([](const QString&) {}, &error)) << "one watch per source";
    EXPECT_FALSE(error.isEmpty());
}

class ManualConsoleUserSourceTest : public ::testing::Test {
  protected:
    void SetUp() override { ensureApplication(); }
};

TEST_F(ManualConsoleUserSourceTest, StartsAtTheLoginWindow) {
    ManualConsoleUserSource source;
    EXPECT_EQ(source.currentUserName(), QStringLiteral("loginwindow"));
}

TEST_F(ManualConsoleUserSourceTest, LogInSwitchAndLogOutReachTheWatchThread) {
    ManualConsoleUserSource source;
    QThread watchThread;
    watchThread.start();
    QMutex mutex;
    QStringList seen;
    QList<QThread*> threads;
    bool watching = false;
    // watch() is called on the watch thread, as the daemon's console-user watch does.
    auto* starter = new QObject;
    starter->moveToThread(&watchThread);
    QMetaObject::invokeMethod(
        starter,
        [&] {
            watching = source.watch([&](const QString& name) {
                QMutexLocker lock(&mutex);
                seen << name;
                threads << QThread::currentThread();
            });
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(watching);

    source.setUserName(QStringLiteral("anna"));
    source.setUserName(QStringLiteral("anna")); // the same user again: nothing
    source.setUserName(QStringLiteral("bert"));
    source.setUserName(QStringLiteral("loginwindow"));
    ASSERT_TRUE(waitUntil([&] {
        QMutexLocker lock(&mutex);
        return seen.size() >= 3;
    }));
    settle(100);
    QMutexLocker lock(&mutex);
    EXPECT_EQ(seen,
              (QStringList{QStringLiteral("anna"), QStringLiteral("bert"), QStringLiteral("loginwindow")}));
    for (QThread* t : threads)
        EXPECT_EQ(t, &watchThread);
    EXPECT_EQ(source.currentUserName(), QStringLiteral("loginwindow"));
    lock.unlock();
    starter->deleteLater();
    watchThread.quit();
    watchThread.wait();
}

TEST_F(ManualConsoleUserSourceTest, ARefusedWatchSaysSo) {
    ManualConsoleUserSource source(QStringLiteral("anna"));
    source.setRefuseWatch(true);
    QString error;
    EXPECT_FALSE(source.watch([](const QString&) {}, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(source.currentUserName(), QStringLiteral("anna"));
}

} // namespace
