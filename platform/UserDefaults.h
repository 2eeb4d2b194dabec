#pragma once

#include <QSettings>
#include <QString>

#include <memory>

// The application's small per-user preferences ("ip": the last appliance address discovery found).
// QSettings keeps them where the platform keeps preferences: ~/.config/ZorvikHollin on Linux, the
// application's defaults domain on macOS.
class UserDefaults {
  public:
    UserDefaults();
    // Preferences kept in the given file instead, as tests do.
    explicit UserDefaults(const QString& filePath);

    // "" when the key is not set.
    QString stringForKey(const QString& key) const;
    // Stored at once; false when the preferences cannot be written.
    bool setStringForKey(const QString& key, const QString& value);

  private:
    std::unique_ptr<QSettings> mSettings;
};
