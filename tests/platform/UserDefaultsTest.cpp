#include "UserDefaults.h"

#include <Protocol.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(UserDefaults, IpIsKeptAcrossInstances) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("ZorvikHollin.conf"));
    {
        UserDefaults defaults(file);
        EXPECT_EQ(defaults.stringForKey(Protocol::Ip), QString());
        ASSERT_TRUE(defaults.setStringForKey(Protocol::Ip, QStringLiteral("192.168.1.20")));
    }
    UserDefaults again(file);
    EXPECT_EQ(again.stringForKey(Protocol::Ip), QStringLiteral("192.168.1.20"));
    ASSERT_TRUE(again.setStringForKey(Protocol::Ip, QStringLiteral("10.0.0.7")));
    EXPECT_EQ(UserDefaults(file).stringForKey(Protocol::Ip), QStringLiteral("10.0.0.7"));
}

TEST(UserDefaults, WriteToAPlaceThatCannotHoldTheFileFails) {
    QTemporaryDir dir;
    // A folder where the file should be: nothing can be written there.
    const QString file = dir.filePath(QStringLiteral("blocked"));
    ASSERT_TRUE(QDir().mkpath(file));
    UserDefaults defaults(file);
    EXPECT_FALSE(defaults.setStringForKey(Protocol::Ip, QStringLiteral("192.168.1.20")));
}

} // namespace
