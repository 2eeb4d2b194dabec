// Latency of the application's search over a master of 1,000,000 rows: a rare name, a name in a
// thousand rows, a machine folder matching a tenth of the rows, and a text found nowhere. Wall time
// (the machine may be loaded) and the CPU time the search took, median and best of nine.

#include "BenchTable.h"
#include "DataBaseWraper.h"
#include "IndexSearch.h"

#include <QElapsedTimer>
#include <QThread>

#include <QFile>
#include <QTemporaryDir>
#include <atomic>
#include <thread>

#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

void buildMaster(const QString& file, int rows) {
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(file).constData(), &db);
    sqlite3_exec(db, DataBaseWraper::CreateMasterSQL.toUtf8().constData(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION;", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO FILE_TABLE VALUES(?,?,?,?,'NA','NA','NA')", -1, &st, nullptr);
    for (int i = 0; i < rows; ++i) {
        const QByteArray path = QStringLiteral("Mac%1/Users/alice/Documents/Project %2/file %3.txt")
                                    .arg(i % 10)
                                    .arg(i / 1000)
                                    .arg(i)
                                    .toUtf8();
        sqlite3_bind_text(st, 1, path.constData(), int(path.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, "2016-03-04 05:06:07 +0000", -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 3, i);
        sqlite3_bind_int(st, 4, 0);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT TRANSACTION;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

double threadCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// Wall and CPU time of a search for a page of 500; returns the median wall time in ms.
double measure(const QString& folder, const QString& text, const char* label) {
    constexpr int runs = 9;
    const QString master = IndexSearch::masterPath(folder, QStringLiteral("alice"));
    std::vector<double> wall, cpu;
    qsizetype hits = 0;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = threadCpuMs();
        const IndexSearch::Page page = IndexSearch::search(master, text);
        wall.push_back(timer.nsecsElapsed() / 1e6);
        cpu.push_back(threadCpuMs() - cpuStart);
        hits = page.status == IndexSearch::Status::Ok ? page.hits.size() : -1;
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%-28s %4lld hits  median %6.1f ms (cpu %6.1f)  best %6.1f ms (cpu %6.1f)\n", label,
                static_cast<long long>(hits), wall[runs / 2], cpu[runs / 2], wall[0], cpu[0]);
    std::fflush(stdout);
    return wall[runs / 2];
}

// The baseline: the bare SQLite query a search comes down to, a LIKE over every path, first page.
double bareQuery(const QString& folder, const char* pattern) {
    const QByteArray master = QFile::encodeName(IndexSearch::masterPath(folder, QStringLiteral("alice")));
    sqlite3* db = nullptr;
    sqlite3_open_v2(master.constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    std::vector<double> wall;
    for (int run = 0; run < 9; ++run) {
        QElapsedTimer timer;
        timer.start();
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT * FROM FILE_TABLE WHERE FILEPATH LIKE ?1 LIMIT 500", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, pattern, -1, SQLITE_STATIC);
        while (sqlite3_step(st) == SQLITE_ROW) {
        }
        sqlite3_finalize(st);
        wall.push_back(timer.nsecsElapsed() / 1e6);
    }
    sqlite3_close(db);
    std::sort(wall.begin(), wall.end());
    return wall[wall.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    QTemporaryDir dir;
    QElapsedTimer build;
    build.start();
    buildMaster(DataBaseWraper::masterPath(dir.path(), QStringLiteral("alice")), rows);
    std::printf("master of %d rows built in %.1f s\n", rows, build.nsecsElapsed() / 1e9);
    measure(dir.path(), QStringLiteral("file 123456.txt"), "one hit");
    measure(dir.path(), QStringLiteral("project 42/"), "a folder (1,000 hits)");
    measure(dir.path(), QStringLiteral("Mac7/"), "a machine (a tenth)");
    const double none = measure(dir.path(), QStringLiteral("no such name"), "no hit");
    const double bareNone = bareQuery(dir.path(), "%no such name%");
    std::printf("bare SQLite LIKE, no hit      median %6.1f ms\n", bareNone);
    tableRow(qPrintable(QStringLiteral("search over %1 rows, no hit (median)").arg(rows)),
             QStringLiteral("%1 ms").arg(none, 0, 'f', 0),
             QStringLiteral("bare LIKE %1 ms").arg(bareNone, 0, 'f', 0), ratioText(none / bareNone),
             "< 150 ms");

    // The same while the daemon merges 1,500-row deltas with its standard pauses.
    std::atomic<bool> done{false};
    std::thread merging([&] {
        for (int round = 0; !done; ++round) {
            DataBaseWraper delta;
            delta.initializeDatabaseAtPath(dir.path(), QStringLiteral("alice"), false);
            delta.beginTransaction();
            for (int i = 0; i < 1500; ++i)
                delta.insertRecord({QStringLiteral("Merged/%1/%2").arg(round).arg(i),
                                    QStringLiteral("2016-03-04 05:06:07 +0000"), qint64(i), false,
                                    QStringLiteral("NA"), QStringLiteral("NA"), QStringLiteral("NA")},
                                   false, false);
            delta.commitTransaction();
            const QString finished = delta.dbPath().chopped(9);
            delta.unInitializeDatabase();
            DataBaseWraper merge;
            merge.openDatabaseAtPath(finished, QString());
            merge.updateMasterDatabaseWorker(dir.path(), QStringLiteral("alice"));
            merge.removeDataBaseAtPath(finished);
        }
    });
    QThread::msleep(1500);
    measure(dir.path(), QStringLiteral("file 123456.txt"), "one hit, during a merge");
    measure(dir.path(), QStringLiteral("project 42/"), "a folder, during a merge");
    measure(dir.path(), QStringLiteral("no such name"), "no hit, during a merge");
    done = true;
    merging.join();
    return 0;
}
