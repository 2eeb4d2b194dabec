#include "InProcessNotificationCenter.h"
#include "EventLoopWait.h"

#include <Protocol.h>

#include <QSemaphore>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

TEST(InProcessNotificationCenter, ObserversAreCalledOnTheirThreadAndNeverAfterRemoval) {
    InProcessNotificationCenter center;
    const QString Other = QStringLiteral("Other");
    QStringList got;
    const auto record = [&](const QString& tag) {
        return [&got, tag](const QString&, const QVariantMap&) { got << tag; };
    };
    QObject first, second;
    // Registration order is delivery order: the first removes the second before it is reached.
    center.addObserver(&first, Protocol::Initialbackup, [&](const QString& name, const QVariantMap& info) {
        got << name + info.value(QStringLiteral("k")).toString();
        center.removeObserver(&second);
    });
    center.addObserver(&second, Protocol::Initialbackup, record(QStringLiteral("second")));
    center.addObserver(&second, Other, record(Other));
    center.addObserver(nullptr, Protocol::Initialbackup, record(QStringLiteral("no observer")));
    center.addObserver(&first, QString(), record(QStringLiteral("no name")));
    {
        QObject destroyed;
        center.addObserver(&destroyed, Protocol::Initialbackup, record(QStringLiteral("destroyed")));
    }
    center.postNotification(Protocol::Initialbackup, {{QStringLiteral("k"), QStringLiteral(" v")}});
    center.postNotification(Other);
    center.postNotification(QString());
    EXPECT_EQ(got, QStringList{QStringLiteral("Initialbackup v")}) << "called before post returns";

    // An observer on another thread is called there; a call still queued when it is removed is dropped.
    QThread worker;
    worker.start();
    auto* far = new QObject;
    far->moveToThread(&worker);
    std::atomic_int initialCalls{0}, otherCalls{0};
    const auto count = [&worker](std::atomic_int& calls) {
        return [&](const QString&, const QVariantMap&) { calls += QThread::currentThread() == &worker; };
    };
    center.addObserver(far, Protocol::Initialbackup, count(initialCalls));
    center.addObserver(far, Other, count(otherCalls));

    QSemaphore busy, drained;
    const auto drain = [&] {
        QMetaObject::invokeMethod(
            far, [&] { drained.release(); }, Qt::QueuedConnection);
        return drained.tryAcquire(1, 10000);
    };
    QMetaObject::invokeMethod(
        far, [&] { busy.acquire(); }, Qt::QueuedConnection);
    center.postNotification(Protocol::Initialbackup); // queued behind the busy call
    center.postNotification(Other);
    center.removeObserver(far, Protocol::Initialbackup); // this name only
    busy.release();
    ASSERT_TRUE(drain());
    EXPECT_EQ(initialCalls.load(), 0);
    EXPECT_EQ(otherCalls.load(), 1) << "called on its own thread";
    center.removeObserver(far); // every name
    center.postNotification(Other);
    ASSERT_TRUE(drain());
    EXPECT_EQ(otherCalls.load(), 1);
    far->deleteLater();
    worker.quit();
    worker.wait();
}
