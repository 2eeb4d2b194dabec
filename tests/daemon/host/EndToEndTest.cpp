// The whole daemon on its normal paths: restart triggers, console-user changes, one appliance account
// at a time, files the user cannot read. Faults (appliance gone or full, kills, hostile names and
// state files) are in tests/faults.

#include "AccountRecord.h"
#include "DaemonRig.h"
#include "RsyncConventions.h"

#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <pwd.h>
#include <sys/stat.h>

namespace {

class EndToEndTest : public DaemonRig {};

} // namespace

TEST_F(EndToEndTest, RestartTriggersEndTheDaemonAndItComesBackRight) {
    writeFile(home + QStringLiteral("/Notes/a.txt"), "a");
    writeDetails();
    // An earlier version kept the appliance password in two files in /etc: the upgraded daemon's start
    // removes them, and writes none.
    const QStringList legacy{root.profile().backupPasswordFile, root.profile().listingPasswordFile};
    for (const QString& file : legacy)
        ASSERT_TRUE(RsyncConventions::writePasswordFile(file, QStringLiteral("old secret"), 0611));
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();
    for (const QString& file : legacy)
        EXPECT_FALSE(QFileInfo::exists(file)) << file.toStdString();
    EXPECT_EQ(trace().count(QStringLiteral("a password file of an earlier version")), 2);
    EXPECT_FALSE(trace().contains(QStringLiteral("old secret")));

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
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(readable)); }, 60000)) << hostLog();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000));
    EXPECT_FALSE(QFile::exists(onAppliance(secret)));
    EXPECT_FALSE(daemonEnded());
}

// The account's password is changed on the appliance and put back (an administrator's slip): the person
// hears of the refusal once; the daemon tries the same password again now and then, each wait twice the
// one before (an appliance locks accounts that keep failing), and once the password is right again the
// files that waited go by themselves, with nobody logging in.
TEST_F(EndToEndTest, ARefusedPasswordIsToldOnceAndWhatWaitedGoesByItselfOnceItIsPutRight) {
    writeFile(home + QStringLiteral("/Documents/first.txt"), "first");
    writeDetails();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();

    ASSERT_TRUE(appliance->setPassword(account, QStringLiteral("changed by the admin")));
    const QMap<QString, QByteArray> waiting{{home + QStringLiteral("/Documents/second.txt"), "second"},
                                            {home + QStringLiteral("/Notes/third.txt"), "third"}};
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it)
        writeFile(it.key(), it.value());
    ASSERT_TRUE(waitUntil([&] { return progress.count(Protocol::ProgressError) == 1; }, 60000))
        << trace().toStdString();
    const auto tries = [&] { return trace().count(QStringLiteral("Trying the refused password")); };
    // (A minute at most here: far longer than the doubling waits the test sees.)
    ASSERT_TRUE(waitUntil([&] { return tries() >= 3; }, 30000)) << trace().toStdString();
    for (const char* wait : {"tried again in 1 sec", "tried again in 2 sec", "tried again in 4 sec"})
        EXPECT_TRUE(trace().contains(QLatin1String(wait))) << wait;
    EXPECT_EQ(progress.count(Protocol::ProgressError), 1);
    EXPECT_EQ(missing(waiting).size(), waiting.size());

    ASSERT_TRUE(appliance->setPassword(account, password));
    ASSERT_TRUE(arrived(waiting, 30000)) << trace().toStdString();
    ASSERT_TRUE(waitUntil([&] { return progress.last() == Protocol::ProgressBackupCompleted; }, 30000));
    EXPECT_EQ(progress.count(Protocol::ProgressError), 1);
    EXPECT_FALSE(trace().contains(QStringLiteral("changed by the admin")));
    EXPECT_FALSE(sessionLogs().contains(QStringLiteral("changed by the admin")));
    EXPECT_FALSE(daemonEnded());
}

TEST_F(EndToEndTest, ANewAccountGetsItsFirstBackupAndItsProgramsSavesAndPatternsAreHonoured) {
    // What the person had before the installation.
    QMap<QString, QByteArray> documents{{home + QStringLiteral("/Documents/Report.odt"), "first version"},
                                        {home + QStringLiteral("/Documents/Old notes $(x).txt"), "notes"},
                                        {home + QStringLiteral("/Pictures/summer.jpg"), "jpeg"}};
    for (auto it = documents.cbegin(); it != documents.cend(); ++it)
        writeFile(it.key(), it.value());
    user.handOver(home);
    // The log-in writes the record as the application does, before the person has chosen a backup
    // type; five seconds later the application asks for the new account's initial backup.
    ASSERT_TRUE(AccountRecord::forLogin(account, password, appliance->address(), false, false)
                    .write(paths.pathForApplicationFile(DaemonPath::UserDetails)));
    startDaemon();
    ASSERT_TRUE(waitUntil(
        [&] {
            return trace().contains(
                QStringLiteral("Deamon restarted  due to application install/ Reinitialize"));
        },
        20000))
        << hostLog();
    appSide->postNotification(Protocol::Reinitialize);
    ASSERT_TRUE(waitForExit()) << "\"Reinitialize\" was not acted on: " << trace().toStdString();
    EXPECT_EQ(exitStatuses.last(), 1);
    EXPECT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InstalMarker)));

    // The person chooses the local backup: everything that was there arrives.
    startDaemon();
    writeDetails();
    ASSERT_TRUE(arrived(documents, 60000)) << missing(documents).join(u' ').toStdString() << hostLog();

    // The office suite saves through a temporary name renamed over the document.
    const QString report = home + QStringLiteral("/Documents/Report.odt");
    writeFile(home + QStringLiteral("/Documents/lu12345.tmp"), "second version");
    ASSERT_EQ(::rename(QFile::encodeName(home + QStringLiteral("/Documents/lu12345.tmp")).constData(),
                       QFile::encodeName(report).constData()),
              0);
    documents[report] = "second version";
    ASSERT_TRUE(arrived(documents, 30000)) << missing(documents).join(u' ').toStdString() << hostLog();

    // The person excludes disk images in the exclusion editor: a new one stays home, also inside a
    // folder moved into the home whole; the rest arrives.
    const QString patterns = paths.pathForApplicationFile(DaemonPath::ExcludePattern);
    ASSERT_TRUE(
        PropertyList::writeStringArray(patterns, {QStringLiteral("*.iso")}, PropertyList::PublicMode));
    user.handOver(patterns);
    appSide->postNotification(Protocol::Exclude, {{Protocol::KeyType, Protocol::ExcludeTypeUser}});
    spinFor(500);
    const QString outside = root.path() + QStringLiteral("/elsewhere/Installers");
    writeFile(outside + QStringLiteral("/debian.iso"), "iso");
    writeFile(outside + QStringLiteral("/README.txt"), "readme");
    ASSERT_TRUE(QFile::rename(outside, home + QStringLiteral("/Installers")));
    writeFile(home + QStringLiteral("/Documents/disk.iso"), "iso");
    const QMap<QString, QByteArray> later{{home + QStringLiteral("/Installers/README.txt"), "readme"},
                                          {home + QStringLiteral("/Documents/new.txt"), "new"}};
    writeFile(home + QStringLiteral("/Documents/new.txt"), "new");
    ASSERT_TRUE(arrived(later, 30000)) << missing(later).join(u' ').toStdString() << hostLog();
    EXPECT_FALSE(QFile::exists(onAppliance(home + QStringLiteral("/Documents/disk.iso"))));
    EXPECT_FALSE(QFile::exists(onAppliance(home + QStringLiteral("/Installers/debian.iso"))));

    // The person takes the pattern off again: what it kept out is owed now and arrives, with no
    // change to the files themselves.
    ASSERT_TRUE(PropertyList::writeStringArray(patterns, {}, PropertyList::PublicMode));
    user.handOver(patterns);
    appSide->postNotification(Protocol::Exclude, {{Protocol::KeyType, Protocol::ExcludeTypeUser}});
    const QMap<QString, QByteArray> keptOut{{home + QStringLiteral("/Documents/disk.iso"), "iso"},
                                            {home + QStringLiteral("/Installers/debian.iso"), "iso"}};
    ASSERT_TRUE(arrived(keptOut, 30000)) << missing(keptOut).join(u' ').toStdString() << hostLog();
}

TEST_F(EndToEndTest, AnotherLocalUserListeningOnTheBusHearsNoneOfThePersonsFileNames) {
    ZH_SKIP_IF(user.uid == 0 ? QStringLiteral("needs a fixture account other than root") : QString());
    const passwd* nobody = ::getpwnam("nobody");
    ZH_SKIP_IF(nobody ? QString() : QStringLiteral("no account \"nobody\" to listen as"));
    // Another account on the machine listens to every notification on the system bus.
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
    const QString heard = dir.filePath(QStringLiteral("heard"));
    const pid_t listener = ChildProcess::spawn(
        {QStringLiteral("env"), QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + bus.address(),
         QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
         QStringLiteral(ZH_NOTIFICATION_PEER), QStringLiteral("--listen"), heard});
    const auto stop = qScopeGuard([&] { ChildProcess::terminate(listener); });
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(heard); }, 10000));

    const QString secret = home + QStringLiteral("/Private/Letter to my doctor.txt");
    writeFile(secret, "private");
    writeDetails();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();
    ASSERT_TRUE(QFile::exists(onAppliance(secret)));
    EXPECT_TRUE(progress.contains(QStringLiteral("file"))) << "root (here: the test) hears the figures";
    // The other account heard that a backup ran, and nothing of what it held.
    ASSERT_TRUE(
        waitUntil([&] { return readTrace(heard).contains(Protocol::ProgressBackupCompleted); }, 10000))
        << readTrace(heard).toStdString();
    EXPECT_FALSE(readTrace(heard).contains(QStringLiteral("Letter to my doctor")))
        << readTrace(heard).toStdString();
    EXPECT_FALSE(readTrace(heard).contains(home)) << readTrace(heard).toStdString();

    // Paused, the changes wait in the system support folder: the other account reads none of them,
    // nor the initial set or the trace.
    writeDetails({{Protocol::PauseStateKey, QStringLiteral("1")}});
    appSide->postNotification(Protocol::PauseState);
    spinFor(500);
    writeFile(home + QStringLiteral("/Private/Second letter.txt"), "private");
    const QString lists = paths.pathForApplicationFile(DaemonPath::BackupListsFolder);
    ASSERT_TRUE(waitUntil([&] { return !QDir(lists).entryList(QDir::Files).isEmpty(); }, 20000)) << hostLog();
    QByteArray found, errors;
    ChildProcess::run({QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                       QStringLiteral("--"), QStringLiteral("grep"), QStringLiteral("-rlF"),
                       QStringLiteral("/Private"), root.profile().systemSupportFolder},
                      &found, &errors);
    EXPECT_TRUE(found.isEmpty()) << "readable by another account: " << found.toStdString();

    // Even where the home itself is open to everybody (as older homes are), what the daemon keeps in
    // it for the person (session logs, the index, the exclusion lists) is theirs alone.
    ASSERT_EQ(::chmod(QFile::encodeName(home).constData(), 0755), 0);
    found.clear();
    ChildProcess::run({QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                       QStringLiteral("--"), QStringLiteral("grep"), QStringLiteral("-rlaF"),
                       QStringLiteral("Private"),
                       paths.pathForApplicationFile(DaemonPath::UserSupportFolder)},
                      &found, &errors);
    EXPECT_TRUE(found.isEmpty()) << "readable by another account: " << found.toStdString();
}

TEST_F(EndToEndTest, WhenTheConsoleChangesHandsEachPersonsWaitingChangesReachOnlyTheirOwnAccount) {
    ZH_SKIP_IF(user.uid == 0 ? QStringLiteral("needs fixture accounts other than root") : QString());
    // A second person with a home and an appliance account of their own.
    QString error;
    const FixtureUser other =
        FixtureUser::account(QStringLiteral("zhsecond"), QStringLiteral("/home/zhsecond"), &error);
    ASSERT_EQ(other.name, QStringLiteral("zhsecond")) << error.toStdString();
    const QString otherHome = root.createHome(other);
    FilePathsController otherPaths(FilePathsController::Table::Daemon, root.profile());
    otherPaths.setM_ConsoleUserName(other.name);
    const QString otherAccount = QStringLiteral("bob"), otherPassword = QStringLiteral("bob's own");
    ASSERT_TRUE(appliance->addUser(otherAccount, otherPassword));
    FileTools::makePath(otherPaths.pathForApplicationFile(DaemonPath::UserSupportFolder));
    ASSERT_TRUE(PropertyList::writeDictionary(otherPaths.pathForApplicationFile(DaemonPath::UserDetails),
                                              {{Protocol::UserName, otherAccount},
                                               {Protocol::Password, otherPassword},
                                               {Protocol::Ip, appliance->address()},
                                               {Protocol::Login, QStringLiteral("1")},
                                               {Protocol::PauseStateKey, QStringLiteral("0")},
                                               {Protocol::LocalBackup, QStringLiteral("1")},
                                               {Protocol::TimeMachineBackup, QStringLiteral("0")}},
                                              PropertyList::OwnerOnlyMode));
    other.handOver(otherHome);

    // The first person's private change waits: the appliance is away when they save it.
    writeFile(home + QStringLiteral("/Notes/a.txt"), "a");
    user.handOver(home);
    writeDetails();
    const QString consoleFile = root.path() + QStringLiteral("/console-user");
    writeFile(consoleFile, user.name.toUtf8());
    startDaemon(u'@' + consoleFile);
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();
    appliance->stop();
    const QString privateFile = home + QStringLiteral("/Private/test-result (Ann).pdf");
    writeFile(privateFile, "results");
    user.handOver(home);
    ASSERT_TRUE(waitUntil([&] { return trace().contains(QStringLiteral("Retrying")); }, 30000)) << hostLog();

    // The console changes hands: the second person's daemon sends their own files, none of the first's.
    const qsizetype traceBefore = trace().size();
    progress.clear();
    writeFile(consoleFile, other.name.toUtf8());
    ASSERT_TRUE(waitForExit());
    ASSERT_TRUE(appliance->start());
    writeFile(otherHome + QStringLiteral("/Documents/b.txt"), "b");
    other.handOver(otherHome);
    startDaemon(u'@' + consoleFile);
    const QString otherOnAppliance = appliance->modulePath() + u'/' + otherAccount + u'/' +
                                     UtilityClass::machineName() + otherHome +
                                     QStringLiteral("/Documents/b.txt");
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(otherOnAppliance); }, 60000)) << hostLog();
    spinFor(3000);
    const QString duringOther = trace().mid(traceBefore);
    EXPECT_FALSE(duringOther.contains(QStringLiteral("test-result"))) << duringOther.toStdString();
    EXPECT_FALSE(progress.join(u'\n').contains(QStringLiteral("test-result")));
    QString otherSessionLogs;
    const QDir logs(otherPaths.pathForApplicationFile(DaemonPath::SessionLogsFolder));
    for (const QString& name : logs.entryList(QDir::Files))
        otherSessionLogs += readTrace(logs.filePath(name));
    EXPECT_FALSE(otherSessionLogs.contains(QStringLiteral("test-result"))) << otherSessionLogs.toStdString();
    EXPECT_FALSE(QFile::exists(appliance->modulePath() + u'/' + otherAccount + u'/' +
                               UtilityClass::machineName() + privateFile));

    // Back to the first person: their waiting change reaches their own account.
    writeFile(consoleFile, user.name.toUtf8());
    ASSERT_TRUE(waitForExit());
    startDaemon(u'@' + consoleFile);
    EXPECT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(privateFile)); }, 60000)) << hostLog();
}
