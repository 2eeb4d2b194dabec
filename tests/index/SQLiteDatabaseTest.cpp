// The connection and result-set layer every index file goes through.

#include "SQLiteDatabase.h"
#include "SQLiteResultSet.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

class SQLiteDatabaseTest : public ::testing::Test {
  protected:
    QString path(const QString& name = QStringLiteral("t.db")) const { return mDir.filePath(name); }
    QTemporaryDir mDir;
};

TEST_F(SQLiteDatabaseTest, BindsEveryValueKindAndReadsItBackByNameAndIndex) {
    SQLiteDatabase db(path());
    ASSERT_TRUE(db.open());
    ASSERT_TRUE(db.executeUpdate(QStringLiteral("CREATE TABLE t(a char(10), b __int64, c bool, d, e)")));
    const QString odd = QStringLiteral("it's \"odd\" $(rm -rf /)\nline 😀 Café");
    ASSERT_TRUE(db.executeUpdate(QStringLiteral("INSERT INTO t VALUES(?,?,?,?,?)"),
                                 {odd, qint64(1) << 40, true, QVariant(), 2.5}));

    auto rows = db.executeQuery(QStringLiteral("SELECT * FROM t"));
    ASSERT_TRUE(rows);
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->stringForColumn(QStringLiteral("a")), odd);
    EXPECT_EQ(rows->stringForColumn(QStringLiteral("A")), odd) << "names match without case";
    EXPECT_EQ(rows->int64ForColumn(QStringLiteral("b")), qint64(1) << 40);
    EXPECT_EQ(rows->columnTypeForIndex(1), SQLITE_INTEGER);
    EXPECT_TRUE(rows->boolForColumn(QStringLiteral("c")));
    EXPECT_EQ(rows->int64ForColumnIndex(2), 1);
    EXPECT_TRUE(rows->columnIsNull(3));
    EXPECT_TRUE(rows->stringForColumnIndex(3).isNull()) << "NULL comes back as no string";
    EXPECT_EQ(rows->stringForColumnIndex(4), QStringLiteral("2.5"));
    EXPECT_EQ(rows->columnIndexForName(QStringLiteral("nope")), -1);
    EXPECT_TRUE(rows->stringForColumn(QStringLiteral("nope")).isNull());
    EXPECT_FALSE(rows->next());
    EXPECT_FALSE(rows->next()) << "stepping past the end stays false";
}

TEST_F(SQLiteDatabaseTest, FailuresCarrySQLitesCodeAndMessage) {
    SQLiteDatabase db(path());
    ASSERT_TRUE(db.open());
    ASSERT_TRUE(db.executeUpdate(QStringLiteral("CREATE TABLE t(p primary key)")));
    EXPECT_EQ(db.lastErrorCode(), 0);
    ASSERT_TRUE(db.executeUpdate(QStringLiteral("INSERT INTO t VALUES(?)"), {QStringLiteral("x")}));
    EXPECT_FALSE(db.executeUpdate(QStringLiteral("INSERT INTO t VALUES(?)"), {QStringLiteral("x")}));
    EXPECT_EQ(db.lastErrorCode(), 19) << "a duplicate primary key is the constraint violation";
    EXPECT_TRUE(db.lastErrorMessage().contains(QStringLiteral("UNIQUE")))
        << db.lastErrorMessage().toStdString();

    EXPECT_FALSE(db.executeUpdate(QStringLiteral("INSERT INTO missing VALUES(1)")));
    EXPECT_TRUE(db.lastErrorMessage().contains(QStringLiteral("no such table")));
    EXPECT_FALSE(db.executeQuery(QStringLiteral("SELEC 1")));
    EXPECT_NE(db.lastErrorCode(), 0);

    // A value count that does not fit the placeholders is refused before anything runs.
    EXPECT_FALSE(db.executeUpdate(QStringLiteral("INSERT INTO t VALUES(?)"), {1, 2}));
    EXPECT_EQ(db.intForQuery(QStringLiteral("SELECT count(*) FROM t")), 1);
}

TEST_F(SQLiteDatabaseTest, ClosedConnectionRefusesWork) {
    SQLiteDatabase db(path());
    EXPECT_FALSE(db.executeUpdate(QStringLiteral("SELECT 1")));
    EXPECT_FALSE(db.lastErrorMessage().isEmpty());
    EXPECT_TRUE(db.close()) << "closing what is not open is fine";
}

TEST_F(SQLiteDatabaseTest, ReadOnlyOpenNeverCreatesAFile) {
    SQLiteDatabase db(path(QStringLiteral("missing.db")));
    EXPECT_FALSE(db.openReadOnly());
    EXPECT_FALSE(QFile::exists(path(QStringLiteral("missing.db"))));
    EXPECT_FALSE(db.lastErrorMessage().isEmpty());

    SQLiteDatabase folder(mDir.path());
    EXPECT_FALSE(folder.open()) << "a folder is no database file";
}

TEST_F(SQLiteDatabaseTest, LockedFileFailsAfterShortRetriesAndWorksOnceReleased) {
    SQLiteDatabase holder(path());
    ASSERT_TRUE(holder.open());
    ASSERT_TRUE(holder.executeUpdate(QStringLiteral("CREATE TABLE t(a)")));
    ASSERT_TRUE(holder.beginTransaction());
    ASSERT_TRUE(holder.executeUpdate(QStringLiteral("INSERT INTO t VALUES(1)")));

    SQLiteDatabase other(path());
    ASSERT_TRUE(other.open());
    EXPECT_FALSE(other.executeUpdate(QStringLiteral("INSERT INTO t VALUES(2)")));
    EXPECT_EQ(other.lastErrorCode(), SQLITE_BUSY);
    EXPECT_EQ(other.intForQuery(QStringLiteral("SELECT count(*) FROM t")), 0);
    EXPECT_EQ(other.lastErrorCode(), SQLITE_BUSY) << "readers meet the lock too";
    EXPECT_FALSE(other.beginTransaction()) << "only one exclusive transaction at a time";

    ASSERT_TRUE(holder.commit());
    EXPECT_TRUE(other.executeUpdate(QStringLiteral("INSERT INTO t VALUES(2)")));
    EXPECT_EQ(other.intForQuery(QStringLiteral("SELECT count(*) FROM t")), 2);
}

TEST_F(SQLiteDatabaseTest, CloseFinalisesOpenResultSets) {
    auto db = std::make_unique<SQLiteDatabase>(path());
    ASSERT_TRUE(db->open());
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("CREATE TABLE t(a)")));
    ASSERT_TRUE(db->executeUpdate(QStringLiteral("INSERT INTO t VALUES(1),(2)")));
    auto rows = db->executeQuery(QStringLiteral("SELECT a FROM t"));
    ASSERT_TRUE(rows && rows->next());
    EXPECT_TRUE(db->close()) << "an open result set must not keep the file open";
    EXPECT_FALSE(db->isOpen());
    EXPECT_FALSE(rows->next());
    db.reset();
    rows.reset(); // outliving its connection is harmless
    EXPECT_TRUE(QFile::remove(path()));
}

} // namespace
