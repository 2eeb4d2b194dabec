#pragma once

// What the index tests share: brisk timings, a pause counter, reading index files back, writing files
// and deltas.

#include "DataBaseWraper.h"
#include "EventLoopWait.h"
#include "QtPrinters.h"
#include "Requirements.h"
#include "SQLiteDatabase.h"
#include "SQLiteResultSet.h"
#include "TestRoots.h"

#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <array>
#include <atomic>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

namespace indextest {

using namespace Qt::StringLiterals;

inline const QString kUser = u"alice"_s;
inline const QString kEarly = u"2016-03-04 05:06:07 +0000"_s;
inline const QString kLate = u"2017-01-01 00:00:00 +0000"_s;

// The account this test runs as, named to an index that a root process must be told whose it is.
inline QString processAccount() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString();
}

// Every index and listing pause off, a brisk updater tick.
inline Timings quickTimings() {
    Timings t;
    t.indexUpdateInterval = std::chrono::milliseconds(40);
    t.indexDeltaCreationPause = t.indexBackupRecordsPause = t.indexListingRecordsPause = {};
    t.indexMergeRowsPause = t.indexFolderEntriesPause = {};
    t.listingFirstLevelGrace = t.listingFolderGrace = t.listingFolderPause = t.listingLinesPause = {};
    return t;
}

// Counts the pauses taken, per kind, from any thread.
struct PauseCounter {
    std::array<std::atomic<int>, 5> counts{};
    IndexThrottle::Observer observer() {
        return [this](IndexThrottle::Pause pause) { ++counts[size_t(pause)]; };
    }
    int operator[](IndexThrottle::Pause pause) const { return counts[size_t(pause)]; }
};

// The first column of every row of sql, read-only, waiting out a merge's lock; nothing when the file
// cannot be read.
inline QStringList firstColumn(const QString& file, const QString& sql, const QVariantList& arguments = {}) {
    SQLiteDatabase db(file);
    QStringList out;
    if (!QFileInfo::exists(file) || !db.openReadOnly())
        return out;
    db.setBusyTimeout(10000);
    for (auto rows = db.executeQuery(sql, arguments); rows && rows->next();)
        out << rows->stringForColumnIndex(0);
    return out;
}

// -1 when the file or table cannot be read.
inline qint64 rowCount(const QString& file, const QString& table = DataBaseWraper::MasterTable) {
    return firstColumn(file, u"SELECT count(*) FROM "_s + table).value(0, u"-1"_s).toLongLong();
}

inline QStringList masterPaths(const QString& file) {
    return firstColumn(file, u"SELECT FILEPATH FROM FILE_TABLE ORDER BY FILEPATH"_s);
}

// An expression over the columns of path's row of a master, as text; "<none>" without that row.
inline QString field(const QString& file, const QString& path, const char* expression) {
    return firstColumn(file, u"SELECT %1 FROM FILE_TABLE WHERE FILEPATH = ?"_s.arg(QLatin1String(expression)),
                       {path})
        .value(0, u"<none>"_s);
}

inline bool writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// lstat of a path (all zero when it does not exist).
inline struct stat statOf(const QString& path) {
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

inline QStringList filesWithSuffix(const QString& folder, const QString& suffix) {
    return QDir(folder).entryList({u'*' + suffix}, QDir::Files | QDir::Hidden | QDir::System);
}

// A seven-value record.
inline QVariantList record(const QString& path, const QString& lmd, const QVariant& size = qint64(1),
                           bool folder = false, const QString& attributes = u"NA"_s,
                           const QString& reserved1 = u"NA"_s) {
    return {path, lmd, size, folder, attributes, reserved1, u"NA"_s};
}

// count records "<prefix><i>", i zero-padded to six digits.
inline QList<QVariantList> numbered(int count, const QString& prefix, const QString& lmd = kEarly) {
    QList<QVariantList> records;
    for (int i = 0; i < count; ++i)
        records << record(prefix + u"%1"_s.arg(i, 6, 10, QLatin1Char('0')), lmd);
    return records;
}

// Writes a finished delta holding the records; returns its file name.
inline QString writeDelta(const QString& folder, const QList<QVariantList>& records) {
    DataBaseWraper delta{IndexThrottle(quickTimings())};
    if (!delta.initializeDatabaseAtPath(folder, u"unused"_s, false))
        return QString();
    const QString progress = delta.dbPath();
    delta.beginTransaction();
    for (const QVariantList& r : records)
        delta.insertRecord(r, false, false);
    delta.commitTransaction();
    delta.unInitializeDatabase();
    return QFileInfo(progress.chopped(9)).fileName(); // without ".progress"
}

} // namespace indextest
