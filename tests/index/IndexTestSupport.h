#pragma once

#include "DataBaseWraper.h"
#include "IndexThrottle.h"
#include "SQLiteDatabase.h"
#include "SQLiteResultSet.h"
#include "Timings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <ostream>
#include <sqlite3.h>
#include <utility>

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace indextest {

// Every index and listing pause off, a brisk updater tick.
inline Timings quickTimings() {
    Timings t;
    using std::chrono::milliseconds;
    t.indexUpdateInterval = milliseconds(40);
    t.indexDeltaCreationPause = milliseconds(0);
    t.indexBackupRecordsPause = milliseconds(0);
    t.indexListingRecordsPause = milliseconds(0);
    t.indexMergeRowsPause = milliseconds(0);
    t.indexFolderEntriesPause = milliseconds(0);
    t.listingFirstLevelGrace = milliseconds(0);
    t.listingFolderGrace = milliseconds(0);
    t.listingFolderPause = milliseconds(0);
    t.listingLinesPause = milliseconds(0);
    return t;
}

// Counts the pauses taken, per kind, from any thread.
class PauseCounter {
  public:
    IndexThrottle::Observer observer() {
        return [this](IndexThrottle::Pause pause) { mCounts[size_t(pause)].fetch_add(1); };
    }
    int count(IndexThrottle::Pause pause) const { return mCounts[size_t(pause)].load(); }
    void reset() {
        for (auto& c : mCounts)
            c = 0;
    }

  private:
    std::array<std::atomic<int>, 5> mCounts{};
};

// Runs a read of a master; while a merge holds it locked, tries again (for up to five seconds).
template <typename Read>
auto readMaster(const QString& dbFile, Read read) -> decltype(read(std::declval<SQLiteDatabase&>())) {
    using Result = decltype(read(std::declval<SQLiteDatabase&>()));
    for (int attempt = 0;; ++attempt) {
        SQLiteDatabase db(dbFile);
        if (!QFileInfo::exists(dbFile) || !db.openReadOnly())
            return std::nullopt;
        Result result = read(db);
        const int code = db.lastErrorCode();
        if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || attempt >= 500)
            return result;
        QThread::msleep(10);
    }
}

inline qint64 rowCount(const QString& dbFile, const QString& table = QStringLiteral("FILE_TABLE")) {
    const auto count = readMaster(dbFile, [&](SQLiteDatabase& db) -> std::optional<qint64> {
        return db.intForQuery(QStringLiteral("SELECT count(*) FROM %1").arg(table));
    });
    return count.value_or(-1);
}

// The row of path in a master: every column by name as text ("<null>" for NULL), plus "sizeType"
// of FILE_SIZE. Empty when absent.
inline QVariantMap masterRow(const QString& dbFile, const QString& path) {
    const auto row = readMaster(dbFile, [&](SQLiteDatabase& db) -> std::optional<QVariantMap> {
        auto rows = db.executeQuery(QStringLiteral("SELECT *, typeof(FILE_SIZE) AS sizeType FROM FILE_TABLE "
                                                   "WHERE FILEPATH = ?"),
                                    {path});
        if (!rows || !rows->next())
            return QVariantMap();
        QVariantMap out;
        for (const char* column : {"FILEPATH", "FILE_LMD", "FILE_SIZE", "FILE_OR_FOLDER", "ATTRIBUTES",
                                   "RESERVED1", "RESERVED2", "sizeType"}) {
            const QString name = QLatin1String(column);
            const QString value = rows->stringForColumn(name);
            out.insert(name, value.isNull() ? QStringLiteral("<null>") : value);
        }
        return out;
    });
    return row.value_or(QVariantMap());
}

inline QStringList masterPaths(const QString& dbFile) {
    const auto paths = readMaster(dbFile, [&](SQLiteDatabase& db) -> std::optional<QStringList> {
        QStringList out;
        auto rows = db.executeQuery(QStringLiteral("SELECT FILEPATH FROM FILE_TABLE"));
        while (rows && rows->next())
            out << rows->stringForColumnIndex(0);
        return out;
    });
    return paths.value_or(QStringList());
}

inline QStringList filesWithSuffix(const QString& folder, const QString& suffix) {
    QStringList found;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        if (name.endsWith(suffix))
            found << name;
    return found;
}

// A seven-value record for a path.
inline QVariantList record(const QString& path, const QString& lmd, const QVariant& size = qint64(1),
                           bool folder = false, const QString& attributes = QStringLiteral("NA"),
                           const QString& reserved1 = QStringLiteral("NA")) {
    return {path, lmd, size, folder, attributes, reserved1, QStringLiteral("NA")};
}

// Writes a finished delta holding the records; returns its file name.
inline QString writeDelta(const QString& folder, const QList<QVariantList>& records) {
    Timings t = quickTimings();
    DataBaseWraper delta{IndexThrottle(t)};
    if (!delta.initializeDatabaseAtPath(folder, QStringLiteral("unused"), false))
        return QString();
    const QString progress = delta.dbPath();
    delta.beginTransaction();
    for (const QVariantList& r : records)
        delta.insertRecord(r, false, false);
    delta.commitTransaction();
    delta.unInitializeDatabase();
    return QFileInfo(progress.left(progress.size() - qsizetype(strlen(".progress")))).fileName();
}

} // namespace indextest
