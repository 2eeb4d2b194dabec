// The restore window against the appliance fixture (a real rsync daemon with snapshots), offscreen:
// listings, snapshots, restores with both rsync dialects, cancel and exclusions. The search over the
// index the daemon builds runs in AppEndToEndTest.

#include "AppTestSupport.h"
#include "PropertyList.h"
#include "QtPrinters.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "ui_RestoreViewController.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

const QString Account = QStringLiteral("zhacct");
const QString TmAccount = QStringLiteral("tmacct");
const QString TestPassword = QStringLiteral("fixture-only");

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

class RestoreBrowserTest : public RequiringTest {
  protected:
    static inline std::unique_ptr<Appliance> appliance;
    static inline QString applianceSkip;

    static void SetUpTestSuite() {
        if (!(applianceSkip = Appliance::skipReason()).isEmpty())
            return;
        appliance = std::make_unique<Appliance>();
        QString error;
        if (!appliance->start(&error))
            applianceSkip = QStringLiteral("appliance did not start: ") + error;
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
    static void TearDownTestSuite() { appliance.reset(); }

    QString requirements() override { return applianceSkip; }
    void prepare() override {
        user = FixtureUser::get();
        root.createHome(user);
        paths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Application, root.profile());
        paths->setM_ConsoleUserName(user.name);
        QDir().mkpath(paths->pathForApplicationFile(AppPath::UserSupportFolder));
        QDir().mkpath(QFileInfo(paths->pathForApplicationFile(AppPath::PrivateRsync)).absolutePath());
        QFile::copy(QStringLiteral(ZH_PRIVATE_RSYNC), paths->pathForApplicationFile(AppPath::PrivateRsync));
        trace.setLogWritePath(tracePath);
        useSystemRsync(true);
    }

    void useSystemRsync(bool system) {
        PropertyList::writeDictionary(paths->pathForApplicationFile(AppPath::RsyncVersion),
                                      {{Protocol::DefaultRsync, system ? "1" : "0"}},
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
        const QString list = paths->pathForApplicationFile(AppPath::InitialExcludeList);
        const auto edit = [list](const std::function<void(QStringList&)>& change) {
            QStringList l = PropertyList::readStringArray(list);
            change(l);
            PropertyList::writeStringArray(list, l, PropertyList::PublicMode);
        };
        w->setExcludeListDelegate(
            {[edit](const QString& p) { edit([&](QStringList& l) { l << p; }); },
             [edit](const QString& p) { edit([&](QStringList& l) { l.removeAll(p); }); }});
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

    // Starts the restore; the names that failed, once it has finished.
    QStringList restore(RestoreViewController* w, const QString& destination,
                        const std::function<void()>& meanwhile = {}) {
        QDir().mkpath(destination);
        w->setDownloadLocation(destination);
        QSignalSpy finished(w, &RestoreViewController::restoreFinished);
        w->Restore();
        if (meanwhile)
            meanwhile();
        EXPECT_TRUE(waitUntil([&] { return finished.count() > 0; }, 120000));
        return finished.isEmpty() ? QStringList{QStringLiteral("<timeout>")}
                                  : finished.first().first().toStringList();
    }

    TempRoot root;
    FixtureUser user;
    std::unique_ptr<FilePathsController> paths;
    RezodeLoger trace;
    QString tracePath = root.path() + QStringLiteral("/InteractiveTrace.txt");
};

} // namespace

TEST_F(RestoreBrowserTest, ListingsSnapshotsAndLazyFolders) {
    auto w = open(Account);
    EXPECT_EQ(topNames(w.get()), (QStringList{"My Docs", "Photos", "marker.txt"}));
    EXPECT_TRUE(w->ui()->NoDataMsg->isHidden());

    // 37 snapshots with data, one empty: the 30 last listed, last-listed first after "Snapshot"; a name
    // not of the expected form by its folder name.
    EXPECT_EQ(w->snapshotList().size(), 30);
    QComboBox* popup = w->ui()->snapshotBtn;
    ASSERT_EQ(popup->count(), 31);
    EXPECT_EQ((QStringList{popup->itemText(0), popup->itemText(1), popup->itemText(2), popup->itemText(3),
                           popup->itemText(30)}),
              (QStringList{"Snapshot", "2025-01-01 09:00 AM ", "auto-2025 0101.0900-x",
                           "2024-01-15 10:34 AM ", "2024-01-15 10:07 AM "}));

    // Two folders expanded at once: the second waits for the first, then both are listed.
    for (const char* name : {"My Docs", "Photos"})
        w->ui()->mOutlineView->expand(w->treeModel()->indexFor(top(w.get(), name)));
    ASSERT_TRUE(waitUntil(
        [&] {
            return !top(w.get(), "My Docs")->hasdummyChildren() &&
                   !top(w.get(), "Photos")->hasdummyChildren();
        },
        60000));
    EXPECT_EQ(top(w.get(), "My Docs")->childAtIndex(0)->relativePath(), QStringLiteral("report 1.txt"));
    EXPECT_EQ(top(w.get(), "Photos")->childAtIndex(0)->relativePath(), QStringLiteral("Trip"));

    // A snapshot folder name with a blank: every remote path carries it without the blank.
    w->SnapshottemChanged(QStringLiteral("auto-2025 0101.0900-x"));
    idle(w.get());
    EXPECT_TRUE(topNames(w.get()).contains(QStringLiteral("marker.txt")));
    EXPECT_EQ(w->ui()->pHeaderContent->text(), QStringLiteral("Snapshot as on auto-2025 0101.0900-x"));
    EXPECT_TRUE(w->ui()->search->isHidden());
    EXPECT_TRUE(
        readTrace(tracePath).contains(QStringLiteral("backup/.zfs/snapshot/auto-20250101.0900-x/zhacct/")));
    EXPECT_FALSE(readTrace(tracePath).contains(QStringLiteral("snapshot/auto-2025 0101")));
    w->cancelSnapshot();
    idle(w.get());
    EXPECT_TRUE(w->ui()->pHeaderContent->text().isEmpty());
    EXPECT_EQ(w->selectedSnapshot(), QStringLiteral("Snapshot"));
    EXPECT_EQ(topNames(w.get()).size(), 3);

    // Only Time Machine data (a sparse bundle): the no-data message and no snapshot offered.
    w = open(TmAccount);
    EXPECT_TRUE(topNames(w.get()).isEmpty());
    EXPECT_FALSE(w->ui()->NoDataMsg->isHidden());
    EXPECT_EQ(w->snapshotList(), QStringList());
}

TEST_F(RestoreBrowserTest, RestoresFoldersFromASnapshotAndAFileFromLiveIntoAnOddDestination) {
    const QString destination = root.path() + QStringLiteral("/Restored \"here\" it's $(echo x)");
    const QString excludeList = paths->pathForApplicationFile(AppPath::InitialExcludeList);
    useSystemRsync(false);
    auto w = open(Account);

    // Nothing ticked: the alert, nothing else.
    QString asked;
    answerAlert(QString(), &asked);
    w->Restore();
    ASSERT_TRUE(waitUntil([&] { return !asked.isEmpty(); }));
    EXPECT_EQ(asked, QStringLiteral("Please Select files / folders to restore"));
    EXPECT_FALSE(w->isRestoreRunning());

    // Two folders from a snapshot with the private rsync; each destination is excluded while it is written.
    w->SnapshottemChanged(QStringLiteral("2024-01-15 10:34 AM "));
    idle(w.get());
    w->treeModel()->toggle(top(w.get(), "My Docs"));
    w->treeModel()->toggle(top(w.get(), "Photos"));
    QStringList excludedAtEnd;
    QObject::connect(w.get(), &RestoreViewController::restoreFinished,
                     [&] { excludedAtEnd = PropertyList::readStringArray(excludeList); });
    EXPECT_TRUE(restore(w.get(), destination).isEmpty());
    EXPECT_EQ(readAll(destination + QStringLiteral("/My Docs/report 1.txt")), QByteArray("alpha\n"));
    EXPECT_EQ(readAll(destination + QStringLiteral("/Photos/Trip/p2.jpg")), QByteArray(70000, 'p'));
    EXPECT_TRUE(excludedAtEnd.contains(destination + "/My Docs") &&
                excludedAtEnd.contains(destination + "/Photos"));
    EXPECT_TRUE(waitUntil([&] { return PropertyList::readStringArray(excludeList).isEmpty(); }, 20000));

    // From the live area with the system rsync, over an existing file that is kept aside.
    useSystemRsync(true);
    w->cancelSnapshot();
    idle(w.get());
    writeFile(destination + QStringLiteral("/marker.txt"), "older marker");
    w->treeModel()->toggle(top(w.get(), "marker.txt"));
    EXPECT_TRUE(restore(w.get(), destination).isEmpty());
    EXPECT_EQ(readAll(destination + QStringLiteral("/marker.txt")), QByteArray("live marker\n"));
    const QStringList kept = QDir(destination).entryList({QStringLiteral("marker.txt.before-restore-*")});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readAll(destination + u'/' + kept.first()), QByteArray("older marker"));
}

TEST_F(RestoreBrowserTest, CancellingTheFirstItemStillRestoresTheOthersAndFailuresAreReported) {
    appliance->putFile(Account + QStringLiteral("/Archive.bin"), QByteArray(64 * 1024 * 1024, 'z'));
    const QString destination = root.path() + QStringLiteral("/out");
    useSystemRsync(false);
    auto w = open(Account);
    for (const char* name : {"Archive.bin", "My Docs", "marker.txt"})
        w->treeModel()->toggle(top(w.get(), name));
    const auto cancel = [&] {
        waitUntil([&] { return !w->ui()->cancelDownload->isHidden() || !w->isRestoreRunning(); }, 60000);
        w->CancelDownload();
    };
    EXPECT_TRUE(restore(w.get(), destination, cancel).isEmpty());
    EXPECT_EQ(readAll(destination + QStringLiteral("/My Docs/report 1.txt")), QByteArray("alpha\n"));
    EXPECT_EQ(readAll(destination + QStringLiteral("/marker.txt")), QByteArray("live marker\n"));
    QFile::remove(appliance->modulePath() + u'/' + Account + QStringLiteral("/Archive.bin"));

    // An item gone from the appliance meanwhile: reported in the status line and the trace.
    w->treeModel()->resetTree(false);
    w->treeModel()->setRootEntries(
        {{{"RelativePath", "vanished.txt"}, {"Permission", "-rw-r--r--"}, {"Type", "1"}}});
    w->treeModel()->toggle(top(w.get(), "vanished.txt"));
    EXPECT_EQ(restore(w.get(), destination), QStringList{QStringLiteral("vanished.txt")});
    EXPECT_EQ(w->ui()->pStatusContent->text(), QStringLiteral("Could not restore: vanished.txt"));
    EXPECT_TRUE(readTrace(tracePath).contains(QStringLiteral("Restore of vanished.txt failed")));
}
