#include "UtilityClass.h"

#include "HostFacts.h"

bool UtilityClass::isString(const QString& text, const QString& key) {
    if (text.isNull() || key.isEmpty())
        return false;
    return text.contains(key, Qt::CaseSensitive);
}

QString UtilityClass::machineName() {
    return machineName(HostFacts::system());
}

QString UtilityClass::machineName(const HostFacts& facts) {
    return machineNameFrom(facts.computerName());
}

QString UtilityClass::machineNameFrom(const QString& computerName) {
    QString out;
    for (char32_t c : computerName.toUcs4()) {
        switch (QChar::category(c)) {
        case QChar::Letter_Uppercase:
        case QChar::Letter_Lowercase:
        case QChar::Letter_Titlecase:
        case QChar::Letter_Modifier:
        case QChar::Letter_Other:
        case QChar::Mark_NonSpacing:
        case QChar::Mark_SpacingCombining:
        case QChar::Mark_Enclosing:
        case QChar::Number_DecimalDigit:
            out += QString::fromUcs4(&c, 1);
            break;
        default:
            break;
        }
    }
    return out;
}

QStringList UtilityClass::diskUtlilList() {
    return diskUtlilList(HostFacts::system());
}

QStringList UtilityClass::diskUtlilList(const HostFacts& facts) {
    return facts.diskVolumeNames();
}
