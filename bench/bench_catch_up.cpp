// The start-up catch-up over a large home: how long the walk takes and how much memory it needs when a
// home of many files had a few changes while no daemon ran, and that exactly those are found. Baseline:
// `find <home> -newer <stamp>`, the plain tool that lists what changed since a moment, in the same run.
//
//   bench_catch_up [files=1000000] [changes=100] [folder to build the home in=/var/tmp]
//
// The first walk (cold catalogue, as after an upgrade) builds the catalogue; the second, after the
// changes, is the one a start makes. Both run with a warm page cache (the home was just written); a
// cold cache adds the disk's time to read the folders.

#include "BenchTable.h"
#include "ChangeCatchUp.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int files = args.value(1, QStringLiteral("1000000")).toInt();
    const int changes = args.value(2, QStringLiteral("100")).toInt();
    QTemporaryDir dir(args.value(3, QStringLiteral("/var/tmp")) + QStringLiteral("/bench-catch-up-XXXXXX"));
    const QString home = dir.path() + QStringLiteral("/home");
    std::printf("Building a home of %d files in %s …\n", files, qPrintable(home));
    std::fflush(stdout);
    const int perFolder = 1000;
    for (int made = 0, f = 0; made < files; ++f) {
        const QByteArray folder =
            QFile::encodeName(QStringLiteral("%1/Top %2/Folder %3").arg(home).arg(f % 10).arg(f));
        QDir().mkpath(QFile::decodeName(folder));
        for (int i = 0; i < perFolder && made < files; ++i, ++made) {
            const int fd = ::open((folder + "/note " + QByteArray::number(i) + ".txt").constData(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, "note\n", 5) != 5)
                return 1;
            ::close(fd);
        }
    }
    ChangeCatchUp::Catalogue catalogue;
    ChangeCatchUp::Walk walk;
    walk.roots = {home};
    walk.queue = [](const QString&, const QByteArray&) {};
    walk.sinceMs = std::numeric_limits<qint64>::max();
    QElapsedTimer first;
    first.start();
    ChangeCatchUp::walk(walk, &catalogue);
    const qint64 firstMs = first.elapsed();

    QThread::msleep(50);
    const qint64 stopped = QDateTime::currentMSecsSinceEpoch();
    const QString stamp = dir.path() + QStringLiteral("/stamp");
    QFile(stamp).open(QIODevice::WriteOnly);
    QThread::msleep(50);
    // The changes: files edited and new ones spread over the home.
    for (int c = 0; c < changes; ++c) {
        const int f = (c * 7919) % std::max(1, files / perFolder);
        const QByteArray path = QFile::encodeName(QStringLiteral("%1/Top %2/Folder %3/%4 %5.txt")
                                                      .arg(home)
                                                      .arg(f % 10)
                                                      .arg(f)
                                                      .arg(c % 2 ? "note" : "new")
                                                      .arg(c));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 || ::write(fd, "changed\n", 8) != 8)
            return 1;
        ::close(fd);
    }
    const ChangeCatchUp::Catalogue known = catalogue;
    int found = 0;
    walk.sinceMs = stopped;
    walk.known = &known;
    walk.queue = [&found](const QString&, const QByteArray&) { ++found; };
    const double before = residentMegabytes();
    QElapsedTimer second;
    second.start();
    ChangeCatchUp::Catalogue met;
    const ChangeCatchUp::Result result = ChangeCatchUp::walk(walk, &met);
    const qint64 catchUpMs = second.elapsed();
    const double peak = residentMegabytes("VmHWM:");

    QElapsedTimer bare;
    bare.start();
    QProcess find;
    find.start(QStringLiteral("find"),
               {home, QStringLiteral("-newer"), stamp, QStringLiteral("-type"), QStringLiteral("f")});
    find.waitForFinished(-1);
    const int findFound = find.readAllStandardOutput().count('\n');
    const qint64 findMs = bare.elapsed();

    std::printf("first walk (no catalogue): %lld ms; catch-up: %lld ms, %lld folders, %lld files, %d found "
                "(%d changed); find -newer: %lld ms, %d found; memory: %.1f MB before, peak %.1f MB\n",
                qint64(firstMs), qint64(catchUpMs), result.folders, result.files, found, changes,
                qint64(findMs), findFound, before, peak);
    tableRow("start-up catch-up: walk of the home, changes found (warm cache)",
             QStringLiteral("%1 s, %2 of %3 found, peak %4 MB")
                 .arg(catchUpMs / 1000.0, 0, 'f', 2)
                 .arg(found)
                 .arg(changes)
                 .arg(peak, 0, 'f', 1),
             QStringLiteral("find -newer %1 s").arg(findMs / 1000.0, 0, 'f', 2),
             ratioText(double(catchUpMs) / std::max<qint64>(1, findMs)),
             "≤ 10 s, ≤ 150 MB, exactly the changes");
    return found == changes ? 0 : 2;
}
