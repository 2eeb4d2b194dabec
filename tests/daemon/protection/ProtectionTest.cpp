// What is not yet safe, what the watch covers and the sleep delay, each with the daemon's own parts
// over a temporary root: the collector, the watcher over a stream the test drives, the backup
// controller with a stand-in for rsync, and logind played on a private bus.
#include "BackupRunSupport.h"
#include "BackupfileController.h"
#include "FSEventWatcher.h"
#include "FakeLogind.h"
#include "LogindSleepInhibitor.h"
#include "PendingChanges.h"
#include "ProtectionMonitor.h"
#include "RestoreVerifier.h"
#include "SleepGuard.h"
#include "WatchCoverage.h"

#include <QTimeZone>

#include <sys/stat.h>

#include <atomic>
#include <thread>

namespace PS = Protocol::PendingState;
using F = FileSystemEventStream;

namespace {

QDateTime modified(const QString& file) {
    return QFileInfo(file).lastModified().toUTC();
}

// A stream the test drives: it hands batches and reports to the watcher when told.
class DrivenStream : public FileSystemEventStream {
  public:
    bool refuse = false;
    Coverage covers;
    BatchHandler onBatch;
    ReportHandler onReport;

    bool start(BatchHandler batch, ReportHandler report) override {
        if (refuse)
            return false;
        onBatch = std::move(batch);
        onReport = std::move(report);
        mRunning = true;
        return true;
    }
    void stop() override { mRunning = false; }
    bool isRunning() const override { return mRunning; }
    QString lastError() const override { return refuse ? QStringLiteral("refused for the test") : QString(); }
    QString backendName() const override { return QStringLiteral("fanotify"); }
    Coverage coverage() const override { return mRunning ? covers : Coverage{}; }

  private:
    bool mRunning = false;
};

class PendingStateTest : public RequiringTest {
  protected:
    QString requirements() override { return needs::tool("dbus-daemon", "dbus-daemon"); }
    void prepare() override {
        ASSERT_TRUE(env.startBus());
        QDir().mkpath(env.path(DaemonPath::BackupListsFolder));
        env.appSide->addObserver(&app, Protocol::PendingStateChanged,
                                 [this](const QString&, const QVariantMap&) { ++posts; });
    }
    QVariantMap stateFile() const {
        return PropertyList::readDictionary(env.path(DaemonPath::UserSupportFolder) + u'/' +
                                            Protocol::PendingStateFile);
    }

    DaemonTestServices env;
    QObject app;
    int posts = 0;
};

} // namespace

// Every carrier counts, each with the time its oldest change was queued: the collector by the clock,
// its lists by the time they carry, "remainingFiles" as owed. Lists being written, already taken or
// hidden do not count.
TEST_F(PendingStateTest, EveryCarrierCountsWithTheTimeOfItsOldestChange) {
    BackupfileController collector(env.services(), env.user.name);
    PendingChanges pending(env.path(DaemonPath::BackupListsFolder), &collector, nullptr);
    EXPECT_EQ(pending.measure(), PendingChanges::Snapshot());

    const QDateTime before = QDateTime::currentDateTimeUtc();
    collector.addBackupFiles(env.home() + "/a.txt");
    collector.addBackupFiles(env.home() + "/b.txt");
    collector.addBackupFiles(env.home() + "/a.txt");
    PendingChanges::Snapshot s = pending.measure();
    EXPECT_EQ(s.collected, 2);
    EXPECT_EQ(s.total(), 2);
    ASSERT_TRUE(s.oldest.isValid());
    EXPECT_GE(s.oldest, before.addMSecs(-1));
    const QDateTime firstAdded = s.oldest;

    // The flush writes a list that keeps the time of its oldest change.
    spinFor(50);
    collector.timerFireMethod();
    const QStringList lists = QDir(env.path(DaemonPath::BackupListsFolder)).entryList(QDir::Files);
    ASSERT_EQ(lists.size(), 1);
    EXPECT_EQ(modified(env.path(DaemonPath::BackupListsFolder) + u'/' + lists.first()), firstAdded);
    s = pending.measure();
    EXPECT_EQ(s.collected, 0);
    EXPECT_EQ(s.listed, 2);
    EXPECT_EQ(s.oldest, firstAdded);

    // What a failed run owes, older than everything else; and what never counts.
    const QString folder = env.path(DaemonPath::BackupListsFolder);
    const QDateTime hourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600);
    FileTools::writeAtomically(folder + "/remainingFiles", "/x/1\n/x/2\n\n/x/3", 0600);
    FileTools::setModificationTime(folder + "/remainingFiles", hourAgo.toMSecsSinceEpoch());
    FileTools::writeAtomically(folder + "/2024-01-01 10-00-00-000_1.progress", "/p/1\n/p/2", 0600);
    FileTools::writeAtomically(folder + "/2024-01-01 10-00-00-000_1.delete", "/d/1", 0600);
    FileTools::writeAtomically(folder + "/.2024-01-01 10-00-00-000_2.Xa1b2c", "/h/1", 0600);
    collector.addBackupFiles(env.home() + "/c.txt");
    s = pending.measure();
    EXPECT_EQ(s.collected, 1);
    EXPECT_EQ(s.listed, 2);
    EXPECT_EQ(s.owed, 3);
    EXPECT_EQ(s.total(), 6);
    EXPECT_EQ(s.oldest, QDateTime::fromMSecsSinceEpoch(hourAgo.toMSecsSinceEpoch(), QTimeZone::utc()));
    EXPECT_GE(s.newest, firstAdded);

    // A list that grows is counted again.
    FileTools::writeAtomically(folder + "/remainingFiles", "/x/1\n/x/2\n/x/3\n/x/4", 0600);
    EXPECT_EQ(pending.measure().owed, 4);
}

// A flush takes the paths out of memory before their lists are in place: meanwhile they still wait.
// Measured then, they were in neither, and the state said nothing waits while nothing had been sent.
TEST_F(PendingStateTest, WhatAFlushTookWaitsUntilItsListsAreInPlace) {
    BackupfileController collector(env.services(), env.user.name);
    PendingChanges pending(env.path(DaemonPath::BackupListsFolder), &collector, nullptr);
    const int paths = 5000; // five lists, written with the collector's pauses between them
    for (int i = 0; i < paths; ++i)
        collector.addBackupFiles(env.home() + QStringLiteral("/burst/file %1").arg(i));
    const QDateTime oldest = pending.measure().oldest;
    std::atomic<bool> flushed{false};
    std::thread flush([&] {
        collector.timerFireMethod();
        flushed = true;
    });
    int measured = 0, withoutOldest = 0;
    qint64 fewest = paths;
    while (!flushed) {
        const PendingChanges::Snapshot s = pending.measure();
        fewest = std::min(fewest, s.total());
        withoutOldest += !s.oldest.isValid() || s.oldest > oldest;
        ++measured;
    }
    flush.join();
    EXPECT_GT(measured, 1);
    EXPECT_EQ(fewest, paths) << "measured " << measured << " times during the flush";
    EXPECT_EQ(withoutOldest, 0) << "of " << measured;
    const PendingChanges::Snapshot after = pending.measure();
    EXPECT_EQ(after.collected, 0);
    EXPECT_EQ(after.listed, paths);
}

// The state file is the person's, rewritten (and announced) only when something in it changed.
TEST_F(PendingStateTest, TheStateFileIsThePersonsAndRewrittenOnlyOnChange) {
    BackupfileController collector(env.services(), env.user.name);
    ExcludeManager rules(env.services(), &collector);
    FSEventWatcher watcher(env.services(), &rules, &collector, nullptr);
    watcher.setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
    watcher.startWatcher();
    ProtectionMonitor monitor(env.services(), {&collector, nullptr, &watcher.coverage()});
    monitor.start(env.user.name);

    const QString file = monitor.stateFilePath();
    ASSERT_TRUE(QFile::exists(file));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, env.user.uid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    QVariantMap state = stateFile();
    EXPECT_EQ(state.value(PS::Count).toString(), "0");
    EXPECT_EQ(state.value(PS::Oldest).toString(), "");
    EXPECT_EQ(state.value(PS::Paused).toString(), "0");
    EXPECT_EQ(state.value(PS::Watch).toString(), PS::WatchNone);
    EXPECT_EQ(state.value(PS::WatchReason).toString(), "no event stream");
    ASSERT_TRUE(waitUntil([&] { return posts == 1; }));

    // Nothing changed: nothing written, nothing posted.
    const QByteArray written = readTrace(file).toUtf8();
    spinFor(1100);
    monitor.refresh();
    spinFor(300);
    EXPECT_EQ(readTrace(file).toUtf8(), written);
    EXPECT_EQ(posts, 1);

    // A change is noted by the collector itself and written within the interval.
    collector.addBackupFiles(env.home() + "/new.txt");
    ASSERT_TRUE(waitUntil([&] { return stateFile().value(PS::Count).toString() == "1"; }, 5000));
    state = stateFile();
    EXPECT_EQ(state.value(PS::Collected).toString(), "1");
    const QDateTime oldest = QDateTime::fromString(state.value(PS::Oldest).toString(), Qt::ISODate);
    EXPECT_TRUE(oldest.isValid());
    EXPECT_EQ(oldest.timeSpec(), Qt::UTC);
    EXPECT_TRUE(waitUntil([&] { return posts == 2; }));
}

// Events lost put the coverage into "rescanning" from the moment the stream reports it until the batch
// that asks for the rescan has been handled; a loss reported meanwhile waits for its own batch.
TEST_F(PendingStateTest, CoverageFollowsALossAndItsRescan) {
    BackupfileController collector(env.services(), env.user.name);
    ExcludeManager rules(env.services(), &collector);
    auto owned = std::make_unique<DrivenStream>();
    DrivenStream* stream = owned.get();
    stream->covers.scope = F::Coverage::WholeDisk;
    stream->covers.folder = "/";
    stream->covers.fileSystemsMarked = 2;
    FSEventWatcher watcher(env.services(), &rules, &collector, std::move(owned));
    watcher.setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
    ASSERT_TRUE(watcher.startWatcher());
    ProtectionMonitor monitor(env.services(), {&collector, nullptr, &watcher.coverage()});
    monitor.start(env.user.name);
    QVariantMap state = monitor.state();
    EXPECT_EQ(state.value(PS::Watch).toString(), PS::WatchDisk);
    EXPECT_EQ(state.value(PS::WatchBackend).toString(), "fanotify");
    EXPECT_EQ(state.value(PS::WatchFolder).toString(), "/");
    EXPECT_EQ(state.value(PS::WatchFileSystems).toString(), "2");
    EXPECT_EQ(state.value(PS::WatchSince).toString(), "");
    QDir().mkpath(env.home() + "/Docs");

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    const QString lost = "File events: the fanotify queue overflowed, events were lost; / must be scanned";
    stream->onReport({F::Report::EventsLost, lost});
    ASSERT_TRUE(waitUntil([&] { return monitor.state().value(PS::Watch) == PS::WatchRescanning; }, 5000));
    state = monitor.state();
    EXPECT_GE(QDateTime::fromString(state.value(PS::WatchSince).toString(), Qt::ISODate), before);
    EXPECT_EQ(state.value(PS::WatchReason).toString(), lost);
    EXPECT_EQ(stateFile().value(PS::Watch).toString(), PS::WatchRescanning);

    // The rescan's batch, and a second loss reported before it was handled: still rescanning.
    stream->onBatch({{"/", F::MustScanSubDirs | F::KernelDropped, "/"}});
    stream->onReport({F::Report::EventsLost, lost});
    watcher.waitForBatches();
    monitor.refresh();
    EXPECT_EQ(monitor.state().value(PS::Watch).toString(), PS::WatchRescanning);

    // The second loss's batch ends it; the home was queued again meanwhile.
    stream->onBatch({{"/", F::MustScanSubDirs | F::KernelDropped, "/"}});
    watcher.waitForBatches();
    ASSERT_TRUE(waitUntil([&] { return monitor.state().value(PS::Watch) == PS::WatchDisk; }, 5000));
    state = monitor.state();
    EXPECT_EQ(state.value(PS::WatchSince).toString(), "");
    EXPECT_EQ(state.value(PS::WatchReason).toString(), "");
    EXPECT_GE(state.value(PS::Collected).toInt(), 1);
    EXPECT_EQ(stateFile().value(PS::Watch).toString(), PS::WatchDisk);

    // Only the users folder (inotify), with its folder count, and the watch limit.
    stream->covers = {};
    stream->covers.scope = F::Coverage::Folder;
    stream->covers.folder = "/home";
    stream->covers.foldersWatched = 42;
    stream->covers.folderLimitReached = true;
    stream->covers.fallbackReason = "fanotify refused";
    stream->onReport({F::Report::WatchLimit, "limit"});
    ASSERT_TRUE(waitUntil([&] { return monitor.state().value(PS::Watch) == PS::WatchUsers; }, 5000));
    state = monitor.state();
    EXPECT_EQ(state.value(PS::WatchFolders).toString(), "42");
    EXPECT_EQ(state.value(PS::WatchLimited).toString(), "1");
    EXPECT_EQ(state.value(PS::WatchReason).toString(), "fanotify refused");
}

TEST_F(PendingStateTest, AWatchThePlatformRefusesIsNoneWithTheReason) {
    BackupfileController collector(env.services(), env.user.name);
    ExcludeManager rules(env.services(), &collector);
    auto owned = std::make_unique<DrivenStream>();
    owned->refuse = true;
    FSEventWatcher watcher(env.services(), &rules, &collector, std::move(owned));
    watcher.setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
    EXPECT_FALSE(watcher.startWatcher());
    ProtectionMonitor monitor(env.services(), {&collector, nullptr, &watcher.coverage()});
    monitor.start(env.user.name);
    EXPECT_EQ(monitor.state().value(PS::Watch).toString(), PS::WatchNone);
    EXPECT_EQ(monitor.state().value(PS::WatchReason).toString(), "refused for the test");
}

// The record the restore check draws from is saved a while after a send, and at once on a planned exit
// (the daily restart among them), as the person's own file in the account folder.
TEST_F(PendingStateTest, APlannedExitSavesTheRecordOfFilesSent) {
    FileTools::makePath(env.path(DaemonPath::UserSupportFolder));
    ASSERT_TRUE(PropertyList::writeDictionary(env.path(DaemonPath::UserDetails),
                                              {{Protocol::UserName, "ann"}}, PropertyList::OwnerOnlyMode));
    Timings t;
    t.recentlySentSaveDelay = 1h;
    RestoreVerifier verifier(env.services(t), nullptr);
    verifier.start(env.user.name, {});
    verifier.record()->sent("home/someone/a.txt", 1234);
    const QString file = env.path(DaemonPath::UserSupportFolder) + "/ann/RecentlySent.txt";
    spinFor(200);
    EXPECT_FALSE(QFile::exists(file));
    env.restarter.exitProcess(1);
    EXPECT_EQ(env.exits, 1);
    EXPECT_EQ(readTrace(file), "1234\t0\t/home/someone/a.txt\n");
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, env.user.uid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

namespace {

class RunWaitingTest : public BackupRunTest {
  protected:
    QString requirements() override { return needs::tool("dbus-daemon", "dbus-daemon"); }
    void prepare() override { ASSERT_EQ(run.setUpFakeRsync(), ""); }
};

} // namespace

// A run's paths wait as "sending" with the time of the lists it took; a failed run owes them, and its
// "remainingFiles" keeps that time through every later failure; a finished run owes nothing.
TEST_F(RunWaitingTest, ARunsPathsAreSendingThenOwedWithTheTimeTheyWereQueued) {
    const QString folder = run.path(DaemonPath::BackupListsFolder);
    const QStringList files = run.makeFiles("Docs", 3);
    run.writeList("2024-01-01 10-00-00-000_1", files);
    const QDateTime queued = QDateTime::currentDateTimeUtc().addSecs(-600);
    FileTools::setModificationTime(folder + "/2024-01-01 10-00-00-000_1", queued.toMSecsSinceEpoch());
    run.step("sleep 1; echo \"@ERROR: Unknown module 'backup'\" >&2; exit 5");
    Timings t = BackupRunSupport::shortTimings();
    init(false, t);
    PendingChanges pending(folder, nullptr, &manager());

    controller->ReadOperation();
    ASSERT_TRUE(manager().mIsRunning());
    PendingChanges::Snapshot s = pending.measure();
    EXPECT_EQ(s.sending, 3);
    EXPECT_EQ(s.listed, 0);
    EXPECT_EQ(s.oldest, queued);

    ASSERT_TRUE(waitUntil([&] { return !manager().mIsRunning(); }, 20000));
    s = pending.measure();
    EXPECT_EQ(s.sending, 0);
    EXPECT_EQ(s.owed, 3);
    EXPECT_EQ(s.oldest, queued);
    EXPECT_EQ(modified(run.remainingFiles()), queued);

    // A newer change joins the next (failing) run: the owed list keeps the older time.
    run.writeList("2024-01-01 10-00-01-000_1", {files.first() + ".new"});
    spinFor(int(t.firstRetryDelay.count()) + 50);
    controller->ReadOperation();
    ASSERT_TRUE(waitUntil([&] { return run.rsyncCalls() == 2 && !manager().mIsRunning(); }, 20000));
    s = pending.measure();
    EXPECT_EQ(s.owed, 4);
    EXPECT_EQ(s.oldest, queued);

    run.step("echo 'total size is 48  speedup is 1.00'; exit 0");
    spinFor(int(t.laterRetryDelay.count()) + 50);
    controller->ReadOperation();
    ASSERT_TRUE(waitUntil([&] { return run.rsyncCalls() == 3 && !manager().mIsRunning(); }, 20000));
    EXPECT_EQ(pending.measure(), PendingChanges::Snapshot());
}

namespace {

// The guard over the real logind client and a stand-in logind on a private bus.
class SleepGuardTest : public RequiringTest {
  protected:
    QString requirements() override { return needs::tool("dbus-daemon", "dbus-daemon"); }
    void prepare() override {
        ASSERT_TRUE(bus.start());
        logindConnection = bus.connect(QStringLiteral("logind"));
        daemonConnection = bus.connect(QStringLiteral("daemon"));
        logind = std::make_unique<FakeLogind>(logindConnection);
        ASSERT_TRUE(logind->isRegistered());
        inhibitor = std::make_unique<LogindSleepInhibitor>(daemonConnection);
        timings.sleepYoungChange = 60s;
        timings.sleepDelayMax = 400ms;
    }
    void TearDown() override {
        guard.reset();
        inhibitor.reset();
        logind.reset();
        QDBusConnection::disconnectFromBus(daemonConnection.name());
        QDBusConnection::disconnectFromBus(logindConnection.name());
    }
    void makeGuard() {
        guard = std::make_unique<SleepGuard>(
            inhibitor.get(), timings, &env.logger, [this] { ++sends; }, [this] { ++changes; });
        guard->start();
        spinFor(200); // the signal match reaches the bus
    }
    static PendingChanges::Snapshot waiting(qint64 paths, qint64 ageMs) {
        PendingChanges::Snapshot s;
        s.collected = paths;
        if (paths > 0)
            s.oldest = s.newest = QDateTime::currentDateTimeUtc().addMSecs(-ageMs);
        return s;
    }
    bool held() {
        return waitUntil([&] { return logind->heldCount() == 1 && inhibitor->isHeld(); });
    }
    bool free() {
        return waitUntil([&] { return logind->heldCount() == 0; });
    }

    DaemonTestServices env;
    PrivateBus bus;
    QDBusConnection logindConnection{QString()};
    QDBusConnection daemonConnection{QString()};
    std::unique_ptr<FakeLogind> logind;
    std::unique_ptr<LogindSleepInhibitor> inhibitor;
    std::unique_ptr<SleepGuard> guard;
    Timings timings;
    int sends = 0;
    int changes = 0;
};

} // namespace

// A lock only while something young waits and backup is not paused; never a blocking one.
TEST_F(SleepGuardTest, HoldsADelayLockOnlyWhileYoungChangesWait) {
    makeGuard();
    guard->update(waiting(0, 0), false);
    guard->update(waiting(5, 120000), false); // old changes: an appliance long out of reach
    spinFor(200);
    EXPECT_EQ(logind->callCount(), 0);

    guard->update(waiting(5, 1000), false);
    ASSERT_TRUE(held());
    EXPECT_TRUE(guard->isDelaying());
    EXPECT_EQ(logind->calls().first().mode, "delay");
    EXPECT_EQ(logind->calls().first().what, "sleep:shutdown");
    EXPECT_EQ(logind->calls().first().why, QString::fromLatin1(SleepGuard::Why));

    guard->update(waiting(5, 1000), true); // paused: nothing will be sent anyway
    EXPECT_TRUE(free());
    guard->update(waiting(5, 1000), false);
    ASSERT_TRUE(held());
    guard->update(waiting(0, 0), false); // sent
    EXPECT_TRUE(free());
    EXPECT_FALSE(guard->isDelaying());
    EXPECT_GE(changes, 4);

    // A young change that stays unsent lets go once it is no longer young, with no further news.
    timings.sleepYoungChange = 600ms;
    makeGuard();
    guard->update(waiting(1, 0), false);
    ASSERT_TRUE(held());
    EXPECT_TRUE(free());
    EXPECT_EQ(sends, 0);
}

// An announced sleep sends at once; the lock goes when the changes are sent, or at the limit when
// they cannot be, and is not taken again before the machine is back.
TEST_F(SleepGuardTest, AnAnnouncedSleepSendsAtOnceAndWaitsAtMostTheLimit) {
    makeGuard();
    guard->update(waiting(3, 500), false);
    ASSERT_TRUE(held());
    logind->announceSleep(true);
    ASSERT_TRUE(waitUntil([&] { return sends == 1; }));
    EXPECT_TRUE(guard->isAnnounced());
    guard->update(waiting(0, 0), false); // they went out
    EXPECT_TRUE(free());
    EXPECT_TRUE(
        env.trace().contains("Sleep announced, sending the 3 waiting changes first (at most 400 ms)"));
    EXPECT_TRUE(env.trace().contains("Sleep or shutdown no longer delayed: the last changes are sent"));
    logind->announceSleep(false);
    ASSERT_TRUE(waitUntil([&] { return !guard->isAnnounced(); }));

    // The appliance is out of reach: the limit lets the machine go.
    guard->update(waiting(2, 100), false);
    ASSERT_TRUE(held());
    const int calls = logind->callCount();
    logind->announceShutdown(true);
    ASSERT_TRUE(waitUntil([&] { return sends == 2; }));
    EXPECT_TRUE(free());
    EXPECT_TRUE(env.trace().contains(
        "Sleep or shutdown no longer delayed: 2 changes could not be sent within 400 ms"));
    guard->update(waiting(4, 50), false); // still young, still waiting: no new lock during the shutdown
    spinFor(300);
    EXPECT_EQ(logind->callCount(), calls);
    EXPECT_EQ(logind->heldCount(), 0);

    // Called off: the young changes hold it again.
    logind->announceShutdown(false);
    EXPECT_TRUE(held());

    // Nothing young when the sleep comes: no lock, nothing sent.
    guard->update(waiting(0, 0), false);
    ASSERT_TRUE(free());
    logind->announceSleep(true);
    spinFor(300);
    EXPECT_EQ(sends, 2);
}

// What the restore check reads: the time in a snapshot's name, and rsync's itemized changes.
TEST(RestoreCheckReading, SnapshotTimesAndItemizedChanges) {
    const QDateTime taken = RestoreVerifier::snapshotTime("auto-20240305.1407-2w");
    EXPECT_EQ(taken, QDateTime(QDate(2024, 3, 5), QTime(14, 7)).toUTC());
    EXPECT_EQ(RestoreVerifier::snapshotTime("manual-20240305.1407"), taken);
    EXPECT_FALSE(RestoreVerifier::snapshotTime("before-upgrade").isValid());
    EXPECT_FALSE(RestoreVerifier::snapshotTime("auto-120240305.1407-2w").isValid());

    EXPECT_EQ(RestoreVerifier::identical(".f          "), true);
    EXPECT_EQ(RestoreVerifier::identical(">fc.T......"), false);
    EXPECT_EQ(RestoreVerifier::identical(">fcsT......"), false);
    EXPECT_EQ(RestoreVerifier::identical(">f+++++++++"), false);
    EXPECT_EQ(RestoreVerifier::identical(".d          "), std::nullopt);
    EXPECT_EQ(RestoreVerifier::identical("cL+++++++++"), std::nullopt);
}

// The record of files sent keeps files only, the most recent, and reads back what it wrote.
TEST(RestoreCheckReading, TheRecordOfFilesSentKeepsTheMostRecentFiles) {
    RecentlySent record;
    record.sent("home/ann/a.txt", 1000);
    record.sent("home/ann/Docs/", 1001); // a folder
    record.sent("/home/ann/b.txt\r", 1002);
    record.checked("/home/ann/a.txt", 5000);
    ASSERT_EQ(record.size(), 2);
    EXPECT_TRUE(record.takeDirty());
    EXPECT_FALSE(record.takeDirty());

    RecentlySent copy;
    copy.load(record.serialize() + "garbage line\n12\tx\t/y\n");
    QList<RecentlySent::File> files = copy.files();
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0].path, "/home/ann/a.txt");
    EXPECT_EQ(files[0].sentMs, 1000);
    EXPECT_EQ(files[0].checkedMs, 5000);
    EXPECT_EQ(files[1].path, "/home/ann/b.txt");

    for (int i = 0; i < RecentlySent::MaxFiles + 500; ++i)
        record.sent(QStringLiteral("home/ann/many/%1").arg(i), 10000 + i);
    EXPECT_LE(record.size(), RecentlySent::MaxFiles + RecentlySent::MaxFiles / 10);
    const QList<RecentlySent::File> kept = record.files();
    EXPECT_TRUE(std::any_of(kept.begin(), kept.end(), [](const auto& f) {
        return f.path == QStringLiteral("/home/ann/many/%1").arg(RecentlySent::MaxFiles + 499);
    }));
    EXPECT_FALSE(
        std::any_of(kept.begin(), kept.end(), [](const auto& f) { return f.path == "/home/ann/a.txt"; }));
}
