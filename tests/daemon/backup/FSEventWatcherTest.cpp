#include "FSEventWatcher.h"

#include "BackupfileController.h"
#include "DaemonTestServices.h"
#include "ExcludeManager.h"

using Event = FileSystemEventStream::Event;
using F = FileSystemEventStream;

namespace {

class FSEventWatcherTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    QTemporaryDir tree;
    void SetUp() override { QDir().mkpath(env.path(DaemonPath::BackupListsFolder)); }
    QString at(const QString& relative) const { return tree.filePath(relative); }
    static void touch(const QString& path) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Append);
        f.write("x");
    }
};

Event ev(const QString& path, quint32 flags) {
    return Event{path, flags, QFile::encodeName(path)};
}

} // namespace

TEST_F(FSEventWatcherTest, BatchesQueueWhatChangedAndTheFolderOfNamesAListCannotHold) {
    BackupfileController collector(env.services());
    ExcludeManager rules(env.services(), &collector);
    FSEventWatcher watcher(env.services(), &rules, &collector, nullptr);
    watcher.setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
    const QString home = env.home();
    for (const QString& p :
         {at("b/moved.txt"), at("a/renamed.txt"), at("a/saved.docx"), home + "/Docs/edited.txt",
          home + "/Docs/two\nlines.txt", home + "/scratch.tmp", home + "/Music/song.mp3"})
        touch(p);

    // A new file; an appended file; created and removed within the window; a path below /private/.
    watcher.handleFsData({ev(at("new.txt"), F::ItemCreated | F::ItemIsFile),
                          ev(at("appended.txt"), F::ItemModified | F::ItemIsFile),
                          ev(at("gone.txt"), F::ItemCreated | F::ItemRemoved | F::ItemIsFile),
                          ev(QStringLiteral("/private/var/x"), F::ItemCreated)});
    // A move between folders: the new path.
    watcher.handleFsData({ev(at("a/moved.txt"), F::ItemRenamed), ev(at("b/moved.txt"), F::ItemRenamed)});
    // A rename in place queues the new name; the pending old name stays for the rest of the batch.
    watcher.handleFsData({ev(at("a/old.txt"), F::ItemRenamed), ev(at("a/renamed.txt"), F::ItemRenamed),
                          ev(at("a/missing-now.txt"), F::ItemRenamed)});
    // The old name is excluded (".tmp"): the new name becomes the pending old name, nothing is queued.
    watcher.handleFsData({ev(at("a/~wrd0001.tmp"), F::ItemRenamed), ev(at("a/saved.docx"), F::ItemRenamed)});
    // A name that is not UTF-8 cannot be written into a list: its folder goes instead.
    const QByteArray folder = QFile::encodeName(at("Docs"));
    watcher.handleFsData({Event{at("Docs/caf\uFFFD.txt"), F::ItemCreated, folder + "/caf\xe9.txt"}});
    // Lost events (an overflow names the whole disk, itself excluded), a name with a line feed, files
    // written in place.
    watcher.handleFsData({
        ev("/", F::MustScanSubDirs | F::KernelDropped),
        ev(home + "/Docs/two\nlines.txt", F::ItemCreated | F::ItemIsFile),
        ev(home + "/Docs/edited.txt", F::ItemModified | F::ItemIsFile),
        ev(home + "/Docs/edited then gone.txt", F::ItemModified | F::ItemRemoved | F::ItemIsFile),
    });
    collector.timerFireMethod();
    QStringList got = env.listed();
    got.sort();
    // The home entry by entry past the rules (not the ".tmp"), the folder of the name with a line feed.
    QStringList want{at("b/moved.txt"), at("a/renamed.txt"),       at("new.txt"),  at("Docs"),
                     home + "/Docs",    home + "/Docs/edited.txt", home + "/Music"};
    want.sort();
    EXPECT_EQ(got, want);
    EXPECT_TRUE(env.trace().contains("Name is not UTF-8, backing up its folder instead"));
    EXPECT_TRUE(env.trace().contains("Changes were lost below /, backing up the home folder"));
}
