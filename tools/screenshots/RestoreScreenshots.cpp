// zh-screenshots-restore <folder>: the restore window in its main states, saved as PNGs.

#include "AppTestSupport.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "SearchController.h"
#include "ui_RestoreViewController.h"

namespace {

QVariantMap entry(const QString& name, bool folder, const QString& size) {
    return {{"RelativePath", name},
            {"Permission", folder ? "drwxr-xr-x" : "-rw-r--r--"},
            {"Type", size},
            {"LMD", "2024/03/01"},
            {"LMT", "10:20:30"}};
}

} // namespace

int main(int argc, char** argv) {
    return screenshotsMain(argc, argv, "restore", [](Shots& shots) {
        TempRoot root;
        RezodeLoger trace;
        RestoreViewController w(root.profile(), QString(), &trace, nullptr);
        Ui::RestoreViewController& ui = *w.ui();
        w.resize(760, 535);
        w.show();
        waitUntil([&] { return !w.isBusy(); }, 30000);
        RestoreTreeModel* model = w.treeModel();
        ui.NoDataMsg->hide();
        ui.pDownloadLocation->setText(QStringLiteral("/home/alice/Downloads"));
        model->setRootEntries({entry("Documents", true, "4096"), entry("Pictures", true, "4096"),
                               entry("notes 2024.txt", false, "18211")});
        shots.save(&w, QStringLiteral("live"));

        ZHTreeNode* documents = model->tree().mRootItem()->childAtIndex(0);
        model->setFolderEntries(documents,
                                {entry("Invoices", true, "4096"), entry("report.odt", false, "1572864"),
                                 entry("letter.txt", false, "2048")});
        ui.mOutlineView->expand(model->indexFor(documents));
        model->toggle(documents->childAtIndex(1));
        model->toggle(model->tree().mRootItem()->childAtIndex(1));
        shots.save(&w, QStringLiteral("ticked-and-mixed"));

        ui.snapshotBtn->clear();
        ui.snapshotBtn->addItems({QStringLiteral("Snapshot"), QStringLiteral("2024-03-01 09:00 AM ")});
        ui.snapshotBtn->setCurrentIndex(1);
        for (QWidget* on :
             {static_cast<QWidget*>(ui.snapshotBtn), static_cast<QWidget*>(ui.resetSnapshotBtn)})
            on->show();
        ui.search->hide();
        ui.pHeaderContent->setText(QStringLiteral("Snapshot as on 2024-03-01 09:00 AM "));
        shots.save(&w, QStringLiteral("snapshot"));

        for (QWidget* off : {static_cast<QWidget*>(ui.Downloadlb),
                             static_cast<QWidget*>(ui.pDownloadLocation), static_cast<QWidget*>(ui.Browse)})
            off->hide();
        ui.cancelDownload->show();
        ui.pStatusContent->show();
        ui.pStatusContent->setText(QStringLiteral("Downloading Documents/report.odt 42%"));
        shots.save(&w, QStringLiteral("downloading"));

        for (QWidget* off :
             {static_cast<QWidget*>(ui.backgroundview), static_cast<QWidget*>(ui.resetSnapshotBtn),
              static_cast<QWidget*>(ui.cancelDownload), static_cast<QWidget*>(ui.pStatusContent)})
            off->hide();
        ui.search->show();
        ui.pHeaderContent->clear();
        auto* results = new SearchController(&w);
        ui.contentLayout->insertWidget(1, results);
        results->setSearchResult({{{"name", "AlicesMac/home/alice/Documents/report.odt"},
                                   {"size", "1572864"},
                                   {"lmd", "2024-03-01 09:12:00 +0000"}},
                                  {{"name", "AlicesMac/home/alice/report draft.odt"},
                                   {"size", "20480"},
                                   {"lmd", "2024-02-11 17:40:00 +0000"}}});
        shots.save(&w, QStringLiteral("search-results"));
    });
}
