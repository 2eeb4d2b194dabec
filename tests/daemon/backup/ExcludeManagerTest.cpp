#include "ExcludeManager.h"

#include "BackupfileController.h"
#include "DaemonTestServices.h"

#include <thread>

namespace {

class ExcludeManagerTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    void writeList(int index, const QStringList& list) {
        QDir().mkpath(env.path(DaemonPath::UserSupportFolder));
        ASSERT_TRUE(PropertyList::writeStringArray(env.path(index), list, PropertyList::PublicMode));
    }
    void writeUserList(const QStringList& list) { writeList(DaemonPath::InitialExcludeList, list); }
};

} // namespace

TEST_F(ExcludeManagerTest, FixedRulesAndTheUserAndTimeMachineListsArePlainPrefixes) {
    // A few of the fixed rules, and names they must leave alone.
    for (const char* excluded : {"/home/joe/.DS_Store", "/home/joe/report.docx.tmp", "/home/joe/Icon\r", "/"})
        EXPECT_NE(ExcludeManager::builtInRuleFor(QString::fromUtf8(excluded)), 0) << excluded;
    for (const char* kept : {"/home/joe/report.tmp.docx", "/home/joe/Icon", "/home/joe/Grüße $(x) \"q\".txt"})
        EXPECT_EQ(ExcludeManager::builtInRuleFor(QString::fromUtf8(kept)), 0) << kept;
    writeUserList({"/home/joe/Music"});
    writeList(DaemonPath::TimeMachineExclude, {"/Volumes/tm", "/Volumes/tm/.autodiskmounted"});
    ExcludeManager rules(env.services(), nullptr);
    EXPECT_FALSE(rules.isExcludeTheFile("/home/joe/Music/song.mp3"));
    rules.setConsoleUserName(env.user.name);
    EXPECT_TRUE(rules.isExcludeTheFile("/home/joe/Music/song.mp3"));
    EXPECT_TRUE(rules.hasInInitialExcludeList("/home/joe/Music2/song.mp3"));
    EXPECT_TRUE(rules.hasInInitialExcludeList("/Volumes/tm/Backups.backupdb"));
    EXPECT_FALSE(rules.hasInInitialExcludeList("/home/joe/Documents/a"));
    EXPECT_TRUE(rules.hasInInitialExcludeList("/"));
    rules.addTimeMachineDestinationToExcludeList("/Volumes/other");
    EXPECT_TRUE(rules.isExcludeTheFile("/Volumes/other/x"));
    // The list test alone ignores the fixed rules.
    EXPECT_FALSE(rules.hasInInitialExcludeList("/home/joe/x.tmp"));
}

TEST_F(ExcludeManagerTest, ExcludeOverTheBusQueuesRemovedFoldersOnceAndAMissingListEmptiesIt) {
    ASSERT_TRUE(env.startBus());
    writeUserList({"/home/joe/Pictures", "/home/joe/Music"});
    BackupfileController collector(env.services(), env.user.name);
    ExcludeManager rules(env.services(), &collector);
    rules.setConsoleUserName(env.user.name);

    writeUserList({"/home/joe/Music", "/home/joe/Videos"});
    env.appSide->postNotification("Exclude", {{"Type", "1"}});
    ASSERT_TRUE(waitUntil([&] { return collector.pendingCount() > 0; }));
    spinFor(200);
    EXPECT_EQ(collector.pendingCount(), 1);
    EXPECT_FALSE(rules.isExcludeTheFile("/home/joe/Pictures/a.jpg"));
    EXPECT_TRUE(rules.isExcludeTheFile("/home/joe/Videos/a.mp4"));

    // "Type" "2" (or none) reloads without queueing.
    writeUserList({});
    env.appSide->postNotification("Exclude", {{"Type", "2"}});
    ASSERT_TRUE(waitUntil([&] { return !rules.isExcludeTheFile("/home/joe/Videos/a.mp4"); }));
    EXPECT_EQ(collector.pendingCount(), 1);

    // A list gone missing empties the rules and queues every folder it held.
    writeUserList({"/home/joe/A", "/home/joe/B"});
    rules.receiveExcludeNotification({});
    QFile::remove(env.path(DaemonPath::InitialExcludeList));
    rules.receiveExcludeNotification({{"Type", "1"}});
    EXPECT_EQ(collector.pendingCount(), 3);
    EXPECT_FALSE(rules.hasInInitialExcludeList("/home/joe/A/x"));
}

TEST_F(ExcludeManagerTest, NamePatternsMatchTheLastComponentAndFollowTheEditorOverTheBus) {
    ASSERT_TRUE(env.startBus());
    writeList(DaemonPath::ExcludePattern, {"*.iso", " Thumbs.db ", "[Bb]ackup-??.zip", "tmp/*", "", "*.iso"});
    ExcludeManager rules(env.services(), nullptr);
    rules.setConsoleUserName(env.user.name);
    EXPECT_EQ(rules.namePatterns(), (QStringList{"*.iso", "Thumbs.db", "[Bb]ackup-??.zip"}));
    EXPECT_TRUE(env.trace().contains("Exclusion pattern \"tmp/*\" ignored: it cannot match a name"));
    for (const char* excluded : {"/home/joe/Downloads/debian 12.iso", "/home/joe/Pictures/Thumbs.db",
                                 "/home/joe/backup-01.zip", "/home/joe/a $(x).iso"})
        EXPECT_TRUE(rules.isExcludeTheFile(QString::fromUtf8(excluded))) << excluded;
    // Against the name only, whole and case by case: the folders above it say nothing.
    for (const char* kept : {"/home/joe/isos/readme.txt", "/home/joe/report.iso.txt",
                             "/home/joe/Backup-001.zip", "/home/joe/thumbs.db"})
        EXPECT_FALSE(rules.isExcludeTheFile(QString::fromUtf8(kept))) << kept;

    // The editor rewrites the file and posts "Exclude": the daemon follows at once.
    writeList(DaemonPath::ExcludePattern, {"*.mkv"});
    env.appSide->postNotification("Exclude", {{"Type", "1"}});
    ASSERT_TRUE(waitUntil([&] { return rules.isExcludeTheFile("/home/joe/film.mkv"); }));
    EXPECT_FALSE(rules.isExcludeTheFile("/home/joe/Downloads/debian 12.iso"));
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

TEST_F(ExcludeManagerTest, WhyExcludedNamesTheRuleTheDaemonApplies) {
    writeUserList({"/home/joe/Music"});
    writeList(DaemonPath::ExcludePattern, {"*.iso"});
    ExcludeManager rules(env.services(), nullptr);
    rules.setConsoleUserName(env.user.name);
    for (const char* path :
         {"/home/joe/Music/a.mp3", "/home/joe/disc.iso", "/home/joe/x.tmp", "/home/joe/kept.txt"})
        EXPECT_EQ(bool(rules.whyExcluded(QString::fromUtf8(path))),
                  rules.isExcludeTheFile(QString::fromUtf8(path)))
            << path;
    EXPECT_EQ(rules.whyExcluded("/home/joe/Music/a.mp3").kind, ExclusionRules::Kind::FolderList);
    EXPECT_EQ(rules.whyExcluded("/home/joe/disc.iso").rule, QStringLiteral("*.iso"));
    EXPECT_EQ(rules.whyExcluded("/home/joe/x.tmp").kind, ExclusionRules::Kind::BuiltIn);
}

TEST_F(ExcludeManagerTest, WhatWasTakenOffWhileNoDaemonRanIsOwedAtTheNextStart) {
    const QString record = env.root.path() + "/WatchMarkers/zhfixture.exclusions";
    QDir().mkpath(QFileInfo(record).path());
    writeUserList({"/home/joe/Pictures", "/home/joe/Downloads/restored.odt"});
    writeList(DaemonPath::ExcludePattern, {"*.iso", "*.mkv"});
    const auto start = [&](BackupfileController& collector, QList<QByteArray>* lifted) {
        auto rules = std::make_unique<ExcludeManager>(env.services(), &collector);
        QObject::connect(rules.get(), &ExcludeManager::namePatternsLifted,
                         [lifted](const QList<QByteArray>& patterns) { *lifted << patterns; });
        rules->setConsoleUserName(env.user.name);
        rules->catchUpOnRecord(record);
        return rules;
    };
    {
        // The first start that keeps a record has nothing to compare with.
        BackupfileController collector(env.services(), env.user.name);
        QList<QByteArray> lifted;
        const auto rules = start(collector, &lifted);
        EXPECT_EQ(collector.pendingCount(), 0);
        EXPECT_TRUE(lifted.isEmpty());
        // Heard while running: the record follows (a folder added, "Type" "2" queues nothing).
        writeUserList({"/home/joe/Pictures", "/home/joe/Downloads/restored.odt", "/home/joe/Videos"});
        rules->receiveExcludeNotification({{"Type", "2"}});
    }
    // While no daemon runs, a restore's entry and a pattern are taken off, another folder is added.
    writeUserList({"/home/joe/Pictures", "/home/joe/Videos", "/home/joe/Music"});
    writeList(DaemonPath::ExcludePattern, {"*.mkv"});
    {
        BackupfileController collector(env.services(), env.user.name);
        QList<QByteArray> lifted;
        const auto rules = start(collector, &lifted);
        EXPECT_EQ(collector.pendingCount(), 1);
        EXPECT_EQ(lifted, QList<QByteArray>{"*.iso"});
        EXPECT_TRUE(env.trace().contains("Exclusions taken off while no daemon ran (1 list entries, 1 name "
                                         "patterns): what they kept out is "
                                         "queued"));
    }
    {
        // Told once: the next start finds nothing new.
        BackupfileController collector(env.services(), env.user.name);
        QList<QByteArray> lifted;
        const auto rules = start(collector, &lifted);
        EXPECT_EQ(collector.pendingCount(), 0);
        EXPECT_TRUE(lifted.isEmpty());
    }
    // A record that is not a property list is a first start again, and is rewritten.
    FileTools::writeAtomically(record, "garbage", 0600);
    BackupfileController collector(env.services(), env.user.name);
    QList<QByteArray> lifted;
    const auto rules = start(collector, &lifted);
    EXPECT_EQ(collector.pendingCount(), 0);
    EXPECT_EQ(PropertyList::readDictionary(record).value("patterns").toStringList(), QStringList{"*.mkv"});
}
