// What the file managers' entries ask of the application: each item checked as a drop on a window is
// (odd names taken exactly, refusals with their reason), the session interface called over a bus the way
// the entries call it, and zorvik-hollin-open passing names the shell would split as they are.

#include "AppTestHost.h"
#include "ApplicationWindows.h"
#include "EventLoopWait.h"
#include "FileManagerRequests.h"
#include "FileTools.h"
#include "HandedPath.h"
#include "LoginController.h"
#include "PropertyList.h"
#include "ProtectionCheck.h"
#include "Protocol.h"
#include "Requirements.h"
#include "RestoreViewController.h"
#include "SessionInterface.h"
#include "UtilityClass.h"
#include "VersionsDialog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString uriOf(const QByteArray& native) {
    return QStringLiteral("file://") + QString::fromLatin1(native.toPercentEncoding("/"));
}

bool makeFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("text\n") == 5;
}

// Names people and programs give files, each of them a plain name the backup takes.
const QStringList OddNames = {QStringLiteral("a file with blanks.txt"),
                              QStringLiteral("it's \"quoted\".txt"),
                              QStringLiteral("$(touch pwned) `id`.txt"),
                              QStringLiteral("Größe – ü.odt"),
                              QStringLiteral("-dash first"),
                              QStringLiteral("back\\slash*?.txt")};

class HandedPathTest : public RequiringTest {
  protected:
    TempRoot root;
    FixtureUser user;
    QString home;

    QString requirements() override {
        QString error;
        user = FixtureUser::get(&error);
        return user.name.isEmpty() ? QStringLiteral("no fixture user: ") + error : QString();
    }
    void prepare() override { home = root.createHome(user); }
};

class FileManagerTest : public RequiringTest {
  protected:
    std::unique_ptr<AppTestHost> host;
    std::unique_ptr<FileManagerRequests> requests;
    std::unique_ptr<SessionInterface> session;
    QDBusConnection caller{QString()};
    QStringList backupNow; // paths the daemon was handed
    QObject observer;
    std::unique_ptr<DBusNotificationCenter> daemon;

    QString requirements() override {
        AppTestHost::Options options;
        options.windows = applicationWindows();
        host = std::make_unique<AppTestHost>(options);
        return host->setUp();
    }
    void prepare() override {
        host->writeDetails({{Protocol::UserName, QStringLiteral("zhacct")},
                            {Protocol::LocalBackup, QStringLiteral("1")},
                            {Protocol::Ip, QStringLiteral("127.0.0.1")}});
        host->launch();
        requests = std::make_unique<FileManagerRequests>(host->app());
        session =
            std::make_unique<SessionInterface>(*requests, host->bus.connect(QStringLiteral("zh-session")));
        QString why;
        ASSERT_TRUE(session->serve(&why)) << why.toStdString();
        caller = host->bus.connect(QStringLiteral("zh-file-manager"));
        ASSERT_TRUE(caller.isConnected());
        daemon = std::make_unique<DBusNotificationCenter>(host->bus.connect(QStringLiteral("zh-daemon")),
                                                          [](uint) { return true; });
        daemon->addObserver(&observer, Protocol::BackupNow, [this](const QString&, const QVariantMap& info) {
            backupNow << info.value(Protocol::KeyPath).toString();
        });
        // The application's center learns who is on the bus as they arrive (it addresses a path only to
        // root's and the person's connections): let it hear of this one.
        spinFor(500);
    }
    void TearDown() override {
        session.reset();
        requests.reset();
        RequiringTest::TearDown();
    }

    // The call a file manager's entry makes; the refusals it answers.
    QStringList call(const char* method, const QStringList& items) {
        QDBusMessage m =
            QDBusMessage::createMethodCall(SessionInterface::ServiceName, SessionInterface::ObjectPath,
                                           SessionInterface::InterfaceName, QString::fromLatin1(method));
        m << items;
        QDBusPendingCall pending = caller.asyncCall(m, 20000);
        EXPECT_TRUE(waitUntil([&] { return pending.isFinished(); }, 20000));
        const QDBusMessage reply = pending.reply();
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        return reply.arguments().value(0).toStringList();
    }
    QString documents() {
        const QString folder = host->home + QStringLiteral("/Documents");
        FileTools::makePath(folder);
        return folder;
    }
    RestoreViewController* restoreBrowser() {
        RestoreWindowApi* window = host->app().restoreWindow();
        return window ? qobject_cast<RestoreViewController*>(window->window()) : nullptr;
    }
};

} // namespace

TEST_F(HandedPathTest, OddNamesAreTakenExactlyAsPathsAndAsUris) {
    for (const QString& name : OddNames) {
        const QString path = home + u'/' + name;
        ASSERT_TRUE(makeFile(path)) << path.toStdString();
        for (const QString& item :
             {path, uriOf(QFile::encodeName(path)),
              QStringLiteral("file://localhost") + uriOf(QFile::encodeName(path)).mid(7)}) {
            const HandedPath handed = HandedPath::check(item, user.name);
            EXPECT_TRUE(handed.ok()) << item.toStdString() << ": " << handed.error().toStdString();
            EXPECT_EQ(handed.path(), path) << item.toStdString();
            EXPECT_FALSE(handed.isFolder());
        }
    }
    // A folder, also as its URI with the "/" a file manager may put at its end.
    const HandedPath folder = HandedPath::check(uriOf(QFile::encodeName(home)) + u'/', user.name);
    EXPECT_TRUE(folder.ok()) << folder.error().toStdString();
    EXPECT_EQ(folder.path(), home);
    EXPECT_TRUE(folder.isFolder());
}

TEST_F(HandedPathTest, WhatADropWouldNotBeIsRefusedWithItsReason) {
    ZH_SKIP_IF(needs::root("looks at a folder closed to the person with their rights"));
    const QString file = home + QStringLiteral("/report.txt");
    ASSERT_TRUE(makeFile(file));
    // A name with a line break exists, but no list of the backup can hold it.
    const QString broken = home + QStringLiteral("/two\nlines.txt");
    ASSERT_TRUE(makeFile(broken));
    // A name that is not UTF-8: the application could only misname it.
    const QByteArray latin1 = QFile::encodeName(home) + "/caf\xe9.txt";
    const int fd = ::open(latin1.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    // Behind a folder the person may not open.
    const QString closed = home + QStringLiteral("/closed");
    ASSERT_TRUE(FileTools::makePath(closed));
    ASSERT_TRUE(makeFile(closed + QStringLiteral("/inside.txt")));
    ASSERT_EQ(::chown(QFile::encodeName(closed).constData(), 0, 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(closed).constData(), 0700), 0);

    const struct {
        QString item;
        const char* says;
    } cases[] = {
        {QString(), "No file or folder was named"},
        {QStringLiteral("Documents/report.txt"), "is not a full path"},
        {QStringLiteral("smb://nas/share/report.txt"), "is not a file of this computer"},
        {QStringLiteral("file://othermachine") + file, "is not a file of this computer"},
        {broken, "line break"},
        {uriOf(QFile::encodeName(broken)), "line break"},
        {uriOf(latin1), "is not UTF-8"},
        {home + QStringLiteral("/../") + QFileInfo(home).fileName() + QStringLiteral("/report.txt"),
         "is not a plain path"},
        {home + QStringLiteral("//report.txt"), "is not a plain path"},
        {home + QStringLiteral("/missing.txt"), "does not exist on this computer"},
        {closed + QStringLiteral("/inside.txt"), "cannot be reached with your rights"},
    };
    for (const auto& c : cases) {
        const HandedPath handed = HandedPath::check(c.item, user.name);
        EXPECT_FALSE(handed.ok()) << HandedPath::shown(c.item).toStdString();
        EXPECT_TRUE(handed.error().contains(QLatin1String(c.says)))
            << HandedPath::shown(c.item).toStdString() << ": " << handed.error().toStdString();
        // The reason names the item the way it can be read: no raw line break in a message.
        EXPECT_FALSE(handed.error().contains(u'\n')) << handed.error().toStdString();
    }
    // Root itself sees the closed file: the look takes the person's rights, not the process's.
    EXPECT_TRUE(HandedPath::check(closed + QStringLiteral("/inside.txt")).ok());
}

TEST_F(FileManagerTest, VersionsOpensTheRestoreWindowOnTheFileAsTheBackupFilesIt) {
    const QString file = documents() + u'/' + OddNames.at(2);
    ASSERT_TRUE(makeFile(file));
    EXPECT_TRUE(call("ShowVersions", {uriOf(QFile::encodeName(file))}).isEmpty());
    RestoreViewController* browser = restoreBrowser();
    ASSERT_NE(browser, nullptr);
    EXPECT_TRUE(browser->isVisible());
    VersionsDialog* versions = browser->versionsDialog();
    ASSERT_NE(versions, nullptr);
    EXPECT_TRUE(versions->isVisible());
    EXPECT_EQ(versions->path(), UtilityClass::machineName() + file);
    EXPECT_EQ(versions->originalPath(), file);
    EXPECT_FALSE(versions->isFolder());
    // The listing runs against the account's appliance; none answers here, and the window says so
    // rather than showing an empty list as if nothing were kept.
    ASSERT_TRUE(waitUntil([&] { return versions->isListed(); }, 60000));
    EXPECT_FALSE(versions->statusText().isEmpty());

    // A folder, and a second call while the window is open: the window follows.
    EXPECT_TRUE(call("ShowVersions", {documents()}).isEmpty());
    versions = restoreBrowser()->versionsDialog();
    ASSERT_NE(versions, nullptr);
    EXPECT_EQ(versions->originalPath(), documents());
    EXPECT_TRUE(versions->isFolder());
    EXPECT_TRUE(host->trace().contains(QStringLiteral("File manager: Versions of %1").arg(documents())));
}

TEST_F(FileManagerTest, VersionsTakesOneItemAndRefusesTheRestAndWhatIsNotAFileHere) {
    const QString a = documents() + QStringLiteral("/a.txt"), b = documents() + QStringLiteral("/b.txt");
    ASSERT_TRUE(makeFile(a) && makeFile(b));
    const QStringList refused = call("ShowVersions", {QStringLiteral("relative.txt"), a, b});
    ASSERT_EQ(refused.size(), 2) << refused.join(u'\n').toStdString();
    EXPECT_TRUE(refused[0].startsWith(QLatin1String("relative.txt: ")));
    EXPECT_TRUE(refused[1].startsWith(b + QStringLiteral(": ")));
    EXPECT_TRUE(refused[1].contains(QLatin1String("one file or folder at a time")));
    ASSERT_NE(restoreBrowser(), nullptr);
    EXPECT_EQ(restoreBrowser()->versionsDialog()->originalPath(), a);
    // The person is told too, in a window of the application.
    QMessageBox* told = requests->refusalWindow();
    ASSERT_NE(told, nullptr);
    EXPECT_TRUE(told->isVisible());
    EXPECT_TRUE(told->informativeText().contains(QLatin1String("relative.txt")));
}

TEST_F(FileManagerTest, CheckAFileOpensTheCheckWindowForEachItemWithinALimit) {
    QStringList items;
    for (const QString& name : OddNames) {
        ASSERT_TRUE(makeFile(documents() + u'/' + name));
        items << uriOf(QFile::encodeName(documents() + u'/' + name));
    }
    EXPECT_TRUE(call("CheckFiles", items).isEmpty());
    const QList<ProtectionCheckDialog*> windows = requests->checkWindows();
    ASSERT_EQ(windows.size(), OddNames.size());
    for (int i = 0; i < OddNames.size(); ++i) {
        EXPECT_TRUE(windows[i]->isVisible());
        // Never sent: the answer says so (the account's index has nothing of it).
        EXPECT_EQ(windows[i]->result().answer, ProtectionCheck::Answer::NeverSeen)
            << OddNames[i].toStdString() << ": " << windows[i]->sentence().toStdString();
        EXPECT_TRUE(windows[i]->sentence().contains(OddNames[i])) << windows[i]->sentence().toStdString();
    }
    // Past the limit, what is left is refused with why, and nothing already open is thrown away.
    QStringList more;
    for (int i = 0; i < FileManagerRequests::MaxCheckWindows; ++i) {
        const QString path = documents() + QStringLiteral("/more-%1.txt").arg(i);
        ASSERT_TRUE(makeFile(path));
        more << path;
    }
    const QStringList refused = call("CheckFiles", more);
    EXPECT_EQ(refused.size(), OddNames.size());
    EXPECT_EQ(requests->checkWindows().size(), FileManagerRequests::MaxCheckWindows);
    for (const QString& line : refused)
        EXPECT_TRUE(line.contains(QLatin1String("At most 10 files are checked at once")))
            << line.toStdString();
}

TEST_F(FileManagerTest, BackUpNowHandsWhatTheBackupCanSendAndSaysWhatItDoesNot) {
    const QString odd = documents() + u'/' + OddNames.at(1);
    const QString folder = documents() + QStringLiteral("/Projects");
    ASSERT_TRUE(makeFile(odd) && FileTools::makePath(folder));
    // Excluded by the person's own pattern: the backup would leave it out, so it is not handed over.
    ASSERT_TRUE(
        PropertyList::writeStringArray(host->app().paths().pathForApplicationFile(AppPath::ExcludePattern),
                                       {QStringLiteral("*.draft")}, PropertyList::OwnerOnlyMode));
    const QString excluded = documents() + QStringLiteral("/letter.draft");
    ASSERT_TRUE(makeFile(excluded));
    // The check looks with the person's rights, as the application running as them does.
    host->handOverToUser();

    const QStringList refused = call("BackUpNow", {uriOf(QFile::encodeName(odd)), folder, excluded,
                                                   documents() + QStringLiteral("/gone.txt")});
    ASSERT_TRUE(waitUntil([&] { return backupNow.size() >= 2; })) << refused.join(u'\n').toStdString();
    EXPECT_EQ(backupNow, (QStringList{odd, folder}));
    ASSERT_EQ(refused.size(), 2) << refused.join(u'\n').toStdString();
    EXPECT_TRUE(refused[0].startsWith(excluded + QStringLiteral(": ")));
    EXPECT_TRUE(refused[0].contains(QStringLiteral("excluded by the name pattern “*.draft”")))
        << refused[0].toStdString();
    EXPECT_TRUE(refused[1].contains(QLatin1String("does not exist on this computer")));
    QMessageBox* told = requests->backUpNowWindow();
    ASSERT_NE(told, nullptr);
    EXPECT_TRUE(told->isVisible());
    EXPECT_EQ(told->text(),
              QStringLiteral("2 items are handed to the backup: they are sent with the next run."));
    EXPECT_TRUE(told->informativeText().contains(QLatin1String("letter.draft")));
    EXPECT_TRUE(told->informativeText().contains(QLatin1String("gone.txt")));
    EXPECT_TRUE(host->trace().contains(QStringLiteral("File manager: Back Up Now %1").arg(odd)));
}

TEST_F(FileManagerTest, LoggedOutVersionsAndBackUpNowBringTheLogInWindowAndDoNothing) {
    QFile::remove(host->userDetailsPath());
    const QString file = documents() + QStringLiteral("/a.txt");
    ASSERT_TRUE(makeFile(file));
    for (const char* method : {"ShowVersions", "BackUpNow"}) {
        const QStringList refused = call(method, {file});
        ASSERT_EQ(refused.size(), 1) << method;
        EXPECT_TRUE(refused[0].contains(QLatin1String("log in first"))) << refused[0].toStdString();
    }
    EXPECT_EQ(host->app().restoreWindow(), nullptr);
    EXPECT_TRUE(backupNow.isEmpty());
    ASSERT_NE(host->app().loginController(), nullptr);
    EXPECT_TRUE(host->app().loginController()->isVisible());
}

TEST_F(FileManagerTest, TheEntriesProgramPassesEveryNameAsItIsAndReportsRefusals) {
    QStringList paths;
    for (const QString& name : OddNames) {
        ASSERT_TRUE(makeFile(documents() + u'/' + name));
        paths << documents() + u'/' + name;
    }
    const QString broken = documents() + QStringLiteral("/two\nlines.txt");
    ASSERT_TRUE(makeFile(broken));
    QProcess open;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), host->bus.address());
    open.setProcessEnvironment(env);
    // Relative to its folder too, as a file manager that runs it there could pass them.
    open.setWorkingDirectory(documents());
    QStringList args{QStringLiteral("check")};
    args << paths.mid(0, 3) << OddNames.mid(3) << broken;
    open.start(QStringLiteral(ZH_OPEN_PROGRAM), args);
    ASSERT_TRUE(waitUntil([&] { return open.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(open.exitCode(), 2) << open.readAllStandardError().toStdString();
    const QString err = QString::fromUtf8(open.readAllStandardError());
    EXPECT_TRUE(err.contains(QLatin1String("line break"))) << err.toStdString();
    QStringList checked;
    for (ProtectionCheckDialog* d : requests->checkWindows())
        checked << d->findChild<QLabel*>()->text();
    EXPECT_EQ(checked, paths);

    // Without the application on the bus it says so and fails.
    session.reset();
    open.start(QStringLiteral(ZH_OPEN_PROGRAM), {QStringLiteral("backup"), paths.first()});
    ASSERT_TRUE(waitUntil([&] { return open.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(open.exitCode(), 1);
    EXPECT_TRUE(open.readAllStandardError().contains("Zorvik Hollin could not be reached"));
    EXPECT_TRUE(backupNow.isEmpty());
    // A wrong use changes nothing.
    open.start(QStringLiteral(ZH_OPEN_PROGRAM), {QStringLiteral("delete"), paths.first()});
    ASSERT_TRUE(waitUntil([&] { return open.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(open.exitCode(), 64);
}
