// Index files: naming, schema, inserting, finishing, the scrambler and the merge into the master.

#include "IndexTestSupport.h"
#include "TestRoots.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <csignal>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace indextest;

namespace {

const QString kUser = QStringLiteral("alice");

class DataBaseWraperTest : public ::testing::Test {
  protected:
    QString folder() const { return mDir.path() + QStringLiteral("/support/alice"); }
    QString master() const { return DataBaseWraper::masterPath(folder(), kUser); }
    DataBaseWraper quickWrapper() const { return DataBaseWraper(IndexThrottle(quickTimings())); }
    QString schemaOf(const QString& file, const QString& table) const {
        SQLiteDatabase db(file);
        if (!db.openReadOnly())
            return QString();
        auto rows = db.executeQuery(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = ?"), {table});
        return rows && rows->next() ? rows->stringForColumnIndex(0) : QString();
    }
    // Merges every finished delta of the folder the way the pipeline does.
    void mergeAll() {
        for (const QString& name : filesWithSuffix(folder(), QStringLiteral(".zxt"))) {
            DataBaseWraper delta = quickWrapper();
            ASSERT_TRUE(delta.openDatabaseAtPath(folder(), name));
            if (delta.updateMasterDatabaseWorker(folder(), kUser))
                delta.removeDataBaseAtPath(folder() + u'/' + name);
        }
    }
    QTemporaryDir mDir;
};

TEST_F(DataBaseWraperTest, FilesCarryTheExactTablesAndNames) {
    DataBaseWraper delta = quickWrapper();
    ASSERT_TRUE(delta.initializeDatabaseAtPath(folder(), kUser, false));
    const QString progress = delta.dbPath();
    EXPECT_TRUE(QFileInfo(progress).fileName().contains(QRegularExpression(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d-\\d{3}\\.zxt\\.progress$"))))
        << progress.toStdString();
    EXPECT_EQ(schemaOf(progress, DataBaseWraper::DeltaTable), DataBaseWraper::CreateDeltaSQL);
    EXPECT_EQ(
        DataBaseWraper::CreateDeltaSQL,
        QStringLiteral("CREATE TABLE FILE_TABLE_TEMP(FILEPATH char(1024) primary key,FILE_LMD char(1024),"
                       "FILE_SIZE __int64,FILE_OR_FOLDER bool, OPERATION_TYPE char(32),ATTRIBUTES char(50),"
                       "RESERVED1 char(50),RESERVED2 __int64)"));

    delta.unInitializeDatabase();
    EXPECT_TRUE(delta.dbPath().isEmpty());
    EXPECT_FALSE(QFile::exists(progress));
    EXPECT_TRUE(QFile::exists(progress.chopped(qsizetype(strlen(".progress")))))
        << "finishing takes off only the last extension";

    DataBaseWraper masterWrapper = quickWrapper();
    ASSERT_TRUE(masterWrapper.initializeDatabaseAtPath(folder(), kUser, true));
    EXPECT_EQ(masterWrapper.dbPath(), folder() + QStringLiteral("/alice.zx"));
    EXPECT_EQ(schemaOf(master(), DataBaseWraper::MasterTable),
              QStringLiteral("CREATE TABLE FILE_TABLE(FILEPATH char(1024) primary key,FILE_LMD char(256),"
                             "FILE_SIZE __int64,FILE_OR_FOLDER bool,ATTRIBUTES char(50),RESERVED1 char(50),"
                             "RESERVED2 __int64)"));
    masterWrapper.unInitializeDatabase();
    EXPECT_TRUE(QFile::exists(master())) << "only a delta being written is renamed when finished";
}

TEST_F(DataBaseWraperTest, SecondMasterReportsTableExistsAndStaysUsable) {
    {
        DataBaseWraper first = quickWrapper();
        ASSERT_TRUE(first.initializeDatabaseAtPath(folder(), kUser, true));
    }
    DataBaseWraper second = quickWrapper();
    QString error;
    EXPECT_FALSE(second.initializeDatabaseAtPath(folder(), kUser, true, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("table FILE_TABLE already exists"))) << error.toStdString();
    ASSERT_NE(second.database(), nullptr);
    EXPECT_TRUE(second.database()->isOpen());
    EXPECT_TRUE(second.insertRecord(
        record(QStringLiteral("Mac/a"), QStringLiteral("2016-03-04 05:06:07 +0000")), false, true));
    EXPECT_EQ(rowCount(master()), 1);
}

TEST_F(DataBaseWraperTest, DeltasOneAfterAnotherAreAtLeastOneSecondApart) {
    DataBaseWraper wrapper; // the standard one-second pause
    ASSERT_TRUE(wrapper.initializeDatabaseAtPath(folder(), kUser, false));
    const QString first = QFileInfo(wrapper.dbPath()).fileName();
    wrapper.unInitializeDatabase();
    ASSERT_TRUE(wrapper.initializeDatabaseAtPath(folder(), kUser, false));
    const QString second = QFileInfo(wrapper.dbPath()).fileName();
    wrapper.unInitializeDatabase();
    const auto stamp = [](const QString& name) {
        return QDateTime::fromString(name.left(23), QStringLiteral("yyyy-MM-dd HH-mm-ss-zzz"));
    };
    ASSERT_TRUE(stamp(first).isValid()) << first.toStdString();
    EXPECT_GE(stamp(first).msecsTo(stamp(second)), 1000)
        << first.toStdString() << " / " << second.toStdString();
}

TEST_F(DataBaseWraperTest, ConcurrentWritersNeverShareADelta) {
    // Without the pause, two threads create deltas within the same millisecond; each must get its own.
    constexpr int perThread = 25;
    QStringList names[2];
    auto writer = [&](int index) {
        for (int i = 0; i < perThread; ++i) {
            DataBaseWraper delta = quickWrapper();
            if (!delta.initializeDatabaseAtPath(folder(), kUser, false))
                continue;
            delta.insertRecord(record(QStringLiteral("Mac/%1/%2").arg(index).arg(i),
                                      QStringLiteral("2016-03-04 05:06:07 +0000")),
                               false, false);
            names[index] << delta.dbPath();
            delta.unInitializeDatabase();
        }
    };
    std::unique_ptr<QThread> a(QThread::create(writer, 0)), b(QThread::create(writer, 1));
    a->start();
    b->start();
    a->wait();
    b->wait();
    EXPECT_EQ(names[0].size() + names[1].size(), 2 * perThread);
    EXPECT_EQ(filesWithSuffix(folder(), QStringLiteral(".zxt")).size(), 2 * perThread);
    EXPECT_TRUE(filesWithSuffix(folder(), QStringLiteral(".progress")).isEmpty());
    mergeAll();
    EXPECT_EQ(rowCount(master()), 2 * perThread);
}

TEST_F(DataBaseWraperTest, FinishingNeverReplacesAnotherFinishedDelta) {
    DataBaseWraper delta = quickWrapper();
    ASSERT_TRUE(delta.initializeDatabaseAtPath(folder(), kUser, false));
    ASSERT_TRUE(delta.insertRecord(
        record(QStringLiteral("Mac/mine"), QStringLiteral("2016-03-04 05:06:07 +0000")), false, false));
    // Another writer finished a delta of the same name meanwhile.
    const QString taken = delta.dbPath().chopped(qsizetype(strlen(".progress")));
    {
        QFile other(taken);
        ASSERT_TRUE(other.open(QIODevice::WriteOnly));
        other.write("theirs");
    }
    delta.unInitializeDatabase();
    QFile other(taken);
    ASSERT_TRUE(other.open(QIODevice::ReadOnly));
    EXPECT_EQ(other.readAll(), QByteArray("theirs"));
    EXPECT_EQ(filesWithSuffix(folder(), QStringLiteral(".zxt")).size(), 2) << "mine took the next free name";
    EXPECT_TRUE(filesWithSuffix(folder(), QStringLiteral(".progress")).isEmpty());
}

TEST_F(DataBaseWraperTest, WrongValueCountsInsertNothing) {
    DataBaseWraper delta = quickWrapper();
    ASSERT_TRUE(delta.initializeDatabaseAtPath(folder(), kUser, false));
    const QVariantList seven = record(QStringLiteral("Mac/a"), QStringLiteral("2016-03-04 05:06:07 +0000"));
    QVariantList eight = seven;
    eight.insert(4, QStringLiteral("INSERT"));

    QString error = QStringLiteral("untouched");
    EXPECT_FALSE(delta.insertValues(seven, DataBaseWraper::DeltaTable, &error));
    EXPECT_FALSE(delta.insertValues(eight, DataBaseWraper::MasterTable, &error));
    EXPECT_FALSE(delta.insertRecord(eight, false, false, &error)) << "a record has seven values";
    EXPECT_FALSE(delta.insertRecord({}, false, false, &error));
    EXPECT_EQ(error, QStringLiteral("untouched"));
    EXPECT_EQ(rowCount(delta.dbPath(), DataBaseWraper::DeltaTable), 0);

    EXPECT_TRUE(delta.insertValues(eight, DataBaseWraper::DeltaTable, &error));
    EXPECT_EQ(rowCount(delta.dbPath(), DataBaseWraper::DeltaTable), 1);
}

TEST_F(DataBaseWraperTest, DeltaRecordsCarryInsertAndDuplicatesFailWithCode19) {
    DataBaseWraper delta = quickWrapper();
    ASSERT_TRUE(delta.initializeDatabaseAtPath(folder(), kUser, false));
    const QVariantList r = record(QStringLiteral("Mac/it's"), QStringLiteral("2016-03-04 05:06:07 +0000"));
    ASSERT_TRUE(delta.insertRecord(r, false, false));
    QString error;
    EXPECT_FALSE(delta.insertRecord(r, false, false, &error));
    EXPECT_EQ(delta.database()->lastErrorCode(), 19);
    EXPECT_TRUE(error.contains(QStringLiteral("UNIQUE"))) << error.toStdString();

    auto rows = delta.database()->executeQuery(QStringLiteral("SELECT * FROM FILE_TABLE_TEMP"));
    ASSERT_TRUE(rows && rows->next());
    EXPECT_EQ(rows->stringForColumn(QStringLiteral("FILEPATH")), QStringLiteral("Mac/it's"));
    EXPECT_EQ(rows->stringForColumn(QStringLiteral("OPERATION_TYPE")), QStringLiteral("INSERT"));
    EXPECT_EQ(rows->stringForColumn(QStringLiteral("ATTRIBUTES")), QStringLiteral("NA"));
}

TEST_F(DataBaseWraperTest, ScramblerKeepsSeparatorsAndRoundTrips) {
    const QString plain = QStringLiteral("a/b'c\\d");
    const QString scrambled = DataBaseWraper::encryptPath(plain);
    ASSERT_EQ(scrambled.size(), plain.size());
    EXPECT_EQ(scrambled.at(0).unicode(), u'a' + 63);
    EXPECT_EQ(scrambled.at(1), u'/');
    EXPECT_EQ(scrambled.at(2).unicode(), u'b' + 63);
    EXPECT_EQ(scrambled.at(3), u'\'');
    EXPECT_EQ(scrambled.at(4).unicode(), u'c' + 63);
    EXPECT_EQ(scrambled.at(5), u'\\');
    EXPECT_EQ(scrambled.at(6).unicode(), u'd' + 63);
    EXPECT_EQ(DataBaseWraper::decryptPath(scrambled), plain);

    // Units near the top wrap around modulo 65536.
    const QString high(QChar(char16_t(0xFFE0)));
    EXPECT_EQ(DataBaseWraper::encryptPath(high).at(0).unicode(), char16_t(0xFFE0 + 63));
    EXPECT_EQ(DataBaseWraper::decryptPath(DataBaseWraper::encryptPath(high)), high);

    DataBaseWraper delta = quickWrapper();
    ASSERT_TRUE(delta.initializeDatabaseAtPath(folder(), kUser, false));
    ASSERT_TRUE(delta.insertRecord(
        record(QStringLiteral("Mac/x"), QStringLiteral("2016-03-04 05:06:07 +0000")), true, false));
    auto rows = delta.database()->executeQuery(QStringLiteral("SELECT FILEPATH FROM FILE_TABLE_TEMP"));
    ASSERT_TRUE(rows && rows->next());
    EXPECT_EQ(rows->stringForColumnIndex(0), DataBaseWraper::encryptPath(QStringLiteral("Mac/x")));
}

TEST_F(DataBaseWraperTest, OpenVacuumAndRemove) {
    DataBaseWraper wrapper = quickWrapper();
    ASSERT_TRUE(wrapper.initializeDatabaseAtPath(folder(), kUser, true));
    ASSERT_TRUE(wrapper.openDatabaseAtPath(master(), QString()));
    EXPECT_EQ(wrapper.dbPath(), master()) << "without a name the folder argument is the file";
    ASSERT_TRUE(wrapper.openDatabaseAtPath(folder(), QStringLiteral("alice.zx")));
    EXPECT_EQ(wrapper.dbPath(), master());

    EXPECT_TRUE(wrapper.vacuum(QVariant(), folder(), kUser));
    EXPECT_EQ(wrapper.database(), nullptr) << "no connection after compacting";
    QString error;
    EXPECT_FALSE(wrapper.vacuum(QVariant(), folder() + QStringLiteral("/no/such/folder"), kUser, &error));
    EXPECT_FALSE(error.isEmpty());

    wrapper.removeDataBaseAtPath(master());
    EXPECT_FALSE(QFile::exists(master()));
    wrapper.removeDataBaseAtPath(master()); // a second removal is ignored
}

TEST_F(DataBaseWraperTest, DatesAndSizesAsTheMasterReadsThem) {
    const auto date = DataBaseWraper::dateFromString(QStringLiteral("2016-03-04 05:06:07 +0000"));
    ASSERT_TRUE(date);
    EXPECT_EQ(date->toUTC(), QDateTime(QDate(2016, 3, 4), QTime(5, 6, 7), QTimeZone::utc()));
    EXPECT_EQ(*DataBaseWraper::dateFromString(QStringLiteral("2016-03-04 07:06:07 +0200")), *date);
    EXPECT_FALSE(DataBaseWraper::dateFromString(QStringLiteral("2016/03/04 05:06:07 +0000")));
    EXPECT_FALSE(DataBaseWraper::dateFromString(QStringLiteral("2016-02-30 05:06:07 +0000")));
    EXPECT_FALSE(DataBaseWraper::dateFromString(QString()));
    EXPECT_EQ(DataBaseWraper::dateText(*date), QStringLiteral("2016-03-04 05:06:07 +0000"));

    EXPECT_EQ(DataBaseWraper::sizeValue(QStringLiteral("1,234")), QVariant(qint64(1234)));
    EXPECT_EQ(DataBaseWraper::sizeValue(QStringLiteral("1,234,567")), QVariant(qint64(1234567)));
    EXPECT_EQ(DataBaseWraper::sizeValue(QStringLiteral("1.234.567")), QVariant(qint64(1234567)));
    EXPECT_EQ(DataBaseWraper::sizeValue(QStringLiteral("42")), QVariant(qint64(42)));
    EXPECT_EQ(DataBaseWraper::sizeValue(qint64(7)), QVariant(qint64(7)));
    EXPECT_EQ(DataBaseWraper::sizeValue(QStringLiteral("1,23")), QVariant(QStringLiteral("1,23")))
        << "no number: kept as handed in";
    EXPECT_EQ(DataBaseWraper::sizeValue(QStringLiteral("1,234.567")), QVariant(QStringLiteral("1,234.567")));
    EXPECT_EQ(DataBaseWraper::sizeValue(QStringLiteral("NA")), QVariant(QStringLiteral("NA")));
}

// ---- merge ----

const QString kEarly = QStringLiteral("2016-03-04 05:06:07 +0000");
const QString kLate = QStringLiteral("2017-01-01 00:00:00 +0000");

TEST_F(DataBaseWraperTest, MergeCreatesTheMasterAndAddsNewPaths) {
    ASSERT_FALSE(
        writeDelta(folder(), {record(QStringLiteral("Mac/a"), kEarly, qint64(5)),
                              record(QStringLiteral("Mac/dir"), kEarly, qint64(4096), true),
                              record(QStringLiteral("Other Mac/b c"), kEarly, QStringLiteral("1,234,567"))})
            .isEmpty());
    mergeAll();
    EXPECT_EQ(schemaOf(master(), DataBaseWraper::MasterTable), DataBaseWraper::CreateMasterSQL);
    EXPECT_EQ(rowCount(master()), 3);
    EXPECT_TRUE(filesWithSuffix(folder(), QStringLiteral(".zxt")).isEmpty()) << "a merged delta is deleted";

    const QVariantMap dir = masterRow(master(), QStringLiteral("Mac/dir"));
    EXPECT_EQ(dir.value(QStringLiteral("FILE_OR_FOLDER")), QStringLiteral("1"));
    EXPECT_EQ(dir.value(QStringLiteral("RESERVED2")), QStringLiteral("NA"));
    const QVariantMap big = masterRow(master(), QStringLiteral("Other Mac/b c"));
    EXPECT_EQ(big.value(QStringLiteral("FILE_SIZE")), QStringLiteral("1234567"))
        << "thousands separators are not a cut-off";
    EXPECT_EQ(big.value(QStringLiteral("sizeType")), QStringLiteral("integer"));
    EXPECT_EQ(big.value(QStringLiteral("FILE_LMD")), kEarly);
}

TEST_F(DataBaseWraperTest, MergeUpdatesOnlyWhenTheDeltaIsLater) {
    writeDelta(folder(), {record(QStringLiteral("Mac/same"), kLate, qint64(1), false, QStringLiteral("A1"),
                                 QStringLiteral("first")),
                          record(QStringLiteral("Mac/newer"), kEarly, qint64(1), false, QStringLiteral("A1"),
                                 QStringLiteral("first")),
                          record(QStringLiteral("Mac/it's here"), kEarly, qint64(1)),
                          record(QStringLiteral("Mac/odd date"), QStringLiteral("yesterday"), qint64(1))});
    mergeAll();
    QThread::msleep(5); // the next delta gets a later name
    writeDelta(folder(), {record(QStringLiteral("Mac/same"), kEarly, qint64(99), true, QStringLiteral("A2")),
                          record(QStringLiteral("Mac/newer"), kLate, QStringLiteral("2,048"), true,
                                 QStringLiteral("A2"), QStringLiteral("second")),
                          record(QStringLiteral("Mac/it's here"), kLate, qint64(77)),
                          record(QStringLiteral("Mac/odd date"), kLate, qint64(66))});
    mergeAll();
    EXPECT_EQ(rowCount(master()), 4) << "rows are never doubled";

    const QVariantMap same = masterRow(master(), QStringLiteral("Mac/same"));
    EXPECT_EQ(same.value(QStringLiteral("FILE_LMD")), kLate) << "an earlier time changes nothing";
    EXPECT_EQ(same.value(QStringLiteral("FILE_SIZE")), QStringLiteral("1"));
    EXPECT_EQ(same.value(QStringLiteral("ATTRIBUTES")), QStringLiteral("A1"));

    const QVariantMap newer = masterRow(master(), QStringLiteral("Mac/newer"));
    EXPECT_EQ(newer.value(QStringLiteral("FILE_LMD")), kLate);
    EXPECT_EQ(newer.value(QStringLiteral("FILE_SIZE")), QStringLiteral("2048"));
    EXPECT_EQ(newer.value(QStringLiteral("FILE_OR_FOLDER")), QStringLiteral("1"));
    EXPECT_EQ(newer.value(QStringLiteral("ATTRIBUTES")), QStringLiteral("A2"));
    EXPECT_EQ(newer.value(QStringLiteral("RESERVED1")), QStringLiteral("first"))
        << "RESERVED keeps its first value";

    EXPECT_EQ(masterRow(master(), QStringLiteral("Mac/it's here")).value(QStringLiteral("FILE_SIZE")),
              QStringLiteral("77"))
        << "an apostrophe in the path does not break the update";
    EXPECT_EQ(masterRow(master(), QStringLiteral("Mac/odd date")).value(QStringLiteral("FILE_LMD")),
              QStringLiteral("yesterday"))
        << "a time that cannot be read never wins";

    // Same time again: nothing changes either.
    QThread::msleep(5);
    writeDelta(folder(), {record(QStringLiteral("Mac/newer"), kLate, qint64(1))});
    mergeAll();
    EXPECT_EQ(masterRow(master(), QStringLiteral("Mac/newer")).value(QStringLiteral("FILE_SIZE")),
              QStringLiteral("2048"));
}

TEST_F(DataBaseWraperTest, MergeRowsArePacedEveryHundred) {
    PauseCounter pauses;
    QList<QVariantList> records;
    for (int i = 0; i < 250; ++i)
        records << record(QStringLiteral("Mac/f%1").arg(i), kEarly);
    const QString name = writeDelta(folder(), records);
    DataBaseWraper delta{IndexThrottle(quickTimings(), pauses.observer())};
    ASSERT_TRUE(delta.openDatabaseAtPath(folder(), name));
    ASSERT_TRUE(delta.updateMasterDatabaseWorker(folder(), kUser));
    EXPECT_EQ(pauses.count(IndexThrottle::Pause::MergeRows), 2);
    EXPECT_EQ(rowCount(master()), 250);
}

TEST_F(DataBaseWraperTest, MasterThatCannotBeUsedKeepsTheDelta) {
    const QString name = writeDelta(folder(), {record(QStringLiteral("Mac/a"), kEarly)});
    const auto attempt = [&](QString* error) {
        DataBaseWraper delta = quickWrapper();
        EXPECT_TRUE(delta.openDatabaseAtPath(folder(), name));
        return delta.updateMasterDatabaseWorker(folder(), kUser, error);
    };

    // A folder where the master should be.
    ASSERT_TRUE(QDir().mkpath(master()));
    QString error;
    EXPECT_FALSE(attempt(&error));
    EXPECT_FALSE(error.isEmpty());
    ASSERT_TRUE(QDir(master()).removeRecursively());

    // A file that is no database.
    {
        QFile junk(master());
        ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
    }
    error.clear();
    EXPECT_FALSE(attempt(&error));
    EXPECT_FALSE(error.isEmpty());
    ASSERT_TRUE(QFile::remove(master()));

    // A master locked by someone else.
    {
        DataBaseWraper creator = quickWrapper();
        ASSERT_TRUE(creator.initializeDatabaseAtPath(folder(), kUser, true));
    }
    SQLiteDatabase holder(master());
    ASSERT_TRUE(holder.open());
    ASSERT_TRUE(holder.beginTransaction());
    error.clear();
    EXPECT_FALSE(attempt(&error));
    EXPECT_TRUE(error.contains(QStringLiteral("locked"))) << error.toStdString();
    ASSERT_TRUE(holder.commit());
    holder.close();

    EXPECT_TRUE(QFile::exists(folder() + u'/' + name)) << "the delta waits for a usable master";
    EXPECT_TRUE(attempt(nullptr));
    EXPECT_EQ(rowCount(master()), 1);
}

TEST_F(DataBaseWraperTest, FilesCreatedByRootBelongToTheFolderOwner) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create files for another account";
    const FixtureUser user = FixtureUser::get();
    ASSERT_TRUE(QDir().mkpath(folder()));
    ASSERT_EQ(::chown(QFile::encodeName(folder()).constData(), user.uid, user.gid), 0);
    writeDelta(folder(), {record(QStringLiteral("Mac/a"), kEarly)});
    const QString delta = folder() + u'/' + filesWithSuffix(folder(), QStringLiteral(".zxt")).value(0);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(delta).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    mergeAll();
    ASSERT_EQ(::stat(QFile::encodeName(master()).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid);
    EXPECT_EQ(st.st_mode & 0022, 0u) << "nobody else may write the index";
}

} // namespace

namespace {

QList<QVariantList> numberedRecords(int count, const QString& lmd) {
    QList<QVariantList> records;
    for (int i = 0; i < count; ++i)
        records << indextest::record(QStringLiteral("Mac/f%1").arg(i, 6, 10, QLatin1Char('0')), lmd);
    return records;
}

QString integrity(const QString& file) {
    SQLiteDatabase db(file); // read/write: the check first rolls back what the killed merge left
    if (!db.open())
        return db.lastErrorMessage();
    auto rows = db.executeQuery(QStringLiteral("PRAGMA integrity_check"));
    return rows && rows->next() ? rows->stringForColumnIndex(0) : db.lastErrorMessage();
}

} // namespace

TEST_F(DataBaseWraperTest, MergeCutShortKeepsItsDeltaAndLosesNoRow) {
    // A statement failing part-way (here a trigger refusing one row of the second batch).
    const QString name =
        writeDelta(folder(), numberedRecords(2500, QStringLiteral("2016-03-04 05:06:07 +0000")));
    {
        SQLiteDatabase db(master());
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeUpdate(DataBaseWraper::CreateMasterSQL));
        ASSERT_TRUE(db.executeUpdate(QStringLiteral(
            "CREATE TRIGGER refuse BEFORE INSERT ON FILE_TABLE WHEN NEW.FILEPATH = 'Mac/f001800' "
            "BEGIN SELECT RAISE(FAIL, 'refused'); END")));
    }
    {
        DataBaseWraper delta = quickWrapper();
        ASSERT_TRUE(delta.openDatabaseAtPath(folder(), name));
        QString error;
        EXPECT_FALSE(delta.updateMasterDatabaseWorker(folder(), kUser, &error));
        EXPECT_TRUE(error.contains(QStringLiteral("refused"))) << error.toStdString();
    }
    EXPECT_EQ(rowCount(master()), DataBaseWraper::MergeBatchRows) << "the failed batch is rolled back whole";
    {
        SQLiteDatabase db(master());
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeUpdate(QStringLiteral("DROP TRIGGER refuse")));
    }
    mergeAll();
    EXPECT_EQ(rowCount(master()), 2500);
    EXPECT_TRUE(filesWithSuffix(folder(), QStringLiteral(".zxt")).isEmpty());

    // A merging process killed inside its transaction: the master reads back whole, the delta stays
    // and is merged later.
    const QString big =
        writeDelta(folder(), numberedRecords(40000, QStringLiteral("2017-01-01 00:00:00 +0000")));
    const QByteArray journal = QFile::encodeName(master() + QStringLiteral("-journal"));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DataBaseWraper delta{IndexThrottle(quickTimings())};
        delta.openDatabaseAtPath(folder(), big);
        delta.updateMasterDatabaseWorker(folder(), kUser);
        ::_exit(0);
    }
    struct stat st {};
    for (int spins = 0; spins < 20000000 && ::lstat(journal.constData(), &st) != 0; ++spins) {
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(integrity(master()), QStringLiteral("ok"));
    EXPECT_EQ(rowCount(master()) % DataBaseWraper::MergeBatchRows, 2500 % DataBaseWraper::MergeBatchRows)
        << "only whole batches";
    ASSERT_TRUE(QFileInfo::exists(folder() + u'/' + big));
    mergeAll();
    EXPECT_EQ(rowCount(master()), 40000);
    EXPECT_EQ(masterRow(master(), QStringLiteral("Mac/f000001")).value(QStringLiteral("FILE_LMD")),
              QStringLiteral("2017-01-01 00:00:00 +0000"));
}

TEST_F(DataBaseWraperTest, FinishingFallsBackToLinkWhereRenameCannotRefuse) {
    ASSERT_TRUE(QDir().mkpath(folder()));
    const QString from = folder() + QStringLiteral("/a.zxt.progress");
    const QString taken = folder() + QStringLiteral("/b.zxt");
    for (const QString& path : {from, taken}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(path.toUtf8());
    }
    EXPECT_FALSE(DataBaseWraper::moveWithoutReplacing(from, taken, false));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_TRUE(QFileInfo::exists(from));
    ASSERT_TRUE(DataBaseWraper::moveWithoutReplacing(from, folder() + QStringLiteral("/a.zxt"), false));
    EXPECT_FALSE(QFileInfo::exists(from));
    QFile moved(folder() + QStringLiteral("/a.zxt"));
    ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
    EXPECT_EQ(moved.readAll(), from.toUtf8());
}
