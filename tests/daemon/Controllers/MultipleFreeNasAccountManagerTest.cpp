#include "MultipleFreeNasAccountManager.h"

#include "DaemonTestServices.h"
#include "HostFacts.h"
#include "TimeMachineTool.h"

#include <sys/stat.h>

namespace {

// A machine whose first disk holds the volumes named, all internal.
class FakeHostFacts : public HostFacts {
  public:
    QStringList volumes;
    QString computerName() const override { return "Test Mac"; }
    QStringList diskVolumeNames() const override { return volumes; }
    bool fileSystemInfo(const QString& path, VolumeInfo& info) const override {
        info = VolumeInfo();
        info.writable = true;
        return QFileInfo(path).isDir();
    }
};

QSet<QString> toSet(const QStringList& list) {
    return QSet<QString>(list.cbegin(), list.cend());
}

class AccountManagerTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    QTemporaryDir toolState;
    int controllersBuilt = 0;
    QVariantMap lastDetails;
    QStringList results; // the "TimeMachineResult" answers
    QObject observer;

    void SetUp() override {
        FileTools::makePath(env.path(DaemonPath::UserSupportFolder));
        qputenv("ZH_TMUTIL_STATE", toolState.filePath("state.plist").toUtf8());
    }
    void TearDown() override { qunsetenv("ZH_TMUTIL_STATE"); }

    void observeResults() {
        ASSERT_TRUE(env.startBus());
        env.appSide->addObserver(
            &observer, "TimeMachineResult",
            [&](const QString&, const QVariantMap& info) { results << info["result"].toString(); });
    }
    std::unique_ptr<MultipleFreeNasAccountManager> manager(const QString& tool = QStringLiteral(ZH_TMUTIL)) {
        Timings t;
        t.accountPollInterval = 100ms;
        DaemonServices s = env.services(t);
        s.profile.snapshotToolPath = tool;
        auto m =
            std::make_unique<MultipleFreeNasAccountManager>(s, nullptr, [this](const QVariantMap& details) {
                ++controllersBuilt;
                lastDetails = details;
                return std::make_unique<QObject>();
            });
        m->initWithDetails(env.user.name);
        return m;
    }
    void writeDetails(const QVariantMap& values) {
        QVariantMap details{{"username", "ann"}, {"password", "pw with blank"}, {"ip", "127.0.0.9"}};
        details.insert(values);
        ASSERT_TRUE(PropertyList::writeDictionary(env.path(DaemonPath::UserDetails), details,
                                                  PropertyList::OwnerOnlyMode));
    }
    QVariantMap details() const { return PropertyList::readDictionary(env.path(DaemonPath::UserDetails)); }
};

} // namespace

TEST_F(AccountManagerTest, OnlyTheUsersOwnRecordWithLocalBackupOnStartsExactlyOneController) {
    ZH_SKIP_IF(needs::root("the boundary only exists for a daemon running as root, against another account"));
    const QString record = env.path(DaemonPath::UserDetails);
    // A FIFO as the record: the poll must neither block nor start anything.
    ASSERT_EQ(::mkfifo(QFile::encodeName(record).constData(), 0644), 0);
    auto m = manager();
    EXPECT_TRUE(env.trace().contains("Deamon restarted not due to application install"));
    spinFor(300);
    // A symlink to another account's record (here root's, which the user may not read).
    QFile::remove(record);
    const QString foreign = env.root.path() + "/foreign.plist";
    ASSERT_TRUE(PropertyList::writeDictionary(foreign, {{"username", "other"}, {"localBackup", "1"}},
                                              PropertyList::OwnerOnlyMode));
    ASSERT_TRUE(QFile::link(foreign, record));
    spinFor(300);
    // An account name that would leave its folder.
    QFile::remove(record);
    writeDetails({{"username", "../../etc"}, {"localBackup", "1"}});
    ASSERT_TRUE(waitUntil([&] { return env.trace().contains("\"../../etc\" in the user details refused"); }));
    EXPECT_EQ(controllersBuilt, 0);

    writeDetails({{"localBackup", "1"}});
    ASSERT_TRUE(waitUntil([&] { return controllersBuilt == 1; }, 3000)); // within a poll, without a restart
    spinFor(400);
    EXPECT_EQ(controllersBuilt, 1);
    EXPECT_EQ(lastDetails.value("ConsoleUser").toString(), env.user.name);
    writeDetails({{"localBackup", "maybe"}}); // neither "1" nor "0"
    spinFor(300);
    EXPECT_EQ(env.exits, 0);
}

TEST_F(AccountManagerTest, TimeMachineOnOffOnSetsUpAndRegistersOnceEachTime) {
    observeResults();
    writeDetails({{"timeMachineBackup", "1"}});
    auto m = manager();
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_EQ(results, QStringList{"1"});
    EXPECT_EQ(details().value("TMSharePath").toString(), "ann"); // first set-up: the user's share
    EXPECT_EQ(PropertyList::readStringArray(env.path(DaemonPath::TimeMachineExclude)),
              (QStringList{"/mnt/ZorvikHollin/ann", "/mnt/ZorvikHollin/ann/.autodiskmounted"}));
    // The password travels only to the tool, never into the trace.
    EXPECT_FALSE(env.trace().contains("pw with blank"));

    writeDetails({{"timeMachineBackup", "0"}, {"TMSharePath", "ann"}});
    ASSERT_TRUE(waitUntil([&] { return env.trace().contains("diabling time machine"); }, 3000));
    EXPECT_TRUE(m->timeMachineUsers().isEmpty());
    // Observers are gone: a "TimeMachine" request sets nothing up.
    env.appSide->postNotification("TimeMachine", {{"path", "/mnt/tm"}});
    spinFor(400);
    EXPECT_EQ(results.size(), 1);

    writeDetails({{"timeMachineBackup", "1"}, {"TMSharePath", "ann"}});
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }, 3000));
    // Registered once: one request, one answer.
    env.appSide->postNotification("TimeMachine", {{"path", "ann"}});
    ASSERT_TRUE(waitUntil([&] { return results.size() == 3; }));
    spinFor(400);
    EXPECT_EQ(results.size(), 3);
    // The details file stays the user's and owner-only.
    struct stat st {};
    ::stat(QFile::encodeName(env.path(DaemonPath::UserDetails)).constData(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, env.user.uid);
}

TEST_F(AccountManagerTest, DestinationErrorsAndMissingSharePathAnswerFailure) {
    observeResults();
    // A tool that accepts everything but complains on standard error.
    const QString tool = toolState.filePath("tmutil");
    ASSERT_TRUE(FileTools::writeAtomically(
        tool, "#!/bin/sh\n[ \"$1\" = setdestination ] && echo 'share refused' >&2\nexit 0\n", 0700));
    writeDetails({});
    auto m = manager(tool);
    m->CompleteEnableTimeMachine("/mnt/pool/tm");
    m->CompleteEnableTimeMachine(QString()); // nothing stored, nothing given
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }));
    EXPECT_EQ(results, (QStringList{"0", "0"}));
    EXPECT_FALSE(details().contains("TMSharePath"));
    EXPECT_TRUE(env.trace().contains("Time machine set destination error :share refused"));

    // Pause switches Time Machine off; resume sets it up again with the stored share, which a refused
    // set-up leaves in place.
    writeDetails({{"EnableTimeMachine", "0"}, {"TMSharePath", "/mnt/tm"}});
    m->TimeMachineReceivePauseNotification();
    EXPECT_TRUE(env.trace().contains("Pause time machine called"));
    EXPECT_TRUE(env.trace().contains("DisableTimeMachine status:0"));
    writeDetails({{"EnableTimeMachine", "1"}, {"TMSharePath", "/mnt/tm"}});
    m->TimeMachineReceivePauseNotification();
    EXPECT_TRUE(env.trace().contains("resume time machine called"));
    ASSERT_TRUE(waitUntil([&] { return results.size() == 3; }));
    EXPECT_EQ(results.last(), "0");
    EXPECT_EQ(details().value("TMSharePath").toString(), "/mnt/tm");
    EXPECT_EQ(env.exits, 0);
    // The destination, with or without a leading slash on the share, and never with the password.
    const QString url = TimeMachineTool::destinationUrl("ann", "10.0.0.2", "/mnt/pool/tm");
    EXPECT_EQ(url, "afp://ann@10.0.0.2/mnt/pool/tm");
    EXPECT_EQ(url, TimeMachineTool::destinationUrl("ann", "10.0.0.2", "mnt/pool/tm"));
    EXPECT_EQ(TimeMachineTool::mountPointOf(url, PlatformProfile::forMacOS().shareMountFolder),
              "/Volumes/tm");
    // Nothing of the Mac on Linux: the share is mounted in a folder of ours.
    EXPECT_EQ(TimeMachineTool::mountPointOf(url, PlatformProfile::forLinux().shareMountFolder),
              "/mnt/ZorvikHollin/tm");
}

TEST_F(AccountManagerTest, ThePasswordNeverStandsOnTheToolsCommandLine) {
    // Every local user reads a process's arguments (ps, /proc/<pid>/cmdline): a tool that records
    // them, and what came on its standard input, before it hands over to the real stand-in.
    observeResults();
    const QString tool = toolState.filePath("tmutil");
    const QString seen = toolState.filePath("seen");
    ASSERT_TRUE(FileTools::writeAtomically(
        tool,
        QStringLiteral(
            "#!/bin/sh\ntr '\\0' ' ' </proc/$$/cmdline >>'%1'; echo >>'%1'\n"
            "if [ \"$2\" = -p ]; then tee -a '%1.in' | exec '%2' \"$@\"; else exec '%2' \"$@\"; fi\n")
            .arg(seen, QStringLiteral(ZH_TMUTIL))
            .toUtf8(),
        0700));
    writeDetails({{"timeMachineBackup", "1"}});
    auto m = manager(tool);
    ASSERT_TRUE(waitUntil([&] { return results.size() == 1; }));
    EXPECT_EQ(results, QStringList{"1"});
    EXPECT_TRUE(readTrace(seen).contains("setdestination -p afp://ann@")) << readTrace(seen).toStdString();
    EXPECT_FALSE(readTrace(seen).contains("pw with blank")) << readTrace(seen).toStdString();
    EXPECT_TRUE(readTrace(seen + ".in").contains("pw with blank")) << "the tool got it on its input";
}

TEST_F(AccountManagerTest, AfterAnInstallTheInitialRootsAndDefaultExclusionsAreWritten) {
    const QString l = env.root.path();
    for (const char* folder : {"/home/ann/.cache", "/home/ann/Documents", "/srv/data", "/usr/lib", "/etc",
                               "/Projects", "/lost+found", "/mnt/disk2"})
        QDir().mkpath(l + QLatin1String(folder));
    FakeHostFacts facts;
    facts.volumes = {QStringLiteral("/mnt/disk2 ")};
    DaemonServices s = env.services();
    s.hostFacts = &facts;
    QDir().mkpath(env.root.profile().systemSupportFolder);
    QFile(env.path(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    MultipleFreeNasAccountManager(s, nullptr, {}).initWithDetails(env.user.name);
    const QStringList list = PropertyList::readStringArray(env.path(DaemonPath::InitialExcludeList));
    const QSet<QString> excluded = toSet(list);
    EXPECT_EQ(excluded.size(), list.size());
    EXPECT_TRUE(excluded.contains(l + "/home/ann/.cache"));
    EXPECT_TRUE(excluded.contains(l + "/usr"));
    EXPECT_FALSE(excluded.contains(l + "/home/ann/Documents"));
    // The top folder of the test account's home is a root too, unless the profile takes it anyway.
    QSet<QString> roots = toSet({l + "/home", l + "/Projects", l + "/mnt/disk2"});
    const QString top = env.user.passwdHome.section(u'/', 1, 1);
    if (std::none_of(s.profile.initialSetRootPrefixes.begin(), s.profile.initialSetRootPrefixes.end(),
                     [&](const QString& prefix) { return top.startsWith(prefix); }))
        roots.insert(l + u'/' + top);
    EXPECT_EQ(toSet(PropertyList::readStringArray(env.path(DaemonPath::InitialBackupList))), roots);
    // The marker is left for the per-user controller.
    EXPECT_TRUE(QFile::exists(env.path(DaemonPath::InstalMarker)));
}
