#include "InProcessNotificationCenter.h"

InProcessNotificationCenter& InProcessNotificationCenter::defaultCenter() {
    static InProcessNotificationCenter center;
    return center;
}

void InProcessNotificationCenter::postNotification(const QString& name, const QVariantMap& userInfo) const {
    mObservers.deliver(name, userInfo);
}

void InProcessNotificationCenter::addObserver(QObject* observer, const QString& name, Handler handler) {
    mObservers.add(observer, name, std::move(handler));
}

void InProcessNotificationCenter::removeObserver(QObject* observer, const QString& name) {
    mObservers.remove(observer, name);
}
