// zh-screenshots-restore <folder>: the restore window in its main states, saved as PNGs.

#include "AppTestSupport.h"
#include "RestoreSummaryDialog.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "SearchController.h"
#include "VersionsDialog.h"
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
        ui.snapshotBtn->setCurrentIndex(0); // the search is over what is backed up now
        auto* results = new SearchController(&w);
        ui.contentLayout->insertWidget(1, results);
        results->setSearchResult({{{"name", "AlicesMac/home/alice/Documents/report.odt"},
                                   {"size", "1572864"},
                                   {"lmd", "2024-03-01 09:12:00 +0000"}},
                                  {{"name", "AlicesMac/home/alice/report draft.odt"},
                                   {"size", "20480"},
                                   {"lmd", "2024-02-11 17:40:00 +0000"}}});
        shots.save(&w, QStringLiteral("search-results"));

        // More hits than are shown, and an index the backup holds while it merges.
        QList<QVariantMap> many;
        for (int i = 0; i < SearchController::MaxHits; ++i)
            many.append(
                {{"name",
                  QStringLiteral("AlicesMac/home/alice/Photos/2023/IMG_%1.jpg").arg(i, 5, 10, QChar(u'0'))},
                 {"size", "2314752"},
                 {"lmd", "2023-08-14 16:02:11 +0000"}});
        SearchController::Outcome cut;
        cut.hits = many;
        cut.more = true;
        ui.search->setText(QStringLiteral("IMG_"));
        results->setSearchOutcome(cut);
        shots.save(&w, QStringLiteral("search-cut"));
        SearchController::Outcome busy;
        busy.status = IndexSearch::Status::Locked;
        ui.search->setText(QStringLiteral("report"));
        results->setSearchOutcome(busy);
        shots.save(&w, QStringLiteral("search-index-busy"));
        delete results;
        ui.backgroundview->show();
        ui.search->clear();
        ui.snapshotBtn->setCurrentIndex(0);

        // Opened at the person's home: this machine's folder, the folders of the home's path, and the
        // home itself open, current and at the top.
        for (QWidget* on : {static_cast<QWidget*>(ui.Downloadlb), static_cast<QWidget*>(ui.pDownloadLocation),
                            static_cast<QWidget*>(ui.Browse)})
            on->show();
        model->resetTree(false);
        model->setRootEntries({entry("AlicesMac", true, "4096"), entry("OldLaptop", true, "4096")});
        ZHTreeNode* node = model->tree().mRootItem()->childAtIndex(0);
        for (const char* name : {"home", "alice"}) {
            model->setFolderEntries(node, {entry(QString::fromLatin1(name), true, "4096")});
            ui.mOutlineView->expand(model->indexFor(node));
            node = node->childAtIndex(0);
        }
        model->setFolderEntries(node, {entry("Desktop", true, "4096"), entry("Documents", true, "4096"),
                                       entry("Music", true, "4096"), entry("Pictures", true, "4096"),
                                       entry("B\u00fccher \u2713.txt", false, "12")});
        ui.mOutlineView->expand(model->indexFor(node));
        ui.mOutlineView->setCurrentIndex(model->indexFor(node));
        shots.save(&w, QStringLiteral("opened-at-home"));

        // The summary before a restore into a folder that is not there yet, with two items of one name.
        const QString fresh = QStringLiteral("/home/alice/Restored files");
        const RestoreSummary summary = RestoreSummary::of(
            {{QStringLiteral("notes.txt"), 18211, false, QStringLiteral("AlicesMac/home/alice/notes.txt")},
             {QStringLiteral("notes.txt"), 9120, false, QStringLiteral("AlicesMac/home/alice/Old/notes.txt")},
             {QStringLiteral("Documents"), -1, true, QStringLiteral("AlicesMac/home/alice/Documents")}},
            fresh, QStringLiteral(".before-restore-20260301-090000"));
        RestoreSummaryDialog dialog(summary);
        dialog.resize(980, 300);
        shots.save(&dialog, QStringLiteral("summary-new-folder"));

        // "Versions…" of a file changed in three of 30 snapshots, read from a listing as rsync prints it.
        {
            const QString item = QStringLiteral("AlicesMac/home/alice/Documents/report.odt");
            QByteArray listing =
                "-rw-r--r--      1,604,112 2024/03/02 08:41:09 alice/" + item.toUtf8() + '\n';
            for (int day = 1; day <= 30; ++day) {
                const char* const stamp = day > 20   ? "1,572,864 2024/01/26 17:03:45"
                                          : day > 10 ? "1,498,112 2024/01/14 11:20:02"
                                                     : "  931,840 2024/01/02 09:15:37";
                listing +=
                    QStringLiteral("-rw-r--r--      %1 .zfs/snapshot/auto-202401%2.0900-daily/alice/%3\n")
                        .arg(QLatin1String(stamp))
                        .arg(day, 2, 10, QChar(u'0'))
                        .arg(item)
                        .toUtf8();
            }
            VersionsDialog versions(item, false, QStringLiteral("AlicesMac")); // this computer's item
            versions.setListing(ItemVersions::parse(listing, QStringLiteral("alice"), item), QString());
            versions.selectRow(2);
            versions.resize(720, 300);
            shots.save(&versions, QStringLiteral("versions"));
        }

        // The help, as it reads on this system.
        w.HelpButton();
        if (auto* popup = w.findChild<QFrame*>(QStringLiteral("ZHPopupView")))
            shots.save(popup, QStringLiteral("help"));
    });
}
