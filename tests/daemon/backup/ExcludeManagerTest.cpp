#include "ExcludeManager.h"

#include "BackupfileController.h"
#include "DaemonTestServices.h"
#include "PropertyList.h"

#include <gtest/gtest.h>

#include <QDir>

#include <atomic>
#include <thread>

namespace {

class ExcludeManagerTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    FilePathsController paths{FilePathsController::Table::Daemon, env.root.profile()};
    void SetUp() override {
        paths.setM_ConsoleUserName(env.user.name);
        QDir().mkpath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
    }
    void writeUserList(const QStringList& list) {
        ASSERT_TRUE(PropertyList::writeStringArray(
            paths.pathForApplicationFile(DaemonPath::InitialExcludeList), list, PropertyList::PublicMode));
    }
};

} // namespace

TEST(ExcludeRules, EveryRuleFamily) {
    struct Case {
        const char* path;
        int rule; // 0: not excluded by a fixed rule
    };
    const Case cases[] = {
        {"/home/joe/trailing.", 1},
        {"/home/joe/.DS_Store", 2},
        {"/Volumes/x/.Spotlight-V100/a-Spotlight", 3},
        {"/x/8149A9CB-5389-45CD-BEE9-663FC8283B56", 4},
        {"/home/joe/report.docx.tmp", 5},
        {"/home/joe/report.tmp.docx", 0},
        {"/home/joe/db.sqlite-journal", 6},
        {"/home/joe/x.lock", 7},
        {"/home/joe/mail.pst", 8},
        {"/home/joe/mail.PST", 9},
        {"/home/joe/mail.OST", 10},
        {"/home/joe/mail.ost", 11},
        {"/home/joe/a..namedfork/rsrc", 12},
        {"/home/joe/Icon\r", 13},
        {"/home/joe/Icon", 0},
        {"/home/joe/p.xcodeproj/joe.xcuserstate", 14},
        {"sb-relative", 15},
        {"/home/joe/sb-abc", 0},
        {"/home/joe/.~lock.report.odt#", 16},
        {".relative", 17},
        {"/.hidden/x", 18},
        {"/home/joe/.ssh/config", 0},
        {"/home/joe/movie.part", 19},
        {"/home/joe/big.iso.crdownload", 20},
        {"/home/joe/Downloads/file.download/part1", 21},
        {"/home/joe/a.psd-x", 22},
        {"/home/joe/a.PSD-x", 23},
        {"/home/joe/a.jpg-x", 24},
        {"/home/joe/a.JPG-x", 25},
        {"/home/joe/a.png-x", 26},
        {"/home/joe/a.PNG-x", 27},
        {"/home/joe/a.bmp-x", 28},
        {"/home/joe/a.BMP-x", 29},
        {"/home/joe/(A Document Being Saved By PDF Editor)/x", 30},
        {"/home/joe/a.tif-x", 31},
        {"/home/joe/a.TIF-x", 32},
        {"/home/joe/Adobe/x.IDSCache", 33},
        {"/home/joe/.local/share/Trash/files/x", 0},
        {"/home/joe/.Trash/x", 34},
        {"/var/log/ZorvikHollinWatcher.log", 35},
        {"/var/lib/ZorvikHollin/Backup/x", 36},
        {"/home/joe/disk.sparsebundle/bands/0", 37},
        {"/", 38},
        {"/home/joe/Documents/letter.odt", 0},
        {"/home/joe/Grüße $(x) \"q\".txt", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExcludeManager::builtInRuleFor(QString::fromUtf8(c.path)), c.rule) << c.path;
    }
}

TEST_F(ExcludeManagerTest, UserAndTimeMachineListsArePlainPrefixes) {
    writeUserList({QStringLiteral("/home/joe/Music")});
    PropertyList::writeStringArray(
        paths.pathForApplicationFile(DaemonPath::TimeMachineExclude),
        {QStringLiteral("/Volumes/tm"), QStringLiteral("/Volumes/tm/.autodiskmounted")},
        PropertyList::PublicMode);
    ExcludeManager rules(env.services(), nullptr);
    EXPECT_FALSE(rules.isExcludeTheFile(QStringLiteral("/home/joe/Music/song.mp3")));
    rules.setConsoleUserName(env.user.name);
    EXPECT_TRUE(rules.isExcludeTheFile(QStringLiteral("/home/joe/Music/song.mp3")));
    EXPECT_TRUE(rules.hasInInitialExcludeList(QStringLiteral("/home/joe/Music2/song.mp3")));
    EXPECT_TRUE(rules.hasInInitialExcludeList(QStringLiteral("/Volumes/tm/Backups.backupdb")));
    EXPECT_FALSE(rules.hasInInitialExcludeList(QStringLiteral("/home/joe/Documents/a")));
    EXPECT_TRUE(rules.hasInInitialExcludeList(QStringLiteral("/")));
    rules.addTimeMachineDestinationToExcludeList(QStringLiteral("/Volumes/other"));
    EXPECT_TRUE(rules.isExcludeTheFile(QStringLiteral("/Volumes/other/x")));
    // The list test alone ignores the fixed rules.
    EXPECT_FALSE(rules.hasInInitialExcludeList(QStringLiteral("/home/joe/x.tmp")));
}

TEST_F(ExcludeManagerTest, ExcludeOverTheBusQueuesARemovedFolderOnce) {
    ASSERT_TRUE(env.startBus());
    writeUserList({QStringLiteral("/home/joe/Pictures"), QStringLiteral("/home/joe/Music")});
    BackupfileController collector(env.services());
    ExcludeManager rules(env.services(), &collector);
    rules.setConsoleUserName(env.user.name);

    writeUserList({QStringLiteral("/home/joe/Music"), QStringLiteral("/home/joe/Videos")});
    env.appSide->postNotification(QStringLiteral("Exclude"), {{QStringLiteral("Type"), QStringLiteral("1")}});
    ASSERT_TRUE(waitUntil([&] { return collector.pendingCount() > 0; }));
    spinFor(200);
    EXPECT_EQ(collector.pendingCount(), 1);
    EXPECT_FALSE(rules.isExcludeTheFile(QStringLiteral("/home/joe/Pictures/a.jpg")));
    EXPECT_TRUE(rules.isExcludeTheFile(QStringLiteral("/home/joe/Videos/a.mp4")));

    // "Type" "2" (or none) reloads without queueing.
    writeUserList({});
    env.appSide->postNotification(QStringLiteral("Exclude"), {{QStringLiteral("Type"), QStringLiteral("2")}});
    ASSERT_TRUE(waitUntil([&] { return !rules.isExcludeTheFile(QStringLiteral("/home/joe/Videos/a.mp4")); }));
    EXPECT_EQ(collector.pendingCount(), 1);
}

TEST_F(ExcludeManagerTest, MissingListOnExcludeEmptiesItAndQueuesEverything) {
    writeUserList({QStringLiteral("/home/joe/A"), QStringLiteral("/home/joe/B")});
    BackupfileController collector(env.services());
    ExcludeManager rules(env.services(), &collector);
    rules.setConsoleUserName(env.user.name);
    QFile::remove(paths.pathForApplicationFile(DaemonPath::InitialExcludeList));
    rules.receiveExcludeNotification({{QStringLiteral("Type"), QStringLiteral("1")}});
    EXPECT_EQ(collector.pendingCount(), 2);
    EXPECT_FALSE(rules.hasInInitialExcludeList(QStringLiteral("/home/joe/A/x")));
}

TEST_F(ExcludeManagerTest, ConcurrentQuestionsDuringRebuilds) {
    QStringList many;
    for (int i = 0; i < 200; ++i)
        many << QStringLiteral("/home/joe/excluded%1").arg(i);
    writeUserList(many);
    ExcludeManager rules(env.services(), nullptr);
    rules.setConsoleUserName(env.user.name);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                // Always in the list, whichever version of it a reader sees.
                if (!rules.isExcludeTheFile(QStringLiteral("/home/joe/excluded7/a")))
                    ++wrong;
                if (rules.isExcludeTheFile(QStringLiteral("/home/joe/Documents/a")))
                    ++wrong;
            }
        });
    for (int round = 0; round < 100; ++round)
        rules.receiveExcludeNotification({});
    stop = true;
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(wrong, 0);
}
