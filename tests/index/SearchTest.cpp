// The read-only search the application runs over the master.

#include "IndexTestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace indextest;

namespace {

const QString kUser = QStringLiteral("alice");
const QString kLmd = QStringLiteral("2016-03-04 05:06:07 +0000");

class SearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DataBaseWraper wrapper{IndexThrottle(quickTimings())};
        ASSERT_TRUE(wrapper.initializeDatabaseAtPath(folder(), kUser, true));
        wrapper.beginTransaction();
        for (const QString& path :
             {QStringLiteral("MyMac/Users/alice/Report.TXT"),
              QStringLiteral("MyMac/Users/alice/it's mine.txt"), QStringLiteral("MyMac/Users/alice/100%.txt"),
              QStringLiteral("MyMac/Users/alice/100 percent.txt"), QStringLiteral("MyMac/Users/alice/a_b"),
              QStringLiteral("MyMac/Users/alice/axb"), QStringLiteral("MyMac/back\\slash"),
              QStringLiteral("Office Mac/Users/alice/report.txt"), QStringLiteral("Office Mac/Café.txt")})
            ASSERT_TRUE(wrapper.insertRecord(record(path, kLmd, qint64(1234)), false, true));
        wrapper.commitTransaction();
    }
    QString folder() const { return mDir.path() + QStringLiteral("/alice"); }
    QStringList names(const QString& text, QString* error = nullptr) {
        DataBaseWraper wrapper;
        const auto hits = wrapper.Search(text, folder(), kUser, error);
        QStringList out;
        if (hits)
            for (const QVariantMap& hit : *hits)
                out << hit.value(QStringLiteral("name")).toString();
        out.sort();
        return out;
    }
    QTemporaryDir mDir;
};

TEST_F(SearchTest, FindsBySubstringWithoutRegardToAsciiCase) {
    EXPECT_EQ(names(QStringLiteral("report")),
              QStringList({QStringLiteral("MyMac/Users/alice/Report.TXT"),
                           QStringLiteral("Office Mac/Users/alice/report.txt")}));
    EXPECT_EQ(names(QStringLiteral("Office Mac")).size(), 2) << "the machine folder name matches its files";
    EXPECT_EQ(names(QString()).size(), 9) << "an empty text lists every row";
    EXPECT_EQ(names(QStringLiteral("café")).size(), 1);
    EXPECT_TRUE(names(QStringLiteral("nothing like it")).isEmpty());

    DataBaseWraper wrapper;
    const auto hits = wrapper.Search(QStringLiteral("Report.TXT"), folder(), kUser);
    ASSERT_TRUE(hits && hits->size() == 2);
    const QVariantMap& hit = hits->first();
    EXPECT_EQ(hit.size(), 3);
    EXPECT_EQ(hit.value(QStringLiteral("size")).toString(), QStringLiteral("1234"));
    EXPECT_EQ(hit.value(QStringLiteral("lmd")).toString(), kLmd);
}

TEST_F(SearchTest, QuotesAndWildcardCharactersAreTakenLiterally) {
    EXPECT_EQ(names(QStringLiteral("it's")), QStringList{QStringLiteral("MyMac/Users/alice/it's mine.txt")});
    EXPECT_EQ(names(QStringLiteral("100%")), QStringList{QStringLiteral("MyMac/Users/alice/100%.txt")});
    EXPECT_EQ(names(QStringLiteral("a_b")), QStringList{QStringLiteral("MyMac/Users/alice/a_b")});
    EXPECT_EQ(names(QStringLiteral("\\")), QStringList{QStringLiteral("MyMac/back\\slash")});
    EXPECT_EQ(names(QStringLiteral("%")), QStringList{QStringLiteral("MyMac/Users/alice/100%.txt")});
    QString error;
    EXPECT_TRUE(names(QStringLiteral("' OR 1=1 --"), &error).isEmpty());
    EXPECT_TRUE(names(QStringLiteral("'; DROP TABLE FILE_TABLE; --")).isEmpty());
    EXPECT_EQ(rowCount(DataBaseWraper::masterPath(folder(), kUser)), 9);
}

TEST_F(SearchTest, MissingMasterGivesNothingAndCreatesNothing) {
    DataBaseWraper wrapper;
    QString error;
    const QString elsewhere = mDir.path() + QStringLiteral("/bob");
    EXPECT_FALSE(wrapper.Search(QStringLiteral("x"), elsewhere, QStringLiteral("bob"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(elsewhere + QStringLiteral("/bob.zx")));
    EXPECT_FALSE(QFileInfo::exists(elsewhere));
}

TEST_F(SearchTest, LockedMasterGivesNoHitsAndSaysWhy) {
    SQLiteDatabase merge(DataBaseWraper::masterPath(folder(), kUser));
    ASSERT_TRUE(merge.open());
    ASSERT_TRUE(merge.beginTransaction()); // as the daemon's merge holds it

    DataBaseWraper wrapper;
    QString error;
    const auto hits = wrapper.Search(QStringLiteral("report"), folder(), kUser, &error);
    ASSERT_TRUE(hits) << "the master could be opened";
    EXPECT_TRUE(hits->isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("locked"))) << error.toStdString();

    ASSERT_TRUE(merge.commit());
    EXPECT_EQ(names(QStringLiteral("report")).size(), 2) << "once the merge is done the search works again";
}

} // namespace
