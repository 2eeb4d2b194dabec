#include "DBusNotificationCenter.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "ManualConsoleUserSource.h"
#include "PrivateBus.h"
#include "ProtocolSamples.h"
#include "Requirements.h"
#include "RezodeLoger.h"
#include "ServedPerson.h"
#include "TestRoots.h"

#include <QDBusConnection>
#include <QMutex>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace {

using namespace Protocol;
using namespace std::chrono_literals;

// What observers of every sample name saw, and on which threads.
class Inbox {
  public:
    void observe(DistributedNotificationCenter& center, QObject* observer) {
        for (const QString& name : QStringList{LogOut, TimeMachine, Exclude, Progress})
            center.addObserver(observer, name, [this](const QString& n, const QVariantMap& info) {
                QMutexLocker lock(&mMutex);
                mGot.append({n, info});
                mThreads.insert(QThread::currentThread());
            });
    }
    QList<SampleNotification> got() {
        QMutexLocker lock(&mMutex);
        return mGot;
    }
    QSet<QThread*> threads() {
        QMutexLocker lock(&mMutex);
        return mThreads;
    }

  private:
    QMutex mMutex;
    QList<SampleNotification> mGot;
    QSet<QThread*> mThreads;
};

// The peer process (NotificationPeer.cpp), which posts every sample once, stopped with the object.
// A prefix such as runuser runs it as another account.
struct Peer {
    pid_t pid;
    explicit Peer(const QStringList& prefix = {})
        : pid(ChildProcess::spawn(prefix + QStringList{QStringLiteral(ZH_NOTIFICATION_PEER)})) {}
    // The whole command line given (a listener).
    Peer(const QStringList& command, bool) : pid(ChildProcess::spawn(command)) {}
    ~Peer() { ChildProcess::terminate(pid); }
};

class DBusNotificationCenterTest : public RequiringTest {
  protected:
    void prepare() override {
        QString error;
        ASSERT_TRUE(mBus.start(&error)) << "private dbus-daemon: " << error.toStdString();
        mBus.exportAsSystemBus(); // for the peer processes
        mConnection = mBus.connect(QStringLiteral("zh-test"));
        ASSERT_TRUE(mConnection.isConnected()) << mConnection.lastError().message().toStdString();
    }
    void TearDown() override { QDBusConnection::disconnectFromBus(mConnection.name()); }

    std::unique_ptr<DBusNotificationCenter> makeCenter(DistributedNotificationCenter::SenderCheck check) {
        auto center = std::make_unique<DBusNotificationCenter>(mConnection, std::move(check));
        center->setTraceLogger([this](const QString& line) { mTrace << line; });
        return center;
    }

    PrivateBus mBus;
    QDBusConnection mConnection{QString()};
    QStringList mTrace;
};

TEST_F(DBusNotificationCenterTest, NotificationsReachEveryProcessWithTheirPayloadOnTheObserversThread) {
    Inbox farGot, localGot;
    const uint self = ::geteuid(); // a run without root posts as itself
    auto center = makeCenter([self](uint uid) { return uid == 0 || uid == self; });
    QThread worker;
    worker.start();
    auto* farObserver = new QObject;
    farObserver->moveToThread(&worker);
    farGot.observe(*center, farObserver);
    QObject localObserver;
    localGot.observe(*center, &localObserver);

    const QList<SampleNotification> sent = samples();
    for (const SampleNotification& s : sent)
        ASSERT_TRUE(center->postNotification(s.name, s.userInfo)) << s.name.toStdString();
    ASSERT_TRUE(waitUntil([&] { return farGot.got().size() == sent.size() && localGot.got() == sent; }));
    EXPECT_EQ(farGot.got(), sent) << "nested progress figures arrive as a dictionary";
    EXPECT_EQ(farGot.threads(), QSet<QThread*>{&worker});
    EXPECT_EQ(localGot.threads(), QSet<QThread*>{QThread::currentThread()});

    // Another process is heard; an observer removed for one name still hears the others.
    center->removeObserver(&localObserver, Progress);
    const Peer peer;
    ASSERT_TRUE(waitUntil([&] { return farGot.got().size() == 2 * sent.size(); }));
    EXPECT_EQ(farGot.got().mid(sent.size()), sent);
    // The local observer was called before the far one got the last; the samples end with "Progress".
    EXPECT_EQ(localGot.got().mid(sent.size()), sent.mid(0, 3));
    EXPECT_TRUE(mTrace.isEmpty()) << mTrace.join(QLatin1Char('\n')).toStdString();
    farObserver->deleteLater();
    worker.quit();
    worker.wait();
}

TEST_F(DBusNotificationCenterTest, RefusedSenderIsDroppedAndTraced) {
    ZH_SKIP_IF(needs::root("the peer must post under another uid (nobody)"));
    const passwd* nobody = getpwnam("nobody");
    ZH_SKIP_IF(nobody ? QString() : QStringLiteral("no account \"nobody\" to run the peer under"));

    // The daemon's side, wired to a real trace file as the daemon wires it.
    QTemporaryDir traceDir;
    const QString tracePath = traceDir.filePath(QStringLiteral("DaemonTrace.txt"));
    RezodeLoger logger;
    logger.setLogWritePath(tracePath);
    Inbox daemonGot, applicationGot;
    ManualConsoleUserSource console; // "loginwindow": only root is heard
    const auto daemonCheck = DistributedNotificationCenter::rootOrConsoleUser(console);
    DBusNotificationCenter daemonSide(mConnection, daemonCheck);
    daemonSide.setTraceLogger([&](const QString& line) { logger.logDaemonTrace(line, true); });
    auto applicationSide = makeCenter(DistributedNotificationCenter::rootOnly());
    QObject daemonObserver, applicationObserver;
    daemonGot.observe(daemonSide, &daemonObserver);
    applicationGot.observe(*applicationSide, &applicationObserver);
    const QStringList asNobody{QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                               QStringLiteral("--")};

    {
        // The first refusal is traced at once; the rest of the flood only counted.
        const Peer intruder(asNobody);
        const QString refusal =
            QStringLiteral("Notification \"LogOut\" from uid %1 refused").arg(nobody->pw_uid);
        ASSERT_TRUE(waitUntil([&] { return readTrace(tracePath).contains(refusal) && mTrace.size() == 1; }))
            << readTrace(tracePath).toStdString();
    }
    // Once nobody holds the console, the daemon hears that user (and no other); the application does not.
    console.setUserName(QStringLiteral("nobody"));
    EXPECT_FALSE(daemonCheck(nobody->pw_uid + 1));
    const Peer again(asNobody);
    ASSERT_TRUE(waitUntil([&] { return daemonGot.got() == samples(); }));
    EXPECT_TRUE(applicationGot.got().isEmpty());
    EXPECT_EQ(readTrace(tracePath).count(QStringLiteral(" refused")), 1)
        << readTrace(tracePath).toStdString();
    EXPECT_EQ(mTrace.size(), 1);
    // A flood of refused and malformed notifications costs the trace a line or two, not the trace.
    console.setUserName(QStringLiteral("loginwindow"));
    const qsizetype before = readTrace(tracePath).size();
    {
        const Peer flood(asNobody + QStringList{QStringLiteral(ZH_NOTIFICATION_PEER),
                                                QStringLiteral("--flood"), QStringLiteral("2000")},
                         true);
        spinFor(3000);
    }
    EXPECT_LT(readTrace(tracePath).size() - before, 600) << readTrace(tracePath).toStdString();
    console.setUserName(QStringLiteral("no-such-account-zh"));
    EXPECT_FALSE(daemonCheck(nobody->pw_uid));
    EXPECT_TRUE(daemonCheck(0));
}

TEST_F(DBusNotificationCenterTest, WhileTheConsoleChangesHandsOnlyTheServedPersonIsHeard) {
    ZH_SKIP_IF(needs::root("the peer must post under another uid (nobody)"));
    const passwd* nobody = getpwnam("nobody");
    ZH_SKIP_IF(nobody ? QString() : QStringLiteral("no account \"nobody\" to run the peer under"));
    const uid_t nobodyUid = nobody->pw_uid; // getpwnam's entry is overwritten by the next look-up
    // The daemon built its machinery for the fixture account; then "nobody" takes the console, and
    // before the process has ended (the console change ends it) posts "Reinitialize", "LogOut", ….
    const FixtureUser person = FixtureUser::get();
    ManualConsoleUserSource console(person.name);
    ServedPerson served;
    const auto check = DistributedNotificationCenter::rootOrServedPerson(console, served);
    EXPECT_TRUE(check(nobodyUid) == (person.uid == nobodyUid)) << "before: the console user";
    served.set(person.name, person.uid);
    console.setUserName(QStringLiteral("nobody"));
    DBusNotificationCenter daemonSide(mConnection, check);
    Inbox daemonGot;
    QObject observer;
    daemonGot.observe(daemonSide, &observer);
    {
        const Peer newConsoleUser({QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                                   QStringLiteral("--")});
        spinFor(1500);
    }
    EXPECT_TRUE(daemonGot.got().isEmpty()) << daemonGot.got().size() << " notifications heard";
    EXPECT_TRUE(check(0));
    EXPECT_TRUE(check(person.uid));
    EXPECT_FALSE(check(nobodyUid));
}

TEST_F(DBusNotificationCenterTest, APersonsNotificationsReachOnlyThatPersonsProcessesAndRoots) {
    ZH_SKIP_IF(needs::root("the listeners run under other accounts"));
    const passwd* nobody = getpwnam("nobody");
    ZH_SKIP_IF(nobody ? QString() : QStringLiteral("no account \"nobody\" to listen as"));
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
    const QString heardByNobody = dir.filePath(QStringLiteral("nobody")),
                  heardByRoot = dir.filePath(QStringLiteral("root"));
    const Peer asNobody({QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                         QStringLiteral("--"), QStringLiteral(ZH_NOTIFICATION_PEER),
                         QStringLiteral("--listen"), heardByNobody},
                        true);
    const Peer asRoot({QStringLiteral(ZH_NOTIFICATION_PEER), QStringLiteral("--listen"), heardByRoot}, true);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(heardByNobody) && QFile::exists(heardByRoot); }));
    spinFor(300); // the daemon's side learns the listeners' uids as they arrive
    auto daemon = makeCenter([](uint) { return true; });
    spinFor(300);

    // A person's figures: for the person (here: nobody) and root, not for another account.
    const QVariantMap figures{
        {KeyProgress, QVariantMap{{KeyUploadingFile, QStringLiteral("/home/anna/private.txt")}}},
        {KeyBackupRunning, FlagOn}};
    ASSERT_TRUE(daemon->postNotificationToUser(nobody->pw_uid, Progress, figures));
    ASSERT_TRUE(daemon->postNotificationToUser(nobody->pw_uid + 1, Progress, figures));
    // A bare notification for everybody.
    ASSERT_TRUE(daemon->postNotification(Progress, {{KeyProgress, QString(ProgressBackupCompleted)}}));
    ASSERT_TRUE(waitUntil([&] {
        return readTrace(heardByNobody).contains(QLatin1String(ProgressBackupCompleted)) &&
               readTrace(heardByRoot).count(u'\n') == 3;
    })) << readTrace(heardByNobody).toStdString()
        << readTrace(heardByRoot).toStdString();
    EXPECT_EQ(readTrace(heardByNobody).count(QStringLiteral("private.txt")), 1)
        << readTrace(heardByNobody).toStdString();
    EXPECT_EQ(readTrace(heardByRoot).count(QStringLiteral("private.txt")), 2);
}

TEST_F(DBusNotificationCenterTest, ABusNotUpYetIsJoinedWhenItComesAndAgainAfterItRestarts) {
    // The daemon may start before the system bus, and the bus may restart under it.
    PrivateBus late;
    const QString address = late.socketAddress();
    int attempts = 0;
    QStringList names;
    const auto connect = [&] {
        names << QStringLiteral("zh-late-%1").arg(++attempts);
        return QDBusConnection::connectToBus(address, names.last());
    };
    DBusNotificationCenter center(
        connect, [](uint) { return true; }, 100ms);
    center.setTraceLogger([this](const QString& line) { mTrace << line; });
    Inbox got;
    QObject observer;
    got.observe(center, &observer);
    EXPECT_FALSE(center.isListening());
    ASSERT_TRUE(waitUntil([&] { return !mTrace.isEmpty(); }));
    EXPECT_TRUE(mTrace.last().startsWith(QLatin1String("Notifications: the system bus cannot be reached")))
        << mTrace.last().toStdString();
    spinFor(300);
    EXPECT_EQ(mTrace.size(), 1) << "an outage is traced once, not at every attempt";

    const auto postFromApplication = [&](const QString& name) {
        const QDBusConnection app = late.connect(QStringLiteral("zh-late-app"));
        names << app.name(); // closed at the end, so that nothing sent is cut off
        return DBusNotificationCenter(app, [](uint) { return true; }).postNotification(name);
    };
    ASSERT_TRUE(late.start());
    ASSERT_TRUE(waitUntil([&] { return center.isListening(); }));
    EXPECT_EQ(mTrace.last(), QStringLiteral("Notifications: connected to the system bus"));
    ASSERT_TRUE(postFromApplication(LogOut));
    ASSERT_TRUE(waitUntil([&] { return got.got().size() == 1; }));

    late.stop();
    ASSERT_TRUE(waitUntil([&] { return !center.isListening(); }));
    ASSERT_TRUE(late.start());
    ASSERT_TRUE(waitUntil([&] { return center.isListening(); }));
    ASSERT_TRUE(postFromApplication(Exclude));
    ASSERT_TRUE(waitUntil([&] { return got.got().size() == 2; }));
    EXPECT_EQ(got.got().last().name, QString(Exclude));
    EXPECT_TRUE(mTrace.contains(
        QStringLiteral("Notifications: the connection to the system bus was lost, reconnecting")));

    // A request nothing here observes is not dropped in silence (once per name).
    ASSERT_TRUE(postFromApplication(Reinitialize));
    ASSERT_TRUE(postFromApplication(Reinitialize));
    ASSERT_TRUE(waitUntil([&] {
        return mTrace.contains(
            QStringLiteral("Notification \"Reinitialize\" dropped: nothing observes it here"));
    }));
    spinFor(200);
    EXPECT_EQ(mTrace.count(QStringLiteral("Notification \"Reinitialize\" dropped: nothing observes it here")),
              1);
    for (const QString& name : std::as_const(names))
        QDBusConnection::disconnectFromBus(name);
}

TEST_F(DBusNotificationCenterTest, MalformedSignalsAndPayloadsAreDroppedWithATraceLine) {
    Inbox got;
    auto center = makeCenter([](uint) { return true; });
    QObject observer;
    got.observe(*center, &observer);

    EXPECT_FALSE(center->postNotification(Exclude, {{KeyType, 1}}));
    EXPECT_FALSE(center->postNotification(Progress, {{KeyProgress, QVariantMap{{KeyTotalFiles, 3}}}}));
    EXPECT_FALSE(center->postNotification(QString()));
    EXPECT_EQ(
        mTrace.value(0),
        QStringLiteral("Notification \"Exclude\" not posted: its payload is not a dictionary of strings"));
    for (const QList<QVariant>& arguments : QList<QList<QVariant>>{
             {QString(LogOut)},                                                                // no payload
             {QString(LogOut), QVariant::fromValue(QVariantMap{{KeyType, 1}})},                // not a string
             {QString(Progress), QVariantMap{{KeyProgress, QVariantMap{{KeyTotalFiles, 3}}}}}, // nested
             {42, QVariantMap()}}) {                                                           // no name
        QDBusMessage signal =
            QDBusMessage::createSignal(DBusNotificationCenter::ObjectPath, DBusNotificationCenter::Interface,
                                       DBusNotificationCenter::Member);
        signal.setArguments(arguments);
        ASSERT_TRUE(mConnection.send(signal));
    }
    // Larger than a notification may be: not read, however well-formed.
    const QString huge(600 * 1024, u'x');
    QDBusMessage big =
        QDBusMessage::createSignal(DBusNotificationCenter::ObjectPath, DBusNotificationCenter::Interface,
                                   DBusNotificationCenter::Member);
    big << QString(Exclude) << QVariantMap{{KeyType, huge}};
    ASSERT_TRUE(mConnection.send(big));
    ASSERT_TRUE(center->postNotification(Exclude, {{KeyType, ExcludeTypeUser}})); // a good one behind them
    // A flood of malformed signals: the first is traced at once, the rest only counted.
    for (int i = 0; i < 500; ++i) {
        QDBusMessage signal =
            QDBusMessage::createSignal(DBusNotificationCenter::ObjectPath, DBusNotificationCenter::Interface,
                                       DBusNotificationCenter::Member);
        signal.setArguments({42, QVariantMap()});
        ASSERT_TRUE(mConnection.send(signal));
    }
    ASSERT_TRUE(waitUntil([&] { return got.got().size() == 1; }))
        << mTrace.join(QLatin1Char('\n')).toStdString();
    spinFor(500);
    EXPECT_EQ(got.got(), (QList<SampleNotification>{{Exclude, {{KeyType, ExcludeTypeUser}}}}));
    EXPECT_EQ(mTrace.size(), 4) << mTrace.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(mTrace.value(3).startsWith(QLatin1String("Malformed notification from")))
        << mTrace.value(3).toStdString();

    DBusNotificationCenter offline(QDBusConnection(QStringLiteral("zh-never-connected")),
                                   DistributedNotificationCenter::rootOnly());
    QStringList offlineTrace;
    offline.setTraceLogger([&](const QString& line) { offlineTrace << line; });
    EXPECT_FALSE(offline.isListening());
    EXPECT_FALSE(offline.postNotification(LogOut));
    EXPECT_TRUE(offlineTrace.value(0).startsWith(QLatin1String("Notification \"LogOut\" not posted")))
        << offlineTrace.join(QLatin1Char('\n')).toStdString();
}

} // namespace
