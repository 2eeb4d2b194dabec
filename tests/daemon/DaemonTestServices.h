#pragma once

#include "DaemonRestarter.h"
#include "DaemonServices.h"
#include "EventLoopWait.h"
#include "InProcessNotificationCenter.h"
#include "PrivateBus.h"
#include "QtPrinters.h"
#include "RezodeLoger.h"
#include "TestRoots.h"
#include "linux/DBusNotificationCenter.h"

#include <QDBusConnection>
#include <QFile>

#include <atomic>
#include <memory>

// The daemon's services over a temporary root: its own logger, in-process center, a restarter that
// records instead of exiting, and (on request) a private bus with a daemon-side and an
// application-side notification center.
struct DaemonTestServices {
    TempRoot root;
    FixtureUser user = FixtureUser::get();
    RezodeLoger logger;
    InProcessNotificationCenter local;
    std::atomic<int> exits{0};
    std::atomic<int> exitStatus{-1};
    DaemonRestarter restarter{[this](int status) {
        exitStatus = status;
        ++exits;
    }};
    PrivateBus bus;
    std::unique_ptr<DBusNotificationCenter> daemonSide;
    std::unique_ptr<DBusNotificationCenter> appSide;

    DaemonTestServices() {
        root.createHome(user);
        logger.setLogWritePath(root.profile().systemSupportFolder +
                               QStringLiteral("/LogsFolder/DaemonTrace.txt"));
    }
    ~DaemonTestServices() {
        if (!daemonSide)
            return;
        daemonSide.reset();
        appSide.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("zh-daemon-side"));
        QDBusConnection::disconnectFromBus(QStringLiteral("zh-app-side"));
    }

    bool startBus() {
        if (!bus.start())
            return false;
        const auto connect = [this](const QString& name) {
            return QDBusConnection::connectToBus(bus.address(), name);
        };
        daemonSide =
            std::make_unique<DBusNotificationCenter>(connect(QStringLiteral("zh-daemon-side")),
                                                     [](uint uid) { return uid == 0 || uid == ::geteuid(); });
        appSide = std::make_unique<DBusNotificationCenter>(
            connect(QStringLiteral("zh-app-side")), [](uint uid) { return uid == 0 || uid == ::geteuid(); });
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

    QString trace() const {
        QFile f(root.profile().systemSupportFolder + QStringLiteral("/LogsFolder/DaemonTrace.txt"));
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll());
    }
};
