#pragma once

#include <QMutex>
#include <QString>

#include <sys/types.h>

// The person a daemon process serves: the console user it built its machinery for. A process never
// serves a second person (a change of console user ends it), so once set this is who may ask the
// machinery anything, whoever holds the console in the moments before the process ends.
class ServedPerson {
  public:
    void set(const QString& name, uid_t uid) {
        QMutexLocker lock(&mLock);
        mName = name;
        mUid = uid;
        mSet = true;
    }
    // False while nobody is served yet.
    bool get(QString* name, uid_t* uid) const {
        QMutexLocker lock(&mLock);
        if (name)
            *name = mName;
        if (uid)
            *uid = mUid;
        return mSet;
    }

  private:
    mutable QMutex mLock;
    QString mName;
    uid_t mUid = 0;
    bool mSet = false;
};
