// The first backup of a home through the whole daemon, from the daemon's start until every file is on
// the appliance, beside a bare `rsync -a` of the same home to the same appliance in the same run.
//
// The machine is what an installation and a log-in leave: the build installed into a temporary
// profile root (the private rsync copy, the first-start marker), the person's home, and the account
// record the application writes once the person chose the local backup. The daemon is a process of
// its own (bench_daemon_host), once with the short timings of the end-to-end tests and once with its
// standard timings, each on a fresh machine with the same home (hard links) and its own account.
// The benchmark listens on the bus as the application does and counts the live figures it hears.
//
//   bench_first_backup [documents=20000] [folders=200] [big files=10] [MB each=20] [top-level folders=10]
//                      [timings: both|host|standard]
//
// The folders are spread over the given number of top-level folders of the home (0: all of them at
// the top of the home), as a home has Documents, Pictures and the like; the big files lie in
// "Videos". The appliance's module is a tmpfs, so that its writes are not events on the disk the
// daemon watches (the appliance is another machine in the field). Needs root, like the fixture.

#include "BenchFixture.h"
#include "BenchTable.h"
#include "DaemonBench.h"
#include "PrivateBus.h"

#include <QCoreApplication>

#include <cstdio>

using namespace DaemonBench;

namespace {

const char* const kTopFolders[] = {"Desktop",  "Documents", "Downloads", "Music",  "Pictures",
                                   "Projects", "Public",    "Templates", "Videos", "Work"};

struct Layout {
    int documents = 20000;
    int folders = 200;
    int bigFiles = 10;
    int bigMegabytes = 20;
    int topFolders = 10;
};

// Writes the home and returns its files with their sizes (relative to the home).
QList<QPair<QString, qint64>> makeHome(const QString& home, const Layout& layout) {
    QList<QPair<QString, qint64>> files;
    const QByteArray document = fileContent(4096, 1);
    const int perFolder = std::max(1, layout.documents / std::max(1, layout.folders));
    int written = 0;
    for (int f = 0; f < layout.folders && written < layout.documents; ++f) {
        const QString folder =
            layout.topFolders > 0
                ? QStringLiteral("/%1/Folder %2")
                      .arg(QString::fromLatin1(kTopFolders[f % std::min(layout.topFolders, 10)]))
                      .arg(f, 3, 10, QLatin1Char('0'))
                : QStringLiteral("/Folder %1").arg(f, 3, 10, QLatin1Char('0'));
        QDir().mkpath(home + folder);
        const int count = f == layout.folders - 1 ? layout.documents - written : perFolder;
        for (int d = 0; d < count; ++d) {
            QByteArray content = document;
            const QByteArray stamp = QByteArray::number(written);
            content.replace(0, stamp.size(), stamp); // each document its own
            const QString name =
                QStringLiteral("%1/Document %2.txt").arg(folder).arg(d, 4, 10, QLatin1Char('0'));
            writeFile(home + name, content);
            files << qMakePair(name, qint64(content.size()));
            ++written;
        }
    }
    QDir().mkpath(home + QStringLiteral("/Videos"));
    for (int b = 0; b < layout.bigFiles; ++b) {
        const QString name = QStringLiteral("/Videos/Film %1.mkv").arg(b);
        const QByteArray content = fileContent(qint64(layout.bigMegabytes) << 20, 100 + b);
        writeFile(home + name, content);
        files << qMakePair(name, qint64(content.size()));
    }
    return files;
}

struct Result {
    bool ok = false;
    double seconds = 0;
    double bareSeconds = 0;
    double floorSeconds = 0; // the same sets through the private copy alone
    double cpu = 0;
    double peak = 0;
    int figures = 0;
    double firstFileSeconds = 0;
};

Result runOnce(const QString& timings, const QString& sourceHome, const QList<QPair<QString, qint64>>& files,
               const FixtureUser& user, Appliance& appliance, PrivateBus& bus) {
    Result result;
    Machine machine;
    QString error;
    if (!machine.install(user, &error)) {
        std::printf("installation failed: %s\n", qPrintable(error));
        return result;
    }
    // The same home on every machine: hard links to the scratch home's files.
    if (ChildProcess::run({QStringLiteral("cp"), QStringLiteral("-al"), sourceHome + QStringLiteral("/."),
                           machine.home + u'/'}) != 0) {
        std::printf("could not link the home\n");
        return result;
    }
    const QString account = QStringLiteral("first-") + timings;
    const QString password = QString::number(QDateTime::currentMSecsSinceEpoch(), 36) + QStringLiteral("-pw");
    appliance.addUser(account, password);
    if (!machine.logIn(account, password, appliance.address())) {
        std::printf("log-in failed\n");
        return result;
    }

    // Baseline: the same home, bare, to the same appliance.
    result.bareSeconds =
        bareRsync({QStringLiteral("-a"), machine.home + u'/',
                   QStringLiteral("%1@%2::backup/%1/bare/").arg(account, appliance.address())},
                  password, machine.root.path());
    std::printf("[%s] bare rsync -a: %.2f s\n", qPrintable(timings), result.bareSeconds);

    // What the design itself costs: the initial backup's sets (the home's top-level entries, five at
    // a time) through the private rsync copy with the daemon's options, one after another, no daemon.
    {
        QStringList top;
        for (const QString& entry : QDir(machine.home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
            top << machine.home + u'/' + entry;
        const QString privateRsync = machine.paths.pathForApplicationFile(DaemonPath::PrivateRsync);
        const QString passwordFile = machine.root.path() + QStringLiteral("/floor.pw");
        FileTools::writeAtomically(passwordFile, password.toUtf8(), 0600);
        QElapsedTimer floor;
        floor.start();
        for (qsizetype i = 0; i < top.size(); i += 5) {
            QProcess set;
            set.setStandardOutputFile(QProcess::nullDevice());
            set.setStandardErrorFile(QProcess::nullDevice());
            set.start(privateRsync,
                      {QStringLiteral("--progress"), QStringLiteral("--dirs"), QStringLiteral("--recursive"),
                       QStringLiteral("-v"), QStringLiteral("--password-file=") + passwordFile,
                       QStringLiteral("--files-from=-"), QStringLiteral("/"),
                       QStringLiteral("%1@%2::\"backup/%1/floor\"").arg(account, appliance.address())});
            set.write(top.mid(i, 5).join(u'\n').toUtf8());
            set.closeWriteChannel();
            set.waitForFinished(-1);
        }
        result.floorSeconds = floor.nsecsElapsed() / 1e9;
        std::printf("[%s] the same %d sets through the private copy alone: %.2f s\n", qPrintable(timings),
                    int((top.size() + 4) / 5), result.floorSeconds);
    }

    Arrivals arrivals;
    for (const auto& [name, size] : files)
        arrivals.expect(machine.onAppliance(appliance, machine.home + name), size);
    ProgressListener listener(bus.connect(QStringLiteral("bench-app-") + timings));
    HostedDaemon daemon;
    QElapsedTimer clock;
    clock.start();
    const qint64 started = QDateTime::currentMSecsSinceEpoch();
    if (!daemon.start(machine, bus.address(), timings)) {
        std::printf("the daemon did not start\n");
        return result;
    }
    qint64 firstSeen = 0;
    const QString accountFolder =
        appliance.modulePath() + u'/' + account + u'/' + UtilityClass::machineName();
    const bool arrived = pollWithEvents(
        [&] {
            if (!firstSeen && QFileInfo::exists(accountFolder))
                firstSeen = clock.elapsed();
            return arrivals.allThere() || !daemon.running();
        },
        60 * 60 * 1000, 50);
    result.seconds = clock.nsecsElapsed() / 1e9;
    if (!arrived || arrivals.missing() > 0) {
        std::printf("[%s] %lld files did not arrive; the daemon's trace ends:\n%s\n%s\n", qPrintable(timings),
                    (long long)arrivals.missing(), qPrintable(machine.trace().right(3000)),
                    qPrintable(daemon.log().right(2000)));
        return result;
    }
    // The end of the run reaches the application too.
    pollWithEvents([&] { return listener.texts.contains(Protocol::ProgressBackupCompleted); }, 120000);
    result.cpu = daemon.cpu();
    result.peak = daemon.peakMegabytes();
    result.figures = listener.files;
    result.firstFileSeconds = firstSeen / 1000.0;
    std::printf("[%s] first file on the appliance after %.2f s, first figures heard after %.2f s\n",
                qPrintable(timings), firstSeen / 1000.0,
                listener.firstFigures ? (listener.firstFigures - started) / 1000.0 : -1.0);
    result.ok = true;
    std::printf(
        "[%s] all %d files on the appliance after %.2f s (bare %.2f s, %.2f×); daemon CPU %.2f s, peak "
        "%.1f MB; %d live figures heard, last \"%s\"; \"%s\" %s\n",
        qPrintable(timings), int(files.size()), result.seconds, result.bareSeconds,
        result.seconds / result.bareSeconds, result.cpu, result.peak, result.figures,
        qPrintable(listener.lastFigures.value(Protocol::KeyTotalFiles).toString()),
        qPrintable(QString(Protocol::ProgressBackupCompleted)),
        listener.texts.contains(Protocol::ProgressBackupCompleted) ? "heard" : "NOT heard");
    if (qEnvironmentVariableIsSet("BENCH_TRACE")) // for a look by hand
        std::printf("%s\n", qPrintable(machine.trace()));
    std::fflush(stdout);
    daemon.stop();
    return result;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Layout layout;
    if (argc > 1)
        layout.documents = std::max(1, atoi(argv[1]));
    if (argc > 2)
        layout.folders = std::max(1, atoi(argv[2]));
    if (argc > 3)
        layout.bigFiles = std::max(0, atoi(argv[3]));
    if (argc > 4)
        layout.bigMegabytes = std::max(1, atoi(argv[4]));
    if (argc > 5)
        layout.topFolders = std::max(0, atoi(argv[5]));
    const QString only = argc > 6 ? QString::fromLocal8Bit(argv[6]) : QStringLiteral("both");
    const std::optional<FixtureUser> fixtureUser = benchFixtureUser();
    if (!fixtureUser)
        return 0;
    // The appliance keeps its module on a tmpfs of its own: like the appliance in the field (another
    // machine), what it writes is no event on the disks the daemon watches.
    Appliance::Options options;
    options.tmpfs = true;
    options.tmpfsBytes = 4ll << 30;
    Appliance appliance(options);
    PrivateBus bus;
    QString error;
    if (!appliance.start(&error) || !bus.start(&error)) {
        std::printf("fixture did not start: %s\n", qPrintable(error));
        return 1;
    }

    // The home, once, in a scratch root; every machine links to it.
    TempRoot scratch;
    const QString source = scratch.path() + QStringLiteral("/home");
    QElapsedTimer made;
    made.start();
    const QList<QPair<QString, qint64>> files = makeHome(source, layout);
    std::printf(
        "home: %d documents of 4 KB in %d folders (%d at the top), %d files of %d MB; written in %.1f s\n",
        layout.documents, layout.folders, layout.topFolders, layout.bigFiles, layout.bigMegabytes,
        made.nsecsElapsed() / 1e9);

    bool all = true;
    for (const QString& timings : {QStringLiteral("host"), QStringLiteral("standard")}) {
        if (only != QLatin1String("both") && only != timings)
            continue;
        const Result r = runOnce(timings, source, files, *fixtureUser, appliance, bus);
        all = all && r.ok;
        if (!r.ok)
            continue;
        const bool host = timings == QLatin1String("host");
        if (host)
            tableRow("first backup, its sets through the private copy alone (no daemon)",
                     QStringLiteral("%1 s").arg(r.floorSeconds, 0, 'f', 1),
                     QStringLiteral("bare rsync -a %1 s").arg(r.bareSeconds, 0, 'f', 1),
                     ratioText(r.floorSeconds / r.bareSeconds), "—");
        tableRow(host ? "first backup through the daemon, short timings"
                      : "first backup through the daemon, standard timings",
                 QStringLiteral("%1 s (%2 figures heard)").arg(r.seconds, 0, 'f', 1).arg(r.figures),
                 QStringLiteral("bare rsync -a %1 s").arg(r.bareSeconds, 0, 'f', 1),
                 ratioText(r.seconds / r.bareSeconds), host ? "≤ 1.3×" : "—");
    }
    return all ? 0 : 1;
}
