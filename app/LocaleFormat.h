#pragma once

#include <QDateTime>
#include <QString>

// Dates and sizes as the person's locale writes them (QLocale(): the system's, or the one the
// application set as default). The windows show dates and sizes only through these.
namespace LocaleFormat {
// A moment in local time, in the locale's short date and time.
QString dateTime(const QDateTime& moment);
// A size in bytes, in the locale's units and digits (1 KB = 1000 bytes, as the windows always showed).
QString dataSize(qint64 bytes);
} // namespace LocaleFormat
