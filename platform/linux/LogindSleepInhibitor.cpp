#include "LogindSleepInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

LogindSleepInhibitor::LogindSleepInhibitor(QDBusConnection connection, QObject* parent)
    : QObject(parent), mConnection(std::move(connection)) {}

LogindSleepInhibitor::LogindSleepInhibitor(std::function<QDBusConnection()> connector, QObject* parent)
    : QObject(parent), mConnection(connector()), mConnector(std::move(connector)) {}

bool LogindSleepInhibitor::reconnect() {
    if (mConnection.isConnected() || !mConnector)
        return mConnection.isConnected();
    // A lock still held stays valid: it is the descriptor, not the connection.
    QDBusConnection::disconnectFromBus(mConnection.name());
    mConnection = mConnector();
    if (!mConnection.isConnected())
        return false;
    mListening = false;
    if (mHandler)
        subscribe(nullptr);
    return true;
}

LogindSleepInhibitor::~LogindSleepInhibitor() {
    closeLock();
}

void LogindSleepInhibitor::trace(const QString& line) {
    if (mTrace && !mTold.contains(line)) {
        if (mTold.size() > 64)
            mTold.clear();
        mTold.insert(line);
        mTrace(line);
    }
}

void LogindSleepInhibitor::acquire(const QString& why) {
    mWanted = true;
    mWhy = why;
    if (mFd >= 0 || mAsking)
        return;
    if (!mRetryAfter.hasExpired()) {
        mWanted = false;
        return;
    }
    if (!reconnect()) {
        mWanted = false;
        trace(QStringLiteral("Sleep and shutdown cannot be delayed: no connection to the system bus (%1)")
                  .arg(mConnection.lastError().message()));
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(Service), QString::fromLatin1(Path),
                                       QString::fromLatin1(Interface), QStringLiteral("Inhibit"));
    call << QString::fromLatin1(What) << QString::fromLatin1(Who) << why << QString::fromLatin1(Mode);
    mAsking = true;
    auto* watcher = new QDBusPendingCallWatcher(mConnection.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        answered(w);
        w->deleteLater();
    });
}

void LogindSleepInhibitor::answered(QDBusPendingCallWatcher* call) {
    mAsking = false;
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
    if (reply.isError()) {
        mWanted = false;
        mRetryAfter.setRemainingTime(RetryAfterRefusalMs);
        trace(QStringLiteral("Sleep and shutdown cannot be delayed: logind refused the lock (%1)")
                  .arg(reply.error().message()));
        return;
    }
    const QDBusUnixFileDescriptor descriptor = reply.value();
    // Our own copy, closed on exec: a child must not keep the system waiting.
    const int fd = descriptor.isValid() ? ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 3) : -1;
    if (fd < 0) {
        mWanted = false;
        trace(QStringLiteral("Sleep and shutdown cannot be delayed: logind answered without a lock"));
        return;
    }
    if (!mWanted) {
        ::close(fd); // let go while the answer was on its way
        return;
    }
    mFd = fd;
}

void LogindSleepInhibitor::release() {
    mWanted = false;
    closeLock();
}

void LogindSleepInhibitor::closeLock() {
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
}

bool LogindSleepInhibitor::watch(AnnounceHandler handler, QString* error) {
    mHandler = std::move(handler);
    if (!mHandler)
        return true;
    if (!mConnection.isConnected())
        reconnect();
    return subscribe(error);
}

bool LogindSleepInhibitor::subscribe(QString* error) {
    if (mListening)
        return true;
    const QString service = QString::fromLatin1(Service);
    const QString path = QString::fromLatin1(Path);
    const QString interface = QString::fromLatin1(Interface);
    const bool sleep = mConnection.connect(service, path, interface, QStringLiteral("PrepareForSleep"), this,
                                           SLOT(prepareForSleep(bool)));
    const bool shutdown = mConnection.connect(service, path, interface, QStringLiteral("PrepareForShutdown"),
                                              this, SLOT(prepareForShutdown(bool)));
    mListening = sleep && shutdown;
    if (!(sleep && shutdown) && error)
        *error =
            QStringLiteral("cannot hear logind's announcements: %1").arg(mConnection.lastError().message());
    return sleep && shutdown;
}

void LogindSleepInhibitor::prepareForSleep(bool starting) {
    if (mHandler)
        mHandler(Kind::Sleep, starting);
}

void LogindSleepInhibitor::prepareForShutdown(bool starting) {
    if (mHandler)
        mHandler(Kind::Shutdown, starting);
}

std::unique_ptr<SleepInhibitor> SleepInhibitor::create() {
    return std::make_unique<LogindSleepInhibitor>(std::function<QDBusConnection()>([] {
        return QDBusConnection::connectToBus(QDBusConnection::SystemBus,
                                             QStringLiteral("zorvikhollin-logind"));
    }));
}
