#include "UserDefaults.h"

#include <Protocol.h>

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(UserDefaults, IpIsKeptAcrossInstancesAndAnUnwritablePlaceFails) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("ZorvikHollin.conf"));
    {
        UserDefaults defaults(file);
        EXPECT_EQ(defaults.stringForKey(Protocol::Ip), QString());
        ASSERT_TRUE(defaults.setStringForKey(Protocol::Ip, QStringLiteral("192.168.1.20")));
    }
    EXPECT_EQ(UserDefaults(file).stringForKey(Protocol::Ip), QStringLiteral("192.168.1.20"));

    // A folder where the file should be: nothing can be written there.
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    ASSERT_TRUE(QDir().mkpath(blocked));
    EXPECT_FALSE(UserDefaults(blocked).setStringForKey(Protocol::Ip, QStringLiteral("192.168.1.20")));
}
