#pragma once

#include <QSet>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <QByteArray>
#include <QHash>

#include <memory>

struct sqlite3;
struct sqlite3_stmt;
class SQLiteResultSet;

// The thin connection over SQLite 3 that every index file is reached through. Values always travel
// as bound parameters: strings as text, integers as 64-bit integers, booleans as 0/1, null or
// invalid variants as NULL. A step that meets a busy or locked file is retried briefly (100 times,
// 20 microseconds apart, plus the wait set with setBusyTimeout) and then fails; the caller decides
// what that means. Files are never reached through a symlink in their last component. Statements
// run with executeUpdate are prepared once per connection and kept until it closes.
class SQLiteDatabase {
  public:
    static constexpr int BusyRetries = 100;
    static constexpr int BusyRetryPauseMicroseconds = 20;
    static constexpr int CloseRetries = 100;
    static constexpr int CloseRetryPauseMilliseconds = 10;

    explicit SQLiteDatabase(const QString& path);
    ~SQLiteDatabase();
    SQLiteDatabase(const SQLiteDatabase&) = delete;
    SQLiteDatabase& operator=(const SQLiteDatabase&) = delete;

    // Read/write, creating the file when missing.
    bool open();
    // Read only; a missing file is an error and is not created.
    bool openReadOnly();
    // Finalises open result sets, then closes. While SQLite answers busy it retries for about a
    // second and then gives up, leaving the handle open (false).
    bool close();
    bool isOpen() const { return mDb != nullptr; }
    QString databasePath() const { return mPath; }

    bool executeUpdate(const QString& sql, const QVariantList& arguments = {});
    // Null on error (lastErrorMessage() says why).
    std::unique_ptr<SQLiteResultSet> executeQuery(const QString& sql, const QVariantList& arguments = {});
    // First column of the first row; 0 when there is none or the query fails.
    qint64 intForQuery(const QString& sql, const QVariantList& arguments = {});

    // How long SQLite itself waits for another connection's lock before answering busy.
    void setBusyTimeout(int milliseconds);

    bool beginTransaction();          // "BEGIN EXCLUSIVE TRANSACTION;"
    bool beginImmediateTransaction(); // "BEGIN IMMEDIATE TRANSACTION;": readers may go on until commit
    bool commit();                    // "COMMIT TRANSACTION;"
    bool rollback();

    QString lastErrorMessage() const;
    int lastErrorCode() const;

    // The raw connection, for registering SQL functions; null when closed.
    sqlite3* handle() const { return mDb; }

  private:
    friend class SQLiteResultSet;

    bool openWithFlags(int flags);
    // Prepares and binds; records the error and returns null on failure.
    sqlite3_stmt* prepare(const QString& sql, const QVariantList& arguments);
    bool bind(sqlite3_stmt* statement, const QVariantList& arguments);
    void finalizeCachedStatements();
    // sqlite3_step with the busy/locked retries.
    static int step(sqlite3_stmt* statement, int retries = BusyRetries);
    // With a busy timeout SQLite waits itself; the short retries are only for connections without.
    int busyRetries() const { return mBusyTimeout > 0 ? 0 : BusyRetries; }
    void setError(int code, const QString& message);
    void forget(SQLiteResultSet* resultSet) { mOpenResultSets.remove(resultSet); }

    QString mPath;
    sqlite3* mDb = nullptr;
    QSet<SQLiteResultSet*> mOpenResultSets;
    QHash<QByteArray, sqlite3_stmt*> mStatementCache; // executeUpdate's statements, by SQL text
    // Errors the connection itself found (a bad argument, no open file); SQLite's own otherwise.
    int mOwnErrorCode = 0;
    int mBusyTimeout = 0;
    QString mOwnErrorMessage;
};
