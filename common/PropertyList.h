#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <sys/types.h>

// XML property lists as the programs share them: dictionaries of strings (a value may itself be such
// a dictionary) and arrays of strings. Reading never fails loudly: a missing, malformed or wrongly
// typed file reads as empty, the reason goes to error (if given) and, except for a missing file, to
// the warning log. Only a regular file is read, never through a symlink at its name, never waiting,
// at most MaxFileSize bytes and MaxNesting levels deep: a FIFO, a device or a huge file reads as
// empty too. Writing is atomic with an explicit file mode.
namespace PropertyList {

// Mode of a shared file that holds nothing secret, and of one holding the appliance password.
inline constexpr mode_t PublicMode = 0644;
inline constexpr mode_t OwnerOnlyMode = 0600;

inline constexpr qint64 MaxFileSize = 1024 * 1024;
inline constexpr int MaxNesting = 32;

// Values: QString, QStringList, or a nested QVariantMap of the same. Numbers and booleans in a file
// read as their text ("1"/"0" for booleans), other value types are skipped.
QVariantMap readDictionary(const QString& path, QString* error = nullptr);
QStringList readStringArray(const QString& path, QString* error = nullptr);

bool writeDictionary(const QString& path, const QVariantMap& dictionary, mode_t mode,
                     QString* error = nullptr);
bool writeStringArray(const QString& path, const QStringList& array, mode_t mode, QString* error = nullptr);

// The XML forms, for callers that keep a property list elsewhere than in a file.
QByteArray dictionaryToXml(const QVariantMap& dictionary);
QByteArray stringArrayToXml(const QStringList& array);
bool dictionaryFromXml(const QByteArray& xml, QVariantMap& out, QString* error = nullptr);
bool stringArrayFromXml(const QByteArray& xml, QStringList& out, QString* error = nullptr);

} // namespace PropertyList
