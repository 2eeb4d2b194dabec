// The application and the daemon together: log in through the window, choose the local backup, the
// daemon (its test host, as a process of its own) backs up the documents, and the tray icon animates
// and comes to rest at "Backup completed".

#include "AppTestHost.h"
#include "Appliance.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FileTools.h"
#include "LoginController.h"
#include "Protocol.h"
#include "QtPrinters.h"
#include "UtilityClass.h"
#include "ui_LoginController.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/wait.h>

TEST(AppEndToEndTest, LogInThroughTheWindowAndWatchTheBackupToItsEnd) {
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    Appliance appliance;
    const QString password = QStringLiteral("s3cret 'pw'");
    appliance.addUser(QStringLiteral("ann"), password);
    appliance.putFile(QStringLiteral("ann/.keep"), "");
    ASSERT_TRUE(appliance.start());
    AppTestHost host;
    const QString why = host.setUp();
    if (!why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    host.linkPrivateRsync(QStringLiteral(ZH_PRIVATE_RSYNC));
    qputenv("ZH_TMUTIL_STATE", (host.root.path() + QStringLiteral("/tmutil-state.plist")).toUtf8());
    QDir().mkpath(host.root.path() + QStringLiteral("/etc"));

    QStringList documents;
    for (int i = 0; i < 12; ++i) {
        const QString path = host.home + QStringLiteral("/Documents/Report %1 $(x).txt").arg(i);
        FileTools::makePath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(40000, 'r'));
        documents << path;
    }
    QFile(host.root.profile().systemSupportFolder + u'/' + Protocol::InstalMarker).open(QIODevice::WriteOnly);

    const QString hostLog = host.root.path() + QStringLiteral("/host.log");
    // The test plays the service supervisor: the daemon ends on every restart trigger (the log-in of a
    // new user posts "Reinitialize") and is started again.
    pid_t daemon = -1;
    int starts = 0;
    const auto supervise = [&] {
        int status = 0;
        if (daemon > 0 && waitpid(daemon, &status, WNOHANG) != daemon)
            return;
        daemon = ChildProcess::spawn(
            {QStringLiteral(ZH_DAEMON_HOST), host.root.path(), host.user.name, host.bus.address()}, hostLog,
            hostLog);
        ++starts;
    };
    supervise();
    ASSERT_GT(daemon, 0);
    const auto log = [&] {
        QFile f(hostLog),
            trace(host.root.profile().systemSupportFolder + QStringLiteral("/LogsFolder/DaemonTrace.txt"));
        f.open(QIODevice::ReadOnly);
        trace.open(QIODevice::ReadOnly);
        return (f.readAll() + "\n--- daemon trace\n" + trace.readAll().right(6000) +
                "\n--- application trace\n" + host.trace().toUtf8())
            .toStdString();
    };

    host.launch();
    AppDelegate& app = host.app();
    QList<bool> animation;
    QObject::connect(&app, &AppDelegate::animatingChanged, [&](bool on) { animation << on; });
    Ui::LoginController& ui = app.loginController()->ui();
    QTest::keyClicks(ui.pIp, appliance.address());
    QTest::keyClicks(ui.pUsername, QStringLiteral("ann"));
    QTest::keyClicks(ui.pwd, password);
    QTest::keyClick(ui.pwd, Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return app.isLoggedIn(); }, 60000)) << host.trace().toStdString();
    host.handOverToUser();
    // The status window's choice of the local backup.
    app.loginForBackupType(1);

    const auto onAppliance = [&](const QString& local) {
        return appliance.modulePath() + QStringLiteral("/ann/") + UtilityClass::machineName() + local;
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            supervise();
            return app.statusItem()->toolTip() == QString(Protocol::ProgressBackupCompleted) &&
                   !app.isAnimating();
        },
        120000))
        << log();
    for (const QString& d : documents)
        EXPECT_TRUE(QFile::exists(onAppliance(d))) << d.toStdString();
    EXPECT_EQ(animation.value(0), true) << "the icon never moved";
    EXPECT_EQ(animation.last(), false);
    EXPECT_EQ(app.statusTitle(), QStringLiteral("Success!"));
    EXPECT_FALSE(host.trace().contains(password));

    EXPECT_EQ(starts, 2); // the first run, and the one after "Reinitialize"
    ChildProcess::terminate(daemon);
    qunsetenv("ZH_TMUTIL_STATE");
}
