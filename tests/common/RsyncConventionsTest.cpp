#include "RsyncConventions.h"

#include "Appliance.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "PropertyList.h"
#include "RezodeLoger.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using Form = RsyncConventions::RemoteForm;
using Launch = RsyncConventions::Launch;

namespace {

const QString kInjection = QStringLiteral("a\";touch /tmp/zh-injected;\"");

// What bash makes of a command line: its words, one per line, NUL-separated.
QStringList shellWords(const QString& commandLine) {
    QByteArray out;
    ChildProcess::run(
        {QStringLiteral("/bin/bash"), QStringLiteral("-c"), QStringLiteral("printf '%s\\0' ") + commandLine},
        &out);
    QStringList words;
    for (const QByteArray& w : out.split('\0'))
        words << QString::fromUtf8(w);
    words.removeLast();
    return words;
}

} // namespace

TEST(RsyncConventionsTest, RemotePathFormsAsWritten) {
    const QStringList ua{QStringLiteral("ann"), QStringLiteral("10.0.0.5"), QStringLiteral("ann")};
    EXPECT_EQ(RsyncConventions::remotePath(Form::LoginCheck, ua, Launch::Direct),
              "ann@10.0.0.5::backup/ann/");
    EXPECT_EQ(RsyncConventions::remotePath(Form::UserArea, ua, Launch::Direct),
              "ann@10.0.0.5::\"backup/ann/\"");
    EXPECT_EQ(RsyncConventions::remotePath(Form::UserItem, ua + QStringList{"Mac"}, Launch::Direct),
              "ann@10.0.0.5::\"backup/ann/Mac\"");
    EXPECT_EQ(RsyncConventions::remotePath(Form::UserFolder, ua + QStringList{"Mac/home"}, Launch::Direct),
              "ann@10.0.0.5::\"backup/ann/Mac/home/\"");
    EXPECT_EQ(RsyncConventions::remotePath(Form::UserItemPlain, ua + QStringList{"Mac/a"}, Launch::Direct),
              "ann@10.0.0.5::backup/ann/Mac/a");
    const QStringList u2{QStringLiteral("ann"), QStringLiteral("10.0.0.5")};
    EXPECT_EQ(RsyncConventions::remotePath(Form::SnapshotList, u2, Launch::Direct),
              "ann@10.0.0.5::backup/.zfs/snapshot/");
    EXPECT_EQ(RsyncConventions::remotePath(Form::SnapshotItem, u2 + QStringList{"s1/ann/x"}, Launch::Direct),
              "ann@10.0.0.5::\"backup/.zfs/snapshot/s1/ann/x\"");
    EXPECT_EQ(
        RsyncConventions::remotePath(Form::SnapshotFolder, u2 + QStringList{"s1", "ann/Mac"}, Launch::Direct),
        "ann@10.0.0.5::\"backup/.zfs/snapshot/s1/ann/Mac/\"");
    EXPECT_EQ(
        RsyncConventions::remotePath(Form::SnapshotCheck, u2 + QStringList{"s1", "ann/Mac"}, Launch::Direct),
        "ann@10.0.0.5::backup/.zfs/snapshot/s1/ann/Mac/");
    // Plain values need no escaping through the shell either.
    EXPECT_EQ(RsyncConventions::remotePath(Form::UserArea, ua, Launch::Shell),
              "ann@10.0.0.5::\"backup/ann/\"");
}

TEST(RsyncConventionsTest, ShellFormsKeepOutsideValuesInsideTheirWord) {
    QFile::remove(QStringLiteral("/tmp/zh-injected"));
    const QStringList hostile{kInjection, QStringLiteral("10.0.0.5;id"), kInjection,
                              QStringLiteral("My $(touch /tmp/zh-injected) `id` \\ \"Docs\"")};
    for (Form form : {Form::LoginCheck, Form::UserArea, Form::UserItem, Form::UserFolder, Form::UserItemPlain,
                      Form::SnapshotList, Form::SnapshotItem, Form::SnapshotFolder, Form::SnapshotCheck}) {
        const QStringList words = shellWords(RsyncConventions::remotePath(form, hostile, Launch::Shell));
        ASSERT_EQ(words.size(), 1) << int(form);
        // After the shell, rsync sees the direct form without the grouping quotes.
        QString expected = RsyncConventions::remotePath(form, hostile, Launch::Direct);
        const int sep = expected.indexOf(QStringLiteral("::"));
        QString module = expected.mid(sep + 2);
        if (module.startsWith(u'"') && module.endsWith(u'"'))
            module = module.mid(1, module.size() - 2);
        EXPECT_EQ(words.first(), expected.left(sep + 2) + module) << int(form);
    }
    EXPECT_FALSE(QFile::exists(QStringLiteral("/tmp/zh-injected")));
}

TEST(RsyncConventionsTest, SystemAndPrivateCommandLines) {
    const QStringList options{QStringLiteral("-av"), QStringLiteral("--progress")};
    const auto system = RsyncConventions::command(
        true, QStringLiteral("/priv/ZorvikHollin_ver_001"), options, QStringLiteral("/etc/passwd.secrets"),
        QStringLiteral("/var/x/File"), QStringLiteral("/"), QStringLiteral("u@h::\"backup/u/M\""));
    EXPECT_EQ(system.program, "/bin/bash");
    ASSERT_EQ(system.arguments.size(), 2);
    EXPECT_EQ(system.arguments[0], "-c");
    EXPECT_EQ(system.arguments[1], "rsync -av --progress --password-file=\"/etc/passwd.secrets\" "
                                   "--files-from=\"/var/x/File\" / u@h::\"backup/u/M\"");

    const auto priv = RsyncConventions::command(
        false, QStringLiteral("/priv/ZorvikHollin_ver_001"), options, QStringLiteral("/etc/passwd.secrets"),
        QStringLiteral("/var/x/File"), QStringLiteral("/"), QStringLiteral("u@h::\"backup/u/M\""));
    EXPECT_EQ(priv.program, "/priv/ZorvikHollin_ver_001");
    EXPECT_EQ(priv.arguments, (QStringList{"-av", "--progress", "--password-file=/etc/passwd.secrets",
                                           "--files-from=/var/x/File", "/", "u@h::\"backup/u/M\""}));
    const auto restore = RsyncConventions::command(false, QStringLiteral("/p"), {}, QStringLiteral("/h/.etc"),
                                                   QString(), QString(), QStringLiteral("r"), true);
    EXPECT_EQ(restore.arguments, (QStringList{"--password-file=\"/h/.etc\"", "r"}));
}

TEST(RsyncConventionsTest, PathsWithBlanksAndQuotesStayOneShellWord) {
    const auto cmd = RsyncConventions::command(
        true, QString(), {QStringLiteral("-a")}, QStringLiteral("/tmp/my \"pw\" $(id).txt"),
        QStringLiteral("/tmp/list `x`"), QStringLiteral("/"), QStringLiteral("u@h::x"));
    const QStringList words = shellWords(cmd.arguments[1].mid(QStringLiteral("rsync ").size()));
    EXPECT_EQ(words, (QStringList{"-a", "--password-file=/tmp/my \"pw\" $(id).txt",
                                  "--files-from=/tmp/list `x`", "/", "u@h::x"}));
}

TEST(RsyncConventionsTest, PasswordFileHoldsExactlyThePasswordOwnerOnly) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("passwd.secrets"));
    const QString password = QStringLiteral("p a\"s's $(w)\u00e9");
    ASSERT_TRUE(
        RsyncConventions::writePasswordFile(path, password, RsyncConventions::DaemonPasswordFileMode));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), password.toUtf8());
    struct stat st {};
    ::stat(QFile::encodeName(path).constData(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0611u);
    EXPECT_EQ(st.st_mode & 0044, 0u); // nobody else can read it
}

TEST(RsyncConventionsTest, VersionDetection) {
    EXPECT_TRUE(RsyncConventions::isBuiltinRsyncBanner("rsync  version 2.6.9  protocol version 29\n"));
    EXPECT_FALSE(RsyncConventions::isBuiltinRsyncBanner("rsync  version 3.2.7  protocol version 31\n"));
    EXPECT_FALSE(RsyncConventions::isBuiltinRsyncBanner("rsync version 2.6.9"));
    EXPECT_FALSE(RsyncConventions::isBuiltinRsyncBanner(""));

    QTemporaryDir dir;
    const QString plist = dir.filePath(QStringLiteral("RsyncVersion.plist"));
    const QString scratch = dir.filePath(QStringLiteral("rsyncVersion"));
    EXPECT_FALSE(RsyncConventions::isDefaultRsync(plist));       // missing counts as "0"
    EXPECT_FALSE(RsyncConventions::detectRsync(scratch, plist)); // Debian's rsync is not 2.6.9
    EXPECT_FALSE(QFile::exists(scratch));
    EXPECT_EQ(PropertyList::readDictionary(plist).value(QStringLiteral("DefaultRsync")).toString(), "0");
    PropertyList::writeDictionary(plist, {{QStringLiteral("DefaultRsync"), QStringLiteral("1")}},
                                  PropertyList::PublicMode);
    EXPECT_TRUE(RsyncConventions::isDefaultRsync(plist));
}

TEST(RsyncConventionsTest, StrayProcessesAreOnlyOurs) {
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
    QDir(proc.path()).mkpath(QStringLiteral("self"));
    const QList<pid_t> found = RsyncConventions::strayRsyncProcesses(
        {QStringLiteral("/etc/passwd.secrets"), QStringLiteral("/etc/initialListingPasswd.secrets")},
        proc.path());
    EXPECT_EQ(found, (QList<pid_t>{101, 103}));
}

TEST(RsyncConventionsTest, RemoveOldRsyncEndsOnlyTheRsyncCarryingOurPasswordFile) {
    TempRoot root;
    FilePathsController paths(FilePathsController::Table::Daemon, root.profile());
    QDir().mkpath(root.profile().root + QStringLiteral("/etc"));
    const QString ours = paths.pathForApplicationFile(DaemonPath::BackupPasswordFile);
    const QString theirs = root.path() + QStringLiteral("/theirs.secrets");
    RsyncConventions::writePasswordFile(ours, QStringLiteral("x"), 0600);
    RsyncConventions::writePasswordFile(theirs, QStringLiteral("x"), 0600);

    // A listener that never greets keeps both rsync clients waiting.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::listen(fd, 8);
    const QString port = QString::number(ntohs(sa.sin_port));
    const auto client = [&](const QString& pw) {
        return ChildProcess::spawn({QStringLiteral("rsync"), QStringLiteral("--port=") + port,
                                    QStringLiteral("--password-file=") + pw, QStringLiteral("--list-only"),
                                    QStringLiteral("u@127.0.0.1::backup/")});
    };
    const pid_t mine = client(ours);
    const pid_t other = client(theirs);
    ASSERT_TRUE(
        waitUntil([&] { return RsyncConventions::strayRsyncProcesses({ours}).contains(mine); }, 5000));

    RezodeLoger trace;
    trace.setLogWritePath(root.path() + QStringLiteral("/trace.txt"));
    RsyncConventions::removeOldrsyncExes(paths, trace);
    EXPECT_TRUE(waitUntil([&] { return !ChildProcess::isAlive(mine); }, 5000));
    EXPECT_TRUE(ChildProcess::isAlive(other));
    ChildProcess::terminate(other);
    ::close(fd);
    QFile t(root.path() + QStringLiteral("/trace.txt"));
    t.open(QIODevice::ReadOnly);
    EXPECT_TRUE(t.readAll().contains(" : removeOldrsyncExes called \n"));
}

namespace {

// An appliance account and one document to send: its set list and the password file beside it.
struct OneDocumentBackup {
    Appliance appliance;
    QTemporaryDir dir;
    QString user = QStringLiteral("ann");
    QString password = QStringLiteral("pass with blanks \"and\" 'quotes'");
    QString doc, list, passwordFile;

    bool prepare(const QString& docName, const QString& listName, const QString& passwordName) {
        appliance.addUser(user, password);
        if (!appliance.start())
            return false;
        doc = dir.filePath(docName);
        list = dir.filePath(listName);
        passwordFile = dir.filePath(passwordName);
        QFile f(doc);
        QFile l(list);
        if (!f.open(QIODevice::WriteOnly) || !l.open(QIODevice::WriteOnly))
            return false;
        f.write("content");
        l.write(doc.toUtf8());
        return RsyncConventions::writePasswordFile(passwordFile, password,
                                                   RsyncConventions::DaemonPasswordFileMode);
    }
    QStringList values() const { return {user, appliance.address(), user, QStringLiteral("Mac")}; }
    bool onAppliance() const {
        return QFile::exists(appliance.modulePath() + QStringLiteral("/ann/Mac") + doc);
    }
    static int run(const RsyncConventions::Command& command, QByteArray* out, QByteArray* err) {
        return ChildProcess::run(QStringList{command.program} + command.arguments, out, err);
    }
};

} // namespace

TEST(RsyncConventionsTest, ShellFormBackupAndListingAgainstTheAppliance) {
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    OneDocumentBackup b;
    ASSERT_TRUE(b.prepare(QStringLiteral("My \"Doc\" $(x).txt"), QStringLiteral("set list"),
                          QStringLiteral("pass word")));
    QByteArray out, err;
    const auto backup = RsyncConventions::command(
        true, QString(), {QStringLiteral("-a"), QStringLiteral("-R")}, b.passwordFile, b.list,
        QStringLiteral("/"), RsyncConventions::remotePath(Form::UserItem, b.values(), Launch::Shell));
    ASSERT_EQ(b.run(backup, &out, &err), 0) << err.toStdString();
    EXPECT_TRUE(b.onAppliance());

    const auto listing = RsyncConventions::command(
        true, QString(), {QStringLiteral("--list-only"), QStringLiteral("-r")}, b.passwordFile, QString(),
        QString(), RsyncConventions::remotePath(Form::UserArea, b.values(), Launch::Shell));
    ASSERT_EQ(b.run(listing, &out, &err), 0) << err.toStdString();
    EXPECT_TRUE(out.contains("My \"Doc\" $(x).txt")) << out.toStdString();
}

TEST(RsyncConventionsTest, PrivateCopyFormBackupAndListingThroughTheAdapter) {
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    OneDocumentBackup b;
    ASSERT_TRUE(b.prepare(QStringLiteral("Letter 'to' \"Anna\".txt"), QStringLiteral("File"),
                          QStringLiteral("passwd.secrets")));
    QByteArray out, err;
    const auto backup = RsyncConventions::command(
        false, QStringLiteral(ZH_PRIVATE_RSYNC), {QStringLiteral("-a")}, b.passwordFile, b.list,
        QStringLiteral("/"), RsyncConventions::remotePath(Form::UserItem, b.values(), Launch::Direct));
    ASSERT_EQ(b.run(backup, &out, &err), 0) << err.toStdString();
    EXPECT_TRUE(out.contains("1 files to consider")) << out.toStdString();
    EXPECT_TRUE(out.contains("[Full Backup]")) << out.toStdString();
    EXPECT_TRUE(b.onAppliance());

    const auto listing = RsyncConventions::command(
        false, QStringLiteral(ZH_PRIVATE_RSYNC), {QStringLiteral("--list-only"), QStringLiteral("-r")},
        b.passwordFile, QString(), QString(),
        RsyncConventions::remotePath(Form::UserArea, b.values(), Launch::Direct));
    ASSERT_EQ(b.run(listing, &out, &err), 0) << err.toStdString();
    EXPECT_TRUE(out.contains("Letter 'to' \"Anna\".txt")) << out.toStdString();
}

TEST(RsyncConventionsTest, VersionProbeScratchPathCannotRunAnything) {
    QTemporaryDir dir;
    const QString marker = dir.filePath(QStringLiteral("injected"));
    const QString scratch =
        dir.filePath(QStringLiteral("rsync\"Version $(touch %1) `touch %1`';touch %1;'").arg(marker));
    const QString plist = dir.filePath(QStringLiteral("RsyncVersion.plist"));
    RsyncConventions::detectRsync(scratch, plist);
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_FALSE(QFile::exists(scratch)); // read and removed
    EXPECT_EQ(PropertyList::readDictionary(plist).value(QStringLiteral("DefaultRsync")).toString(), "0");
}
