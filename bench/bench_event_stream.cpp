// A storm of creates against each Linux event stream and against `inotifywait -m -r` on the same
// storm: events per second (storm start until the last create is delivered) and CPU time, the median
// of three rounds.
//
//   bench_event_stream [creates=100000] [parent folder=/var/tmp]

#include "Timings.h"
#include "linux/FanotifyEventStream.h"
#include "linux/InotifyEventStream.h"

#include "BenchTable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kFolders = 100;
constexpr auto kLatency = 200ms; // short, so the wait for the last window does not swamp the figure

struct Result {
    bool ok = false;
    double seconds = 0;    // storm start until every create was delivered
    double cpuSeconds = 0; // the consumer's CPU
    double stormSeconds = 0;
    quint64 kernelEvents = 0;
    int losses = 0;
    QString note;
};

// Folder tree with kFolders empty folders; returns the folder names.
QList<QByteArray> makeTree(const QByteArray& tree) {
    ::mkdir(tree.constData(), 0755);
    QList<QByteArray> folders;
    for (int i = 0; i < kFolders; ++i) {
        folders << tree + "/d" + QByteArray::number(i);
        ::mkdir(folders.last().constData(), 0755);
    }
    return folders;
}

double storm(const QList<QByteArray>& folders, int count) {
    const auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        const QByteArray path = folders[i % folders.size()] + "/file " + QByteArray::number(i);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

Result runStream(bool fanotify, const QByteArray& tree, int count) {
    Result result;
    const QList<QByteArray> folders = makeTree(tree);
    FileSystemEventStream::Options options;
    options.root = QFile::decodeName(tree);
    std::unique_ptr<DescriptorEventStream> stream;
    if (fanotify)
        stream = std::make_unique<FanotifyEventStream>(kLatency, options);
    else
        stream = std::make_unique<InotifyEventStream>(kLatency, options);

    std::mutex mutex;
    std::condition_variable done;
    int created = 0;
    int losses = 0;
    Clock::time_point last;
    const bool started = stream->start(
        [&](QList<FileSystemEventStream::Event> batch) {
            int n = 0;
            for (const auto& e : batch)
                n += (e.flags & FileSystemEventStream::ItemCreated) &&
                     (e.flags & FileSystemEventStream::ItemIsFile);
            std::lock_guard lock(mutex);
            created += n;
            last = Clock::now();
            done.notify_all();
        },
        [&](const FileSystemEventStream::Report& r) {
            std::lock_guard lock(mutex);
            if (r.kind == FileSystemEventStream::Report::EventsLost)
                ++losses;
            std::fprintf(stderr, "  report: %s\n", qPrintable(r.message));
            done.notify_all();
        });
    if (!started) {
        result.note = stream->lastError();
        return result;
    }
    const auto cpuBefore = stream->cpuTime();
    const auto t0 = Clock::now();
    result.stormSeconds = storm(folders, count);
    std::unique_lock lock(mutex);
    result.ok = done.wait_for(lock, 120s, [&] { return created >= count || losses > 0; }) && created >= count;
    result.seconds = std::chrono::duration<double>(last - t0).count();
    result.losses = losses;
    lock.unlock();
    stream->stop(); // samples the thread's CPU once more
    result.cpuSeconds = std::chrono::duration<double>(stream->cpuTime() - cpuBefore).count();
    result.kernelEvents = stream->eventsRead();
    if (!result.ok)
        result.note = QStringLiteral("%1 of %2 creates delivered").arg(created).arg(count);
    return result;
}

double processCpuSeconds(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command name (which may hold blanks) start behind the last ')'.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

Result runInotifywait(const QByteArray& tree, int count) {
    Result result;
    const QList<QByteArray> folders = makeTree(tree);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        result.note = QStringLiteral("pipe failed");
        return result;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execlp("inotifywait", "inotifywait", "-m", "-r", "--format", "%e %w%f", "-e", "create", "-e",
                 "delete", "-e", "moved_from", "-e", "moved_to", "-e", "close_write", "-e", "attrib",
                 tree.constData(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    // It says on standard error when its watches are in place.
    QByteArray said;
    char chunk[512];
    while (!said.contains("Watches established")) {
        const ssize_t n = ::read(err[0], chunk, sizeof chunk);
        if (n <= 0) {
            result.note = QStringLiteral("inotifywait did not start: ") + QString::fromLocal8Bit(said);
            ::waitpid(pid, nullptr, 0);
            return result;
        }
        said.append(chunk, n);
    }
    std::atomic<int> created{0};
    std::atomic<bool> overflow{false};
    Clock::time_point last;
    std::thread reader([&] {
        std::vector<char> buffer(1 << 16);
        QByteArray partial;
        for (;;) {
            const ssize_t n = ::read(out[0], buffer.data(), buffer.size());
            if (n <= 0)
                return;
            partial.append(buffer.data(), n);
            qsizetype start = 0, end;
            while ((end = partial.indexOf('\n', start)) >= 0) {
                const QByteArrayView line(partial.constData() + start, end - start);
                if (line.startsWith("CREATE ")) {
                    if (++created == count)
                        last = Clock::now();
                } else if (line.contains("Q_OVERFLOW")) {
                    overflow = true;
                }
                start = end + 1;
            }
            partial.remove(0, start);
        }
    });
    const auto t0 = Clock::now();
    result.stormSeconds = storm(folders, count);
    const auto deadline = Clock::now() + 120s;
    while (created < count && !overflow && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    result.ok = created >= count;
    result.seconds = std::chrono::duration<double>(last - t0).count();
    result.cpuSeconds = processCpuSeconds(pid);
    result.losses = overflow ? 1 : 0;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    reader.join();
    ::close(out[0]);
    ::close(err[0]);
    if (!result.ok)
        result.note = QStringLiteral("%1 of %2 creates printed%3")
                          .arg(created.load())
                          .arg(count)
                          .arg(overflow ? QStringLiteral(", queue overflow") : QString());
    return result;
}

void print(const char* name, const Result& r, int count) {
    if (!r.ok) {
        std::printf("%-12s failed: %s\n", name, qPrintable(r.note));
        return;
    }
    std::printf("%-12s %9.0f events/s  delivered in %6.3f s (storm %6.3f s)  CPU %6.3f s  (%.2f us/create)",
                name, count / r.seconds, r.seconds, r.stormSeconds, r.cpuSeconds, 1e6 * r.cpuSeconds / count);
    if (r.kernelEvents)
        std::printf("  kernel events %llu", static_cast<unsigned long long>(r.kernelEvents));
    std::printf("\n");
}

void compare(const char* name, const Result& stream, const Result& reference, int count) {
    if (!stream.ok || !reference.ok)
        return;
    std::printf("%-12s vs inotifywait: throughput x%.2f, CPU x%.2f (lower is cheaper)\n", name,
                reference.seconds / stream.seconds, stream.cpuSeconds / reference.cpuSeconds);
    tableRow(qPrintable(QStringLiteral("event storm, %1 (events/s)").arg(QLatin1String(name))),
             QString::number(count / stream.seconds, 'f', 0),
             QStringLiteral("inotifywait %1").arg(count / reference.seconds, 0, 'f', 0),
             ratioText(reference.seconds / stream.seconds), "≥ 1.0×");
}

// The result with the median time of those that went through (the first one when none did).
Result median(std::vector<Result> results) {
    std::vector<Result> ok;
    std::copy_if(results.begin(), results.end(), std::back_inserter(ok),
                 [](const Result& r) { return r.ok; });
    if (ok.empty())
        return results.front();
    std::sort(ok.begin(), ok.end(), [](const Result& a, const Result& b) { return a.seconds < b.seconds; });
    return ok[ok.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const QString parent = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("/var/tmp");
    QTemporaryDir dir(parent + QStringLiteral("/zh-event-bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a folder in %s\n", qPrintable(parent));
        return 1;
    }
    const QByteArray base = QFile::encodeName(QDir(dir.path()).canonicalPath());
    std::printf("storm: %d creates (open O_CREAT + close) over %d folders in %s; latency %lld ms "
                "(the daemon runs with %lld ms)\n",
                count, kFolders, base.constData(), static_cast<long long>(kLatency.count()),
                static_cast<long long>(Timings::standard().fileEventLatency.count()));

    // Three rounds, each kind once a round, so the three meet the same changes of load; each figure is
    // the round with the median time.
    const bool root = ::geteuid() == 0;
    std::vector<Result> references, inotifies, fanotifies;
    for (int round = 0; round < 3; ++round) {
        const QByteArray suffix = QByteArray::number(round);
        references.push_back(runInotifywait(base + "/inotifywait" + suffix, count));
        print("inotifywait", references.back(), count);
        inotifies.push_back(runStream(false, base + "/inotify" + suffix, count));
        print("inotify", inotifies.back(), count);
        if (root) {
            fanotifies.push_back(runStream(true, base + "/fanotify" + suffix, count));
            print("fanotify", fanotifies.back(), count);
        }
    }
    const Result reference = median(references);
    compare("inotify", median(inotifies), reference, count);
    if (root)
        compare("fanotify", median(fanotifies), reference, count);
    else
        std::printf("fanotify     skipped: needs root\n");
    std::printf("cleaning up...\n");
    return 0;
}
