#include "RsyncConventions.h"

#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "PropertyList.h"
#include "Requirements.h"
#include "RezodeLoger.h"
#include "TestRoots.h"
#include "ThreadCapability.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using Form = RsyncConventions::RemoteForm;
using Launch = RsyncConventions::Launch;

namespace {

// What bash makes of a command line: its words.
QStringList shellWords(const QString& commandLine) {
    QByteArray out;
    ChildProcess::run({"/bin/bash", "-c", "printf '%s\\0' " + commandLine}, &out);
    QStringList words;
    for (const QByteArray& w : out.split('\0'))
        words << QString::fromUtf8(w);
    words.removeLast();
    return words;
}

} // namespace

TEST(RsyncConventionsTest, OutsideValuesStayInsideTheirShellWord) {
    QTemporaryDir dir;
    const QString marker = dir.filePath("injected");
    const QString injection = QStringLiteral("a\";touch %1;\"").arg(marker);
    const QStringList hostile{injection, "10.0.0.5;id", injection,
                              QStringLiteral("My $(touch %1) `id` \\ \"Docs\"").arg(marker)};
    for (Form form : {Form::LoginCheck, Form::UserArea, Form::UserItem, Form::UserFolder, Form::UserItemPlain,
                      Form::SnapshotList, Form::SnapshotItem, Form::SnapshotFolder, Form::SnapshotCheck}) {
        const QStringList words = shellWords(RsyncConventions::remotePath(form, hostile, Launch::Shell));
        // After the shell, rsync sees the direct form without the grouping quotes.
        QString expected = RsyncConventions::remotePath(form, hostile, Launch::Direct);
        const qsizetype sep = expected.indexOf("::") + 2;
        if (expected.endsWith(u'"') && expected.at(sep) == u'"')
            expected = expected.left(sep) + expected.mid(sep + 1).chopped(1);
        EXPECT_EQ(words, QStringList{expected}) << int(form);
    }
    const auto command = RsyncConventions::command(true, QString(), {"-a"}, "/tmp/my \"pw\" $(id).txt",
                                                   "/tmp/list `x`", "/", "u@h::x");
    EXPECT_EQ(shellWords(command.arguments[1].mid(QStringLiteral("rsync ").size())),
              (QStringList{"-a", "--password-file=/tmp/my \"pw\" $(id).txt", "--files-from=/tmp/list `x`",
                           "/", "u@h::x"}));
    // The version probe's scratch file: read and removed, never run. Debian's rsync is not 2.6.9.
    const QString scratch =
        dir.filePath(QStringLiteral("rsync\"Version $(touch %1) `touch %1`';touch %1;'").arg(marker));
    const QString plist = dir.filePath("RsyncVersion.plist");
    EXPECT_FALSE(RsyncConventions::isDefaultRsync(plist)); // missing counts as "0"
    EXPECT_FALSE(RsyncConventions::detectRsync(scratch, plist));
    EXPECT_FALSE(QFile::exists(scratch));
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_EQ(PropertyList::readDictionary(plist).value("DefaultRsync"), "0");
    PropertyList::writeDictionary(plist, {{"DefaultRsync", "1"}}, PropertyList::PublicMode);
    EXPECT_TRUE(RsyncConventions::isDefaultRsync(plist));
    EXPECT_TRUE(RsyncConventions::isBuiltinRsyncBanner("rsync  version 2.6.9  protocol version 29\n"));
    EXPECT_FALSE(RsyncConventions::isBuiltinRsyncBanner("rsync  version 3.2.7  protocol version 31\n"));
    EXPECT_FALSE(RsyncConventions::isBuiltinRsyncBanner("rsync version 2.6.9"));
}

TEST(RsyncConventionsTest, RemoveOldRsyncEndsOnlyTheRsyncsCarryingThisInstallationsMark) {
    // The mark is in the environment; the program must be rsync or the private copy.
    QTemporaryDir proc;
    const auto fake = [&](int pid, const QByteArray& cmdline, const QByteArray& environ) {
        const QString folder = proc.filePath(QString::number(pid));
        QDir().mkpath(folder);
        const auto write = [&](const char* name, const QByteArray& data) {
            QFile f(folder + u'/' + QLatin1String(name));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(data);
        };
        write("cmdline", cmdline);
        write("environ", environ);
        write("status", QByteArray("Name:\trsync\nUid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n"));
    };
    const QByteArray ours("PATH=/bin\0ZORVIK_HOLLIN_WATCHER_RUN=/var/lib/ZorvikHollin\0", 57);
    fake(101, QByteArray("rsync\0-av\0/\0u@h::x\0", 20), ours);
    fake(102, QByteArray("/usr/bin/rsync\0--password-file=/etc/passwd.secrets\0", 52), "PATH=/bin");
    fake(103, QByteArray("/var/lib/ZorvikHollin/ZorvikHollinHelper/bin/ZorvikHollin_ver_001\0-v\0", 70),
         ours);
    fake(104, QByteArray("/usr/bin/rsync\0", 15),
         QByteArray("ZORVIK_HOLLIN_WATCHER_RUN=/tmp/other root/var/lib/ZorvikHollin\0", 63));
    fake(105, QByteArray("sleep\0", 6), ours);
    QDir(proc.path()).mkpath("self");
    EXPECT_EQ(RsyncConventions::markedRsyncProcesses("/var/lib/ZorvikHollin", proc.path()),
              (QList<pid_t>{101, 103}));
    EXPECT_EQ(RsyncConventions::markedRsyncProcesses(QString(), proc.path()), QList<pid_t>{});
    // The application's runs are found by its own password file.
    EXPECT_EQ(RsyncConventions::strayRsyncProcesses({"/etc/passwd.secrets"}, proc.path()), QList<pid_t>{102});

    // Real rsync clients, left waiting by a listener that never greets, as the person at the screen
    // when root runs this (whose environment root reads with that person's rights only: the daemon's
    // unit gives it no CAP_SYS_PTRACE).
    TempRoot root;
    FilePathsController paths(FilePathsController::Table::Daemon, root.profile());
    const QString mark = paths.pathForApplicationFile(DaemonPath::SystemSupportFolder);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::listen(fd, 8);
    QStringList asPerson;
    if (::geteuid() == 0) {
        QString why;
        const FixtureUser user = FixtureUser::get(&why);
        ASSERT_TRUE(why.isEmpty()) << why.toStdString();
        asPerson = {"setpriv", "--reuid=" + QString::number(user.uid), "--regid=" + QString::number(user.gid),
                    "--clear-groups"};
    }
    const auto client = [&](const QString& markValue) {
        QStringList argv = asPerson;
        argv << "env";
        if (!markValue.isEmpty())
            argv << QStringLiteral("ZORVIK_HOLLIN_WATCHER_RUN=") + markValue;
        argv << "RSYNC_PASSWORD=x"
             << "rsync"
             << "--port=" + QString::number(ntohs(sa.sin_port)) << "--list-only"
             << "u@127.0.0.1::backup/";
        return ChildProcess::spawn(argv);
    };
    const pid_t mine = client(mark), another = client(mark + "/elsewhere"), unmarked = client(QString());
    {
        WithoutCapability noTracing(CAP_SYS_PTRACE);
        ASSERT_TRUE(
            waitUntil([&] { return RsyncConventions::markedRsyncProcesses(mark).contains(mine); }, 5000));
        RezodeLoger trace;
        trace.setLogWritePath(root.path() + "/trace.txt");
        RsyncConventions::removeOldrsyncExes(paths, trace);
    }
    EXPECT_TRUE(waitUntil([&] { return !ChildProcess::isAlive(mine); }, 5000));
    EXPECT_TRUE(ChildProcess::isAlive(another));
    EXPECT_TRUE(ChildProcess::isAlive(unmarked));
    ChildProcess::terminate(another);
    ChildProcess::terminate(unmarked);
    ::close(fd);
    EXPECT_TRUE(readTrace(root.path() + "/trace.txt").contains(" : removeOldrsyncExes called \n"));
}

TEST(RsyncConventionsTest, PasswordFilesOfAnEarlierVersionAreRemovedWithATraceLine) {
    TempRoot root;
    const PlatformProfile& profile = root.profile();
    QDir().mkpath(root.path() + "/etc");
    ASSERT_TRUE(RsyncConventions::writePasswordFile(profile.backupPasswordFile, "hunter2 old", 0611));
    ASSERT_TRUE(RsyncConventions::writePasswordFile(profile.listingPasswordFile, "hunter2 old", 0611));
    RezodeLoger trace;
    trace.setLogWritePath(root.path() + "/trace.txt");
    RsyncConventions::removeLegacyPasswordFiles(profile, trace);
    EXPECT_FALSE(QFileInfo::exists(profile.backupPasswordFile));
    EXPECT_FALSE(QFileInfo::exists(profile.listingPasswordFile));
    RsyncConventions::removeLegacyPasswordFiles(profile, trace); // nothing left: nothing said
    const QString text = readTrace(root.path() + "/trace.txt");
    EXPECT_EQ(text.count("a password file of an earlier version"), 2);
    EXPECT_TRUE(text.contains("Removed " + profile.backupPasswordFile));
    EXPECT_TRUE(text.contains("Removed " + profile.listingPasswordFile));
    EXPECT_FALSE(text.contains("hunter2"));
}

TEST(RsyncConventionsTest, CommandLinesAskOnlyWhatTheChosenRsyncKnows) {
    using Dialect = RsyncConventions::Dialect;
    const Dialect old = RsyncConventions::dialectOfBanner("rsync  version 2.6.9  protocol version 29\n");
    EXPECT_EQ(old.text(), "2.6.9");
    EXPECT_FALSE(old.connectTimeout());
    EXPECT_TRUE(old.noMotd());
    const Dialect debian =
        RsyncConventions::dialectOfBanner("rsync  version 3.2.7  protocol version 31\nCopy");
    EXPECT_EQ(debian.text(), "3.2.7");
    EXPECT_TRUE(debian.connectTimeout());
    EXPECT_EQ(RsyncConventions::dialectOfBanner("rsync  version v3.0.0  protocol version 30").text(),
              "3.0.0");
    EXPECT_FALSE(
        RsyncConventions::dialectOfBanner("rsync  version 2.9.9  protocol version 29").connectTimeout());
    // What cannot be read is taken for the oldest rsync.
    for (const QByteArray& banner : {QByteArray(), QByteArray("bash: rsync: command not found"),
                                     QByteArray("openrsync: protocol version 29")})
        EXPECT_EQ(RsyncConventions::dialectOfBanner(banner).text(), "2.6.9") << banner.constData();

    using namespace std::chrono_literals;
    EXPECT_EQ(RsyncConventions::stallOptions(old, 120s), QStringList{"--timeout=120"});
    EXPECT_EQ(RsyncConventions::stallOptions(debian, 1500ms), (QStringList{"--timeout=2", "--contimeout=2"}));
    EXPECT_EQ(RsyncConventions::stallOptions(debian, 0ms), (QStringList{"--timeout=1", "--contimeout=1"}));

    // The daemon's runs name no password file: the password travels in the environment.
    const auto direct = RsyncConventions::command(false, "/p/rsync", {"-v"}, QString(), "-", "/", "u@h::x");
    EXPECT_EQ(direct.arguments, (QStringList{"-v", "--files-from=-", "/", "u@h::x"}));
    const auto shell =
        RsyncConventions::command(true, QString(), {"-v"}, QString(), QString(), QString(), "u@h::x");
    EXPECT_EQ(shell.arguments.value(1), "rsync -v u@h::x");
    EXPECT_EQ(RsyncConventions::daemonRunEnvironment("p w", "/var/lib/ZorvikHollin"),
              (QMap<QString, QString>{{"RSYNC_PASSWORD", "p w"},
                                      {"ZORVIK_HOLLIN_WATCHER_RUN", "/var/lib/ZorvikHollin"}}));

    // The private copy answers for the rsync below it; this machine's is not 2.6.9.
    EXPECT_TRUE(RsyncConventions::dialect(false, ZH_TEST_PRIVATE_RSYNC).connectTimeout());
    EXPECT_TRUE(RsyncConventions::dialect(true, QString()).connectTimeout());
    // A program that gives no banner counts as the oldest.
    EXPECT_FALSE(RsyncConventions::dialect(false, "/bin/true").connectTimeout());
}
