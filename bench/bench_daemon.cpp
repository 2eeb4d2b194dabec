// The daemon as the person meets it, with its standard timings, against the appliance fixture:
//  1. idle: CPU time and resident memory of the daemon (this process) over a quiet period after the
//     initial backup, with the file-system watch running (fanotify marks the file system holding the
//     profile root, so every event on that disk reaches the daemon and is filtered there);
//  2. latency: the time from saving a new document until it is on the appliance, p50 and p95, beside a
//     bare rsync of the same file.
//
//   bench_daemon [idle seconds=60] [changes=10]
//
// Needs root, like the fixture. The appliance (rsync daemon) and rsync children are other processes:
// the idle figures are the daemon's own.

#include "Appliance.h"
#include "BenchFixture.h"
#include "BenchTable.h"
#include "DaemonRestarter.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "InProcessNotificationCenter.h"
#include "ManualConsoleUserSource.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "TestRoots.h"
#include "UtilityClass.h"
#include "WatcherDaemon.h"
#include "linux/DBusNotificationCenter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool writeFile(const QString& path, const QByteArray& content) {
    FileTools::makePath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

double percentile(QList<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0
                            : values[std::min<qsizetype>(values.size() - 1, qsizetype(p * values.size()))];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int idleSeconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    const int changes = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    const std::optional<FixtureUser> fixtureUser = benchFixtureUser();
    if (!fixtureUser)
        return 0;
    const FixtureUser& user = *fixtureUser;
    QString error;
    // A password made for this run; it stays on this machine.
    const QString account = QStringLiteral("bench");
    const QString password = QString::number(QDateTime::currentMSecsSinceEpoch(), 36) + QStringLiteral("-pw");
    Appliance appliance;
    PrivateBus bus;
    appliance.addUser(account, password);
    if (!appliance.start(&error) || !bus.start(&error)) {
        std::printf("fixture did not start: %s\n", qPrintable(error));
        return 1;
    }
    TempRoot root;
    PlatformProfile profile = root.profile();
    profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);
    FilePathsController paths(FilePathsController::Table::Daemon, profile);
    paths.setM_ConsoleUserName(user.name);
    const QString home = root.createHome(user);
    FileTools::makePath(root.path() + QStringLiteral("/etc")); // where the password file goes
    FileTools::makePath(QFileInfo(profile.privateRsyncPath).path());
    QFile::link(QStringLiteral(ZH_PRIVATE_RSYNC), profile.privateRsyncPath);
    FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
    PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails),
                                  {{Protocol::UserName, account},
                                   {Protocol::Password, password},
                                   {Protocol::Ip, appliance.address()},
                                   {Protocol::Login, QStringLiteral("1")},
                                   {Protocol::PauseStateKey, QStringLiteral("0")},
                                   {Protocol::LocalBackup, QStringLiteral("1")},
                                   {Protocol::TimeMachineBackup, QStringLiteral("0")}},
                                  PropertyList::OwnerOnlyMode);
    FileTools::makePath(profile.systemSupportFolder);
    QFile(paths.pathForApplicationFile(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    const QString firstDocument = home + QStringLiteral("/Documents/first.txt");
    writeFile(firstDocument, "the first document\n");
    const auto onAppliance = [&](const QString& localPath) {
        return appliance.modulePath() + u'/' + account + u'/' + UtilityClass::machineName() + localPath;
    };

    ManualConsoleUserSource console(user.name);
    DaemonRestarter restarter;
    DBusNotificationCenter notifications(bus.connect(QStringLiteral("bench-daemon")),
                                         [](uint) { return true; });
    DaemonServices services;
    services.profile = profile;
    services.timings = Timings::standard();
    services.logger = &RezodeLoger::progressLogger();
    services.consoleUser = &console;
    services.notifications = &notifications;
    services.localNotifications = &InProcessNotificationCenter::defaultCenter();
    services.restarter = &restarter;
    WatcherDaemon daemon(services);
    QElapsedTimer clock;
    clock.start();
    daemon.start();
    const auto fail = [&](const char* what) {
        QFile trace(paths.pathForApplicationFile(DaemonPath::DaemonTrace));
        trace.open(QIODevice::ReadOnly);
        std::printf("%s; the daemon's trace:\n%s\n", what, trace.readAll().right(4000).constData());
        return 1;
    };
    if (!waitUntil([&] { return QFileInfo::exists(onAppliance(firstDocument)); }, 120000))
        return fail("the initial backup did not arrive");
    std::printf("initial backup on the appliance after %.1f s\n", clock.nsecsElapsed() / 1e9);

    spinFor(5000); // the end of the run and its session log
    const double cpuBefore = cpuSeconds();
    clock.restart();
    {
        // The daemon's own event loop, blocked as in the real program (a polling wait would cost CPU).
        QEventLoop idle;
        QTimer::singleShot(idleSeconds * 1000, &idle, &QEventLoop::quit);
        idle.exec();
    }
    const double idleCpu = (cpuSeconds() - cpuBefore) / (clock.nsecsElapsed() / 1e9) * 100;
    const double rss = residentMegabytes();
    std::printf("idle %d s: CPU %.2f %%, resident %.1f MB\n", idleSeconds, idleCpu, rss);

    QList<double> latencies;
    for (int i = 0; i < changes; ++i) {
        const QString document = home + QStringLiteral("/Documents/change %1.txt").arg(i);
        clock.restart();
        writeFile(document, QByteArray("change ") + QByteArray::number(i) + '\n');
        if (!waitUntil([&] { return QFileInfo::exists(onAppliance(document)); }, 120000))
            return fail("a change did not arrive");
        latencies << clock.nsecsElapsed() / 1e9;
        std::printf("  change %d on the appliance after %.2f s\n", i, latencies.last());
        spinFor(1000);
    }

    // Baseline: a bare rsync of one such file to the same module.
    const QString passwordFile = root.path() + QStringLiteral("/bare.pw");
    FileTools::writeAtomically(passwordFile, password.toUtf8(), 0600);
    QProcess bare;
    clock.restart();
    bare.start(QStringLiteral("rsync"),
               {QStringLiteral("--password-file=") + passwordFile, firstDocument,
                QStringLiteral("rsync://%1@%2/backup/%1/bare.txt").arg(account, appliance.address())});
    bare.waitForFinished(60000);
    const double bareSeconds = clock.nsecsElapsed() / 1e9;

    const double p50 = percentile(latencies, 0.5), p95 = percentile(latencies, 0.95);
    std::printf("latency over %d changes: p50 %.2f s, p95 %.2f s; bare rsync of one file %.2f s (exit %d)\n",
                changes, p50, p95, bareSeconds, bare.exitCode());
    tableRow("change to appliance, p50 / p95 (standard timings)",
             QStringLiteral("%1 s / %2 s").arg(p50, 0, 'f', 1).arg(p95, 0, 'f', 1),
             QStringLiteral("bare rsync %1 s").arg(bareSeconds, 0, 'f', 2), QStringLiteral("—"), "—");
    tableRow("daemon idle CPU", QStringLiteral("%1 %").arg(idleCpu, 0, 'f', 2), QStringLiteral("—"),
             QStringLiteral("—"), "≈ 0 %");
    tableRow("daemon idle RSS", QStringLiteral("%1 MB").arg(rss, 0, 'f', 1), QStringLiteral("—"),
             QStringLiteral("—"), "< 40 MB");
    return 0;
}
