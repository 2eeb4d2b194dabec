// The restore window against the appliance fixture (a real rsync daemon with snapshots), offscreen:
// listings, snapshots, the outline opened at the person's home and kept open across snapshots,
// restores with both rsync dialects into folders that exist or not, modification times, cancel, the
// window closed or thrown away under a restore, and exclusions. The search over the index the daemon
// builds runs in AppEndToEndTest, a busy or missing index in RestoreWindowTest.

#include "AppTestSupport.h"
#include "PropertyList.h"
#include "QtPrinters.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "UtilityClass.h"
#include "ui_RestoreViewController.h"

#include <QScopeGuard>
#include <QSignalSpy>

#include <sys/stat.h>

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

    std::unique_ptr<RestoreViewController> open(const QString& account,
                                                DistributedNotificationCenter* center = nullptr,
                                                RestoreTimings timings = RestoreTimings{100, 2000}) {
        PropertyList::writeDictionary(paths->pathForApplicationFile(AppPath::UserDetails),
                                      {{Protocol::UserName, account},
                                       {Protocol::Password, TestPassword},
                                       {Protocol::Ip, appliance->address()}},
                                      PropertyList::OwnerOnlyMode);
        auto w = std::make_unique<RestoreViewController>(root.profile(), user.name, &trace, center, timings);
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

    // How a restore ended: finished (with the names that failed) or cancelled (with the names not
    // restored); never both.
    struct Ended {
        int finished = 0, cancelled = 0;
        QStringList failed, notRestored;
    };
    // Starts the restore into destination as it stands and waits for its end.
    Ended run(RestoreViewController* w, const QString& destination,
              const std::function<void()>& meanwhile = {}) {
        w->setDownloadLocation(destination);
        auto ended = std::make_shared<Ended>();
        const auto a =
            QObject::connect(w, &RestoreViewController::restoreFinished, [ended](const QStringList& f) {
                ++ended->finished;
                ended->failed = f;
            });
        const auto b = QObject::connect(w, &RestoreViewController::restoreCancelled,
                                        [ended](const QStringList& n, const QStringList& f) {
                                            ++ended->cancelled;
                                            ended->notRestored = n;
                                            ended->failed = f;
                                        });
        w->Restore();
        if (meanwhile)
            meanwhile();
        EXPECT_TRUE(
            waitUntil([&] { return ended->finished + ended->cancelled > 0 && !w->isBusy(); }, 120000));
        spinFor(50); // a second end would show here
        QObject::disconnect(a);
        QObject::disconnect(b);
        EXPECT_EQ(ended->finished + ended->cancelled, 1);
        return *ended;
    }
    // Into a folder that exists; the names that failed, once it has finished.
    QStringList restore(RestoreViewController* w, const QString& destination,
                        const std::function<void()>& meanwhile = {}) {
        QDir().mkpath(destination);
        const Ended ended = run(w, destination, meanwhile);
        return ended.finished == 1 ? ended.failed : QStringList{QStringLiteral("<not finished>")};
    }
    // Opens a folder of the outline as a double click does, once it is listed.
    static ZHTreeNode* expanded(RestoreViewController* w, ZHTreeNode* folder) {
        w->ui()->mOutlineView->expand(w->treeModel()->indexFor(folder));
        EXPECT_TRUE(waitUntil([&] { return !folder->hasdummyChildren() && !w->isBusy(); }, 60000));
        return folder;
    }
    static ZHTreeNode* child(ZHTreeNode* node, const QString& name) {
        for (ZHTreeNode* c : node ? node->getChildren() : QList<ZHTreeNode*>())
            if (c->relativePath() == name)
                return c;
        return nullptr;
    }
    static QStringList namesIn(ZHTreeNode* node) {
        QStringList names;
        for (ZHTreeNode* c : node ? node->getChildren() : QList<ZHTreeNode*>())
            names << c->relativePath();
        names.sort();
        return names;
    }
    // A downloading child is under way.
    static void untilDownloading(RestoreViewController* w) {
        EXPECT_TRUE(waitUntil([&] { return !w->ui()->cancelDownload->isHidden(); }, 60000));
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
        untilDownloading(w.get());
        w->CancelDownload();
    };
    // The cancelled item is named; the restore does not count as finished.
    QDir().mkpath(destination);
    const Ended ended = run(w.get(), destination, cancel);
    EXPECT_EQ(ended.finished, 0);
    EXPECT_EQ(ended.notRestored, QStringList{QStringLiteral("Archive.bin")});
    EXPECT_TRUE(ended.failed.isEmpty());
    EXPECT_EQ(w->ui()->pStatusContent->text(),
              QStringLiteral("Restore cancelled: Archive.bin not restored."));
    EXPECT_TRUE(readTrace(tracePath).contains(QStringLiteral("Restore of Archive.bin cancelled")));
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

TEST_F(RestoreBrowserTest, AFolderThatIsNotThereIsCreatedFirstAndEveryItemGoesInsideIt) {
    appliance->putFile(Account + QStringLiteral("/My Docs/marker.txt"), "docs marker, longer\n");
    auto w = open(Account);
    ZHTreeNode* docs = expanded(w.get(), top(w.get(), "My Docs"));
    w->treeModel()->toggle(top(w.get(), "marker.txt"));
    w->treeModel()->toggle(child(docs, QStringLiteral("report 1.txt")));

    // Two files into a folder two levels of which do not exist: both inside it, as they are named.
    const QString fresh = root.path() + QStringLiteral("/Fresh");
    const QString destination = fresh + QStringLiteral("/Restored files");
    const Ended ended = run(w.get(), destination);
    EXPECT_EQ(ended.finished, 1);
    EXPECT_TRUE(ended.failed.isEmpty());
    ASSERT_TRUE(QFileInfo(destination).isDir());
    EXPECT_EQ(QDir(destination).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"marker.txt", "report 1.txt"}));
    EXPECT_EQ(readAll(destination + QStringLiteral("/marker.txt")), QByteArray("live marker\n"));
    EXPECT_EQ(readAll(destination + QStringLiteral("/report 1.txt")), QByteArray("alpha\n"));
    for (const QString& created : {fresh, destination}) {
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(created).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << created.toStdString();
    }

    // Two items of one name: the second is written last, and neither the person's own file nor the
    // first item is lost: each is kept under a suffix of its own.
    writeFile(destination + QStringLiteral("/marker.txt"), "mine");
    w->treeModel()->toggle(child(docs, QStringLiteral("report 1.txt")));
    w->treeModel()->toggle(child(docs, QStringLiteral("marker.txt")));
    EXPECT_TRUE(restore(w.get(), destination).isEmpty());
    EXPECT_EQ(readAll(destination + QStringLiteral("/marker.txt")), QByteArray("docs marker, longer\n"));
    QStringList kept = QDir(destination).entryList({QStringLiteral("marker.txt.before-restore-*")});
    ASSERT_EQ(kept.size(), 2) << QDir(destination).entryList(QDir::Files).join(u'|').toStdString();
    std::sort(kept.begin(), kept.end(),
              [](const QString& a, const QString& b) { return a.size() < b.size(); });
    EXPECT_TRUE(kept.at(1) == kept.at(0) + QStringLiteral("-2")) << kept.join(u' ').toStdString();
    EXPECT_EQ(readAll(destination + u'/' + kept.at(0)), QByteArray("mine"));
    EXPECT_EQ(readAll(destination + u'/' + kept.at(1)), QByteArray("live marker\n"));

    // Below a file no folder can be made: refused before any rsync, said in the window, nothing written.
    const QString aFile = root.path() + QStringLiteral("/a-file.txt");
    writeFile(aFile, "a file");
    QString asked;
    answerAlert(QString(), &asked);
    const Ended refused = run(w.get(), aFile + QStringLiteral("/sub"));
    EXPECT_EQ(refused.finished, 1);
    EXPECT_EQ(refused.failed, (QStringList{"marker.txt", "marker.txt"}));
    ASSERT_TRUE(waitUntil([&] { return !asked.isEmpty(); }));
    EXPECT_TRUE(asked.startsWith(
        QStringLiteral("Nothing was restored: \u201c%1\u201d is a file, not a folder.").arg(aFile)))
        << asked.toStdString();
    EXPECT_TRUE(w->ui()->pStatusContent->text().startsWith(QStringLiteral("Nothing was restored:")));
    EXPECT_EQ(readAll(aFile), QByteArray("a file"));
    EXPECT_FALSE(readTrace(tracePath).contains(QStringLiteral("a-file.txt/sub\"")))
        << "an rsync was started for a destination that cannot be made";

    // A destination that is itself a file is refused at once; no restore starts.
    QSignalSpy finished(w.get(), &RestoreViewController::restoreFinished);
    asked.clear();
    answerAlert(QString(), &asked);
    w->setDownloadLocation(aFile);
    w->Restore();
    ASSERT_TRUE(waitUntil([&] { return !asked.isEmpty(); }));
    EXPECT_TRUE(asked.contains(QStringLiteral("is a file, not a folder")));
    EXPECT_FALSE(w->isRestoreRunning());
    spinFor(200);
    EXPECT_EQ(finished.count(), 0);
}

TEST_F(RestoreBrowserTest, RestoredFilesKeepTheModificationTimeOfTheSnapshot) {
    // The snapshot's files carry times of their own, unlike their live copies.
    const QString snapshot =
        appliance->modulePath() + QStringLiteral("/.zfs/snapshot/auto-20240115.1034-daily/") + Account;
    const QDateTime reportTime(QDate(2021, 6, 7), QTime(8, 9, 10));
    const QDateTime photoTime(QDate(2019, 1, 2), QTime(3, 4, 5));
    const auto setTime = [](const QString& path, const QDateTime& time) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite)) << path.toStdString();
        ASSERT_TRUE(file.setFileTime(time, QFileDevice::FileModificationTime));
    };
    setTime(snapshot + QStringLiteral("/My Docs/report 1.txt"), reportTime);
    // A second file, so that the first can be ticked on its own.
    writeFile(snapshot + QStringLiteral("/My Docs/second.txt"), "second");
    setTime(snapshot + QStringLiteral("/Photos/Trip/p2.jpg"), photoTime);

    const QString destination = root.path() + QStringLiteral("/times");
    for (bool system : {true, false}) {
        SCOPED_TRACE(system ? "system rsync" : "private rsync");
        useSystemRsync(system);
        QDir(destination).removeRecursively();
        auto w = open(Account);
        w->SnapshottemChanged(QStringLiteral("2024-01-15 10:34 AM "));
        idle(w.get());
        // A file on its own, and a file inside a folder.
        w->treeModel()->toggle(
            child(expanded(w.get(), top(w.get(), "My Docs")), QStringLiteral("report 1.txt")));
        w->treeModel()->toggle(top(w.get(), "Photos"));
        EXPECT_TRUE(run(w.get(), destination).failed.isEmpty());
        EXPECT_EQ(QFileInfo(destination + QStringLiteral("/report 1.txt")).lastModified(), reportTime);
        EXPECT_EQ(QFileInfo(destination + QStringLiteral("/Photos/Trip/p2.jpg")).lastModified(), photoTime);
        EXPECT_EQ(readAll(destination + QStringLiteral("/report 1.txt")), QByteArray("alpha\n"));
    }
}

TEST_F(RestoreBrowserTest, ARestoreGoesOnWhenItsWindowClosesAndIsNamedWhenTheWindowIsThrownAway) {
    appliance->putFile(Account + QStringLiteral("/Big.bin"), QByteArray(128 * 1024 * 1024, 'b'));
    const QString destination = root.path() + QStringLiteral("/kept going");
    auto w = open(Account);
    for (const char* name : {"Big.bin", "My Docs", "marker.txt"})
        w->treeModel()->toggle(top(w.get(), name));

    // Closed while the first item downloads: the restore finishes every item all the same.
    const Ended ended = run(w.get(), destination, [&] {
        untilDownloading(w.get());
        w->close();
        EXPECT_TRUE(w->isRestoreRunning());
    });
    EXPECT_EQ(ended.finished, 1);
    EXPECT_TRUE(ended.failed.isEmpty());
    EXPECT_EQ(QFileInfo(destination + QStringLiteral("/Big.bin")).size(), 128 * 1024 * 1024);
    EXPECT_EQ(readAll(destination + QStringLiteral("/My Docs/report 1.txt")), QByteArray("alpha\n"));
    EXPECT_EQ(readAll(destination + QStringLiteral("/marker.txt")), QByteArray("live marker\n"));
    // Shown again, it lists afresh what closing cut off.
    w->show();
    idle(w.get());
    EXPECT_TRUE(topNames(w.get()).contains(QStringLiteral("Big.bin")));
    EXPECT_EQ(w->snapshotList().size(), 30);

    // Thrown away while it restores: the items not restored are named, and it never says finished.
    QDir(destination).removeRecursively();
    QDir().mkpath(destination);
    w->setDownloadLocation(destination);
    for (const char* name : {"Big.bin", "My Docs", "marker.txt"})
        w->treeModel()->toggle(top(w.get(), name));
    int finished = 0;
    QStringList notRestored = {QStringLiteral("<none>")};
    QObject::connect(w.get(), &RestoreViewController::restoreFinished, [&] { ++finished; });
    QObject::connect(w.get(), &RestoreViewController::restoreCancelled,
                     [&](const QStringList& n, const QStringList&) { notRestored = n; });
    w->Restore();
    untilDownloading(w.get());
    const QString excludeList = paths->pathForApplicationFile(AppPath::InitialExcludeList);
    EXPECT_EQ(PropertyList::readStringArray(excludeList),
              QStringList{destination + QStringLiteral("/Big.bin")});
    w.reset();
    // Nothing the restore kept out of the backup outlives its window.
    EXPECT_EQ(PropertyList::readStringArray(excludeList), QStringList());
    EXPECT_EQ(notRestored, (QStringList{"Big.bin", "marker.txt", "My Docs"})); // in outline order
    spinFor(200);
    EXPECT_EQ(finished, 0);
    EXPECT_TRUE(readTrace(tracePath).contains(QStringLiteral(
        "Restore cancelled with the restore window; not restored: Big.bin, marker.txt, My Docs")));
    QFile::remove(appliance->modulePath() + u'/' + Account + QStringLiteral("/Big.bin"));
}

TEST_F(RestoreBrowserTest, ARestoreLiftsOnlyWhatItExcludedAndHasTheDaemonQueueIt) {
    const QString destination = root.profile().homeOf(user.name) + QStringLiteral("/Downloads");
    const QString excludeList = paths->pathForApplicationFile(AppPath::InitialExcludeList);
    const QString record =
        paths->pathForApplicationFile(AppPath::UserSupportFolder) + u'/' + Protocol::RestoreExclusionsFile;
    // The person keeps a folder out, and one of the two items the restore writes.
    const QStringList theirs{root.profile().homeOf(user.name) + QStringLiteral("/Music"),
                             destination + QStringLiteral("/marker.txt")};
    ASSERT_TRUE(PropertyList::writeStringArray(excludeList, theirs, PropertyList::OwnerOnlyMode));
    RecordingCenter daemon;
    auto w = open(Account, &daemon);
    w->treeModel()->toggle(top(w.get(), "marker.txt"));
    w->treeModel()->toggle(top(w.get(), "My Docs"));
    QStringList excludedAtEnd, recordedAtEnd;
    QObject::connect(w.get(), &RestoreViewController::restoreFinished, [&] {
        excludedAtEnd = PropertyList::readStringArray(excludeList);
        recordedAtEnd = PropertyList::readStringArray(record);
    });
    EXPECT_TRUE(restore(w.get(), destination).isEmpty());
    EXPECT_EQ(excludedAtEnd, theirs + QStringList{destination + QStringLiteral("/My Docs")});
    EXPECT_EQ(recordedAtEnd, QStringList{destination + QStringLiteral("/My Docs")});
    // Released after the delay: what the restore added only, and the daemon queues it.
    EXPECT_TRUE(waitUntil([&] { return PropertyList::readStringArray(excludeList) == theirs; }, 20000));
    EXPECT_FALSE(QFileInfo::exists(record));
    EXPECT_EQ(daemon.posted, (QStringList{"Exclude Type=2", "Exclude Type=1"}));

    // The window thrown away within the delay after a restore: lifted then, not left for a timer.
    daemon.posted.clear();
    w->treeModel()->toggle(top(w.get(), "marker.txt")); // My Docs alone stays ticked
    ASSERT_EQ(top(w.get(), "My Docs")->checkState(), 1);
    ASSERT_EQ(top(w.get(), "marker.txt")->checkState(), 0);
    EXPECT_TRUE(restore(w.get(), destination).isEmpty());
    EXPECT_TRUE(
        PropertyList::readStringArray(excludeList).contains(destination + QStringLiteral("/My Docs")));
    w.reset();
    EXPECT_EQ(PropertyList::readStringArray(excludeList), theirs);
    EXPECT_EQ(daemon.posted, (QStringList{"Exclude Type=2", "Exclude Type=1"}));
    spinFor(2500); // the delay passes: nothing more happens
    EXPECT_EQ(PropertyList::readStringArray(excludeList), theirs);
}

TEST_F(RestoreBrowserTest, OpensAtTheHomeKeepsTheOpenPathAcrossSnapshotsAndDecodesNames) {
    // An account whose backup holds this machine's folder with the person's home in it, another
    // machine's folder, and two snapshots: one with the home, one without.
    const QString account = QStringLiteral("homeacct");
    appliance->addUser(account, TestPassword);
    const QString inHome = account + u'/' + UtilityClass::machineName() + root.profile().homeOf(user.name);
    appliance->putFile(inHome + QStringLiteral("/Documents/B\u00fccher \u2713.txt"), "books\n");
    appliance->putFile(inHome + QStringLiteral("/Documents/tab\there.txt"), "tab\n");
    appliance->putFile(inHome + QStringLiteral("/Music/song.ogg"), "la");
    appliance->putFile(account + QStringLiteral("/OtherMac/x.txt"), "x");
    const QString snapshots = appliance->modulePath() + QStringLiteral("/.zfs/snapshot/");
    writeFile(snapshots + QStringLiteral("auto-20240115.1034-daily/") + inHome +
                  QStringLiteral("/Documents/B\u00fccher \u2713.txt"),
              "older books\n");
    writeFile(snapshots + QStringLiteral("auto-20240115.1007-daily/") + account +
                  QStringLiteral("/OtherMac/y.txt"),
              "y");

    auto w = open(account);
    QTreeView* view = w->ui()->mOutlineView;
    const QStringList home = w->homeComponents();
    ASSERT_EQ(home.size(), 1 + root.profile().homeOf(user.name).count(u'/'));
    QStringList tops{UtilityClass::machineName(), "OtherMac"};
    tops.sort();
    EXPECT_EQ(topNames(w.get()), tops);
    // Open down to the home, the home itself open and current.
    EXPECT_EQ(w->currentPath(), home);
    EXPECT_EQ(w->openFolderPaths(), QList<QStringList>{home});
    ZHTreeNode* node = w->treeModel()->tree().mRootItem();
    for (const QString& name : home) {
        node = child(node, name);
        ASSERT_NE(node, nullptr) << name.toStdString();
        EXPECT_TRUE(view->isExpanded(w->treeModel()->indexFor(node))) << name.toStdString();
    }
    EXPECT_EQ(namesIn(node), (QStringList{"Documents", "Music"}));
    // Names as they are on the appliance: rsync's escapes undone.
    ZHTreeNode* documents = expanded(w.get(), child(node, QStringLiteral("Documents")));
    EXPECT_EQ(namesIn(documents), (QStringList{"B\u00fccher \u2713.txt", "tab\there.txt"}));
    view->setCurrentIndex(
        w->treeModel()->indexFor(child(documents, QStringLiteral("B\u00fccher \u2713.txt"))));
    const QStringList book = home + QStringList{"Documents", "B\u00fccher \u2713.txt"};
    ASSERT_EQ(w->currentPath(), book);

    // A snapshot that holds the path: open there as it was, with the snapshot's file.
    w->SnapshottemChanged(QStringLiteral("2024-01-15 10:34 AM "));
    idle(w.get());
    EXPECT_EQ(w->currentPath(), book);
    EXPECT_EQ(w->openFolderPaths(), QList<QStringList>{home + QStringList{"Documents"}});
    EXPECT_EQ(w->treeModel()->nodeFor(view->currentIndex())->getFileSize().simplified(),
              ZHTreeViewController::sizeText(12).simplified());
    // One that does not: as far as it goes (nothing here), and no waiting for what is not there.
    w->SnapshottemChanged(QStringLiteral("2024-01-15 10:07 AM "));
    idle(w.get());
    EXPECT_EQ(topNames(w.get()), QStringList{"OtherMac"});
    EXPECT_TRUE(w->openFolderPaths().isEmpty());
    // Back to live: the path is opened again.
    w->cancelSnapshot();
    idle(w.get());
    EXPECT_EQ(w->currentPath(), book);
    EXPECT_EQ(w->openFolderPaths(), QList<QStringList>{home + QStringList{"Documents"}});

    // Restoring a file whose name was escaped in the listing brings back the right file.
    w->treeModel()->toggle(w->treeModel()->nodeFor(view->currentIndex()));
    const QString destination = root.path() + QStringLiteral("/books");
    EXPECT_TRUE(restore(w.get(), destination).isEmpty());
    EXPECT_EQ(readAll(destination + QStringLiteral("/B\u00fccher \u2713.txt")), QByteArray("books\n"));
}

// A frozen appliance (a NAS gone to sleep) takes the window's connections and never answers: with
// either rsync the listings end, the window says there is nothing to show and the trace says why,
// instead of waiting for ever; once the appliance is awake the window lists it.
TEST_F(RestoreBrowserTest, AFrozenApplianceEndsTheListingsWithAnErrorInsteadOfHanging) {
    for (const bool system : {true, false}) {
        useSystemRsync(system);
        appliance->stall();
        auto awake = qScopeGuard([] { appliance->resume(); });
        RestoreTimings timings{100, 2000};
        timings.stallMs = 3000;
        auto w = open(Account, nullptr, timings);
        EXPECT_FALSE(w->isBusy());
        EXPECT_FALSE(w->ui()->NoDataMsg->isHidden());
        EXPECT_TRUE(readTrace(tracePath).contains(QStringLiteral("error in listing:")))
            << readTrace(tracePath).toStdString();
        EXPECT_EQ(top(w.get(), QStringLiteral("My Docs")), nullptr);
        w.reset();
        appliance->resume();
        w = open(Account, nullptr, timings);
        EXPECT_NE(top(w.get(), QStringLiteral("My Docs")), nullptr) << system;
    }
}
