#pragma once

#include "NotificationObservers.h"

// Notifications inside one process ("Initialbackup" and the like): post, observe, remove. An
// observer on the poster's thread is called before post returns; one on another thread is called
// from that thread's event loop.
class InProcessNotificationCenter {
  public:
    using Handler = NotificationObservers::Handler;

    // The process-wide center.
    static InProcessNotificationCenter& defaultCenter();

    void postNotification(const QString& name, const QVariantMap& userInfo = QVariantMap()) const;
    void addObserver(QObject* observer, const QString& name, Handler handler);
    // An empty name removes every registration of the observer.
    void removeObserver(QObject* observer, const QString& name = QString());

  private:
    NotificationObservers mObservers;
};
