#include "FSEventWatcher.h"

#include "BackupfileController.h"
#include "DaemonTestServices.h"
#include "ExcludeManager.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

using namespace std::chrono_literals;
using Event = FileSystemEventStream::Event;
using F = FileSystemEventStream;

namespace {

class FSEventWatcherTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    FilePathsController paths{FilePathsController::Table::Daemon, env.root.profile()};
    // Outside /tmp, which may be a file system the whole-disk stream cannot mark.
    QTemporaryDir tree{QStringLiteral("/var/tmp/zh-watch-XXXXXX")};

    void SetUp() override {
        paths.setM_ConsoleUserName(env.user.name);
        QDir().mkpath(paths.pathForApplicationFile(DaemonPath::BackupListsFolder));
    }

    QString at(const QString& relative) const { return tree.filePath(relative); }
    static void touch(const QString& path) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Append);
        f.write("x");
    }
    QStringList listed() const {
        QStringList all;
        const QString folder = paths.pathForApplicationFile(DaemonPath::BackupListsFolder);
        for (const QString& name : QDir(folder).entryList(QDir::Files)) {
            QFile f(folder + u'/' + name);
            f.open(QIODevice::ReadOnly);
            all << QString::fromUtf8(f.readAll()).split(u'\n');
        }
        return all;
    }
};

Event ev(const QString& path, quint32 flags) {
    return Event{path, flags, QFile::encodeName(path)};
}

} // namespace

TEST_F(FSEventWatcherTest, BatchRulesForCreatesRenamesAndTheRest) {
    BackupfileController collector(env.services());
    ExcludeManager rules(env.services(), &collector);
    FSEventWatcher watcher(env.services(), &rules, &collector, nullptr);
    touch(at("b/moved.txt"));
    touch(at("a/renamed.txt"));
    touch(at("a/saved.docx"));

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
    collector.timerFireMethod();
    QStringList got = listed();
    got.sort();
    QStringList want{at("b/moved.txt"), at("a/renamed.txt"), at("new.txt")};
    want.sort();
    EXPECT_EQ(got, want);
}

TEST_F(FSEventWatcherTest, NamesThatAreNotUtf8BringTheirFolder) {
    BackupfileController collector(env.services());
    ExcludeManager rules(env.services(), &collector);
    FSEventWatcher watcher(env.services(), &rules, &collector, nullptr);
    const QByteArray folder = QFile::encodeName(at("Docs"));
    watcher.handleFsData({Event{at("Docs/caf\uFFFD.txt"), F::ItemCreated, folder + "/caf\xe9.txt"}});
    collector.timerFireMethod();
    EXPECT_EQ(listed(), QStringList{at("Docs")});
    EXPECT_TRUE(env.trace().contains(QStringLiteral("Name is not UTF-8, backing up its folder instead")));
}

TEST_F(FSEventWatcherTest, RealEventsReachAListFileWithinLatencyAndFlush) {
    ASSERT_TRUE(tree.isValid());
    Timings timings;
    timings.fileEventLatency = 300ms;
    timings.changeFlushInterval = 300ms;
    // What exists before the stream is subscribed is not reported.
    QDir().mkpath(at("a"));
    QDir().mkpath(at("b"));
    touch(at("b/existing.txt"));
    BackupfileController collector(env.services(timings));
    collector.initBackupfileController(env.user.name);
    ExcludeManager rules(env.services(timings), &collector);
    FileSystemEventStream::Options options;
    options.root = tree.path();
    options.usersFolder = tree.path();
    FSEventWatcher watcher(env.services(timings), &rules, &collector,
                           FileSystemEventStream::create(timings.fileEventLatency, options));
    watcher.setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
    ASSERT_TRUE(watcher.startWatcher());

    const QString created = at("a/new \"report\" $(x).txt");
    touch(created);
    touch(at("a/scratch.tmp"));
    ASSERT_TRUE(waitUntil([&] { return listed().contains(created); }, 5000))
        << listed().join(u'|').toStdString();
    ASSERT_TRUE(QFile::rename(at("a/new \"report\" $(x).txt"), at("b/moved.txt")));
    ASSERT_TRUE(waitUntil([&] { return listed().contains(at("b/moved.txt")); }, 5000));
    touch(at("b/existing.txt")); // written in place: its new content is owed too
    ASSERT_TRUE(waitUntil([&] { return listed().contains(at("b/existing.txt")); }, 5000));
    const QStringList all = listed();
    EXPECT_FALSE(all.contains(at("a/scratch.tmp")));
    EXPECT_TRUE(
        env.trace().contains(QStringLiteral("Watching file system events with ") + watcher.backendName()));
}
