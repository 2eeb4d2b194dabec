#include "RsyncOutputParser.h"

#include <Protocol.h>

#include <algorithm>

QString LineJoiner::take(const QString& chunk) {
    mPending += chunk;
    const qsizetype last = mPending.lastIndexOf(u'\n');
    if (last < 0)
        return QString();
    const QString whole = mPending.left(last + 1);
    mPending.remove(0, last + 1);
    return whole;
}

QString LineJoiner::flush() {
    QString rest;
    rest.swap(mPending);
    return rest;
}

void RsyncOutputParser::reset() {
    bytesuploaded = 0;
    noOfFiles = 0;
    completedfiles = 0;
    sentBytes = 0;
    sentFiles = 0;
    mLastFileFigures.clear();
}

void RsyncOutputParser::addTotals(QVariantMap& progress) const {
    progress.insert(Protocol::KeySentBytes, QString::number(sentBytes));
    progress.insert(Protocol::KeySentFiles, QString::number(sentFiles));
}

QString RsyncOutputParser::formatBytes(double bytes) {
    static const char* const units[] = {"bytes", "KB", "MB", "GB", "TB"};
    int unit = 0;
    double value = bytes;
    // Past the last unit the value simply stays in TB.
    while (value > 1024.0 && unit < 4) {
        value *= 0.0009765625;
        ++unit;
    }
    return QString::asprintf("%4.2f %s", value, units[unit]);
}

QStringList RsyncOutputParser::tokens(const QString& line) {
    // Pieces between blanks and tabs, each taken whole (a line per sent file passes through here).
    QStringList out;
    const qsizetype size = line.size();
    const QChar* data = line.constData();
    qsizetype start = -1;
    for (qsizetype i = 0; i <= size; ++i) {
        const bool separator = i == size || data[i] == u' ' || data[i] == u'\t';
        if (!separator) {
            if (start < 0)
                start = i;
        } else if (start >= 0) {
            out << line.mid(start, i - start);
            start = -1;
        }
    }
    return out;
}

int RsyncOutputParser::leadingInt(const QString& token) {
    const QString t = token.trimmed();
    qsizetype end = 0;
    if (end < t.size() && (t[end] == u'-' || t[end] == u'+'))
        ++end;
    while (end < t.size() && t[end].isDigit() && t[end].unicode() < 128)
        ++end;
    bool ok = false;
    const long long v = t.left(end).toLongLong(&ok);
    if (!ok)
        return 0;
    return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : int(v));
}

double RsyncOutputParser::leadingDouble(const QString& token) {
    const QString t = token.trimmed();
    qsizetype end = 0;
    if (end < t.size() && (t[end] == u'-' || t[end] == u'+'))
        ++end;
    bool dot = false;
    while (end < t.size() && ((t[end].isDigit() && t[end].unicode() < 128) || (t[end] == u'.' && !dot))) {
        if (t[end] == u'.')
            dot = true;
        ++end;
    }
    bool ok = false;
    const double v = t.left(end).toDouble(&ok);
    return ok ? v : 0.0;
}

QList<RsyncOutputParser::Event> RsyncOutputParser::ParseOutput(const QString& chunk, bool initialBackup) {
    static const QString full = QStringLiteral("[Full Backup]");
    static const QString incremental = QStringLiteral("[Incremental Backup]");
    QList<Event> events;
    const QStringList lines = chunk.split(u'\n');
    for (const QString& line : lines) {
        if (line.contains(QLatin1String("files to consider"))) {
            const QStringList before = tokens(line.left(line.indexOf(QLatin1String("files to"))));
            const int value = before.isEmpty() ? 0 : leadingInt(before.last());
            noOfFiles = value > 0 ? value : 1;
            continue;
        }
        const QString& tag = line.contains(full) ? full : incremental;
        if (!line.contains(tag))
            continue;
        const QStringList parts = tokens(line);
        if (parts.size() < 5 || parts[4] != QLatin1String("100%"))
            continue;
        bytesuploaded = leadingDouble(parts[2]);
        const qsizetype start = line.indexOf(tag) + tag.size();
        const qsizetype next = line.indexOf(tag, start);
        const QString file = next < 0 ? line.mid(start) : line.mid(start, next - start);
        ++completedfiles;
        sentBytes += std::max<qint64>(0, qint64(bytesuploaded));
        ++sentFiles;
        Event event;
        event.file = file;
        addTotals(event.progress);
        event.progress.insert(Protocol::KeyTotalSize, formatBytes(bytesuploaded));
        event.progress.insert(Protocol::KeyUploadingFile, file);
        if (initialBackup) {
            event.progress.insert(Protocol::KeyTotalFiles, QString::number(completedfiles));
        } else {
            event.progress.insert(Protocol::KeyTotalFiles,
                                  QStringLiteral("%1 out of %2").arg(completedfiles).arg(noOfFiles));
            // The shown count stops at "N out of N" even when more files report in.
            if (completedfiles >= noOfFiles)
                completedfiles = noOfFiles - 1;
        }
        events << event;
    }
    return events;
}

QList<RsyncOutputParser::Event>
RsyncOutputParser::ParseDefaultRsyncOutput(const QString& chunk, const QStringList& uploadingFiles) {
    QList<Event> events;
    if (bytesuploaded == 0)
        bytesuploaded = 1024;
    QVariantMap dictionary;

    const QStringList pieces = chunk.split(u'\r');
    if (pieces.size() >= 2) {
        for (const QString& piece : pieces) {
            if (!piece.endsWith(QLatin1String("files...")))
                continue;
            const QStringList parts = tokens(piece);
            if (parts.isEmpty())
                continue;
            QString first = parts.first();
            first.remove(u' ');
            const int value = leadingInt(first);
            if (value > 0) {
                dictionary.insert(Protocol::KeyTotalFiles, first);
                completedfiles = value;
                events << Event{dictionary, QString()};
            }
        }
    }

    // The list holds absolute paths; rsync names them relative to the source "/".
    QStringList relative;
    relative.reserve(uploadingFiles.size());
    for (const QString& path : uploadingFiles)
        relative << ((path.startsWith(u'/') && path.size() > 1) ? path.mid(1) : path);

    const QStringList lines = chunk.split(u'\n');
    for (const QString& line : lines) {
        for (const QString& path : relative) {
            if (path.isEmpty() || !line.startsWith(path))
                continue;
            dictionary.insert(Protocol::KeyUploadingFile, line);
            if (bytesuploaded > 0)
                dictionary.insert(Protocol::KeyTotalSize, formatBytes(bytesuploaded));
            if (completedfiles == 0)
                completedfiles = 1;
            dictionary.insert(Protocol::KeyTotalFiles, QString::number(completedfiles));
            addTotals(dictionary);
            mLastFileFigures = dictionary;
            events << Event{dictionary, line};
        }
        if (line.contains(QLatin1String("100%"))) {
            ++completedfiles;
            const QStringList parts = tokens(line);
            const qsizetype at = parts.indexOf(QStringLiteral("100%"));
            // Newer rsyncs group digits with commas ("1,234,567"); the figure is the whole number.
            const QString figure = at > 0 ? QString(parts[at - 1]).remove(u',') : QString();
            if (at > 0)
                bytesuploaded += leadingInt(figure);
            sentBytes += std::max<qint64>(0, qint64(leadingDouble(figure)));
            ++sentFiles;
            // The file named last is done: the run's totals now hold it (the last file of a run would
            // otherwise never be counted in what the application is shown).
            if (!mLastFileFigures.isEmpty()) {
                addTotals(mLastFileFigures);
                events << Event{mLastFileFigures, QString()};
            }
        }
    }
    return events;
}
