// The private rsync copy against a real rsync daemon, driven with the command lines the daemon and
// the application write.

#include "Appliance.h"
#include "ChildProcess.h"
#include "Requirements.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

const QString kAdapter = ZH_PRIVATE_RSYNC;
const QString kPassword = "se cret \"quoted\" 'x' $(no)";

bool writeBytes(const QByteArray& path, const QByteArray& data, mode_t mode = 0644) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    const bool ok = fd >= 0 && ::write(fd, data.constData(), size_t(data.size())) == data.size();
    ::close(fd);
    return ok && ::chmod(path.constData(), mode) == 0;
}

// By bytes: a name that is not UTF-8 does not survive a QString.
QByteArray readBytes(const QByteArray& path) {
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    char buffer[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        data.append(buffer, n);
    ::close(fd);
    return fd < 0 ? QByteArray("<missing>") : data;
}

// The blank-separated words of a line, as the readers of these lines take them.
QList<QByteArray> tokens(const QByteArray& line) {
    return line.simplified().split(' ');
}

// The lines of text that contain every one of the parts.
QList<QByteArray> linesWith(const QByteArray& text, const QList<QByteArray>& parts) {
    QList<QByteArray> found;
    for (const QByteArray& line : text.split('\n'))
        if (std::all_of(parts.begin(), parts.end(), [&](const QByteArray& p) { return line.contains(p); }))
            found << line;
    return found;
}

// Processes whose command line holds the text (rsync carries the unique password-file path).
int processesWith(const QByteArray& text) {
    int count = 0;
    for (const QString& pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        QFile f("/proc/" + pid + "/cmdline");
        count += f.open(QIODevice::ReadOnly) && f.readAll().contains(text);
    }
    return count;
}

class PrivateRsync : public RequiringTest {
  protected:
    QString requirements() override { return Appliance::skipReason(); }
    void prepare() override {
        ASSERT_TRUE(appliance.addUser("alice", kPassword));
        QString why;
        ASSERT_TRUE(appliance.start(&why)) << why.toStdString();
        ::chmod(QFile::encodeName(work.path()).constData(), 0755);
        ASSERT_TRUE(writeBytes(QFile::encodeName(passwordFile), kPassword.toUtf8(), 0600));
        ASSERT_EQ(::mkdir(source.constData(), 0755), 0);
    }
    QString remote(const QString& path) const {
        return "alice@" + appliance.address() + "::\"" + path + u'"';
    }
    // The daemon's private-copy form of a backup set; the list file holds the paths joined by line feeds.
    int backup(const QList<QByteArray>& paths, bool quotedPassword, QByteArray* out, QByteArray* err) {
        const QString list = work.filePath("Source A");
        if (!writeBytes(QFile::encodeName(list), paths.toList().join('\n')))
            return -1;
        return ChildProcess::run(
            {kAdapter, "--progress", "--dirs", "--recursive", "-v",
             QString(quotedPassword ? "--password-file=\"%1\"" : "--password-file=%1").arg(passwordFile),
             "--files-from=" + list, "/", remote("backup/alice/Mac")},
            out, err);
    }
    QByteArray onAppliance(const QByteArray& path) const {
        return QFile::encodeName(appliance.modulePath()) + "/alice/Mac" + path;
    }

    Appliance appliance;
    QTemporaryDir work;
    QString passwordFile = work.filePath("pass word \"file\"");
    QByteArray source = QFile::encodeName(work.filePath("src dir"));
};

} // namespace

TEST_F(PrivateRsync, BackupReportsNewFilesAsFullChangedOnesAsIncrementalAndFailedOnesTagged) {
    // Names the shell or a line-based list would break; one is not UTF-8.
    const QList<QByteArray> names = {"plain.txt",          "with blank.txt", "quo\"te's.txt",
                                     "$(touch pwned).txt", "caf\xe9.txt",    "cr\rname.txt"};
    QList<QByteArray> paths;
    const auto cleanup = qScopeGuard([&] { // a name that is not UTF-8 is beyond QTemporaryDir
        ::unlink(paths.value(4).constData());
        ::unlink(onAppliance(paths.value(4)).constData());
    });
    for (const QByteArray& n : names) {
        paths << source + '/' + n;
        ASSERT_TRUE(writeBytes(paths.last(), "content of " + n + '\n'));
    }
    // A file gone between the watch and the run, and one whose place on the appliance a folder holds.
    const QByteArray gone = source + "/gone away.txt", blocked = source + "/in the way";
    ASSERT_TRUE(writeBytes(blocked, "file"));
    ASSERT_TRUE(appliance.putFile("alice/Mac" + QFile::decodeName(blocked) + "/inner", "x"));
    QByteArray out, err;
    EXPECT_EQ(backup(paths + QList<QByteArray>{gone, blocked}, false, &out, &err), 23) << err.constData();
    EXPECT_TRUE(out.startsWith("8 files to consider\n")) << out.constData();
    for (const QByteArray& n : names) {
        const QByteArray shown = n == "cr\rname.txt" ? "cr\\#015name.txt" : n; // as rsync prints it
        const QList<QByteArray> lines = linesWith(out, {"[Full Backup]" + source.mid(1) + '/' + shown});
        ASSERT_EQ(lines.size(), 1) << n.constData() << "\n" << out.constData();
        EXPECT_EQ(tokens(lines[0])[2], QByteArray::number(12 + n.size()));
        EXPECT_EQ(tokens(lines[0])[4], "100%");
        EXPECT_EQ(readBytes(onAppliance(source + '/' + n)), "content of " + n + '\n');
    }
    EXPECT_FALSE(out.contains("[Incremental Backup]"));
    EXPECT_TRUE(linesWith(out, {"Backup]", blocked.mid(1)}).isEmpty()) << out.constData();
    EXPECT_FALSE(QFile::exists("pwned")) << "a name ran as a command";
    EXPECT_EQ(linesWith(err, {"IOERROR: ", "link_stat", gone}).size(), 1)
        << err.constData(); // rsync's text stays
    EXPECT_EQ(linesWith(err, {"SFERROR: ", blocked.mid(1)}).size(), 1) << err.constData();
    EXPECT_TRUE(err.contains("rsync error: some files/attrs were not transferred"));
    EXPECT_FALSE(err.contains(kPassword.toUtf8()));

    // One file changes; the second run uses the quoted password-file form of the restore callers. The
    // callers pass no --times, so other files may be sent again, but only as incremental ones.
    ASSERT_TRUE(writeBytes(paths[1], "a longer content, changed since\n"));
    out.clear();
    EXPECT_EQ(backup(paths, true, &out, &err), 0) << err.constData();
    EXPECT_FALSE(out.contains("[Full Backup]")) << out.constData();
    const QList<QByteArray> changed =
        linesWith(out, {"[Incremental Backup]" + source.mid(1) + "/with blank.txt"});
    ASSERT_EQ(changed.size(), 1) << out.constData();
    EXPECT_EQ(tokens(changed[0])[2], "32");
    EXPECT_EQ(readBytes(onAppliance(paths[1])), "a longer content, changed since\n");
}

TEST_F(PrivateRsync, RestoreFromASnapshotPrintsProgressLinesAndTakesNamesLiterally) {
    QByteArray big(2 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 7 % 251);
    ASSERT_TRUE(appliance.putFile("alice/Mac/home/Docs/report 1.txt", big));
    // Wildcard characters in a name are taken literally, not matched against the neighbour.
    ASSERT_TRUE(appliance.putFile("alice/Mac/home/Docs/a[1].txt", "bracket"));
    ASSERT_TRUE(appliance.putFile("alice/Mac/home/Docs/a1.txt", "plain"));
    ASSERT_TRUE(appliance.createSnapshot("auto-20240102.1030-2w"));

    // The restore form: quoted password file, the snapshot's path in quotes, the destination last.
    const QString dest = work.filePath("Down \"loads\" $(x)");
    ASSERT_TRUE(QDir().mkpath(dest));
    QByteArray out, err;
    const auto restore = [&](const QString& path) {
        return ChildProcess::run({kAdapter, "--progress", "--recursive",
                                  "--password-file=\"" + passwordFile + u'"', remote(path), dest},
                                 &out, &err);
    };
    ASSERT_EQ(restore("backup/.zfs/snapshot/auto-20240102.1030-2w/alice/Mac/home/Docs"), 0)
        << err.constData();
    bool complete = false;
    for (const QByteArray& l : linesWith(out, {"Docs/report 1.txt"})) {
        // What the restore window shows: the fifth token, and the text after the seventh.
        const auto t = tokens(l);
        ASSERT_GE(t.size(), 7) << l.constData();
        EXPECT_TRUE(t[4].endsWith('%') && !t[4].startsWith('.')) << l.constData();
        EXPECT_EQ(l.mid(l.indexOf(t[6]) + t[6].size()).trimmed(), "Docs/report 1.txt");
        complete = complete || t[4] == "100%";
    }
    EXPECT_TRUE(complete) << out.constData();
    EXPECT_EQ(readBytes(QFile::encodeName(dest) + "/Docs/report 1.txt"), big);
    ASSERT_EQ(restore("backup/alice/Mac/home/Docs/a[1].txt"), 0) << err.constData();
    EXPECT_EQ(readBytes(QFile::encodeName(dest) + "/a[1].txt"), "bracket");
    EXPECT_FALSE(QFile::exists(dest + "/a1.txt"));
}

TEST_F(PrivateRsync, BadCommandLinesAndListsRunNothingAndAKilledAdapterLeavesNoRsync) {
    QByteArray out, err;
    EXPECT_EQ(ChildProcess::run({kAdapter, "--progress"}, &out, &err), 1); // rsync's code for a syntax error
    EXPECT_TRUE(err.contains("no source")) << err.constData();
    EXPECT_EQ(ChildProcess::run({kAdapter, "/", remote("backup/"), "--password-file"}, &out, &err), 1);
    EXPECT_TRUE(err.contains("--password-file")) << err.constData();
    EXPECT_EQ(
        ChildProcess::run({kAdapter, "--files-from=" + work.filePath("no such list"), "/", remote("backup/")},
                          &out, &err),
        11);
    EXPECT_TRUE(err.contains("cannot read the file list") && out.isEmpty()) << err.constData();

    // A slow transfer, so that it is surely under way when the adapter is ended.
    ASSERT_TRUE(appliance.putFile("alice/big", QByteArray(4 * 1024 * 1024, 'b')));
    const QByteArray mark = QFile::encodeName(passwordFile);
    for (int signal : {SIGTERM, SIGKILL}) {
        const pid_t pid =
            ChildProcess::spawn({kAdapter, "--recursive", "--bwlimit=64", "--password-file=" + passwordFile,
                                 remote("backup/alice/big"), work.path()});
        ASSERT_TRUE(ChildProcess::pollUntil([&] { return processesWith(mark) >= 2; }, 10000))
            << "rsync did not start";
        ASSERT_EQ(::kill(pid, signal), 0);
        EXPECT_TRUE(ChildProcess::pollUntil([&] { return processesWith(mark) == 0; }, 10000))
            << "rsync still runs after signal " << signal;
        ChildProcess::terminate(pid, 1000);
    }
}

// The callers ask the adapter which rsync it runs (to pass only what that rsync knows), and the
// daemon's runs give the password in the environment, with --times for the files' own times.
TEST_F(PrivateRsync, AnswersForTheRsyncItRunsAndTakesThePasswordAndTheTimesTheDaemonGives) {
    QByteArray out, err, own;
    EXPECT_EQ(ChildProcess::run({kAdapter, "--version"}, &out, &err), 0) << err.constData();
    ASSERT_EQ(ChildProcess::run({"/usr/bin/rsync", "--version"}, &own), 0);
    EXPECT_TRUE(out.startsWith("rsync  version ")) << out.constData();
    EXPECT_EQ(out, own);

    const QByteArray file = source + "/dated.txt";
    ASSERT_TRUE(writeBytes(file, "dated"));
    const timespec when[2] = {{1'300'000'000, 0}, {1'300'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.constData(), when, 0), 0);
    const QString list = work.filePath("list");
    ASSERT_TRUE(writeBytes(QFile::encodeName(list), file));
    qputenv("RSYNC_PASSWORD", kPassword.toUtf8());
    const auto unset = qScopeGuard([] { qunsetenv("RSYNC_PASSWORD"); });
    ASSERT_EQ(ChildProcess::run({kAdapter, "--progress", "--dirs", "--recursive", "-v", "--times",
                                 "--ignore-times", "--timeout=30", "--contimeout=30", "--files-from=" + list,
                                 "/", remote("backup/alice/Mac")},
                                &out, &err),
              0)
        << err.constData();
    EXPECT_EQ(linesWith(out, {"[Full Backup]", "dated.txt"}).size(), 1) << out.constData();
    struct stat copy {};
    ASSERT_EQ(::stat(onAppliance(file).constData(), &copy), 0);
    EXPECT_EQ(copy.st_mtim.tv_sec, 1'300'000'000);
}
