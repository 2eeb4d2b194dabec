#include "PlatformProfile.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "Requirements.h"
#include "TestRoots.h"

#include <QFileInfo>

#include <sys/stat.h>

TEST(PlatformProfileTest, RootedProfilesKeepEveryLocationBelowTheRootAndUnknownUsersHaveNoHome) {
    for (auto kind : {PlatformProfile::Kind::Linux, PlatformProfile::Kind::MacOS}) {
        TempRoot root(kind);
        const PlatformProfile& p = root.profile();
        for (const QString& path :
             QStringList{p.systemSupportFolder, p.backupPasswordFile, p.listingPasswordFile,
                         p.privateRsyncPath, p.usersFolder, p.homeOf(QString())} +
                 p.defaultExclusions)
            EXPECT_TRUE(path.startsWith(root.path() + u'/')) << path.toStdString();
    }
    EXPECT_EQ(PlatformProfile::forLinux().homeOf("no-such-user-zh"), "");
    EXPECT_EQ(PlatformProfile::forLinux().userSupportFolder("no-such-user-zh"), "");
}

TEST(FileToolsTest, WhatRootCreatesInAHomeBelongsToItsUser) {
    ZH_SKIP_IF(needs::root("ownership changes"));
    TempRoot root;
    const FixtureUser user = FixtureUser::get();
    const QString home = root.createHome(user);
    const auto statOf = [](const QString& path) {
        struct stat st {};
        ::stat(QFile::encodeName(path).constData(), &st);
        return st;
    };
    const QString deep = home + "/.local/share/ZorvikHollin/SessionLogs";
    ASSERT_TRUE(FileTools::makePath(deep));
    for (QString p = deep; p != home; p = QFileInfo(p).path())
        EXPECT_EQ(statOf(p).st_uid, user.uid) << p.toStdString();
    const QString record = home + "/userDetails.plist";
    ASSERT_TRUE(PropertyList::writeDictionary(record, {{"username", "u"}}, PropertyList::OwnerOnlyMode));
    EXPECT_EQ(statOf(record).st_uid, user.uid);
    EXPECT_EQ(statOf(record).st_mode & 0777, 0600u);
    // A folder made outside any home stays root's.
    const QString system = root.profile().systemSupportFolder + "/LogsFolder";
    ASSERT_TRUE(FileTools::makePath(system));
    EXPECT_EQ(statOf(system).st_uid, 0u);
}
