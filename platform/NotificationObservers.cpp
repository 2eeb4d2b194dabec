#include "NotificationObservers.h"

#include <QThread>

void NotificationObservers::add(QObject* observer, const QString& name, Handler handler) {
    if (!observer || name.isEmpty() || !handler)
        return;
    QMutexLocker lock(&mMutex);
    mEntries.append({observer, name, std::move(handler), std::make_shared<std::atomic_bool>(true)});
}

void NotificationObservers::remove(QObject* observer, const QString& name) {
    QMutexLocker lock(&mMutex);
    mEntries.removeIf([&](const Entry& e) {
        const bool gone =
            e.observer.isNull() || (e.observer.data() == observer && (name.isEmpty() || e.name == name));
        if (gone)
            e.live->store(false);
        return gone;
    });
}

bool NotificationObservers::isObserved(const QString& name) const {
    QMutexLocker lock(&mMutex);
    for (const Entry& e : mEntries)
        if (!e.observer.isNull() && e.name == name)
            return true;
    return false;
}

void NotificationObservers::deliver(const QString& name, const QVariantMap& userInfo) const {
    QList<Entry> targets;
    {
        QMutexLocker lock(&mMutex);
        // Destroyed observers are dropped here rather than through a signal per observer.
        mEntries.removeIf([](const Entry& e) { return e.observer.isNull(); });
        for (const Entry& e : mEntries)
            if (e.name == name)
                targets.append(e);
    }
    // Handlers run outside the lock so that they may add or remove observers themselves.
    for (const Entry& e : targets) {
        QObject* observer = e.observer.data();
        if (!observer)
            continue;
        const auto call = [live = e.live, handler = e.handler, name, userInfo] {
            if (live->load())
                handler(name, userInfo);
        };
        if (observer->thread() == QThread::currentThread())
            call();
        else
            QMetaObject::invokeMethod(observer, call, Qt::QueuedConnection);
    }
}
