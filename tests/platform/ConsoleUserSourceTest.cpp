#include "LogindConsoleUserSource.h"

#include <QDir>

#include <gtest/gtest.h>

#include <systemd/sd-login.h>

namespace {

TEST(LogindConsoleUserSource, ReadsTheSeatAndWatchesItOnce) {
    LogindConsoleUserSource source;
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", nullptr, &uid) < 0) {
        EXPECT_EQ(source.currentUserName(), QString(ConsoleUserSource::LoginWindow));
    }

    QString error;
    const bool watching = source.watch([](const QString&) {}, &error);
    if (!QDir(QStringLiteral("/run/systemd")).exists()) {
        // Without systemd's run-time folder there is nothing to watch; the failure must say why.
        EXPECT_FALSE(watching);
        EXPECT_TRUE(error.startsWith(QLatin1String("sd_login_monitor_new"))) << error.toStdString();
        return;
    }
    ASSERT_TRUE(watching) << error.toStdString();
    EXPECT_FALSE(source.watch([](const QString&) {}, &error)) << "one watch per source";
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
