#include "FileSystemEventStream.h"
#include "Requirements.h"
#include "linux/FanotifyEventStream.h"
#include "linux/InotifyEventStream.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSemaphore>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Stream = FileSystemEventStream;
using Batches = QList<QList<Stream::Event>>;

namespace {

constexpr auto kLatency = 250ms;

bool touch(const QByteArray& path, const QByteArray& data = {}) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && (data.isEmpty() || ::write(fd, data.constData(), data.size()) == data.size());
    return fd >= 0 && ::close(fd) == 0 && ok;
}

// Gathers what a stream hands over on its thread.
class Collector {
  public:
    void batch(QList<Stream::Event> events) { add(mBatches, std::move(events)); }
    void report(const Stream::Report& r) { add(mReports, r); }
    // Waits until pred, called under the lock with what arrived so far, holds. Only a broken stream
    // needs the whole minute.
    bool waitFor(const std::function<bool(const Batches&, const QList<Stream::Report>&)>& pred) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, 60s, [&] { return pred(mBatches, mReports); });
    }
    // The reports of kind so far, once there is one.
    QList<Stream::Report> waitForReports(Stream::Report::Kind kind) {
        QList<Stream::Report> found;
        waitFor([&](const auto&, const QList<Stream::Report>& reports) {
            std::copy_if(reports.cbegin(), reports.cend(), std::back_inserter(found),
                         [&](const auto& r) { return r.kind == kind; });
            return !found.isEmpty();
        });
        return found;
    }
    // The events about path ("": about any path) that carry flags and, when before is given, come
    // after before in their batch. Given flags, waits for the first such event.
    QList<Stream::Event> eventsFor(const QByteArray& path, quint32 flags = 0, const QByteArray& before = {}) {
        QList<Stream::Event> found;
        waitFor([&](const Batches& batches, const auto&) {
            found.clear();
            for (const auto& b : batches) {
                const auto at = [&](const QByteArray& p) {
                    return std::find_if(b.cbegin(), b.cend(),
                                        [&](const auto& e) { return e.nativePath == p; });
                };
                for (const auto& e : b)
                    if ((path.isEmpty() || e.nativePath == path) && (e.flags & flags) == flags &&
                        (before.isEmpty() || at(before) < at(path)))
                        found << e;
            }
            return flags == 0 || !found.isEmpty();
        });
        return found;
    }
    bool waitForPath(const QByteArray& path, quint32 flags) { return !eventsFor(path, flags).isEmpty(); }

  private:
    template <typename T> void add(QList<T>& list, T item) {
        std::lock_guard lock(mMutex);
        list.append(std::move(item));
        mChanged.notify_all();
    }

    std::mutex mMutex;
    std::condition_variable mChanged;
    Batches mBatches;
    QList<Stream::Report> mReports;
};

} // namespace

// Both back ends run the same behaviour on a real temporary tree.
class EventStreamTest : public RequiringTest, public ::testing::WithParamInterface<std::string> {
  protected:
    QString requirements() override {
        return GetParam() == "fanotify" ? needs::root("fanotify needs CAP_SYS_ADMIN") : QString();
    }
    void prepare() override {
        const QByteArray base = QFile::encodeName(QDir(mDir.path()).canonicalPath());
        mRoot = base + "/tree";
        mOutside = base + "/outside";
        ASSERT_TRUE(mDir.isValid() && ::mkdir(mRoot.constData(), 0755) == 0 &&
                    ::mkdir(mOutside.constData(), 0755) == 0);
    }
    void TearDown() override {
        mRelease.release(); // a held stream thread is let go before the stream stops
        if (mStream)
            mStream->stop();
        // QDir cannot name entries that are not UTF-8.
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), mDir.path()});
    }

    // Starts the back end under test over the tree; "" or the reason this machine refuses it.
    QString start(Stream::Options options = {}) {
        options.root = QFile::decodeName(mRoot);
        if (GetParam() == "fanotify")
            mStream = std::make_unique<FanotifyEventStream>(kLatency, options);
        else
            mStream = std::make_unique<InotifyEventStream>(kLatency, options);
        const auto onBatch = [this](QList<Stream::Event> b) {
            if (mHoldFirstBatch.exchange(false)) {
                mHeld.release();
                mRelease.acquire();
            }
            mCollector.batch(std::move(b));
        };
        if (mStream->open() &&
            mStream->start(onBatch, [this](const Stream::Report& r) { mCollector.report(r); }))
            return {};
        return QStringLiteral("%1 refused on %2: %3")
            .arg(QString::fromStdString(GetParam()), QFile::decodeName(mRoot), mStream->lastError());
    }

    QByteArray at(const QByteArray& relative) const { return mRoot + '/' + relative; }

    // /var/tmp is disk-backed on usual systems; fanotify marks with file handles need that.
    QTemporaryDir mDir{QStringLiteral("/var/tmp/zh-events-XXXXXX")};
    QByteArray mRoot, mOutside;
    Collector mCollector;
    std::unique_ptr<DescriptorEventStream> mStream;
    std::atomic_bool mHoldFirstBatch{false};
    QSemaphore mHeld, mRelease;
};

TEST_P(EventStreamTest, ReportsEachKindOfChangeInsideTheTreeOnlyFromTheStartOn) {
    for (const char* folder : {"a", "b", "old", "old/sub", "leaving"})
        ASSERT_EQ(::mkdir(at(folder).constData(), 0755), 0);
    for (const char* file : {"before.txt", "draft.txt", "a/doc.txt"})
        ASSERT_TRUE(touch(at(file)));
    ASSERT_TRUE(touch(at("log.txt"), "one\n"));
    ZH_SKIP_IF(start());
    EXPECT_EQ(mStream->backendName().toStdString(), GetParam());

    ASSERT_TRUE(touch(at("new.txt"), "hello"));
    ASSERT_TRUE(mCollector.waitForPath(at("new.txt"), Stream::ItemCreated | Stream::ItemIsFile));
    ASSERT_EQ(::mkdir(at("folder").constData(), 0755), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("folder"), Stream::ItemCreated | Stream::ItemIsDir));

    // Created and removed within the latency: once, with both flags.
    ASSERT_TRUE(touch(at("brief.txt")));
    ASSERT_EQ(::unlink(at("brief.txt").constData()), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("brief.txt"), Stream::ItemCreated | Stream::ItemRemoved));
    EXPECT_EQ(mCollector.eventsFor(at("brief.txt")).size(), 1);

    // Appending is a modification, not a creation.
    ASSERT_TRUE(touch(at("log.txt"), "two\n"));
    ASSERT_TRUE(mCollector.waitForPath(at("log.txt"), Stream::ItemModified));
    for (const auto& e : mCollector.eventsFor(at("log.txt")))
        EXPECT_FALSE(e.flags & Stream::ItemCreated);

    // A rename, in place or between folders, gives the old path and then the new one, both renamed.
    ASSERT_EQ(::rename(at("draft.txt").constData(), at("final.txt").constData()), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("final.txt"), Stream::ItemRenamed));
    EXPECT_FALSE(mCollector.eventsFor(at("final.txt"), 0, at("draft.txt")).isEmpty());
    EXPECT_TRUE(mCollector.eventsFor(at("draft.txt")).first().flags & Stream::ItemRenamed);
    ASSERT_EQ(::rename(at("a/doc.txt").constData(), at("b/doc.txt").constData()), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("b/doc.txt"), Stream::ItemRenamed | Stream::ItemIsFile));
    EXPECT_FALSE(mCollector.eventsFor(at("b/doc.txt"), 0, at("a/doc.txt")).isEmpty());

    // Files in a renamed folder get the new name; a folder moved out of the tree is forgotten.
    ASSERT_TRUE(touch(at("old/sub/first.txt")));
    ASSERT_TRUE(mCollector.waitForPath(at("old/sub/first.txt"), Stream::ItemCreated));
    ASSERT_EQ(::rename(at("old").constData(), at("renamed").constData()), 0);
    ASSERT_TRUE(touch(at("renamed/sub/second.txt")));
    ASSERT_TRUE(mCollector.waitForPath(at("renamed/sub/second.txt"), Stream::ItemCreated));
    ASSERT_EQ(::rename(at("leaving").constData(), (mOutside + "/leaving").constData()), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("leaving"), Stream::ItemRenamed));
    ASSERT_TRUE(touch(mOutside + "/leaving/unseen.txt"));
    ASSERT_TRUE(touch(mOutside + "/elsewhere.txt"));

    // Odd names arrive byte for byte.
    const QByteArray odd = at("odd \"dir\"\n\xff") + '/';
    ASSERT_EQ(::mkdir(odd.constData(), 0755), 0);
    const QList<QByteArray> names =
        QByteArray("with  blanks and 'single' and \"double\" quotes|$(touch pwned) "
                   "`id`; rm -rf x|line\nbreak|not utf-8 \xff\xfe\x80 bytes| leading |"
                   "tab\there|caf\xc3\xa9")
            .split('|');
    for (const QByteArray& name : names)
        ASSERT_TRUE(touch(odd + name)) << name.constData();
    for (const QByteArray& name : names) {
        ASSERT_TRUE(mCollector.waitForPath(odd + name, Stream::ItemCreated)) << name.constData();
        EXPECT_EQ(mCollector.eventsFor(odd + name).first().path, QFile::decodeName(odd + name));
    }
    EXPECT_EQ(mCollector.eventsFor(odd + "caf\xc3\xa9").first().path,
              QFile::decodeName(mRoot) + QStringLiteral("/odd \"dir\"\n\uFFFD/caf\u00e9"));

    ASSERT_TRUE(touch(at("marker.txt")));
    ASSERT_TRUE(mCollector.waitForPath(at("marker.txt"), Stream::ItemCreated));
    for (const auto& e : mCollector.eventsFor({}))
        EXPECT_TRUE(e.nativePath.startsWith(mRoot + '/')) << e.nativePath.constData();
    EXPECT_TRUE(mCollector.eventsFor(at("old/sub/second.txt")).isEmpty());
    EXPECT_TRUE(mCollector.eventsFor(at("leaving/unseen.txt")).isEmpty());
    EXPECT_TRUE(mCollector.eventsFor(at("before.txt")).isEmpty());
    mStream->stop();
    EXPECT_FALSE(mStream->isRunning());
    mStream->stop(); // a second stop is harmless
}

// A whole tree copied in one go under a small pending limit: batches go out early, with a report, and
// every file is reported, nothing lost.
TEST_P(EventStreamTest, ATreeCopiedAtOnceIsReportedFileByFileUnderThePendingLimit) {
    const QString source = QFile::decodeName(mOutside + "/source");
    // A wide part of 10,000 files and a narrow deep branch beside it.
    ASSERT_EQ(QProcess::execute(QStringLiteral("bash"), {QStringLiteral("-ec"), QStringLiteral(R"(
        mkdir -p "$0" && cd "$0" && mkdir -p top{0..9}/sub{0..9} && touch top{0..9}/sub{0..9}/'file '{0..99}
        d=.; for i in {0..19}; do d="$d/level $i"; done; mkdir -p "$d" && touch "$d"/'deep file '{0..19})"),
                                                         source}),
              0);
    QSet<QByteArray> wanted{at("copy")};
    for (QDirIterator it(source, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext();)
        wanted << at("copy") + QFile::encodeName(it.next().mid(source.size()));
    ASSERT_EQ(wanted.size(), 1 + 110 + 10000 + 20 + 20);

    Stream::Options options;
    options.maxPendingPaths = 256;
    ZH_SKIP_IF(start(options));
    ASSERT_EQ(QProcess::execute(QStringLiteral("cp"),
                                {QStringLiteral("-r"), source, QFile::decodeName(at("copy"))}),
              0);
    qsizetype checked = 0;
    EXPECT_TRUE(mCollector.waitFor([&](const Batches& batches, const auto&) {
        for (; checked < batches.size(); ++checked)
            for (const auto& e : batches[checked])
                if (e.flags & Stream::ItemCreated)
                    wanted.remove(e.nativePath);
        return wanted.isEmpty();
    })) << wanted.size()
        << " copied paths were not reported as created";
    EXPECT_EQ(mCollector.waitForReports(Stream::Report::PendingLimit).value(0).message,
              QStringLiteral("File events: 256 changed paths pending, delivering them early"));
    for (const auto& e : mCollector.eventsFor({}))
        EXPECT_FALSE(e.flags & Stream::KernelDropped) << e.nativePath.constData();
}

// A consumer that stalls the stream lets the kernel queue overflow; the loss is reported and the root
// is flagged for a rescan.
TEST_P(EventStreamTest, AKernelQueueOverflowIsReportedAndTheRootRescanned) {
    Stream::Options options;
    options.maxPendingPaths = 1000000;
    mHoldFirstBatch = true;
    ZH_SKIP_IF(start(options));
    ASSERT_TRUE(touch(at("first")));
    ASSERT_TRUE(mHeld.tryAcquire(1, 60000));
    // Into a folder already watched: the held thread could not watch a new one.
    for (int i = 0; i < 40000; ++i)
        ASSERT_TRUE(touch(at("storm ") + QByteArray::number(i)));
    mRelease.release();
    EXPECT_EQ(mCollector.waitForReports(Stream::Report::EventsLost).value(0).message,
              QStringLiteral("File events: the %1 queue overflowed, events were lost; %2 must be scanned")
                  .arg(QString::fromStdString(GetParam()), QFile::decodeName(mRoot)));
    EXPECT_TRUE(mCollector.waitForPath(mRoot, Stream::MustScanSubDirs | Stream::KernelDropped));
}

// What the stream covers: the whole disk for fanotify; for inotify its folder and the folders it
// watches, which follow the folders made and removed.
TEST_P(EventStreamTest, CoverageSaysWhatIsWatched) {
    ZH_SKIP_IF(start());
    const Stream::Coverage first = mStream->coverage();
    EXPECT_EQ(first.folder, QFile::decodeName(mRoot));
    EXPECT_TRUE(first.fallbackReason.isEmpty());
    EXPECT_FALSE(first.folderLimitReached);
    if (GetParam() == "fanotify") {
        EXPECT_EQ(first.scope, Stream::Coverage::WholeDisk);
        EXPECT_GE(first.fileSystemsMarked, 1);
        EXPECT_EQ(first.foldersWatched, 0);
    } else {
        EXPECT_EQ(first.scope, Stream::Coverage::Folder);
        EXPECT_EQ(first.foldersWatched, 1);
        EXPECT_EQ(first.fileSystemsMarked, 0);
        ASSERT_EQ(::mkdir(at("a").constData(), 0755), 0);
        ASSERT_EQ(::mkdir(at("a/b").constData(), 0755), 0);
        ASSERT_TRUE(touch(at("a/b/file")));
        ASSERT_TRUE(mCollector.waitForPath(at("a/b/file"), Stream::ItemCreated));
        EXPECT_EQ(mStream->coverage().foldersWatched, 3);
        ASSERT_TRUE(::unlink(at("a/b/file").constData()) == 0 && ::rmdir(at("a/b").constData()) == 0);
        ASSERT_TRUE(mCollector.waitForPath(at("a/b"), Stream::ItemRemoved));
        EXPECT_EQ(mStream->coverage().foldersWatched, 2);
    }
    mStream->stop();
    EXPECT_EQ(mStream->coverage().scope, Stream::Coverage::Nothing);
}

INSTANTIATE_TEST_SUITE_P(Backends, EventStreamTest,
                         ::testing::Values(std::string("fanotify"), std::string("inotify")),
                         [](const auto& info) { return info.param; });

// A container without CAP_SYS_ADMIN (here a user namespace of its own) gets inotify over the users
// folder, and the reason. Its own tiny watch limit leaves folders unwatched: they are flagged for a
// rescan and the limit is reported once.
TEST(EventStreamFactory, FallsBackToInotifyWithoutTheCapabilityUpToItsWatchLimit) {
    Stream::Options options;
    options.root = QStringLiteral("/nonexistent/zh-events");
    InotifyEventStream missing(kLatency, options);
    EXPECT_FALSE(missing.start([](auto) {}, [](const auto&) {}));
    EXPECT_TRUE(missing.lastError().contains(options.root)) << qPrintable(missing.lastError());

    QTemporaryDir dir;
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("f%1/g").arg(i)));
    options.root = QStringLiteral("/");
    options.usersFolder = dir.path();
    EXPECT_EQ(InotifyEventStream(kLatency, options).folder(), QDir(dir.path()).canonicalPath());

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(60);
        const int fd =
            ::unshare(CLONE_NEWUSER) == 0 ? ::open("/proc/sys/user/max_inotify_watches", O_WRONLY) : -1;
        if (fd < 0 || ::write(fd, "4", 1) != 1 || ::close(fd) != 0)
            ::_exit(20);
        QString why;
        const auto stream = Stream::create(kLatency, options, &why);
        if (stream->backendName() != QLatin1String("inotify") || why.isEmpty())
            ::_exit(21);
        Collector collector;
        if (!stream->start([&](QList<Stream::Event> b) { collector.batch(std::move(b)); },
                           [&](const Stream::Report& r) { collector.report(r); }) ||
            collector.waitForReports(Stream::Report::WatchLimit).isEmpty())
            ::_exit(22);
        const bool rescan = collector.waitForPath({}, Stream::MustScanSubDirs | Stream::UserDropped);
        const auto limits = collector.waitForReports(Stream::Report::WatchLimit).size();
        // It says what it covers: the users folder, up to the limit, and why not the disk.
        const Stream::Coverage covered = stream->coverage();
        const bool coverage = covered.scope == Stream::Coverage::Folder && covered.folderLimitReached &&
                              covered.foldersWatched >= 1 && covered.foldersWatched <= 4 &&
                              covered.fallbackReason == why;
        stream->stop();
        ::_exit(!rescan ? 23 : limits != 1 ? 24 : !coverage ? 25 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed";
    ZH_SKIP_IF(WEXITSTATUS(status) == 20 ? QStringLiteral("no user namespace with its own inotify limit here")
                                         : QString());
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "21 no fallback or reason, 22 no start or report, 23 no rescan, 24 limit reported twice, "
           "25 coverage not told";
}

// Root gets the whole disk. A folder no fanotify mark covers (here a tmpfs) is watched with inotify
// beside it; a disk mounted while the stream runs gets its mark then.
TEST(EventStreamFactory, UnmarkedFoldersGetInotifyAndLaterMountsAMark) {
    struct TestMount { // unmounted again with the object
        QByteArray at;
        bool ok = false;
        TestMount(const QByteArray& where, const QStringList& args) : at(where) {
            ok = QDir().mkpath(QFile::decodeName(at)) &&
                 QProcess::execute(QStringLiteral("mount"), args + QStringList{QFile::decodeName(at)}) == 0;
        }
        ~TestMount() { ::umount2(at.constData(), MNT_DETACH); }
    };
    ZH_SKIP_IF(
        needs::all(needs::root("fanotify and mount need root"), needs::tool("mkfs.ext4", "e2fsprogs")));
    QTemporaryDir dir(QStringLiteral("/var/tmp/zh-events-XXXXXX"));
    Stream::Options options;
    options.root = dir.path();
    const QByteArray tree = QFile::encodeName(dir.path());
    const QString image = dir.filePath(QStringLiteral("disk.img"));
    ASSERT_EQ(QProcess::execute(QStringLiteral("bash"),
                                {QStringLiteral("-ec"),
                                 QStringLiteral("truncate -s 16M \"$0\"; mkfs.ext4 -qF \"$0\""), image}),
              0);
    TestMount homes(tree + "/homes",
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")});
    ZH_SKIP_IF(homes.ok ? QString() : QStringLiteral("no tmpfs mount here"));
    QString why;
    auto stream = Stream::create(kLatency, options, &why);
    ZH_SKIP_IF(why.isEmpty() ? QString() : QString(QStringLiteral("fanotify refused: ") + why));
    ASSERT_EQ(stream->backendName(), QStringLiteral("fanotify+inotify"));
    Collector c;
    ASSERT_TRUE(stream->start([&](QList<Stream::Event> b) { c.batch(std::move(b)); },
                              [&](const Stream::Report& r) { c.report(r); }));
    ASSERT_TRUE(touch(homes.at + "/new.txt"));
    EXPECT_TRUE(c.waitForPath(homes.at + "/new.txt", Stream::ItemCreated));
    const Stream::Coverage before = stream->coverage();
    EXPECT_EQ(before.scope, Stream::Coverage::WholeDisk);
    EXPECT_EQ(before.foldersWatched, 1); // the tmpfs, with inotify
    TestMount disk(tree + "/disk", {QStringLiteral("-o"), QStringLiteral("loop"), image});
    ASSERT_TRUE(disk.ok);
    bool seen = false; // the mark follows the mount shortly; new files show once it is there
    for (int i = 0; i < 300 && !seen; ++i) {
        ASSERT_TRUE(touch(disk.at + "/probe-" + QByteArray::number(i)));
        QThread::msleep(100);
        for (int k = 0; k <= i && !seen; ++k)
            seen = !c.eventsFor(disk.at + "/probe-" + QByteArray::number(k)).isEmpty();
    }
    EXPECT_TRUE(seen);
    EXPECT_EQ(stream->coverage().fileSystemsMarked, before.fileSystemsMarked + 1);
    stream->stop();
}
