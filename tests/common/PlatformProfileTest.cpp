#include "PlatformProfile.h"
#include "FileTools.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

TEST(PlatformProfileTest, RootedProfilesKeepEveryLocationBelowTheRoot) {
    for (auto kind : {PlatformProfile::Kind::Linux, PlatformProfile::Kind::MacOS}) {
        TempRoot root(kind);
        const PlatformProfile& p = root.profile();
        for (const QString& path : {p.systemSupportFolder, p.backupPasswordFile, p.listingPasswordFile,
                                    p.privateRsyncPath, p.usersFolder, p.homeOf(QString())})
            EXPECT_TRUE(path.startsWith(root.path() + u'/')) << path.toStdString();
        for (const QString& path : p.defaultExclusions)
            EXPECT_TRUE(path.startsWith(root.path() + u'/')) << path.toStdString();
    }
}

TEST(PlatformProfileTest, LinuxAndMacValues) {
    const PlatformProfile linux_ = PlatformProfile::forLinux();
    EXPECT_EQ(linux_.systemSupportFolder, "/var/lib/ZorvikHollin");
    EXPECT_EQ(linux_.usersFolder, "/home");
    EXPECT_EQ(linux_.perHomeExcludedFolder, ".cache");
    EXPECT_TRUE(linux_.initialSetRootPrefixes.contains("lost+found"));
    EXPECT_FALSE(linux_.initialSetRootPrefixes.contains("home"));
    const PlatformProfile mac = PlatformProfile::forMacOS();
    EXPECT_EQ(mac.systemSupportFolder, "/Library/Application Support/ZorvikHollin");
    EXPECT_EQ(mac.usersFolder, "/Users");
    EXPECT_EQ(mac.usersFolderMarker, "Users");
    EXPECT_EQ(mac.snapshotToolPath, "/usr/bin/tmutil");
    EXPECT_TRUE(mac.initialSetRootPrefixes.contains("home"));
    EXPECT_FALSE(mac.initialSetRootPrefixes.contains("Users"));
    EXPECT_EQ(PlatformProfile::current().kind, PlatformProfile::Kind::Linux);
}

TEST(PlatformProfileTest, UnknownUserHasNoHome) {
    EXPECT_EQ(PlatformProfile::forLinux().homeOf(QStringLiteral("no-such-user-zh")), "");
    EXPECT_EQ(PlatformProfile::forLinux().userSupportFolder(QStringLiteral("no-such-user-zh")), "");
}

TEST(FileToolsTest, NewFoldersTakeTheOwnerOfTheFolderAbove) {
    if (geteuid() != 0)
        GTEST_SKIP() << "ownership changes need root";
    TempRoot root;
    const FixtureUser user = FixtureUser::get();
    const QString home = root.createHome(user);
    const QString deep = home + QStringLiteral("/.local/share/ZorvikHollin/SessionLogs");
    ASSERT_TRUE(FileTools::makePath(deep));
    for (QString p = deep; p != home; p = QFileInfo(p).path()) {
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(p).constData(), &st), 0);
        EXPECT_EQ(st.st_uid, user.uid) << p.toStdString();
    }
    // A folder made outside any home stays root's.
    const QString system = root.profile().systemSupportFolder + QStringLiteral("/LogsFolder");
    ASSERT_TRUE(FileTools::makePath(system));
    struct stat st {};
    ::stat(QFile::encodeName(system).constData(), &st);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST(FileToolsTest, AppendOrCreate) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.txt"));
    EXPECT_TRUE(FileTools::appendOrCreate(path, "a"));
    EXPECT_TRUE(FileTools::appendOrCreate(path, "b"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "ab");
    EXPECT_FALSE(FileTools::appendOrCreate(dir.filePath(QStringLiteral("missing/t.txt")), "x"));
}
