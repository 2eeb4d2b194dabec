#pragma once

#include "IndexThrottle.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <optional>

class SQLiteDatabase;
struct sqlite3;

// One file of an account's local index at a time: the master ("<account>.zx", table FILE_TABLE) or
// a delta ("<timestamp>.zxt.progress" while written, "<timestamp>.zxt" when finished, table
// FILE_TABLE_TEMP). Writers only fill deltas; the merge moves finished deltas into the master.
// Errors come back as false plus SQLite's message in the optional error out-parameter.
class DataBaseWraper {
  public:
    static const QString MasterTable;     // "FILE_TABLE"
    static const QString DeltaTable;      // "FILE_TABLE_TEMP"
    static const QString CreateMasterSQL; // the exact CREATE statements the files carry
    static const QString CreateDeltaSQL;
    static const QString MasterExtension; // "zx"
    static const QString DeltaExtension;  // "zxt"
    static const QString ProgressSuffix;  // ".zxt.progress"

    // A record is exactly seven values: FILEPATH, FILE_LMD, FILE_SIZE, FILE_OR_FOLDER, ATTRIBUTES,
    // RESERVED1, RESERVED2. The delta form carries "INSERT" as fifth value (eight in all).
    static constexpr int RecordSize = 7;

    explicit DataBaseWraper(const IndexThrottle& throttle = IndexThrottle());
    ~DataBaseWraper();
    DataBaseWraper(const DataBaseWraper&) = delete;
    DataBaseWraper& operator=(const DataBaseWraper&) = delete;

    // Creates the folder, then opens a master for mainDBName (listingCGI true) or a new delta with a
    // name no other delta of the folder has, and creates its table. A master that already holds
    // FILE_TABLE gives false with SQLite's message, its connection open and usable.
    bool initializeDatabaseAtPath(const QString& folder, const QString& mainDBName, bool listingCGI,
                                  QString* error = nullptr);
    // Opens folder/fileName, or folder itself when fileName is empty.
    bool openDatabaseAtPath(const QString& folder, const QString& fileName, QString* error = nullptr);

    bool beginTransaction();
    bool commitTransaction();
    bool rollbackTransaction();

    bool insertRecord(const QVariantList& record, bool shouldEncrypt, bool listingCGI,
                      QString* error = nullptr);
    // 7 values for FILE_TABLE, 8 for any other table; a wrong count is false and error is untouched.
    bool insertValues(const QVariantList& values, const QString& table, QString* error = nullptr);

    // Closes and finishes a delta: ".zxt.progress" becomes ".zxt" (the next free name when another
    // writer finished one of that name meanwhile). False when the delta could not be finished.
    bool unInitializeDatabase(QString* error = nullptr);

    // Merges the open delta into folder/<mainDBName>.zx: new paths are added, known ones updated
    // when the delta's modification time is later. Rows go in transactions of MergeBatchRows; the
    // throttling pauses are taken between them. True when every row was read and every statement
    // ran and committed, i.e. when the delta may go; false (delta to be kept) otherwise. Merging a
    // delta again changes nothing, so a merge cut short is simply repeated.
    bool updateMasterDatabaseWorker(const QString& folder, const QString& mainDBName,
                                    QString* error = nullptr);

    static constexpr int MergeBatchRows = 1000;
    static constexpr int MergeLockWaitMilliseconds = 10000;
    static constexpr qint64 CompactionMinimumFreeBytes = 4 * 1024 * 1024;

    // Closes the connection and deletes the file.
    void removeDataBaseAtPath(const QString& path);

    // At most limit master rows whose path contains text, in path order (see IndexSearch, which the
    // application uses directly). Each hit has "name", "size" and "lmd". Nothing when the master
    // cannot be opened; an empty list plus error when it stays locked or the query fails.
    std::optional<QList<QVariantMap>> Search(const QString& text, const QString& masterDBPath,
                                             const QString& mainDBName, QString* error = nullptr,
                                             int limit = 10000);

    // Renames from to to unless to exists; where the file system has no RENAME_NOREPLACE, by
    // link + unlink (renameSupported false goes that way at once). errno tells why on false.
    static bool moveWithoutReplacing(const QString& from, const QString& to, bool renameSupported = true);

    // The reversible path scrambler: every UTF-16 unit but ' / \ moves by 63.
    static QString encryptPath(const QString& path);
    static QString decryptPath(const QString& path);

    QString dbPath() const { return mDbPath; }
    SQLiteDatabase* database() const { return mDatabase.get(); }

    static QString masterPath(const QString& folder, const QString& mainDBName);
    // "yyyy-MM-dd HH-mm-ss-SSS" in local time: the name of a delta.
    static QString deltaTimestamp(const QDateTime& when);
    // "yyyy-MM-dd HH:mm:ss +0000", the FILE_LMD form.
    static QString dateText(const QDateTime& when);
    // Reads the FILE_LMD form (any "+hhmm"/"-hhmm" offset); nothing when it does not parse.
    static std::optional<QDateTime> dateFromString(const QString& text);
    // A size as the master stores it: digits, or digits grouped by threes with one separator (as rsync
    // prints them: "1,234,567", or with ".", "'" or a blank in other locales) become the number;
    // anything else stays the text it is.
    static QVariant sizeValue(const QString& text);

  private:
    void closeDatabase();
    void releaseReservation();
    bool compactIfWorthIt(SQLiteDatabase& master);
    static void registerMergeFunctions(sqlite3* db);
    bool fail(QString* error) const;

    std::unique_ptr<SQLiteDatabase> mDatabase;
    QString mDbPath;
    int mReservation = -1; // the delta being written, flock'ed while this writer holds it
    IndexThrottle mThrottle;
};
