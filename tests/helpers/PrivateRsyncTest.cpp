// The private rsync copy against a real rsync daemon, driven with the command lines the daemon and
// the application write.

#include "Appliance.h"
#include "ChildProcess.h"
#include "TestRoots.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace {

const QString kAdapter = QStringLiteral(ZH_PRIVATE_RSYNC);
const QString kUser = QStringLiteral("alice");
const QString kPassword = QStringLiteral("se cret \"quoted\" 'x' $(no)");

bool writeBytes(const QByteArray& path, const QByteArray& data, mode_t mode = 0644) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    ::close(fd);
    return ok && ::chmod(path.constData(), mode) == 0;
}

// By bytes: a name that is not UTF-8 does not survive a QString.
QByteArray readBytes(const QByteArray& path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return QByteArray("<missing>");
    QByteArray data;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        data.append(buffer, n);
    ::close(fd);
    return data;
}

QList<QByteArray> lines(const QByteArray& text) {
    QList<QByteArray> out = text.split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

std::vector<std::string> tokens(const QByteArray& line) {
    std::istringstream in(line.toStdString());
    std::vector<std::string> out;
    for (std::string t; in >> t;)
        out.push_back(t);
    return out;
}

// Processes whose command line holds the text (rsync carries the unique password-file path).
int processesWith(const QByteArray& text) {
    int count = 0;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return 0;
    while (dirent* e = ::readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        QFile f(QStringLiteral("/proc/%1/cmdline").arg(QString::fromLatin1(e->d_name)));
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(text))
            ++count;
    }
    ::closedir(proc);
    return count;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition())
            return true;
        QThread::msleep(50);
    }
    return condition();
}

class PrivateRsync : public ::testing::Test {
  protected:
    void SetUp() override { setUpWith(Appliance::Options()); }

    void setUpWith(Appliance::Options options) {
        const QString reason = Appliance::skipReason(options);
        if (!reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        mAppliance = std::make_unique<Appliance>(options);
        ASSERT_TRUE(mAppliance->addUser(kUser, kPassword));
        QString why;
        ASSERT_TRUE(mAppliance->start(&why)) << why.toStdString();
        ASSERT_TRUE(mWork.isValid());
        ::chmod(QFile::encodeName(mWork.path()).constData(), 0755);
        mPasswordFile = mWork.filePath(QStringLiteral("pass word \"file\""));
        ASSERT_TRUE(writeBytes(QFile::encodeName(mPasswordFile), kPassword.toUtf8(), 0600));
        mSource = QFile::encodeName(mWork.filePath(QStringLiteral("src dir")));
        ASSERT_EQ(::mkdir(mSource.constData(), 0755), 0);
    }

    QString remote(const QString& path) const {
        return kUser + u'@' + mAppliance->address() + QStringLiteral("::\"") + path + u'"';
    }
    QString backupRemote() const { return remote(QStringLiteral("backup/alice/Mac")); }

    // The list file of a backup set: absolute paths joined by line feeds, none after the last.
    QString writeList(const QList<QByteArray>& paths) {
        const QString list = mWork.filePath(QStringLiteral("Source A"));
        EXPECT_TRUE(writeBytes(QFile::encodeName(list), paths.toList().join('\n')));
        return list;
    }

    // The daemon's private-copy form of a backup set.
    int backup(const QString& list, bool quotedPassword, QByteArray* out, QByteArray* err) {
        const QString pw = quotedPassword ? QStringLiteral("--password-file=\"%1\"").arg(mPasswordFile)
                                          : QStringLiteral("--password-file=") + mPasswordFile;
        return ChildProcess::run({kAdapter, QStringLiteral("--progress"), QStringLiteral("--dirs"),
                                  QStringLiteral("--recursive"), QStringLiteral("-v"), pw,
                                  QStringLiteral("--files-from=") + list, QStringLiteral("/"),
                                  backupRemote()},
                                 out, err);
    }

    QByteArray onAppliance(const QByteArray& absolutePath) const {
        return QFile::encodeName(mAppliance->modulePath()) + "/alice/Mac" + absolutePath;
    }

    std::unique_ptr<Appliance> mAppliance;
    QTemporaryDir mWork;
    QString mPasswordFile;
    QByteArray mSource;
};

TEST_F(PrivateRsync, BackupReportsNewFilesAsFullThenChangedOnesAsIncremental) {
    // Names the shell or a line-based list would break; one is not UTF-8.
    const QList<QByteArray> names = {"plain.txt",          "with blank.txt", "quo\"te's.txt",
                                     "$(touch pwned).txt", "caf\xe9.txt",    "cr\rname.txt"};
    QList<QByteArray> paths;
    for (const QByteArray& n : names) {
        paths << mSource + '/' + n;
        ASSERT_TRUE(writeBytes(paths.last(), "content of " + n + '\n'));
    }
    const QString list = writeList(paths);

    QByteArray out, err;
    ASSERT_EQ(backup(list, false, &out, &err), 0) << err.constData();
    const QList<QByteArray> first = lines(out);
    ASSERT_FALSE(first.isEmpty());
    EXPECT_EQ(first.first(), "6 files to consider");
    for (const QByteArray& n : names) {
        const QByteArray shown =
            n == "cr\rname.txt" ? QByteArray("cr\\#015name.txt") : n; // as rsync prints it
        const QByteArray expected = "[Full Backup]" + mSource.mid(1) + '/' + shown;
        int found = 0;
        for (const QByteArray& l : first) {
            if (!l.endsWith(expected))
                continue;
            ++found;
            const auto t = tokens(l);
            ASSERT_GE(t.size(), 6u);
            EXPECT_EQ(t[2], std::to_string(12 + n.size()));
            EXPECT_EQ(t[4], "100%");
        }
        EXPECT_EQ(found, 1) << "no line for " << n.constData() << "\n" << out.constData();
        EXPECT_EQ(readBytes(onAppliance(mSource + '/' + n)), "content of " + n + '\n');
    }
    EXPECT_FALSE(out.contains("[Incremental Backup]"));
    EXPECT_FALSE(QFile::exists(QStringLiteral("pwned"))) << "a name ran as a command";

    // One file changes; the second run uses the quoted password-file form of the restore callers.
    ASSERT_TRUE(writeBytes(paths[1], "a longer content, changed since\n"));
    out.clear();
    err.clear();
    ASSERT_EQ(backup(list, true, &out, &err), 0) << err.constData();
    const QList<QByteArray> second = lines(out);
    EXPECT_EQ(second.first(), "6 files to consider");
    // The callers pass no --times, so the appliance's copies carry their upload time: a file whose
    // time differs is sent again, as an incremental one. The changed file is always among them.
    bool changedSent = false;
    for (const QByteArray& l : second) {
        EXPECT_FALSE(l.contains("[Full Backup]")) << l.constData();
        if (l.endsWith("[Incremental Backup]" + mSource.mid(1) + "/with blank.txt")) {
            changedSent = true;
            EXPECT_EQ(tokens(l)[2], "32");
        }
    }
    EXPECT_TRUE(changedSent) << out.constData();
    EXPECT_EQ(readBytes(onAppliance(paths[1])), "a longer content, changed since\n");
}

TEST_F(PrivateRsync, ListingIsPassedThroughAsRsyncPrintsIt) {
    ASSERT_TRUE(mAppliance->putFile(QStringLiteral("alice/Mac/home/a b.txt"), "12345"));
    ASSERT_TRUE(mAppliance->putFile(QStringLiteral("alice/Mac/home/sub/c.txt"), "x"));
    QByteArray expected;
    ASSERT_EQ(mAppliance->list(kUser, kPassword, QStringLiteral("alice/Mac/"), &expected), 0);

    QByteArray out, err;
    // The lister's private form: unquoted password file, quoted module path.
    ASSERT_EQ(ChildProcess::run({kAdapter, QStringLiteral("--list-only"), QStringLiteral("--recursive"),
                                 QStringLiteral("--password-file=") + mPasswordFile,
                                 remote(QStringLiteral("backup/alice/Mac/"))},
                                &out, &err),
              0)
        << err.constData();
    QByteArray expectedRecursive;
    ASSERT_EQ(
        ChildProcess::run({QStringLiteral("rsync"), QStringLiteral("--list-only"),
                           QStringLiteral("--recursive"), QStringLiteral("--password-file=") + mPasswordFile,
                           kUser + u'@' + mAppliance->address() + QStringLiteral("::backup/alice/Mac/")},
                          &expectedRecursive),
        0);
    EXPECT_EQ(out, expectedRecursive);
    EXPECT_TRUE(out.contains("home/sub/c.txt"));

    out.clear();
    ASSERT_EQ(ChildProcess::run({kAdapter, QStringLiteral("--list-only"),
                                 QStringLiteral("--password-file=") + mPasswordFile,
                                 remote(QStringLiteral("backup/alice/Mac/"))},
                                &out, &err),
              0);
    EXPECT_EQ(out, expected);
}

TEST_F(PrivateRsync, RestoreFromASnapshotPrintsProgressLinesAndCopiesTheFile) {
    QByteArray big(2 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 % 251);
    ASSERT_TRUE(mAppliance->putFile(QStringLiteral("alice/Mac/home/Docs/report 1.txt"), big));
    // Wildcard characters in a name are taken literally, not matched against the neighbour.
    ASSERT_TRUE(mAppliance->putFile(QStringLiteral("alice/Mac/home/Docs/a[1].txt"), "bracket"));
    ASSERT_TRUE(mAppliance->putFile(QStringLiteral("alice/Mac/home/Docs/a1.txt"), "plain"));
    const QString snapshot = QStringLiteral("auto-20240102.1030-2w");
    ASSERT_TRUE(mAppliance->createSnapshot(snapshot));
    const QString dest = mWork.filePath(QStringLiteral("Down \"loads\" $(x)"));
    ASSERT_TRUE(QDir().mkpath(dest));

    QByteArray out, err;
    // The restore form: quoted password file, the snapshot's path in quotes, the destination last.
    ASSERT_EQ(ChildProcess::run(
                  {kAdapter, QStringLiteral("--progress"), QStringLiteral("--recursive"),
                   QStringLiteral("--password-file=\"%1\"").arg(mPasswordFile),
                   remote(QStringLiteral("backup/.zfs/snapshot/%1/alice/Mac/home/Docs").arg(snapshot)), dest},
                  &out, &err),
              0)
        << err.constData();
    int progressLines = 0;
    bool complete = false;
    for (const QByteArray& l : lines(out)) {
        const auto t = tokens(l);
        if (t.size() < 7 || t[4].back() != '%')
            continue;
        // What the restore window shows: the text after the seventh token, and the fifth.
        QByteArray path =
            l.mid(l.indexOf(QByteArray::fromStdString(t[6])) + qsizetype(t[6].size())).trimmed();
        EXPECT_NE(t[4].front(), '.');
        if (path == "Docs/report 1.txt") {
            ++progressLines;
            complete = complete || t[4] == "100%";
        }
    }
    EXPECT_GE(progressLines, 1) << out.constData();
    EXPECT_TRUE(complete) << out.constData();
    EXPECT_EQ(readBytes(QFile::encodeName(dest) + "/Docs/report 1.txt"), big);

    ASSERT_EQ(ChildProcess::run({kAdapter, QStringLiteral("--progress"), QStringLiteral("--recursive"),
                                 QStringLiteral("--password-file=\"%1\"").arg(mPasswordFile),
                                 remote(QStringLiteral("backup/alice/Mac/home/Docs/a[1].txt")), dest},
                                &out, &err),
              0)
        << err.constData();
    EXPECT_EQ(readBytes(QFile::encodeName(dest) + "/a[1].txt"), "bracket");
    EXPECT_FALSE(QFile::exists(dest + QStringLiteral("/a1.txt")));
}

TEST_F(PrivateRsync, MissingFileIsAnIoErrorAndTheOtherFilesAreSent) {
    const QByteArray kept = mSource + "/kept.txt";
    ASSERT_TRUE(writeBytes(kept, "kept"));
    // Removed after the list was written, as when a file goes between the watch and the run.
    const QByteArray gone = mSource + "/gone away.txt";
    const QString list = writeList({gone, kept});

    QByteArray out, err;
    EXPECT_EQ(backup(list, false, &out, &err), 23);
    EXPECT_TRUE(out.startsWith("2 files to consider\n"));
    EXPECT_TRUE(out.contains("[Full Backup]" + kept.mid(1)));
    bool tagged = false;
    for (const QByteArray& l : lines(err)) {
        if (l.contains("IOERROR")) {
            tagged = true;
            EXPECT_TRUE(l.contains("link_stat")) << l.constData(); // rsync's own text stays
            EXPECT_TRUE(l.contains(gone)) << l.constData();
        }
    }
    EXPECT_TRUE(tagged) << err.constData();
    EXPECT_TRUE(err.contains("rsync error: some files/attrs were not transferred"));
    EXPECT_FALSE(err.contains(kPassword.toUtf8()));
}

TEST_F(PrivateRsync, UnreadableFileIsAnIoError) {
    QString why;
    const FixtureUser user = FixtureUser::get(&why);
    if (user.uid == 0)
        GTEST_SKIP() << "no unprivileged account to run as: " << why.toStdString();
    // The adapter runs as that account: its password file, list and source are its own.
    const QByteArray pw = QFile::encodeName(mWork.filePath(QStringLiteral("user secret")));
    ASSERT_TRUE(writeBytes(pw, kPassword.toUtf8(), 0600));
    ASSERT_EQ(::chown(pw.constData(), user.uid, user.gid), 0);
    const QByteArray readable = mSource + "/readable.txt";
    const QByteArray secret = mSource + "/secret.txt";
    ASSERT_TRUE(writeBytes(readable, "open"));
    ASSERT_TRUE(writeBytes(secret, "closed", 0600)); // root's, unreadable for the account
    const QString list = writeList({secret, readable});

    QByteArray out, err;
    const int code = ChildProcess::run(
        {QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(user.uid),
         QStringLiteral("--regid=%1").arg(user.gid), QStringLiteral("--clear-groups"), kAdapter,
         QStringLiteral("--progress"), QStringLiteral("--dirs"), QStringLiteral("--recursive"),
         QStringLiteral("-v"), QStringLiteral("--password-file=") + QFile::decodeName(pw),
         QStringLiteral("--files-from=") + list, QStringLiteral("/"), backupRemote()},
        &out, &err);
    EXPECT_EQ(code, 23) << err.constData();
    EXPECT_TRUE(out.contains("[Full Backup]" + readable.mid(1))) << out.constData();
    bool tagged = false;
    for (const QByteArray& l : lines(err))
        tagged = tagged || (l.contains("IOERROR") && l.contains("Permission denied") && l.contains(secret));
    EXPECT_TRUE(tagged) << err.constData();
}

TEST_F(PrivateRsync, FileThatCannotReplaceWhatIsOnTheApplianceIsASendError) {
    const QByteArray file = mSource + "/in the way";
    ASSERT_TRUE(writeBytes(file, "file"));
    // The appliance holds a non-empty folder where the file has to go.
    ASSERT_TRUE(mAppliance->putFile(
        QStringLiteral("alice/Mac") + QFile::decodeName(file) + QStringLiteral("/inner"), "x"));
    QByteArray out, err;
    EXPECT_EQ(backup(writeList({file}), false, &out, &err), 23);
    bool tagged = false;
    for (const QByteArray& l : lines(err))
        tagged = tagged || (l.contains("SFERROR") && l.contains(file.mid(1)));
    EXPECT_TRUE(tagged) << err.constData();
    EXPECT_FALSE(out.contains("[Full Backup]"));
}

TEST_F(PrivateRsync, WrongPasswordIsPassedThroughWithRsyncsCode) {
    const QByteArray file = mSource + "/a.txt";
    ASSERT_TRUE(writeBytes(file, "a"));
    ASSERT_TRUE(writeBytes(QFile::encodeName(mPasswordFile), "wrong", 0600));
    QByteArray out, err;
    EXPECT_EQ(backup(writeList({file}), false, &out, &err), 5);
    EXPECT_TRUE(err.contains("@ERROR: auth failed on module backup\n")) << err.constData();
    EXPECT_FALSE(err.contains("IOERROR"));
    EXPECT_FALSE(out.contains("Backup]"));
}

TEST_F(PrivateRsync, StoppedApplianceGivesRsyncsConnectionError) {
    const QByteArray file = mSource + "/a.txt";
    ASSERT_TRUE(writeBytes(file, "a"));
    mAppliance->stop();
    QByteArray out, err;
    EXPECT_EQ(backup(writeList({file}), false, &out, &err), 10);
    EXPECT_TRUE(err.contains("Connection refused")) << err.constData();
    EXPECT_FALSE(err.contains("IOERROR"));
    EXPECT_FALSE(err.contains("SFERROR"));
}

TEST_F(PrivateRsync, UnreadableFileListIsReportedAndNothingRuns) {
    QByteArray out, err;
    EXPECT_EQ(backup(mWork.filePath(QStringLiteral("no such list")), false, &out, &err), 11);
    EXPECT_TRUE(err.contains("cannot read the file list")) << err.constData();
    EXPECT_TRUE(out.isEmpty());
}

TEST_F(PrivateRsync, KilledAdapterLeavesNoRsyncRunning) {
    ASSERT_TRUE(mAppliance->putFile(QStringLiteral("alice/big"), QByteArray(4 * 1024 * 1024, 'b')));
    const QString dest = mWork.filePath(QStringLiteral("dest"));
    ASSERT_TRUE(QDir().mkpath(dest));
    const QByteArray mark = QFile::encodeName(mPasswordFile);
    for (int signal : {SIGTERM, SIGKILL}) {
        // A slow transfer, so that it is surely under way when the adapter is ended.
        const pid_t pid = ChildProcess::spawn({kAdapter, QStringLiteral("--progress"),
                                               QStringLiteral("--recursive"), QStringLiteral("--bwlimit=64"),
                                               QStringLiteral("--password-file=\"%1\"").arg(mPasswordFile),
                                               remote(QStringLiteral("backup/alice/big")), dest});
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(waitFor([&] { return processesWith(mark) >= 2; }, 10000)) << "rsync did not start";
        ASSERT_EQ(::kill(pid, signal), 0);
        EXPECT_TRUE(waitFor([&] { return processesWith(mark) == 0; }, 10000))
            << "rsync still runs after signal " << signal;
        ChildProcess::terminate(pid, 1000);
    }
}

class FullAppliance : public PrivateRsync {
  protected:
    void SetUp() override { setUpWith(Appliance::Options{.tmpfs = true, .tmpfsBytes = 1024 * 1024}); }
};

TEST_F(FullAppliance, NoSpaceLeftIsPassedThroughUntagged) {
    const QByteArray file = mSource + "/too big.bin";
    ASSERT_TRUE(writeBytes(file, QByteArray(3 * 1024 * 1024, 'z')));
    QByteArray out, err;
    EXPECT_NE(backup(writeList({file}), false, &out, &err), 0);
    bool seen = false;
    for (const QByteArray& l : lines(err)) {
        if (!l.contains("No space left on device"))
            continue;
        seen = true;
        EXPECT_FALSE(l.contains("IOERROR") || l.contains("SFERROR")) << l.constData();
    }
    EXPECT_TRUE(seen) << err.constData();
}

} // namespace
