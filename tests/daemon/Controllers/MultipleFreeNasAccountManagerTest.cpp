#include "MultipleFreeNasAccountManager.h"

#include "BackupfileController.h"
#include "DaemonTestServices.h"
#include "ExcludeManager.h"
#include "FileTools.h"
#include "HostFacts.h"
#include "PropertyList.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {

// A machine whose first disk holds the volumes named, all internal.
class FakeHostFacts : public HostFacts {
  public:
    QStringList volumes;
    QString computerName() const override { return QStringLiteral("Test Mac"); }
    QStringList diskVolumeNames() const override { return volumes; }
    bool fileSystemInfo(const QString& path, VolumeInfo& info) const override {
        info = VolumeInfo();
        info.writable = true;
        info.removable = path.endsWith(QLatin1String("Stick"));
        return QFileInfo(path).isDir();
    }
};

QSet<QString> toSet(const QStringList& list) {
    return QSet<QString>(list.cbegin(), list.cend());
}

// The top folder of the test account's home under root is a root entry too, unless the profile never
// takes it (a run without root uses the running account, whose home may lie anywhere).
QSet<QString> withHomeTop(QSet<QString> roots, const TempRoot& root, const FixtureUser& user) {
    const QString top = user.passwdHome.section(u'/', 1, 1);
    for (const QString& prefix : root.profile().initialSetRootPrefixes)
        if (top.startsWith(prefix))
            return roots;
    roots.insert(root.path() + u'/' + top);
    return roots;
}

void mkdirs(const QString& root, const QStringList& relative) {
    for (const QString& r : relative)
        QDir().mkpath(root + r);
}

class AccountManagerTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    FilePathsController paths{FilePathsController::Table::Daemon, env.root.profile()};
    QTemporaryDir toolState;
    int controllersBuilt = 0;
    QVariantMap lastDetails;

    void SetUp() override {
        paths.setM_ConsoleUserName(env.user.name);
        FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
        qputenv("ZH_TMUTIL_STATE", toolState.filePath(QStringLiteral("state.plist")).toUtf8());
    }
    void TearDown() override { qunsetenv("ZH_TMUTIL_STATE"); }

    DaemonServices services(const QString& tool = QStringLiteral(ZH_TMUTIL)) {
        DaemonServices s = env.services(fastPoll());
        s.profile.snapshotToolPath = tool;
        return s;
    }
    static Timings fastPoll() {
        Timings t;
        t.accountPollInterval = 100ms;
        return t;
    }
    std::unique_ptr<MultipleFreeNasAccountManager> manager(ExcludeManager* rules = nullptr,
                                                           const QString& tool = QStringLiteral(ZH_TMUTIL)) {
        return std::make_unique<MultipleFreeNasAccountManager>(services(tool), rules,
                                                               [this](const QVariantMap& details) {
                                                                   ++controllersBuilt;
                                                                   lastDetails = details;
                                                                   return std::make_unique<QObject>();
                                                               });
    }
    void writeDetails(const QVariantMap& values) {
        QVariantMap details{{QStringLiteral("username"), QStringLiteral("ann")},
                            {QStringLiteral("password"), QStringLiteral("pw with blank")},
                            {QStringLiteral("ip"), QStringLiteral("127.0.0.9")}};
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            details.insert(it.key(), it.value());
        ASSERT_TRUE(PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails),
                                                  details, PropertyList::OwnerOnlyMode));
    }
    QVariantMap details() const {
        return PropertyList::readDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails));
    }
};

} // namespace

TEST_F(AccountManagerTest, LocalBackupStartsExactlyOneControllerAndItsSwitchOffRestarts) {
    writeDetails({{QStringLiteral("localBackup"), QStringLiteral("0")}});
    auto m = manager();
    m->initWithDetails(env.user.name);
    EXPECT_EQ(controllersBuilt, 0);
    EXPECT_TRUE(env.trace().contains(QStringLiteral("Deamon restarted not due to application install")));
    writeDetails({{QStringLiteral("localBackup"), QStringLiteral("1")}});
    ASSERT_TRUE(waitUntil([&] { return controllersBuilt == 1; }, 3000)); // within a poll, without a restart
    spinFor(400);
    EXPECT_EQ(controllersBuilt, 1);
    EXPECT_EQ(lastDetails.value(QStringLiteral("ConsoleUser")).toString(), env.user.name);
    EXPECT_EQ(env.exits, 0);
    writeDetails({{QStringLiteral("localBackup"), QStringLiteral("maybe")}}); // neither "1" nor "0"
    spinFor(300);
    EXPECT_EQ(env.exits, 0);
    writeDetails({{QStringLiteral("localBackup"), QStringLiteral("0")}});
    ASSERT_TRUE(waitUntil([&] { return env.exits > 0; }, 3000));
    EXPECT_EQ(env.exitStatus, 1);
    EXPECT_TRUE(env.trace().contains(
        QStringLiteral("checkForUserLogedIn local machine backup is 0 restarting deamon")));
}

TEST_F(AccountManagerTest, TimeMachineOnOffOnSetsUpAndRegistersOnceEachTime) {
    ASSERT_TRUE(env.startBus());
    QStringList results;
    QObject observer;
    env.appSide->addObserver(
        &observer, QStringLiteral("TimeMachineResult"),
        [&](const QString&, const QVariantMap& info) { results << info.value("result").toString(); });
    writeDetails({{QStringLiteral("timeMachineBackup"), QStringLiteral("1")}});
    auto m = manager();
    m->initWithDetails(env.user.name);
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_EQ(results, QStringList{"1"});
    EXPECT_EQ(details().value(QStringLiteral("TMSharePath")).toString(),
              "ann"); // first set-up: the user's share
    EXPECT_EQ(PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::TimeMachineExclude)),
              (QStringList{"/Volumes/ann", "/Volumes/ann/.autodiskmounted"}));
    // The password travels only to the tool, never into the trace.
    EXPECT_FALSE(env.trace().contains(QStringLiteral("pw with blank")));

    writeDetails(
        {{QStringLiteral("timeMachineBackup"), QStringLiteral("0")}, {QStringLiteral("TMSharePath"), "ann"}});
    ASSERT_TRUE(
        waitUntil([&] { return env.trace().contains(QStringLiteral("diabling time machine")); }, 3000));
    EXPECT_TRUE(m->timeMachineUsers().isEmpty());
    // Observers are gone: a "TimeMachine" request sets nothing up.
    env.appSide->postNotification(QStringLiteral("TimeMachine"),
                                  {{QStringLiteral("path"), QStringLiteral("/mnt/tm")}});
    spinFor(400);
    EXPECT_EQ(results.size(), 1);

    writeDetails(
        {{QStringLiteral("timeMachineBackup"), QStringLiteral("1")}, {QStringLiteral("TMSharePath"), "ann"}});
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }, 3000));
    // Registered once: one request, one answer.
    env.appSide->postNotification(QStringLiteral("TimeMachine"),
                                  {{QStringLiteral("path"), QStringLiteral("ann")}});
    ASSERT_TRUE(waitUntil([&] { return results.size() == 3; }));
    spinFor(400);
    EXPECT_EQ(results.size(), 3);
    // The details file stays the user's and owner-only.
    struct stat st {};
    ::stat(QFile::encodeName(paths.pathForApplicationFile(DaemonPath::UserDetails)).constData(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, env.user.uid);
}

TEST_F(AccountManagerTest, DestinationErrorsAndMissingSharePathAnswerFailure) {
    ASSERT_TRUE(env.startBus());
    QStringList results;
    QObject observer;
    env.appSide->addObserver(
        &observer, QStringLiteral("TimeMachineResult"),
        [&](const QString&, const QVariantMap& info) { results << info.value("result").toString(); });
    // A tool that accepts everything but complains on standard error.
    QTemporaryDir dir;
    const QString tool = dir.filePath(QStringLiteral("tmutil"));
    QFile script(tool);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n[ \"$1\" = setdestination ] && echo 'share refused' >&2\nexit 0\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeDetails({});
    auto m = manager(nullptr, tool);
    m->initWithDetails(env.user.name);
    m->CompleteEnableTimeMachine(QStringLiteral("/mnt/pool/tm"));
    m->CompleteEnableTimeMachine(QString()); // nothing stored, nothing given
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }));
    EXPECT_EQ(results, (QStringList{"0", "0"}));
    EXPECT_FALSE(details().contains(QStringLiteral("TMSharePath")));
    EXPECT_TRUE(env.trace().contains(QStringLiteral("Time machine set destination error :share refused")));
    EXPECT_EQ(env.exits, 0);
}

TEST(TimeMachineDestination, LeadingSlashMakesNoDifference) {
    const QString a = MultipleFreeNasAccountManager::destinationUrl("ann", "p", "10.0.0.2", "/mnt/pool/tm");
    const QString b = MultipleFreeNasAccountManager::destinationUrl("ann", "p", "10.0.0.2", "mnt/pool/tm");
    EXPECT_EQ(a, "afp://ann:p@10.0.0.2/mnt/pool/tm");
    EXPECT_EQ(a, b);
    EXPECT_EQ(MultipleFreeNasAccountManager::mountPointOf(a), "/Volumes/tm");
}

TEST_F(AccountManagerTest, PauseDisablesAndResumeSetsUpWithTheStoredPath) {
    writeDetails({{QStringLiteral("EnableTimeMachine"), QStringLiteral("0")},
                  {QStringLiteral("TMSharePath"), "/mnt/tm"}});
    auto m = manager();
    m->initWithDetails(env.user.name);
    m->TimeMachineReceivePauseNotification();
    EXPECT_TRUE(env.trace().contains(QStringLiteral("Pause time machine called")));
    EXPECT_TRUE(env.trace().contains(QStringLiteral("DisableTimeMachine status:0")));
    writeDetails({{QStringLiteral("EnableTimeMachine"), QStringLiteral("1")},
                  {QStringLiteral("TMSharePath"), "/mnt/tm"}});
    m->TimeMachineReceivePauseNotification();
    EXPECT_TRUE(env.trace().contains(QStringLiteral("resume time machine called")));
    EXPECT_EQ(details().value(QStringLiteral("TMSharePath")).toString(), "/mnt/tm");
}

TEST_F(AccountManagerTest, MacShapedRootGivesTheInitialRootsAndDefaultExclusions) {
    TempRoot mac(PlatformProfile::Kind::MacOS);
    const QString r = mac.path();
    mkdirs(r, {"/Users/home1/Library", "/Users/home1/Documents", "/Users/Shared", "/Users/.localized",
               "/Applications", "/Library", "/System", "/bin", "/binaries", "/private", "/Data", "/.hidden",
               "/Volumes/Macintosh HD/Users/x/Library", "/Volumes/Macintosh HD/Applications",
               "/Volumes/Stick", "/Volumes/Elsewhere"});
    FakeHostFacts facts;
    facts.volumes = {QString(), QStringLiteral("Macintosh HD "), QStringLiteral("Stick "), QString()};
    DaemonServices s = env.services();
    s.profile = mac.profile();
    s.hostFacts = &facts;
    FilePathsController macPaths(FilePathsController::Table::Daemon, mac.profile());
    macPaths.setM_ConsoleUserName(env.user.name);
    mac.createHome(env.user);
    QDir().mkpath(mac.profile().systemSupportFolder);
    QFile(macPaths.pathForApplicationFile(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    MultipleFreeNasAccountManager m(s, nullptr, {});
    m.initWithDetails(env.user.name);

    const QStringList roots =
        PropertyList::readStringArray(macPaths.pathForApplicationFile(DaemonPath::InitialBackupList));
    EXPECT_EQ(toSet(roots),
              withHomeTop(toSet({r + "/Volumes/Macintosh HD", r + "/Users", r + "/Data"}), mac, env.user));
    const QStringList excluded =
        PropertyList::readStringArray(macPaths.pathForApplicationFile(DaemonPath::InitialExcludeList));
    const QSet<QString> set = toSet(excluded);
    EXPECT_EQ(set.size(), excluded.size());
    for (const QString& p :
         {r + "/Users/home1/Library", r + "/Volumes/Macintosh HD/Applications",
          r + "/Volumes/Macintosh HD/Users/x/Library", r + "/Library", r + "/private", r + "/usr"})
        EXPECT_TRUE(set.contains(p)) << p.toStdString();
    EXPECT_FALSE(set.contains(r + "/Users/Shared"));
    QFile trace(mac.profile().systemSupportFolder + QStringLiteral("/LogsFolder/DaemonTrace.txt"));
    ASSERT_TRUE(trace.open(QIODevice::ReadOnly));
    EXPECT_TRUE(trace.readAll().contains("Deamon restarted  due to application install/ Reinitialize"));
    // The marker is left for the per-user controller.
    EXPECT_TRUE(QFile::exists(macPaths.pathForApplicationFile(DaemonPath::InstalMarker)));
}

TEST_F(AccountManagerTest, LinuxRootGivesHomesAndExcludesCaches) {
    const QString r = env.root.path();
    mkdirs(r, {"/home/ann/.cache", "/home/ann/Documents", "/srv/data", "/usr/lib", "/etc", "/Projects",
               "/lost+found", "/mnt/disk2"});
    FakeHostFacts facts;
    facts.volumes = {QStringLiteral("/mnt/disk2 ")};
    DaemonServices s = env.services();
    s.hostFacts = &facts;
    QDir().mkpath(env.root.profile().systemSupportFolder);
    QFile(paths.pathForApplicationFile(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    MultipleFreeNasAccountManager m(s, nullptr, {});
    m.initWithDetails(env.user.name);
    const QStringList roots =
        PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList));
    EXPECT_EQ(toSet(roots),
              withHomeTop(toSet({r + "/home", r + "/Projects", r + "/mnt/disk2"}), env.root, env.user));
    const QSet<QString> excluded =
        toSet(PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::InitialExcludeList)));
    EXPECT_TRUE(excluded.contains(r + "/home/ann/.cache"));
    EXPECT_TRUE(excluded.contains(r + "/usr"));
    EXPECT_FALSE(excluded.contains(r + "/home/ann/Documents"));
}

TEST_F(AccountManagerTest, RecordsThatAreNotTheUsersOwnStartNothing) {
    if (geteuid() != 0 || env.user.uid == 0)
        GTEST_SKIP() << "the boundary only exists for a daemon running as root, against another account";
    const QString record = paths.pathForApplicationFile(DaemonPath::UserDetails);
    // A FIFO as the record: the poll must neither block nor start anything.
    ASSERT_EQ(::mkfifo(QFile::encodeName(record).constData(), 0644), 0);
    auto m = manager();
    m->initWithDetails(env.user.name);
    spinFor(300);
    EXPECT_EQ(controllersBuilt, 0);

    // A symlink to another account's record (here root's, which the user may not read).
    QFile::remove(record);
    const QString foreign = env.root.path() + QStringLiteral("/foreign.plist");
    ASSERT_TRUE(PropertyList::writeDictionary(foreign,
                                              {{QStringLiteral("username"), QStringLiteral("other")},
                                               {QStringLiteral("localBackup"), QStringLiteral("1")}},
                                              PropertyList::OwnerOnlyMode));
    ASSERT_TRUE(QFile::link(foreign, record));
    spinFor(300);
    EXPECT_EQ(controllersBuilt, 0);

    // An account name that would leave its folder.
    QFile::remove(record);
    writeDetails({{QStringLiteral("username"), QStringLiteral("../../etc")},
                  {QStringLiteral("localBackup"), QStringLiteral("1")}});
    ASSERT_TRUE(waitUntil(
        [&] { return env.trace().contains(QStringLiteral("\"../../etc\" in the user details refused")); }));
    EXPECT_EQ(controllersBuilt, 0);
    EXPECT_EQ(env.exits, 0);
}
