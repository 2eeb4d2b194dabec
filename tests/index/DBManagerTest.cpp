// The index update pipeline: intakes, batches, the updater thread and merges.

#include "DBManager.h"
#include "EventLoopWait.h"
#include "IndexTestSupport.h"
#include "SQLiteResultSet.h"
#include "TestRoots.h"

#include <QDateTime>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <atomic>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace indextest;
using Pause = IndexThrottle::Pause;

namespace {

const QString kUser = QStringLiteral("alice");
const QString kLmd = QStringLiteral("2016-03-04 05:06:07 +0000");

QVariantMap listed(const QString& path, const QString& size = QStringLiteral("1"),
                   const QString& state = QStringLiteral("0"), const QString& lmd = kLmd) {
    return {{DBManager::PathKey, path},
            {DBManager::LmdKey, lmd},
            {DBManager::SizeKey, size},
            {DBManager::StateKey, state}};
}

class DBManagerTest : public ::testing::Test {
  protected:
    QString support() const { return mDir.path() + QStringLiteral("/support"); }
    QString folder() const { return support() + QStringLiteral("/alice"); }
    QString master() const { return DataBaseWraper::masterPath(folder(), kUser); }
    std::unique_ptr<DBManager> make(PauseCounter* pauses = nullptr, Timings timings = quickTimings()) {
        auto manager = std::make_unique<DBManager>(
            IndexThrottle(timings, pauses ? pauses->observer() : IndexThrottle::Observer()),
            [] { return QStringLiteral("ThisMac"); });
        manager->setWithDetails({{DBManager::DbPathKey, support()}, {DBManager::UserKey, kUser}});
        return manager;
    }
    QTemporaryDir mDir;
};

TEST_F(DBManagerTest, BindsToTheAccountFolderWhichOthersCanReadButNotWrite) {
    ASSERT_TRUE(QDir().mkpath(folder() + QStringLiteral("/old")));
    ::chmod(QFile::encodeName(folder()).constData(), 0777);
    ::chmod(QFile::encodeName(folder() + QStringLiteral("/old")).constData(), 0777);
    QFile stale(folder() + QStringLiteral("/alice.zx"));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    ::chmod(QFile::encodeName(stale.fileName()).constData(), 0666);

    auto manager = make();
    EXPECT_EQ(manager->databasePath(), folder());
    EXPECT_EQ(manager->logedInUser(), kUser);
    const auto modeOf = [](const QString& path) {
        struct stat st {};
        ::stat(QFile::encodeName(path).constData(), &st);
        return st.st_mode & 07777;
    };
    EXPECT_EQ(modeOf(folder()), 0755u);
    EXPECT_EQ(modeOf(folder() + QStringLiteral("/old")), 0755u);
    EXPECT_EQ(modeOf(stale.fileName()), 0644u);
}

TEST_F(DBManagerTest, AccountNamesThatLeadElsewhereBindNothing) {
    for (const QString& user :
         {QStringLiteral("../escape"), QStringLiteral(".."), QStringLiteral("a/b"), QStringLiteral("")}) {
        DBManager manager{IndexThrottle(quickTimings())};
        manager.setWithDetails({{DBManager::DbPathKey, support()}, {DBManager::UserKey, user}});
        EXPECT_TRUE(manager.databasePath().isEmpty()) << user.toStdString();
        manager.listedFileAddToDatabase(listed(QStringLiteral("kept")));
        manager.updaterDatabaseArraysToDB();
        EXPECT_EQ(manager.pendingListingRecords(), 1) << "an unbound pipeline keeps its entries";
    }
    DBManager manager{IndexThrottle(quickTimings())};
    manager.setWithDetails({{DBManager::UserKey, kUser}});
    EXPECT_TRUE(manager.databasePath().isEmpty()) << "no support folder, no index folder at \"/alice\"";
    EXPECT_FALSE(QFileInfo::exists(mDir.path() + QStringLiteral("/escape")));
    EXPECT_FALSE(QFileInfo::exists(support() + QStringLiteral("/a")));
}

TEST_F(DBManagerTest, IntakesDropDuplicatesDotEntriesAndShortRecords) {
    auto manager = make();
    manager->addFileToBackup(QStringLiteral("/tmp/x"));
    manager->addFileToBackup(QStringLiteral("/tmp/x"));
    manager->addFileToBackup(QString());
    EXPECT_EQ(manager->pendingBackupFiles(), 1);

    manager->listedFileAddToDatabase(listed(QStringLiteral("a")));
    manager->listedFileAddToDatabase(listed(QStringLiteral("a")));
    manager->listedFileAddToDatabase(
        listed(QStringLiteral("."), QStringLiteral("4,096"), QStringLiteral("1")));
    manager->listedFileAddToDatabase({{DBManager::PathKey, QStringLiteral("b")}, {DBManager::SizeKey, 1}});
    manager->listedFileAddToDatabase({});
    EXPECT_EQ(manager->pendingListingRecords(), 1);
}

TEST_F(DBManagerTest, TickWithEmptyIntakesStillMergesWaitingDeltas) {
    ASSERT_TRUE(QDir().mkpath(folder()));
    writeDelta(folder(), {record(QStringLiteral("Mac/left/by an earlier run"), kLmd)});
    QFile crashed(folder() + QStringLiteral("/2016-01-01 00-00-00-000.zxt.progress"));
    {
        DataBaseWraper leftover{IndexThrottle(quickTimings())};
        ASSERT_TRUE(leftover.openDatabaseAtPath(crashed.fileName(), QString()));
        ASSERT_TRUE(leftover.database()->executeUpdate(DataBaseWraper::CreateDeltaSQL));
        ASSERT_TRUE(leftover.insertRecord(record(QStringLiteral("Mac/half written"), kLmd), false, false));
    }
    auto manager = make();
    EXPECT_TRUE(manager->updateMasterDataBase(kUser));
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(masterPaths(master()), QStringList{QStringLiteral("Mac/left/by an earlier run")});
    EXPECT_TRUE(crashed.exists()) << "a delta still being written is never merged";
    EXPECT_FALSE(manager->updateMasterDataBase(kUser)) << "nothing left to merge";
}

TEST_F(DBManagerTest, TenThousandListedRecordsGoIntoOneDeltaAndTheMaster) {
    PauseCounter pauses;
    auto manager = make(&pauses);
    manager->setMachineName(QStringLiteral("Office Mac"));
    for (int i = 0; i < 10000; ++i)
        manager->listedFileAddToDatabase(listed(QStringLiteral("Docs/file %1.txt").arg(i),
                                                QStringLiteral("1,234"),
                                                i % 10 == 0 ? QStringLiteral("1") : QStringLiteral("0")));
    // A record missing its size is skipped when written.
    manager->listedFileAddToDatabase({{DBManager::PathKey, QStringLiteral("no size")},
                                      {DBManager::LmdKey, kLmd},
                                      {DBManager::StateKey, QStringLiteral("0")}});
    manager->updaterDatabaseArraysToDB();

    EXPECT_EQ(pauses.count(Pause::DeltaCreation), 1) << "one tick, one delta";
    EXPECT_EQ(pauses.count(Pause::ListingRecords), 20) << "10,001 records: a pause after every 500";
    EXPECT_EQ(pauses.count(Pause::MergeRows), 100);
    EXPECT_EQ(rowCount(master()), 10000);
    const QVariantMap row = masterRow(master(), QStringLiteral("Office Mac/Docs/file 10.txt"));
    EXPECT_EQ(row.value(QStringLiteral("FILE_OR_FOLDER")), QStringLiteral("1"));
    EXPECT_EQ(row.value(QStringLiteral("FILE_SIZE")), QStringLiteral("1234"));
    EXPECT_EQ(row.value(QStringLiteral("FILE_LMD")), kLmd);
    EXPECT_EQ(manager->pendingListingRecords(), 0);
    EXPECT_TRUE(filesWithSuffix(folder(), QStringLiteral(".zxt")).isEmpty());
}

TEST_F(DBManagerTest, ListingRecordsKeepTheMachineTheyWereListedFor) {
    auto manager = make();
    manager->setMachineName(QStringLiteral("First"));
    manager->listedFileAddToDatabase(listed(QStringLiteral("a.txt")));
    manager->setMachineName(QStringLiteral("Second")); // the next folder starts before the tick
    manager->listedFileAddToDatabase(listed(QStringLiteral("a.txt")));
    manager->updaterDatabaseArraysToDB();
    QStringList paths = masterPaths(master());
    paths.sort();
    EXPECT_EQ(paths, QStringList({QStringLiteral("First/a.txt"), QStringLiteral("Second/a.txt")}));
}

TEST_F(DBManagerTest, BackupEntriesAreReadFromDiskUnderThisMachinesName) {
    QTemporaryDir files;
    const QString file = files.filePath(QStringLiteral("it's a \"file\" $(x).txt"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(1234, 'x'));
    }
    const QDateTime when(QDate(2015, 6, 7), QTime(8, 9, 10), QTimeZone::utc());
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(when, QFileDevice::FileModificationTime));
    }
    ASSERT_TRUE(QDir().mkpath(files.filePath(QStringLiteral("sub dir"))));

    PauseCounter pauses;
    auto manager = make(&pauses);
    manager->addFileToBackup(file);
    manager->addFileToBackup(file.mid(1)); // relative to "/", as rsync names it
    manager->addFileToBackup(files.filePath(QStringLiteral("sub dir")));
    manager->addFileToBackup(files.filePath(QStringLiteral("vanished")));
    manager->addFileToBackup(QStringLiteral(""));
    manager->updaterDatabaseArraysToDB();

    const QString relative = file.mid(1);
    EXPECT_EQ(rowCount(master()), 2) << "relative and absolute name one file; missing ones are skipped";
    const QVariantMap row = masterRow(master(), QStringLiteral("ThisMac/") + relative);
    EXPECT_EQ(row.value(QStringLiteral("FILE_SIZE")), QStringLiteral("1234"));
    EXPECT_EQ(row.value(QStringLiteral("FILE_LMD")), QStringLiteral("2015-06-07 08:09:10 +0000"));
    EXPECT_EQ(row.value(QStringLiteral("FILE_OR_FOLDER")), QStringLiteral("0"));
    EXPECT_EQ(
        masterRow(master(), QStringLiteral("ThisMac/") + files.filePath(QStringLiteral("sub dir")).mid(1))
            .value(QStringLiteral("FILE_OR_FOLDER")),
        QStringLiteral("1"));
    EXPECT_EQ(pauses.count(Pause::BackupRecords), 0);

    for (int i = 0; i < 100; ++i)
        manager->addFileToBackup(files.filePath(QStringLiteral("missing %1").arg(i)));
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(pauses.count(Pause::BackupRecords), 2) << "a pause after every 50 paths";
}

TEST_F(DBManagerTest, StopEndsTheBatchAndKeepsWhatItHadNotWritten) {
    // The stop comes while a batch is being written (at its first pause).
    DBManager* target = nullptr;
    std::atomic<bool> stopOnce{true};
    IndexThrottle throttle(quickTimings(), [&](Pause pause) {
        if (pause == Pause::ListingRecords && stopOnce.exchange(false))
            target->stopDBOperationImmediately();
    });
    DBManager manager(throttle, [] { return QStringLiteral("ThisMac"); });
    target = &manager;
    manager.setWithDetails({{DBManager::DbPathKey, support()}, {DBManager::UserKey, kUser}});
    manager.setMachineName(QStringLiteral("Mac"));
    for (int i = 0; i < 1200; ++i)
        manager.listedFileAddToDatabase(listed(QStringLiteral("f%1").arg(i)));
    manager.updaterDatabaseArraysToDB();

    EXPECT_EQ(rowCount(master()), -1) << "a stopped tick does not merge";
    EXPECT_EQ(filesWithSuffix(folder(), QStringLiteral(".zxt")).size(), 1) << "what was written is finished";
    EXPECT_EQ(manager.pendingListingRecords(), 700) << "the rest goes back to the intake";

    manager.startDBOperation();
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == 1200; }, 20000)) << rowCount(master());
    EXPECT_EQ(manager.pendingListingRecords(), 0);
}

TEST_F(DBManagerTest, UpdaterThreadTicksAndASecondStartKeepsIt) {
    PauseCounter pauses;
    auto manager = make(&pauses);
    EXPECT_FALSE(manager->isUpdaterRunning());
    manager->startDBOperation();
    ASSERT_TRUE(waitUntil([&] { return manager->isUpdaterRunning(); }, 5000));
    QThread* first = manager->updaterThread();
    manager->startDBOperation();
    EXPECT_EQ(manager->updaterThread(), first) << "one updater per instance";
    EXPECT_NE(first, QThread::currentThread());

    manager->setMachineName(QStringLiteral("Mac"));
    manager->listedFileAddToDatabase(listed(QStringLiteral("only once")));
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == 1; }, 5000));
    const quint64 ticks = manager->ticks();
    ASSERT_TRUE(waitUntil([&] { return manager->ticks() >= ticks + 3; }, 5000));
    EXPECT_EQ(pauses.count(Pause::DeltaCreation), 1) << "the batch was written exactly once";

    manager->stopDBOperationImmediately();
    EXPECT_FALSE(manager->isUpdaterRunning());
    manager->listedFileAddToDatabase(listed(QStringLiteral("after the stop")));
    spinFor(200);
    EXPECT_EQ(manager->pendingListingRecords(), 1) << "no tick after a stop";
    manager->startDBOperation();
    EXPECT_NE(manager->updaterThread(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == 2; }, 5000));
}

TEST_F(DBManagerTest, DeltaIsKeptWhileTheMasterCannotBeOpened) {
    auto manager = make();
    ASSERT_TRUE(QDir().mkpath(master())); // a folder in the master's place
    manager->setMachineName(QStringLiteral("Mac"));
    manager->listedFileAddToDatabase(listed(QStringLiteral("precious")));
    manager->updaterDatabaseArraysToDB();
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(filesWithSuffix(folder(), QStringLiteral(".zxt")).size(), 1);

    ASSERT_TRUE(QDir(master()).removeRecursively());
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(masterPaths(master()), QStringList{QStringLiteral("Mac/precious")});
    EXPECT_TRUE(filesWithSuffix(folder(), QStringLiteral(".zxt")).isEmpty());
}

TEST_F(DBManagerTest, TwoInstancesOnOneFolderLoseAndDoubleNothing) {
    // The backup engine's and the listing's pipelines share the account folder.
    auto backup = make();
    auto listing = make();
    backup->setMachineName(QStringLiteral("Mac"));
    listing->setMachineName(QStringLiteral("Mac"));
    constexpr int perProducer = 3000;
    constexpr int shared = 500;

    // Deltas waiting from an earlier run, merged by whichever instance comes first.
    for (int d = 0; d < 10; ++d) {
        QList<QVariantList> rows;
        for (int i = 0; i < 50; ++i)
            rows << record(QStringLiteral("Mac/earlier/%1/%2").arg(d).arg(i), kLmd);
        ASSERT_FALSE(writeDelta(folder(), rows).isEmpty());
    }
    backup->startDBOperation();
    listing->startDBOperation();
    const auto produce = [](DBManager* manager, const QString& prefix) {
        for (int i = 0; i < perProducer; ++i) {
            manager->listedFileAddToDatabase(listed(prefix + QString::number(i)));
            if (i < shared)
                manager->listedFileAddToDatabase(listed(QStringLiteral("shared/%1").arg(i)));
            if (i % 300 == 0)
                QThread::msleep(15);
        }
    };
    std::unique_ptr<QThread> a(QThread::create(produce, backup.get(), QStringLiteral("a/")));
    std::unique_ptr<QThread> b(QThread::create(produce, listing.get(), QStringLiteral("b/")));
    a->start();
    b->start();
    // Meanwhile, direct merges from this thread as well.
    for (int i = 0; i < 20; ++i) {
        backup->updateMasterDataBase(kUser);
        listing->updateMasterDataBase(kUser);
    }
    a->wait();
    b->wait();
    const qint64 expected = 2 * perProducer + shared + 500;
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == expected; }, 60000)) << rowCount(master());
    ASSERT_TRUE(
        waitUntil([&] { return filesWithSuffix(folder(), QStringLiteral(".zxt")).isEmpty(); }, 10000));
    backup->stopDBOperationImmediately();
    listing->stopDBOperationImmediately();
    const QStringList paths = masterPaths(master());
    EXPECT_EQ(QSet<QString>(paths.cbegin(), paths.cend()).size(), paths.size());
    EXPECT_TRUE(filesWithSuffix(folder(), QStringLiteral(".progress")).isEmpty());
}

TEST_F(DBManagerTest, SearchGoesThroughTheBoundFolder) {
    auto manager = make();
    EXPECT_FALSE(manager->search(QStringLiteral("x"))) << "no master yet";
    manager->setMachineName(QStringLiteral("Mac"));
    manager->listedFileAddToDatabase(listed(QStringLiteral("Docs/it's.txt")));
    manager->updaterDatabaseArraysToDB();
    const auto hits = manager->search(QStringLiteral("it's"));
    ASSERT_TRUE(hits);
    ASSERT_EQ(hits->size(), 1);
    EXPECT_EQ(hits->first().value(QStringLiteral("name")).toString(), QStringLiteral("Mac/Docs/it's.txt"));
}

} // namespace

namespace {

void writeFiles(const QString& folder, int count) {
    QDir().mkpath(folder);
    for (int i = 0; i < count; ++i) {
        QFile f(folder + QStringLiteral("/f%1").arg(i));
        f.open(QIODevice::WriteOnly);
        f.write("x");
    }
}

} // namespace

TEST_F(DBManagerTest, FailedCommitGivesThePathsBackAndAStrandedDeltaIsMergedAtStart) {
    // A delta an ended process was writing: merged at the next start.
    const QString name = writeDelta(folder(), {record(QStringLiteral("Old/left.txt"), kLmd)});
    const QString stranded = folder() + u'/' + name + QStringLiteral(".progress");
    ASSERT_TRUE(QFile::rename(folder() + u'/' + name, stranded));
    const QDateTime past = QDateTime::currentDateTime().addSecs(-3600);
    {
        QFile f(stranded);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(past, QFileDevice::FileModificationTime));
    }

    // A reader holds the new delta when its writer commits: the commit fails.
    QTemporaryDir files;
    writeFiles(files.path(), 60);
    std::unique_ptr<SQLiteDatabase> reader;
    std::unique_ptr<SQLiteResultSet> reading;
    std::atomic<bool> block{true};
    auto manager = std::make_unique<DBManager>(
        IndexThrottle(quickTimings(),
                      [&](IndexThrottle::Pause pause) {
                          if (pause != Pause::BackupRecords || !block || reader)
                              return;
                          const QStringList writing =
                              filesWithSuffix(folder(), QStringLiteral(".zxt.progress"));
                          reader = std::make_unique<SQLiteDatabase>(folder() + u'/' + writing.last());
                          reader->openReadOnly();
                          reading = reader->executeQuery(QStringLiteral("SELECT name FROM sqlite_master"));
                          reading->next();
                      }),
        [] { return QStringLiteral("ThisMac"); });
    manager->setWithDetails({{DBManager::DbPathKey, support()}, {DBManager::UserKey, kUser}});
    for (int i = 0; i < 60; ++i)
        manager->addFileToBackup(files.filePath(QStringLiteral("f%1").arg(i)));
    manager->updaterDatabaseArraysToDB();
    ASSERT_TRUE(reader) << "the writer paused inside its transaction";
    EXPECT_EQ(manager->pendingBackupFiles(), 60) << "every path is back in the intake";
    EXPECT_EQ(filesWithSuffix(folder(), QStringLiteral(".zxt.progress")).size(), 0) << "no stray delta";
    EXPECT_EQ(masterPaths(master()), QStringList{QStringLiteral("Old/left.txt")});

    block = false;
    reading.reset();
    reader.reset();
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(manager->pendingBackupFiles(), 0);
    EXPECT_EQ(rowCount(master()), 61);
    EXPECT_TRUE(filesWithSuffix(folder(), QStringLiteral(".zxt")).isEmpty());
}

TEST_F(DBManagerTest, SymlinksPlantedInTheIndexFolderLeadNowhere) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act for the fixture account";
    QString why;
    const FixtureUser user = FixtureUser::get(&why);
    if (user.uid == 0)
        GTEST_SKIP() << "no fixture account: " << why.toStdString();
    // The user's support folder, as in a home: owned by the user; the targets belong to root.
    TempRoot root;
    const QString home = root.createHome(user);
    const QString base = home + QStringLiteral("/support");
    const QString account = base + QStringLiteral("/alice");
    ASSERT_TRUE(QDir().mkpath(account));
    for (const QString& path : {base, account})
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), user.uid, user.gid), 0);
    const QString targets = root.path() + QStringLiteral("/root-only");
    ASSERT_TRUE(QDir().mkpath(targets));
    const auto plant = [&](const QString& target, const QString& link) {
        QFile f(target);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("root's");
        f.close();
        ::chmod(QFile::encodeName(target).constData(), 0600);
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()), 0);
        ::lchown(QFile::encodeName(link).constData(), user.uid, user.gid);
    };
    plant(targets + QStringLiteral("/master"), account + QStringLiteral("/alice.zx"));
    plant(targets + QStringLiteral("/journal"), account + QStringLiteral("/alice.zx-journal"));
    plant(targets + QStringLiteral("/delta"), account + QStringLiteral("/2000-01-01 00-00-00-000.zxt"));
    plant(targets + QStringLiteral("/progress"),
          account + QStringLiteral("/2000-01-01 00-00-00-001.zxt.progress"));

    auto manager =
        std::make_unique<DBManager>(IndexThrottle(quickTimings()), [] { return QStringLiteral("M"); });
    manager->setWithDetails(
        {{DBManager::DbPathKey, base}, {DBManager::UserKey, kUser}, {DBManager::LocalUserKey, user.name}});
    manager->listedFileAddToDatabase(listed(QStringLiteral("a.txt")));
    manager->updaterDatabaseArraysToDB();
    for (const QString& name : {QStringLiteral("master"), QStringLiteral("journal"), QStringLiteral("delta"),
                                QStringLiteral("progress")}) {
        QFile f(targets + u'/' + name);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), QByteArray("root's")) << name.toStdString();
        EXPECT_EQ(QFileInfo(f).permissions() & QFileDevice::WriteOther, 0);
        struct stat st {};
        ::stat(QFile::encodeName(f.fileName()).constData(), &st);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << name.toStdString();
        EXPECT_EQ(st.st_uid, 0u);
    }
    EXPECT_EQ(filesWithSuffix(account, QStringLiteral(".zxt")).size(), 2)
        << "the delta waits while the master is a link";

    // Once the planted master is gone the pipeline goes on and loses nothing.
    ASSERT_EQ(::unlink(QFile::encodeName(account + QStringLiteral("/alice.zx")).constData()), 0);
    ASSERT_EQ(::unlink(QFile::encodeName(account + QStringLiteral("/alice.zx-journal")).constData()), 0);
    manager->listedFileAddToDatabase(listed(QStringLiteral("b.txt")));
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(masterPaths(account + QStringLiteral("/alice.zx")).size(), 2);
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(account + QStringLiteral("/alice.zx")).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid) << "what the daemon creates there is the user's";
}
