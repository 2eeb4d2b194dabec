#include "AccountRecord.h"

#include "PropertyList.h"
#include "Protocol.h"
#include "UtilityClass.h"

#include <QFileInfo>
#include <QStringList>

AccountRecord AccountRecord::read(const QString& path, QString* error) {
    return AccountRecord(PropertyList::readDictionary(path, error));
}

bool AccountRecord::exists(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

bool AccountRecord::write(const QString& path, QString* error) const {
    return PropertyList::writeDictionary(path, mValues, PropertyList::OwnerOnlyMode, error);
}

AccountRecord AccountRecord::forLogin(const QString& userName, const QString& password, const QString& ip,
                                      bool paused, bool rememberMe) {
    AccountRecord record;
    record.setValue(Protocol::UserName, userName);
    record.setPassword(password);
    record.setValue(Protocol::Login, Protocol::FlagOn);
    record.setFlag(Protocol::PauseStateKey, paused);
    record.setValue(Protocol::Ip, ip);
    record.setValue(Protocol::RememberMeState, QString::number(rememberMe ? 1 : 0));
    return record;
}

bool AccountRecord::isOn(const QString& key) const {
    return value(key) == Protocol::FlagOn;
}

void AccountRecord::setFlag(const QString& key, bool on) {
    setValue(key, on ? QString(Protocol::FlagOn) : QString(Protocol::FlagOff));
}

int AccountRecord::integer(const QString& key) const {
    bool ok = false;
    const int n = value(key).trimmed().toInt(&ok);
    return ok ? n : 0;
}

QString AccountRecord::userName() const {
    return value(Protocol::UserName);
}

QString AccountRecord::password() const {
    return UtilityClass::decryptPath(value(Protocol::Password));
}

void AccountRecord::setPassword(const QString& password) {
    setValue(Protocol::Password, UtilityClass::encryptPath(password));
}

QString AccountRecord::maskedDescription() const {
    QStringList parts;
    for (auto it = mValues.cbegin(); it != mValues.cend(); ++it) {
        const QString shown =
            it.key() == Protocol::Password ? QStringLiteral("********") : it.value().toString();
        parts << QStringLiteral("%1 = \"%2\";").arg(it.key(), shown);
    }
    return QStringLiteral("{ ") + parts.join(u' ') + QStringLiteral(" }");
}
