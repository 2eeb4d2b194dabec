// What a restore keeps out of the backup, on its own: an item goes into the person's exclusion list
// and into the application's record of it, a lift takes only what the record names off the list and
// tells the daemon to queue it, a record an earlier run left is lifted by the next one, and a list or
// record that cannot be read or written is never overwritten. The restores themselves run in
// RestoreBrowserTest, the application killed or ended under one in tests/faults.

#include "RestoreExclusionRecord.h"
#include "AppTestSupport.h"
#include "PropertyList.h"
#include "QtPrinters.h"
#include "RezodeLoger.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

class RestoreExclusionRecordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        user = FixtureUser::get();
        home = root.createHome(user);
        paths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Application, root.profile());
        paths->setM_ConsoleUserName(user.name);
        list = paths->pathForApplicationFile(AppPath::InitialExcludeList);
        FileTools::makePath(QFileInfo(list).path(), 0700);
        trace.setLogWritePath(root.path() + QStringLiteral("/InteractiveTrace.txt"));
    }
    std::unique_ptr<RestoreExclusionRecord> record() {
        return std::make_unique<RestoreExclusionRecord>(root.profile(), user.name, &center, &trace);
    }
    QStringList onList() const { return PropertyList::readStringArray(list); }
    static mode_t modeOf(const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    TempRoot root;
    FixtureUser user;
    QString home, list;
    std::unique_ptr<FilePathsController> paths;
    RecordingCenter center;
    RezodeLoger trace;
};

const QString Queue = QStringLiteral("Exclude Type=1");
const QString Announce = QStringLiteral("Exclude Type=2");

} // namespace

TEST_F(RestoreExclusionRecordTest, LiftsOnlyWhatItAddedOnceNoRestoreHoldsItAndTellsTheDaemonToQueueIt) {
    const QString music = home + QStringLiteral("/Music");
    const QString theirs = home + QStringLiteral("/Downloads/kept out.txt"); // excluded by the person
    const QString restored = home + QStringLiteral("/Downloads/report 'one' $(x).txt");
    ASSERT_TRUE(PropertyList::writeStringArray(list, {music, theirs}, PropertyList::OwnerOnlyMode));
    auto r = record();

    ASSERT_TRUE(r->exclude(restored));
    EXPECT_EQ(onList(), (QStringList{music, theirs, restored}));
    EXPECT_EQ(r->recorded(), QStringList{restored});
    EXPECT_EQ(modeOf(r->recordPath()), 0600u);
    EXPECT_EQ(modeOf(list), 0600u);
    EXPECT_EQ(center.posted, QStringList{Announce});

    // The person's own entry is neither taken nor recorded, so nothing ever lifts it.
    EXPECT_FALSE(r->exclude(theirs));
    r->release(theirs);
    EXPECT_EQ(onList(), (QStringList{music, theirs, restored}));
    EXPECT_EQ(r->recorded(), QStringList{restored});

    // Restored again before the first release: out of the backup until the last restore lets go.
    ASSERT_TRUE(r->exclude(restored));
    EXPECT_EQ(r->holds(restored), 2);
    EXPECT_EQ(onList().count(restored), 1);
    r->release(restored);
    EXPECT_TRUE(onList().contains(restored));
    r->release(restored);
    EXPECT_EQ(onList(), (QStringList{music, theirs}));
    EXPECT_FALSE(QFileInfo::exists(r->recordPath()));
    EXPECT_EQ(center.posted, (QStringList{Announce, Queue}));
    r->release(restored); // nothing held any more: nothing happens
    EXPECT_EQ(center.posted.size(), 2);
}

TEST_F(RestoreExclusionRecordTest, WhatAnEndedRunLeftIsLiftedByTheNextAndNothingOfThePersons) {
    const QString a = home + QStringLiteral("/Downloads/a.txt");
    const QString b = home + QStringLiteral("/Downloads/Folder b");
    const QString c = home + QStringLiteral("/Downloads/c.txt");
    {
        // A run that ends without lifting (killed): its object goes, its files stay.
        auto killed = record();
        ASSERT_TRUE(killed->exclude(a));
        ASSERT_TRUE(killed->exclude(b));
        ASSERT_TRUE(killed->exclude(c));
    }
    // Meanwhile the person excluded a folder, and the editor rewrote the list from what it showed
    // (without c, which it never showed).
    const QString photos = home + QStringLiteral("/Photos");
    ASSERT_TRUE(PropertyList::writeStringArray(list, {a, photos, b}, PropertyList::OwnerOnlyMode));
    center.posted.clear();

    auto next = record();
    EXPECT_EQ(next->liftAll(), (QStringList{a, b}));
    EXPECT_EQ(onList(), QStringList{photos});
    EXPECT_FALSE(QFileInfo::exists(next->recordPath()));
    EXPECT_EQ(center.posted, QStringList{Queue}); // one reload for both
    // Nothing left: a second start lifts nothing and tells nobody.
    EXPECT_TRUE(record()->liftAll().isEmpty());
    EXPECT_EQ(center.posted, QStringList{Queue});
    EXPECT_EQ(onList(), QStringList{photos});
}

TEST_F(RestoreExclusionRecordTest, AListOrRecordThatCannotBeReadOrWrittenIsNeverOverwritten) {
    const QString restored = home + QStringLiteral("/Downloads/x.txt");
    const QByteArray damaged = "<?xml version=\"1.0\"?><plist><array><string>/home/a/Music</str";
    writeFile(list, damaged);
    auto r = record();
    // A list that cannot be read: the person's entries would be lost by a rewrite.
    EXPECT_FALSE(r->exclude(restored));
    QFile file(list);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), damaged);
    file.close();
    EXPECT_TRUE(r->recorded().isEmpty());
    EXPECT_TRUE(center.posted.isEmpty());
    EXPECT_TRUE(readTrace(root.path() + QStringLiteral("/InteractiveTrace.txt"))
                    .contains(QStringLiteral("Restore of %1 not kept out of the backup").arg(restored)));

    // A record that cannot be written: no exclusion that nothing could lift after a kill.
    ASSERT_TRUE(
        PropertyList::writeStringArray(list, {home + QStringLiteral("/Music")}, PropertyList::OwnerOnlyMode));
    ASSERT_TRUE(QDir().mkpath(r->recordPath()));
    EXPECT_FALSE(r->exclude(restored));
    EXPECT_EQ(onList(), QStringList{home + QStringLiteral("/Music")});
    EXPECT_TRUE(center.posted.isEmpty());
    ASSERT_TRUE(QDir().rmdir(r->recordPath()));

    // Recorded, then the list is damaged: the lift waits (the record keeps the item) and changes nothing.
    ASSERT_TRUE(r->exclude(restored));
    writeFile(list, damaged);
    EXPECT_TRUE(r->liftAll().isEmpty());
    EXPECT_EQ(r->recorded(), QStringList{restored});
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), damaged);
}
