#include "UserDefaults.h"

UserDefaults::UserDefaults()
    : mSettings(std::make_unique<QSettings>(QStringLiteral("ZorvikHollin"), QStringLiteral("ZorvikHollin"))) {
}

UserDefaults::UserDefaults(const QString& filePath)
    : mSettings(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {}

QString UserDefaults::stringForKey(const QString& key) const {
    return mSettings->value(key).toString();
}

bool UserDefaults::setStringForKey(const QString& key, const QString& value) {
    mSettings->setValue(key, value);
    mSettings->sync();
    return mSettings->status() == QSettings::NoError;
}
