#include "FSEventWatcher.h"

#include "BackupfileController.h"
#include "DaemonTestServices.h"
#include "ExcludeManager.h"
#include "linux/FanotifyEventStream.h"
#include "linux/InotifyEventStream.h"

#include <QProcess>

using Event = FileSystemEventStream::Event;
using F = FileSystemEventStream;

namespace {

class FSEventWatcherTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    void SetUp() override { QDir().mkpath(env.path(DaemonPath::BackupListsFolder)); }
    // A folder of the person's home.
    QString at(const QString& relative) const { return env.home() + QStringLiteral("/tree/") + relative; }
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
    BackupfileController collector(env.services(), env.user.name);
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
    // A rename in place queues the new name; a name that is gone again queues nothing.
    watcher.handleFsData({ev(at("a/old.txt"), F::ItemRenamed), ev(at("a/renamed.txt"), F::ItemRenamed),
                          ev(at("a/missing-now.txt"), F::ItemRenamed)});
    // A save through a temporary name: the old half is excluded (".tmp"), the document is owed all
    // the same; so is the new half of a pair whose old half came in an earlier batch.
    watcher.handleFsData({ev(at("a/~wrd0001.tmp"), F::ItemRenamed), ev(at("a/saved.docx"), F::ItemRenamed)});
    watcher.handleFsData({ev(at("b/moved.txt"), F::ItemRenamed)});
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
        // Made readable again (its attributes changed): a failed send can now succeed.
        ev(home + "/Music/song.mp3", F::ItemInodeMetaMod | F::ItemIsFile),
        ev(home + "/Music", F::ItemInodeMetaMod | F::ItemIsDir),
    });
    collector.timerFireMethod();
    QStringList got = env.listed();
    got.sort();
    // The home entry by entry past the rules (not the ".tmp"), the folder of the name with a line feed.
    QStringList want{at("b/moved.txt"), at("a/renamed.txt"),     at("a/saved.docx"),        at("new.txt"),
                     at("Docs"),        home + "/Docs",          home + "/Docs/edited.txt", home + "/Music",
                     home + "/tree",    home + "/Music/song.mp3"};
    want.sort();
    EXPECT_EQ(got, want);
    EXPECT_TRUE(env.trace().contains("Name is not UTF-8, backing up its folder instead"));
    EXPECT_TRUE(env.trace().contains("Changes were lost below /, backing up the home folder"));
}

TEST_F(FSEventWatcherTest, AFileWrittenThroughAnotherOfItsNamesIsOwedUnderEachOfThem) {
    const QString home = env.home();
    FileTools::makePath(env.path(DaemonPath::UserSupportFolder));
    ASSERT_TRUE(PropertyList::writeStringArray(env.path(DaemonPath::InitialExcludeList), {home + "/.cache"},
                                               PropertyList::OwnerOnlyMode));
    BackupfileController collector(env.services(), env.user.name);
    ExcludeManager rules(env.services(), &collector);
    FSEventWatcher watcher(env.services(), &rules, &collector, nullptr);
    watcher.setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
    const auto link = [](const QString& from, const QString& to) {
        QDir().mkpath(QFileInfo(to).path());
        ASSERT_EQ(::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()), 0);
    };
    const auto owedAfter = [&](const QList<Event>& events) {
        for (const QString& name : QDir(env.path(DaemonPath::BackupListsFolder)).entryList(QDir::Files))
            QFile::remove(env.path(DaemonPath::BackupListsFolder) + u'/' + name);
        watcher.handleFsData(events);
        watcher.waitForBatches();
        collector.timerFireMethod();
        QStringList got = env.listed();
        got.removeAll(QString());
        got.sort();
        return got;
    };
    const QString report = home + "/Docs/Report.odt", copy = home + "/Archive/Report copy.odt",
                  cached = home + "/.cache/Report.odt", single = home + "/Docs/single.txt",
                  elsewhere = env.root.path() + "/elsewhere/Report.odt",
                  outsideLinked = home + "/Docs/shared.txt";
    touch(report);
    touch(single);
    link(report, copy);   // the second name, made while watching
    link(report, cached); // a third, where the rules exclude it
    touch(elsewhere);
    link(elsewhere, outsideLinked); // its other name lies where nobody looks

    // Only the new name is reported (the original's own change may come too late or not at all): a
    // look through the home finds the others; a link is no change of content, nothing else is owed.
    EXPECT_EQ(owedAfter({ev(copy, F::ItemCreated | F::ItemIsFile)}), QStringList{copy});
    EXPECT_TRUE(env.trace().contains("Looked for the other names of 1 files with more than one name"))
        << env.trace().toStdString();
    // Written in place through either name: both are owed, the excluded third name is not.
    EXPECT_EQ(owedAfter({ev(copy, F::ItemModified | F::ItemIsFile)}), (QStringList{copy, report}));
    EXPECT_EQ(owedAfter({ev(report, F::ItemModified | F::ItemIsFile)}), (QStringList{copy, report}));
    // Written through the name the rules exclude: itself not owed, the others are.
    EXPECT_EQ(owedAfter({ev(cached, F::ItemModified | F::ItemIsFile)}), (QStringList{copy, report}));
    // A file with one name owes itself; one whose other name lies outside is looked for once.
    EXPECT_EQ(owedAfter({ev(single, F::ItemModified | F::ItemIsFile)}), QStringList{single});
    EXPECT_EQ(owedAfter({ev(outsideLinked, F::ItemModified | F::ItemIsFile)}), QStringList{outsideLinked});
    EXPECT_EQ(owedAfter({ev(outsideLinked, F::ItemModified | F::ItemIsFile)}), QStringList{outsideLinked});
    EXPECT_EQ(env.trace().count("Looked for the other names"), 2) << env.trace().toStdString();
    // A name removed (or renamed away) is not owed any more.
    ASSERT_TRUE(QFile::remove(report));
    EXPECT_EQ(owedAfter({ev(copy, F::ItemModified | F::ItemIsFile)}), QStringList{copy});
}

TEST_F(FSEventWatcherTest, OnlyThePersonsHomeAndTheInitialSetsFoldersTheyMayReadAreQueued) {
    ZH_SKIP_IF(needs::root("to read folders with the person's rights"));
    ZH_SKIP_IF(env.user.uid == 0 ? QStringLiteral("needs a fixture account other than root") : QString());
    // Beside the person's home: another account's home, a shared folder of the initial set they may
    // read, and one they may not.
    const QString root = env.root.path();
    const QString other = env.root.profile().usersFolder + "/otheruser/Private/diary.txt";
    const QString shared = root + "/data/Team/plan.txt", closed = root + "/vault/Secret/key.txt";
    // Inside the shared folder, another account's closed folder: its names are not the person's to hear.
    const QString theirs = root + "/data/Team/Their private/salary-2026.xlsx";
    for (const QString& p : {other, shared, closed, theirs, at("mine.txt")})
        touch(p);
    ::chmod(QFile::encodeName(root + "/vault").constData(), 0700);
    ::chmod(QFile::encodeName(root + "/data/Team/Their private").constData(), 0700);
    (void)::chown(QFile::encodeName(root + "/data/Team/Their private").constData(), 65534, 65534);
    ASSERT_TRUE(PropertyList::writeStringArray(
        env.path(DaemonPath::InitialBackupList),
        {env.home() + "/tree", root + "/data/Team", root + "/vault/Secret"}, PropertyList::OwnerOnlyMode));
    BackupfileController collector(env.services(), env.user.name);
    ExcludeManager rules(env.services(), &collector);
    FSEventWatcher watcher(env.services(), &rules, &collector, nullptr);
    watcher.setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
    watcher.handleFsData(
        {ev(other, F::ItemCreated | F::ItemIsFile), ev(shared, F::ItemCreated | F::ItemIsFile),
         ev(closed, F::ItemCreated | F::ItemIsFile), ev(theirs, F::ItemCreated | F::ItemIsFile),
         ev(theirs, F::ItemModified | F::ItemIsFile), ev(at("mine.txt"), F::ItemCreated | F::ItemIsFile),
         ev(env.root.profile().usersFolder + "/otheruser/new", F::ItemRenamed)});
    collector.timerFireMethod();
    QStringList got = env.listed();
    got.sort();
    EXPECT_EQ(got, (QStringList{shared, at("mine.txt")}));
}

namespace {

// The watcher over a real event stream of each back end, watching a temporary tree as it watches the
// disk, while files are saved the way programs save them.
class FieldSaves : public RequiringTest, public ::testing::WithParamInterface<std::string> {
  protected:
    QString requirements() override {
        return GetParam() == "fanotify" ? needs::root("fanotify needs CAP_SYS_ADMIN") : QString();
    }
    void prepare() override {
        QDir().mkpath(env.path(DaemonPath::BackupListsFolder));
        base = env.home() + "/field";
        ASSERT_TRUE(QDir().mkpath(base));
        tree = base + "/home";
        outside = base + "/elsewhere";
        ASSERT_TRUE(QDir().mkpath(tree + "/Documents") && QDir().mkpath(outside));
        FileSystemEventStream::Options options;
        options.root = tree;
        options.usersFolder = tree;
        if (GetParam() == "fanotify")
            stream = std::make_unique<FanotifyEventStream>(200ms, options);
        else
            stream = std::make_unique<InotifyEventStream>(200ms, options);
        collector = std::make_unique<BackupfileController>(env.services(), env.user.name);
        rules = std::make_unique<ExcludeManager>(env.services(), collector.get());
        watcher =
            std::make_unique<FSEventWatcher>(env.services(), rules.get(), collector.get(), std::move(stream));
        watcher->setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
        ASSERT_TRUE(watcher->startWatcher()) << env.trace().toStdString();
    }
    void TearDown() override { watcher.reset(); }
    static void write(const QString& path, const QByteArray& data) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(data);
    }
    static void rename(const QString& from, const QString& to) {
        ASSERT_EQ(::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()), 0);
    }
    // Whether the change just made makes path owed: it reaches a backup list, and no temporary name
    // the rules exclude does. The lists are emptied for the next change.
    bool owed(const QString& path) {
        QStringList got;
        waitUntil(
            [&] {
                collector->timerFireMethod();
                got = env.listed();
                return got.contains(path);
            },
            3000);
        const bool found = got.contains(path);
        for (const QString& name : QDir(env.path(DaemonPath::BackupListsFolder)).entryList(QDir::Files))
            QFile::remove(env.path(DaemonPath::BackupListsFolder) + u'/' + name);
        EXPECT_TRUE(found) << path.toStdString()
                           << " not owed; the lists held: " << got.join(u' ').toStdString();
        for (const QString& listed : std::as_const(got))
            EXPECT_FALSE(listed.endsWith(".tmp") || listed.endsWith(".part") ||
                         listed.endsWith(".crdownload"))
                << listed.toStdString();
        return found;
    }

    DaemonTestServices env;
    QString base, tree, outside;
    std::unique_ptr<FileSystemEventStream> stream;
    std::unique_ptr<BackupfileController> collector;
    std::unique_ptr<ExcludeManager> rules;
    std::unique_ptr<FSEventWatcher> watcher;
};

} // namespace

TEST_P(FieldSaves, DocumentsSavedThroughATemporaryNameDownloadsAndMovesInAreOwed) {
    const QString docs = tree + "/Documents";
    write(outside + "/Notes.txt", "from elsewhere");
    ASSERT_TRUE(QDir().mkpath(outside + "/Album"));
    write(outside + "/Album/photo.jpg", "jpeg");
    write(docs + "/Report.odt", "first");
    ASSERT_TRUE(owed(docs + "/Report.odt"));

    // Each save on its own, as a person makes them. An office suite writes the new version under a
    // temporary name and renames it over the document.
    write(docs + "/lu12345.tmp", "second");
    rename(docs + "/lu12345.tmp", docs + "/Report.odt");
    ASSERT_TRUE(owed(docs + "/Report.odt"));
    // A browser renames the finished download.
    write(docs + "/manual.pdf.part", "pdf");
    rename(docs + "/manual.pdf.part", docs + "/manual.pdf");
    ASSERT_TRUE(owed(docs + "/manual.pdf"));
    write(docs + "/setup.iso.crdownload", "iso");
    rename(docs + "/setup.iso.crdownload", docs + "/setup.iso");
    ASSERT_TRUE(owed(docs + "/setup.iso"));
    // A file and a folder moved in from outside the watched folder.
    rename(outside + "/Notes.txt", docs + "/Notes.txt");
    ASSERT_TRUE(owed(docs + "/Notes.txt"));
    rename(outside + "/Album", docs + "/Album");
    ASSERT_TRUE(owed(docs + "/Album"));
}

INSTANTIATE_TEST_SUITE_P(Backends, FieldSaves, ::testing::Values("fanotify", "inotify"),
                         [](const auto& info) { return info.param; });

namespace {

void touchFile(const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Append);
    f.write("x");
}

// The watcher over the stream the daemon makes (the whole root, the users folder by its name), for a
// home behind a symbolic link as image-based desktops have it: the kernel names what changed under
// /var/home, the person, the account database and the exclusion list under /home.
class HomeBehindALink : public RequiringTest, public ::testing::WithParamInterface<std::string> {
  protected:
    QString requirements() override {
        return GetParam() == "fanotify" ? needs::root("fanotify needs CAP_SYS_ADMIN") : QString();
    }
    void prepare() override {
        ASSERT_TRUE(env.root.linkUsersFolder());
        home = env.home();
        ASSERT_TRUE(QFileInfo(env.root.path() + "/home").isSymLink());
        ASSERT_TRUE(QDir().mkpath(home + "/Documents") && QDir().mkpath(home + "/.cache"));
        QDir().mkpath(env.path(DaemonPath::BackupListsFolder));
        FileTools::makePath(env.path(DaemonPath::UserSupportFolder));
        ASSERT_TRUE(PropertyList::writeStringArray(env.path(DaemonPath::InitialExcludeList),
                                                   {home + "/.cache"}, PropertyList::OwnerOnlyMode));
        env.user.handOver(home);
        FileSystemEventStream::Options options;
        options.root = env.root.path();
        options.usersFolder = env.root.profile().usersFolder;
        std::unique_ptr<FileSystemEventStream> stream;
        if (GetParam() == "fanotify")
            stream = std::make_unique<FanotifyEventStream>(200ms, options);
        else
            stream = std::make_unique<InotifyEventStream>(200ms, options);
        collector = std::make_unique<BackupfileController>(env.services(), env.user.name);
        rules = std::make_unique<ExcludeManager>(env.services(), collector.get());
        watcher =
            std::make_unique<FSEventWatcher>(env.services(), rules.get(), collector.get(), std::move(stream));
        watcher->setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
        ASSERT_TRUE(watcher->startWatcher()) << env.trace().toStdString();
    }
    void TearDown() override { watcher.reset(); }
    QStringList listedAfter(const QString& expected) {
        QStringList got;
        waitUntil(
            [&] {
                collector->timerFireMethod();
                got = env.listed();
                return got.contains(expected);
            },
            4000);
        return got;
    }

    DaemonTestServices env;
    QString home;
    std::unique_ptr<BackupfileController> collector;
    std::unique_ptr<ExcludeManager> rules;
    std::unique_ptr<FSEventWatcher> watcher;
};

} // namespace

TEST_P(HomeBehindALink, ChangesAreOwedUnderTheHomesOwnNameAndItsExclusionsHold) {
    touchFile(home + "/.cache/thumbnail.png");
    touchFile(home + "/Documents/lu1.tmp");
    ASSERT_EQ(::rename(QFile::encodeName(home + "/Documents/lu1.tmp").constData(),
                       QFile::encodeName(home + "/Documents/Report.odt").constData()),
              0);
    touchFile(home + "/Documents/notes.txt");
    const QStringList got = listedAfter(home + "/Documents/notes.txt");
    EXPECT_TRUE(got.contains(home + "/Documents/notes.txt")) << got.join(u' ').toStdString();
    EXPECT_TRUE(got.contains(home + "/Documents/Report.odt")) << got.join(u' ').toStdString();
    for (const QString& path : got) {
        EXPECT_FALSE(path.contains("/var/home/")) << "filed under the kernel's name: " << path.toStdString();
        EXPECT_FALSE(path.contains("/.cache")) << path.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, HomeBehindALink, ::testing::Values("fanotify", "inotify"),
                         [](const auto& info) { return info.param; });
