#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QSet>

// The names under which the person's files with more than one name (hard links) were met. The kernel
// reports a change under the name it was made through only: a document rewritten in place through its
// other name changed under this one too, and only these names say where else it lies. Files with one
// name are never kept, so this stays as small as the home's hard links. Safe from any thread.
class LinkedNames {
  public:
    using Id = QPair<quint64, quint64>; // device, inode

    // The file id, with nlink names, was met under native.
    void met(Id id, quint64 nlink, const QByteArray& native);
    // The other names id was met under that still name it (gone or renamed ones are forgotten).
    QList<QByteArray> othersOf(Id id, const QByteArray& native);
    // Whether fewer names of id are known than it has, and no look through the folders was made for it
    // since its count last changed (the others may lie where nobody looks).
    bool wantsLook(Id id);
    // A look through the folders met every name of these it could: what it did not find is not looked
    // for again until the count of names changes.
    void lookedFor(const QSet<Id>& ids);

  private:
    struct Names {
        QSet<QByteArray> names;
        quint64 nlink = 0;
        bool lookedFor = false;
    };
    QMutex mLock;
    QHash<Id, Names> mFiles;
};
