// Before a restore starts it says what it will do, conflicts included; Cancel starts nothing, Restore
// runs, and its end is one desktop notification. A restore goes on when its window is closed and
// opened again from the menu; a cancelled one is never announced as finished.

#include "RestoreSummaryDialog.h"
#include "AppTestHost.h"
#include "Appliance.h"
#include "ApplicationWindows.h"
#include "EventLoopWait.h"
#include "FileTools.h"
#include "Protocol.h"
#include "Requirements.h"
#include "RestoreViewController.h"
#include "ui_RestoreViewController.h"

#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

QVariantMap entry(const char* permission, const char* name) {
    return {{"Permission", permission},
            {"Type", "1,234"},
            {"LMD", "2026/03/01"},
            {"LMT", "09:00:00"},
            {"RelativePath", name}};
}

RestoreSummaryDialog* summaryOf(RestoreViewController* w) {
    waitUntil([&] { return w->findChild<RestoreSummaryDialog*>() != nullptr; });
    return w->findChild<RestoreSummaryDialog*>();
}

} // namespace

TEST(RestoreSummaryDialogTest, ListsTheConflictAndRestoresOnlyWhenAskedTo) {
    AppTestHost::Options options;
    options.windows = applicationWindows();
    AppTestHost host(options);
    ZH_SKIP_IF(host.setUp());
    ZH_SKIP_IF(host.setUpDesktopNotifications());
    // Nothing answers at this address: every rsync run of the restore fails.
    host.writeDetails({{Protocol::UserName, QStringLiteral("zhacct")},
                       {Protocol::Ip, QStringLiteral("127.0.0.254")},
                       {Protocol::LocalBackup, QStringLiteral("1")}});
    host.launch();
    host.app().RestoreWin();
    RestoreViewController* w = RestoreViewController::sharedController();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(waitUntil([&] { return !w->isBusy(); }, 60000));

    const QString destination = host.root.path() + QStringLiteral("/Restored here");
    FileTools::makePath(destination);
    QFile mine(destination + QStringLiteral("/report 1.txt"));
    ASSERT_TRUE(mine.open(QIODevice::WriteOnly) && mine.write("mine\n") == 5);
    mine.close();
    w->setDownloadLocation(destination);
    w->treeModel()->setRootEntries({entry("-rw-r--r--", "report 1.txt"), entry("drwxr-xr-x", "Photos")});
    for (ZHTreeNode* node : w->treeModel()->tree().mRootItem()->getChildren())
        w->treeModel()->toggle(node);
    QSignalSpy finished(w, &RestoreViewController::restoreFinished);

    w->Restore();
    RestoreSummaryDialog* dialog = summaryOf(w);
    ASSERT_NE(dialog, nullptr);
    const QString headline = dialog->findChild<QLabel*>(QStringLiteral("headline"))->text();
    EXPECT_TRUE(headline.startsWith(QStringLiteral("2 items, at least 1.2"))) << headline.toStdString();
    EXPECT_TRUE(headline.contains(destination + QStringLiteral(".\n1 of them meet something already there")));
    auto* rows = dialog->findChild<QTreeWidget*>(QStringLiteral("items"));
    ASSERT_EQ(rows->topLevelItemCount(), 2);
    EXPECT_EQ(rows->topLevelItem(0)->text(2), destination + QStringLiteral("/report 1.txt"));
    EXPECT_EQ(rows->topLevelItem(0)->text(3), QStringLiteral("kept under a new name"));
    EXPECT_EQ(rows->topLevelItem(1)->text(3), QStringLiteral("nothing"));
    EXPECT_TRUE(dialog->findChild<QLabel*>(QStringLiteral("conflicts"))
                    ->text()
                    .startsWith(QStringLiteral("report 1.txt: A file of this name is there: it is kept as "
                                               "\u201creport 1.txt.before-restore-")));

    dialog->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
    ASSERT_TRUE(waitUntil([&] { return w->findChild<RestoreSummaryDialog*>() == nullptr; }));
    spinFor(500);
    EXPECT_FALSE(w->isRestoreRunning());
    EXPECT_EQ(finished.count(), 0);

    // Restore runs; with the appliance unreachable it fails, loses nothing, and says so once.
    w->Restore();
    summaryOf(w)->findChild<QPushButton*>(QStringLiteral("restoreButton"))->click();
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }, 120000));
    EXPECT_EQ(finished.first().first().toStringList(), (QStringList{"report 1.txt", "Photos"}));
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
    EXPECT_EQ(mine.readAll(), QByteArray("mine\n"));
    const NotificationServiceStandIn& service = host.notificationService;
    ASSERT_TRUE(waitUntil([&] { return service.count(QStringLiteral("Restore failed")) == 1; }));
    EXPECT_EQ(service.bodies.last(), QStringLiteral("Could not restore: report 1.txt, Photos"));
    EXPECT_EQ(service.summaries.size(), 1);
}

TEST(RestoreSummaryDialogTest, NamesTheRealTargetsOfANewFolderAndOfItemsOfOneName) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString destination = folder.path() + QStringLiteral("/not yet/here");
    const QString suffix = QStringLiteral(".before-restore-20260301-090000");
    const QList<RestoreSummary::Item> items{
        {QStringLiteral("notes.txt"), 10, false, QStringLiteral("Mac/home/ann/notes.txt")},
        {QStringLiteral("notes.txt"), 12, false, QStringLiteral("Mac/home/ann/old/notes.txt")},
        {QStringLiteral("Photos"), -1, true, QStringLiteral("Mac/home/ann/Photos")},
        {QStringLiteral("Photos"), -1, true, QStringLiteral("Mac/home/bob/Photos")}};
    const RestoreSummary summary = RestoreSummary::of(items, destination, suffix);
    EXPECT_TRUE(summary.createsFolder);
    EXPECT_TRUE(
        summary.headline().contains(QStringLiteral("This folder does not exist yet: it is created first")))
        << summary.headline().toStdString();
    ASSERT_EQ(summary.entries.size(), 4);
    EXPECT_EQ(summary.entries[0].destination, destination + QStringLiteral("/notes.txt"));
    EXPECT_EQ(summary.entries[1].destination, destination + QStringLiteral("/notes.txt"));
    EXPECT_EQ(summary.entries[0].outcome, QStringLiteral("nothing"));
    EXPECT_EQ(summary.entries[1].outcome, QStringLiteral("replaces notes.txt above, kept under a new name"));
    EXPECT_EQ(summary.entries[1].existing,
              QStringLiteral("notes.txt above lands on the same name: it is kept as "
                             "\u201cnotes.txt%1-2\u201d when this one is written.")
                  .arg(suffix));
    EXPECT_EQ(summary.entries[3].outcome, QStringLiteral("merged with Photos above"));
    EXPECT_EQ(RestoreSummary::keepSuffixes(items, suffix),
              (QStringList{suffix, suffix + "-2", suffix, suffix + "-2"}));
    EXPECT_FALSE(QFileInfo::exists(destination)) << "a summary changes nothing";
    // A folder that is there is not announced as new.
    EXPECT_FALSE(RestoreSummary::of(items, folder.path(), suffix).createsFolder);
}

TEST(RestoreSummaryDialogTest, OpenedAgainDuringARestoreTheWindowStaysAndACancelIsNoFinish) {
    ZH_SKIP_IF(Appliance::skipReason());
    Appliance appliance;
    QString error;
    ASSERT_TRUE(appliance.start(&error)) << error.toStdString();
    const QString account = QStringLiteral("zhacct"), password = QStringLiteral("fixture-only");
    ASSERT_TRUE(appliance.addUser(account, password));
    ASSERT_TRUE(appliance.putFile(account + QStringLiteral("/Big.bin"), QByteArray(128 * 1024 * 1024, 'b')));
    ASSERT_TRUE(appliance.putFile(account + QStringLiteral("/small.txt"), "small\n"));
    AppTestHost::Options options;
    options.windows = applicationWindows();
    AppTestHost host(options);
    ZH_SKIP_IF(host.setUp());
    ZH_SKIP_IF(host.setUpDesktopNotifications());
    // The machine as an installation leaves it (the private rsync copy included).
    const QString installed = host.root.installBuild();
    ASSERT_TRUE(installed.isEmpty()) << installed.toStdString();
    host.writeDetails({{Protocol::UserName, account},
                       {Protocol::Password, password},
                       {Protocol::Ip, appliance.address()},
                       {Protocol::LocalBackup, QStringLiteral("1")}});
    host.launch();
    const NotificationServiceStandIn& service = host.notificationService;
    const auto openWindow = [&] {
        host.app().RestoreWin();
        RestoreViewController* w = RestoreViewController::sharedController();
        EXPECT_TRUE(w && waitUntil([&] { return !w->isBusy(); }, 60000));
        return w;
    };
    const auto startRestore = [&](RestoreViewController* w, const QString& destination) {
        for (ZHTreeNode* node : w->treeModel()->tree().mRootItem()->getChildren())
            w->treeModel()->toggle(node);
        w->setDownloadLocation(destination);
        w->Restore();
        RestoreSummaryDialog* dialog = summaryOf(w);
        EXPECT_NE(dialog, nullptr) << host.trace().right(3000).toStdString();
        if (!dialog)
            return;
        // The real targets: inside the folder, which is made first.
        const QString headline = dialog->findChild<QLabel*>(QStringLiteral("headline"))->text();
        EXPECT_TRUE(headline.contains(QStringLiteral("This folder does not exist yet")))
            << headline.toStdString();
        auto* rows = dialog->findChild<QTreeWidget*>(QStringLiteral("items"));
        EXPECT_EQ(rows->topLevelItem(0)->text(2), destination + QStringLiteral("/Big.bin"));
        dialog->findChild<QPushButton*>(QStringLiteral("restoreButton"))->click();
        EXPECT_TRUE(waitUntil([&] { return !w->ui()->cancelDownload->isHidden(); }, 60000));
    };

    QPointer<RestoreViewController> w = openWindow();
    ASSERT_TRUE(w);
    QSignalSpy finished(w.data(), &RestoreViewController::restoreFinished);
    const QString destination = host.root.path() + QStringLiteral("/Restored");
    startRestore(w, destination);
    // Closed, then opened again from the menu while it downloads: the same window, restoring on.
    w->close();
    host.app().RestoreWin();
    ASSERT_TRUE(w);
    EXPECT_EQ(RestoreViewController::sharedController(), w.data());
    EXPECT_TRUE(w->isVisible());
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }, 120000));
    EXPECT_EQ(finished.first().first().toStringList(), QStringList());
    EXPECT_EQ(QFileInfo(destination + QStringLiteral("/Big.bin")).size(), 128 * 1024 * 1024);
    EXPECT_EQ(QFileInfo(destination + QStringLiteral("/small.txt")).size(), 6);
    ASSERT_TRUE(waitUntil([&] { return service.count(QStringLiteral("Restore finished")) == 1; }));

    // Closed with nothing under way, it is made anew when opened again.
    w->close();
    QPointer<RestoreViewController> again = openWindow();
    EXPECT_TRUE(w.isNull());
    ASSERT_TRUE(again);

    // Cancelled: said so, and not as finished.
    startRestore(again, host.root.path() + QStringLiteral("/Restored again"));
    again->CancelDownload();
    ASSERT_TRUE(waitUntil([&] { return service.count(QStringLiteral("Restore cancelled")) == 1; }, 120000));
    EXPECT_EQ(service.bodies.last(), QStringLiteral("Not restored: Big.bin."));
    spinFor(300);
    EXPECT_EQ(service.count(QStringLiteral("Restore finished")), 1);
    EXPECT_EQ(again->ui()->pStatusContent->text(),
              QStringLiteral("Restore cancelled: Big.bin not restored."));
}
