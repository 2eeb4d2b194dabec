#pragma once

#include "DaemonRestarter.h"
#include "DaemonServices.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "InProcessNotificationCenter.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "QtPrinters.h"
#include "Requirements.h"
#include "RezodeLoger.h"
#include "TestRoots.h"
#include "linux/DBusNotificationCenter.h"

#include <Protocol.h>

#include <QDir>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

using namespace std::chrono_literals;

// What the daemon's tests share: the daemon's services over a temporary root (its own logger,
// in-process center, a restarter that records instead of exiting, and on request a private bus with
// a daemon-side and an application-side notification center), and the headers every test uses.
struct DaemonTestServices {
    TempRoot root;
    FixtureUser user = FixtureUser::get();
    RezodeLoger logger;
    InProcessNotificationCenter local;
    std::atomic<int> exits{0};
    std::atomic<int> exitStatus{-1};
    DaemonRestarter restarter{[this](int status) { exitStatus = status, ++exits; }};
    PrivateBus bus;
    std::unique_ptr<DBusNotificationCenter> daemonSide;
    std::unique_ptr<DBusNotificationCenter> appSide;
    QStringList connections;

    DaemonTestServices() {
        root.createHome(user);
        logger.setLogWritePath(tracePath());
    }
    ~DaemonTestServices() {
        daemonSide.reset(), appSide.reset();
        for (const QString& name : std::as_const(connections))
            QDBusConnection::disconnectFromBus(name);
    }

    bool startBus() {
        if (!bus.start())
            return false;
        const auto side = [this](const char* prefix) {
            const QDBusConnection connection = bus.connect(QString::fromLatin1(prefix));
            connections << connection.name();
            return std::make_unique<DBusNotificationCenter>(
                connection, [](uint uid) { return uid == 0 || uid == ::geteuid(); });
        };
        daemonSide = side("zh-daemon");
        appSide = side("zh-app");
        return daemonSide->isListening() && appSide->isListening();
    }

    DaemonServices services(Timings timings = Timings::standard()) {
        DaemonServices s;
        s.profile = root.profile();
        s.timings = timings;
        s.logger = &logger;
        s.localNotifications = &local;
        s.notifications = daemonSide.get();
        s.restarter = &restarter;
        return s;
    }

    // A daemon file of the fixture user (DaemonPath::…).
    QString path(int index) const {
        FilePathsController paths(FilePathsController::Table::Daemon, root.profile());
        paths.setM_ConsoleUserName(user.name);
        return paths.pathForApplicationFile(index);
    }
    QString home() const { return root.profile().homeOf(user.name); }
    // Every line of the backup lists the collector has written.
    QStringList listed() const {
        const QString folder = path(DaemonPath::BackupListsFolder);
        QStringList all;
        for (const QString& name : QDir(folder).entryList(QDir::Files))
            all << readTrace(folder + u'/' + name).split(u'\n');
        return all;
    }
    QString tracePath() const {
        return root.profile().systemSupportFolder + QStringLiteral("/LogsFolder/DaemonTrace.txt");
    }
    QString trace() const { return readTrace(tracePath()); }
};
