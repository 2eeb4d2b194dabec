#include "RsyncConventions.h"

#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "PropertyList.h"
#include "Requirements.h"
#include "RezodeLoger.h"
#include "TestRoots.h"

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

TEST(RsyncConventionsTest, RemoveOldRsyncEndsOnlyTheRsyncCarryingOurPasswordFile) {
    QTemporaryDir proc;
    const auto fake = [&](int pid, const QByteArray& cmdline) {
        QDir(proc.path()).mkpath(QString::number(pid));
        QFile f(proc.filePath(QStringLiteral("%1/cmdline").arg(pid)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(cmdline);
    };
    fake(101, QByteArray("rsync\0-av\0--password-file=/etc/passwd.secrets\0/\0u@h::x\0", 54));
    fake(102, QByteArray("/usr/bin/rsync\0--password-file=/home/x/other\0", 46));
    fake(103, QByteArray("/var/lib/ZorvikHollin/ZorvikHollinHelper/bin/"
                         "ZorvikHollin_ver_001\0--password-file=\"/etc/initialListingPasswd.secrets\"\0",
                         118));
    fake(104, QByteArray("/bin/bash\0-c\0rsync --password-file=\"/etc/passwd.secrets\"\0", 57));
    fake(105, QByteArray("sleep\0--password-file=/etc/passwd.secrets\0", 42));
    QDir(proc.path()).mkpath("self");
    EXPECT_EQ(RsyncConventions::strayRsyncProcesses(
                  {"/etc/passwd.secrets", "/etc/initialListingPasswd.secrets"}, proc.path()),
              (QList<pid_t>{101, 103}));

    TempRoot root;
    FilePathsController paths(FilePathsController::Table::Daemon, root.profile());
    QDir().mkpath(root.profile().root + "/etc");
    const QString ours = paths.pathForApplicationFile(DaemonPath::BackupPasswordFile);
    const QString theirs = root.path() + "/theirs.secrets";
    const QString password = "p a\"s's $(w)\u00e9";
    ASSERT_TRUE(
        RsyncConventions::writePasswordFile(ours, password, RsyncConventions::DaemonPasswordFileMode));
    EXPECT_EQ(readTrace(ours), password); // exactly the password, nothing after it
    const QFileDevice::Permissions mode = QFileInfo(ours).permissions(); // nobody else can read it
    EXPECT_FALSE(mode.testFlag(QFileDevice::ReadGroup) || mode.testFlag(QFileDevice::ReadOther));
    RsyncConventions::writePasswordFile(theirs, "x", 0600);
    // A listener that never greets keeps both rsync clients waiting.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::listen(fd, 8);
    const auto client = [&](const QString& pw) {
        return ChildProcess::spawn({"rsync", "--port=" + QString::number(ntohs(sa.sin_port)),
                                    "--password-file=" + pw, "--list-only", "u@127.0.0.1::backup/"});
    };
    const pid_t mine = client(ours), other = client(theirs);
    ASSERT_TRUE(
        waitUntil([&] { return RsyncConventions::strayRsyncProcesses({ours}).contains(mine); }, 5000));
    RezodeLoger trace;
    trace.setLogWritePath(root.path() + "/trace.txt");
    RsyncConventions::removeOldrsyncExes(paths, trace);
    EXPECT_TRUE(waitUntil([&] { return !ChildProcess::isAlive(mine); }, 5000));
    EXPECT_TRUE(ChildProcess::isAlive(other));
    ChildProcess::terminate(other);
    ::close(fd);
    EXPECT_TRUE(readTrace(root.path() + "/trace.txt").contains(" : removeOldrsyncExes called \n"));
}
