#include "LocaleFormat.h"

#include <QLocale>

QString LocaleFormat::dateTime(const QDateTime& moment) {
    return QLocale().toString(moment.toLocalTime(), QLocale::ShortFormat);
}

QString LocaleFormat::dataSize(qint64 bytes) {
    return QLocale().formattedDataSize(bytes);
}
