#include "SystemJournal.h"

#include <QRegularExpression>

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace SystemJournal {

Priority priorityOf(const QString& message) {
    static const QRegularExpression error(
        QStringLiteral("^rsync(:| error)|@ERROR|\\b(fail(ed|ure)?|error|not able|could not|cannot|canceld|"
                       "quota|refused|unreachable)\\b"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression warning(QStringLiteral("\\b(retry\\w*|busy|tried again|again in)\\b"),
                                            QRegularExpression::CaseInsensitiveOption);
    if (warning.match(message).hasMatch())
        return Priority::Warning;
    if (error.match(message).hasMatch())
        return Priority::Error;
    return Priority::Info;
}

void send(const QString& identifier, const QString& message) {
    const QByteArray text = message.trimmed().toUtf8();
    if (text.isEmpty())
        return;
    sd_journal_send("MESSAGE=%s", text.constData(), "PRIORITY=%d", int(priorityOf(message)),
                    "SYSLOG_IDENTIFIER=%s", identifier.toUtf8().constData(), nullptr);
}

} // namespace SystemJournal
