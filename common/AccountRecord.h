#pragma once

#include <QString>
#include <QVariantMap>

// The account record "userDetails.plist" (and "RememberDetails.plist", which has the same form): a
// property-list dictionary of strings that exists exactly while an appliance account is logged in.
// Both programs read and write it through this class only, so the stored form of the password is
// decided in one place and the file is always written atomically and owner-only.
class AccountRecord {
  public:
    AccountRecord() = default;
    explicit AccountRecord(QVariantMap stored) : mValues(std::move(stored)) {}

    // A missing, unreadable or malformed file reads as an empty record; error (if given) says why.
    static AccountRecord read(const QString& path, QString* error = nullptr);
    static bool exists(const QString& path);
    // Atomic and owner-only from the moment the file exists; false (file untouched) on failure.
    bool write(const QString& path, QString* error = nullptr) const;

    // The six keys a log-in writes: user name, password, address, "login" "1", the pause state carried
    // over from the previous record, and the remember-me state.
    static AccountRecord forLogin(const QString& userName, const QString& password, const QString& ip,
                                  bool paused, bool rememberMe);

    QString value(const QString& key) const { return mValues.value(key).toString(); }
    void setValue(const QString& key, const QString& value) { mValues.insert(key, value); }
    // A flag is on when its value is "1".
    bool isOn(const QString& key) const;
    void setFlag(const QString& key, bool on);
    // An integer value; missing or not a number reads 0.
    int integer(const QString& key) const;

    QString userName() const;
    // The password as typed: the stored form passes through UtilityClass's transform here and only here.
    QString password() const;
    void setPassword(const QString& password);

    bool isEmpty() const { return mValues.isEmpty(); }
    qsizetype size() const { return mValues.size(); }
    const QVariantMap& stored() const { return mValues; }
    // The stored dictionary for a trace: the password is masked.
    QString maskedDescription() const;

  private:
    QVariantMap mValues;
};
