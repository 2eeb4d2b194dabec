// The whole daemon on its normal paths: restart triggers, console-user changes, one appliance account
// at a time, files the user cannot read. Faults (appliance gone or full, kills, hostile names and
// state files) are in tests/faults.

#include "DaemonRig.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

class EndToEndTest : public DaemonRig {};

} // namespace

TEST_F(EndToEndTest, RestartTriggersEndTheDaemonAndItComesBackRight) {
    writeFile(home + QStringLiteral("/Notes/a.txt"), "a");
    writeDetails();
    markInstalled();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();

    // Local backup switched off.
    writeDetails({{Protocol::LocalBackup, QStringLiteral("0")}});
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 1);
    EXPECT_TRUE(
        trace().contains(QStringLiteral("checkForUserLogedIn local machine backup is 0 restarting deamon")));

    // Reinitialize: the account folder is emptied, the markers reset, and the restart rebuilds the set.
    writeDetails();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return trace().count(QStringLiteral("Watcher started")) >= 2; }, 20000));
    const QString accountFolder =
        paths.pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' + account;
    writeFile(accountFolder + QStringLiteral("/stale.zx"), "x");
    appSide->postNotification(Protocol::Reinitialize);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 1);
    EXPECT_FALSE(QFile::exists(accountFolder + QStringLiteral("/stale.zx")));
    EXPECT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InstalMarker)));
    startDaemon();
    ASSERT_TRUE(waitUntil(
        [&] { return !QFile::exists(paths.pathForApplicationFile(DaemonPath::InstalMarker)); }, 20000));
    EXPECT_TRUE(PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList))
                    .contains(home + QStringLiteral("/Notes")));

    // Log-out: the application deletes the record, then posts "LogOut"; the restarted daemon idles.
    QFile::remove(paths.pathForApplicationFile(DaemonPath::UserDetails));
    appSide->postNotification(Protocol::LogOut);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 1);
    EXPECT_TRUE(trace().contains(QStringLiteral("Restarting damon due to notification recevied logout")));
    const int watchersBefore = trace().count(QStringLiteral("Watcher started"));
    startDaemon();
    spinFor(2000);
    EXPECT_FALSE(daemonEnded());
    EXPECT_EQ(trace().count(QStringLiteral("Watcher started")), watchersBefore);
}

TEST_F(EndToEndTest, StartedAtTheLoginWindowServesTheUserWhoLogsInAndOneAccountAtATime) {
    writeFile(home + QStringLiteral("/Notes/a.txt"), "a");
    writeDetails();
    markInstalled();
    const QString consoleFile = root.path() + QStringLiteral("/console-user");
    startDaemon(u'@' + consoleFile);
    spinFor(1500);
    EXPECT_FALSE(daemonEnded());
    EXPECT_FALSE(trace().contains(QStringLiteral("Watcher started")));

    // The log-in builds everything on the main thread: the initial backup runs, later changes follow.
    writeFile(consoleFile, user.name.toUtf8());
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();
    EXPECT_TRUE(QFile::exists(onAppliance(home + QStringLiteral("/Notes/a.txt"))));
    const QString later = home + QStringLiteral("/Notes/New $(x).txt");
    writeFile(later, "later");
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(later)); }, 30000)) << hostLog();
    QDir().mkpath(home + QStringLiteral("/Moved"));
    const QString moved = home + QStringLiteral("/Moved/a.txt");
    ASSERT_TRUE(QFile::rename(home + QStringLiteral("/Notes/a.txt"), moved));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(moved)); }, 30000)) << hostLog();

    // The application logs in to another appliance account: a clean restart, not a crash, and the
    // new process serves that account.
    writeDetails({{Protocol::UserName, QStringLiteral("bob")}});
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 1) << hostLog();
    EXPECT_TRUE(trace().contains(QStringLiteral("appliance account changed restarting deamon")));
    startDaemon(u'@' + consoleFile);
    ASSERT_TRUE(waitUntil([&] { return trace().count(QStringLiteral("Watcher started")) >= 2; }, 20000));

    // The log-out ends it.
    writeFile(consoleFile, "");
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 1);
    EXPECT_TRUE(trace().contains(QStringLiteral("console user nil so quit deamon")));
    EXPECT_FALSE(trace().contains(password));
}

TEST_F(EndToEndTest, FilesTheUserCannotReadStayOffTheAppliance) {
    ZH_SKIP_IF(user.uid == 0 ? QStringLiteral("needs a fixture account other than root") : QString());
    const QString readable = home + QStringLiteral("/Notes/mine.txt");
    const QString secret = home + QStringLiteral("/Notes/root-only.txt");
    writeFile(readable, "mine");
    writeFile(secret, "root only");
    ASSERT_EQ(::chown(QFile::encodeName(secret).constData(), 0, 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
    writeDetails();
    markInstalled();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(readable)); }, 60000)) << hostLog();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000));
    EXPECT_FALSE(QFile::exists(onAppliance(secret)));
    EXPECT_FALSE(daemonEnded());
}
