// The index update pipeline: intakes, batches, the updater thread and merges.

#include "DBManager.h"
#include "IndexTestSupport.h"

#include <QTimeZone>

#include <fcntl.h>
#include <unistd.h>

using namespace indextest;
using Pause = IndexThrottle::Pause;
using D = DBManager;

namespace {

QVariantMap listed(const QString& path, const QString& size = u"1"_s, const QString& state = u"0"_s) {
    return {{D::PathKey, path}, {D::LmdKey, kEarly}, {D::SizeKey, size}, {D::StateKey, state}};
}

class DBManagerTest : public ::testing::Test {
  protected:
    QString support() const { return mDir.path() + u"/support"_s; }
    QString folder() const { return support() + u"/alice"_s; }
    QString master() const { return DataBaseWraper::masterPath(folder(), kUser); }
    QStringList deltas() const { return filesWithSuffix(folder(), u".zxt"_s); }
    std::unique_ptr<DBManager> make(IndexThrottle::Observer observer = {}, const QString& user = kUser) {
        auto manager = std::make_unique<DBManager>(IndexThrottle(quickTimings(), std::move(observer)),
                                                   [] { return u"ThisMac"_s; });
        manager->setWithDetails(
            {{D::DbPathKey, support()}, {D::UserKey, user}, {D::LocalUserKey, processAccount()}});
        manager->setMachineName(u"Mac"_s);
        return manager;
    }
    QTemporaryDir mDir;
};

TEST_F(DBManagerTest, BindsToAnOwnerOnlyAccountFolderAndKeepsThePersonsModes) {
    EXPECT_EQ(make()->databasePath(), folder());
    EXPECT_EQ(statOf(folder()).st_mode & 07777, 0700u) << "a new index folder is its owner's alone";
    EXPECT_EQ(statOf(support()).st_mode & 07777, 0700u);
    // Modes the person chose stay as they are, at every start.
    ASSERT_TRUE(QDir().mkpath(folder() + u"/old"_s) && writeFile(master(), {}));
    const QStringList paths{folder(), folder() + u"/old"_s, master()};
    for (const QString& path : paths)
        ::chmod(QFile::encodeName(path).constData(), 0750);
    EXPECT_EQ(make()->databasePath(), folder());
    for (const QString& path : paths)
        EXPECT_EQ(statOf(path).st_mode & 07777, 0750u) << path.toStdString();

    // An account name that is no single path component binds nothing; the entries wait.
    for (const char* user : {"../escape", "..", "a/b", ""}) {
        auto other = make({}, QString::fromUtf8(user));
        EXPECT_TRUE(other->databasePath().isEmpty()) << user;
        other->listedFileAddToDatabase(listed(u"kept"_s));
        other->updaterDatabaseArraysToDB();
        EXPECT_EQ(other->pendingListingRecords(), 1);
    }
    EXPECT_FALSE(QFileInfo::exists(mDir.path() + u"/escape"_s) || QFileInfo::exists(support() + u"/a"_s));
}

TEST_F(DBManagerTest, TenThousandListedRecordsGoIntoOneDeltaAndTheMaster) {
    PauseCounter pauses;
    auto manager = make(pauses.observer());
    manager->setMachineName(u"First"_s);
    manager->listedFileAddToDatabase(listed(u"a.txt"_s));
    manager->setMachineName(u"Office Mac"_s); // the next folder starts before the tick
    for (int i = 0; i < 10000; ++i)
        manager->listedFileAddToDatabase(listed(u"Docs/file %1.txt"_s.arg(i), i % 2 ? u"1,234"_s : u"1.234"_s,
                                                i % 10 == 0 ? u"1"_s : u"0"_s));
    // Dropped at the intake: a repeat, ".", fewer than three keys; skipped when written: no size.
    manager->listedFileAddToDatabase(listed(u"Docs/file 1.txt"_s, u"1,234"_s));
    manager->listedFileAddToDatabase(listed(u"."_s, u"4,096"_s, u"1"_s));
    manager->listedFileAddToDatabase({{D::PathKey, u"b"_s}, {D::SizeKey, 1}});
    manager->listedFileAddToDatabase({{D::PathKey, u"no size"_s}, {D::LmdKey, kEarly}, {D::StateKey, 0}});
    EXPECT_EQ(manager->pendingListingRecords(), 10002);
    manager->updaterDatabaseArraysToDB();

    EXPECT_EQ(pauses[Pause::DeltaCreation], 1) << "one tick, one delta";
    EXPECT_EQ(pauses[Pause::ListingRecords], 20) << "a pause after every 500 records";
    EXPECT_EQ(pauses[Pause::MergeRows], 100);
    EXPECT_EQ(rowCount(master()), 10001);
    EXPECT_EQ(field(master(), u"First/a.txt"_s, "FILE_SIZE"), u"1"_s) << "the machine it was listed for";
    EXPECT_EQ(field(master(), u"Office Mac/Docs/file 10.txt"_s, "FILE_LMD || FILE_SIZE || FILE_OR_FOLDER"),
              kEarly + u"12341"_s);
    const auto hits = manager->search(u"file 10.txt"_s);
    ASSERT_TRUE(hits && hits->size() == 1);
    EXPECT_EQ(hits->first(), QVariantMap({{u"name"_s, u"Office Mac/Docs/file 10.txt"_s},
                                          {u"size"_s, u"1234"_s},
                                          {u"lmd"_s, kEarly}}));
}

TEST_F(DBManagerTest, BackupEntriesAreReadFromDiskUnderThisMachinesName) {
    QTemporaryDir files;
    const QString file = files.filePath(u"it's a \"file\" $(x).txt"_s), sub = files.filePath(u"sub dir"_s);
    ASSERT_TRUE(writeFile(file, QByteArray(1234, 'x')) && QDir().mkpath(sub));
    QFile times(file);
    ASSERT_TRUE(times.open(QIODevice::ReadWrite) &&
                times.setFileTime(QDateTime(QDate(2015, 6, 7), QTime(8, 9, 10), QTimeZone::utc()),
                                  QFileDevice::FileModificationTime));
    times.close();
    PauseCounter pauses;
    auto manager = make(pauses.observer());
    for (const QString& path : {file, file.mid(1) /* relative to "/", as rsync names it */, sub, QString()})
        manager->addFileToBackup(path);
    for (int i = 0; i < 97; ++i)
        manager->addFileToBackup(files.filePath(u"vanished %1"_s.arg(i)));
    EXPECT_EQ(manager->pendingBackupFiles(), 100);
    manager->updaterDatabaseArraysToDB();

    EXPECT_EQ(masterPaths(master()), QStringList({u"ThisMac"_s + file, u"ThisMac"_s + sub}))
        << "relative and absolute name one file; vanished ones are skipped";
    EXPECT_EQ(field(master(), u"ThisMac"_s + file, "FILE_LMD || '|' || FILE_SIZE || '|' || FILE_OR_FOLDER"),
              u"2015-06-07 08:09:10 +0000|1234|0"_s);
    EXPECT_EQ(field(master(), u"ThisMac"_s + sub, "FILE_OR_FOLDER"), u"1"_s);
    EXPECT_EQ(pauses[Pause::BackupRecords], 2) << "a pause after every 50 paths";
}

TEST_F(DBManagerTest, StopEndsTheBatchAndKeepsWhatItHadNotWritten) {
    // The stop comes while a batch is being written (at its first pause).
    DBManager* target = nullptr;
    std::atomic<int> deltasCreated{0};
    auto manager = make([&](Pause pause) {
        deltasCreated += pause == Pause::DeltaCreation;
        if (pause == Pause::ListingRecords && target)
            std::exchange(target, nullptr)->stopDBOperationImmediately();
    });
    target = manager.get();
    for (int i = 0; i < 1200; ++i)
        manager->listedFileAddToDatabase(listed(u"f%1"_s.arg(i)));
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(rowCount(master()), -1) << "a stopped tick does not merge";
    EXPECT_EQ(deltas().size(), 1) << "what was written is finished";
    EXPECT_EQ(manager->pendingListingRecords(), 700) << "the rest goes back to the intake";

    // The updater thread ticks on its own; a second start keeps the one updater.
    manager->startDBOperation();
    QThread* first = manager->updaterThread();
    manager->startDBOperation();
    EXPECT_EQ(manager->updaterThread(), first);
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == 1200; }, 20000)) << rowCount(master());
    const quint64 ticks = manager->ticks();
    ASSERT_TRUE(waitUntil([&] { return manager->ticks() >= ticks + 3; }));
    EXPECT_EQ(deltasCreated, 2) << "the rest was written exactly once";

    manager->stopDBOperationImmediately();
    EXPECT_FALSE(manager->isUpdaterRunning());
    manager->listedFileAddToDatabase(listed(u"after the stop"_s));
    spinFor(200);
    EXPECT_EQ(manager->pendingListingRecords(), 1) << "no tick after a stop";
}

TEST_F(DBManagerTest, TwoInstancesOnOneFolderLoseAndDoubleNothing) {
    // The backup engine's and the listing's pipelines share the account folder. While one merges the
    // deltas waiting there, the other one's merge waits instead of merging them a second time.
    std::atomic<int> mergePauses{0};
    std::unique_ptr<DBManager> listing;
    std::unique_ptr<QThread> second;
    auto backup = make([&](Pause pause) {
        if (pause != Pause::MergeRows || mergePauses++ > 0)
            return;
        second.reset(QThread::create([&] { listing->updateMasterDataBase(kUser); }));
        second->start();
        second->wait(QDeadlineTimer(300)); // it cannot get in while this merge runs
    });
    listing = make([&](Pause pause) { mergePauses += pause == Pause::MergeRows; });
    for (int d = 0; d < 10; ++d)
        ASSERT_FALSE(writeDelta(folder(), numbered(200, u"Mac/earlier/%1/"_s.arg(d))).isEmpty());
    EXPECT_TRUE(backup->updateMasterDataBase(kUser));
    ASSERT_TRUE(second && second->wait());
    EXPECT_EQ(mergePauses, 20) << "each delta merged once: 200 rows, a pause after every 100";
    EXPECT_EQ(rowCount(master()), 2000);
    EXPECT_TRUE(deltas().isEmpty());
}

TEST_F(DBManagerTest, NothingIsLostWhenACommitOrTheMasterFails) {
    // Deltas being written: one by an ended process (older than this one), one by a live writer.
    const QString stranded = folder() + u'/' + writeDelta(folder(), {record(u"Old/left.txt"_s, kEarly)});
    const QString live = folder() + u'/' + writeDelta(folder(), {record(u"Mac/live"_s, kEarly)});
    ASSERT_TRUE(QFile::rename(stranded, stranded + u".progress"_s) &&
                QFile::rename(live, live + u".progress"_s));
    QFile old(stranded + u".progress"_s);
    ASSERT_TRUE(old.open(QIODevice::ReadWrite) && old.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                                                  QFileDevice::FileModificationTime));
    old.close();

    // A reader holds the new delta when its writer commits: the commit fails.
    QTemporaryDir files;
    std::unique_ptr<SQLiteDatabase> reader;
    std::unique_ptr<SQLiteResultSet> reading;
    auto manager = make([&](Pause pause) {
        if (pause != Pause::BackupRecords || reader)
            return;
        reader = std::make_unique<SQLiteDatabase>(folder() + u'/' +
                                                  filesWithSuffix(folder(), u".progress"_s).last());
        reader->openReadOnly();
        reading = reader->executeQuery(u"SELECT name FROM sqlite_master"_s);
        reading->next();
    });
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(writeFile(files.filePath(u"f%1"_s.arg(i)), "x"));
        manager->addFileToBackup(files.filePath(u"f%1"_s.arg(i)));
    }
    manager->updaterDatabaseArraysToDB();
    ASSERT_TRUE(reader) << "the writer paused inside its transaction";
    EXPECT_EQ(manager->pendingBackupFiles(), 60) << "every path is back in the intake";
    EXPECT_EQ(filesWithSuffix(folder(), u".progress"_s),
              QStringList{QFileInfo(live).fileName() + u".progress"_s})
        << "no stray delta, and a live writer's delta is never merged";
    EXPECT_EQ(masterPaths(master()), QStringList{u"Old/left.txt"_s});

    // While the master cannot be opened (a folder, a file that is no database) the deltas wait.
    reading.reset();
    reader->close();
    ASSERT_TRUE(QFile::remove(master()) && QDir().mkpath(master()));
    manager->updaterDatabaseArraysToDB();
    ASSERT_TRUE(QDir(master()).removeRecursively() && writeFile(master(), QByteArray(4096, 'x')));
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(manager->pendingBackupFiles(), 0);
    EXPECT_EQ(deltas().size(), 1);
    ASSERT_TRUE(QFile::remove(master()));
    manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(rowCount(master()), 60);
    EXPECT_FALSE(manager->updateMasterDataBase(kUser)) << "nothing left to merge";
}

TEST_F(DBManagerTest, AFirstBackupsStreamOfPathsWaitsOnDiskWithBoundedMemoryAndAllReachesTheMaster) {
    QTemporaryDir files;
    QStringList paths;
    for (int i = 0; i < 1000; ++i) {
        paths << files.filePath(u"doc %1.txt"_s.arg(i));
        ASSERT_TRUE(writeFile(paths.last(), "x"));
    }
    // A stale spool of a process that ended is removed when an instance binds; a live one stays.
    ASSERT_TRUE(QDir().mkpath(folder()));
    const QString stale = folder() + u"/alice.gone.pending"_s, live = folder() + u"/alice.live.pending"_s;
    ASSERT_TRUE(writeFile(stale, "/nowhere\n") && writeFile(live, "/nowhere\n"));
    QFile old(stale);
    ASSERT_TRUE(old.open(QIODevice::ReadWrite) && old.setFileTime(QDateTime::currentDateTime().addSecs(-3600),
                                                                  QFileDevice::FileModificationTime));
    old.close();

    // While a batch is written, the run goes on reporting files: 101 at every pause.
    DBManager* target = nullptr;
    qsizetype next = 500, mostInMemory = 0;
    QString spool;
    auto manager = make([&](Pause pause) {
        if (pause != Pause::BackupRecords || !target)
            return;
        mostInMemory = std::max(mostInMemory, target->backupFilesInMemory());
        if (spool.isEmpty())
            spool = target->spoolPath();
        for (int i = 0; i < 101 && next < paths.size(); ++i)
            target->addFileToBackup(paths.at(next++));
    });
    target = manager.get();
    EXPECT_FALSE(QFile::exists(stale));
    EXPECT_TRUE(QFile::exists(live));
    manager->setSpoolLimits(100, 150);
    for (int i = 0; i < 500; ++i)
        manager->addFileToBackup(paths.at(i));
    manager->updaterDatabaseArraysToDB();
    ASSERT_FALSE(spool.isEmpty()) << "more than the threshold waits on disk";
    EXPECT_TRUE(spool.startsWith(folder() + u"/alice."_s) && spool.endsWith(u".pending"_s));
    EXPECT_EQ(statOf(spool).st_mode & 07777, 0600u);
    EXPECT_LE(mostInMemory, 100 + 101) << "memory holds at most the threshold and what came since a pause";
    for (int tick = 0; tick < 40 && manager->pendingBackupFiles() > 0; ++tick)
        manager->updaterDatabaseArraysToDB();
    EXPECT_EQ(manager->pendingBackupFiles(), 0);
    EXPECT_EQ(rowCount(master()), 1000) << "every reported file, once";
    EXPECT_TRUE(manager->spoolPath().isEmpty());
    EXPECT_FALSE(QFile::exists(spool)) << "a spool read through goes";

    // A few paths take the usual way, without a spool.
    ASSERT_TRUE(writeFile(files.filePath(u"one more.txt"_s), "x"));
    manager->addFileToBackup(files.filePath(u"one more.txt"_s));
    spool.clear();
    manager->updaterDatabaseArraysToDB();
    EXPECT_TRUE(spool.isEmpty());
    EXPECT_EQ(rowCount(master()), 1001);
    EXPECT_EQ(filesWithSuffix(folder(), u".pending"_s), QStringList{u"alice.live.pending"_s});
}

TEST_F(DBManagerTest, ASpoolGrownBehindItsBackIsReadOnlyAsFarAsItWasWritten) {
    // The spool lies in the person's folder: grown to a gigabyte of holes, it must cost nothing more.
    QTemporaryDir files;
    QStringList paths;
    for (int i = 0; i < 400; ++i) {
        paths << files.filePath(u"doc %1.txt"_s.arg(i));
        ASSERT_TRUE(writeFile(paths.last(), "x"));
    }
    DBManager* target = nullptr;
    bool grown = false;
    auto manager = make([&](Pause pause) {
        if (pause != Pause::BackupRecords || !target || grown || target->spoolPath().isEmpty())
            return;
        const int fd = ::open(QFile::encodeName(target->spoolPath()).constData(), O_WRONLY | O_CLOEXEC);
        grown = fd >= 0 && ::ftruncate(fd, qint64(1) << 30) == 0;
        if (fd >= 0)
            ::close(fd);
    });
    target = manager.get();
    manager->setSpoolLimits(100, 150);
    for (const QString& path : std::as_const(paths))
        manager->addFileToBackup(path);
    for (int tick = 0; tick < 40 && manager->pendingBackupFiles() > 0; ++tick)
        manager->updaterDatabaseArraysToDB();
    ASSERT_TRUE(grown);
    EXPECT_EQ(manager->pendingBackupFiles(), 0);
    EXPECT_EQ(rowCount(master()), 400) << "what was written is read, the holes are not";
}

TEST_F(DBManagerTest, SymlinksPlantedInTheIndexFolderLeadNowhere) {
    ZH_SKIP_IF(needs::root("to act for the fixture account"));
    QString why;
    const FixtureUser user = FixtureUser::get(&why);
    ZH_SKIP_IF(user.uid == 0 ? u"no fixture account: "_s + why : QString());
    // The user's support folder, as in a home: owned by the user; the link targets belong to root.
    TempRoot root;
    const QString base = root.createHome(user) + u"/support"_s, account = base + u"/alice"_s;
    ASSERT_TRUE(QDir().mkpath(account));
    for (const QString& path : {base, account})
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), user.uid, user.gid), 0);
    const QStringList names{u"alice.zx"_s, u"alice.zx-journal"_s, u"2000-01-01 00-00-00-000.zxt"_s,
                            u"2000-01-01 00-00-00-001.zxt.progress"_s};
    for (const QString& name : names) {
        const QByteArray target = QFile::encodeName(root.path() + u"/root's "_s + name);
        const QByteArray link = QFile::encodeName(account + u'/' + name);
        ASSERT_TRUE(writeFile(QFile::decodeName(target), "root's"));
        ASSERT_EQ(::chmod(target.constData(), 0600), 0);
        ASSERT_EQ(::symlink(target.constData(), link.constData()), 0);
        ASSERT_EQ(::lchown(link.constData(), user.uid, user.gid), 0);
    }
    DBManager manager{IndexThrottle(quickTimings())};
    manager.setWithDetails({{D::DbPathKey, base}, {D::UserKey, kUser}, {D::LocalUserKey, user.name}});
    manager.setMachineName(u"Mac"_s);
    manager.listedFileAddToDatabase(listed(u"a.txt"_s));
    manager.updaterDatabaseArraysToDB();
    for (const QString& name : names) {
        EXPECT_EQ(readTrace(root.path() + u"/root's "_s + name), u"root's"_s) << name.toStdString();
        EXPECT_EQ(statOf(root.path() + u"/root's "_s + name).st_mode & 07777, 0600u) << name.toStdString();
    }
    EXPECT_EQ(filesWithSuffix(account, u".zxt"_s).size(), 2) << "the delta waits while the master is a link";

    // Once the planted master is gone the pipeline goes on and loses nothing.
    ASSERT_TRUE(QFile::remove(account + u"/alice.zx"_s) && QFile::remove(account + u"/alice.zx-journal"_s));
    manager.listedFileAddToDatabase(listed(u"b.txt"_s));
    manager.updaterDatabaseArraysToDB();
    EXPECT_EQ(masterPaths(account + u"/alice.zx"_s), QStringList({u"Mac/a.txt"_s, u"Mac/b.txt"_s}));
    EXPECT_EQ(statOf(account + u"/alice.zx"_s).st_uid, user.uid)
        << "what the daemon creates there is the user's";
}

TEST_F(DBManagerTest, AnAccountNamedLikeASystemFolderBehindALinkInTheHomeCannotMakeRootOpenIt) {
    ZH_SKIP_IF(needs::root("to act for the fixture account against root's files"));
    QString why;
    const FixtureUser user = FixtureUser::get(&why);
    ZH_SKIP_IF(user.uid == 0 ? u"no fixture account: "_s + why : QString());
    // The person points "~/.local/share" at a root folder (a stand-in for /var/lib) whose
    // "ZorvikHollin/etc" stands in for /etc, and names their appliance account "etc".
    TempRoot root;
    const QString home = root.createHome(user);
    const QString system = root.path() + u"/var-lib"_s, etc = system + u"/ZorvikHollin/etc"_s;
    ASSERT_TRUE(QDir().mkpath(etc) && QDir().mkpath(home + u"/.local"_s));
    ::chmod(QFile::encodeName(etc).constData(), 0750);
    const QMap<QString, mode_t> secrets{{etc + u"/shadow"_s, 0640}, {etc + u"/ssh_host_key"_s, 0600}};
    for (auto it = secrets.cbegin(); it != secrets.cend(); ++it) {
        ASSERT_TRUE(writeFile(it.key(), "secret"));
        ASSERT_EQ(::chmod(QFile::encodeName(it.key()).constData(), it.value()), 0);
    }
    const QByteArray share = QFile::encodeName(home + u"/.local/share"_s);
    ASSERT_EQ(::symlink(QFile::encodeName(system).constData(), share.constData()), 0);
    ASSERT_TRUE(user.handOver(home));
    const QString base = home + u"/.local/share/ZorvikHollin"_s;

    // As the listing called it (no person named) and as it calls it now (the person named).
    for (const QString& localUser : {QString(), user.name}) {
        DBManager manager{IndexThrottle(quickTimings())};
        manager.setWithDetails({{D::DbPathKey, base}, {D::UserKey, u"etc"_s}, {D::LocalUserKey, localUser}});
        manager.setMachineName(u"Mac"_s);
        manager.listedFileAddToDatabase(listed(u"a.txt"_s));
        manager.updaterDatabaseArraysToDB();
        EXPECT_EQ(statOf(etc).st_mode & 07777, 0750u) << localUser.toStdString();
        EXPECT_EQ(statOf(etc).st_uid, 0u);
        for (auto it = secrets.cbegin(); it != secrets.cend(); ++it) {
            EXPECT_EQ(statOf(it.key()).st_mode & 07777, it.value()) << it.key().toStdString();
            EXPECT_EQ(statOf(it.key()).st_uid, 0u) << it.key().toStdString();
        }
        EXPECT_TRUE(filesWithSuffix(etc, u".zxt"_s).isEmpty()) << "nothing written among root's files";
    }
}

} // namespace
