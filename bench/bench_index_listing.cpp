// A server listing of N entries through the real listing pipeline (RezodeListAndUpdateToDBController
// with its back-pressure, DBManager's intake, deltas and merges) into the master, with the time it
// takes and the peak resident memory of the process that does it. The listing comes from this program
// itself standing in for rsync (started like the private rsync, it prints list-only lines), so the
// child is stopped and continued like the real one.
//
//     bench_index_listing [entries]   default 20,000; each size runs in a fresh process, beside a
//                                     reference run at 100,000 entries (a tenth of N below that)
//
// The throttling pauses are off (they only stretch the time) and the updater ticks every 0.5 s.

#include "RezodeListAndUpdateToDBController.h"
#include "RezodeLoger.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr const char* kEntriesVariable = "ZH_BENCH_LISTING_ENTRIES";
constexpr int kDefaultEntries = 20000;

long peakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The stand-in rsync: the first level names one machine folder; the folder listing prints "." and
// then the entries, a folder every twentieth line, as rsync prints them.
int printListing(bool recursive) {
    std::string out;
    if (!recursive) {
        out = "drwxr-xr-x          4,096 2016/03/04 05:06:07 .\n"
              "drwxr-xr-x          4,096 2016/03/04 05:06:07 Mac\n";
        return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() ? 0 : 1;
    }
    const char* value = std::getenv(kEntriesVariable);
    const long entries = value ? std::atol(value) : 0;
    out = "drwxr-xr-x          4,096 2016/03/04 05:06:07 .\n";
    for (long i = 0; i < entries; ++i) {
        out += i % 20 == 0 ? "drwxr-xr-x          4,096 " : "-rw-r--r--      1,234,567 ";
        out += "2016/03/04 05:06:07 Users/alice/Documents/Project " + std::to_string(i / 100) + "/My File " +
               std::to_string(i) + ".txt\n";
        if (out.size() > 60000) {
            if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size())
                return 1;
            out.clear();
        }
    }
    const bool written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
    return written && std::fflush(stdout) == 0 ? 0 : 1;
}

qint64 masterRows(const QString& path) {
    sqlite3* db = nullptr;
    qint64 rows = -1;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT count(*) FROM FILE_TABLE", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            rows = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return rows;
}

// One listing of `entries` entries in this process; prints one result line.
int runListing(int argc, char** argv, long entries) {
    QCoreApplication app(argc, argv);
    const long baseline = peakRssKiB();
    QTemporaryDir root;
    const PlatformProfile profile = PlatformProfile::forLinux(root.path());
    RezodeLoger logger;
    logger.setLogWritePath(root.filePath(QStringLiteral("trace.log")));

    Timings timings = Timings::standard();
    timings.indexUpdateInterval = 500ms;
    timings.indexDeltaCreationPause = 0ms;
    timings.indexListingRecordsPause = 0ms;
    timings.indexMergeRowsPause = 0ms;
    timings.indexFolderEntriesPause = 0ms;
    timings.listingFirstLevelGrace = 0ms;
    timings.listingFolderGrace = 0ms;
    timings.listingFolderPause = 0ms;
    timings.listingLinesPause = 0ms;

    RezodeListAndUpdateToDBController lister(profile, logger, IndexThrottle(timings));
    const QString support = root.filePath(QStringLiteral("support"));
    const QString self = QCoreApplication::applicationFilePath();
    lister.setUserName(QStringLiteral("alice"));
    lister.setUserPasswd(QStringLiteral("bench"));
    lister.setServerIp(QStringLiteral("127.0.0.1"));
    lister.setDbPath(support);
    if (const passwd* self = ::getpwuid(::geteuid())) // a root process names whose index it is
        lister.setLocalUser(QString::fromLocal8Bit(self->pw_name));
    lister.setIsBuiltinRsync(false);
    lister.setLaunchPath(self);
    lister.setArguments(
        RezodeListAndUpdateToDBController::firstLevelCommand(
            false, self, QStringLiteral("alice"), QStringLiteral("127.0.0.1"), timings.rsyncStallTimeout)
            .arguments);
    qputenv(kEntriesVariable, QByteArray::number(qint64(entries)));
    const QString master = support + QStringLiteral("/alice/alice.zx");

    qsizetype largestBacklog = 0;
    qsizetype largestIntake = 0;
    double listedSeconds = -1;
    qint64 rows = 0;
    QElapsedTimer timer;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] {
        largestBacklog = std::max(largestBacklog, lister.pendingLines());
        largestIntake = std::max(largestIntake, lister.dbManager().pendingListingRecords());
        if (lister.isRunning())
            return;
        if (listedSeconds < 0)
            listedSeconds = timer.nsecsElapsed() / 1e9;
        // Every entry is in the master once the intake is empty and the last delta is merged.
        if (lister.dbManager().pendingListingRecords() == 0 && (rows = masterRows(master)) >= entries)
            app.quit();
    });
    QTimer::singleShot(3600s, &app, [&] { app.exit(1); });
    timer.start();
    sample.start(10);
    lister.initialListing();
    const int result = app.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    lister.dbManager().stopDBOperationImmediately();
    std::printf("%9ld entries  listed %7.1f s  in the master %7.1f s (%8.0f rows/s)  rows %9lld  "
                "peak RSS %7.1f MiB (at start %5.1f)  largest backlog %5lld lines, intake %6lld\n",
                entries, listedSeconds, seconds, rows / seconds, static_cast<long long>(rows),
                peakRssKiB() / 1024.0, baseline / 1024.0, static_cast<long long>(largestBacklog),
                static_cast<long long>(largestIntake));
    std::fflush(stdout);
    return result == 0 && rows == entries ? 0 : 1;
}

// Runs one size in a fresh process, so that each peak is its own.
int runInChild(long entries) {
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string size = std::to_string(entries);
        ::execl("/proc/self/exe", "bench_index_listing", "--run", size.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char** argv) {
    bool listOnly = false;
    bool recursive = false;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) { // the lister asks what it may pass
        std::printf("rsync  version 3.2.7  protocol version 31\n");
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        listOnly = listOnly || std::strcmp(argv[i], "--list-only") == 0;
        recursive = recursive || std::strcmp(argv[i], "--recursive") == 0;
    }
    if (listOnly)
        return printListing(recursive);
    if (argc > 2 && std::strcmp(argv[1], "--run") == 0)
        return runListing(argc, argv, std::atol(argv[2]));

    const long entries = argc > 1 ? std::max(1L, std::atol(argv[1])) : kDefaultEntries;
    const long reference = entries > 100000 ? 100000 : std::max(1L, entries / 10);
    std::printf("server listing through the pipeline into the master (pauses off, 0.5 s ticks)\n");
    int failed = runInChild(reference);
    failed |= runInChild(entries);
    return failed;
}
