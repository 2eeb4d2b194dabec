#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// File operations with the guarantees the shared state files need: atomic replacement, an explicit
// mode from the moment a file exists, and ownership that follows the folder it is created in (a
// daemon running as root keeps what it creates in a user's home that user's).
namespace FileTools {

// Creates the folder and every missing parent. Each folder it creates takes the owner and group of
// the folder above it; a folder it did not create is left as it is. True when the folder exists
// afterwards.
bool makePath(const QString& folder, mode_t mode = 0755);

// Replaces path atomically with data: a temporary file beside it, created with mode, takes the
// parent folder's owner, is synced and moved over the old file. The folder must exist. On failure
// the old file is untouched and error (if given) says why.
bool writeAtomically(const QString& path, const QByteArray& data, mode_t mode, QString* error = nullptr);

// Every entry of a folder, hidden ones included, without "." and ".."; empty when it cannot be listed.
QStringList entries(const QString& folder);

// Appends to an existing file (its mode as it is), or creates it atomically, its owner's alone (0600,
// owner of its folder): traces name the files they are about.
bool appendOrCreate(const QString& path, const QByteArray& data);

// Reads a whole regular file of at most maxBytes without following a symlink at its name and
// without waiting (a FIFO or a device there is refused at once, not read). False, with the reason in
// error, for anything else: missing, not a regular file, too large, unreadable.
bool readRegularFile(const QString& path, qint64 maxBytes, QByteArray& data, QString* error = nullptr);

// Sets the modification time of path (not following a symlink at its name) to msSinceEpoch; the
// access time stays. False when the file cannot be changed.
bool setModificationTime(const QString& path, qint64 msSinceEpoch);

} // namespace FileTools
