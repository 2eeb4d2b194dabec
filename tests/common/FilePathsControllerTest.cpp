#include "FilePathsController.h"
#include "QtPrinters.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QDir>

#include <climits>
#include <pwd.h>
#include <unistd.h>

namespace {

using Table = FilePathsController::Table;

// By index: {S} the system support folder, {U} the user support folder, {R} the profile root, {P} the
// person's own folder of root's state ({S}/PerUser/<user>, the running account's without a user).
const QStringList kDaemonTable =
    QString("{S} {U} {P}/Operation/syncUp {P}/Backup {P}/InitialBackupList.txt {U}/InitialExcludeList.txt "
            "{U}/userDetails.plist {R}/etc/passwd.secrets {S}/ZorvikHollinHelper/bin/ZorvikHollin_ver_001 "
            "{S}/LogsFolder/DaemonTrace.txt {S}/KeepAlive {U}/ExcludePattern.txt {S}/instal.txt "
            "{P}/initalSetReady.txt {P}/initalBackupStarted.txt {U}/SessionLogs "
            "{R}/etc/initialListingPasswd.secrets "
            "{U}/RsyncVersion.plist {U}/.TimeMachineDestinationFolderExcludeForWatcher.plist")
        .split(u' ');

const QStringList kApplicationTable =
    QString("{S} {U} {P}/Operation/syncUp {U}/userDetails.plist {S}/KeepAlive {U}/InitialExcludeList.txt "
            "{U}/ExcludePattern.txt {U}/SessionLogs {U}/.etc {S}/ZorvikHollinHelper/bin/ZorvikHollin_ver_001 "
            "{P}/initalSetReady.txt {P}/initalBackupStarted.txt {P}/Backup {U}/RsyncVersion.plist")
        .split(u' ');

void checkTable(const QStringList& table, Table which, const PlatformProfile& profile, const QString& user) {
    FilePathsController paths(which, profile);
    if (!user.isEmpty())
        paths.setM_ConsoleUserName(user);
    for (int index = 0; index < table.size(); ++index) {
        QString want = table[index];
        const QString person = user.isEmpty() ? QString::fromLocal8Bit(getpwuid(geteuid())->pw_name) : user;
        want.replace("{P}", profile.systemSupportFolder + "/PerUser/" + person)
            .replace("{S}", profile.systemSupportFolder)
            .replace("{U}", profile.userSupportFolder(user))
            .replace("{R}", profile.root);
        EXPECT_EQ(paths.pathForApplicationFile(index), want) << "index " << index;
    }
}

class FilePathsControllerTest : public ::testing::Test {
  protected:
    TempRoot root;
    FixtureUser user = FixtureUser::get();
};

} // namespace

TEST_F(FilePathsControllerTest, EveryIndexOfBothTablesInTheLinuxAndMacProfiles) {
    for (const QString& name : {user.name, QString()}) {
        checkTable(kDaemonTable, Table::Daemon, root.profile(), name);
        checkTable(kApplicationTable, Table::Application, root.profile(), name);
    }
    TempRoot mac(PlatformProfile::Kind::MacOS);
    checkTable(kDaemonTable, Table::Daemon, mac.profile(), user.name);
    FilePathsController onMac(Table::Daemon, PlatformProfile::forMacOS());
    EXPECT_EQ(onMac.pathForApplicationFile(9),
              "/Library/Application Support/ZorvikHollin/LogsFolder/DaemonTrace.txt");
    onMac.setM_ConsoleUserName(user.name);
    EXPECT_EQ(onMac.pathForApplicationFile(6),
              user.passwdHome + "/Library/Application Support/ZorvikHollin/userDetails.plist");
    FilePathsController onLinux(Table::Daemon, PlatformProfile::forLinux());
    onLinux.setM_ConsoleUserName(user.name);
    EXPECT_EQ(onLinux.pathForApplicationFile(3), "/var/lib/ZorvikHollin/PerUser/" + user.name + "/Backup");
    EXPECT_EQ(onLinux.pathForApplicationFile(7), "/etc/passwd.secrets");
    EXPECT_EQ(onLinux.pathForApplicationFile(15), user.passwdHome + "/.local/share/ZorvikHollin/SessionLogs");

    // Outside the tables: the empty string, never a null one.
    FilePathsController daemon(Table::Daemon, root.profile());
    FilePathsController app(Table::Application, root.profile());
    for (int index : {19, 20, -1, -19, INT_MIN, INT_MAX}) {
        EXPECT_FALSE(daemon.pathForApplicationFile(index).isNull()) << index;
        EXPECT_EQ(daemon.pathForApplicationFile(index), "") << index;
    }
    for (int index : {14, 18, -1, INT_MIN})
        EXPECT_EQ(app.pathForApplicationFile(index), "") << index;
    // Nothing is created or tested.
    EXPECT_TRUE(
        QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

TEST_F(FilePathsControllerTest, UnknownUserHasNoUserPaths) {
    FilePathsController paths(Table::Daemon, root.profile());
    paths.setM_ConsoleUserName("no-such-user-zh");
    EXPECT_EQ(paths.pathForApplicationFile(6), "");
    EXPECT_EQ(paths.pathForApplicationFile(1), "");
    EXPECT_EQ(paths.pathForApplicationFile(9),
              root.profile().systemSupportFolder + "/LogsFolder/DaemonTrace.txt");

    // The home is looked up at every call: two users differ in their user folders and in root's
    // folder of their waiting work, nothing else.
    const QString other = user.name == "root" ? "nobody" : "root";
    paths.setM_ConsoleUserName(user.name);
    const QString record = paths.pathForApplicationFile(6), folder = paths.pathForApplicationFile(1);
    QStringList system, perPerson;
    for (int index : {0, 7, 8, 9, 12, 16})
        system << paths.pathForApplicationFile(index);
    for (int index : {2, 3, 4, 13, 14})
        perPerson << paths.pathForApplicationFile(index);
    paths.setM_ConsoleUserName(other);
    EXPECT_NE(paths.pathForApplicationFile(6), record);
    EXPECT_NE(paths.pathForApplicationFile(1), folder);
    for (int index : {0, 7, 8, 9, 12, 16})
        EXPECT_EQ(paths.pathForApplicationFile(index), system.takeFirst()) << index;
    for (int index : {2, 3, 4, 13, 14})
        EXPECT_NE(paths.pathForApplicationFile(index), perPerson.takeFirst()) << index;
    paths.setM_ConsoleUserName(user.name);
    EXPECT_EQ(paths.pathForApplicationFile(6), record);

    // The application, running as the user, sets no name; the daemon names that user.
    FilePathsController daemon(Table::Daemon, root.profile());
    daemon.setM_ConsoleUserName(QString::fromLocal8Bit(getpwuid(geteuid())->pw_name));
    FilePathsController app(Table::Application, root.profile());
    EXPECT_EQ(daemon.pathForApplicationFile(6), app.pathForApplicationFile(3));
    EXPECT_EQ(daemon.pathForApplicationFile(15), app.pathForApplicationFile(7));
}
