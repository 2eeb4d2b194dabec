// zh-screenshots-restore <folder>: the restore window in its main states, saved as PNGs.

#include "EventLoopWait.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "SearchController.h"
#include "TestRoots.h"
#include "ui_RestoreViewController.h"

#include <QApplication>
#include <QDir>

namespace {

QVariantMap entry(const QString& name, bool folder, const QString& size) {
    return {
        {QStringLiteral("RelativePath"), name},
        {QStringLiteral("Permission"), folder ? QStringLiteral("drwxr-xr-x") : QStringLiteral("-rw-r--r--")},
        {QStringLiteral("Type"), size},
        {QStringLiteral("LMD"), QStringLiteral("2024/03/01")},
        {QStringLiteral("LMT"), QStringLiteral("10:20:30")}};
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);
    TempRoot root;
    RezodeLoger trace;
    RestoreViewController w(root.profile(), QString(), &trace, nullptr);
    w.resize(760, 535);
    w.show();
    waitUntil([&] { return !w.isBusy(); }, 30000);
    const auto save = [&](const QString& state) {
        QApplication::processEvents();
        w.grab().save(out + QStringLiteral("/restore-%1.png").arg(state));
    };
    RestoreTreeModel* model = w.treeModel();
    w.ui()->NoDataMsg->hide();
    w.ui()->pDownloadLocation->setText(QStringLiteral("/home/alice/Downloads"));
    model->setRootEntries({entry(QStringLiteral("Documents"), true, QStringLiteral("4096")),
                           entry(QStringLiteral("Pictures"), true, QStringLiteral("4096")),
                           entry(QStringLiteral("notes 2024.txt"), false, QStringLiteral("18211"))});
    save(QStringLiteral("live"));

    ZHTreeNode* documents = model->tree().mRootItem()->childAtIndex(0);
    model->setFolderEntries(documents, {entry(QStringLiteral("Invoices"), true, QStringLiteral("4096")),
                                        entry(QStringLiteral("report.odt"), false, QStringLiteral("1572864")),
                                        entry(QStringLiteral("letter.txt"), false, QStringLiteral("2048"))});
    w.ui()->mOutlineView->expand(model->indexFor(documents));
    model->toggle(documents->childAtIndex(1));
    model->toggle(model->tree().mRootItem()->childAtIndex(1));
    save(QStringLiteral("ticked-and-mixed"));

    w.ui()->snapshotBtn->clear();
    w.ui()->snapshotBtn->addItems({QStringLiteral("Snapshot"), QStringLiteral("2024-03-01 09:00 AM ")});
    w.ui()->snapshotBtn->setCurrentIndex(1);
    w.ui()->snapshotBtn->show();
    w.ui()->resetSnapshotBtn->show();
    w.ui()->search->hide();
    w.ui()->pHeaderContent->setText(QStringLiteral("Snapshot as on 2024-03-01 09:00 AM "));
    save(QStringLiteral("snapshot"));

    w.ui()->Downloadlb->hide();
    w.ui()->pDownloadLocation->hide();
    w.ui()->Browse->hide();
    w.ui()->cancelDownload->show();
    w.ui()->pStatusContent->show();
    w.ui()->pStatusContent->setText(QStringLiteral("Downloading Documents/report.odt 42%"));
    save(QStringLiteral("downloading"));

    w.ui()->backgroundview->hide();
    w.ui()->search->show();
    w.ui()->resetSnapshotBtn->hide();
    w.ui()->pHeaderContent->clear();
    w.ui()->cancelDownload->hide();
    w.ui()->pStatusContent->hide();
    auto* results = new SearchController(&w);
    w.ui()->contentLayout->insertWidget(1, results);
    results->setSearchResult(
        {{{QStringLiteral("name"), QStringLiteral("AlicesMac/home/alice/Documents/report.odt")},
          {QStringLiteral("size"), QStringLiteral("1572864")},
          {QStringLiteral("lmd"), QStringLiteral("2024-03-01 09:12:00 +0000")}},
         {{QStringLiteral("name"), QStringLiteral("AlicesMac/home/alice/report draft.odt")},
          {QStringLiteral("size"), QStringLiteral("20480")},
          {QStringLiteral("lmd"), QStringLiteral("2024-02-11 17:40:00 +0000")}}});
    save(QStringLiteral("search-results"));
    return 0;
}
