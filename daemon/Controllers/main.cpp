// ZorvikHollinWatcher: the backup daemon. Started by the service supervisor with system rights and
// started again whenever it exits.

#include "ConsoleUserSource.h"
#include "DaemonRestarter.h"
#include "DistributedNotificationCenter.h"
#include "HostFacts.h"
#include "InProcessNotificationCenter.h"
#include "RezodeLoger.h"
#include "ServedPerson.h"
#include "SleepInhibitor.h"
#include "SystemJournal.h"
#include "WatcherDaemon.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);

    const std::unique_ptr<ConsoleUserSource> consoleUser = ConsoleUserSource::create();
    DaemonRestarter restarter;
    RezodeLoger& logger = RezodeLoger::progressLogger();
    logger.setTraceMirror(
        [](const QString& line) { SystemJournal::send(QStringLiteral("ZorvikHollinWatcher"), line); });
    // The daemon acts on notifications from root and from the person it serves (the user at the screen
    // when it built its machinery).
    ServedPerson served;
    const std::unique_ptr<DistributedNotificationCenter> notifications =
        DistributedNotificationCenter::create(
            DistributedNotificationCenter::rootOrServedPerson(*consoleUser, served));
    notifications->setTraceLogger([&logger](const QString& line) { logger.logDaemonTrace(line, true); });

    // Sleep and shutdown wait a moment for the last changes (logind's delay lock).
    const std::unique_ptr<SleepInhibitor> sleepInhibitor = SleepInhibitor::create();
    sleepInhibitor->setTraceLogger([&logger](const QString& line) { logger.logDaemonTrace(line, true); });

    DaemonServices services;
    services.profile = PlatformProfile::current();
    services.timings = Timings::standard();
    services.logger = &logger;
    services.consoleUser = consoleUser.get();
    services.notifications = notifications.get();
    services.localNotifications = &InProcessNotificationCenter::defaultCenter();
    services.restarter = &restarter;
    services.hostFacts = &HostFacts::system();
    services.sleepInhibitor = sleepInhibitor.get();
    services.servedPerson = &served;

    WatcherDaemon daemon(services);
    restarter.exitOnTerminationSignals();
    daemon.start();
    return app.exec();
}
