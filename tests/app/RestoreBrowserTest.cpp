// The restore window against the appliance fixture (a real rsync daemon with snapshots), offscreen:
// listings, snapshots, restores with both rsync dialects, cancel, exclusions, and the search over the
// index the daemon's test host builds.

#include "Appliance.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "QtPrinters.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "SearchController.h"
#include "TestRoots.h"
#include "ui_RestoreViewController.h"
#include "ui_SearchController.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <memory>

#include <unistd.h>

namespace {

const QString Account = QStringLiteral("zhacct");
const QString TmAccount = QStringLiteral("tmacct");
const QString TestPassword = QStringLiteral("fixture-only");
Appliance* appliance = nullptr;
QString applianceSkip;

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

class RestoreBrowserTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        applianceSkip = Appliance::skipReason();
        if (!applianceSkip.isEmpty())
            return;
        appliance = new Appliance;
        QString error;
        if (!appliance->start(&error)) {
            applianceSkip = QStringLiteral("appliance did not start: ") + error;
            return;
        }
        appliance->addUser(Account, TestPassword);
        appliance->addUser(TmAccount, TestPassword);
        appliance->createSnapshot(QStringLiteral("auto-20230101.0000-empty")); // account folders still empty
        appliance->putFile(Account + QStringLiteral("/My Docs/report 1.txt"), "alpha\n");
        appliance->putFile(Account + QStringLiteral("/.hidden"), "h");
        appliance->putFile(Account + QStringLiteral("/Photos/Trip/p2.jpg"), QByteArray(70000, 'p'));
        appliance->putFile(TmAccount + QStringLiteral("/a.sparsebundle/band0"), "b");
        for (int i = 0; i < 35; ++i)
            appliance->createSnapshot(QStringLiteral("auto-20240115.10%1-daily").arg(i, 2, 10, QChar(u'0')));
        appliance->putFile(Account + QStringLiteral("/marker.txt"), "live marker\n");
        appliance->createSnapshot(QStringLiteral("auto-20250101.0900-x"));
        appliance->createSnapshot(QStringLiteral("auto-2025 0101.0900-x")); // listed as auto-20250101.0900-x
        appliance->putFile(TmAccount + QStringLiteral("/b.dmg"), "d");      // live only
    }
    static void TearDownTestSuite() {
        delete appliance;
        appliance = nullptr;
    }

    void SetUp() override {
        if (!applianceSkip.isEmpty())
            GTEST_SKIP() << applianceSkip.toStdString();
        user = FixtureUser::get();
        home = root.createHome(user);
        paths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Application, root.profile());
        paths->setM_ConsoleUserName(user.name);
        QDir().mkpath(paths->pathForApplicationFile(AppPath::UserSupportFolder));
        QDir().mkpath(QFileInfo(paths->pathForApplicationFile(AppPath::PrivateRsync)).absolutePath());
        QFile::copy(QStringLiteral(ZH_PRIVATE_RSYNC), paths->pathForApplicationFile(AppPath::PrivateRsync));
        tracePath = root.path() + QStringLiteral("/InteractiveTrace.txt");
        trace.setLogWritePath(tracePath);
        useSystemRsync(true);
    }

    void useSystemRsync(bool system) {
        PropertyList::writeDictionary(
            paths->pathForApplicationFile(AppPath::RsyncVersion),
            {{Protocol::DefaultRsync, system ? QStringLiteral("1") : QStringLiteral("0")}},
            PropertyList::PublicMode);
    }

    std::unique_ptr<RestoreViewController> open(const QString& account) {
        PropertyList::writeDictionary(paths->pathForApplicationFile(AppPath::UserDetails),
                                      {{Protocol::UserName, account},
                                       {Protocol::Password, TestPassword},
                                       {Protocol::Ip, appliance->address()}},
                                      PropertyList::OwnerOnlyMode);
        auto w = std::make_unique<RestoreViewController>(root.profile(), user.name, &trace, nullptr,
                                                         RestoreTimings{100, 2000});
        // The exclusion editor's list file, kept the way the editor keeps it.
        const QString excludeList = paths->pathForApplicationFile(AppPath::InitialExcludeList);
        w->setExcludeListDelegate(
            {[excludeList](const QString& p) {
                 QStringList l = PropertyList::readStringArray(excludeList);
                 PropertyList::writeStringArray(excludeList, l << p, PropertyList::PublicMode);
             },
             [excludeList](const QString& p) {
                 QStringList l = PropertyList::readStringArray(excludeList);
                 l.removeAll(p);
                 PropertyList::writeStringArray(excludeList, l, PropertyList::PublicMode);
             }});
        w->show();
        idle(w.get());
        return w;
    }

    static void idle(RestoreViewController* w) {
        EXPECT_TRUE(waitUntil([w] { return !w->isBusy(); }, 120000));
    }

    static ZHTreeNode* top(RestoreViewController* w, const QString& name) {
        for (ZHTreeNode* n : w->treeModel()->tree().mRootItem()->getChildren())
            if (n->relativePath() == name)
                return n;
        return nullptr;
    }
    static QStringList topNames(RestoreViewController* w) {
        QStringList names;
        for (ZHTreeNode* n : w->treeModel()->tree().mRootItem()->getChildren())
            names << n->relativePath();
        names.sort();
        return names;
    }

    QStringList restore(RestoreViewController* w, const QString& destination) {
        w->setDownloadLocation(destination);
        QSignalSpy finished(w, &RestoreViewController::restoreFinished);
        w->Restore();
        EXPECT_TRUE(waitUntil([&] { return finished.count() > 0; }, 120000));
        return finished.isEmpty() ? QStringList{QStringLiteral("<timeout>")}
                                  : finished.first().first().toStringList();
    }

    TempRoot root;
    FixtureUser user;
    QString home;
    std::unique_ptr<FilePathsController> paths;
    RezodeLoger trace;
    QString tracePath;
};

} // namespace

TEST_F(RestoreBrowserTest, ListingsSnapshotsAndLazyFolders) {
    auto w = open(Account);
    EXPECT_EQ(topNames(w.get()), (QStringList{QStringLiteral("My Docs"), QStringLiteral("Photos"),
                                              QStringLiteral("marker.txt")}));
    EXPECT_TRUE(w->ui()->NoDataMsg->isHidden());

    // 37 snapshots with data, one empty: the 30 last listed, last-listed first after "Snapshot".
    EXPECT_EQ(w->snapshotList().size(), 30);
    QComboBox* popup = w->ui()->snapshotBtn;
    ASSERT_EQ(popup->count(), 31);
    EXPECT_EQ(popup->itemText(0), QStringLiteral("Snapshot"));
    EXPECT_EQ(popup->itemText(1), QStringLiteral("2025-01-01 09:00 AM "));
    EXPECT_EQ(popup->itemText(2), QStringLiteral("auto-2025 0101.0900-x"));
    EXPECT_EQ(popup->itemText(3), QStringLiteral("2024-01-15 10:34 AM "));
    EXPECT_EQ(popup->itemText(30), QStringLiteral("2024-01-15 10:07 AM "));

    // Two folders expanded at once: the second waits for the first, then both are listed.
    QTreeView* outline = w->ui()->mOutlineView;
    outline->expand(w->treeModel()->indexFor(top(w.get(), QStringLiteral("My Docs"))));
    outline->expand(w->treeModel()->indexFor(top(w.get(), QStringLiteral("Photos"))));
    ASSERT_TRUE(waitUntil(
        [&] {
            return !top(w.get(), QStringLiteral("My Docs"))->hasdummyChildren() &&
                   !top(w.get(), QStringLiteral("Photos"))->hasdummyChildren();
        },
        60000));
    EXPECT_EQ(top(w.get(), QStringLiteral("My Docs"))->childAtIndex(0)->relativePath(),
              QStringLiteral("report 1.txt"));
    EXPECT_EQ(top(w.get(), QStringLiteral("Photos"))->childAtIndex(0)->relativePath(),
              QStringLiteral("Trip"));

    // A snapshot folder name with a blank: every remote path carries it without the blank.
    w->SnapshottemChanged(QStringLiteral("auto-2025 0101.0900-x"));
    idle(w.get());
    EXPECT_TRUE(topNames(w.get()).contains(QStringLiteral("marker.txt")));
    EXPECT_EQ(w->ui()->pHeaderContent->text(), QStringLiteral("Snapshot as on auto-2025 0101.0900-x"));
    EXPECT_TRUE(w->ui()->search->isHidden());
    const QString traced = QString::fromUtf8(readAll(tracePath));
    EXPECT_TRUE(traced.contains(QStringLiteral("backup/.zfs/snapshot/auto-20250101.0900-x/zhacct/")));
    EXPECT_FALSE(traced.contains(QStringLiteral("snapshot/auto-2025 0101")));

    w->cancelSnapshot();
    idle(w.get());
    EXPECT_TRUE(w->ui()->pHeaderContent->text().isEmpty());
    EXPECT_EQ(w->selectedSnapshot(), QStringLiteral("Snapshot"));
    EXPECT_EQ(topNames(w.get()).size(), 3);
}

TEST_F(RestoreBrowserTest, OnlyTimeMachineDataShowsTheNoDataMessage) {
    auto w = open(TmAccount);
    EXPECT_TRUE(topNames(w.get()).isEmpty());
    EXPECT_FALSE(w->ui()->NoDataMsg->isHidden());
    EXPECT_EQ(w->snapshotList(), QStringList()); // only a sparse bundle: no snapshot offered
}

TEST_F(RestoreBrowserTest, RestoresFoldersFromASnapshotAndAFileFromLiveIntoAnOddDestination) {
    const QString destination = root.path() + QStringLiteral("/Restored \"here\" it's $(echo x)");
    ASSERT_TRUE(QDir().mkpath(destination));
    const QString excludeList = paths->pathForApplicationFile(AppPath::InitialExcludeList);
    useSystemRsync(false);
    auto w = open(Account);

    // Nothing ticked: the alert, nothing else.
    w->Restore();
    QMessageBox* alert = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                alert = box;
        return alert != nullptr;
    }));
    EXPECT_EQ(alert->text(), QStringLiteral("Please Select files / folders to restore"));
    alert->buttons().first()->click();
    EXPECT_FALSE(w->isRestoreRunning());
    EXPECT_TRUE(QDir(destination).isEmpty());

    w->SnapshottemChanged(QStringLiteral("2024-01-15 10:34 AM "));
    idle(w.get());
    w->treeModel()->toggle(top(w.get(), QStringLiteral("My Docs")));
    w->treeModel()->toggle(top(w.get(), QStringLiteral("Photos")));
    QStringList excludedAtEnd;
    QObject::connect(w.get(), &RestoreViewController::restoreFinished,
                     [&] { excludedAtEnd = PropertyList::readStringArray(excludeList); });
    EXPECT_TRUE(restore(w.get(), destination).isEmpty());
    EXPECT_EQ(readAll(destination + QStringLiteral("/My Docs/report 1.txt")), QByteArray("alpha\n"));
    EXPECT_EQ(readAll(destination + QStringLiteral("/Photos/Trip/p2.jpg")), QByteArray(70000, 'p'));
    EXPECT_TRUE(excludedAtEnd.contains(destination + QStringLiteral("/My Docs")));
    EXPECT_TRUE(excludedAtEnd.contains(destination + QStringLiteral("/Photos")));
    EXPECT_TRUE(waitUntil([&] { return PropertyList::readStringArray(excludeList).isEmpty(); }, 20000));

    // From the live area with the system rsync, over an existing file that is kept aside.
    useSystemRsync(true);
    w->cancelSnapshot();
    idle(w.get());
    QFile old(destination + QStringLiteral("/marker.txt"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("older marker");
    old.close();
    w->treeModel()->toggle(top(w.get(), QStringLiteral("marker.txt")));
    EXPECT_TRUE(restore(w.get(), destination).isEmpty());
    EXPECT_EQ(readAll(destination + QStringLiteral("/marker.txt")), QByteArray("live marker\n"));
    const QStringList kept = QDir(destination).entryList({QStringLiteral("marker.txt.before-restore-*")});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readAll(destination + u'/' + kept.first()), QByteArray("older marker"));
}

TEST_F(RestoreBrowserTest, CancellingTheFirstItemStillRestoresTheOthersAndFailuresAreReported) {
    appliance->putFile(Account + QStringLiteral("/Archive.bin"), QByteArray(64 * 1024 * 1024, 'z'));
    const QString destination = root.path() + QStringLiteral("/out");
    QDir().mkpath(destination);
    useSystemRsync(false);
    auto w = open(Account);
    for (const QString& name :
         {QStringLiteral("Archive.bin"), QStringLiteral("My Docs"), QStringLiteral("marker.txt")})
        w->treeModel()->toggle(top(w.get(), name));
    w->setDownloadLocation(destination);
    QSignalSpy finished(w.get(), &RestoreViewController::restoreFinished);
    w->Restore();
    ASSERT_TRUE(
        waitUntil([&] { return !w->ui()->cancelDownload->isHidden() || !finished.isEmpty(); }, 60000));
    w->CancelDownload();
    ASSERT_TRUE(waitUntil([&] { return !finished.isEmpty(); }, 120000));
    EXPECT_TRUE(finished.first().first().toStringList().isEmpty());
    EXPECT_EQ(readAll(destination + QStringLiteral("/My Docs/report 1.txt")), QByteArray("alpha\n"));
    EXPECT_EQ(readAll(destination + QStringLiteral("/marker.txt")), QByteArray("live marker\n"));
    QFile::remove(appliance->modulePath() + u'/' + Account + QStringLiteral("/Archive.bin"));

    // An item gone from the appliance meanwhile: reported in the status line and the trace.
    w->treeModel()->resetTree(false);
    w->treeModel()->setRootEntries({{{QStringLiteral("RelativePath"), QStringLiteral("vanished.txt")},
                                     {QStringLiteral("Permission"), QStringLiteral("-rw-r--r--")},
                                     {QStringLiteral("Type"), QStringLiteral("1")}}});
    w->treeModel()->toggle(top(w.get(), QStringLiteral("vanished.txt")));
    EXPECT_EQ(restore(w.get(), destination), QStringList{QStringLiteral("vanished.txt")});
    EXPECT_EQ(w->ui()->pStatusContent->text(), QStringLiteral("Could not restore: vanished.txt"));
    EXPECT_TRUE(readAll(tracePath).contains("Restore of vanished.txt failed"));
}

TEST_F(RestoreBrowserTest, SearchFindsWhatTheDaemonBackedUpAndRestoresTheTickedHits) {
    // The daemon's test host backs up the user's documents to its own account and builds the index.
    const QString finder = QStringLiteral("finder");
    appliance->addUser(finder, TestPassword);
    PrivateBus bus;
    ASSERT_TRUE(bus.start());
    qputenv("ZH_TMUTIL_STATE", (root.path() + QStringLiteral("/tmutil-state.plist")).toUtf8());
    QMap<QString, QString> documents;
    for (const QString& name : {QStringLiteral("Zq it's mine.txt"), QStringLiteral("Zq 100%_sure.txt"),
                                QStringLiteral("Zq other.txt")}) {
        const QString path = home + QStringLiteral("/Documents/") + name;
        FileTools::makePath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(name.toUtf8() + QByteArray(5000, 'q'));
        documents.insert(name, path);
    }
    QDir().mkpath(root.path() + QStringLiteral("/etc"));
    FileTools::makePath(root.profile().systemSupportFolder);
    QFile(root.profile().systemSupportFolder + u'/' + Protocol::InstalMarker).open(QIODevice::WriteOnly);
    const QString record = paths->pathForApplicationFile(AppPath::UserDetails);
    PropertyList::writeDictionary(record,
                                  {{Protocol::UserName, finder},
                                   {Protocol::Password, TestPassword},
                                   {Protocol::Ip, appliance->address()},
                                   {Protocol::Login, QStringLiteral("1")},
                                   {Protocol::PauseStateKey, QStringLiteral("0")},
                                   {Protocol::LocalBackup, QStringLiteral("1")},
                                   {Protocol::TimeMachineBackup, QStringLiteral("0")}},
                                  PropertyList::OwnerOnlyMode);
    for (const QString& path : {QFileInfo(record).path(), record}) // the daemon reads it as the user
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), user.uid, user.gid), 0);
    const QString hostLog = root.path() + QStringLiteral("/host.log");
    const pid_t daemon = ChildProcess::spawn(
        {QStringLiteral(ZH_DAEMON_HOST), root.path(), user.name, bus.address()}, hostLog, hostLog);
    ASSERT_GT(daemon, 0);
    const QString accountFolder = paths->pathForApplicationFile(AppPath::UserSupportFolder) + u'/' + finder;
    const bool indexed = waitUntil(
        [&] {
            const auto hits = SearchController::searchIndex(accountFolder, finder, QStringLiteral("Zq "));
            return hits && hits->size() == 3;
        },
        180000);
    ChildProcess::terminate(daemon);
    qunsetenv("ZH_TMUTIL_STATE");
    ASSERT_TRUE(indexed) << readAll(hostLog).toStdString();
    // From here the window acts for the user, and here that is the test's account (rsync wants the
    // password file to belong to whoever runs it; files written as root take the folder's owner).
    ASSERT_EQ(::chown(QFile::encodeName(QFileInfo(record).path()).constData(), ::geteuid(), ::getegid()), 0);

    auto w = open(finder);
    QSignalSpy searched(w.get(), &RestoreViewController::searchFinished);
    const auto search = [&](const QString& text) {
        searched.clear();
        w->ui()->search->setText(text);
        emit w->ui()->search->returnPressed();
        EXPECT_TRUE(waitUntil([&] { return !searched.isEmpty(); }, 60000));
        return w->searchController();
    };
    SearchController* results = search(QStringLiteral("it's"));
    ASSERT_TRUE(results);
    EXPECT_EQ(results->countText(), QStringLiteral("1 items found"));
    EXPECT_EQ(search(QStringLiteral("100%_"))->countText(), QStringLiteral("1 items found"));
    EXPECT_EQ(search(QStringLiteral("zzz-nothing"))->countText(), QStringLiteral("No items found"));
    results = search(QStringLiteral("zq "));
    ASSERT_EQ(results->countText(), QStringLiteral("3 items found"));

    // Tick two hits and restore: exactly those two files arrive, byte for byte.
    QTableWidget* table = results->ui()->pSearchTable;
    for (int row = 0; row < table->rowCount(); ++row)
        if (!table->item(row, 1)->text().endsWith(QStringLiteral("other.txt")))
            table->item(row, 0)->setCheckState(Qt::Checked);
    EXPECT_EQ(results->getSearchList().size(), 2);
    const QString destination = root.path() + QStringLiteral("/found");
    QDir().mkpath(destination);
    EXPECT_TRUE(restore(w.get(), destination).isEmpty()) << readAll(tracePath).toStdString();
    EXPECT_EQ(QDir(destination).entryList(QDir::Files | QDir::Hidden | QDir::Dirs | QDir::NoDotAndDotDot),
              (QStringList{QStringLiteral("Zq 100%_sure.txt"), QStringLiteral("Zq it's mine.txt")}));
    for (const QString& name : {QStringLiteral("Zq 100%_sure.txt"), QStringLiteral("Zq it's mine.txt")})
        EXPECT_EQ(readAll(destination + u'/' + name), readAll(documents.value(name)));

    // Back, then a new search starts with nothing ticked.
    results->Back();
    EXPECT_FALSE(w->ui()->backgroundview->isHidden());
    results = search(QStringLiteral("zq "));
    EXPECT_TRUE(results->getSearchList().isEmpty());
    for (int row = 0; row < results->ui()->pSearchTable->rowCount(); ++row)
        EXPECT_EQ(results->ui()->pSearchTable->item(row, 0)->checkState(), Qt::Unchecked);
}
