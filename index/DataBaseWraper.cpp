#include "DataBaseWraper.h"

#include "FileTools.h"
#include "IndexSearch.h"
#include "SQLiteDatabase.h"
#include "SQLiteResultSet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>

#include <sqlite3.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const QString DataBaseWraper::MasterTable = QStringLiteral("FILE_TABLE");
const QString DataBaseWraper::DeltaTable = QStringLiteral("FILE_TABLE_TEMP");
const QString DataBaseWraper::CreateMasterSQL = QStringLiteral(
    "CREATE TABLE FILE_TABLE(FILEPATH char(1024) primary key,FILE_LMD char(256),FILE_SIZE __int64,"
    "FILE_OR_FOLDER bool,ATTRIBUTES char(50),RESERVED1 char(50),RESERVED2 __int64)");
const QString DataBaseWraper::CreateDeltaSQL = QStringLiteral(
    "CREATE TABLE FILE_TABLE_TEMP(FILEPATH char(1024) primary key,FILE_LMD char(1024),FILE_SIZE __int64,"
    "FILE_OR_FOLDER bool, OPERATION_TYPE char(32),ATTRIBUTES char(50),RESERVED1 char(50),RESERVED2 __int64)");
const QString DataBaseWraper::MasterExtension = QStringLiteral("zx");
const QString DataBaseWraper::DeltaExtension = QStringLiteral("zxt");
const QString DataBaseWraper::ProgressSuffix = QStringLiteral(".zxt.progress");

namespace {

const QString kInsert = QStringLiteral("INSERT");

// See DataBaseWraper::sizeValue; blanks around are allowed.
std::optional<qint64> groupedNumber(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    std::string digits;
    char separator = 0;
    std::size_t run = 0; // digits since the last separator
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            digits += c;
            ++run;
            continue;
        }
        const bool allowed = c != 0 && std::strchr(",.' ", c) && (!separator || c == separator);
        if (!allowed || (separator ? run != 3 : (run == 0 || run > 3)))
            return std::nullopt;
        separator = c;
        run = 0;
    }
    qint64 number = 0;
    const auto [end, failure] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || (separator && run != 3) || failure != std::errc() ||
        end != digits.data() + digits.size())
        return std::nullopt;
    return number;
}

// Index files are readable by the account's user (the application searches the master).
constexpr mode_t kIndexFileMode = 0600; // a person's index is theirs alone

// SQLite would create a new database file readable by everybody (and its journals like it): an empty
// file made first, owner-only, is an empty database. One that exists keeps its modes.
void createOwnerOnly(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kIndexFileMode);
    if (fd >= 0)
        ::close(fd);
}

bool insertInto(SQLiteDatabase& db, const QVariantList& values, const QString& table) {
    if (table == DataBaseWraper::MasterTable) {
        if (values.size() != DataBaseWraper::RecordSize)
            return false;
        return db.executeUpdate(
            QStringLiteral("INSERT INTO %1 (FILEPATH, FILE_LMD, FILE_SIZE, FILE_OR_FOLDER, "
                           "ATTRIBUTES,RESERVED1,RESERVED2) VALUES(?,?,?,?,?,?,?)")
                .arg(table),
            values);
    }
    if (values.size() != DataBaseWraper::RecordSize + 1)
        return false;
    return db.executeUpdate(QStringLiteral("INSERT INTO %1  ( FILEPATH, FILE_LMD, FILE_SIZE, FILE_OR_FOLDER, "
                                           "OPERATION_TYPE,ATTRIBUTES,RESERVED1,RESERVED2) "
                                           "VALUES(?,?,?,?,?,?,?,?)")
                                .arg(table),
                            values);
}

void report(QString* error, const QString& message) {
    if (error)
        *error = message;
}

// The first "<folder>/<timestamp><suffix>" from `from` on (a millisecond further at each clash)
// that no delta of the folder uses yet, neither being written nor finished. claim() takes the name
// (true) or says it is taken (false, errno EEXIST) or fails for another reason (false, other errno).
QString firstFreeDeltaName(const QString& folder, const QDateTime& from, const QString& suffix,
                           const std::function<bool(const QString&)>& claim, QString* error) {
    for (int step = 0; step < 100000; ++step) {
        const QString base =
            QDir::cleanPath(folder + u'/' + DataBaseWraper::deltaTimestamp(from.addMSecs(step)));
        struct stat st {};
        if (::lstat(QFile::encodeName(base + u'.' + DataBaseWraper::DeltaExtension).constData(), &st) == 0 ||
            (suffix != DataBaseWraper::ProgressSuffix &&
             ::lstat(QFile::encodeName(base + DataBaseWraper::ProgressSuffix).constData(), &st) == 0))
            continue;
        const QString path = base + suffix;
        if (claim(path))
            return path;
        if (errno != EEXIST) {
            report(error,
                   QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno))));
            return QString();
        }
    }
    report(error, QStringLiteral("no free delta name in %1").arg(folder));
    return QString();
}

} // namespace

DataBaseWraper::DataBaseWraper(const IndexThrottle& throttle) : mThrottle(throttle) {}

DataBaseWraper::~DataBaseWraper() {
    closeDatabase();
    releaseReservation();
}

void DataBaseWraper::closeDatabase() {
    if (mDatabase)
        mDatabase->close();
    mDatabase.reset();
}

bool DataBaseWraper::fail(QString* error) const {
    if (error && mDatabase)
        *error = mDatabase->lastErrorMessage();
    return false;
}

QString DataBaseWraper::masterPath(const QString& folder, const QString& mainDBName) {
    return folder + QStringLiteral("/%1.zx").arg(mainDBName);
}

QString DataBaseWraper::deltaTimestamp(const QDateTime& when) {
    return when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH-mm-ss-zzz"));
}

QString DataBaseWraper::dateText(const QDateTime& when) {
    return when.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000");
}

std::optional<QDateTime> DataBaseWraper::dateFromString(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2}) (\\d{2}):(\\d{2}):(\\d{2}) ([+-])(\\d{2})(\\d{2})$"));
    const auto m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    const int offset = (m.captured(8).toInt() * 60 + m.captured(9).toInt()) * 60;
    return QDateTime(date, time, QTimeZone::utc()).addSecs(m.captured(7) == u'+' ? -offset : offset);
}

QVariant DataBaseWraper::sizeValue(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    const auto number = groupedNumber(std::string_view(utf8.constData(), std::size_t(utf8.size())));
    return number ? QVariant(*number) : QVariant(text);
}

bool DataBaseWraper::moveWithoutReplacing(const QString& from, const QString& to, bool renameSupported) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (renameSupported) {
        if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
            return true;
        // NFS, eCryptfs and CIFS homes answer EINVAL (older kernels ENOSYS): fall back to link + unlink,
        // which refuses an existing target just as well.
        if (errno != EINVAL && errno != ENOSYS)
            return false;
    }
    if (::link(source.constData(), target.constData()) == 0) {
        ::unlink(source.constData());
        return true;
    }
    if (errno == EEXIST)
        return false;
    // No hard links either (some network file systems): check, then rename.
    struct stat st {};
    if (::lstat(target.constData(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(source.constData(), target.constData()) == 0;
}

bool DataBaseWraper::initializeDatabaseAtPath(const QString& folder, const QString& mainDBName,
                                              bool listingCGI, QString* error) {
    FileTools::makePath(folder, 0700);
    if (listingCGI) {
        mThrottle.pause(IndexThrottle::Pause::DeltaCreation);
        closeDatabase();
        mDbPath = masterPath(folder, mainDBName);
        createOwnerOnly(mDbPath);
        mDatabase = std::make_unique<SQLiteDatabase>(mDbPath);
        if (!mDatabase->open())
            return fail(error);
        if (!mDatabase->executeUpdate(CreateMasterSQL))
            return fail(error);
        return true;
    }
    closeDatabase();
    // The name is reserved by creating the file exclusively and holding an flock on it while the
    // delta is written: a delta without that lock was left behind by a process that ended.
    int reserved = -1;
    mDbPath = firstFreeDeltaName(
        folder, QDateTime::currentDateTime(), ProgressSuffix,
        [&](const QString& path) {
            reserved = ::open(QFile::encodeName(path).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kIndexFileMode);
            return reserved >= 0;
        },
        error);
    if (mDbPath.isEmpty())
        return false;
    ::flock(reserved, LOCK_EX | LOCK_NB);
    mReservation = reserved;
    mThrottle.pause(IndexThrottle::Pause::DeltaCreation);
    mDatabase = std::make_unique<SQLiteDatabase>(mDbPath);
    if (!mDatabase->open() || !mDatabase->executeUpdate(CreateDeltaSQL))
        return fail(error);
    return true;
}

bool DataBaseWraper::openDatabaseAtPath(const QString& folder, const QString& fileName, QString* error) {
    closeDatabase();
    mDbPath = fileName.isEmpty() ? folder : folder + QStringLiteral("/%1").arg(fileName);
    mDatabase = std::make_unique<SQLiteDatabase>(mDbPath);
    if (!mDatabase->open())
        return fail(error);
    return true;
}

bool DataBaseWraper::beginTransaction() {
    // Immediate: a delta is written by its one writer only, and a reader may look at it meanwhile.
    return mDatabase && mDatabase->isOpen() && mDatabase->beginImmediateTransaction();
}

bool DataBaseWraper::commitTransaction() {
    return mDatabase && mDatabase->isOpen() && mDatabase->commit();
}

bool DataBaseWraper::rollbackTransaction() {
    return mDatabase && mDatabase->isOpen() && mDatabase->rollback();
}

bool DataBaseWraper::insertRecord(const QVariantList& record, bool shouldEncrypt, bool listingCGI,
                                  QString* error) {
    QVariantList values = record;
    if (shouldEncrypt && !values.isEmpty())
        values[0] = encryptPath(values.at(0).toString());
    QString table = MasterTable;
    if (!listingCGI) {
        if (values.size() >= 4)
            values.insert(4, kInsert);
        table = DeltaTable;
    }
    return insertValues(values, table, error);
}

bool DataBaseWraper::insertValues(const QVariantList& values, const QString& table, QString* error) {
    const qsizetype expected = table == MasterTable ? RecordSize : RecordSize + 1;
    if (values.size() != expected)
        return false;
    if (!mDatabase) {
        report(error, QStringLiteral("The database is not open"));
        return false;
    }
    if (!insertInto(*mDatabase, values, table))
        return fail(error);
    return true;
}

void DataBaseWraper::releaseReservation() {
    if (mReservation >= 0)
        ::close(mReservation);
    mReservation = -1;
}

bool DataBaseWraper::unInitializeDatabase(QString* error) {
    closeDatabase();
    bool finished = true;
    // Only a delta being written is finished; any other file keeps its name.
    if (mDbPath.endsWith(ProgressSuffix)) {
        const QString finishedName = mDbPath.left(mDbPath.size() - qsizetype(strlen(".progress")));
        const QString from = mDbPath;
        if (!moveWithoutReplacing(from, finishedName)) {
            // Another writer finished a delta of the same name meanwhile: take the next free one.
            finished = !firstFreeDeltaName(
                            QFileInfo(mDbPath).path(), QDateTime::currentDateTime(),
                            QStringLiteral(".") + DeltaExtension,
                            [&](const QString& path) { return moveWithoutReplacing(from, path); }, error)
                            .isEmpty();
        }
    }
    releaseReservation();
    mDbPath = QStringLiteral("");
    return finished;
}

void DataBaseWraper::registerMergeFunctions(sqlite3* db) {
    // zh_later(a, b): a is a later FILE_LMD than b; false when either cannot be read. Both in the
    // stored form "yyyy-MM-dd HH:mm:ss +0000" compare as text; other offsets are read first.
    const auto later = [](sqlite3_context* context, int, sqlite3_value** values) {
        const auto* a = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
        const int aLength = sqlite3_value_bytes(values[0]);
        const auto* b = reinterpret_cast<const char*>(sqlite3_value_text(values[1]));
        const int bLength = sqlite3_value_bytes(values[1]);
        if (!a || !b) {
            sqlite3_result_int(context, 0);
            return;
        }
        const auto stored = [](const char* text, int length) {
            static const char shape[] = "dddd-dd-dd dd:dd:dd +0000";
            if (length != int(sizeof shape) - 1)
                return false;
            for (int i = 0; i < length; ++i)
                if (shape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i])
                    return false;
            return true;
        };
        if (stored(a, aLength) && stored(b, bLength)) {
            sqlite3_result_int(context, std::memcmp(a, b, 19) > 0 ? 1 : 0);
            return;
        }
        const auto aDate = dateFromString(QString::fromUtf8(a, aLength));
        const auto bDate = dateFromString(QString::fromUtf8(b, bLength));
        sqlite3_result_int(context, aDate && bDate && *aDate > *bDate ? 1 : 0);
    };
    sqlite3_create_function_v2(db, "zh_later", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, later, nullptr,
                               nullptr, nullptr);
    // zh_size(size): sizeValue in SQL, for a delta's size handed in as text.
    const auto size = [](sqlite3_context* context, int, sqlite3_value** values) {
        if (sqlite3_value_type(values[0]) != SQLITE_TEXT) {
            sqlite3_result_int64(context, sqlite3_value_int64(values[0]));
            return;
        }
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
        const auto number =
            groupedNumber(std::string_view(text, std::size_t(sqlite3_value_bytes(values[0]))));
        if (number)
            sqlite3_result_int64(context, *number);
        else
            sqlite3_result_value(context, values[0]);
    };
    sqlite3_create_function_v2(db, "zh_size", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, size, nullptr,
                               nullptr, nullptr);
}

bool DataBaseWraper::updateMasterDatabaseWorker(const QString& folder, const QString& mainDBName,
                                                QString* error) {
    if (!mDatabase || !mDatabase->isOpen()) {
        report(error, QStringLiteral("No delta is open"));
        return false;
    }
    // A delta without its table holds nothing (its writer ended before creating it): it may go.
    if (mDatabase->intForQuery(QStringLiteral(
            "select count(*) from sqlite_master where type='table' and name='FILE_TABLE_TEMP'")) < 1) {
        if (mDatabase->lastErrorCode() != 0) {
            report(error, mDatabase->lastErrorMessage());
            return false;
        }
        return true;
    }
    const QString path = masterPath(folder, mainDBName);
    createOwnerOnly(path);
    SQLiteDatabase master(path);
    if (!master.open()) {
        report(error, master.lastErrorMessage());
        return false;
    }
    // Readers (the application's search) hold the master only briefly; wait for them at commit.
    master.setBusyTimeout(MergeLockWaitMilliseconds);
    registerMergeFunctions(master.handle());
    // Whatever fails keeps the delta for a later merge; what earlier batches committed stays, and
    // merging the same rows again changes nothing.
    const auto giveUp = [&] {
        report(error, master.lastErrorMessage());
        master.rollback();
        master.close();
        return false;
    };
    if (!master.executeUpdate(QStringLiteral("ATTACH DATABASE ? AS delta"), {QFile::encodeName(mDbPath)}) ||
        !master.beginImmediateTransaction())
        return giveUp();
    {
        const qint64 tables = master.intForQuery(
            QStringLiteral("select count(*) from sqlite_master where type='table' and name='FILE_TABLE'"));
        if (master.lastErrorCode() != 0)
            return giveUp();
        if (tables < 1 && !master.executeUpdate(CreateMasterSQL))
            return giveUp();
    }

    // The rows go from the delta, attached to the master's connection, straight into the master, in
    // the delta's own order: a batch is the next MergeBatchRows rowids (one writer filled the delta,
    // so they have no gaps). An empty delta still runs one empty batch, which commits the table.
    qint64 last = 0;
    qint64 deltaEnd = 0;
    {
        auto range =
            master.executeQuery(QStringLiteral("SELECT min(rowid), max(rowid) FROM delta.FILE_TABLE_TEMP"));
        if (!range || !range->next())
            return giveUp();
        last = range->int64ForColumnIndex(0) - 1;
        deltaEnd = range->int64ForColumnIndex(1);
    }
    // New paths are inserted; a known path takes the delta's values only when they are newer.
    const QString upsert = QStringLiteral(
        "INSERT INTO main.FILE_TABLE (FILEPATH, FILE_LMD, FILE_SIZE, FILE_OR_FOLDER, "
        "ATTRIBUTES,RESERVED1,RESERVED2) "
        "SELECT FILEPATH, FILE_LMD, zh_size(FILE_SIZE), ifnull(CAST(FILE_OR_FOLDER AS INTEGER), 0) <> 0, "
        "ifnull(ATTRIBUTES, 'NA'), ifnull(RESERVED1, 'NA'), ifnull(RESERVED2, 'NA') "
        "FROM delta.FILE_TABLE_TEMP WHERE rowid > ? AND rowid <= ? AND OPERATION_TYPE = 'INSERT' "
        "ON CONFLICT(FILEPATH) DO UPDATE SET FILE_LMD = excluded.FILE_LMD, "
        "FILE_SIZE = excluded.FILE_SIZE, FILE_OR_FOLDER = excluded.FILE_OR_FOLDER, "
        "ATTRIBUTES = excluded.ATTRIBUTES WHERE zh_later(excluded.FILE_LMD, FILE_TABLE.FILE_LMD)");
    const int pauseEvery = 100;
    qint64 sincePause = 0;
    while (last < deltaEnd) {
        const qint64 end = std::min(deltaEnd, last + MergeBatchRows);
        if (!master.executeUpdate(upsert, {last, end}) || !master.commit())
            return giveUp();
        // The pauses are taken between transactions, so a search never meets a sleeping lock.
        for (sincePause += end - last; sincePause >= pauseEvery; sincePause -= pauseEvery)
            mThrottle.pause(IndexThrottle::Pause::MergeRows);
        last = end;
        if (last < deltaEnd && !master.beginImmediateTransaction())
            return giveUp();
    }
    compactIfWorthIt(master);
    master.close();
    return true;
}

bool DataBaseWraper::compactIfWorthIt(SQLiteDatabase& master) {
    // Rows are never deleted, so free pages are rare: compact only when a quarter of the file and
    // at least a few MiB are free, never after every delta.
    const qint64 pages = master.intForQuery(QStringLiteral("PRAGMA page_count"));
    const qint64 freePages = master.intForQuery(QStringLiteral("PRAGMA freelist_count"));
    const qint64 pageSize = master.intForQuery(QStringLiteral("PRAGMA page_size"));
    if (pages <= 0 || freePages * 4 < pages || freePages * pageSize < CompactionMinimumFreeBytes)
        return false;
    return master.executeUpdate(QStringLiteral("VACUUM"));
}

void DataBaseWraper::removeDataBaseAtPath(const QString& path) {
    closeDatabase();
    ::unlink(QFile::encodeName(path).constData());
    if (path == mDbPath)
        releaseReservation();
}

std::optional<QList<QVariantMap>> DataBaseWraper::Search(const QString& text, const QString& masterDBPath,
                                                         const QString& mainDBName, QString* error,
                                                         int limit) {
    const IndexSearch::Page page =
        IndexSearch::search(IndexSearch::masterPath(masterDBPath, mainDBName), text, limit);
    if (page.status == IndexSearch::Status::CannotOpen) {
        report(error, page.error);
        return std::nullopt;
    }
    if (page.status != IndexSearch::Status::Ok)
        report(error, page.error);
    QList<QVariantMap> hits;
    hits.reserve(page.hits.size());
    for (const IndexSearch::Hit& hit : page.hits)
        hits.append(QVariantMap{{QStringLiteral("name"), hit.name},
                                {QStringLiteral("size"), hit.size},
                                {QStringLiteral("lmd"), hit.lmd}});
    return hits;
}

QString DataBaseWraper::encryptPath(const QString& path) {
    QString out(path.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t unit = path.at(i).unicode();
        out[i] = (unit == u'\'' || unit == u'/' || unit == u'\\') ? QChar(unit) : QChar(char16_t(unit + 63));
    }
    return out;
}

QString DataBaseWraper::decryptPath(const QString& path) {
    QString out(path.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < path.size(); ++i) {
        const char16_t unit = path.at(i).unicode();
        out[i] = (unit == u'\'' || unit == u'/' || unit == u'\\') ? QChar(unit) : QChar(char16_t(unit - 63));
    }
    return out;
}
