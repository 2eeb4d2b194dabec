#include "FileSystemEventStream.h"
#include "RezodeLoger.h"
#include "TestRoots.h"
#include "Timings.h"
#include "linux/FanotifyEventStream.h"
#include "linux/InotifyEventStream.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <mutex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Stream = FileSystemEventStream;

namespace {

constexpr auto kLatency = 250ms;
constexpr auto kPatience = 60s; // only a bound for a broken stream; a working one is far quicker

bool touch(const QByteArray& path, const QByteArray& data = {}) {
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = data.isEmpty() || ::write(fd, data.constData(), data.size()) == data.size();
    return ::close(fd) == 0 && ok;
}

// Gathers what the stream hands over on its thread.
class Collector {
  public:
    void batch(QList<Stream::Event> events) {
        std::lock_guard lock(mMutex);
        mBatches.append(std::move(events));
        mChanged.notify_all();
    }
    void report(const Stream::Report& r) {
        std::lock_guard lock(mMutex);
        mReports.append(r);
        mChanged.notify_all();
    }
    // Waits until pred (called under the lock with the batches so far) holds.
    bool waitFor(const std::function<bool(const QList<QList<Stream::Event>>&)>& pred) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, kPatience, [&] { return pred(mBatches); });
    }
    bool waitForPath(const QByteArray& path, quint32 flags) {
        return waitFor([&](const auto& batches) {
            for (const auto& b : batches) {
                for (const auto& e : b) {
                    if (e.nativePath == path && (e.flags & flags) == flags)
                        return true;
                }
            }
            return false;
        });
    }
    bool waitForReport(Stream::Report::Kind kind) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, kPatience, [&] {
            return std::any_of(mReports.begin(), mReports.end(),
                               [&](const auto& r) { return r.kind == kind; });
        });
    }
    QList<QList<Stream::Event>> batches() {
        std::lock_guard lock(mMutex);
        return mBatches;
    }
    QList<Stream::Report> reports() {
        std::lock_guard lock(mMutex);
        return mReports;
    }
    // Every event about path, batch by batch.
    QList<Stream::Event> eventsFor(const QByteArray& path) {
        QList<Stream::Event> found;
        for (const auto& b : batches()) {
            for (const auto& e : b) {
                if (e.nativePath == path)
                    found << e;
            }
        }
        return found;
    }

  private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    QList<QList<Stream::Event>> mBatches;
    QList<Stream::Report> mReports;
};

// Index of path in the first batch that has it together with other, or -1s.
std::pair<qsizetype, qsizetype> positionsInOneBatch(const QList<QList<Stream::Event>>& batches,
                                                    const QByteArray& first, const QByteArray& second) {
    for (const auto& b : batches) {
        qsizetype a = -1, c = -1;
        for (qsizetype i = 0; i < b.size(); ++i) {
            if (b[i].nativePath == first)
                a = i;
            if (b[i].nativePath == second)
                c = i;
        }
        if (a >= 0 && c >= 0)
            return {a, c};
    }
    return {-1, -1};
}

// The streams' threads run Qt event loops, which need the application object.
class QtApplication : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "event_stream_tests";
        static char* argv[] = {name, nullptr};
        mApp = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { mApp.reset(); }

  private:
    std::unique_ptr<QCoreApplication> mApp;
};
const auto* const kQtApplication = ::testing::AddGlobalTestEnvironment(new QtApplication);

} // namespace

// Both back ends run the same behaviour tests on a real temporary tree.
class EventStreamTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        // /var/tmp is disk-backed on usual systems; fanotify marks with file handles need that.
        mDir = std::make_unique<QTemporaryDir>(QStringLiteral("/var/tmp/zh-events-XXXXXX"));
        ASSERT_TRUE(mDir->isValid());
        mRoot = QFile::encodeName(QDir(mDir->path()).canonicalPath()) + "/tree";
        mOutside = QFile::encodeName(QDir(mDir->path()).canonicalPath()) + "/outside";
        ASSERT_EQ(::mkdir(mRoot.constData(), 0755), 0);
        ASSERT_EQ(::mkdir(mOutside.constData(), 0755), 0);
        if (GetParam() == "fanotify" && ::geteuid() != 0)
            GTEST_SKIP() << "fanotify needs root (CAP_SYS_ADMIN); run the tests as root to cover it";
    }

    void TearDown() override {
        if (mStream)
            mStream->stop();
        mStream.reset();
        // QDir cannot name entries that are not UTF-8, so the tree goes byte by byte.
        ::nftw(
            QFile::encodeName(mDir->path()).constData(),
            [](const char* path, const struct stat*, int, FTW*) {
                ::remove(path);
                return 0;
            },
            64, FTW_DEPTH | FTW_PHYS);
    }

    // The back end under test over the tree, subscribed; null (with mSkipReason) when the machine
    // cannot offer it.
    std::unique_ptr<DescriptorEventStream> openStream(Stream::Options options) {
        options.root = QFile::decodeName(mRoot);
        std::unique_ptr<DescriptorEventStream> stream;
        if (GetParam() == "fanotify")
            stream = std::make_unique<FanotifyEventStream>(kLatency, options);
        else
            stream = std::make_unique<InotifyEventStream>(kLatency, options);
        if (stream->open())
            return stream;
        struct statfs sfs {};
        ::statfs(mRoot.constData(), &sfs);
        mSkipReason = QStringLiteral("%1 refused on %2 (file system magic 0x%3): %4")
                          .arg(QString::fromStdString(GetParam()), QFile::decodeName(mRoot),
                               QString::number(sfs.f_type, 16), stream->lastError());
        return nullptr;
    }

    bool startStream(Stream::Options options = {}) {
        auto stream = openStream(options);
        if (!stream)
            return false;
        if (!stream->start([this](QList<Stream::Event> b) { mCollector.batch(std::move(b)); },
                           [this](const Stream::Report& r) { mCollector.report(r); }))
            return false;
        mStream = std::move(stream);
        return true;
    }

    QByteArray at(const QByteArray& relative) const { return mRoot + '/' + relative; }

    std::unique_ptr<QTemporaryDir> mDir;
    QByteArray mRoot;
    QByteArray mOutside;
    std::unique_ptr<DescriptorEventStream> mStream;
    Collector mCollector;
    QString mSkipReason;
};

#define START_OR_SKIP(...)                                                                                   \
    do {                                                                                                     \
        if (!startStream(__VA_ARGS__))                                                                       \
            GTEST_SKIP() << qPrintable(mSkipReason);                                                         \
    } while (0)

TEST_P(EventStreamTest, NamesItsBackend) {
    START_OR_SKIP();
    EXPECT_EQ(mStream->backendName().toStdString(), GetParam());
    EXPECT_TRUE(mStream->isRunning());
    mStream->stop();
    EXPECT_FALSE(mStream->isRunning());
    mStream->stop(); // a second stop is harmless
}

TEST_P(EventStreamTest, ReportsACreatedFile) {
    START_OR_SKIP();
    ASSERT_TRUE(touch(at("new.txt"), "hello"));
    ASSERT_TRUE(mCollector.waitForPath(at("new.txt"), Stream::ItemCreated | Stream::ItemIsFile));
    const auto events = mCollector.eventsFor(at("new.txt"));
    EXPECT_EQ(events.first().path, QFile::decodeName(at("new.txt")));
    EXPECT_FALSE(events.first().flags & Stream::ItemIsDir);
}

TEST_P(EventStreamTest, ReportsOnlyChangesFromTheStartOn) {
    ASSERT_TRUE(touch(mRoot + "/before.txt"));
    START_OR_SKIP();
    ASSERT_TRUE(touch(at("after.txt")));
    ASSERT_TRUE(mCollector.waitForPath(at("after.txt"), Stream::ItemCreated));
    EXPECT_TRUE(mCollector.eventsFor(at("before.txt")).isEmpty());
}

TEST_P(EventStreamTest, ACreatedFolderIsMarkedAsFolder) {
    START_OR_SKIP();
    ASSERT_EQ(::mkdir(at("folder").constData(), 0755), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("folder"), Stream::ItemCreated | Stream::ItemIsDir));
}

TEST_P(EventStreamTest, CreatedAndRemovedWithinTheLatencyArrivesOnceWithBothFlags) {
    START_OR_SKIP();
    ASSERT_TRUE(touch(at("brief.txt")));
    ASSERT_EQ(::unlink(at("brief.txt").constData()), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("brief.txt"), Stream::ItemCreated | Stream::ItemRemoved));
    const auto events = mCollector.eventsFor(at("brief.txt"));
    EXPECT_EQ(events.size(), 1);
}

TEST_P(EventStreamTest, AppendingToAFileIsAModificationNotACreation) {
    ASSERT_TRUE(touch(at("log.txt"), "one\n"));
    START_OR_SKIP();
    ASSERT_TRUE(touch(at("log.txt"), "two\n"));
    ASSERT_TRUE(mCollector.waitForPath(at("log.txt"), Stream::ItemModified));
    for (const auto& e : mCollector.eventsFor(at("log.txt")))
        EXPECT_FALSE(e.flags & Stream::ItemCreated);
}

TEST_P(EventStreamTest, RenameInPlaceGivesOldThenNewBothRenamed) {
    ASSERT_TRUE(touch(at("draft.txt")));
    START_OR_SKIP();
    ASSERT_EQ(::rename(at("draft.txt").constData(), at("final.txt").constData()), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("final.txt"), Stream::ItemRenamed));
    const auto [oldAt, newAt] = positionsInOneBatch(mCollector.batches(), at("draft.txt"), at("final.txt"));
    ASSERT_GE(oldAt, 0) << "both halves of the rename belong in one batch";
    EXPECT_LT(oldAt, newAt);
    EXPECT_TRUE(mCollector.eventsFor(at("draft.txt")).first().flags & Stream::ItemRenamed);
}

TEST_P(EventStreamTest, MoveBetweenFoldersGivesOldThenNewBothRenamed) {
    ASSERT_EQ(::mkdir(at("a").constData(), 0755), 0);
    ASSERT_EQ(::mkdir(at("b").constData(), 0755), 0);
    ASSERT_TRUE(touch(at("a/doc.txt")));
    START_OR_SKIP();
    ASSERT_EQ(::rename(at("a/doc.txt").constData(), at("b/doc.txt").constData()), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("b/doc.txt"), Stream::ItemRenamed | Stream::ItemIsFile));
    const auto [oldAt, newAt] = positionsInOneBatch(mCollector.batches(), at("a/doc.txt"), at("b/doc.txt"));
    ASSERT_GE(oldAt, 0);
    EXPECT_LT(oldAt, newAt);
}

TEST_P(EventStreamTest, FilesInARenamedFolderGetTheNewName) {
    ASSERT_EQ(::mkdir(at("old").constData(), 0755), 0);
    ASSERT_EQ(::mkdir(at("old/sub").constData(), 0755), 0);
    START_OR_SKIP();
    ASSERT_TRUE(touch(at("old/sub/first.txt")));
    ASSERT_TRUE(mCollector.waitForPath(at("old/sub/first.txt"), Stream::ItemCreated));
    ASSERT_EQ(::rename(at("old").constData(), at("renamed").constData()), 0);
    ASSERT_TRUE(touch(at("renamed/sub/second.txt")));
    ASSERT_TRUE(mCollector.waitForPath(at("renamed/sub/second.txt"), Stream::ItemCreated));
    EXPECT_TRUE(mCollector.eventsFor(at("old/sub/second.txt")).isEmpty());
}

TEST_P(EventStreamTest, AFolderMovedOutOfTheTreeIsNoLongerReported) {
    ASSERT_EQ(::mkdir(at("leaving").constData(), 0755), 0);
    START_OR_SKIP();
    const QByteArray moved = mOutside + "/leaving";
    ASSERT_EQ(::rename(at("leaving").constData(), moved.constData()), 0);
    ASSERT_TRUE(mCollector.waitForPath(at("leaving"), Stream::ItemRenamed));
    ASSERT_TRUE(touch(moved + "/unseen.txt"));
    ASSERT_TRUE(touch(at("marker.txt")));
    ASSERT_TRUE(mCollector.waitForPath(at("marker.txt"), Stream::ItemCreated));
    for (const auto& b : mCollector.batches()) {
        for (const auto& e : b) {
            EXPECT_FALSE(e.nativePath.endsWith("unseen.txt")) << e.nativePath.constData();
        }
    }
}

TEST_P(EventStreamTest, ChangesOutsideTheRootAreNotReported) {
    START_OR_SKIP();
    ASSERT_TRUE(touch(mOutside + "/elsewhere.txt"));
    ASSERT_TRUE(touch(at("inside.txt")));
    ASSERT_TRUE(mCollector.waitForPath(at("inside.txt"), Stream::ItemCreated));
    for (const auto& b : mCollector.batches()) {
        for (const auto& e : b)
            EXPECT_TRUE(e.nativePath.startsWith(mRoot + '/')) << e.nativePath.constData();
    }
}

TEST_P(EventStreamTest, OddNamesArriveByteForByte) {
    START_OR_SKIP();
    const QList<QByteArray> names = {
        "with  blanks and 'single' and \"double\" quotes",
        "$(touch pwned) `id`; rm -rf x",
        "line\nbreak",
        "not utf-8 \xff\xfe\x80 bytes",
        " leading and trailing ",
        "tab\there",
        "caf\xc3\xa9",
    };
    ASSERT_EQ(::mkdir(at("odd \"dir\"\n\xff").constData(), 0755), 0);
    for (const QByteArray& name : names)
        ASSERT_TRUE(touch(at("odd \"dir\"\n\xff/") + name)) << name.constData();
    for (const QByteArray& name : names) {
        const QByteArray path = at("odd \"dir\"\n\xff/") + name;
        ASSERT_TRUE(mCollector.waitForPath(path, Stream::ItemCreated)) << name.constData();
        EXPECT_EQ(mCollector.eventsFor(path).first().path, QFile::decodeName(path));
    }
    EXPECT_EQ(mCollector.eventsFor(at("caf\xc3\xa9")).size(), 0);
    EXPECT_EQ(mCollector.eventsFor(at("odd \"dir\"\n\xff/caf\xc3\xa9")).first().path,
              QFile::decodeName(mRoot) + QStringLiteral("/odd \"dir\"\n\uFFFD/caf\u00e9"));
}

// A whole tree copied in one go: every file is reported, none twice within a batch.
TEST_P(EventStreamTest, ATreeCopiedAtOnceIsReportedFileByFile) {
    const QByteArray source = mOutside + "/source";
    QSet<QByteArray> expected;
    ASSERT_EQ(::mkdir(source.constData(), 0755), 0);
    QByteArray deep = source;
    for (int level = 0; level < 20; ++level) { // a narrow deep branch beside the wide part
        deep += "/level " + QByteArray::number(level);
        ASSERT_EQ(::mkdir(deep.constData(), 0755), 0);
        expected << deep;
    }
    int files = 0;
    for (int i = 0; i < 10; ++i) {
        const QByteArray top = source + "/top" + QByteArray::number(i);
        ASSERT_EQ(::mkdir(top.constData(), 0755), 0);
        expected << top;
        for (int j = 0; j < 10; ++j) {
            const QByteArray sub = top + "/sub" + QByteArray::number(j);
            ASSERT_EQ(::mkdir(sub.constData(), 0755), 0);
            expected << sub;
            for (int k = 0; k < (i == 0 && j == 0 ? 80 : 100); ++k) {
                ASSERT_TRUE(touch(sub + "/file " + QByteArray::number(k), "x"));
                expected << sub + "/file " + QByteArray::number(k);
                ++files;
            }
        }
    }
    for (int k = 0; k < 20; ++k) {
        ASSERT_TRUE(touch(deep + "/deep file " + QByteArray::number(k), "y"));
        expected << deep + "/deep file " + QByteArray::number(k);
        ++files;
    }
    ASSERT_EQ(files, 10000);
    QSet<QByteArray> wanted;
    for (const QByteArray& p : std::as_const(expected))
        wanted << at("copy") + p.mid(source.size());
    wanted << at("copy");

    START_OR_SKIP();
    ASSERT_EQ(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-r"), QFile::decodeName(source),
                                                       QFile::decodeName(at("copy"))}),
              0);
    const bool complete = mCollector.waitFor([&](const auto& batches) {
        QSet<QByteArray> missing = wanted;
        for (const auto& b : batches) {
            for (const auto& e : b) {
                if (e.flags & Stream::ItemCreated)
                    missing.remove(e.nativePath);
            }
        }
        return missing.isEmpty();
    });
    EXPECT_TRUE(complete) << "not every copied file was reported as created";
    for (const auto& b : mCollector.batches()) {
        QSet<QByteArray> seen;
        for (const auto& e : b)
            EXPECT_TRUE(!seen.contains(e.nativePath) && (seen.insert(e.nativePath), true))
                << e.nativePath.constData();
    }
    for (const auto& r : mCollector.reports())
        EXPECT_NE(r.kind, Stream::Report::EventsLost) << qPrintable(r.message);
}

// Under a storm the pending paths stay bounded: the batch goes out early, with a report, and nothing
// is lost.
TEST_P(EventStreamTest, ThePendingLimitDeliversEarlyWithoutLoss) {
    Stream::Options options;
    options.maxPendingPaths = 16;
    START_OR_SKIP(options);
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(touch(at("storm ") + QByteArray::number(i)));
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(mCollector.waitForPath(at("storm ") + QByteArray::number(i), Stream::ItemCreated)) << i;
    EXPECT_TRUE(mCollector.waitForReport(Stream::Report::PendingLimit));
    EXPECT_GT(mCollector.batches().size(), 1);
}

// A consumer that stalls the stream lets the kernel queue overflow; the loss is reported (and can
// be written to the daemon trace) and the root is flagged for a rescan.
TEST_P(EventStreamTest, AKernelQueueOverflowIsReportedAndTraced) {
    QTemporaryDir traceDir;
    ASSERT_TRUE(traceDir.isValid());
    RezodeLoger trace;
    trace.setLogWritePath(traceDir.filePath(QStringLiteral("trace.txt")));

    std::mutex gate;
    std::condition_variable opened;
    bool blocked = false, release = false;
    auto letGo = [&] {
        {
            std::lock_guard lock(gate);
            release = true;
        }
        opened.notify_all();
    };
    // Whatever happens below, the stream's thread is let go before the stream is stopped.
    struct Opener {
        std::function<void()> run;
        ~Opener() { run(); }
    } opener{letGo};

    Stream::Options options;
    options.maxPendingPaths = 1000000;
    mStream = openStream(options);
    if (!mStream)
        GTEST_SKIP() << qPrintable(mSkipReason);
    Collector* collector = &mCollector;
    ASSERT_TRUE(mStream->start(
        [&](QList<Stream::Event> b) {
            // The first batch holds the stream's thread until the storm is over.
            std::unique_lock lock(gate);
            blocked = true;
            opened.notify_all();
            opened.wait(lock, [&] { return release; });
            lock.unlock();
            collector->batch(std::move(b));
        },
        [&](const Stream::Report& r) {
            collector->report(r);
            trace.logDaemonTrace(r.message, true);
        }));
    ASSERT_TRUE(touch(at("first")));
    {
        std::unique_lock lock(gate);
        ASSERT_TRUE(opened.wait_for(lock, kPatience, [&] { return blocked; }));
    }
    // Into a folder already watched: the stalled thread could not watch a new one.
    for (int i = 0; i < 40000; ++i)
        ASSERT_TRUE(touch(at("storm ") + QByteArray::number(i)));
    letGo();
    ASSERT_TRUE(mCollector.waitForReport(Stream::Report::EventsLost));
    ASSERT_TRUE(mCollector.waitForPath(mRoot, Stream::MustScanSubDirs | Stream::KernelDropped));
    mStream->stop();
    QFile traced(traceDir.filePath(QStringLiteral("trace.txt")));
    ASSERT_TRUE(traced.open(QIODevice::ReadOnly));
    EXPECT_TRUE(traced.readAll().contains("queue overflowed")) << "the loss reaches the daemon trace";
}

INSTANTIATE_TEST_SUITE_P(Backends, EventStreamTest,
                         ::testing::Values(std::string("fanotify"), std::string("inotify")),
                         [](const auto& info) { return info.param; });

TEST(InotifyEventStream, FailsToStartOnAMissingFolder) {
    Stream::Options options;
    options.root = QStringLiteral("/nonexistent/zh-events");
    InotifyEventStream stream(kLatency, options);
    EXPECT_FALSE(stream.start([](auto) {}, [](const auto&) {}));
    EXPECT_FALSE(stream.isRunning());
    EXPECT_TRUE(stream.lastError().contains(QStringLiteral("/nonexistent/zh-events")))
        << qPrintable(stream.lastError());
}

TEST(InotifyEventStream, WatchesTheUsersFolderWhenRootIsTheWholeDisk) {
    QTemporaryDir users;
    ASSERT_TRUE(users.isValid());
    Stream::Options options;
    options.usersFolder = users.path();
    InotifyEventStream stream(kLatency, options);
    EXPECT_EQ(stream.folder(), QDir(users.path()).canonicalPath());
}

TEST(InotifyEventStream, WatchesEveryFolderOfAnExistingTree) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("a/b/c")));
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("d")));
    Stream::Options options;
    options.root = dir.path();
    InotifyEventStream stream(kLatency, options);
    ASSERT_TRUE(stream.open());
    EXPECT_EQ(stream.watchCount(), 5);
}

TEST(EventStreamFactory, GivesTheWholeDiskStreamToRoot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the whole-disk stream needs root";
    QTemporaryDir dir(QStringLiteral("/var/tmp/zh-events-XXXXXX"));
    Stream::Options options;
    options.root = dir.path();
    QString why;
    auto stream = Stream::create(Timings::standard().fileEventLatency, options, &why);
    if (stream->backendName() != QLatin1String("fanotify"))
        GTEST_SKIP() << "fanotify refused on this machine: " << qPrintable(why);
    EXPECT_TRUE(why.isEmpty());
    auto* fan = dynamic_cast<FanotifyEventStream*>(stream.get());
    ASSERT_NE(fan, nullptr);
    EXPECT_FALSE(fan->markedFileSystems().isEmpty());
}

// A folder no fanotify mark covers (here a tmpfs) is watched with inotify beside it; a disk mounted while
// the stream runs gets its mark then.
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
    QTemporaryDir dir(QStringLiteral("/var/tmp/zh-events-XXXXXX"));
    const QByteArray tree = QFile::encodeName(dir.path());
    const QString image = dir.filePath(QStringLiteral("disk.img"));
    if (::geteuid() != 0 ||
        QProcess::execute(QStringLiteral("truncate"), {QStringLiteral("-s"), QStringLiteral("16M"), image}) !=
            0 ||
        QProcess::execute(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), image}) !=
            0)
        GTEST_SKIP() << "needs root and mkfs.ext4";
    TestMount homes(tree + "/homes",
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("tmpfs")});
    Stream::Options options;
    options.root = dir.path();
    QString why;
    auto stream = Stream::create(kLatency, options, &why);
    if (!homes.ok || stream->backendName() == QLatin1String("inotify"))
        GTEST_SKIP() << "no tmpfs, or fanotify refused: " << qPrintable(why);
    ASSERT_EQ(stream->backendName(), QStringLiteral("fanotify+inotify"));
    Collector c;
    ASSERT_TRUE(stream->start([&](QList<Stream::Event> b) { c.batch(std::move(b)); },
                              [&](const Stream::Report& r) { c.report(r); }));
    ASSERT_TRUE(touch(homes.at + "/new.txt"));
    EXPECT_TRUE(c.waitForPath(homes.at + "/new.txt", Stream::ItemCreated));
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
    stream->stop();
}

// Without CAP_SYS_ADMIN the factory falls back to inotify and says why.
TEST(EventStreamFactory, FallsBackToInotifyWithoutTheCapability) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    uid_t uid = ::geteuid();
    gid_t gid = ::getegid();
    if (uid == 0) {
        QString error;
        const FixtureUser user = FixtureUser::get(&error);
        if (user.uid == 0)
            GTEST_SKIP() << "no unprivileged account to drop to: " << qPrintable(error);
        uid = user.uid;
        gid = user.gid;
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if ((::getegid() != gid && ::setgid(gid) != 0) || (::geteuid() != uid && ::setuid(uid) != 0))
            ::_exit(10);
        Stream::Options options;
        options.root = QFile::decodeName(QFile::encodeName(dir.path()));
        QString why;
        auto stream = Stream::create(std::chrono::milliseconds(100), options, &why);
        if (stream->backendName() != QLatin1String("inotify"))
            ::_exit(11);
        if (why.isEmpty())
            ::_exit(12);
        ::_exit(stream->lastError().isEmpty() ? 0 : 13); // subscribed
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 no drop, 11 wrong back end, 12 no reason, 13 no start";
}

// A user namespace of its own gets its own, tiny inotify watch limit; the folders beyond it are
// reported for a rescan and the limit is reported once.
TEST(InotifyEventStream, ReportsTheWatchLimit) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("f%1/g").arg(i)));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(60);
        if (::unshare(CLONE_NEWUSER) != 0)
            ::_exit(20);
        const int fd = ::open("/proc/sys/user/max_inotify_watches", O_WRONLY | O_CLOEXEC);
        if (fd < 0 || ::write(fd, "4", 1) != 1)
            ::_exit(20);
        ::close(fd);
        Stream::Options options;
        options.root = dir.path();
        InotifyEventStream stream(kLatency, options);
        Collector collector;
        if (!stream.start([&](QList<Stream::Event> b) { collector.batch(std::move(b)); },
                          [&](const Stream::Report& r) { collector.report(r); }))
            ::_exit(21);
        if (!collector.waitForReport(Stream::Report::WatchLimit))
            ::_exit(22);
        const bool rescan = collector.waitFor([](const auto& batches) {
            for (const auto& b : batches) {
                for (const auto& e : b) {
                    if (e.flags & Stream::MustScanSubDirs && e.flags & Stream::UserDropped)
                        return true;
                }
            }
            return false;
        });
        int limits = 0;
        for (const auto& r : collector.reports())
            limits += r.kind == Stream::Report::WatchLimit;
        stream.stop();
        ::_exit(!rescan ? 23 : limits != 1 ? 24 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child hung or crashed";
    if (WEXITSTATUS(status) == 20)
        GTEST_SKIP() << "no user namespace with its own inotify limit on this machine";
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "21 no start, 22 no report, 23 no rescan event, 24 reported more than once";
}
