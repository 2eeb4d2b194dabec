#include "SQLiteResultSet.h"

#include "SQLiteDatabase.h"

#include <sqlite3.h>

SQLiteResultSet::SQLiteResultSet(SQLiteDatabase* parent, sqlite3_stmt* statement)
    : mParent(parent), mStatement(statement) {}

SQLiteResultSet::~SQLiteResultSet() {
    close();
}

void SQLiteResultSet::detach() {
    if (mStatement)
        sqlite3_finalize(mStatement);
    mStatement = nullptr;
    mParent = nullptr;
}

void SQLiteResultSet::close() {
    SQLiteDatabase* parent = mParent;
    detach();
    if (parent)
        parent->forget(this);
}

bool SQLiteResultSet::next() {
    if (!mStatement || mExhausted)
        return false;
    const int rc =
        SQLiteDatabase::step(mStatement, mParent ? mParent->busyRetries() : SQLiteDatabase::BusyRetries);
    if (rc == SQLITE_ROW)
        return true;
    // Stepping on after the end would start the query over.
    mExhausted = true;
    if (rc != SQLITE_DONE && mParent)
        mParent->setError(rc, QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(mStatement))));
    return false;
}

int SQLiteResultSet::columnCount() const {
    return mStatement ? sqlite3_column_count(mStatement) : 0;
}

int SQLiteResultSet::columnIndexForName(const QString& name) const {
    if (!mStatement)
        return -1;
    if (mColumnNames.isEmpty()) {
        const int count = sqlite3_column_count(mStatement);
        for (int i = 0; i < count; ++i)
            mColumnNames.insert(QString::fromUtf8(sqlite3_column_name(mStatement, i)).toLower(), i);
    }
    return mColumnNames.value(name.toLower(), -1);
}

bool SQLiteResultSet::columnIsNull(int index) const {
    if (!mStatement || index < 0 || index >= columnCount())
        return true;
    return sqlite3_column_type(mStatement, index) == SQLITE_NULL;
}

QString SQLiteResultSet::stringForColumnIndex(int index) const {
    if (columnIsNull(index))
        return QString();
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(mStatement, index));
    const int bytes = sqlite3_column_bytes(mStatement, index);
    return text ? QString::fromUtf8(text, bytes) : QString();
}

QString SQLiteResultSet::stringForColumn(const QString& name) const {
    return stringForColumnIndex(columnIndexForName(name));
}

qint64 SQLiteResultSet::int64ForColumnIndex(int index) const {
    if (columnIsNull(index))
        return 0;
    return sqlite3_column_int64(mStatement, index);
}

qint64 SQLiteResultSet::int64ForColumn(const QString& name) const {
    return int64ForColumnIndex(columnIndexForName(name));
}

bool SQLiteResultSet::boolForColumnIndex(int index) const {
    return int64ForColumnIndex(index) != 0;
}

bool SQLiteResultSet::boolForColumn(const QString& name) const {
    return boolForColumnIndex(columnIndexForName(name));
}
