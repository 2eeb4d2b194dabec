// The read-only search the application runs over the master.

#include "IndexSearch.h"
#include "IndexTestSupport.h"

using namespace indextest;
using Status = IndexSearch::Status;

namespace {

class SearchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DataBaseWraper wrapper{IndexThrottle(quickTimings())};
        ASSERT_TRUE(wrapper.initializeDatabaseAtPath(folder(), kUser, true));
        for (const char* path :
             {"Mac/Report.TXT", "Mac/it's mine.txt", "Mac/100%.txt", "Mac/100 percent.txt", "Mac/a_b",
              "Mac/axb", "Mac/back\\slash", "Office Mac/report.txt", "Office Mac/Café.txt"})
            ASSERT_TRUE(wrapper.insertRecord(record(QString::fromUtf8(path), kEarly, 1234), false, true));
    }
    QString folder() const { return mDir.path() + u"/alice"_s; }
    QString master() const { return DataBaseWraper::masterPath(folder(), kUser); }
    // The hits' names joined by "|".
    QString names(const QString& text) {
        QStringList out;
        for (const IndexSearch::Hit& hit : IndexSearch::search(master(), text).hits)
            out << hit.name;
        return out.join(u'|');
    }
    QTemporaryDir mDir;
};

TEST_F(SearchTest, QuotesAndWildcardCharactersAreTakenLiterally) {
    EXPECT_EQ(names(u"report"_s), u"Mac/Report.TXT|Office Mac/report.txt"_s)
        << "a substring, ASCII letters without regard to case";
    EXPECT_EQ(names(u"café"_s), u"Office Mac/Café.txt"_s);
    EXPECT_EQ(names(u"it's"_s), u"Mac/it's mine.txt"_s);
    EXPECT_EQ(names(u"100%"_s), u"Mac/100%.txt"_s);
    EXPECT_EQ(names(u"a_b"_s), u"Mac/a_b"_s);
    EXPECT_EQ(names(u"\\"_s), u"Mac/back\\slash"_s);
    EXPECT_EQ(names(u"'; DROP TABLE FILE_TABLE; --"_s), QString());
    EXPECT_EQ(rowCount(master()), 9);
}

TEST_F(SearchTest, PagesAndAnAnswerThatTellsLockedAndMissingFromNoHits) {
    QStringList all;
    for (IndexSearch::Page page{Status::Ok, {}, true, {}}; page.more;) {
        page = IndexSearch::search(master(), QString(), 4, all.value(all.size() - 1));
        ASSERT_TRUE(page.status == Status::Ok && page.hits.size() <= 4);
        for (const IndexSearch::Hit& hit : page.hits)
            all << hit.name;
    }
    EXPECT_EQ(all.size(), 9) << "an empty text lists every row, a page at a time";
    EXPECT_EQ(all.removeDuplicates(), 0);
    const IndexSearch::Page none = IndexSearch::search(master(), u"nothing like it"_s);
    EXPECT_TRUE(none.status == Status::Ok && none.hits.isEmpty());

    const QString elsewhere = mDir.path() + u"/bob"_s;
    EXPECT_EQ(IndexSearch::search(elsewhere + u"/bob.zx"_s, QString()).status, Status::CannotOpen);
    QString error;
    EXPECT_FALSE(DataBaseWraper().Search(u"x"_s, elsewhere, u"bob"_s, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(elsewhere)) << "the search creates nothing";

    SQLiteDatabase merge(master());
    ASSERT_TRUE(merge.open() && merge.beginTransaction());
    ASSERT_TRUE(merge.executeUpdate(u"UPDATE FILE_TABLE SET FILE_SIZE = 1"_s));
    const auto locked =
        IndexSearch::search(master(), u"report"_s, 10, QString(), std::chrono::milliseconds(200));
    EXPECT_TRUE(locked.status == Status::Locked && locked.hits.isEmpty()) << locked.error.toStdString();
    ASSERT_TRUE(merge.rollback());
    EXPECT_EQ(IndexSearch::search(master(), u"report"_s).hits.size(), 2) << "once the merge is done";
}

TEST_F(SearchTest, SearchDuringAThrottledMergeFindsItsHits) {
    const QString name = writeDelta(folder(), numbered(2500, u"Other/f"_s));
    std::atomic<int> pausesTaken{0};
    std::atomic<bool> searched{false};
    Timings timings = quickTimings();
    timings.indexMergeRowsPause = std::chrono::milliseconds(1);
    // The merge's first pause (between two transactions) lasts until the search has run.
    IndexThrottle throttle(timings, [&](IndexThrottle::Pause pause) {
        if (pause == IndexThrottle::Pause::MergeRows && pausesTaken++ == 0)
            waitUntil([&] { return searched.load(); }, 20000);
    });
    std::unique_ptr<QThread> merging(QThread::create([&] {
        DataBaseWraper delta(throttle);
        if (delta.openDatabaseAtPath(folder(), name))
            delta.updateMasterDatabaseWorker(folder(), kUser);
    }));
    merging->start();
    EXPECT_TRUE(waitUntil([&] { return pausesTaken > 0; }, 20000));
    const auto page =
        IndexSearch::search(master(), u"report"_s, 10, QString(), std::chrono::milliseconds(100));
    searched = true;
    merging->wait();
    EXPECT_EQ(page.status, Status::Ok) << page.error.toStdString();
    EXPECT_EQ(page.hits.size(), 2);
    EXPECT_EQ(rowCount(master()), 2509);
}

} // namespace
