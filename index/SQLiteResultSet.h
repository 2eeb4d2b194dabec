#pragma once

#include <QHash>
#include <QString>

struct sqlite3_stmt;
class SQLiteDatabase;

// The rows of one query, read one at a time. Owned by the caller; closing the connection finalises
// it early (next() is then false).
class SQLiteResultSet {
  public:
    ~SQLiteResultSet();
    SQLiteResultSet(const SQLiteResultSet&) = delete;
    SQLiteResultSet& operator=(const SQLiteResultSet&) = delete;

    // Steps to the next row; true while one is available.
    bool next();
    void close();

    int columnCount() const;
    int columnIndexForName(const QString& name) const; // -1 when unknown; names match without case
    bool columnIsNull(int index) const;

    // Text columns come back as strings, other values as their text; NULL as a null QString.
    QString stringForColumn(const QString& name) const;
    QString stringForColumnIndex(int index) const;
    qint64 int64ForColumn(const QString& name) const;
    qint64 int64ForColumnIndex(int index) const;
    bool boolForColumn(const QString& name) const;
    bool boolForColumnIndex(int index) const;

  private:
    friend class SQLiteDatabase;
    SQLiteResultSet(SQLiteDatabase* parent, sqlite3_stmt* statement);
    void detach(); // the connection is closing

    SQLiteDatabase* mParent;
    sqlite3_stmt* mStatement;
    bool mExhausted = false;
    mutable QHash<QString, int> mColumnNames;
};
