#include "RsyncErrorClassifier.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

// errno texts of a connection that failed or broke, BSD and Linux wordings.
const char* const kNetworkErrnos[] = {
    "Operation timed out",    "Connection timed out", "Connection refused", "Connection reset by peer",
    "Network is unreachable", "No route to host",     "Host is down"};
// errno texts of a full appliance: ENOSPC, and EDQUOT in its BSD and Linux wordings.
const char* const kQuotaErrnos[] = {"No space left on device", "Disc quota exceeded", "Disk quota exceeded"};

bool isRsyncMessage(const QString& line) {
    return line.startsWith(QLatin1String("rsync: ")) || line.startsWith(QLatin1String("rsync error: ")) ||
           line.startsWith(QLatin1String("@ERROR"));
}

bool isPerFileLine(const QString& line) {
    return line.startsWith(QLatin1String("IOERROR: ")) || line.startsWith(QLatin1String("SFERROR: "));
}

template <std::size_t N> bool isOneOf(const QString& text, const char* const (&list)[N]) {
    for (const char* item : list)
        if (text == QLatin1String(item))
            return true;
    return false;
}

bool isNetworkLine(const QString& line) {
    if (!isRsyncMessage(line))
        return false;
    // rsync's own wordings for a connection that never came up or broke off.
    if (line.startsWith(QLatin1String("rsync: failed to connect to ")) ||
        line.startsWith(QLatin1String("rsync: connection unexpectedly closed")) ||
        line.startsWith(QLatin1String("rsync error: error in socket IO ")) ||
        line.startsWith(QLatin1String("rsync error: timeout ")))
        return true;
    return isOneOf(RsyncErrorClassifier::errnoText(line), kNetworkErrnos);
}

bool isQuotaLine(const QString& line) {
    return isRsyncMessage(line) && isOneOf(RsyncErrorClassifier::errnoText(line), kQuotaErrnos);
}

template <typename Test> bool anyLine(const QString& text, Test test) {
    const QStringList lines = text.split(u'\n');
    for (QString line : lines) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (test(line))
            return true;
    }
    return false;
}

} // namespace

QString RsyncErrorClassifier::errnoText(const QString& line) {
    // "…: <text> (<number>)" at the very end; a quoted name before it does not count.
    static const QRegularExpression form(QStringLiteral(R"(: ([A-Za-z][A-Za-z ]*[a-z]) \((\d+)\)\s*$)"));
    const QRegularExpressionMatch match = form.match(line);
    return match.hasMatch() ? match.captured(1) : QString();
}

RsyncErrorClassifier::Result RsyncErrorClassifier::classify(const QString& chunk) {
    const QStringList lines = chunk.split(u'\n');
    for (const QString& line : lines)
        if (isPerFileLine(line))
            return {Kind::PerFileError, line};
    // A full appliance breaks the connection too; the full disk is the cause worth acting on.
    if (isQuotaFailure(chunk))
        return {Kind::Quota, QString()};
    if (isNetworkFailure(chunk))
        return {Kind::Network, QString()};
    // The daemon's refusals come before any transfer; both end with rsync's code 5.
    if (isAuthRefused(chunk))
        return {Kind::AuthRefused, QString()};
    if (isBusy(chunk))
        return {Kind::Busy, QString()};
    return {};
}

QString RsyncErrorClassifier::withoutPerFileLines(const QString& chunk) {
    QStringList kept;
    for (const QString& line : chunk.split(u'\n'))
        if (!isPerFileLine(line))
            kept << line;
    return kept.join(u'\n');
}

bool RsyncErrorClassifier::isNetworkFailure(const QString& text) {
    return anyLine(text, isNetworkLine);
}

bool RsyncErrorClassifier::isQuotaFailure(const QString& text) {
    return anyLine(text, isQuotaLine);
}

bool RsyncErrorClassifier::isBusy(const QString& text) {
    return anyLine(text, [](const QString& line) {
        return line.startsWith(QLatin1String("@ERROR: max connections ")) &&
               line.contains(QLatin1String(" reached"));
    });
}

bool RsyncErrorClassifier::isAuthRefused(const QString& text) {
    return anyLine(text, [](const QString& line) {
        return line.startsWith(QLatin1String("@ERROR: auth failed on module"));
    });
}

bool RsyncErrorClassifier::isRsyncFailure(const QString& text) {
    return anyLine(text, [](const QString& line) {
        return line.startsWith(QLatin1String("rsync error: ")) || line.startsWith(QLatin1String("@ERROR"));
    });
}

bool RsyncErrorClassifier::isPartialTransfer(const QString& text) {
    return anyLine(text, [](const QString& line) {
        return line.startsWith(QLatin1String("rsync error: ")) &&
               (line.contains(QLatin1String("(code 23)")) || line.contains(QLatin1String("(code 24)")));
    });
}

QString RsyncErrorClassifier::addressFromPingOutput(const QString& text) {
    const qsizetype open = text.indexOf(u'(');
    const qsizetype close = text.indexOf(u')');
    if (open < 1 || close < 1 || close <= open)
        return QString();
    return text.mid(open + 1, close - open - 1);
}
