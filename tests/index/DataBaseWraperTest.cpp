// Index files: naming, schema, inserting, finishing, the scrambler and the merge into the master.

#include "IndexTestSupport.h"
#include "UserFileAccess.h"

#include <QRegularExpression>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using namespace indextest;

namespace {

class DataBaseWraperTest : public ::testing::Test {
  protected:
    // A home may hold blanks, quotes and what a shell would run.
    QString folder() const { return mDir.path() + u"/o'brien $(touch x)/support/alice"_s; }
    QString master() const { return DataBaseWraper::masterPath(folder(), kUser); }
    static DataBaseWraper quickWrapper() { return DataBaseWraper(IndexThrottle(quickTimings())); }
    static QString schemaOf(const QString& file, const QString& table) {
        return firstColumn(file, u"SELECT sql FROM sqlite_master WHERE name = ?"_s, {table}).value(0);
    }
    // Merges every finished delta of the folder the way the pipeline does.
    void mergeAll(QString* error = nullptr) {
        for (const QString& name : filesWithSuffix(folder(), u".zxt"_s)) {
            DataBaseWraper delta = quickWrapper();
            ASSERT_TRUE(delta.openDatabaseAtPath(folder(), name));
            if (delta.updateMasterDatabaseWorker(folder(), kUser, error))
                delta.removeDataBaseAtPath(folder() + u'/' + name);
        }
    }
    QTemporaryDir mDir;
};

TEST_F(DataBaseWraperTest, FilesCarryTheExactTablesAndNames) {
    DataBaseWraper delta = quickWrapper();
    ASSERT_TRUE(delta.initializeDatabaseAtPath(folder(), kUser, false));
    const QString progress = delta.dbPath();
    EXPECT_TRUE(QFileInfo(progress).fileName().contains(
        QRegularExpression(u"^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d-\\d{3}\\.zxt\\.progress$"_s)));
    EXPECT_EQ(schemaOf(progress, DataBaseWraper::DeltaTable),
              u"CREATE TABLE FILE_TABLE_TEMP(FILEPATH char(1024) primary key,FILE_LMD char(1024),"
              "FILE_SIZE __int64,FILE_OR_FOLDER bool, OPERATION_TYPE char(32),ATTRIBUTES char(50),"
              "RESERVED1 char(50),RESERVED2 __int64)"_s);

    const QVariantList seven = record(u"Mac/it's"_s, kEarly);
    EXPECT_FALSE(delta.insertValues(seven, DataBaseWraper::DeltaTable)) << "a delta row has eight values";
    EXPECT_FALSE(delta.insertRecord(seven + QVariantList{1}, false, false)) << "a record has seven";
    ASSERT_TRUE(delta.insertRecord(seven, false, false));
    EXPECT_FALSE(delta.insertRecord(seven, false, false));
    EXPECT_EQ(delta.database()->lastErrorCode(), 19);
    ASSERT_TRUE(delta.insertRecord(record(u"Mac/x"_s, kEarly), true, false));
    EXPECT_EQ(
        firstColumn(progress, u"SELECT FILEPATH || OPERATION_TYPE || ATTRIBUTES FROM FILE_TABLE_TEMP"_s),
        QStringList({u"Mac/it'sINSERTNA"_s, u"\u008C\u00A0\u00A2/\u00B7INSERTNA"_s}))
        << "the scrambler moves every unit but ' / \\ by 63";

    EXPECT_TRUE(delta.unInitializeDatabase());
    EXPECT_TRUE(!QFile::exists(progress) && QFile::exists(progress.chopped(9)))
        << "finished: without \".progress\"";

    DataBaseWraper masterWrapper = quickWrapper();
    ASSERT_TRUE(masterWrapper.initializeDatabaseAtPath(folder(), kUser, true));
    EXPECT_EQ(schemaOf(folder() + u"/alice.zx"_s, DataBaseWraper::MasterTable),
              u"CREATE TABLE FILE_TABLE(FILEPATH char(1024) primary key,FILE_LMD char(256),"
              "FILE_SIZE __int64,FILE_OR_FOLDER bool,ATTRIBUTES char(50),RESERVED1 char(50),"
              "RESERVED2 __int64)"_s);
    masterWrapper.unInitializeDatabase();
    EXPECT_TRUE(QFile::exists(master())) << "only a delta being written is renamed when finished";
}

TEST_F(DataBaseWraperTest, ConcurrentWritersNeverShareNorReplaceADelta) {
    // Without the pause, two threads create deltas within the same millisecond; each gets its own.
    std::atomic<int> written{0};
    auto writer = [&](int index) {
        for (int i = 0; i < 25; ++i) {
            DataBaseWraper delta = quickWrapper();
            written += delta.initializeDatabaseAtPath(folder(), kUser, false) &&
                       delta.insertRecord(record(u"Mac/%1/%2"_s.arg(index).arg(i), kEarly), false, false) &&
                       delta.unInitializeDatabase();
        }
    };
    std::unique_ptr<QThread> a(QThread::create(writer, 0)), b(QThread::create(writer, 1));
    a->start();
    b->start();
    EXPECT_TRUE(a->wait() && b->wait());
    EXPECT_EQ(written, 50);
    mergeAll();
    EXPECT_EQ(rowCount(master()), 50);

    // Another writer finished a delta of this one's name meanwhile: this one takes the next free name.
    DataBaseWraper delta = quickWrapper();
    ASSERT_TRUE(delta.initializeDatabaseAtPath(folder(), kUser, false));
    const QString taken = delta.dbPath().chopped(9);
    ASSERT_TRUE(writeFile(taken, "theirs"));
    EXPECT_TRUE(delta.unInitializeDatabase());
    EXPECT_EQ(readTrace(taken), u"theirs"_s);
    EXPECT_EQ(filesWithSuffix(folder(), u".zxt*"_s).size(), 2) << "two finished deltas, none being written";

    // Where RENAME_NOREPLACE is refused (NFS, CIFS), link + unlink refuses an existing target as well.
    const QString from = folder() + u"/a.zxt.progress"_s;
    ASSERT_TRUE(writeFile(from, "mine"));
    EXPECT_FALSE(DataBaseWraper::moveWithoutReplacing(from, taken, false));
    EXPECT_EQ(errno, EEXIST);
    ASSERT_TRUE(DataBaseWraper::moveWithoutReplacing(from, folder() + u"/a.zxt"_s, false));
    EXPECT_TRUE(!QFileInfo::exists(from) && readTrace(folder() + u"/a.zxt"_s) == u"mine"_s);
}

TEST_F(DataBaseWraperTest, MergeUpdatesOnlyWhenTheDeltaIsLater) {
    writeDelta(folder(),
               {record(u"Mac/same"_s, kLate, qint64(1), false, u"A1"_s, u"first"_s),
                record(u"Mac/newer"_s, kEarly, qint64(1), false, u"A1"_s, u"first"_s),
                record(u"Mac/odd date"_s, u"yesterday"_s), record(u"Mac/it's"_s, kEarly, u"1,234,567"_s),
                record(u"Mac/no number"_s, kEarly, u"1,23"_s),
                record(u"Mac/dots"_s, kEarly, u" 12.345.678 "_s),
                record(u"Mac/mixed"_s, kEarly, u"1,234.567"_s),
                record(u"Mac/huge"_s, kEarly, u"99,999,999,999,999,999,999"_s)});
    mergeAll();
    EXPECT_TRUE(filesWithSuffix(folder(), u".zxt"_s).isEmpty()) << "a merged delta is deleted";
    EXPECT_EQ(field(master(), u"Mac/it's"_s, "FILE_SIZE || typeof(FILE_SIZE)"), u"1234567integer"_s)
        << "thousands separators are not a cut-off";
    EXPECT_EQ(field(master(), u"Mac/dots"_s, "FILE_SIZE"), u"12345678"_s);
    for (const QString& kept : {u"1,23"_s, u"1,234.567"_s, u"99,999,999,999,999,999,999"_s})
        EXPECT_EQ(
            firstColumn(master(), u"SELECT count(*) FROM FILE_TABLE WHERE FILE_SIZE = ?"_s, {kept}).value(0),
            u"1"_s)
            << "no number (or none that fits): kept as it is: " << kept.toStdString();

    writeDelta(folder(), {record(u"Mac/same"_s, kEarly, qint64(99), true, u"A2"_s),
                          record(u"Mac/newer"_s, kLate, u"2,048"_s, true, u"A2"_s, u"second"_s),
                          record(u"Mac/odd date"_s, kLate, qint64(66)),
                          record(u"Mac/it's"_s, u"2016-03-04 07:06:07 +0200"_s, qint64(5)),
                          record(u"Mac/no number"_s, u"2016-03-04 08:06:07 +0200"_s, qint64(3))});
    mergeAll();
    EXPECT_EQ(firstColumn(master(), u"SELECT FILEPATH || '|' || FILE_LMD || '|' || FILE_SIZE || '|' || "
                                    "FILE_OR_FOLDER || '|' || ATTRIBUTES || '|' || RESERVED1 FROM FILE_TABLE "
                                    "ORDER BY FILEPATH"_s),
              QStringList({u"Mac/dots|2016-03-04 05:06:07 +0000|12345678|0|NA|NA"_s,
                           u"Mac/huge|2016-03-04 05:06:07 +0000|99,999,999,999,999,999,999|0|NA|NA"_s,
                           u"Mac/it's|2016-03-04 05:06:07 +0000|1234567|0|NA|NA"_s,
                           u"Mac/mixed|2016-03-04 05:06:07 +0000|1,234.567|0|NA|NA"_s,
                           u"Mac/newer|2017-01-01 00:00:00 +0000|2048|1|A2|first"_s,
                           u"Mac/no number|2016-03-04 08:06:07 +0200|3|0|NA|NA"_s,
                           u"Mac/odd date|yesterday|1|0|NA|NA"_s,
                           u"Mac/same|2017-01-01 00:00:00 +0000|1|0|A1|first"_s}))
        << "no row doubled; only a later time (in any offset) changes a row, all but RESERVED1; a time that "
           "cannot be read never wins";
}

TEST_F(DataBaseWraperTest, MergeCutShortKeepsItsDeltaAndLosesNoRow) {
    // A statement failing part-way (a trigger refusing one row of the second batch).
    writeDelta(folder(), numbered(2500, u"Mac/f"_s));
    SQLiteDatabase db(master());
    ASSERT_TRUE(db.open() && db.executeUpdate(DataBaseWraper::CreateMasterSQL));
    ASSERT_TRUE(db.executeUpdate(u"CREATE TRIGGER refuse BEFORE INSERT ON FILE_TABLE WHEN NEW.FILEPATH = "
                                 "'Mac/f001800' BEGIN SELECT RAISE(FAIL, 'refused'); END"_s));
    QString error;
    mergeAll(&error);
    EXPECT_TRUE(error.contains(u"refused"_s)) << error.toStdString();
    EXPECT_EQ(rowCount(master()), DataBaseWraper::MergeBatchRows) << "the failed batch is rolled back whole";
    ASSERT_TRUE(db.executeUpdate(u"DROP TRIGGER refuse"_s) && db.close());
    mergeAll();
    EXPECT_EQ(rowCount(master()), 2500);
    EXPECT_TRUE(filesWithSuffix(folder(), u".zxt"_s).isEmpty());

    // A merging process killed inside its transaction: the master reads back whole, the delta stays.
    const QString big = writeDelta(folder(), numbered(40000, u"Mac/f"_s, kLate));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DataBaseWraper delta{IndexThrottle(quickTimings())};
        delta.openDatabaseAtPath(folder(), big);
        delta.updateMasterDatabaseWorker(folder(), kUser);
        ::_exit(0);
    }
    for (int spins = 0; spins < 20000000 && statOf(master() + u"-journal"_s).st_nlink == 0; ++spins) {
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(db.open()) << "read/write: opening rolls back what the killed merge left";
    EXPECT_EQ(db.intForQuery(u"SELECT count(*) FROM pragma_integrity_check WHERE integrity_check = 'ok'"_s),
              1);
    EXPECT_EQ(rowCount(master()) % DataBaseWraper::MergeBatchRows, 2500 % DataBaseWraper::MergeBatchRows)
        << "only whole batches";
    ASSERT_TRUE(QFileInfo::exists(folder() + u'/' + big));
    mergeAll();
    EXPECT_EQ(rowCount(master()), 40000);
    EXPECT_EQ(field(master(), u"Mac/f000001"_s, "FILE_LMD"), kLate);
}

TEST_F(DataBaseWraperTest, IndexFilesAreTheirPersonsAloneAndBelongToWhoseRightsMadeThem) {
    ZH_SKIP_IF(needs::root("to create files with another account's rights"));
    const FixtureUser user = FixtureUser::get();
    ZH_SKIP_IF(user.uid == 0 ? u"needs a fixture account other than root"_s : QString());
    const QString support = QFileInfo(folder()).path();
    ASSERT_TRUE(QDir().mkpath(support));
    ::chmod(QFile::encodeName(mDir.path()).constData(), 0755);
    ::chmod(QFile::encodeName(QFileInfo(support).path()).constData(), 0755);
    ASSERT_EQ(::chown(QFile::encodeName(support).constData(), user.uid, user.gid), 0);
    // Root reaches a person's index with that person's rights: what it makes is theirs, and nobody
    // else's to read (the paths of their files are in it).
    {
        UserFileAccess access(user.name);
        writeDelta(folder(), {record(u"Mac/a"_s, kEarly)});
        mergeAll();
    }
    for (const QString& path : {folder(), master()}) {
        const struct stat st = statOf(path);
        EXPECT_EQ(st.st_uid, user.uid) << path.toStdString();
        EXPECT_EQ(st.st_mode & 0077, 0u) << path.toStdString() << " is open to others";
    }
    EXPECT_EQ(masterPaths(master()), QStringList{u"Mac/a"_s});
}

} // namespace
