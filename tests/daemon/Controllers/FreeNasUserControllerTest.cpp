#include "FreeNasUserController.h"

#include "BackupfileController.h"
#include "DaemonTestServices.h"
#include "ExcludeManager.h"
#include "ReadController.h"

// A controller over a profile with its own collector and exclusion rules (and, when asked, its own
// backup controller).
struct RunningController {
    std::unique_ptr<BackupfileController> collector;
    std::unique_ptr<ExcludeManager> excludes;
    std::unique_ptr<ReadController> backups;
    std::unique_ptr<FreeNasUserController> controller;

    RunningController(DaemonServices s, const QString& user, bool withBackups = false) {
        collector = std::make_unique<BackupfileController>(s, user);
        excludes = std::make_unique<ExcludeManager>(s, collector.get());
        FreeNasUserController::Parts parts;
        parts.collector = collector.get();
        parts.excludeManager = excludes.get();
        if (withBackups) {
            backups = std::make_unique<ReadController>(s, excludes.get());
            parts.backupController = backups.get();
        }
        controller = std::make_unique<FreeNasUserController>(s, std::move(parts));
        controller->initWithDetails({{QStringLiteral("ConsoleUser"), user}});
    }
};

TEST(FreeNasUserControllerTest, AnnouncesItselfAndBuildsTheInitialSetOnlyAfterAnInstall) {
    DaemonTestServices env;
    ASSERT_TRUE(env.startBus());
    int initialPosts = 0;
    QStringList announced;
    QObject observer;
    env.local.addObserver(&observer, QStringLiteral("Initialbackup"),
                          [&](const QString&, const QVariantMap&) { ++initialPosts; });
    env.appSide->addObserver(&observer, QStringLiteral("ZorvikHollinWatcherStarted"),
                             [&](const QString& name, const QVariantMap&) { announced << name; });
    // Without the install marker the initial set is neither rebuilt nor queued.
    QDir().mkpath(QFileInfo(env.path(DaemonPath::InitialBackupList)).path());
    const QString initialList = env.path(DaemonPath::InitialBackupList);
    PropertyList::writeStringArray(initialList, {env.root.path() + "/home"}, PropertyList::PublicMode);
    {
        RunningController r(env.services(), env.user.name);
        ASSERT_TRUE(waitUntil([&] { return !announced.isEmpty(); }));
        const QString trace = env.trace();
        EXPECT_LT(trace.indexOf("removeOldrsyncExes called"), trace.indexOf("Watcher started"));
        EXPECT_TRUE(trace.contains("FreeNasUserController:Deamon restarted not due to application install"));
        EXPECT_EQ(initialPosts, 0);
        EXPECT_EQ(PropertyList::readStringArray(initialList), QStringList{env.root.path() + "/home"});
    }

    // After an install, over a Mac-shaped root: homes and the shared folder, also on other volumes,
    // but nothing hidden, excluded or named "Password.txt".
    TempRoot mac(PlatformProfile::Kind::MacOS);
    const QString r = mac.path();
    for (const char* p : {"/Users/home1/Documents", "/Users/home1/Library", "/Users/Shared/x",
                          "/Users/.localized", "/Data/a", "/Data/.secret", "/Data/Password.txt",
                          "/Volumes/Disk2/Users/bob/Music", "/Volumes/Disk2/Users/bob/Library"})
        QDir().mkpath(r + QLatin1String(p));
    mac.createHome(env.user);
    FilePathsController paths(FilePathsController::Table::Daemon, mac.profile());
    paths.setM_ConsoleUserName(env.user.name);
    const QString macList = paths.pathForApplicationFile(DaemonPath::InitialBackupList);
    QDir().mkpath(QFileInfo(macList).path());
    // The machine root itself (as "/" would be), a volume and a plain folder.
    PropertyList::writeStringArray(macList, {r, r + "/Data", r + "/Volumes/Disk2"}, PropertyList::PublicMode);
    FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
    PropertyList::writeStringArray(paths.pathForApplicationFile(DaemonPath::InitialExcludeList),
                                   {r + "/Data/a"}, PropertyList::PublicMode);
    QFile(paths.pathForApplicationFile(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    // The collector's flush and the backup passes far off: the initial set is queued at once anyway.
    Timings later;
    later.changeFlushInterval = later.backupPassInterval = std::chrono::hours(1);
    DaemonServices s = env.services(later);
    s.profile = mac.profile();
    RunningController running(s, env.user.name);
    EXPECT_FALSE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InstalMarker)));
    const QStringList list = PropertyList::readStringArray(macList);
    const QSet<QString> set(list.begin(), list.end());
    for (const char* p : {"/Users/home1", "/Users/Shared", "/Volumes/Disk2/Users/bob/Music"})
        EXPECT_TRUE(set.contains(r + QLatin1String(p))) << p;
    for (const char* p : {"/Users/.localized", "/Data/a", "/Data/.secret", "/Data/Password.txt",
                          "/Volumes/Disk2/Users/bob/Library"})
        EXPECT_FALSE(set.contains(r + QLatin1String(p))) << p;
    EXPECT_EQ(initialPosts, 1);
    // The collector took the set with its marker and wrote it to a list at once, not at its next
    // flush.
    EXPECT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker)));
    EXPECT_EQ(running.collector->pendingCount(), 0);
    QStringList queued;
    const QString lists = paths.pathForApplicationFile(DaemonPath::BackupListsFolder);
    for (const QString& name : QDir(lists).entryList(QDir::Files))
        queued << readTrace(lists + u'/' + name).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(QSet<QString>(queued.begin(), queued.end()), set);
}

TEST(FreeNasUserControllerTest, TheInitialBackupStartsAtOnceNotAtTheNextFlushAndPass) {
    DaemonTestServices env;
    ASSERT_TRUE(env.startBus());
    QDir().mkpath(env.home() + "/Documents");
    QDir().mkpath(QFileInfo(env.path(DaemonPath::InitialBackupList)).path());
    PropertyList::writeStringArray(env.path(DaemonPath::InitialBackupList), {env.root.path() + "/home"},
                                   PropertyList::PublicMode);
    FileTools::makePath(env.path(DaemonPath::UserSupportFolder));
    PropertyList::writeDictionary(env.path(DaemonPath::UserDetails),
                                  {{Protocol::UserName, "alice"},
                                   {Protocol::Password, "pw"},
                                   {Protocol::Ip, "127.0.0.1"},
                                   {Protocol::LocalBackup, "1"}},
                                  PropertyList::OwnerOnlyMode);
    QFile(env.path(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    Timings later;
    later.changeFlushInterval = later.backupPassInterval = std::chrono::hours(1);
    RunningController running(env.services(later), env.user.name, true);
    // The run began before any timer could fire (without a private rsync in place it then fails and
    // keeps its paths, which is not the point here).
    const QString trace = env.trace();
    EXPECT_TRUE(trace.contains("Initial Backup started")) << trace.toStdString();
    EXPECT_GT(trace.indexOf("ExecuteBackup Called"), trace.indexOf("EnumurateInitialBackupSet End"));
    EXPECT_FALSE(QFile::exists(env.path(DaemonPath::InitialSetReadyMarker)));
    spinFor(200);
    // Without an install (or an unfinished initial backup) nothing starts before the pass.
    DaemonTestServices quiet;
    ASSERT_TRUE(quiet.startBus());
    RunningController idle(quiet.services(later), quiet.user.name, true);
    EXPECT_FALSE(quiet.trace().contains("ExecuteBackup Called"));
}

TEST(FreeNasUserControllerTest, TheInitialSetHoldsOnlyWhatIsThePersonsAndWhatTheyMayRead) {
    ZH_SKIP_IF(needs::root("to build the set with the person's rights"));
    DaemonTestServices env;
    ZH_SKIP_IF(env.user.uid == 0 ? QStringLiteral("needs a fixture account other than root") : QString());
    // The person's home, another account's home, a shared folder they may read, one they may not.
    const QString r = env.root.path();
    for (const QString& p : {env.home() + "/Documents/a.txt", r + "/home/otheruser/Private/diary.txt",
                             r + "/data/Team/plan.txt", r + "/vault/Secret/key.txt"}) {
        QDir().mkpath(QFileInfo(p).path());
        QFile(p).open(QIODevice::WriteOnly);
    }
    constexpr uid_t Nobody = 65534;
    const FixtureUser other{QStringLiteral("nobody"), Nobody, Nobody, {}};
    ASSERT_TRUE(other.handOver(r + "/home/otheruser"));
    ASSERT_TRUE(env.user.handOver(env.home()));
    ::chmod(QFile::encodeName(r + "/vault").constData(), 0700);
    QDir().mkpath(QFileInfo(env.path(DaemonPath::InitialBackupList)).path());
    const QString list = env.path(DaemonPath::InitialBackupList);
    PropertyList::writeStringArray(list, {r + "/home", r + "/data", r + "/vault"},
                                   PropertyList::OwnerOnlyMode);
    QFile(env.path(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    RunningController running(env.services(), env.user.name);
    QStringList set = PropertyList::readStringArray(list);
    set.sort();
    // The home's hidden entries too (".local", where the person's support folder lies; rsync leaves
    // the product's own state out of it).
    EXPECT_EQ(set, (QStringList{r + "/data/Team", env.home() + "/.local", env.home() + "/Documents"}));
}
