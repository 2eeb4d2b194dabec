#include "FreeNasCommandExecuter.h"

#include "EventLoopWait.h"
#include "RezodeLoger.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Records everything an executer reports, with the thread it came on.
class Recorder : public FreeNasCommandExecuterController {
  public:
    void updateProgress(const QString& text, FreeNasCommandExecuter*) override {
        QMutexLocker l(&lock);
        out += text;
        ++outChunks;
        outThread = QThread::currentThread();
    }
    void getError(const QString& text, FreeNasCommandExecuter*) override {
        QMutexLocker l(&lock);
        err += text;
        errThread = QThread::currentThread();
    }
    void processFinishedOfEngine(FreeNasCommandExecuter* engine) override {
        runningAtCompletion = engine->isRunning();
        finishedThread = QThread::currentThread();
        finishedAfter = clock.elapsed();
        ++finished;
    }
    QMutex lock;
    QString out, err;
    int outChunks = 0;
    QThread* outThread = nullptr;
    QThread* errThread = nullptr;
    QThread* finishedThread = nullptr;
    std::atomic<int> finished{0};
    bool runningAtCompletion = true;
    QElapsedTimer clock;
    qint64 finishedAfter = -1;
};

class FreeNasCommandExecuterTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    RezodeLoger session;
    Recorder recorder;
    void SetUp() override {
        session.setSessionLogWritePath(dir.filePath(QStringLiteral("SessionLogs")));
        recorder.clock.start();
    }
    void run(FreeNasCommandExecuter& engine, const QString& program, const QStringList& args) {
        engine.setLaunchPath(program);
        engine.setArguments(args);
        engine.startProcess();
    }
    QString sessionLog() {
        QFile f(session.sessionLogCurrentWriteFile());
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
};

} // namespace

TEST_F(FreeNasCommandExecuterTest, SilentChildGivesOneCompletionAfterTheGrace) {
    FreeNasCommandExecuter engine(&recorder, &session); // the standard 2-second grace
    run(engine, QStringLiteral("/bin/true"), {});
    EXPECT_TRUE(engine.isRunning());
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }, 10000));
    spinFor(300);
    EXPECT_EQ(recorder.finished, 1);
    EXPECT_EQ(recorder.outChunks, 0);
    EXPECT_TRUE(recorder.err.isEmpty());
    EXPECT_GE(recorder.finishedAfter, 1900);
    EXPECT_FALSE(recorder.runningAtCompletion);
    EXPECT_FALSE(engine.isRunning());
    EXPECT_TRUE(engine.arguments().isEmpty()); // cleared for the next run
    EXPECT_EQ(engine.launchPath(), QStringLiteral("/bin/true"));
}

TEST_F(FreeNasCommandExecuterTest, IsRunningThroughTheGraceTime) {
    FreeNasCommandExecuter engine(&recorder, &session, 800ms);
    run(engine, QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo done")});
    ASSERT_TRUE(waitUntil([&] { return recorder.out.contains(QStringLiteral("done")); }));
    spinFor(300); // the child has certainly exited; the grace has not passed
    EXPECT_TRUE(engine.isRunning());
    EXPECT_EQ(recorder.finished, 0);
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }));
    EXPECT_FALSE(engine.isRunning());
}

TEST_F(FreeNasCommandExecuterTest, StandardErrorGoesToTheControllerAndTheSessionLog) {
    FreeNasCommandExecuter engine(&recorder, &session, 100ms);
    run(engine, QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("echo 'rsync: link_stat failed' >&2; echo second >&2")});
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }));
    EXPECT_TRUE(recorder.err.contains(QStringLiteral("rsync: link_stat failed")));
    EXPECT_TRUE(recorder.err.contains(QStringLiteral("second")));
    EXPECT_TRUE(recorder.out.isEmpty());
    EXPECT_TRUE(sessionLog().contains(QStringLiteral("rsync: link_stat failed")));
}

TEST_F(FreeNasCommandExecuterTest, LargeOutputIsReadToTheEndWithoutBlocking) {
    FreeNasCommandExecuter engine(&recorder, &session, 100ms);
    // 8 MB on standard output and 1 MB on standard error at the same time.
    run(engine, QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral(
             "head -c 1000000 /dev/zero | tr '\\0' e >&2 & head -c 8000000 /dev/zero | tr '\\0' o; wait")});
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }, 60000));
    EXPECT_EQ(recorder.out.size(), 8000000);
    EXPECT_EQ(recorder.err.size(), 1000000);
    EXPECT_GT(recorder.outChunks, 1);
}

TEST_F(FreeNasCommandExecuterTest, CharacterSplitAcrossChunksArrivesWhole) {
    FreeNasCommandExecuter engine(&recorder, &session, 100ms);
    run(engine, QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("printf '\\303'; sleep 0.3; printf '\\251!'")});
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }));
    EXPECT_EQ(recorder.out, QStringLiteral("é!"));
}

TEST_F(FreeNasCommandExecuterTest, StopKillsTheChildAndStillCompletesOnce) {
    FreeNasCommandExecuter engine(&recorder, &session, 100ms);
    engine.stopProcess(); // idle: nothing happens
    run(engine, QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(waitUntil([&] { return engine.processId() > 0; }));
    const qint64 pid = engine.processId();
    engine.stopProcess();
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }, 5000));
    EXPECT_LT(recorder.finishedAfter, 5000);
    EXPECT_FALSE(QDir(QStringLiteral("/proc/%1").arg(pid)).exists());
    spinFor(300);
    EXPECT_EQ(recorder.finished, 1);
    EXPECT_EQ(engine.exitCode(), -1); // killed
}

TEST_F(FreeNasCommandExecuterTest, ExitCodeAndTheAccountTheChildRunsAs) {
    FreeNasCommandExecuter engine(&recorder, &session, 100ms);
    const FixtureUser user = FixtureUser::get();
    if (::geteuid() == 0) // only a root daemon runs its children as another account
        engine.setCredentials(FreeNasCommandExecuter::Credentials::forAccount(user.name, user.uid, user.gid));
    run(engine, QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("id -u; id -g; id -G; exit 23")});
    ASSERT_TRUE(waitUntil([&] { return recorder.finished == 1; }));
    EXPECT_EQ(engine.exitCode(), 23);
    const QStringList lines = recorder.out.split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << recorder.out.toStdString();
    EXPECT_EQ(lines[0].toUInt(), user.uid);
    EXPECT_EQ(lines[1].toUInt(), user.gid);
    EXPECT_EQ(lines[2].split(u' ').contains(QStringLiteral("0")), user.gid == 0); // root's group is gone
}

TEST_F(FreeNasCommandExecuterTest, MissingProgramCompletesExactlyOnce) {
    FreeNasCommandExecuter engine(&recorder, &session, 100ms);
    run(engine, QStringLiteral("/nonexistent/program"), {QStringLiteral("x")});
    EXPECT_TRUE(engine.isRunning());
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }));
    spinFor(300);
    EXPECT_EQ(recorder.finished, 1);
    EXPECT_FALSE(engine.isRunning());
    EXPECT_EQ(engine.exitCode(), -1);
}

TEST_F(FreeNasCommandExecuterTest, TheNextRunCanStartFromTheCompletion) {
    struct Chain : Recorder {
        int runs = 0;
        void processFinishedOfEngine(FreeNasCommandExecuter* engine) override {
            Recorder::processFinishedOfEngine(engine);
            if (++runs < 3) {
                engine->setArguments({QStringLiteral("-c"), QStringLiteral("echo run")});
                engine->startProcess();
            }
        }
    } chain;
    FreeNasCommandExecuter engine(&chain, &session, 50ms);
    engine.setLaunchPath(QStringLiteral("/bin/sh"));
    engine.setArguments({QStringLiteral("-c"), QStringLiteral("echo run")});
    engine.startProcess();
    ASSERT_TRUE(waitUntil([&] { return chain.finished == 3; }));
    EXPECT_EQ(chain.out, QStringLiteral("run\nrun\nrun\n"));
}

TEST_F(FreeNasCommandExecuterTest, EnvironmentReplacesTheInheritedOne) {
    FreeNasCommandExecuter engine(&recorder, &session, 50ms);
    engine.setEnvironment({{QStringLiteral("ZH_ONLY"), QStringLiteral("yes")}});
    run(engine, QStringLiteral("/usr/bin/env"), {});
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }));
    EXPECT_EQ(recorder.out, QStringLiteral("ZH_ONLY=yes\n"));
}

TEST_F(FreeNasCommandExecuterTest, ChunksOnTheStartingThreadCompletionOnTheMainThread) {
    QThread worker;
    worker.start();
    QObject onWorker; // a context whose queued calls run on the worker thread
    onWorker.moveToThread(&worker);
    FreeNasCommandExecuter* engine = nullptr;
    QMetaObject::invokeMethod(
        &onWorker,
        [&] {
            engine = new FreeNasCommandExecuter(&recorder, &session, 100ms);
            engine->setLaunchPath(QStringLiteral("/bin/sh"));
            engine->setArguments({QStringLiteral("-c"), QStringLiteral("echo out; echo err >&2")});
            engine->startProcess();
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(waitUntil([&] { return recorder.finished > 0; }));
    EXPECT_EQ(recorder.outThread, &worker);
    EXPECT_EQ(recorder.errThread, &worker);
    EXPECT_EQ(recorder.finishedThread, QThread::currentThread());
    QMetaObject::invokeMethod(
        &onWorker, [&] { delete engine; }, Qt::BlockingQueuedConnection);
    worker.quit();
    worker.wait();
}
