// The restore window against the appliance fixture, offscreen:
//  1. restoring folders of many files through the window's real download path (one rsync per ticked
//     item, progress lines into the status line, each item kept out of the backup while it is written)
//     against a bare rsync of the same items, one after another into a fresh folder;
//  2. listing a folder of many entries, from the expand in the outline until its rows are in the model,
//     and until the window has been painted with them, against a bare "rsync --list-only" of the folder.
//
//   bench_restore [--full] [--private]
//
// Without arguments a smoke run of a few seconds (10 MB in 100 files, 2,000 entries); --full restores
// 1 GB in 10,000 files (10 folders) in five rounds and lists 100,000 entries. --private restores with the
// private rsync copy instead of the system rsync. Needs root, like the fixture.
#include "Appliance.h"
#include "BenchFixture.h"
#include "BenchTable.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "Protocol.h"
#include "RestoreBench.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"
#include "TestRoots.h"
#include "ui_RestoreViewController.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

using RestoreBench::Account;
using RestoreBench::Password;

ZHTreeNode* topNode(RestoreViewController& w, const QString& name) {
    for (ZHTreeNode* n : w.treeModel()->tree().mRootItem()->getChildren())
        if (n->relativePath() == name)
            return n;
    return nullptr;
}

// Folder sizes below a path, to check that both runs brought everything.
qint64 bytesBelow(const QString& folder, int* files) {
    qint64 total = 0;
    *files = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        total += it.nextFileInfo().size();
        ++*files;
    }
    return total;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool full = args.contains(QStringLiteral("--full"));
    const bool privateRsync = args.contains(QStringLiteral("--private"));
    const int files = full ? 10000 : 100;
    const qint64 totalBytes = full ? (qint64(1) << 30) : 10 * 1024 * 1024;
    const int folders = 10;
    const int entries = full ? 100000 : 2000;
    const int rounds = full ? 5 : 1;

    const std::optional<FixtureUser> fixtureUser = benchFixtureUser();
    if (!fixtureUser)
        return 0;
    const FixtureUser& user = *fixtureUser;
    QString error;
    Appliance appliance;
    appliance.addUser(Account, Password);
    if (!appliance.start(&error)) {
        std::printf("appliance did not start: %s\n", qPrintable(error));
        return 1;
    }

    // The items: folders "Set 0".."Set 9" sharing the files; and one folder of many empty entries.
    const qint64 fileBytes = totalBytes / files;
    QByteArray noise(int(fileBytes) + 4096, Qt::Uninitialized);
    QRandomGenerator random(18);
    for (char& c : noise)
        c = char(random.generate() & 0xff);
    const QString area = appliance.modulePath() + u'/' + Account;
    for (int i = 0; i < files; ++i) {
        const QString folder = area + QStringLiteral("/Set %1").arg(i % folders);
        if (i < folders)
            FileTools::makePath(folder);
        QFile f(folder + QStringLiteral("/file %1.bin").arg(i));
        if (!f.open(QIODevice::WriteOnly) ||
            f.write(noise.constData() + (i % 4096), fileBytes) != fileBytes) {
            std::printf("cannot write %s\n", qPrintable(f.fileName()));
            return 1;
        }
    }
    FileTools::makePath(area + QStringLiteral("/Big"));
    for (int i = 0; i < entries; ++i)
        QFile(area + QStringLiteral("/Big/entry %1.txt").arg(i, 6, 10, QChar(u'0')))
            .open(QIODevice::WriteOnly);

    // The window's world: a temporary root with the user's support folder and account record.
    TempRoot root;
    root.createHome(user);
    FilePathsController paths(FilePathsController::Table::Application, root.profile());
    paths.setM_ConsoleUserName(user.name);
    const QString barePasswordFile =
        RestoreBench::signIn(paths, root.path(), appliance.address(), !privateRsync);
    if (barePasswordFile.isEmpty())
        return 1;
    const QString privateCopy = paths.pathForApplicationFile(AppPath::PrivateRsync);
    FileTools::makePath(QFileInfo(privateCopy).absolutePath());
    QFile::copy(QStringLiteral(ZH_PRIVATE_RSYNC), privateCopy);
    RezodeLoger trace;
    trace.setLogWritePath(root.path() + QStringLiteral("/InteractiveTrace.txt"));

    RestoreViewController window(root.profile(), user.name, &trace, nullptr);
    window.resize(900, 600);
    window.show();
    if (!waitFor([&] { return !window.isBusy() && topNode(window, QStringLiteral("Big")); }, 120000)) {
        QFile log(root.path() + QStringLiteral("/InteractiveTrace.txt"));
        log.open(QIODevice::ReadOnly);
        std::printf("the root listing did not arrive:\n%s\n", log.readAll().constData());
        return 1;
    }

    const double idleRss = residentMegabytes();
    std::printf("restore: %d files, %lld bytes in %d folders, %s rsync\n", files, qint64(files) * fileBytes,
                folders, privateRsync ? "private" : "system");
    QStringList items;
    for (int i = 0; i < folders; ++i)
        items << QStringLiteral("Set %1").arg(i);
    for (const QString& item : items)
        window.treeModel()->toggle(topNode(window, item));

    // Each round times both, the bare runs first in odd rounds and the window first in even ones, each
    // after a sync, so that neither meets the other's write-back or always the warmer cache.
    struct Round {
        double bare = 0, window = 0;
        double ratio() const { return window / bare; }
    };
    QList<Round> measured;
    for (int round = 0; round < rounds; ++round) {
        Round r;
        int bareFiles = 0, windowFiles = 0;
        qint64 bareBytes = 0, windowBytes = 0;
        // A bare rsync of the same items, one run per item, into a fresh folder.
        const auto runBare = [&] {
            const QString bare = root.path() + QStringLiteral("/bare");
            FileTools::makePath(bare);
            ::sync();
            QElapsedTimer t;
            t.start();
            for (const QString& item : items) {
                QProcess rsync;
                rsync.start(QStringLiteral("rsync"),
                            {QStringLiteral("--recursive"),
                             QStringLiteral("--password-file=") + barePasswordFile,
                             RsyncConventions::remotePath(RsyncConventions::RemoteForm::UserItemPlain,
                                                          {Account, appliance.address(), Account, item},
                                                          RsyncConventions::Launch::Direct),
                             bare + u'/'});
                if (!rsync.waitForFinished(-1) || rsync.exitCode() != 0) {
                    std::printf("bare rsync of %s failed: %s\n", qPrintable(item),
                                rsync.readAllStandardError().constData());
                    return false;
                }
            }
            r.bare = t.nsecsElapsed() / 1e9;
            bareBytes = bytesBelow(bare, &bareFiles);
            QDir(bare).removeRecursively();
            return true;
        };
        // The window's download of the ticked folders.
        const auto runWindow = [&] {
            const QString destination = root.path() + QStringLiteral("/restored");
            FileTools::makePath(destination);
            window.setDownloadLocation(destination);
            bool finished = false;
            QStringList failed;
            const auto connection =
                QObject::connect(&window, &RestoreViewController::restoreFinished, [&](const QStringList& f) {
                    finished = true;
                    failed = f;
                });
            ::sync();
            QElapsedTimer t;
            t.start();
            window.Restore();
            waitFor([&] { return finished; }, 3600000);
            r.window = t.nsecsElapsed() / 1e9;
            QObject::disconnect(connection);
            windowBytes = bytesBelow(destination, &windowFiles);
            QDir(destination).removeRecursively();
            if (!finished || !failed.isEmpty()) {
                std::printf("restore did not finish cleanly, failed: %s\n", qPrintable(failed.join(u',')));
                return false;
            }
            return true;
        };
        const bool ok = round % 2 == 0 ? runBare() && runWindow() : runWindow() && runBare();
        if (!ok)
            return 1;
        if (windowFiles != bareFiles || windowBytes != bareBytes) {
            std::printf("restore incomplete: %d files / %lld bytes (bare %d / %lld)\n", windowFiles,
                        windowBytes, bareFiles, bareBytes);
            return 1;
        }
        std::printf("  round %d (%s first): bare rsync %.2f s, restore window %.2f s (%.3fx)\n", round + 1,
                    round % 2 == 0 ? "bare" : "window", r.bare, r.window, r.ratio());
        measured << r;
    }
    // The round with the median ratio, and how many rounds met the goal.
    QList<Round> byRatio = measured;
    std::sort(byRatio.begin(), byRatio.end(),
              [](const Round& a, const Round& b) { return a.ratio() < b.ratio(); });
    const Round median = byRatio.at(byRatio.size() / 2);
    const auto within =
        std::count_if(measured.cbegin(), measured.cend(), [](const Round& r) { return r.ratio() <= 1.10; });
    std::printf("  median round: bare rsync %.2f s, restore window %.2f s, ratio %.3f; %lld of %lld rounds "
                "within 1.10x\n",
                median.bare, median.window, median.ratio(), (long long)within, (long long)measured.size());
    tableRow(
        qPrintable(
            QStringLiteral("restore of %1 files (%2 MB)").arg(files).arg(qint64(files) * fileBytes >> 20)),
        QStringLiteral("%1 s (median of %2 rounds; %3 of %2 within the goal)")
            .arg(median.window, 0, 'f', 2)
            .arg(measured.size())
            .arg(within),
        QStringLiteral("bare rsync %1 s").arg(median.bare, 0, 'f', 2), ratioText(median.ratio()), "≤ 1.10×");

    // Listing: a bare "rsync --list-only" of the folder, then the expand in the outline.
    std::printf("listing: a folder of %d entries\n", entries);
    QElapsedTimer t;
    t.start();
    QProcess list;
    list.start(QStringLiteral("rsync"),
               {QStringLiteral("--list-only"), QStringLiteral("--password-file=") + barePasswordFile,
                RsyncConventions::remotePath(RsyncConventions::RemoteForm::UserItemPlain,
                                             {Account, appliance.address(), Account, QStringLiteral("Big/")},
                                             RsyncConventions::Launch::Direct)});
    list.waitForFinished(-1);
    const qsizetype listed = list.readAllStandardOutput().count('\n');
    const double bareListing = t.nsecsElapsed() / 1e9;
    std::printf("  bare rsync --list-only: %.3f s (%lld lines)\n", bareListing, qint64(listed));

    ZHTreeNode* big = topNode(window, QStringLiteral("Big"));
    QTreeView* outline = window.ui()->mOutlineView;
    t.restart();
    outline->expand(window.treeModel()->indexFor(big));
    const bool arrived = waitFor(
        [&] {
            big = topNode(window, QStringLiteral("Big"));
            return big && !big->hasdummyChildren() &&
                   window.treeModel()->rowCount(window.treeModel()->indexFor(big)) == entries;
        },
        600000);
    const double inModel = t.nsecsElapsed() / 1e9;
    window.grab(); // lays out and paints the outline with the new rows
    const double painted = t.nsecsElapsed() / 1e9;
    QCoreApplication::processEvents(); // what the window does once the rows are in
    if (!arrived) {
        std::printf("  the folder's rows did not arrive\n");
        return 1;
    }
    std::printf("  restore window: rows in the outline's model %.3f s, painted %.3f s\n", inModel, painted);
    const double browsingRss = residentMegabytes();
    std::printf("resident memory: %.1f MB with the window open, %.1f MB browsing %d entries\n", idleRss,
                browsingRss, entries);
    tableRow(qPrintable(QStringLiteral("a folder of %1 entries in the outline").arg(entries)),
             QStringLiteral("%1 s").arg(painted, 0, 'f', 2),
             QStringLiteral("bare --list-only %1 s").arg(bareListing, 0, 'f', 2),
             ratioText(painted / bareListing), "—");
    tableRow("application RSS, window open / after listing the folder",
             QStringLiteral("%1 MB / %2 MB").arg(idleRss, 0, 'f', 0).arg(browsingRss, 0, 'f', 0),
             QStringLiteral("—"), QStringLiteral("—"), "≤ 100 MB");
    return 0;
}
