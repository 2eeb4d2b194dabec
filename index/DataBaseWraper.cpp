#include "DataBaseWraper.h"

#include "FileTools.h"
#include "SQLiteDatabase.h"
#include "SQLiteResultSet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>

#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

const QString kNA = QStringLiteral("NA");
const QString kInsert = QStringLiteral("INSERT");

// Index files are readable by the account's user (the application searches the master).
constexpr mode_t kIndexFileMode = 0644;

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

// Creates "<folder>/<timestamp>.zxt.progress" exclusively, so that no two writers (threads or
// processes) ever share a delta: on a clash the timestamp moves on by a millisecond.
QString reserveDeltaFile(const QString& folder, QString* error) {
    const QDateTime now = QDateTime::currentDateTime();
    for (int step = 0; step < 100000; ++step) {
        const QString base =
            QDir::cleanPath(folder + u'/' + DataBaseWraper::deltaTimestamp(now.addMSecs(step)));
        if (QFileInfo::exists(base + u'.' + DataBaseWraper::DeltaExtension))
            continue;
        const QString path = base + DataBaseWraper::ProgressSuffix;
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                              kIndexFileMode);
        if (fd >= 0) {
            ::close(fd);
            FileTools::adoptParentOwner(path);
            return path;
        }
        if (errno != EEXIST) {
            report(error,
                   QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(strerror(errno))));
            return QString();
        }
    }
    report(error, QStringLiteral("no free delta name in %1").arg(folder));
    return QString();
}

bool renameNoReplace(const QString& from, const QString& to) {
    return ::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                       QFile::encodeName(to).constData(), RENAME_NOREPLACE) == 0;
}

} // namespace

DataBaseWraper::DataBaseWraper(const IndexThrottle& throttle) : mThrottle(throttle) {}

DataBaseWraper::~DataBaseWraper() {
    closeDatabase();
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

QVariant DataBaseWraper::sizeValue(const QVariant& size) {
    if (!size.isValid() || size.isNull())
        return qint64(0);
    if (size.typeId() != QMetaType::QString && size.typeId() != QMetaType::QByteArray) {
        bool ok = false;
        const qint64 number = size.toLongLong(&ok);
        return ok ? QVariant(number) : size;
    }
    static const QRegularExpression grouped(QStringLiteral("^\\d{1,3}(?:([,.' ])\\d{3})(?:\\1\\d{3})*$"));
    static const QRegularExpression plain(QStringLiteral("^\\d+$"));
    const QString text = size.toString();
    const QString trimmed = text.trimmed();
    QString digits;
    if (plain.match(trimmed).hasMatch()) {
        digits = trimmed;
    } else if (grouped.match(trimmed).hasMatch()) {
        for (QChar c : trimmed)
            if (c.isDigit())
                digits += c;
    }
    bool ok = false;
    const qint64 number = digits.toLongLong(&ok);
    return ok ? QVariant(number) : QVariant(text);
}

bool DataBaseWraper::initializeDatabaseAtPath(const QString& folder, const QString& mainDBName,
                                              bool listingCGI, QString* error) {
    FileTools::makePath(folder, 0755);
    if (listingCGI) {
        mThrottle.pause(IndexThrottle::Pause::DeltaCreation);
        closeDatabase();
        mdbPath = masterPath(folder, mainDBName);
        const bool existed = QFileInfo::exists(mdbPath);
        mDatabase = std::make_unique<SQLiteDatabase>(mdbPath);
        if (!mDatabase->open())
            return fail(error);
        if (!existed)
            FileTools::adoptParentOwner(mdbPath);
        if (!mDatabase->executeUpdate(CreateMasterSQL))
            return fail(error);
        return true;
    }
    closeDatabase();
    mdbPath = reserveDeltaFile(folder, error);
    if (mdbPath.isEmpty())
        return false;
    mThrottle.pause(IndexThrottle::Pause::DeltaCreation);
    mDatabase = std::make_unique<SQLiteDatabase>(mdbPath);
    if (!mDatabase->open() || !mDatabase->executeUpdate(CreateDeltaSQL))
        return fail(error);
    return true;
}

bool DataBaseWraper::openDatabaseAtPath(const QString& folder, const QString& fileName, QString* error) {
    closeDatabase();
    mdbPath = fileName.isEmpty() ? folder : folder + QStringLiteral("/%1").arg(fileName);
    mDatabase = std::make_unique<SQLiteDatabase>(mdbPath);
    if (!mDatabase->open())
        return fail(error);
    return true;
}

void DataBaseWraper::beginTransaction() {
    if (mDatabase && mDatabase->isOpen())
        mDatabase->beginTransaction();
}

void DataBaseWraper::commitTransaction() {
    if (mDatabase && mDatabase->isOpen())
        mDatabase->commit();
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

void DataBaseWraper::unInitializeDatabase(QString*) {
    closeDatabase();
    // Only a delta being written is finished; any other file keeps its name.
    if (mdbPath.endsWith(ProgressSuffix)) {
        const QString finished = mdbPath.left(mdbPath.size() - qsizetype(strlen(".progress")));
        if (!renameNoReplace(mdbPath, finished) && errno == EEXIST) {
            // Another writer finished a delta of the same name meanwhile: take the next free one.
            const QString folder = QFileInfo(mdbPath).path();
            const QDateTime now = QDateTime::currentDateTime();
            for (int step = 1; step < 100000; ++step) {
                const QString next = QDir::cleanPath(folder + u'/' + deltaTimestamp(now.addMSecs(step))) +
                                     u'.' + DeltaExtension;
                if (renameNoReplace(mdbPath, next) || errno != EEXIST)
                    break;
            }
        }
    }
    mdbPath = QStringLiteral("");
}

bool DataBaseWraper::updateMasterDatabaseWorker(const QString& folder, const QString& mainDBName,
                                                QString* error) {
    if (!mDatabase || !mDatabase->isOpen()) {
        report(error, QStringLiteral("No delta is open"));
        return false;
    }
    const QString path = masterPath(folder, mainDBName);
    const bool existed = QFileInfo::exists(path);
    SQLiteDatabase master(path);
    if (!master.open()) {
        report(error, master.lastErrorMessage());
        return false;
    }
    if (!existed)
        FileTools::adoptParentOwner(path);
    // A master that cannot be locked or read keeps the delta for a later merge.
    const auto giveUp = [&]() {
        report(error, master.lastErrorMessage());
        master.rollback();
        master.close();
        return false;
    };
    if (!master.beginTransaction())
        return giveUp();
    {
        auto tables = master.executeQuery(
            QStringLiteral("select count(*) from sqlite_master where type='table' and name='FILE_TABLE'"));
        if (!tables || !tables->next())
            return giveUp();
        if (tables->int64ForColumnIndex(0) < 1 && !master.executeUpdate(CreateMasterSQL))
            report(error, master.lastErrorMessage());
    }

    auto rows = mDatabase->executeQuery(
        QStringLiteral("SELECT * FROM FILE_TABLE_TEMP WHERE OPERATION_TYPE = 'INSERT'"));
    if (!rows)
        report(error, mDatabase->lastErrorMessage());
    qint64 count = 0;
    while (rows && rows->next()) {
        ++count;
        const QString filePath = rows->stringForColumnIndex(0);
        const QString lmd = rows->stringForColumn(QStringLiteral("FILE_LMD"));
        const int sizeColumn = rows->columnIndexForName(QStringLiteral("FILE_SIZE"));
        const QVariant size = rows->columnTypeForIndex(sizeColumn) == SQLITE_TEXT
                                  ? sizeValue(rows->stringForColumnIndex(sizeColumn))
                                  : QVariant(rows->int64ForColumnIndex(sizeColumn));
        const bool folderFlag = rows->boolForColumn(QStringLiteral("FILE_OR_FOLDER"));
        const auto textOrNA = [&](const char* column) {
            const QString value = rows->stringForColumn(QLatin1String(column));
            return value.isNull() ? kNA : value;
        };
        const QString attributes = textOrNA("ATTRIBUTES");
        const QVariantList values{
            filePath, lmd, size, folderFlag, attributes, textOrNA("RESERVED1"), textOrNA("RESERVED2")};
        if (!insertInto(master, values, MasterTable) && master.lastErrorCode() == SQLITE_CONSTRAINT) {
            // Known path: take the delta's values only when they are newer.
            auto known = master.executeQuery(QStringLiteral("SELECT * FROM FILE_TABLE WHERE FILEPATH = ?"),
                                             {filePath});
            if (known && known->next()) {
                const auto masterDate = dateFromString(known->stringForColumn(QStringLiteral("FILE_LMD")));
                const auto deltaDate = dateFromString(lmd);
                known->close();
                if (masterDate && deltaDate && *deltaDate > *masterDate)
                    master.executeUpdate(
                        QStringLiteral("UPDATE FILE_TABLE SET FILE_LMD = ?, FILE_SIZE = ?, "
                                       "FILE_OR_FOLDER = ? , ATTRIBUTES = ?   WHERE FILEPATH = ?"),
                        {lmd, size, folderFlag, attributes, filePath});
            }
        }
        if (count % 100 == 0)
            mThrottle.pause(IndexThrottle::Pause::MergeRows);
    }
    rows.reset();
    if (!master.commit())
        return giveUp();
    master.close();
    vacuum(QVariant(), folder, mainDBName);
    return true;
}

bool DataBaseWraper::vacuum(const QVariant&, const QString& masterDBPath, const QString& mainDBName,
                            QString* error) {
    closeDatabase();
    mdbPath = masterPath(masterDBPath, mainDBName);
    mDatabase = std::make_unique<SQLiteDatabase>(mdbPath);
    if (!mDatabase->open())
        return fail(error);
    const bool done = mDatabase->executeUpdate(QStringLiteral("VACUUM"));
    if (!done)
        fail(error);
    closeDatabase();
    return done;
}

void DataBaseWraper::removeDataBaseAtPath(const QString& path) {
    closeDatabase();
    QFile::remove(path);
}

std::optional<QList<QVariantMap>> DataBaseWraper::Search(const QString& text, const QString& masterDBPath,
                                                         const QString& mainDBName, QString* error) {
    closeDatabase();
    mdbPath = masterPath(masterDBPath, mainDBName);
    mDatabase = std::make_unique<SQLiteDatabase>(mdbPath);
    if (!mDatabase->openReadOnly()) {
        fail(error);
        closeDatabase();
        return std::nullopt;
    }
    QString escaped;
    escaped.reserve(text.size() + 2);
    for (QChar c : text) {
        if (c == u'\\' || c == u'%' || c == u'_')
            escaped += u'\\';
        escaped += c;
    }
    QList<QVariantMap> hits;
    auto rows =
        mDatabase->executeQuery(QStringLiteral("SELECT * FROM FILE_TABLE WHERE FILEPATH LIKE ? ESCAPE '\\'"),
                                {QStringLiteral("%") + escaped + QStringLiteral("%")});
    if (!rows) {
        fail(error);
    } else {
        while (rows->next()) {
            hits.append(
                QVariantMap{{QStringLiteral("name"), rows->stringForColumn(QStringLiteral("FILEPATH"))},
                            {QStringLiteral("size"), rows->stringForColumn(QStringLiteral("FILE_SIZE"))},
                            {QStringLiteral("lmd"), rows->stringForColumn(QStringLiteral("FILE_LMD"))}});
        }
        if (mDatabase->lastErrorCode() != 0)
            fail(error);
        rows->close();
    }
    closeDatabase();
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
