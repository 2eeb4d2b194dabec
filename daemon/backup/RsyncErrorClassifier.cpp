#include "RsyncErrorClassifier.h"

#include <QStringList>

namespace {
bool containsAny(const QString& text, std::initializer_list<const char*> needles) {
    for (const char* needle : needles)
        if (text.contains(QLatin1String(needle)))
            return true;
    return false;
}
} // namespace

RsyncErrorClassifier::Result RsyncErrorClassifier::classify(const QString& chunk) {
    const QStringList lines = chunk.split(u'\n');
    for (const QString& line : lines)
        if (line.contains(QLatin1String("IOERROR")) || line.contains(QLatin1String("SFERROR")))
            return {Kind::PerFileError, line};
    if (isNetworkFailure(chunk))
        return {Kind::Network, QString()};
    if (isQuotaFailure(chunk))
        return {Kind::Quota, QString()};
    return {};
}

bool RsyncErrorClassifier::isNetworkFailure(const QString& text) {
    // "Connection timed out" is how Linux words what BSD calls "Operation timed out".
    return containsAny(text, {"Operation timed out", "Connection timed out", "Connection refused",
                              "connection unexpectedly closed", "failed to connect"});
}

bool RsyncErrorClassifier::isQuotaFailure(const QString& text) {
    // "Disk quota exceeded" is the Linux wording of EDQUOT.
    return containsAny(text, {"No space left on device", "Disc quota exceeded", "Disk quota exceeded"});
}

bool RsyncErrorClassifier::isRsyncFailure(const QString& text) {
    return text.contains(QLatin1String("rsync error:")) || text.contains(QLatin1String("@ERROR"));
}

bool RsyncErrorClassifier::isPartialTransfer(const QString& text) {
    return containsAny(text, {"(code 23)", "(code 24)"});
}

bool RsyncErrorClassifier::hasTransferSummary(const QString& output) {
    return output.contains(QLatin1String("total size is"));
}

QString RsyncErrorClassifier::addressFromPingOutput(const QString& text) {
    const qsizetype open = text.indexOf(u'(');
    const qsizetype close = text.indexOf(u')');
    if (open < 1 || close < 1 || close <= open)
        return QString();
    return text.mid(open + 1, close - open - 1);
}
