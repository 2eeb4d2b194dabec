#pragma once

#include <QDateTime>
#include <QString>

// Dates and sizes as the person's locale writes them (QLocale(): the system's, or the one the
// application set as default). The windows show dates and sizes only through these.
namespace LocaleFormat {
// A moment in local time, in the locale's short date and time.
QString dateTime(const QDateTime& moment);
// A size in bytes, in the locale's digits, with two decimals in units of 1024 ("1.46 KiB").
QString dataSize(qint64 bytes);
} // namespace LocaleFormat
