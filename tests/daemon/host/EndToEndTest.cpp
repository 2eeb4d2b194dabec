// The daemon as a process of its own, with the test as its service supervisor: started again after
// every exit, killed at will, against the embedded appliance and a private bus.

#include "Appliance.h"
#include "ChildProcess.h"
#include "DataBaseWraper.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "IndexThrottle.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "QtPrinters.h"
#include "TestRoots.h"
#include "UtilityClass.h"
#include "linux/DBusNotificationCenter.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class EndToEndTest : public ::testing::Test {
  protected:
    Appliance appliance;
    PrivateBus bus;
    TempRoot root;
    FixtureUser user = FixtureUser::get();
    FilePathsController paths{FilePathsController::Table::Daemon, root.profile()};
    std::unique_ptr<DBusNotificationCenter> appSide;
    QObject application;
    QStringList progress; // what the application was told
    QString home;
    const QString account = QStringLiteral("ann");
    const QString password = QStringLiteral("p4ss \"word\" with blanks");
    pid_t daemon = -1;
    int starts = 0;
    QList<int> exitStatuses;

    void SetUp() override {
        const QString reason = Appliance::skipReason();
        if (!reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        appliance.addUser(account, password);
        ASSERT_TRUE(appliance.start());
        ASSERT_TRUE(bus.start());
        qputenv("ZH_TMUTIL_STATE", (root.path() + QStringLiteral("/tmutil-state.plist")).toUtf8());
        paths.setM_ConsoleUserName(user.name);
        home = root.createHome(user);
        QDir().mkpath(root.path() + QStringLiteral("/etc"));
        FileTools::makePath(QFileInfo(root.profile().privateRsyncPath).path());
        QFile::link(QStringLiteral(ZH_PRIVATE_RSYNC), root.profile().privateRsyncPath);
        FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
        appSide = std::make_unique<DBusNotificationCenter>(
            QDBusConnection::connectToBus(bus.address(), QStringLiteral("app")), [](uint) { return true; });
        appSide->addObserver(
            &application, Protocol::Progress, [this](const QString&, const QVariantMap& info) {
                const QVariant p = info.value(Protocol::KeyProgress);
                progress << (p.typeId() == QMetaType::QVariantMap ? QStringLiteral("file") : p.toString());
            });
    }
    void TearDown() override {
        if (daemon > 0)
            ChildProcess::terminate(daemon);
        appSide.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("app"));
        qunsetenv("ZH_TMUTIL_STATE");
    }

    // console: the user at the screen, or "@<file>" naming it in that file (see DaemonHost.cpp).
    void startDaemon(const QString& console = QString()) {
        daemon = ChildProcess::spawn({QStringLiteral(ZH_DAEMON_HOST), root.path(),
                                      console.isEmpty() ? user.name : console, bus.address()},
                                     root.path() + QStringLiteral("/host.log"),
                                     root.path() + QStringLiteral("/host.log"));
        ++starts;
        spinFor(300); // its bus connection and observers
    }
    // The supervisor: a daemon that ended is recorded and started again (when restart is set).
    bool daemonEnded() {
        int status = 0;
        if (daemon <= 0 || waitpid(daemon, &status, WNOHANG) != daemon)
            return false;
        exitStatuses << (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        daemon = -1;
        return true;
    }
    bool waitForExit(int timeoutMs = 15000) {
        return waitUntil([this] { return daemonEnded(); }, timeoutMs);
    }

    void writeDetails(const QVariantMap& changes) {
        QVariantMap details{{Protocol::UserName, account},
                            {Protocol::Password, password},
                            {Protocol::Ip, appliance.address()},
                            {Protocol::Login, QStringLiteral("1")},
                            {Protocol::PauseStateKey, QStringLiteral("0")},
                            {Protocol::LocalBackup, QStringLiteral("1")},
                            {Protocol::TimeMachineBackup, QStringLiteral("0")}};
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            details.insert(it.key(), it.value());
        ASSERT_TRUE(PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails),
                                                  details, PropertyList::OwnerOnlyMode));
    }
    void markInstalled() {
        FileTools::makePath(root.profile().systemSupportFolder);
        QFile(paths.pathForApplicationFile(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    }
    static void writeFile(const QString& path, const QByteArray& content) {
        FileTools::makePath(QFileInfo(path).path());
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(content);
    }
    QString onAppliance(const QString& localPath) const {
        return appliance.modulePath() + u'/' + account + u'/' + UtilityClass::machineName() + localPath;
    }
    QString trace() const {
        QFile f(paths.pathForApplicationFile(DaemonPath::DaemonTrace));
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
    QString hostLog() const {
        QFile f(root.path() + QStringLiteral("/host.log"));
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
};

} // namespace

TEST_F(EndToEndTest, InitialBackupSurvivesAKillAndLaterChangesFollow) {
    // Enough folders for several sets of five.
    QStringList documents;
    for (int folder = 0; folder < 30; ++folder)
        for (int file = 0; file < 5; ++file) {
            const QString path = home + QStringLiteral("/Folder %1/Document '%2'.txt").arg(folder).arg(file);
            writeFile(path, QByteArray(20000 + file, 'd'));
            documents << path;
        }
    writeDetails({});
    markInstalled();
    startDaemon();
    // Killed in the middle of the initial backup.
    ASSERT_TRUE(waitUntil([&] { return progress.contains(QStringLiteral("file")); }, 60000))
        << hostLog().toStdString();
    ASSERT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker)));
    ::kill(daemon, SIGKILL);
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 128 + SIGKILL);
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 120000))
        << hostLog().toStdString();
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const QString& d : documents)
                if (!QFile::exists(onAppliance(d)))
                    return false;
            return true;
        },
        60000));
    EXPECT_FALSE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker)));
    ASSERT_TRUE(waitUntil(
        [&] { return !QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker)); },
        30000));

    // A new file and a move reach the appliance.
    const QString created = home + QStringLiteral("/Folder 0/New $(x).txt");
    writeFile(created, "new");
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(created)); }, 30000))
        << hostLog().toStdString();
    QDir().mkpath(home + QStringLiteral("/Moved"));
    const QString moved = home + QStringLiteral("/Moved/Document.txt");
    ASSERT_TRUE(QFile::rename(documents.first(), moved));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(moved)); }, 30000));

    // The listing after the initial backup filled the local index.
    const QString accountFolder =
        paths.pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' + account;
    DataBaseWraper index{IndexThrottle(Timings::standard(), {})};
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto hits = index.Search(QStringLiteral("Document '3'"), accountFolder, account);
            return hits && hits->size() >= 30;
        },
        60000));
    EXPECT_EQ(exitStatuses.size(), 1); // only the kill
    EXPECT_FALSE(trace().contains(password));
}

TEST_F(EndToEndTest, RestartTriggersEndTheDaemonAndItComesBackRight) {
    writeFile(home + QStringLiteral("/Notes/a.txt"), "a");
    writeDetails({});
    markInstalled();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog().toStdString();

    // Local backup switched off.
    writeDetails({{Protocol::LocalBackup, QStringLiteral("0")}});
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 1);
    EXPECT_TRUE(
        trace().contains(QStringLiteral("checkForUserLogedIn local machine backup is 0 restarting deamon")));

    // Reinitialize: the account folder is emptied, the markers reset, and the restart rebuilds the set.
    writeDetails({});
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
    writeDetails({});
    markInstalled();
    const QString consoleFile = root.path() + QStringLiteral("/console-user");
    startDaemon(u'@' + consoleFile);
    spinFor(1500);
    EXPECT_FALSE(daemonEnded());
    EXPECT_FALSE(trace().contains(QStringLiteral("Watcher started")));

    // The log-in builds everything on the main thread: the initial backup runs, later changes follow.
    writeFile(consoleFile, user.name.toUtf8());
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog().toStdString();
    EXPECT_TRUE(QFile::exists(onAppliance(home + QStringLiteral("/Notes/a.txt"))));
    const QString later = home + QStringLiteral("/Notes/later.txt");
    writeFile(later, "later");
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(later)); }, 30000))
        << hostLog().toStdString();

    // The application logs in to another appliance account: a clean restart, not a crash, and the
    // new process serves that account.
    writeDetails({{Protocol::UserName, QStringLiteral("bob")}});
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 1) << hostLog().toStdString();
    EXPECT_TRUE(trace().contains(QStringLiteral("appliance account changed restarting deamon")));
    startDaemon(u'@' + consoleFile);
    ASSERT_TRUE(waitUntil([&] { return trace().count(QStringLiteral("Watcher started")) >= 2; }, 20000));

    // The log-out ends it.
    writeFile(consoleFile, "");
    ASSERT_TRUE(waitForExit());
    EXPECT_EQ(exitStatuses.last(), 1);
    EXPECT_TRUE(trace().contains(QStringLiteral("console user nil so quit deamon")));
}

TEST_F(EndToEndTest, FilesTheUserCannotReadStayOffTheAppliance) {
    if (::geteuid() != 0 || user.uid == 0)
        GTEST_SKIP() << "needs root and a fixture account other than root";
    const QString readable = home + QStringLiteral("/Notes/mine.txt");
    const QString secret = home + QStringLiteral("/Notes/root-only.txt");
    writeFile(readable, "mine");
    writeFile(secret, "root only");
    ASSERT_EQ(::chown(QFile::encodeName(secret).constData(), 0, 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
    writeDetails({});
    markInstalled();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(readable)); }, 60000))
        << hostLog().toStdString();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000));
    EXPECT_FALSE(QFile::exists(onAppliance(secret)));
    EXPECT_FALSE(daemonEnded());
}
