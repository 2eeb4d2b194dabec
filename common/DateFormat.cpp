#include "DateFormat.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

namespace DateFormat {

QString format(const char* pattern, const QDateTime& when) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat formatter(icu::UnicodeString(pattern, -1, US_INV), icu::Locale::getDefault(),
                                    status);
    if (U_FAILURE(status))
        return when.toString(Qt::ISODateWithMs);
    icu::UnicodeString out;
    formatter.format(static_cast<UDate>(when.toMSecsSinceEpoch()), out);
    return QString(reinterpret_cast<const QChar*>(out.getBuffer()), out.length());
}

} // namespace DateFormat
