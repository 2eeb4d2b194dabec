// Measures the change collection: the exclusion test per call with 1,000 user exclusions, and how many
// paths per second travel from file-system event to backup list file during a storm of 100,000
// creates (the collector's deliberate 10 ms pause every 100 paths included).

#include "BackupfileController.h"
#include "DaemonRestarter.h"
#include "ExcludeManager.h"
#include "FSEventWatcher.h"
#include "FilePathsController.h"
#include "InProcessNotificationCenter.h"
#include "PropertyList.h"
#include "RezodeLoger.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

qsizetype listedPaths(const QString& folder) {
    qsizetype n = 0;
    for (const QString& name : QDir(folder).entryList(QDir::Files)) {
        QFile f(folder + u'/' + name);
        if (f.open(QIODevice::ReadOnly))
            n += f.readAll().count('\n') + 1;
    }
    return n;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    const PlatformProfile profile = PlatformProfile::forLinux(root.path());
    RezodeLoger logger;
    InProcessNotificationCenter local;
    DaemonRestarter restarter([](int) {});
    DaemonServices services;
    services.profile = profile;
    services.logger = &logger;
    services.localNotifications = &local;
    services.restarter = &restarter;
    services.timings.fileEventLatency = 500ms;
    services.timings.changeFlushInterval = 1000ms;

    // The user's list: 1,000 folders.
    FilePathsController paths(FilePathsController::Table::Daemon, profile);
    QStringList exclusions;
    for (int i = 0; i < 1000; ++i)
        exclusions << QStringLiteral("/home/user/Excluded folder %1").arg(i);
    QDir().mkpath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
    PropertyList::writeStringArray(paths.pathForApplicationFile(DaemonPath::InitialExcludeList), exclusions,
                                   PropertyList::PublicMode);
    BackupfileController collector(services);
    ExcludeManager rules(services, &collector);
    rules.setConsoleUserName(QString());
    const int calls = 20000;
    QElapsedTimer timer;
    timer.start();
    int excluded = 0;
    for (int i = 0; i < calls; ++i)
        excluded += rules.isExcludeTheFile(QStringLiteral("/home/user/Documents/report %1.odt").arg(i));
    const double perCall = timer.nsecsElapsed() / 1e3 / calls;
    std::printf(
        "isExcludeTheFile, 1,000 user exclusions, path not excluded: %.2f us per call (%d excluded)\n",
        perCall, excluded);

    // The storm.
    QTemporaryDir tree(QStringLiteral("/var/tmp/zh-bench-XXXXXX"));
    FileSystemEventStream::Options options;
    options.root = tree.path();
    options.usersFolder = tree.path();
    collector.initBackupfileController(QString());
    FSEventWatcher watcher(services, &rules, &collector,
                           FileSystemEventStream::create(services.timings.fileEventLatency, options));
    if (!watcher.startWatcher()) {
        std::fprintf(stderr, "no event stream\n");
        return 1;
    }
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const QString listFolder = paths.pathForApplicationFile(DaemonPath::BackupListsFolder);
    timer.restart();
    std::unique_ptr<QThread> creator(QThread::create([&] {
        for (int d = 0; d < files / 1000 + 1; ++d) {
            const QByteArray dir = QFile::encodeName(tree.path()) + "/d" + QByteArray::number(d);
            ::mkdir(dir.constData(), 0755);
            for (int i = d * 1000; i < std::min(files, (d + 1) * 1000); ++i) {
                const QByteArray path = dir + "/f" + QByteArray::number(i);
                ::close(::open(path.constData(), O_CREAT | O_WRONLY, 0644));
            }
        }
    }));
    creator->start();
    creator->wait();
    const double created = timer.nsecsElapsed() / 1e9;
    // Folders are listed too.
    const qsizetype expected = files + files / 1000 + 1;
    // Until everything arrived, or nothing more arrives for five seconds (lost events are reported in
    // the trace and counted short here).
    qsizetype seen = 0;
    qint64 lastGrowth = timer.elapsed();
    double total = 0;
    while (seen < expected && timer.elapsed() - lastGrowth < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
        QThread::msleep(200);
        const qsizetype now = listedPaths(listFolder);
        if (now != seen) {
            seen = now;
            lastGrowth = timer.elapsed();
            total = timer.nsecsElapsed() / 1e9;
        }
    }
    std::printf(
        "storm of %d creates with %s: created in %.2f s; %lld of %lld paths in list files after %.2f s: %.0f "
        "paths/s (latency %lld ms, flush every %lld ms)\n",
        files, qPrintable(watcher.backendName()), created, (long long)seen, (long long)expected, total,
        seen / total, (long long)services.timings.fileEventLatency.count(),
        (long long)services.timings.changeFlushInterval.count());
    return 0;
}
