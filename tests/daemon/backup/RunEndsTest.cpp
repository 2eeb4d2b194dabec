// Every end of a backup run, played by a stand-in for the private rsync: the paths come back and are
// sent once the cause is gone, and a failing appliance is asked again only on the retry schedule.
#include "BackupRunSupport.h"

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const char* const kUnknownModule = "echo \"@ERROR: Unknown module 'backup'\" >&2; exit 5";
const char* const kRefused =
    "echo 'rsync: failed to connect to x (127.0.0.1): Connection refused (111)' >&2\n"
    "echo 'rsync error: error in socket IO (code 10)' >&2; exit 10";

class RunEnds : public BackupRunTest {
  protected:
    QString requirements() override { return needs::tool("dbus-daemon", "dbus-daemon"); }
    void prepare() override { ASSERT_EQ(run.setUpFakeRsync(), ""); }
    QSet<QString> sent(int from, int to) const { // what rsync calls from..to were given
        QStringList all;
        for (int call = from; call <= to; ++call)
            all << run.fakeFile("list", call);
        return set(all);
    }
    static QSet<QString> set(const QStringList& l) { return QSet<QString>(l.begin(), l.end()); }
    static QStringList paths(const QString& prefix, int n) {
        QStringList out(n);
        for (int i = 0; i < n; ++i)
            out[i] = QStringLiteral("/home/nobody/%1/file %2.txt").arg(prefix).arg(i);
        return out;
    }
};

} // namespace

TEST_F(RunEnds, FailingRunBacksOffIsReportedOnceAndSendsItsPathsOnceTheCauseIsGone) {
    Timings t = BackupRunSupport::shortTimings();
    t.firstRetryDelay = 1500ms;
    t.laterRetryDelay = 2500ms;
    run.step(kUnknownModule);
    const QStringList files = paths("Docs", 3);
    run.writeList("2024-01-01 10-00-00-000_1", files + QStringList{QString()});
    // The collector's atomic write in progress: hidden, never taken.
    run.writeList(".2024-01-01 10-00-00-000_2.Xa1b2c", {"/home/nobody/half-written"});
    init(true, t);

    ASSERT_TRUE(waitUntil([&] { return count("Error") == 1 && !manager().mIsRunning(); }, 20000));
    spinFor(800); // within the first step of the schedule no run starts
    EXPECT_EQ(run.rsyncCalls(), 1);
    ASSERT_TRUE(waitUntil([&] { return run.rsyncCalls() == 2 && !manager().mIsRunning(); }, 20000));
    run.step(QStringLiteral("echo 'total size is 48  speedup is 1.00'; exit 0"));
    ASSERT_TRUE(waitUntil([&] { return count("Backup completed") == 1; }, 20000));

    EXPECT_EQ(run.rsyncCalls(), 3);
    EXPECT_EQ(count("Error"), 1); // the unchanged failure was told once
    // …and no later run announced itself as backing up while it could only fail the same way: the
    // application, told of the failure, went from it straight to the completion.
    EXPECT_EQ(count(Protocol::ProgressBackupStarts), 1);
    EXPECT_EQ(run.progressTexts().mid(run.progressTexts().indexOf("Error")),
              (QStringList{"Error", "Backup completed"}));
    EXPECT_EQ(sent(3, 3), set(files));
    // rsync ran as the user, with the password in its environment and no password file, marked as the
    // daemon's run.
    EXPECT_EQ(run.fakeFile("who", 3),
              QStringList{QStringLiteral("%1 %2 none %3")
                              .arg(run.svc.user.uid)
                              .arg(BackupRunSupport::passwordTag(BackupRunSupport::Password),
                                   run.path(DaemonPath::SystemSupportFolder))});
    EXPECT_TRUE(run.trace().contains("Next backup run not before 1 sec"));
    EXPECT_TRUE(run.trace().contains("Next backup run not before 2 sec"));
    EXPECT_TRUE(
        QFile::exists(run.path(DaemonPath::BackupListsFolder) + "/.2024-01-01 10-00-00-000_2.Xa1b2c"));
}

TEST_F(RunEnds, QuotaMissingSetFileAndGiveUpKeepThePathsUntilTheyAreSent) {
    init(true);
    // A full appliance: rsync is stopped in the middle; a vanished file whose name reads like a full
    // disk is only a per-file matter.
    run.step("echo 'IOERROR: file has vanished: \"/home/nobody/No space left on device.txt\"' >&2\n"
             "echo 'rsync: [receiver] write failed on \"/x\": No space left on device (28)' >&2\n"
             "exec sleep 60",
             1);
    const QStringList quota = paths("Quota", 4);
    run.writeList("2024-01-01 10-00-00-000_1", quota);
    ASSERT_TRUE(waitUntil([&] { return count("Backup completed") == 1; }, 30000));
    EXPECT_EQ(count("Quota exceeded"), 1);
    EXPECT_EQ(sent(2, 2), set(quota));

    // The next set's file is gone when its turn comes ("not able to continue").
    run.step(QStringLiteral("while [ ! -f \"$dir/go\" ]; do sleep 0.05; done; exit 0"), 3);
    const QStringList many = paths("Many", 1000); // two sets: 998 and 2
    run.writeList("2024-01-01 10-00-01-000_1", many);
    ASSERT_TRUE(waitUntil([&] { return run.rsyncCalls() == 3; }, 30000));
    ASSERT_TRUE(QFile::remove(run.path(DaemonPath::SyncUpFolder) + "/File_1"));
    FileTools::writeAtomically(run.control + "/go", "1", 0644);
    ASSERT_TRUE(waitUntil([&] { return count("Backup completed") == 2; }, 30000));
    EXPECT_TRUE(
        run.trace().contains("Not able to continue backup some problem so setting backup running NO."));
    EXPECT_EQ(sent(4, run.rsyncCalls()), set(many));

    // The appliance stays out of reach through every retry of the set, then answers again.
    const int before = run.rsyncCalls();
    for (int call = before + 1; call <= before + 11; ++call)
        run.step(kRefused, call);
    const QStringList late = paths("Late", 2);
    run.writeList("2024-01-01 10-00-02-000_1", late);
    ASSERT_TRUE(waitUntil([&] { return count("Backup completed") == 3; }, 60000));
    EXPECT_EQ(run.rsyncCalls(), before + 12);
    EXPECT_TRUE(run.trace().contains("10 retrys hapend so not able to continue operation"));
    EXPECT_EQ(sent(before + 12, before + 12), set(late));

    // An rsync that cannot be started fails the run; its paths are sent once it is there again.
    const QString rsync = run.path(DaemonPath::PrivateRsync);
    ASSERT_TRUE(QFile::rename(rsync, rsync + ".away"));
    const QStringList lost = paths("Lost", 2);
    run.writeList("2024-01-01 10-00-03-000_1", lost);
    ASSERT_TRUE(waitUntil([&] { return count("Error") == 5 && !manager().mIsRunning(); }, 30000));
    EXPECT_EQ(run.progress.last().value(Protocol::KeyError).toString(),
              "rsync ended before the backup set was sent.");
    ASSERT_TRUE(QFile::rename(rsync + ".away", rsync));
    ASSERT_TRUE(waitUntil([&] { return count("Backup completed") == 4; }, 30000));
    EXPECT_EQ(sent(run.rsyncCalls(), run.rsyncCalls()), set(lost));
    // Each told once: the vanished file, the missing set, refused, the give-up, the missing rsync.
    EXPECT_EQ(count("Error"), 5);
}

TEST_F(RunEnds, UnwritableSetFileKeepsThePathsInMemoryUntilTheyCanBeWritten) {
    const QStringList files = paths("Full", 3);
    run.writeList("2024-01-01 10-00-00-000_1", files);
    // The local disk is full: no file of this process may grow past one byte (EFBIG, not a signal).
    struct FileSizeLimit {
        rlimit saved{};
        FileSizeLimit() {
            ::signal(SIGXFSZ, SIG_IGN);
            ::getrlimit(RLIMIT_FSIZE, &saved);
            rlimit tiny = saved;
            tiny.rlim_cur = 1;
            ::setrlimit(RLIMIT_FSIZE, &tiny);
        }
        void lift() { ::setrlimit(RLIMIT_FSIZE, &saved); }
        ~FileSizeLimit() { lift(); }
    } full;
    init(true);
    ASSERT_TRUE(waitUntil([&] { return count("Error") == 1 && !manager().mIsRunning(); }, 20000));
    spinFor(300); // the paths cannot be written back either; they wait in memory
    EXPECT_EQ(run.rsyncCalls(), 0);
    EXPECT_FALSE(QFile::exists(run.remainingFiles()));
    full.lift();
    ASSERT_TRUE(waitUntil([&] { return count("Backup completed") == 1; }, 20000));
    EXPECT_EQ(sent(1, 1), set(files));
}
