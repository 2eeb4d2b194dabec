// Without a tray the windows offer the tray's menu, and a second start of the real program brings the
// first one's window to the front and ends.

#include "SingleInstance.h"
#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "Protocol.h"
#include "Requirements.h"
#include "StatusController.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QTemporaryDir>
#include <QToolButton>

#include <gtest/gtest.h>

TEST(SingleInstanceTest, WithoutATrayASecondStartBringsTheWindowForwardAndEnds) {
    AppTestHost::Options options;
    options.windows.status = &StatusController::forApplication;
    options.desktop.trayAvailable = [] { return false; };
    AppTestHost host(options);
    ZH_SKIP_IF(host.setUp());
    host.writeDetails(
        {{Protocol::UserName, QStringLiteral("zhacct")}, {Protocol::LocalBackup, QStringLiteral("1")}});
    host.launch();
    QWidget* window = host.app().statusWindow()->window();
    ASSERT_TRUE(window->isVisible());
    auto* menuButton = window->findChild<QToolButton*>(QStringLiteral("trayMenuButton"));
    ASSERT_NE(menuButton, nullptr);
    EXPECT_EQ(menuButton->menu(), host.app().statusMenu());

    // The person closes the window: with no tray icon only a second start reaches the application.
    window->close();
    QTemporaryDir runtime;
    const QString name = runtime.filePath(QStringLiteral("ZorvikHollin.instance"));
    QFile stale(name); // left behind by an instance that was killed
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    SingleInstance first(name);
    ASSERT_TRUE(first.listen());
    QObject::connect(&first, &SingleInstance::raiseRequested, &host.app(), &AppDelegate::bringForward);

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Should it not find the first, the second start must not reach this machine's buses or home.
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    env.insert(QStringLiteral("HOME"), runtime.path());
    second.setProcessEnvironment(env);
    second.start(QStringLiteral(ZH_APPLICATION), {});
    const bool ended = waitUntil([&] { return second.state() == QProcess::NotRunning; }, 60000);
    if (!ended)
        second.kill();
    ASSERT_TRUE(ended);
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(waitUntil([&] { return window->isVisible(); }));
    EXPECT_TRUE(host.trace().contains(QStringLiteral("Started again: coming to the front")));
    EXPECT_FALSE(
        SingleInstance(runtime.filePath(QStringLiteral("other.instance"))).askRunningInstanceToRaise(2000));
}

TEST(SingleInstanceTest, WithoutARuntimeFolderTheNameIsInAFolderNoOtherAccountCanWriteTo) {
    ZH_SKIP_IF(needs::root("to try the name as another account"));
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    const QString name = SingleInstance::defaultName();
    qputenv("XDG_RUNTIME_DIR", saved);
    // What another account would do to answer in our place: make the socket first.
    const QString where = name.startsWith(u'/') ? name : QDir::tempPath() + u'/' + name;
    QByteArray out, err;
    const int made =
        ChildProcess::run({QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                           QStringLiteral("--"), QStringLiteral("touch"), where},
                          &out, &err);
    EXPECT_NE(made, 0) << where.toStdString() << " can be taken by another account";
    QFile::remove(where);
}

TEST(SingleInstanceTest, AnotherAccountAnsweringAtTheNameIsNotTakenForTheRunningInstance) {
    ZH_SKIP_IF(needs::all(needs::root("to answer as another account"), needs::tool("python3", "python3")));
    // Another account took the name first (a shared folder) and answers every start "ok": a start
    // that believed it would end at once, every time.
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
    const QString name = dir.filePath(QStringLiteral("instance"));
    const pid_t squatter = squatAnswering(name);
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(name).exists(); }, 10000));
    EXPECT_FALSE(SingleInstance(name).askRunningInstanceToRaise(2000));
    ChildProcess::terminate(squatter);
}
