// The daemon's real object graph as a process of its own, for the whole-daemon benchmarks: a
// temporary profile root, a private bus, the console user named on the command line, and either the
// daemon's standard timings or the short ones of the end-to-end tests. Being its own process, its
// CPU time and peak memory (/proc/<pid>/status) are the daemon's alone.
//
//   bench_daemon_host <profile root> <console user> <bus address> <standard|host>

#include "DaemonRestarter.h"
#include "HostTimings.h"
#include "InProcessNotificationCenter.h"
#include "ManualConsoleUserSource.h"
#include "RezodeLoger.h"
#include "WatcherDaemon.h"
#include "linux/DBusNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5 || (args[4] != QLatin1String("standard") && args[4] != QLatin1String("host"))) {
        std::fprintf(
            stderr, "usage: bench_daemon_host <profile root> <console user> <bus address> <standard|host>\n");
        return 64;
    }
    PlatformProfile profile = PlatformProfile::forLinux(args[1]);
    profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);

    ManualConsoleUserSource console(args[2]);
    DaemonRestarter restarter;
    RezodeLoger& logger = RezodeLoger::progressLogger();
    const uid_t benchUid = ::geteuid();
    DBusNotificationCenter notifications(
        QDBusConnection::connectToBus(args[3], QStringLiteral("daemon")),
        [benchUid, check = DistributedNotificationCenter::rootOrConsoleUser(console)](uint uid) {
            return uid == benchUid || check(uid);
        });
    notifications.setTraceLogger([&logger](const QString& line) { logger.logDaemonTrace(line, true); });

    DaemonServices services;
    services.profile = profile;
    services.timings = args[4] == QLatin1String("host") ? hostTimings() : Timings::standard();
    services.logger = &logger;
    services.consoleUser = &console;
    services.notifications = &notifications;
    services.localNotifications = &InProcessNotificationCenter::defaultCenter();
    services.restarter = &restarter;

    WatcherDaemon daemon(services);
    restarter.exitOnTerminationSignals();
    daemon.start();
    return app.exec();
}
