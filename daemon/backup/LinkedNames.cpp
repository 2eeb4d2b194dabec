#include "LinkedNames.h"

#include <sys/stat.h>

void LinkedNames::met(Id id, quint64 nlink, const QByteArray& native) {
    QMutexLocker lock(&mLock);
    Names& file = mFiles[id];
    file.names.insert(native);
    if (file.nlink != nlink)
        file.lookedFor = false;
    file.nlink = nlink;
}

QList<QByteArray> LinkedNames::othersOf(Id id, const QByteArray& native) {
    QMutexLocker lock(&mLock);
    const auto found = mFiles.find(id);
    if (found == mFiles.end())
        return {};
    QList<QByteArray> others;
    for (auto name = found->names.begin(); name != found->names.end();) {
        struct stat st {};
        if (::lstat(name->constData(), &st) != 0 || Id(st.st_dev, st.st_ino) != id) {
            name = found->names.erase(name);
            continue;
        }
        if (*name != native)
            others << *name;
        ++name;
    }
    if (found->names.isEmpty())
        mFiles.erase(found);
    return others;
}

bool LinkedNames::wantsLook(Id id) {
    QMutexLocker lock(&mLock);
    const auto found = mFiles.constFind(id);
    return found != mFiles.cend() && !found->lookedFor && quint64(found->names.size()) < found->nlink;
}

void LinkedNames::lookedFor(const QSet<Id>& ids) {
    QMutexLocker lock(&mLock);
    for (const Id& id : ids) {
        const auto found = mFiles.find(id);
        if (found != mFiles.end())
            found->lookedFor = true;
    }
}
