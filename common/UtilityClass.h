#pragma once

#include <QString>
#include <QStringList>

class HostFacts;

// Small stateless helpers several parts of both programs share.
class UtilityClass {
  public:
    // True when both are present (non-empty key) and key occurs in text (literal, case-sensitive).
    static bool isString(const QString& text, const QString& key);

    // The computer's name reduced to Unicode letters, marks and digits: this machine's folder on the
    // appliance and the machine field of the local index.
    static QString machineName();
    static QString machineName(const HostFacts& facts);
    static QString machineNameFrom(const QString& computerName);

    // The volume-name column of the fixed disks' listing, one entry per line.
    static QStringList diskUtlilList();
    static QStringList diskUtlilList(const HostFacts& facts);

    // The single place where a reversible transform of the stored password would go.
    static QString encryptPath(const QString& text) { return text; }
    static QString decryptPath(const QString& text) { return text; }
};
