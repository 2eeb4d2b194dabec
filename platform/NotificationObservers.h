#pragma once

#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>

// The observer list behind both notification centers. Each observer is a QObject and is called on
// the thread it lives in: directly when the poster is on that thread, otherwise queued to it. A
// removed or destroyed observer gets nothing more, not even a call that was already queued.
class NotificationObservers {
  public:
    using Handler = std::function<void(const QString& name, const QVariantMap& userInfo)>;

    void add(QObject* observer, const QString& name, Handler handler);
    // An empty name removes every registration of the observer.
    void remove(QObject* observer, const QString& name = QString());
    bool isObserved(const QString& name) const;
    // Hands the notification to every observer of name.
    void deliver(const QString& name, const QVariantMap& userInfo) const;

  private:
    struct Entry {
        QPointer<QObject> observer;
        QString name;
        Handler handler;
        std::shared_ptr<std::atomic_bool> live;
    };

    mutable QMutex mMutex;
    mutable QList<Entry> mEntries;
};
