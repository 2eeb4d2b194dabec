// Merge rate of the index (rows of a finished delta moved into the master, throttling pauses off)
// against a bare SQLite insert loop into the same schema, in one run, as a ratio of medians of five.
// Three cases: new paths into an empty master, new paths into a large master (also against bare
// inserts into a copy of it), and known paths (the update check).

#include "BenchTable.h"
#include "DataBaseWraper.h"
#include "SQLiteDatabase.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

Timings noPauses() {
    Timings t;
    t.indexDeltaCreationPause = t.indexMergeRowsPause = std::chrono::milliseconds(0);
    return t;
}

QString pathFor(int i) {
    return QStringLiteral("MyMac/Users/alice/Documents/Project %1/file %2.txt").arg(i / 100).arg(i);
}

// The best a writer could do: one transaction, one prepared statement reused for every row, paths
// first to first + rows - 1 (into a new table, or the one the file holds).
double bareInsert(const QString& file, int first, int rows) {
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(file).constData(), &db);
    sqlite3_exec(db, DataBaseWraper::CreateMasterSQL.toUtf8().constData(), nullptr, nullptr, nullptr);
    QElapsedTimer timer;
    timer.start();
    sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION;", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO FILE_TABLE VALUES(?,?,?,?,?,?,?)", -1, &st, nullptr);
    for (int i = first; i < first + rows; ++i) {
        const QByteArray path = pathFor(i).toUtf8();
        sqlite3_bind_text(st, 1, path.constData(), int(path.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, "2016-03-04 05:06:07 +0000", -1, SQLITE_STATIC);
        sqlite3_bind_int64(st, 3, i);
        sqlite3_bind_int(st, 4, 0);
        sqlite3_bind_text(st, 5, "NA", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 6, "NA", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 7, "NA", -1, SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT TRANSACTION;", nullptr, nullptr, nullptr);
    const double seconds = timer.nsecsElapsed() / 1e9;
    sqlite3_close(db);
    return rows / seconds;
}

QString writeDelta(const QString& folder, int first, int rows, const QString& lmd) {
    DataBaseWraper delta{IndexThrottle(noPauses())};
    delta.initializeDatabaseAtPath(folder, QStringLiteral("alice"), false);
    const QString progress = delta.dbPath();
    delta.beginTransaction();
    for (int i = first; i < first + rows; ++i)
        delta.insertRecord({pathFor(i), lmd, qint64(i), false, QStringLiteral("NA"), QStringLiteral("NA"),
                            QStringLiteral("NA")},
                           false, false);
    delta.commitTransaction();
    delta.unInitializeDatabase();
    return QFileInfo(progress.chopped(9)).fileName();
}

// Rows per second of one merge (the compaction that follows every merge included).
double merge(const QString& folder, const QString& deltaName, int rows) {
    DataBaseWraper delta{IndexThrottle(noPauses())};
    delta.openDatabaseAtPath(folder, deltaName);
    QElapsedTimer timer;
    timer.start();
    delta.updateMasterDatabaseWorker(folder, QStringLiteral("alice"));
    const double seconds = timer.nsecsElapsed() / 1e9;
    delta.removeDataBaseAtPath(folder + u'/' + deltaName);
    return rows / seconds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1500;     // a delta
    const int large = argc > 2 ? std::atoi(argv[2]) : 1000000; // the large master
    constexpr int runs = 5;                                    // each figure is the median of five
    QTemporaryDir dir;
    const QString early = QStringLiteral("2016-03-04 05:06:07 +0000");

    std::vector<double> bareRuns, emptyRuns, knownRuns, bigRuns, bareBigRuns;
    for (int run = 0; run < runs; ++run) {
        bareRuns.push_back(bareInsert(dir.filePath(QStringLiteral("bare%1.db").arg(run)), 0, rows));
        const QString empty = dir.filePath(QStringLiteral("empty%1").arg(run));
        emptyRuns.push_back(merge(empty, writeDelta(empty, 0, rows, early), rows));
        knownRuns.push_back(
            merge(empty, writeDelta(empty, 0, rows, QStringLiteral("2017-03-04 05:06:07 +0000")), rows));
    }
    const double bare = median(bareRuns);
    std::printf("bare SQLite insert loop            : %10.0f rows/s (%d rows)\n", bare, rows);
    const double intoEmpty = median(emptyRuns);
    std::printf("merge, new paths, empty master     : %10.0f rows/s  ratio %.2f\n", intoEmpty,
                intoEmpty / bare);
    const double known = median(knownRuns);
    std::printf("merge, known paths (update check)  : %10.0f rows/s  ratio %.2f\n", known, known / bare);

    const QString big = dir.filePath(QStringLiteral("big"));
    merge(big, writeDelta(big, 0, large, early), large);
    // The same rows inserted bare into a copy of that master: the work SQLite itself cannot avoid.
    const QString bareBig = dir.filePath(QStringLiteral("bare-big.db"));
    QFile::copy(DataBaseWraper::masterPath(big, QStringLiteral("alice")), bareBig);
    for (int run = 0; run < runs; ++run) {
        bigRuns.push_back(merge(big, writeDelta(big, large + run * rows, rows, early), rows));
        bareBigRuns.push_back(bareInsert(bareBig, large + run * rows, rows));
    }
    const double intoBig = median(bigRuns);
    const double bareIntoBig = median(bareBigRuns);
    std::printf("merge, new paths, %7d-row master: %10.0f rows/s  ratio %.2f (bare into that master %.0f "
                "rows/s, ratio %.2f)\n",
                large, intoBig, intoBig / bare, bareIntoBig, intoBig / bareIntoBig);

    tableRow("index merge, new paths (rows/s)", QString::number(intoEmpty, 'f', 0),
             QStringLiteral("bare SQLite %1").arg(bare, 0, 'f', 0), ratioText(intoEmpty / bare), "≥ 0.5×");
    tableRow("index merge into a large master (rows/s)", QString::number(intoBig, 'f', 0),
             QStringLiteral("bare SQLite %1").arg(bare, 0, 'f', 0), ratioText(intoBig / bare), "≥ 0.5×");
    tableRow("index merge into a large master, against bare inserts into it",
             QString::number(intoBig, 'f', 0), QStringLiteral("bare SQLite %1").arg(bareIntoBig, 0, 'f', 0),
             ratioText(intoBig / bareIntoBig), "≥ 0.5×");
    Timings standard;
    std::printf("with the standard pause of %lld ms per 100 rows the merge is held to at most %.0f rows/s\n",
                static_cast<long long>(standard.indexMergeRowsPause.count()),
                100.0 * 1000.0 / double(standard.indexMergeRowsPause.count()));
    return 0;
}
