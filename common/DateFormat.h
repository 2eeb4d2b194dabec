#pragma once

#include <QDateTime>
#include <QString>

namespace DateFormat {

// Formats a moment with a Unicode date pattern (e.g. "EE MMM dd yyyy hh:mm:ss a") in the current
// locale and time zone.
QString format(const char* pattern, const QDateTime& when);

} // namespace DateFormat
