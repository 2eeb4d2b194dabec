#include "DBusNotificationCenter.h"
#include "ManualConsoleUserSource.h"
#include "PlatformTestSupport.h"
#include "PrivateBus.h"
#include "ProtocolSamples.h"
#include "RezodeLoger.h"

#include <QDBusConnection>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace {

// One notification as an observer saw it, with the thread it was called on.
struct Received {
    QString name;
    QVariantMap userInfo;
    QThread* thread = nullptr;
};

class DBusNotificationCenterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        QString error;
        ASSERT_TRUE(mBus.start(&error)) << "private dbus-daemon: " << error.toStdString();
        mBus.exportAsSystemBus(); // for the peer processes
        // The bus's socket file can appear a moment before the bus accepts connections.
        QDeadlineTimer deadline(5000);
        do {
            if (mConnection) {
                mConnection.reset();
                QDBusConnection::disconnectFromBus(mConnectionName);
                QThread::msleep(20);
            }
            mConnectionName = QStringLiteral("zh-test-%1").arg(++sConnections);
            mConnection = std::make_unique<QDBusConnection>(
                QDBusConnection::connectToBus(mBus.address(), mConnectionName));
        } while (!mConnection->isConnected() && !deadline.hasExpired());
        ASSERT_TRUE(mConnection->isConnected()) << mConnection->lastError().message().toStdString();
    }

    void TearDown() override {
        mConnection.reset();
        QDBusConnection::disconnectFromBus(mConnectionName);
    }

    std::unique_ptr<DBusNotificationCenter> makeCenter(DistributedNotificationCenter::SenderCheck check) {
        auto center = std::make_unique<DBusNotificationCenter>(*mConnection, std::move(check));
        center->setTraceLogger([this](const QString& line) { mTrace << line; });
        return center;
    }

    void observeAll(DistributedNotificationCenter& center, QObject* observer, QList<Received>& into) {
        for (const QString& name : sampleNames())
            center.addObserver(observer, name, [&into](const QString& n, const QVariantMap& info) {
                into.append({n, info, QThread::currentThread()});
            });
    }

    static QList<SampleNotification> withoutThreads(const QList<Received>& received) {
        QList<SampleNotification> out;
        for (const Received& r : received)
            out.append({r.name, r.userInfo});
        return out;
    }

    static QList<SampleNotification> decoded(const QStringList& lines) {
        QList<SampleNotification> out;
        for (const QString& line : lines)
            out.append(decodeSample(line));
        return out;
    }

    static int sConnections;
    PrivateBus mBus;
    QString mConnectionName;
    std::unique_ptr<QDBusConnection> mConnection;
    QStringList mTrace;
};

int DBusNotificationCenterTest::sConnections = 0;

// The application's check where the test only needs delivery: a run without root posts as itself.
DistributedNotificationCenter::SenderCheck rootOrSelf() {
    const uint self = ::geteuid();
    return [self](uint uid) { return uid == 0 || uid == self; };
}

TEST_F(DBusNotificationCenterTest, AnotherProcessReceivesEveryNotificationWithItsPayload) {
    auto center = makeCenter(DistributedNotificationCenter::rootOnly());
    NotificationPeer peer;
    ASSERT_TRUE(peer.start()) << peer.errors().toStdString();

    const QList<SampleNotification> samples = allSamples();
    for (const SampleNotification& s : samples)
        ASSERT_TRUE(center->postNotification(s.name, s.userInfo, s.options)) << s.name.toStdString();

    ASSERT_TRUE(waitUntil([&] { return peer.received().size() >= samples.size(); }))
        << "peer got " << peer.received().size() << " of " << samples.size();
    EXPECT_EQ(decoded(peer.received()), samples);
    EXPECT_TRUE(mTrace.isEmpty()) << mTrace.join(QLatin1Char('\n')).toStdString();
}

TEST_F(DBusNotificationCenterTest, NotificationsOfAnotherProcessArriveWithNestedProgress) {
    auto center = makeCenter(rootOrSelf());
    QObject observer;
    QList<Received> received;
    observeAll(*center, &observer, received);
    NotificationPeer peer;
    ASSERT_TRUE(peer.start()) << peer.errors().toStdString();

    peer.send("post-all");
    const QList<SampleNotification> samples = allSamples();
    ASSERT_TRUE(waitUntil([&] { return received.size() >= samples.size(); }))
        << "got " << received.size() << " of " << samples.size();
    EXPECT_EQ(withoutThreads(received), samples);
    const QVariantMap progress = received.at(applicationToDaemonSamples().size() + 2).userInfo;
    ASSERT_EQ(progress.value(Protocol::KeyProgress).typeId(), QMetaType::QVariantMap);
    EXPECT_EQ(progress.value(Protocol::KeyProgress).toMap().value(Protocol::KeyTotalFiles).toString(),
              QStringLiteral("42"));
}

TEST_F(DBusNotificationCenterTest, RemovedObserverGetsNothingMore) {
    auto center = makeCenter(rootOrSelf());
    QObject kept, removed, removedEntirely;
    QList<Received> keptGot, removedGot, removedEntirelyGot;
    const auto record = [](QList<Received>& into) {
        return [&into](const QString& n, const QVariantMap& info) { into.append({n, info, nullptr}); };
    };
    center->addObserver(&kept, Protocol::Progress, record(keptGot));
    center->addObserver(&removed, Protocol::Progress, record(removedGot));
    center->addObserver(&removed, Protocol::LogOut, record(removedGot));
    center->addObserver(&removedEntirely, Protocol::Progress, record(removedEntirelyGot));
    center->addObserver(&removedEntirely, Protocol::LogOut, record(removedEntirelyGot));
    NotificationPeer peer;
    ASSERT_TRUE(peer.start());

    peer.send("post-all");
    ASSERT_TRUE(waitUntil([&] { return keptGot.size() == 6 && removedGot.size() == 7; }));
    center->removeObserver(&removed, Protocol::Progress); // only this name
    center->removeObserver(&removedEntirely);             // every name
    peer.send("post-all");
    ASSERT_TRUE(waitUntil([&] { return keptGot.size() == 12 && removedGot.size() == 8; }));
    settle(200);
    EXPECT_EQ(keptGot.size(), 12);
    EXPECT_EQ(removedGot.size(), 8) << "the removed name must stay silent, the other one not";
    EXPECT_EQ(removedGot.last().name, QString(Protocol::LogOut));
    EXPECT_EQ(removedEntirelyGot.size(), 7);
}

TEST_F(DBusNotificationCenterTest, RemovalCancelsAQueuedDeliveryAndDestroyedObserversAreForgotten) {
    auto center = makeCenter(rootOrSelf());
    QThread worker;
    worker.start();
    auto* farObserver = new QObject;
    farObserver->moveToThread(&worker);
    std::atomic_int farCalls{0};
    center->addObserver(farObserver, Protocol::LogIn,
                        [&](const QString&, const QVariantMap&) { ++farCalls; });
    int destroyedCalls = 0;
    {
        QObject shortLived;
        center->addObserver(&shortLived, Protocol::LogIn,
                            [&](const QString&, const QVariantMap&) { ++destroyedCalls; });
    }
    QObject local;
    int localCalls = 0;
    center->addObserver(&local, Protocol::LogIn, [&](const QString&, const QVariantMap&) { ++localCalls; });
    // Block the worker so that the delivery stays queued while the observer is removed.
    QMetaObject::invokeMethod(
        farObserver, [] { QThread::msleep(300); }, Qt::QueuedConnection);
    ASSERT_TRUE(center->postNotification(Protocol::LogIn));
    ASSERT_TRUE(waitUntil([&] { return localCalls == 1; })); // the far call is queued by now
    center->removeObserver(farObserver);
    settle(400);
    EXPECT_EQ(farCalls.load(), 0);
    EXPECT_EQ(destroyedCalls, 0);
    farObserver->deleteLater();
    worker.quit();
    worker.wait();
}

TEST_F(DBusNotificationCenterTest, ObserverIsCalledOnItsOwnThread) {
    auto center = makeCenter(rootOrSelf());
    QThread worker;
    worker.start();
    QObject* observer = new QObject;
    observer->moveToThread(&worker);
    QObject local;
    std::atomic<QThread*> seenFar{nullptr};
    QThread* seenLocal = nullptr;
    center->addObserver(observer, Protocol::ZorvikHollinWatcherStarted,
                        [&](const QString&, const QVariantMap&) { seenFar = QThread::currentThread(); });
    center->addObserver(&local, Protocol::ZorvikHollinWatcherStarted,
                        [&](const QString&, const QVariantMap&) { seenLocal = QThread::currentThread(); });

    ASSERT_TRUE(center->postNotification(Protocol::ZorvikHollinWatcherStarted));
    ASSERT_TRUE(waitUntil([&] { return seenFar.load() && seenLocal; }));
    EXPECT_EQ(seenFar.load(), &worker);
    EXPECT_EQ(seenLocal, QThread::currentThread());
    observer->deleteLater();
    worker.quit();
    worker.wait();
}

TEST_F(DBusNotificationCenterTest, RefusedSenderIsDroppedAndTraced) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the peer must post under another uid (nobody)";
    const passwd* nobody = getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no account \"nobody\" to run the peer under";

    // The daemon's side, wired to a real trace file as the daemon wires it.
    QTemporaryDir traceDir;
    const QString tracePath = traceDir.filePath(QStringLiteral("DaemonTrace.txt"));
    RezodeLoger logger;
    logger.setLogWritePath(tracePath);
    ManualConsoleUserSource console; // "loginwindow": only root is heard
    DBusNotificationCenter daemonSide(*mConnection,
                                      DistributedNotificationCenter::rootOrConsoleUser(console));
    daemonSide.setTraceLogger([&](const QString& line) { logger.logDaemonTrace(line, true); });
    auto applicationSide = makeCenter(DistributedNotificationCenter::rootOnly());

    QObject daemonObserver, applicationObserver;
    QList<Received> daemonGot, applicationGot;
    observeAll(daemonSide, &daemonObserver, daemonGot);
    observeAll(*applicationSide, &applicationObserver, applicationGot);

    NotificationPeer intruder({QStringLiteral("--user"), QStringLiteral("nobody")});
    ASSERT_TRUE(intruder.start()) << intruder.errors().toStdString();
    intruder.send("post-all");
    const auto traceText = [&] {
        QFile file(tracePath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    // The first refusal is traced at once; the rest of the flood only counted.
    const QString refusal = QStringLiteral("Notification \"%1\" from uid %2 refused")
                                .arg(allSamples().first().name)
                                .arg(nobody->pw_uid);
    ASSERT_TRUE(waitUntil([&] { return traceText().contains(refusal) && mTrace.size() == 1; }))
        << traceText().toStdString();

    // Once nobody holds the console, the daemon hears that user; the application still does not.
    console.setUserName(QStringLiteral("nobody"));
    intruder.send("post-all");
    ASSERT_TRUE(waitUntil([&] { return daemonGot.size() == allSamples().size(); }));
    EXPECT_EQ(withoutThreads(daemonGot), allSamples());
    EXPECT_TRUE(applicationGot.isEmpty());
    EXPECT_EQ(traceText().count(QStringLiteral(" refused")), 1) << traceText().toStdString();
    EXPECT_EQ(mTrace.size(), 1);
}

TEST_F(DBusNotificationCenterTest, MalformedSignalIsDroppedWithATraceLine) {
    auto center = makeCenter(rootOrSelf());
    QObject observer;
    QList<Received> got;
    observeAll(*center, &observer, got);

    const auto sendRaw = [&](const QList<QVariant>& arguments) {
        QDBusMessage signal =
            QDBusMessage::createSignal(DBusNotificationCenter::ObjectPath, DBusNotificationCenter::Interface,
                                       DBusNotificationCenter::Member);
        signal.setArguments(arguments);
        ASSERT_TRUE(mConnection->send(signal));
    };
    sendRaw({QString(Protocol::LogOut)});                                                // no payload
    sendRaw({QString(Protocol::LogOut), QVariant::fromValue(QVariantMap{{"Type", 1}})}); // not a string
    sendRaw(
        {QString(Protocol::Progress), QVariantMap{{"progress", QVariantMap{{"TotalFiles", 3}}}}}); // nested
    sendRaw({42, QVariantMap()});                                                                  // no name
    ASSERT_TRUE(center->postNotification(Protocol::LogIn)); // a good one behind them

    ASSERT_TRUE(waitUntil([&] { return !got.isEmpty(); }));
    settle(100);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got.first().name, QString(Protocol::LogIn));
    ASSERT_EQ(mTrace.size(), 4) << mTrace.join(QLatin1Char('\n')).toStdString();
    for (const QString& line : mTrace)
        EXPECT_TRUE(line.startsWith(QLatin1String("Malformed notification from"))) << line.toStdString();
}

TEST_F(DBusNotificationCenterTest, PostRefusesAPayloadThatIsNotStrings) {
    auto center = makeCenter(rootOrSelf());
    QObject observer;
    QList<Received> got;
    observeAll(*center, &observer, got);

    EXPECT_FALSE(center->postNotification(Protocol::Exclude, {{Protocol::KeyType, 1}}));
    EXPECT_FALSE(center->postNotification(
        Protocol::Progress, {{Protocol::KeyProgress, QVariantMap{{Protocol::KeyTotalFiles, 3}}}}));
    EXPECT_FALSE(center->postNotification(QString()));
    EXPECT_EQ(mTrace.size(), 3);
    EXPECT_TRUE(mTrace.first().contains(QLatin1String("\"Exclude\" not posted")))
        << mTrace.first().toStdString();
    ASSERT_TRUE(
        center->postNotification(Protocol::Exclude, {{Protocol::KeyType, Protocol::ExcludeTypeUser}}));
    ASSERT_TRUE(waitUntil([&] { return !got.isEmpty(); }));
    settle(100);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got.first().userInfo.value(Protocol::KeyType).toString(), QString(Protocol::ExcludeTypeUser));
}

TEST(DBusNotificationCenterWithoutBus, PostFailsWithATraceLineAndNothingListens) {
    ensureApplication();
    DBusNotificationCenter center(QDBusConnection(QStringLiteral("zh-never-connected")),
                                  DistributedNotificationCenter::rootOnly());
    QStringList trace;
    center.setTraceLogger([&](const QString& line) { trace << line; });
    EXPECT_FALSE(center.isListening());
    EXPECT_FALSE(center.postNotification(Protocol::LogOut));
    ASSERT_EQ(trace.size(), 1);
    EXPECT_TRUE(trace.first().startsWith(QLatin1String("Notification \"LogOut\" not posted")))
        << trace.first().toStdString();
}

TEST(SenderChecks, RootAlwaysTheConsoleUserOnlyForTheDaemon) {
    ManualConsoleUserSource console;
    const auto daemon = DistributedNotificationCenter::rootOrConsoleUser(console);
    const auto application = DistributedNotificationCenter::rootOnly();
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uint nobodyUid = nobody->pw_uid;

    EXPECT_TRUE(daemon(0));
    EXPECT_TRUE(application(0));
    EXPECT_FALSE(daemon(nobodyUid)) << "nobody at the console: only root";
    console.setUserName(QStringLiteral("nobody"));
    EXPECT_TRUE(daemon(nobodyUid));
    EXPECT_FALSE(daemon(nobodyUid + 1));
    EXPECT_FALSE(application(nobodyUid));
    console.setUserName(QStringLiteral("no-such-account-zh"));
    EXPECT_FALSE(daemon(nobodyUid));
}

} // namespace
