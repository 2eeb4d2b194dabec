// The application and the daemon together: log in through the window against the appliance (a wrong
// password, then the right one), choose the local backup in the status window, and the daemon (its
// test host, as a process of its own) backs up the documents while the window's figures move and the
// tray icon animates; a folder added in the exclusion editor stays home until it is taken off the
// list; Time Machine chosen, the daemon's set-up reaches the panel; the restore browser finds and
// restores what was backed up.

#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "CustomTableView.h"
#include "LoginController.h"
#include "PropertyList.h"
#include "ProtectionPanel.h"
#include "QtPrinters.h"
#include "RestoreViewController.h"
#include "SearchController.h"
#include "UtilityClass.h"
#include "ui_LoginController.h"
#include "ui_RestoreViewController.h"
#include "ui_SearchController.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>
#include <sys/wait.h>

// The window's height without the protection section that the daemon's state adds below the boxes.
static int boxesHeight(QWidget* window) {
    QWidget* box = outlet(window, "protectionBox");
    return window->height() - (box && !box->isHidden() ? ProtectionPanel::Height : 0);
}

TEST(AppEndToEndTest, LogInBackUpExcludeAndSetUpTimeMachineWithTheDaemon) {
    ZH_SKIP_IF(Appliance::skipReason());
    Appliance appliance;
    const QString password = QStringLiteral("p4ss 'word' \"$(x)\"");
    ASSERT_TRUE(startWithAccount(appliance, QStringLiteral("ann"), password));
    AppTestHost::Options options;
    options.windows = windowsWithTool(QStringLiteral(ZH_TMUTIL));
    AppTestHost host(options);
    ZH_SKIP_IF(host.setUp());
    const ToolState toolState(host.root.path());
    // The machine as an installation leaves it (the private rsync copy, the first-start marker).
    const QString installed = host.root.installBuild();
    ASSERT_TRUE(installed.isEmpty()) << installed.toStdString();
    QStringList documents;
    for (const char* name : {"Zq 100%_sure.txt", "Zq it's mine.txt", "Zq other.txt"})
        writeFile(documents.emplaceBack(host.home + "/Documents/" + name), name);
    for (int i = 0; i < 40; ++i) {
        documents << host.home + QStringLiteral("/Documents/Part %1/Report '%2' $(x).txt").arg(i / 8).arg(i);
        writeFile(documents.last(), QByteArray(30000 + i, 'r'));
    }
    const QString keep = host.home + QStringLiteral("/Keep"),
                  secret = host.home + QStringLiteral("/Private Stuff");
    writeFile(keep + QStringLiteral("/a.txt"), "a");
    writeFile(secret + QStringLiteral("/p.txt"), "p");
    const auto onAppliance = [&](const QString& local) {
        return QFile::exists(appliance.modulePath() + QStringLiteral("/ann/") + UtilityClass::machineName() +
                             local);
    };
    // The daemon's test host, started again after every exit as the service supervisor does.
    const QString system = host.root.profile().systemSupportFolder, hostLog = host.root.path() + "/host.log";
    QDir().mkpath(host.root.path() + QStringLiteral("/etc")); // the rsync password files
    pid_t daemon = -1;
    const auto supervise = [&] {
        if (int status = 0; daemon < 0 || ::waitpid(daemon, &status, WNOHANG) == daemon)
            daemon = ChildProcess::spawn(
                {ZH_DAEMON_HOST, host.root.path(), host.user.name, host.bus.address()}, hostLog, hostLog);
    };
    supervise();
    const auto stop = qScopeGuard([&] { ChildProcess::terminate(daemon); });
    const auto log = [&] {
        return (readTrace(hostLog).right(4000) +
                readTrace(system + "/LogsFolder/DaemonTrace.txt").right(6000))
            .toStdString();
    };
    const auto until = [&](const std::function<bool()>& condition, int ms) {
        return waitUntil([&] { return supervise(), condition(); }, ms);
    };

    host.launch();
    AppDelegate& app = host.app();
    QList<bool> animation;
    QObject::connect(&app, &AppDelegate::animatingChanged, [&](bool on) { animation << on; });
    LoginController* login = app.loginController();
    Ui::LoginController& ui = login->ui();

    // A wrong password: the error label, the fields usable again, no record.
    QTest::keyClicks(ui.pIp, appliance.address());
    QTest::keyClicks(ui.pUsername, QStringLiteral("ann"));
    QTest::keyClicks(ui.pwd, QStringLiteral("wrong"));
    QTest::keyClick(ui.pwd, Qt::Key_Return);
    EXPECT_FALSE(ui.pwd->isEnabled());
    ASSERT_TRUE(until([&] { return !login->isAuthenticating(); }, 60000));
    EXPECT_FALSE(ui.error->isHidden());
    EXPECT_TRUE(ui.pwd->isEnabled() && ui.pUsername->isEnabled() && ui.pIp->isEnabled());
    EXPECT_FALSE(QFile::exists(host.userDetailsPath()));
    EXPECT_TRUE(host.trace().contains(QStringLiteral("Error in authentication:")));
    // The right one: exactly six keys, owner-only; the details remembered; the window gone; the password
    // in no trace.
    ui.pwd->setText(password);
    ui.remembermeBtn->setChecked(true);
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    ASSERT_TRUE(until([&] { return app.isLoggedIn(); }, 60000)) << host.trace().toStdString();
    const QVariantMap record = PropertyList::readDictionary(host.userDetailsPath());
    EXPECT_EQ(record, (QVariantMap{{"username", "ann"},
                                   {"password", password},
                                   {"login", "1"},
                                   {"PauseState", "0"},
                                   {"ip", appliance.address()},
                                   {"remembermeState", "1"}}));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(host.userDetailsPath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(PropertyList::readDictionary(host.supportFile(Protocol::RememberDetailsFile)), record);
    EXPECT_EQ(readTrace(host.supportFile(Protocol::ApplicationPasswordFile)), password);
    EXPECT_TRUE(login->isHidden());
    // The log-in is announced as soon as the record is written (the daemon backs up again at once);
    // another user than at the last quit: "Reinitialize" (the daemon starts again).
    ASSERT_TRUE(until([&] { return host.posted() == (QStringList{"LogIn", "Reinitialize"}); }, 10000));
    // The application runs as the user: the daemon reads its files with the user's rights.
    host.handOverToUser();
    auto* window = static_cast<StatusController*>(app.statusWindow());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->height(), 385);

    // Local backup chosen in the window; the figures move during the initial backup. They are read right
    // after the controller has handed each "Progress" to the window.
    QSet<QString> sizes;
    QObject reader;
    app.notifications()->addObserver(&reader, Protocol::Progress, [&](const QString&, const QVariantMap&) {
        sizes << text(window, "sizeuploaded");
    });
    outlet<QPushButton>(window, "startLocalBackup")->click();
    EXPECT_EQ(boxesHeight(window), 499);
    ASSERT_TRUE(until(
        [&] {
            return text(window, "titleMsg") == QStringLiteral("Success!") && onAppliance(secret + "/p.txt");
        },
        180000))
        << log();
    for (const QString& d : documents)
        EXPECT_TRUE(onAppliance(d)) << d.toStdString();
    sizes.remove(QString());
    EXPECT_GE(sizes.size(), 2);
    EXPECT_EQ(text(window, "displayMsg"),
              QStringLiteral("You have successfully backed up all your files / folders."));
    EXPECT_TRUE(text(window, "lastBackup").startsWith(QStringLiteral("Last backup completed")));
    EXPECT_TRUE(until([&] { return !app.isAnimating(); }, 20000));
    // The state's line first; what still waits (the daemon's own count) may follow it.
    EXPECT_EQ(app.statusItem()->toolTip().section(u'\n', 0, 0), QString(Protocol::ProgressBackupCompleted));
    EXPECT_EQ(animation.value(0), true) << "the icon never moved";
    EXPECT_FALSE(host.trace().contains(password));

    // A folder added in the exclusion editor: a new file in it stays home, one beside it travels.
    ExcludeController editor(host.root.profile(), app.notifications(), host.user.name);
    editor.setDetails();
    editor.show();
    chooseInPanel(editor, secret);
    ASSERT_TRUE(editor.excludeList().contains(secret));
    spinFor(2000); // the daemon reads the list again on the notification
    writeFile(secret + QStringLiteral("/secret.txt"), "s");
    writeFile(keep + QStringLiteral("/b.txt"), "b");
    ASSERT_TRUE(until([&] { return onAppliance(keep + QStringLiteral("/b.txt")); }, 60000)) << log();
    spinFor(2000);
    EXPECT_FALSE(onAppliance(secret + QStringLiteral("/secret.txt")));
    // Taken off the list, the folder is backed up with what arrived meanwhile.
    editor.excludeTable()->selectRow(int(editor.excludeList().indexOf(secret)));
    editor.DeleteExclude();
    EXPECT_TRUE(until([&] { return onAppliance(secret + QStringLiteral("/secret.txt")); }, 60000)) << log();

    // Time Machine chosen: the daemon's automatic set-up reaches the panel, the window reads the details.
    outlet<QPushButton>(window, "configureTimeMachine")->click();
    const auto details = [&] { return PropertyList::readDictionary(host.userDetailsPath()); };
    EXPECT_EQ(details().value(Protocol::TimeMachineBackup), QStringLiteral("1"));
    auto* panel = static_cast<TimeMachine*>(app.timeMachineWindow());
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(until([&] { return shown(panel, "mStatus") && window->TMDetailsVisible(); }, 60000)) << log();
    EXPECT_EQ(text(window, "TMName"), QStringLiteral("ann"));
    EXPECT_EQ(text(window, "TMMountPoint"), QStringLiteral("/mnt/ZorvikHollin/ann"));
    EXPECT_EQ(text(window, "TimeMachineTitle"), QStringLiteral("Time Machine Backup is Configured!"));
    EXPECT_EQ(boxesHeight(window), 615);
    // The daemon records the share after its answer.
    EXPECT_TRUE(until(
        [&] { return details().value(Protocol::TMSharePath).toString() == QStringLiteral("ann"); }, 30000));
    // The restore browser's search over the index the daemon keeps: an apostrophe, "%" and "_" find the
    // names holding them; the ticked hits are restored byte for byte. Its rsync runs as the test's
    // account, which must own the password file it writes (a new file takes the folder's owner).
    const QString support = QFileInfo(host.userDetailsPath()).path();
    ASSERT_EQ(::chown(QFile::encodeName(support).constData(), ::geteuid(), ::getegid()), 0);
    ASSERT_TRUE(until(
        [&] {
            const auto hits =
                SearchController::searchIndex(host.supportFile("ann"), "ann", QStringLiteral("Zq "));
            return hits.hits.size() == 3;
        },
        120000))
        << log();
    RestoreViewController browser(host.root.profile(), host.user.name, &app.logger(), nullptr);
    browser.show();
    QSignalSpy searched(&browser, &RestoreViewController::searchFinished);
    const auto search = [&](const QString& what) {
        searched.clear();
        browser.ui()->search->setText(what);
        emit browser.ui()->search->returnPressed();
        EXPECT_TRUE(waitUntil([&] { return !searched.isEmpty(); }, 60000));
        return browser.searchController() ? browser.searchController()->countText() : QStringLiteral("none");
    };
    EXPECT_EQ(search(QStringLiteral("it's")), QStringLiteral("1 item found"));
    EXPECT_EQ(search(QStringLiteral("100%_")), QStringLiteral("1 item found"));
    EXPECT_EQ(search(QStringLiteral("zzz-nothing")), QStringLiteral("No items found"));
    ASSERT_EQ(search(QStringLiteral("zq ")), QStringLiteral("3 items found"));
    QTableWidget* hits = browser.searchController()->ui()->pSearchTable;
    for (int row = 0; row < hits->rowCount(); ++row)
        hits->item(row, 0)->setCheckState(hits->item(row, 1)->text().endsWith("other.txt") ? Qt::Unchecked
                                                                                           : Qt::Checked);
    const QString found = host.root.path() + QStringLiteral("/found");
    QDir().mkpath(found);
    browser.setDownloadLocation(found);
    QSignalSpy restored(&browser, &RestoreViewController::restoreFinished);
    browser.Restore();
    ASSERT_TRUE(waitUntil([&] { return !restored.isEmpty(); }, 60000));
    EXPECT_EQ(restored.first().first().toStringList(), QStringList()) << host.trace().toStdString();
    EXPECT_EQ(QDir(found).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"Zq 100%_sure.txt", "Zq it's mine.txt"}));
    for (int i : {0, 1})
        EXPECT_EQ(readTrace(found + u'/' + QFileInfo(documents[i]).fileName()), readTrace(documents[i]));
    // Back, then a new search starts with nothing ticked.
    browser.searchController()->Back();
    search(QStringLiteral("zq "));
    EXPECT_TRUE(browser.searchController()->getSearchList().isEmpty());
}

// What is not yet safe, from the daemon's own state file: with the appliance stopped, changes made meanwhile
// wait and the window's line says how many; with it back, they go and the line says so.
TEST(AppEndToEndTest, TheWindowSaysWhatWaitsWhileTheApplianceIsAway) {
    ZH_SKIP_IF(Appliance::skipReason());
    Appliance appliance;
    const QString password = QStringLiteral("right");
    ASSERT_TRUE(startWithAccount(appliance, QStringLiteral("ann"), password));
    AppTestHost::Options options;
    options.windows = windowsWithTool(QStringLiteral(ZH_TMUTIL));
    AppTestHost host(options);
    ZH_SKIP_IF(host.setUp());
    const ToolState toolState(host.root.path());
    const QString installed = host.root.installBuild();
    ASSERT_TRUE(installed.isEmpty()) << installed.toStdString();
    writeFile(host.home + QStringLiteral("/Documents/first.txt"), "first");
    const QString system = host.root.profile().systemSupportFolder, hostLog = host.root.path() + "/host.log";
    QDir().mkpath(host.root.path() + QStringLiteral("/etc"));
    pid_t daemon = -1;
    const auto supervise = [&] {
        if (int status = 0; daemon < 0 || ::waitpid(daemon, &status, WNOHANG) == daemon)
            daemon = ChildProcess::spawn(
                {ZH_DAEMON_HOST, host.root.path(), host.user.name, host.bus.address()}, hostLog, hostLog);
    };
    supervise();
    const auto stop = qScopeGuard([&] { ChildProcess::terminate(daemon); });
    const auto log = [&] {
        return (readTrace(hostLog).right(3000) +
                readTrace(system + "/LogsFolder/DaemonTrace.txt").right(5000))
            .toStdString();
    };
    const auto until = [&](const std::function<bool()>& condition, int ms) {
        return waitUntil([&] { return supervise(), condition(); }, ms);
    };

    host.launch();
    AppDelegate& app = host.app();
    Ui::LoginController& ui = app.loginController()->ui();
    QTest::keyClicks(ui.pIp, appliance.address());
    QTest::keyClicks(ui.pUsername, QStringLiteral("ann"));
    ui.pwd->setText(password);
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    ASSERT_TRUE(until([&] { return app.isLoggedIn(); }, 60000)) << host.trace().toStdString();
    host.handOverToUser();
    auto* window = static_cast<StatusController*>(app.statusWindow());
    ASSERT_NE(window, nullptr);
    outlet<QPushButton>(window, "startLocalBackup")->click();
    const QString calm = QStringLiteral("All changes are on the Zorvik Hollin device");
    ASSERT_TRUE(until([&] { return text(window, "titleMsg") == QStringLiteral("Success!"); }, 180000))
        << log();
    ASSERT_TRUE(until([&] { return text(window, "protectionPending") == calm; }, 60000))
        << text(window, "protectionPending").toStdString() << log();
    EXPECT_TRUE(app.statusItem()->toolTip().contains(calm));
    EXPECT_FALSE(outlet(window, "protectionBox")->isHidden());
    // The daemon watches the whole disk: tests running beside this one may make it lose events and
    // rescan for a moment.
    EXPECT_TRUE(until(
        [&] { return text(window, "protectionWatch").startsWith(QStringLiteral("Watching the ")); }, 60000))
        << text(window, "protectionWatch").toStdString();

    // The appliance goes away; three changes made meanwhile wait, and the window says so.
    appliance.stop();
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        writeFile(host.home + QStringLiteral("/Documents/away/") + QLatin1String(name), name);
    const QRegularExpression waiting(QStringLiteral("^\\d+ changes? waiting"));
    ASSERT_TRUE(until([&] { return waiting.match(text(window, "protectionPending")).hasMatch(); }, 60000))
        << text(window, "protectionPending").toStdString() << log();
    EXPECT_TRUE(waiting.match(app.statusItem()->toolTip().section(u'\n', 1, 1)).hasMatch())
        << app.statusItem()->toolTip().toStdString();

    // Back: what waited goes out at the next retry, and the line comes back.
    ASSERT_TRUE(appliance.start());
    ASSERT_TRUE(until([&] { return text(window, "protectionPending") == calm; }, 300000))
        << text(window, "protectionPending").toStdString() << log();
    EXPECT_TRUE(QFile::exists(appliance.modulePath() + QStringLiteral("/ann/") + UtilityClass::machineName() +
                              host.home + QStringLiteral("/Documents/away/c.txt")));
}

// The window's figures of a run are what the daemon really sent: four hundred small files go out faster
// than the daemon posts figures (it posts only the newest), and the window still shows every byte and
// every file of the run, as the session log and the appliance count them.
TEST(AppEndToEndTest, TheWindowsFiguresAreWhatTheRunReallySent) {
    ZH_SKIP_IF(Appliance::skipReason());
    Appliance appliance;
    ASSERT_TRUE(startWithAccount(appliance, QStringLiteral("ann"), QStringLiteral("right")));
    AppTestHost::Options options;
    options.windows = windowsWithTool(QStringLiteral(ZH_TMUTIL));
    AppTestHost host(options);
    ZH_SKIP_IF(host.setUp());
    const ToolState toolState(host.root.path());
    const QString installed = host.root.installBuild();
    ASSERT_TRUE(installed.isEmpty()) << installed.toStdString();
    for (int i = 0; i < 400; ++i)
        writeFile(host.home + QStringLiteral("/Documents/Batch/note %1.txt").arg(i),
                  QByteArray(100 + 7 * i, 'n'));
    const QString system = host.root.profile().systemSupportFolder, hostLog = host.root.path() + "/host.log";
    QDir().mkpath(host.root.path() + QStringLiteral("/etc"));
    pid_t daemon = -1;
    const auto supervise = [&] {
        if (int status = 0; daemon < 0 || ::waitpid(daemon, &status, WNOHANG) == daemon)
            daemon = ChildProcess::spawn(
                {ZH_DAEMON_HOST, host.root.path(), host.user.name, host.bus.address()}, hostLog, hostLog);
    };
    supervise();
    const auto stop = qScopeGuard([&] { ChildProcess::terminate(daemon); });
    const auto log = [&] {
        return (readTrace(hostLog).right(3000) +
                readTrace(system + "/LogsFolder/DaemonTrace.txt").right(5000))
            .toStdString();
    };
    const auto until = [&](const std::function<bool()>& condition, int ms) {
        return waitUntil([&] { return supervise(), condition(); }, ms);
    };

    host.launch();
    AppDelegate& app = host.app();
    Ui::LoginController& ui = app.loginController()->ui();
    QTest::keyClicks(ui.pIp, appliance.address());
    QTest::keyClicks(ui.pUsername, QStringLiteral("ann"));
    ui.pwd->setText(QStringLiteral("right"));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    ASSERT_TRUE(until([&] { return app.isLoggedIn(); }, 60000)) << host.trace().toStdString();
    // A first log-in on this computer starts the daemon afresh ("Reinitialize") before anything is chosen.
    ASSERT_TRUE(until([&] { return host.posted().contains(QStringLiteral("Reinitialize")); }, 10000));
    host.handOverToUser();
    auto* window = static_cast<StatusController*>(app.statusWindow());
    ASSERT_NE(window, nullptr);

    // The figures as the window shows them, read right after the controller has handed each "Progress"
    // to it, up to the run's end (which clears them).
    QString shownSize, shownFiles;
    bool ended = false;
    QObject reader;
    app.notifications()->addObserver(
        &reader, Protocol::Progress, [&](const QString&, const QVariantMap& info) {
            if (ended)
                return;
            if (info.value(Protocol::KeyProgress).toString() == Protocol::ProgressBackupCompleted) {
                ended = true;
            } else if (info.value(Protocol::KeyProgress).typeId() == QMetaType::QVariantMap) {
                shownSize = text(window, "sizeuploaded");
                shownFiles = text(window, "totalFiles");
            }
        });
    outlet<QPushButton>(window, "startLocalBackup")->click();
    ASSERT_TRUE(
        until([&] { return ended && text(window, "titleMsg") == QStringLiteral("Success!"); }, 180000))
        << log();

    // What the run sent: the files its session log names, at their size on the appliance.
    QStringList lines;
    const QDir logs(host.supportFile(Protocol::SessionLogsFolder));
    for (const QString& name : logs.entryList(QDir::Files, QDir::Name))
        lines << readTrace(logs.filePath(name)).split(u'\n');
    // Each run begins with a line of dashes.
    const auto opensRun = [](const QString& line) { return line.trimmed().endsWith(QString(79, u'-')); };
    const qsizetype start = std::find_if(lines.cbegin(), lines.cend(), opensRun) - lines.cbegin();
    ASSERT_LT(start, lines.size()) << lines.join(u'\n').toStdString();
    qint64 bytes = 0;
    int files = 0;
    const QString machine =
        appliance.modulePath() + QStringLiteral("/ann/") + UtilityClass::machineName() + u'/';
    for (qsizetype i = start + 1; i < lines.size() && !opensRun(lines[i]); ++i)
        if (const qsizetype at = lines[i].indexOf(QStringLiteral("Backup completed for ")); at >= 0) {
            const QFileInfo copy(machine + lines[i].mid(at + 21).trimmed());
            ASSERT_TRUE(copy.isFile()) << copy.filePath().toStdString();
            bytes += copy.size();
            ++files;
        }
    EXPECT_GE(files, 400);
    EXPECT_EQ(shownSize,
              QStringLiteral("%1 in this backup").arg(StatusController::formatBytes(double(bytes))))
        << bytes << " bytes";
    EXPECT_EQ(shownFiles, QString::number(files));
}
