// The connection and result-set layer every index file goes through (locks: SearchTest, DBManagerTest).

#include "IndexTestSupport.h"

using namespace indextest;

TEST(SQLiteDatabaseTest, BindsEveryValueKindAndReadsItBackByNameAndIndex) {
    QTemporaryDir dir;
    SQLiteDatabase db(dir.filePath(u"t.db"_s));
    ASSERT_TRUE(db.open());
    ASSERT_TRUE(db.executeUpdate(u"CREATE TABLE t(a char(10) primary key, b __int64, c bool, d, e)"_s));
    const QString odd = u"it's \"odd\" $(rm -rf /)\nline 😀 Café"_s;
    ASSERT_TRUE(db.executeUpdate(u"INSERT INTO t VALUES(?,?,?,?,?)"_s,
                                 {odd, qint64(1) << 40, true, QVariant(), 2.5}));
    auto rows = db.executeQuery(u"SELECT * FROM t"_s);
    ASSERT_TRUE(rows && rows->next());
    EXPECT_EQ(rows->stringForColumn(u"A"_s), odd) << "names match without case";
    EXPECT_EQ(rows->int64ForColumn(u"b"_s), qint64(1) << 40);
    EXPECT_TRUE(rows->boolForColumn(u"c"_s));
    EXPECT_TRUE(rows->stringForColumnIndex(3).isNull()) << "NULL comes back as no string";
    EXPECT_EQ(rows->stringForColumnIndex(4), u"2.5"_s);
    EXPECT_FALSE(rows->next());
    EXPECT_FALSE(rows->next()) << "stepping past the end stays at the end";

    EXPECT_FALSE(db.executeUpdate(u"INSERT INTO t(a) VALUES(?)"_s, {odd}));
    EXPECT_EQ(db.lastErrorCode(), 19) << "a duplicate primary key";
    EXPECT_FALSE(db.executeQuery(u"SELECT * FROM missing"_s) || db.lastErrorMessage().isEmpty());
    EXPECT_FALSE(db.executeUpdate(u"INSERT INTO t(a) VALUES(?)"_s, {1, 2}))
        << "more values than placeholders";
    rows = db.executeQuery(u"SELECT a FROM t"_s);
    ASSERT_TRUE(rows && rows->next());
    EXPECT_TRUE(db.close()) << "an open result set does not keep the file open";
    EXPECT_FALSE(rows->next());
}
