#include "FreeNasCommandExecuter.h"

#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "Requirements.h"
#include "RezodeLoger.h"
#include "StallWatch.h"
#include "TestRoots.h"
#include "ThreadCapability.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <functional>

#include <sys/stat.h>

using namespace std::chrono_literals;

namespace {

// Records everything an executer reports, with the thread it came on; then() may start the next run.
struct Recorder : FreeNasCommandExecuterController {
    void updateProgress(const QString& text, FreeNasCommandExecuter*) override { note(out, outThread, text); }
    void getError(const QString& text, FreeNasCommandExecuter*) override { note(err, errThread, text); }
    void note(QString& into, QThread*& thread, const QString& text) {
        QMutexLocker l(&lock);
        into += text;
        thread = QThread::currentThread();
    }
    void processFinishedOfEngine(FreeNasCommandExecuter* engine) override {
        runningAtCompletion = engine->isRunning();
        finishedThread = QThread::currentThread();
        ++finished;
        if (then)
            then(engine);
    }
    QMutex lock;
    QString out, err;
    QThread *outThread = nullptr, *errThread = nullptr, *finishedThread = nullptr;
    std::atomic<int> finished{0};
    bool runningAtCompletion = true;
    std::function<void(FreeNasCommandExecuter*)> then;
};

class FreeNasCommandExecuterTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    RezodeLoger session;
    Recorder recorder;
    void SetUp() override { session.setSessionLogWritePath(dir.filePath("SessionLogs")); }
    static void run(FreeNasCommandExecuter& engine, const QString& program, const QStringList& args) {
        engine.setLaunchPath(program);
        engine.setArguments(args);
        engine.startProcess();
    }
    bool finishes(int count, int timeoutMs = 10000) {
        return waitUntil([&] { return recorder.finished >= count; }, timeoutMs);
    }
};

} // namespace

TEST_F(FreeNasCommandExecuterTest, EveryStartCompletesExactlyOnceAsSoonAsItsOutputIsComplete) {
    FreeNasCommandExecuter engine(&recorder, &session);
    // The completion follows the child's end with all of its output, and waits for nothing else: not
    // for a process the child left behind on the same pipes.
    QTemporaryDir marks;
    const QString left = marks.filePath("left-behind");
    run(engine, "/bin/sh", {"-c", QStringLiteral("(sleep 30; touch '%1') & echo done").arg(left)});
    EXPECT_TRUE(engine.isRunning());
    ASSERT_TRUE(finishes(1, 20000));
    EXPECT_EQ(recorder.out, "done\n");
    EXPECT_FALSE(QFileInfo::exists(left));
    EXPECT_FALSE(recorder.runningAtCompletion);
    EXPECT_FALSE(engine.isRunning());
    EXPECT_TRUE(engine.arguments().isEmpty()); // cleared for the next run
    EXPECT_EQ(engine.launchPath(), "/bin/sh");

    FreeNasCommandExecuter quick(&recorder, &session);
    quick.stopProcess(); // idle: nothing happens
    run(quick, "/nonexistent/program", {"x"});
    EXPECT_TRUE(quick.isRunning());
    ASSERT_TRUE(finishes(2));
    EXPECT_EQ(quick.exitCode(), -1);
    run(quick, "/bin/sleep", {"30"});
    ASSERT_TRUE(waitUntil([&] { return quick.processId() > 0; }));
    const qint64 pid = quick.processId();
    quick.stopProcess();
    ASSERT_TRUE(finishes(3, 5000));
    EXPECT_FALSE(QDir(QStringLiteral("/proc/%1").arg(pid)).exists());
    EXPECT_EQ(quick.exitCode(), -1); // killed
    // The next run can start from the completion.
    int chained = 0;
    recorder.then = [&](FreeNasCommandExecuter* e) {
        if (++chained < 3)
            run(*e, e->launchPath(), {"-c", "echo run"});
    };
    run(quick, "/bin/sh", {"-c", "echo run"});
    ASSERT_TRUE(finishes(6));
    spinFor(300);
    EXPECT_EQ(recorder.finished, 6);
    EXPECT_EQ(recorder.out, "done\nrun\nrun\nrun\n");
}

TEST_F(FreeNasCommandExecuterTest, OutputArrivesWholeChunksOnTheStartingThreadCompletionOnTheMain) {
    QThread worker;
    worker.start();
    QObject onWorker; // a context whose queued calls run on the worker thread
    onWorker.moveToThread(&worker);
    FreeNasCommandExecuter* engine = nullptr;
    // A character split across two chunks, and standard error.
    const QString script = "printf '\\303'; sleep 0.3; printf '\\251!'; echo 'rsync: link_stat failed' >&2";
    QMetaObject::invokeMethod(
        &onWorker,
        [&] {
            engine = new FreeNasCommandExecuter(&recorder, &session);
            run(*engine, "/bin/sh", {"-c", script});
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(finishes(1));
    EXPECT_EQ(recorder.out, "é!");
    EXPECT_EQ(recorder.err, "rsync: link_stat failed\n");
    EXPECT_TRUE(readTrace(session.sessionLogCurrentWriteFile()).contains("rsync: link_stat failed"));
    EXPECT_EQ(recorder.outThread, &worker);
    EXPECT_EQ(recorder.errThread, &worker);
    EXPECT_EQ(recorder.finishedThread, QThread::currentThread());
    QMetaObject::invokeMethod(
        &onWorker, [&] { delete engine; }, Qt::BlockingQueuedConnection);
    worker.quit();
    worker.wait();

    // 8 MB on standard output and 1 MB on standard error at the same time are read to the end.
    recorder.out.clear();
    recorder.err.clear();
    FreeNasCommandExecuter large(&recorder, &session);
    run(large, "/bin/sh",
        {"-c", "head -c 1000000 /dev/zero | tr '\\0' e >&2 & head -c 8000000 /dev/zero | tr '\\0' o; wait"});
    ASSERT_TRUE(finishes(2, 60000));
    EXPECT_EQ(recorder.out.size(), 8000000);
    EXPECT_EQ(recorder.err.size(), 1000000);
}

TEST_F(FreeNasCommandExecuterTest, ExitCodeAndTheAccountTheChildRunsAs) {
    FreeNasCommandExecuter engine(&recorder, &session);
    const FixtureUser user = FixtureUser::get();
    if (::geteuid() == 0) // only a root daemon runs its children as another account
        engine.setCredentials(FreeNasCommandExecuter::Credentials::forAccount(user.name, user.uid, user.gid),
                              user.name);
    run(engine, "/bin/sh", {"-c", "id -u; id -g; id -G; exit 23"});
    ASSERT_TRUE(finishes(1));
    EXPECT_EQ(engine.exitCode(), 23);
    const QStringList lines = recorder.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << recorder.out.toStdString();
    EXPECT_EQ(lines[0].toUInt(), user.uid);
    EXPECT_EQ(lines[1].toUInt(), user.gid);
    EXPECT_EQ(lines[2].split(u' ').contains("0"), user.gid == 0); // root's group is gone

    // The account's child gets a clean environment, nothing of the daemon's (root's) own.
    qputenv("ZH_DAEMON_SECRET", "root's");
    recorder.out.clear();
    run(engine, "/usr/bin/env", {});
    ASSERT_TRUE(finishes(2));
    qunsetenv("ZH_DAEMON_SECRET");
    EXPECT_EQ(recorder.out.contains("ZH_DAEMON_SECRET"), ::geteuid() != 0) << recorder.out.toStdString();
    EXPECT_TRUE(::geteuid() != 0 || recorder.out.contains("USER=" + user.name)) << recorder.out.toStdString();

    recorder.out.clear(); // the environment given replaces the inherited one
    engine.setEnvironment({{"ZH_ONLY", "yes"}});
    run(engine, "/usr/bin/env", {});
    ASSERT_TRUE(finishes(3));
    EXPECT_EQ(recorder.out, "ZH_ONLY=yes\n");
}

TEST_F(FreeNasCommandExecuterTest, AChildThatStallsIsEndedWithItsGroupAndOneThatWorksIsNot) {
    FreeNasCommandExecuter engine(&recorder, &session);
    engine.setStallTimeout(700ms);
    // Silent and idle (a connection nothing comes through), with a child of its own: the whole group
    // is ended, and the run says why.
    QTemporaryDir marks;
    const QString background = marks.filePath("background");
    run(engine, "/bin/bash", {"-c", QStringLiteral("sleep 300 & echo $! >'%1'; wait").arg(background)});
    ASSERT_TRUE(finishes(1, 30000));
    EXPECT_TRUE(engine.stalled());
    EXPECT_EQ(engine.exitCode(), -1);
    const pid_t left = pid_t(readTrace(background).trimmed().toInt());
    ASSERT_GT(left, 0);
    EXPECT_TRUE(waitUntil([&] { return !QDir(QStringLiteral("/proc/%1").arg(left)).exists(); }, 5000));

    // A child frozen where it stands (its own timers cannot fire) is ended too.
    run(engine, "/bin/bash", {"-c", "kill -STOP $$; echo never"});
    ASSERT_TRUE(finishes(2, 30000));
    EXPECT_TRUE(engine.stalled());
    EXPECT_FALSE(recorder.out.contains("never"));

    // One that only writes, a few bytes now and then, and reads nothing: an rsync sending keep-alive
    // messages into the buffer of a connection to an appliance that froze mid-transfer.
    const QString fifo = marks.filePath("silence");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    run(engine, "/bin/bash",
        {"-c",
         QStringLiteral("exec 4<>'%1'; for i in {1..40}; do printf keep >/dev/null; read -t 0.2 -u 4 x; "
                        "done; echo done")
             .arg(fifo)});
    ASSERT_TRUE(finishes(3, 30000));
    EXPECT_TRUE(engine.stalled());
    EXPECT_FALSE(recorder.out.contains("done"));

    // One that prints now and then, for longer than the stall time, is left alone.
    run(engine, "/bin/bash", {"-c", "for i in $(seq 12); do echo $i; sleep 0.2; done"});
    ASSERT_TRUE(finishes(4, 30000));
    EXPECT_FALSE(engine.stalled());
    EXPECT_EQ(engine.exitCode(), 0);

    // So is one that prints nothing but keeps reading, as rsync does while the appliance reads its old
    // copy of a large file: as the person at the screen when root runs this, and without root's
    // tracing capability (the daemon's unit does not give it).
    const FixtureUser user = FixtureUser::get();
    if (::geteuid() == 0)
        engine.setCredentials(FreeNasCommandExecuter::Credentials::forAccount(user.name, user.uid, user.gid),
                              user.name);
    recorder.out.clear();
    {
        WithoutCapability noTracing(CAP_SYS_PTRACE);
        EXPECT_EQ(noTracing.dropped(), ::geteuid() == 0);
        run(engine, "/bin/bash",
            {"-c", "exec 3</dev/urandom; for i in $(seq 15); do read -r -N 20000 -u 3 x; sleep 0.2; done; "
                   "echo read"});
        ASSERT_TRUE(finishes(5, 60000));
    }
    EXPECT_FALSE(engine.stalled());
    EXPECT_EQ(engine.exitCode(), 0);
    EXPECT_EQ(recorder.out, "read\n");
}

// A child its owner stopped on purpose (the listing holds rsync while its lines wait for the index) has
// not stalled, however long it is held; once let go, it has the whole window again.
TEST(StallWatchTest, AHeldChildHasNotStalledAndGetsTheWholeWindowWhenLetGo) {
    const pid_t child = ChildProcess::spawn({"sleep", "300"});
    ASSERT_GT(child, 0);
    StallWatch watch(300ms);
    watch.start(child);
    watch.hold(true);
    spinFor(700);
    EXPECT_FALSE(watch.stalled());
    watch.hold(false);
    EXPECT_FALSE(watch.stalled());
    EXPECT_TRUE(waitUntil([&] { return watch.stalled(); }, 5000));
    // A window of zero never stalls; a stopped watch neither.
    StallWatch never(0ms);
    never.start(child);
    spinFor(100);
    EXPECT_FALSE(never.stalled());
    watch.stop();
    EXPECT_FALSE(watch.stalled());
    ChildProcess::terminate(child);
}
