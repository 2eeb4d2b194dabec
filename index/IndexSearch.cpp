#include "IndexSearch.h"

#include "SQLiteDatabase.h"
#include "SQLiteResultSet.h"

#include <sqlite3.h>

#include <algorithm>

namespace {

IndexSearch::Status statusFor(int code) {
    switch (code & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return IndexSearch::Status::Ok;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return IndexSearch::Status::Locked;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_NOTADB:
        return IndexSearch::Status::CannotOpen;
    default:
        return IndexSearch::Status::Failed;
    }
}

QString likePattern(const QString& text) {
    QString escaped;
    escaped.reserve(text.size() + 2);
    escaped += u'%';
    for (QChar c : text) {
        if (c == u'\\' || c == u'%' || c == u'_')
            escaped += u'\\';
        escaped += c;
    }
    escaped += u'%';
    return escaped;
}

} // namespace

QString IndexSearch::masterPath(const QString& accountFolder, const QString& account) {
    return accountFolder + QStringLiteral("/%1.zx").arg(account);
}

IndexSearch::Page IndexSearch::search(const QString& masterPath, const QString& text, int limit,
                                      const QString& after, std::chrono::milliseconds lockWait) {
    Page page;
    SQLiteDatabase db(masterPath);
    if (!db.openReadOnly()) {
        page.status = Status::CannotOpen;
        page.error = db.lastErrorMessage();
        return page;
    }
    db.setBusyTimeout(int(std::clamp<qint64>(lockWait.count(), 0, 600000)));
    const int wanted = std::max(1, limit);
    // The match is a scan of the path index alone (no table column is wanted there, so no row is
    // referenced per entry); only the page's hits are looked up in the table afterwards.
    QString sql = QStringLiteral("WITH hits AS MATERIALIZED (SELECT FILEPATH AS hit FROM FILE_TABLE "
                                 "WHERE FILEPATH LIKE ? ESCAPE '\\'");
    QVariantList arguments{likePattern(text)};
    if (!after.isNull()) {
        sql += QStringLiteral(" AND FILEPATH > ?");
        arguments << after;
    }
    sql += QStringLiteral(" ORDER BY FILEPATH LIMIT ?) SELECT FILEPATH, FILE_SIZE, FILE_LMD, FILE_OR_FOLDER "
                          "FROM FILE_TABLE WHERE FILEPATH IN hits ORDER BY FILEPATH");
    arguments << qint64(wanted) + 1;
    auto rows = db.executeQuery(sql, arguments);
    if (!rows) {
        // A missing table reads like a missing master: there is no index to search yet.
        const bool noTable = db.lastErrorMessage().startsWith(QStringLiteral("no such table"));
        page.status = noTable ? Status::CannotOpen : statusFor(db.lastErrorCode());
        if (page.status == Status::Ok)
            page.status = Status::Failed;
        page.error = db.lastErrorMessage();
        return page;
    }
    while (rows->next()) {
        if (page.hits.size() == wanted) {
            page.more = true;
            break;
        }
        page.hits.append(Hit{rows->stringForColumnIndex(0), rows->stringForColumnIndex(1),
                             rows->stringForColumnIndex(2), rows->boolForColumnIndex(3)});
    }
    page.status = statusFor(db.lastErrorCode());
    if (page.status != Status::Ok) {
        // A page cut short by a lock or an error is no answer.
        page.hits.clear();
        page.more = false;
        page.error = db.lastErrorMessage();
    }
    return page;
}
