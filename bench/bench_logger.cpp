// Measures the trace logger: lines per second with a flush on every line (how every caller uses it)
// and with buffering, from one thread and from four.

#include "RezodeLoger.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

double run(int threads, int linesPerThread, bool flush) {
    QTemporaryDir dir;
    RezodeLoger logger;
    logger.setLogWritePath(dir.filePath(QStringLiteral("trace.txt")));
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < linesPerThread; ++i)
                logger.logDaemonTrace(QStringLiteral("file /home/user/Documents/report %1.txt sent").arg(i),
                                      flush);
        });
    for (auto& w : workers)
        w.join();
    logger.logDaemonTrace(QStringLiteral(""), true);
    return threads * linesPerThread / (timer.nsecsElapsed() / 1e9);
}

} // namespace

int main() {
    std::printf("logger, flush every line, 1 thread : %10.0f lines/s\n", run(1, 20000, true));
    std::printf("logger, flush every line, 4 threads: %10.0f lines/s\n", run(4, 5000, true));
    std::printf("logger, buffered,         1 thread : %10.0f lines/s\n", run(1, 200000, false));
    std::printf("logger, buffered,         4 threads: %10.0f lines/s\n", run(4, 50000, false));
    return 0;
}
