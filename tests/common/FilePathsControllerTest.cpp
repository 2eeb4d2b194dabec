#include "FilePathsController.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QDir>

#include <climits>
#include <pwd.h>
#include <unistd.h>

namespace {

using Table = FilePathsController::Table;

struct Expected {
    int index;
    QString path; // with {S} for the system support folder, {U} for the user support folder
};

QString expand(QString t, const PlatformProfile& p, const QString& user) {
    return t.replace(QStringLiteral("{S}"), p.systemSupportFolder)
        .replace(QStringLiteral("{U}"), p.userSupportFolder(user));
}

const QList<Expected> kDaemonTable = {
    {0, "{S}"},
    {1, "{U}"},
    {2, "{S}/Operation/syncUp"},
    {3, "{S}/Backup"},
    {4, "{S}/InitialBackupList.txt"},
    {5, "{U}/InitialExcludeList.txt"},
    {6, "{U}/userDetails.plist"},
    {7, "{R}/etc/passwd.secrets"},
    {8, "{S}/ZorvikHollinHelper/bin/ZorvikHollin_ver_001"},
    {9, "{S}/LogsFolder/DaemonTrace.txt"},
    {10, "{S}/KeepAlive"},
    {11, "{U}/ExcludePattern.txt"},
    {12, "{S}/instal.txt"},
    {13, "{S}/initalSetReady.txt"},
    {14, "{S}/initalBackupStarted.txt"},
    {15, "{U}/SessionLogs"},
    {16, "{R}/etc/initialListingPasswd.secrets"},
    {17, "{U}/RsyncVersion.plist"},
    {18, "{U}/.TimeMachineDestinationFolderExcludeForWatcher.plist"},
};

const QList<Expected> kApplicationTable = {
    {0, "{S}"},
    {1, "{U}"},
    {2, "{S}/Operation/syncUp"},
    {3, "{U}/userDetails.plist"},
    {4, "{S}/KeepAlive"},
    {5, "{U}/InitialExcludeList.txt"},
    {6, "{U}/ExcludePattern.txt"},
    {7, "{U}/SessionLogs"},
    {8, "{U}/.etc"},
    {9, "{S}/ZorvikHollinHelper/bin/ZorvikHollin_ver_001"},
    {10, "{S}/initalSetReady.txt"},
    {11, "{S}/initalBackupStarted.txt"},
    {12, "{S}/Backup"},
    {13, "{U}/RsyncVersion.plist"},
};

void checkTable(const QList<Expected>& table, Table which, const PlatformProfile& profile,
                const QString& user) {
    FilePathsController paths(which, profile);
    if (!user.isEmpty())
        paths.setM_ConsoleUserName(user);
    for (const Expected& e : table) {
        QString want = expand(e.path, profile, user);
        want.replace(QStringLiteral("{R}"), profile.root);
        EXPECT_EQ(paths.pathForApplicationFile(e.index), want) << "index " << e.index;
    }
}

class FilePathsControllerTest : public ::testing::Test {
  protected:
    TempRoot root;
    FixtureUser user = FixtureUser::get();
};

} // namespace

TEST_F(FilePathsControllerTest, EveryDaemonIndexWithAndWithoutUserName) {
    checkTable(kDaemonTable, Table::Daemon, root.profile(), user.name);
    checkTable(kDaemonTable, Table::Daemon, root.profile(), QString());
}

TEST_F(FilePathsControllerTest, EveryApplicationIndexWithAndWithoutUserName) {
    checkTable(kApplicationTable, Table::Application, root.profile(), user.name);
    checkTable(kApplicationTable, Table::Application, root.profile(), QString());
}

TEST_F(FilePathsControllerTest, MacProfileKeepsTheMacLocations) {
    TempRoot mac(PlatformProfile::Kind::MacOS);
    checkTable(kDaemonTable, Table::Daemon, mac.profile(), user.name);
    FilePathsController paths(Table::Daemon, PlatformProfile::forMacOS());
    EXPECT_EQ(paths.pathForApplicationFile(9),
              "/Library/Application Support/ZorvikHollin/LogsFolder/DaemonTrace.txt");
    paths.setM_ConsoleUserName(user.name);
    EXPECT_EQ(paths.pathForApplicationFile(6),
              user.passwdHome + "/Library/Application Support/ZorvikHollin/userDetails.plist");
}

TEST_F(FilePathsControllerTest, LinuxProfileOnTheRealMachine) {
    FilePathsController paths(Table::Daemon, PlatformProfile::forLinux());
    paths.setM_ConsoleUserName(user.name);
    EXPECT_EQ(paths.pathForApplicationFile(3), "/var/lib/ZorvikHollin/Backup");
    EXPECT_EQ(paths.pathForApplicationFile(7), "/etc/passwd.secrets");
    EXPECT_EQ(paths.pathForApplicationFile(15), user.passwdHome + "/.local/share/ZorvikHollin/SessionLogs");
}

TEST_F(FilePathsControllerTest, OutOfRangeIndicesGiveTheEmptyString) {
    FilePathsController daemon(Table::Daemon, root.profile());
    FilePathsController app(Table::Application, root.profile());
    for (int index : {19, 20, -1, -19, INT_MIN, INT_MAX}) {
        EXPECT_FALSE(daemon.pathForApplicationFile(index).isNull()) << index;
        EXPECT_EQ(daemon.pathForApplicationFile(index), "") << index;
    }
    for (int index : {14, 18, -1, INT_MIN})
        EXPECT_EQ(app.pathForApplicationFile(index), "") << index;
}

TEST_F(FilePathsControllerTest, DaemonForTheUserAndTheUsersOwnApplicationNameTheSameFile) {
    // The application, running as the user, sets no name; the daemon names that user.
    FilePathsController daemon(Table::Daemon, root.profile());
    daemon.setM_ConsoleUserName(QString::fromLocal8Bit(getpwuid(geteuid())->pw_name));
    FilePathsController app(Table::Application, root.profile());
    EXPECT_EQ(daemon.pathForApplicationFile(6), app.pathForApplicationFile(3));
    EXPECT_EQ(daemon.pathForApplicationFile(15), app.pathForApplicationFile(7));
}

TEST_F(FilePathsControllerTest, TwoUsersDifferOnlyInTheirUserFolders) {
    FilePathsController a(Table::Daemon, root.profile());
    FilePathsController b(Table::Daemon, root.profile());
    a.setM_ConsoleUserName(user.name);
    b.setM_ConsoleUserName(QStringLiteral("root"));
    if (user.name == QLatin1String("root"))
        b.setM_ConsoleUserName(QStringLiteral("nobody"));
    EXPECT_NE(a.pathForApplicationFile(1), b.pathForApplicationFile(1));
    EXPECT_NE(a.pathForApplicationFile(6), b.pathForApplicationFile(6));
    for (int systemIndex : {0, 2, 3, 4, 7, 8, 9, 12, 13, 14, 16})
        EXPECT_EQ(a.pathForApplicationFile(systemIndex), b.pathForApplicationFile(systemIndex));
}

TEST_F(FilePathsControllerTest, NothingIsCreatedOrTested) {
    FilePathsController paths(Table::Daemon, root.profile());
    paths.setM_ConsoleUserName(user.name);
    for (int i = 0; i <= 18; ++i)
        paths.pathForApplicationFile(i);
    EXPECT_TRUE(
        QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

TEST_F(FilePathsControllerTest, HomeIsLookedUpAtEveryCall) {
    FilePathsController paths(Table::Daemon, root.profile());
    paths.setM_ConsoleUserName(user.name);
    const QString first = paths.pathForApplicationFile(6);
    paths.setM_ConsoleUserName(QStringLiteral("root"));
    const QString second = paths.pathForApplicationFile(6);
    paths.setM_ConsoleUserName(user.name);
    EXPECT_EQ(paths.pathForApplicationFile(6), first);
    if (user.name != QLatin1String("root")) {
        EXPECT_NE(first, second);
    }
}

TEST_F(FilePathsControllerTest, UnknownUserHasNoUserPaths) {
    FilePathsController paths(Table::Daemon, root.profile());
    paths.setM_ConsoleUserName(QStringLiteral("no-such-user-zh"));
    EXPECT_EQ(paths.pathForApplicationFile(6), "");
    EXPECT_EQ(paths.pathForApplicationFile(1), "");
    EXPECT_EQ(paths.pathForApplicationFile(9),
              root.profile().systemSupportFolder + "/LogsFolder/DaemonTrace.txt");
}
