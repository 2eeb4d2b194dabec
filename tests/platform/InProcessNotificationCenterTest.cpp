#include "InProcessNotificationCenter.h"
#include "PlatformTestSupport.h"

#include <Protocol.h>

#include <gtest/gtest.h>

#include <atomic>

namespace {

class InProcessNotificationCenterTest : public ::testing::Test {
  protected:
    void SetUp() override { ensureApplication(); }
    InProcessNotificationCenter mCenter;
};

TEST_F(InProcessNotificationCenterTest, ObserverOnThePostersThreadIsCalledBeforePostReturns) {
    QObject observer;
    QStringList got;
    mCenter.addObserver(&observer, Protocol::Initialbackup,
                        [&](const QString& name, const QVariantMap& info) {
                            got << name;
                            EXPECT_TRUE(info.isEmpty());
                        });
    mCenter.postNotification(Protocol::Initialbackup);
    EXPECT_EQ(got, QStringList{QString(Protocol::Initialbackup)});
}

TEST_F(InProcessNotificationCenterTest, OnlyObserversOfTheNameAreCalled) {
    QObject a, b;
    int aCalls = 0, bCalls = 0;
    mCenter.addObserver(&a, Protocol::Initialbackup, [&](const QString&, const QVariantMap&) { ++aCalls; });
    mCenter.addObserver(&b, QStringLiteral("Other"), [&](const QString&, const QVariantMap&) { ++bCalls; });
    mCenter.postNotification(Protocol::Initialbackup, {{QStringLiteral("k"), QStringLiteral("v")}});
    EXPECT_EQ(aCalls, 1);
    EXPECT_EQ(bCalls, 0);
}

TEST_F(InProcessNotificationCenterTest, ObserverOnAnotherThreadIsCalledThere) {
    QThread worker;
    worker.start();
    auto* observer = new QObject;
    observer->moveToThread(&worker);
    std::atomic<QThread*> seen{nullptr};
    mCenter.addObserver(observer, Protocol::Initialbackup,
                        [&](const QString&, const QVariantMap&) { seen = QThread::currentThread(); });
    mCenter.postNotification(Protocol::Initialbackup);
    ASSERT_TRUE(waitUntil([&] { return seen.load() != nullptr; }));
    EXPECT_EQ(seen.load(), &worker);
    observer->deleteLater();
    worker.quit();
    worker.wait();
}

TEST_F(InProcessNotificationCenterTest, RemovedAndDestroyedObserversGetNothingMore) {
    QObject removed;
    int removedCalls = 0, destroyedCalls = 0;
    mCenter.addObserver(&removed, Protocol::Initialbackup,
                        [&](const QString&, const QVariantMap&) { ++removedCalls; });
    {
        QObject destroyed;
        mCenter.addObserver(&destroyed, Protocol::Initialbackup,
                            [&](const QString&, const QVariantMap&) { ++destroyedCalls; });
        mCenter.postNotification(Protocol::Initialbackup);
    }
    mCenter.removeObserver(&removed, Protocol::Initialbackup);
    mCenter.postNotification(Protocol::Initialbackup);
    EXPECT_EQ(removedCalls, 1);
    EXPECT_EQ(destroyedCalls, 1);
}

TEST_F(InProcessNotificationCenterTest, AHandlerMayRemoveAnotherObserverMidDelivery) {
    QObject first, second;
    int secondCalls = 0;
    // Registration order is delivery order: the first removes the second before it is reached.
    mCenter.addObserver(&first, Protocol::Initialbackup,
                        [&](const QString&, const QVariantMap&) { mCenter.removeObserver(&second); });
    mCenter.addObserver(&second, Protocol::Initialbackup,
                        [&](const QString&, const QVariantMap&) { ++secondCalls; });
    mCenter.postNotification(Protocol::Initialbackup);
    EXPECT_EQ(secondCalls, 0);
}

TEST_F(InProcessNotificationCenterTest, QueuedCallToARemovedObserverIsDropped) {
    QThread worker;
    worker.start();
    auto* observer = new QObject;
    observer->moveToThread(&worker);
    std::atomic_int calls{0};
    mCenter.addObserver(observer, Protocol::Initialbackup,
                        [&](const QString&, const QVariantMap&) { ++calls; });
    QMetaObject::invokeMethod(
        observer, [] { QThread::msleep(200); }, Qt::QueuedConnection);
    mCenter.postNotification(Protocol::Initialbackup); // queued behind the sleep
    mCenter.removeObserver(observer);
    settle(400);
    EXPECT_EQ(calls.load(), 0);
    observer->deleteLater();
    worker.quit();
    worker.wait();
}

TEST_F(InProcessNotificationCenterTest, RegistrationWithoutObserverOrNameIsIgnored) {
    QObject observer;
    int calls = 0;
    mCenter.addObserver(nullptr, Protocol::Initialbackup,
                        [&](const QString&, const QVariantMap&) { ++calls; });
    mCenter.addObserver(&observer, QString(), [&](const QString&, const QVariantMap&) { ++calls; });
    mCenter.postNotification(Protocol::Initialbackup);
    mCenter.postNotification(QString());
    EXPECT_EQ(calls, 0);
}

} // namespace
