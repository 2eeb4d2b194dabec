// The read-only search the application runs over the master.

#include "IndexSearch.h"
#include "IndexTestSupport.h"

#include <QSet>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <thread>

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

TEST_F(SearchTest, PagesAndAnAnswerThatTellsLockedAndMissingFromNoHits) {
    const QString master = DataBaseWraper::masterPath(folder(), kUser);
    QStringList all;
    QString after;
    for (int pages = 0; pages < 10; ++pages) {
        const IndexSearch::Page page = IndexSearch::search(master, QString(), 4, after);
        ASSERT_EQ(page.status, IndexSearch::Status::Ok);
        ASSERT_LE(page.hits.size(), 4);
        for (const IndexSearch::Hit& hit : page.hits)
            all << hit.name;
        if (!page.more)
            break;
        after = page.hits.last().name;
    }
    EXPECT_EQ(all.size(), 9) << "an empty text lists every row, a page at a time";
    EXPECT_EQ(QSet<QString>(all.begin(), all.end()).size(), 9);

    const IndexSearch::Page none = IndexSearch::search(master, QStringLiteral("nothing like it"));
    EXPECT_EQ(none.status, IndexSearch::Status::Ok);
    EXPECT_TRUE(none.hits.isEmpty());

    const QString elsewhere = mDir.path() + QStringLiteral("/bob/bob.zx");
    EXPECT_EQ(IndexSearch::search(elsewhere, QStringLiteral("x")).status, IndexSearch::Status::CannotOpen);
    EXPECT_FALSE(QFileInfo::exists(elsewhere));

    {
        SQLiteDatabase merge(master);
        ASSERT_TRUE(merge.open());
        ASSERT_TRUE(merge.beginTransaction());
        ASSERT_TRUE(merge.executeUpdate(QStringLiteral("UPDATE FILE_TABLE SET FILE_SIZE = 1")));
        const IndexSearch::Page locked = IndexSearch::search(master, QStringLiteral("report"), 10, QString(),
                                                             std::chrono::milliseconds(200));
        EXPECT_EQ(locked.status, IndexSearch::Status::Locked) << locked.error.toStdString();
        EXPECT_TRUE(locked.hits.isEmpty());
        ASSERT_TRUE(merge.rollback());
    }
    EXPECT_EQ(names(QStringLiteral("report")).size(), 2) << "once the merge is done the search works again";
}

bool spinUntil(const std::function<bool()>& condition) {
    for (int i = 0; i < 20000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
}

TEST_F(SearchTest, SearchDuringAThrottledMergeFindsItsHits) {
    QList<QVariantList> records;
    for (int i = 0; i < 2500; ++i)
        records << record(QStringLiteral("Other/f%1").arg(i), kLmd);
    const QString name = writeDelta(folder(), records);
    std::atomic<int> pausesTaken{0};
    std::atomic<bool> searched{false};
    Timings timings = quickTimings();
    timings.indexMergeRowsPause = std::chrono::milliseconds(1);
    // The merge's first pause waits until the search has run.
    IndexThrottle throttle(timings, [&](IndexThrottle::Pause pause) {
        if (pause == IndexThrottle::Pause::MergeRows && pausesTaken.fetch_add(1) == 0)
            spinUntil([&] { return searched.load(); });
    });
    std::thread merging([&] {
        DataBaseWraper delta(throttle);
        if (delta.openDatabaseAtPath(folder(), name))
            delta.updateMasterDatabaseWorker(folder(), kUser);
    });
    ASSERT_TRUE(spinUntil([&] { return pausesTaken.load() > 0; }));
    const IndexSearch::Page page =
        IndexSearch::search(DataBaseWraper::masterPath(folder(), kUser), QStringLiteral("report"), 10,
                            QString(), std::chrono::milliseconds(100));
    searched = true;
    merging.join();
    EXPECT_EQ(page.status, IndexSearch::Status::Ok) << page.error.toStdString();
    EXPECT_EQ(page.hits.size(), 2);
    EXPECT_EQ(rowCount(DataBaseWraper::masterPath(folder(), kUser)), 2509);
}

} // namespace
