#pragma once

#include <QCoreApplication>
#include <QString>

// A file or folder another program of the person's hands the application (a file manager's context
// menu, through the session interface): an absolute path or a "file://" URI. It is taken only as a
// drop on a window would be: a local, absolute, plain path (no "." or ".." parts), with no line break
// or other control character (the backup's lists hold one path a line), a name the application can
// spell (UTF-8), that exists for the person, looked at with their rights.
class HandedPath {
    Q_DECLARE_TR_FUNCTIONS(HandedPath)

  public:
    // person: whose rights the look takes when the process has more (root, in tests); "" for the
    // process's own.
    static HandedPath check(const QString& item, const QString& person = QString());

    bool ok() const { return mError.isEmpty(); }
    QString path() const { return mPath; }
    bool isFolder() const { return mFolder; }
    // Why it was not taken, in a sentence for the person.
    QString error() const { return mError; }
    // The item as a person reads it: control characters shown as escapes, bytes that are not UTF-8 as
    // "\xNN".
    static QString shown(const QString& item);

  private:
    QString mPath;
    QString mError;
    bool mFolder = false;
};
