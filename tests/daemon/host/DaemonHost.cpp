// The daemon's real object graph as a process of its own, for end-to-end tests: a temporary profile
// root, a private bus, a console user named on the command line, and short timings. It ends the way
// the daemon ends (status 1 on every restart trigger), so a test can play the service supervisor.
//
//   zh-daemon-host <profile root> <console user> <bus address> [standard-timings]
//
// A console user "@<file>" is read from that file (missing or empty: nobody at the console) and read
// again every 200 ms, so a test can log a user in or out while the daemon runs. With "standard-timings"
// the daemon waits as long as in the field (for measuring it at rest).

#include "ConsoleUserSource.h"
#include "DaemonRestarter.h"
#include "HostTimings.h"
#include "InProcessNotificationCenter.h"
#include "ManualConsoleUserSource.h"
#include "RezodeLoger.h"
#include "ServedPerson.h"
#include "SystemJournal.h"
#include "WatcherDaemon.h"
#include "linux/DBusNotificationCenter.h"
#include "linux/LogindSleepInhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4 && !(args.size() == 5 && args[4] == QLatin1String("standard-timings"))) {
        std::fprintf(
            stderr, "usage: zh-daemon-host <profile root> <console user> <bus address> [standard-timings]\n");
        return 64;
    }
    PlatformProfile profile = PlatformProfile::forLinux(args[1]);
    profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);

    const bool fromFile = args[2].startsWith(u'@');
    const QString consoleFile = args[2].mid(1);
    const auto consoleName = [&consoleFile] {
        QFile file(consoleFile);
        const QString name =
            file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
        return name.isEmpty() ? QString(ConsoleUserSource::LoginWindow) : name;
    };
    ManualConsoleUserSource console(fromFile ? consoleName() : args[2]);
    QTimer consolePoll;
    if (fromFile) {
        QObject::connect(&consolePoll, &QTimer::timeout, [&] { console.setUserName(consoleName()); });
        consolePoll.start(200);
    }
    DaemonRestarter restarter;
    RezodeLoger& logger = RezodeLoger::progressLogger();
    logger.setTraceMirror(
        [](const QString& line) { SystemJournal::send(QStringLiteral("ZorvikHollinWatcher"), line); });
    const uid_t consoleUid = ::geteuid();
    // Like the daemon: root and the user at the screen; and the account running the host, for tests.
    ServedPerson served;
    DBusNotificationCenter notifications(
        QDBusConnection::connectToBus(args[3], QStringLiteral("daemon")),
        [consoleUid, check = DistributedNotificationCenter::rootOrServedPerson(console, served)](uint uid) {
            return uid == consoleUid || check(uid);
        });
    notifications.setTraceLogger([&logger](const QString& line) { logger.logDaemonTrace(line, true); });

    // logind, as the daemon asks it, on the test's bus (a test may put a stand-in logind there).
    LogindSleepInhibitor sleepInhibitor(QDBusConnection::connectToBus(args[3], QStringLiteral("logind")));
    sleepInhibitor.setTraceLogger([&logger](const QString& line) { logger.logDaemonTrace(line, true); });

    DaemonServices services;
    services.profile = profile;
    services.timings = args.size() == 5 ? Timings::standard() : hostTimings();
    services.logger = &logger;
    services.consoleUser = &console;
    services.notifications = &notifications;
    services.localNotifications = &InProcessNotificationCenter::defaultCenter();
    services.restarter = &restarter;
    services.sleepInhibitor = &sleepInhibitor;
    services.servedPerson = &served;

    WatcherDaemon daemon(services);
    restarter.exitOnTerminationSignals();
    daemon.start();
    return app.exec();
}
