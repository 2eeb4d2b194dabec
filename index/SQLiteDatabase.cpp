#include "SQLiteDatabase.h"

#include "SQLiteResultSet.h"

#include <QFile>
#include <QThread>

#include <sqlite3.h>

#include <unistd.h>

namespace {

bool isBusy(int code) {
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

} // namespace

SQLiteDatabase::SQLiteDatabase(const QString& path) : mPath(path) {}

SQLiteDatabase::~SQLiteDatabase() {
    close();
    if (mDb) {
        // Still busy after the retries: let SQLite release the handle once its statements are gone.
        sqlite3_close_v2(mDb);
        mDb = nullptr;
    }
}

bool SQLiteDatabase::open() {
    return openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW);
}

bool SQLiteDatabase::openReadOnly() {
    return openWithFlags(SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW);
}

bool SQLiteDatabase::openWithFlags(int flags) {
    if (mDb)
        return true;
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(mPath).constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        setError(rc, db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc)));
        if (db)
            sqlite3_close(db);
        return false;
    }
    mDb = db;
    setError(0, QString());
    return true;
}

bool SQLiteDatabase::close() {
    if (!mDb)
        return true;
    const auto openSets = mOpenResultSets;
    for (SQLiteResultSet* set : openSets)
        set->detach();
    mOpenResultSets.clear();
    finalizeCachedStatements();
    for (int tries = 0;; ++tries) {
        const int rc = sqlite3_close(mDb);
        if (rc == SQLITE_OK) {
            mDb = nullptr;
            return true;
        }
        if (!isBusy(rc) || tries >= CloseRetries) {
            setError(rc, QString::fromUtf8(sqlite3_errmsg(mDb)));
            return false;
        }
        QThread::msleep(CloseRetryPauseMilliseconds);
    }
}

void SQLiteDatabase::finalizeCachedStatements() {
    for (sqlite3_stmt* statement : std::as_const(mStatementCache))
        sqlite3_finalize(statement);
    mStatementCache.clear();
}

void SQLiteDatabase::setBusyTimeout(int milliseconds) {
    mBusyTimeout = milliseconds;
    if (mDb)
        sqlite3_busy_timeout(mDb, milliseconds);
}

void SQLiteDatabase::setError(int code, const QString& message) {
    mOwnErrorCode = code;
    mOwnErrorMessage = message;
}

QString SQLiteDatabase::lastErrorMessage() const {
    if (mOwnErrorCode == 0)
        return QStringLiteral("not an error");
    return mOwnErrorMessage;
}

int SQLiteDatabase::lastErrorCode() const {
    return mOwnErrorCode;
}

int SQLiteDatabase::step(sqlite3_stmt* statement, int retries) {
    int rc = SQLITE_OK;
    for (int tries = 0;; ++tries) {
        rc = sqlite3_step(statement);
        if (!isBusy(rc) || tries >= retries)
            return rc;
        ::usleep(BusyRetryPauseMicroseconds);
    }
}

sqlite3_stmt* SQLiteDatabase::prepare(const QString& sql, const QVariantList& arguments) {
    if (!mDb) {
        setError(SQLITE_MISUSE, QStringLiteral("The database is not open"));
        return nullptr;
    }
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt* statement = nullptr;
    int rc = SQLITE_OK;
    for (int tries = 0;; ++tries) {
        rc = sqlite3_prepare_v2(mDb, text.constData(), int(text.size()), &statement, nullptr);
        if (!isBusy(rc) || tries >= busyRetries())
            break;
        ::usleep(BusyRetryPauseMicroseconds);
    }
    if (rc != SQLITE_OK || !statement) {
        setError(rc == SQLITE_OK ? SQLITE_MISUSE : sqlite3_errcode(mDb),
                 rc == SQLITE_OK ? QStringLiteral("Empty statement")
                                 : QString::fromUtf8(sqlite3_errmsg(mDb)));
        sqlite3_finalize(statement);
        return nullptr;
    }
    if (!bind(statement, arguments)) {
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

bool SQLiteDatabase::bind(sqlite3_stmt* statement, const QVariantList& arguments) {
    if (sqlite3_bind_parameter_count(statement) != arguments.size()) {
        setError(SQLITE_RANGE, QStringLiteral("The statement has %1 parameters, %2 values were given")
                                   .arg(sqlite3_bind_parameter_count(statement))
                                   .arg(arguments.size()));
        return false;
    }
    for (int i = 0; i < arguments.size(); ++i) {
        const QVariant& value = arguments.at(i);
        const int column = i + 1;
        int bound = SQLITE_OK;
        if (!value.isValid() || value.isNull()) {
            bound = sqlite3_bind_null(statement, column);
        } else {
            switch (value.typeId()) {
            case QMetaType::Bool:
                bound = sqlite3_bind_int(statement, column, value.toBool() ? 1 : 0);
                break;
            case QMetaType::Int:
            case QMetaType::UInt:
            case QMetaType::Long:
            case QMetaType::LongLong:
            case QMetaType::Short:
            case QMetaType::UShort:
            case QMetaType::ULong:
            case QMetaType::ULongLong:
                bound = sqlite3_bind_int64(statement, column, value.toLongLong());
                break;
            case QMetaType::Double:
            case QMetaType::Float:
                bound = sqlite3_bind_double(statement, column, value.toDouble());
                break;
            case QMetaType::QByteArray: {
                const QByteArray blob = value.toByteArray();
                bound = sqlite3_bind_blob64(statement, column, blob.constData(), sqlite3_uint64(blob.size()),
                                            SQLITE_TRANSIENT);
                break;
            }
            default: {
                const QByteArray utf8 = value.toString().toUtf8();
                bound = sqlite3_bind_text64(statement, column, utf8.constData(), sqlite3_uint64(utf8.size()),
                                            SQLITE_TRANSIENT, SQLITE_UTF8);
                break;
            }
            }
        }
        if (bound != SQLITE_OK) {
            setError(bound, QString::fromUtf8(sqlite3_errmsg(mDb)));
            return false;
        }
    }
    return true;
}

bool SQLiteDatabase::executeUpdate(const QString& sql, const QVariantList& arguments) {
    const QByteArray key = sql.toUtf8();
    sqlite3_stmt* statement = mStatementCache.value(key);
    if (statement) {
        if (!bind(statement, arguments)) {
            sqlite3_clear_bindings(statement);
            return false;
        }
    } else {
        statement = prepare(sql, arguments);
        if (!statement)
            return false;
        mStatementCache.insert(key, statement);
    }
    int rc = step(statement, busyRetries());
    while (rc == SQLITE_ROW)
        rc = step(statement, busyRetries());
    bool done = true;
    if (rc != SQLITE_DONE) {
        // Taken before resetting, which may change the connection's error.
        setError(sqlite3_errcode(mDb), QString::fromUtf8(sqlite3_errmsg(mDb)));
        done = false;
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (done)
        setError(0, QString());
    return done;
}

std::unique_ptr<SQLiteResultSet> SQLiteDatabase::executeQuery(const QString& sql,
                                                              const QVariantList& arguments) {
    sqlite3_stmt* statement = prepare(sql, arguments);
    if (!statement)
        return nullptr;
    setError(0, QString());
    std::unique_ptr<SQLiteResultSet> set(new SQLiteResultSet(this, statement));
    mOpenResultSets.insert(set.get());
    return set;
}

qint64 SQLiteDatabase::intForQuery(const QString& sql, const QVariantList& arguments) {
    auto set = executeQuery(sql, arguments);
    if (!set || !set->next())
        return 0;
    return set->int64ForColumnIndex(0);
}

bool SQLiteDatabase::beginTransaction() {
    return executeUpdate(QStringLiteral("BEGIN EXCLUSIVE TRANSACTION;"));
}

bool SQLiteDatabase::beginImmediateTransaction() {
    return executeUpdate(QStringLiteral("BEGIN IMMEDIATE TRANSACTION;"));
}

bool SQLiteDatabase::commit() {
    return executeUpdate(QStringLiteral("COMMIT TRANSACTION;"));
}

bool SQLiteDatabase::rollback() {
    return executeUpdate(QStringLiteral("ROLLBACK TRANSACTION;"));
}
