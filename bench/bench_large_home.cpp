// A home of a million small files: the daemon's peak memory (VmHWM of its process) during the first
// backup and the watch that follows, and how soon the first byte leaves (the time from the daemon's
// start until the appliance holds the first file of this machine).
//
// The machine is what an installation and a log-in leave (as in bench_first_backup); the daemon runs
// with its standard timings as a process of its own. The home lies on the watched disk, in 10
// top-level folders of 100 folders each; the appliance keeps its module on a tmpfs. The first backup
// runs until it is done or the time limit has passed (a 2-core machine may need longer than that for a
// million files); then, watching, a burst of new files in the home must reach the appliance too.
//
//   bench_large_home [files=1000000] [limit in seconds for the first backup=900] [burst=10000]
//
// Needs root, like the appliance fixture.

#include "BenchFixture.h"
#include "BenchTable.h"
#include "DaemonBench.h"
#include "PrivateBus.h"

#include <QCoreApplication>
#include <QDirIterator>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

using namespace DaemonBench;

namespace {

const char* const kTop[] = {"Desktop",  "Documents", "Downloads", "Music",  "Pictures",
                            "Projects", "Public",    "Templates", "Videos", "Work"};

// Small files fast: plain system calls, 32 bytes each, the person's (as their programs make them).
bool makeFiles(const QString& home, int files, const QString& prefix, const FixtureUser& owner) {
    const int folders = 1000;
    const int perFolder = std::max(1, files / folders);
    int made = 0;
    for (int f = 0; f < folders && made < files; ++f) {
        const QString folder =
            QStringLiteral("%1/%2/%3 %4").arg(home, QLatin1String(kTop[f % 10]), prefix).arg(f);
        QDir().mkpath(folder);
        (void)::chown(QFile::encodeName(QFileInfo(folder).path()).constData(), owner.uid, owner.gid);
        (void)::chown(QFile::encodeName(folder).constData(), owner.uid, owner.gid);
        const QByteArray base = QFile::encodeName(folder) + "/note ";
        const int count = f == folders - 1 ? files - made : std::min(perFolder, files - made);
        for (int i = 0; i < count; ++i, ++made) {
            const QByteArray name = base + QByteArray::number(i) + ".txt";
            const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0)
                return false;
            const QByteArray content = "note " + QByteArray::number(made).rightJustified(26, '0') + '\n';
            const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size() &&
                            ::fchown(fd, owner.uid, owner.gid) == 0;
            ::close(fd);
            if (!ok)
                return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1000, atoi(argv[1])) : 1000000;
    const int limit = argc > 2 ? std::max(10, atoi(argv[2])) : 900;
    const int burst = argc > 3 ? std::max(0, atoi(argv[3])) : 10000;
    const std::optional<FixtureUser> user = benchFixtureUser();
    if (!user)
        return 0;
    Appliance::Options options;
    options.tmpfs = true;
    // A page per small file, and room.
    options.tmpfsBytes = (qint64(files) + burst) * 4096 * 3 / 2 + (1ll << 30);
    Appliance appliance(options);
    PrivateBus bus;
    QString error;
    if (!appliance.start(&error) || !bus.start(&error)) {
        std::printf("fixture did not start: %s\n", qPrintable(error));
        return 1;
    }
    Machine machine;
    if (!machine.install(*user, &error)) {
        std::printf("installation failed: %s\n", qPrintable(error));
        return 1;
    }
    QElapsedTimer made;
    made.start();
    if (!makeFiles(machine.home, files, QStringLiteral("Folder"), *user)) {
        std::printf("could not write the home\n");
        return 1;
    }
    const QString password = QString::number(QDateTime::currentMSecsSinceEpoch(), 36) + QStringLiteral("-pw");
    appliance.addUser(QStringLiteral("large"), password);
    if (!machine.logIn(QStringLiteral("large"), password, appliance.address()))
        return 1;
    std::printf("home of %d files in 1000 folders written in %.1f s\n", files, made.nsecsElapsed() / 1e9);
    std::fflush(stdout);

    ProgressListener listener(bus.connect(QStringLiteral("bench-large")));
    HostedDaemon daemon;
    QElapsedTimer clock;
    clock.start();
    if (!daemon.start(machine, bus.address(), QStringLiteral("standard")))
        return 1;
    const QString accountFolder =
        appliance.modulePath() + QStringLiteral("/large/") + UtilityClass::machineName();
    // The first byte: any file of this machine on the appliance (rsync's temporary name counts).
    double firstByte = -1;
    pollWithEvents(
        [&] {
            QDirIterator it(accountFolder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            if (it.hasNext()) {
                firstByte = clock.nsecsElapsed() / 1e9;
                return true;
            }
            return !daemon.running();
        },
        120000, 20);
    std::printf("first file on the appliance after %.2f s\n", firstByte);
    std::fflush(stdout);

    // The first backup, until it is done or the limit has passed.
    double lastReport = 0;
    const auto report = [&](const char* when) {
        std::printf("  %s %6.0f s: %s files reported, daemon resident %.1f MB, peak %.1f MB, CPU %.1f s\n",
                    when, clock.nsecsElapsed() / 1e9,
                    qPrintable(listener.lastFigures.value(Protocol::KeyTotalFiles).toString()),
                    daemon.residentMegabytes(), daemon.peakMegabytes(), daemon.cpu());
        std::fflush(stdout);
    };
    const bool completed = pollWithEvents(
        [&] {
            if (clock.nsecsElapsed() / 1e9 - lastReport >= 30) {
                lastReport = clock.nsecsElapsed() / 1e9;
                report("backup");
            }
            return listener.texts.contains(Protocol::ProgressBackupCompleted) || !daemon.running();
        },
        limit * 1000, 200);
    const double backupSeconds = clock.nsecsElapsed() / 1e9;
    report(completed ? "backup done" : "limit reached");
    const double peakDuringBackup = daemon.peakMegabytes();

    // The watch: a burst of new documents in the home reaches the appliance.
    double burstSeconds = -1;
    if (completed && burst > 0) {
        QElapsedTimer burstClock;
        burstClock.start();
        makeFiles(machine.home, burst, QStringLiteral("New"), *user);
        Arrivals arrivals;
        const int folders = 1000;
        const int perFolder = std::max(1, burst / folders);
        int counted = 0;
        for (int f = 0; f < folders && counted < burst; ++f) {
            const int count = f == folders - 1 ? burst - counted : std::min(perFolder, burst - counted);
            for (int i = 0; i < count; ++i, ++counted)
                arrivals.expect(
                    machine.onAppliance(appliance, QStringLiteral("%1/%2/New %3/note %4.txt")
                                                       .arg(machine.home, QLatin1String(kTop[f % 10]))
                                                       .arg(f)
                                                       .arg(i)),
                    32);
        }
        if (pollWithEvents([&] { return arrivals.allThere(); }, 600000, 250))
            burstSeconds = burstClock.nsecsElapsed() / 1e9;
        report("watch");
    }
    // And quiet watching for a while.
    spinFor(20000);
    report("end");
    const double peak = daemon.peakMegabytes();
    std::printf(
        "peak during the first backup %.1f MB, overall %.1f MB; burst of %d new files on the appliance "
        "after %.1f s\n",
        peakDuringBackup, peak, burst, burstSeconds);
    if (!completed || !daemon.running())
        std::printf("%s; the trace ends:\n%s\n",
                    completed ? "the daemon ended" : "first backup not done in time",
                    qPrintable(machine.trace().right(1500)));
    if (const QByteArray keep = qgetenv("BENCH_TRACE"); !keep.isEmpty()) { // for a look by hand
        QFile copy(QString::fromLocal8Bit(keep));
        if (copy.open(QIODevice::WriteOnly))
            copy.write(machine.trace().toUtf8());
    }
    daemon.stop();

    tableRow(qPrintable(QStringLiteral("home of %1 files: daemon peak memory (first backup%2 and watch)")
                            .arg(files)
                            .arg(completed ? QString() : QStringLiteral(", first %1 s").arg(limit))),
             QStringLiteral("%1 MB (backup %2 s%3)")
                 .arg(peak, 0, 'f', 1)
                 .arg(backupSeconds, 0, 'f', 0)
                 .arg(completed ? QString() : QStringLiteral(", not finished")),
             QStringLiteral("—"), QStringLiteral("—"), "≤ 150 MB");
    tableRow(qPrintable(QStringLiteral("home of %1 files: first byte on the appliance").arg(files)),
             QStringLiteral("%1 s").arg(firstByte, 0, 'f', 2), QStringLiteral("—"), QStringLiteral("—"),
             "≤ 10 s");
    return firstByte >= 0 ? 0 : 1;
}
