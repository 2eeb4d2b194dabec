#include "DateFormat.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

namespace DateFormat {

QString format(const char* pattern, const QDateTime& when) {
    // Building a formatter costs far more than formatting (every trace and session line is stamped),
    // so each thread keeps one per pattern and locale. ICU formatters are not safe to share between
    // threads; the default locale may change (tests do), the key follows it.
    struct Cached {
        std::unique_ptr<icu::SimpleDateFormat> formatter;
        bool failed = false;
        // The text of the last second formatted, for patterns that show no fraction of a second
        // (trace lines come by the thousand within one second).
        bool bySecond = false;
        qint64 second = -1;
        QString text;
    };
    thread_local std::unordered_map<std::string, Cached> cache;
    const icu::Locale& locale = icu::Locale::getDefault();
    std::string key = pattern;
    key += '\n';
    key += locale.getName();
    Cached& cached = cache[key];
    if (!cached.formatter && !cached.failed) {
        UErrorCode status = U_ZERO_ERROR;
        auto formatter =
            std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(pattern, -1, US_INV), locale, status);
        if (U_FAILURE(status))
            cached.failed = true;
        else
            cached.formatter = std::move(formatter);
        // "S" (fraction) and "A" (milliseconds in the day) change within a second.
        cached.bySecond = !std::strchr(pattern, 'S') && !std::strchr(pattern, 'A');
    }
    if (!cached.formatter)
        return when.toString(Qt::ISODateWithMs);
    const qint64 msecs = when.toMSecsSinceEpoch();
    const qint64 second = msecs >= 0 ? msecs / 1000 : (msecs - 999) / 1000;
    if (cached.bySecond && second == cached.second)
        return cached.text;
    icu::UnicodeString out;
    cached.formatter->format(static_cast<UDate>(msecs), out);
    QString text(reinterpret_cast<const QChar*>(out.getBuffer()), out.length());
    if (cached.bySecond) {
        cached.second = second;
        cached.text = text;
    }
    return text;
}

} // namespace DateFormat
