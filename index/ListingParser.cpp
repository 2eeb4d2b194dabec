#include "ListingParser.h"

#include <QDateTime>

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits, possibly grouped by the separators rsync prints.
bool isSize(QByteArrayView text) {
    if (!isDigit(text.front()))
        return false;
    for (char c : text)
        if (!isDigit(c) && c != ',' && c != '.' && c != '\'')
            return false;
    return true;
}

// text has the shape of pattern, where "d" stands for a digit.
bool hasShape(QByteArrayView text, const char* pattern) {
    const QByteArrayView shape(pattern);
    if (text.size() != shape.size())
        return false;
    for (qsizetype i = 0; i < text.size(); ++i)
        if (shape[i] == 'd' ? !isDigit(text[i]) : text[i] != shape[i])
            return false;
    return true;
}

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

// Length of the valid UTF-8 sequence starting at p, or 0.
int utf8SequenceLength(const unsigned char* p, qsizetype left) {
    const unsigned char c = p[0];
    int length = 0;
    char32_t minimum = 0;
    char32_t value = 0;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
        value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
        value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
        value = c & 0x07;
    } else {
        return 0;
    }
    if (left < length)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

QString ListingParser::Entry::lmd() const {
    // rsync prints local time; the index keeps UTC, the time base of every other writer.
    const QDate day = QDate::fromString(date, QStringLiteral("yyyy/MM/dd"));
    const QTime clock = QTime::fromString(time, QStringLiteral("HH:mm:ss"));
    if (!day.isValid() || !clock.isValid()) {
        QString text = date;
        text.replace(u'/', u'-');
        return QStringLiteral("%1 %2 +0000").arg(text, time);
    }
    return QDateTime(day, clock).toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" +0000");
}

QList<QByteArray> ListingParser::feed(QByteArrayView chunk) {
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = chunk.indexOf('\n', start);
        if (end < 0)
            break;
        if (mPending.isEmpty()) {
            lines.append(chunk.sliced(start, end - start).toByteArray());
        } else {
            mPending.append(chunk.sliced(start, end - start));
            lines.append(mPending);
            mPending.clear();
        }
        start = end + 1;
    }
    if (start < chunk.size())
        mPending.append(chunk.sliced(start));
    return lines;
}

std::optional<QByteArray> ListingParser::finish() {
    if (mPending.isEmpty())
        return std::nullopt;
    QByteArray last;
    last.swap(mPending);
    return last;
}

std::optional<ListingParser::Entry> ListingParser::parseLine(QByteArrayView line) {
    // A permission string, then the fields each after one blank (the size right-aligned).
    if (line.size() <= 10)
        return std::nullopt;
    const qsizetype n = line.size();
    qsizetype p = 10;
    const auto field = [&](QByteArrayView& out) {
        while (p < n && isBlank(line[p]))
            ++p;
        const qsizetype begin = p;
        while (p < n && !isBlank(line[p]))
            ++p;
        out = line.sliced(begin, p - begin);
        return !out.isEmpty();
    };
    QByteArrayView size, date, time;
    if (!field(size) || !field(date) || !field(time))
        return std::nullopt;
    // Only entry lines: other text on the output (a daemon's greeting, say) must not become an entry.
    if (!isSize(size) || !hasShape(date, "dddd/dd/dd") || !hasShape(time, "dd:dd:dd"))
        return std::nullopt;
    // Exactly one blank separates the time from the name, which may begin with blanks itself.
    if (p >= n || !isBlank(line[p]))
        return std::nullopt;
    ++p;
    QByteArrayView name = line.sliced(p);
    if (name.endsWith('\r'))
        name.chop(1);
    if (name.isEmpty())
        return std::nullopt;
    Entry entry;
    entry.size = QString::fromLatin1(size);
    entry.date = QString::fromLatin1(date);
    entry.time = QString::fromLatin1(time);
    entry.directory = line.startsWith('d');
    if (line.startsWith('l')) {
        // A symlink shows its target after " -> "; the entry is the link itself.
        const qsizetype arrow = name.indexOf(" -> ");
        if (arrow > 0)
            name.truncate(arrow);
    }
    entry.name = decodeName(name);
    return entry;
}

QString ListingParser::decodeName(QByteArrayView bytes) {
    // Undo rsync's escapes first.
    QByteArray raw;
    raw.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\\' && i + 4 < bytes.size() && bytes[i + 1] == '#' && isOctal(bytes[i + 2]) &&
            isOctal(bytes[i + 3]) && isOctal(bytes[i + 4]) && bytes[i + 2] <= '3') {
            raw.append(
                char(((bytes[i + 2] - '0') << 6) | ((bytes[i + 3] - '0') << 3) | (bytes[i + 4] - '0')));
            i += 4;
        } else {
            raw.append(bytes[i]);
        }
    }
    // Then read UTF-8, keeping what is not UTF-8 in the escaped form.
    QString out;
    out.reserve(raw.size());
    const auto* p = reinterpret_cast<const unsigned char*>(raw.constData());
    const qsizetype n = raw.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype plainStart = i;
        int length = 0;
        while (i < n && (length = utf8SequenceLength(p + i, n - i)) > 0)
            i += length;
        if (i > plainStart)
            out += QString::fromUtf8(raw.constData() + plainStart, i - plainStart);
        if (i < n) {
            out += QStringLiteral("\\#%1").arg(uint(p[i]), 3, 8, QLatin1Char('0'));
            ++i;
        }
    }
    return out;
}
