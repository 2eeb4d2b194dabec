// "Versions…" of the restore window against the appliance fixture, offscreen: the versions of one file
// across many snapshots, from the click on the window's "Versions…" button (the file chosen in the
// outline, which opens at the person's home) until the list shows (filled and painted), against a bare
// "rsync --list-only" of the same file in every snapshot through the module's wildcard
// (".zfs/snapshot/*/<account>/<path>", with --relative so that each copy keeps its snapshot's name).
//
//   bench_versions [snapshots]      default 1,000
//
// Needs root, like the fixture.
#include "Appliance.h"
#include "BenchFixture.h"
#include "BenchTable.h"
#include "FilePathsController.h"
#include "RestoreBench.h"
#include "RestoreTreeModel.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "TestRoots.h"
#include "UtilityClass.h"
#include "VersionsDialog.h"
#include "ZHTreeNode.h"
#include "ui_RestoreViewController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

using RestoreBench::Account;
using RestoreBench::Password;

// The outline's row of path (its names below the account), once the outline has listed it.
QModelIndex rowOf(RestoreTreeModel* model, const QString& path, const QModelIndex& parent = {}) {
    for (int row = 0; row < model->rowCount(parent); ++row) {
        const QModelIndex index = model->index(row, 0, parent);
        const ZHTreeNode* node = model->nodeFor(index);
        if (!node || node->isPlaceholder())
            continue;
        const QString name = node->fullPath();
        if (name == path)
            return index;
        if (path.startsWith(name + u'/'))
            return rowOf(model, path, index);
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    const int snapshots = std::max(1, app.arguments().value(1, QStringLiteral("1000")).toInt());
    const int changes = 10; // the file changes every snapshots / changes snapshots
    const std::optional<FixtureUser> fixtureUser = benchFixtureUser();
    if (!fixtureUser)
        return 0;
    const FixtureUser& user = *fixtureUser;
    // The file lies in the person's home on this machine, where the restore window's outline opens.
    TempRoot root;
    root.createHome(user);
    const QString item =
        UtilityClass::machineName() + root.profile().homeOf(user.name) + QStringLiteral("/notes.txt");
    QString error;
    Appliance appliance;
    appliance.addUser(Account, Password);
    if (!appliance.start(&error)) {
        std::printf("appliance did not start: %s\n", qPrintable(error));
        return 1;
    }
    appliance.putFile(Account + u'/' + QFileInfo(item).path() + QStringLiteral("/other.txt"), "beside\n");
    QElapsedTimer made;
    made.start();
    for (int i = 0; i < snapshots; ++i) {
        if (i % std::max(1, snapshots / changes) == 0)
            appliance.putFile(Account + u'/' + item, QByteArray(100 + i, 'v'));
        const QDateTime at = QDateTime(QDate(2024, 1, 1), QTime(0, 0)).addSecs(qint64(i) * 3600);
        if (!appliance.createSnapshot(
                QStringLiteral("auto-%1-hourly").arg(at.toString(QStringLiteral("yyyyMMdd.HHmm"))))) {
            std::printf("snapshot %d could not be made\n", i);
            return 1;
        }
    }
    std::printf("versions: %d snapshots made in %.1f s\n", snapshots, made.nsecsElapsed() / 1e9);

    FilePathsController paths(FilePathsController::Table::Application, root.profile());
    paths.setM_ConsoleUserName(user.name);
    const QString barePasswordFile = RestoreBench::signIn(paths, root.path(), appliance.address(), true);
    if (barePasswordFile.isEmpty())
        return 1;
    RezodeLoger trace;
    trace.setLogWritePath(root.path() + QStringLiteral("/InteractiveTrace.txt"));

    RestoreViewController window(root.profile(), user.name, &trace, nullptr);
    window.resize(900, 600);
    window.show();
    QModelIndex row;
    if (!waitFor([&] { return !window.isBusy() && (row = rowOf(window.treeModel(), item)).isValid(); },
                 300000)) {
        std::printf("the window did not open at %s\n", qPrintable(item));
        return 1;
    }
    window.ui()->mOutlineView->setCurrentIndex(row);
    auto* versions = window.findChild<QPushButton*>(QStringLiteral("versionsButton"));
    if (!versions) {
        std::printf("the window has no Versions… button\n");
        return 1;
    }
    double bestBare = 1e99, bestWindow = 1e99;
    qsizetype groups = 0;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer t;
        t.start();
        QProcess bare;
        bare.start(
            QStringLiteral("rsync"),
            {QStringLiteral("--list-only"), QStringLiteral("--relative"),
             QStringLiteral("--password-file=") + barePasswordFile,
             QStringLiteral("%1@%2::backup/.zfs/snapshot/*/%1/%3").arg(Account, appliance.address(), item)});
        bare.waitForFinished(-1);
        const qsizetype copies = bare.readAllStandardOutput().count(item.toUtf8());
        const double bareSeconds = t.nsecsElapsed() / 1e9;
        if (copies != snapshots) {
            std::printf("bare listing found %lld copies, not %d\n", qint64(copies), snapshots);
            return 1;
        }
        t.restart();
        versions->click();
        VersionsDialog* dialog = window.versionsDialog();
        if (!dialog || !waitFor([&] { return dialog->isListed() && dialog->list()->topLevelItemCount() > 0; },
                                600000, 2)) {
            std::printf("the versions did not arrive\n");
            return 1;
        }
        dialog->grab(); // lays out and paints the list
        const double windowSeconds = t.nsecsElapsed() / 1e9;
        qsizetype listed = 0;
        for (const auto& g : dialog->groups())
            for (const ItemVersion& v : g)
                listed += v.live() ? 0 : 1;
        groups = dialog->list()->topLevelItemCount();
        if (listed != snapshots) {
            std::printf("the window listed %lld copies, not %d: %s\n", qint64(listed), snapshots,
                        qPrintable(dialog->statusText()));
            return 1;
        }
        std::printf(
            "  round %d: bare wildcard listing %.3f s, Versions… click until painted %.3f s (%.2fx)\n",
            round + 1, bareSeconds, windowSeconds, windowSeconds / bareSeconds);
        bestBare = std::min(bestBare, bareSeconds);
        bestWindow = std::min(bestWindow, windowSeconds);
        dialog->close();
        QCoreApplication::processEvents();
    }
    std::printf("  %lld rows shown; best: bare %.3f s, window %.3f s\n", qint64(groups), bestBare,
                bestWindow);
    tableRow(qPrintable(QStringLiteral("versions of a file in %1 snapshots, click to list").arg(snapshots)),
             QStringLiteral("%1 s").arg(bestWindow, 0, 'f', 2),
             QStringLiteral("bare wildcard --list-only %1 s").arg(bestBare, 0, 'f', 2),
             ratioText(bestWindow / bestBare), "< 2 s, ≤ 1.20×");
    return 0;
}
