#pragma once

#include "SleepInhibitor.h"

#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QObject>
#include <QSet>

#include <functional>

class QDBusPendingCallWatcher;

// logind's delay lock: org.freedesktop.login1.Manager.Inhibit("sleep:shutdown", "Zorvik Hollin", why,
// "delay") returns a file descriptor, and the lock lasts until every copy of it is closed. The
// announcements are the Manager's signals PrepareForSleep(b) and PrepareForShutdown(b). The
// descriptor is kept close-on-exec, so a child (rsync) never holds the lock on after its release.
class LogindSleepInhibitor : public QObject, public SleepInhibitor {
    Q_OBJECT
  public:
    static constexpr const char* Service = "org.freedesktop.login1";
    static constexpr const char* Path = "/org/freedesktop/login1";
    static constexpr const char* Interface = "org.freedesktop.login1.Manager";
    static constexpr const char* What = "sleep:shutdown";
    static constexpr const char* Who = "Zorvik Hollin";
    static constexpr const char* Mode = "delay";
    static constexpr int RetryAfterRefusalMs = 30000;

    // connection: the system bus (tests: a private bus with a stand-in logind).
    explicit LogindSleepInhibitor(QDBusConnection connection, QObject* parent = nullptr);
    // connector makes a new connection whenever the last one is gone (the bus was not up yet, or
    // restarted); the lock is asked for on the new one, and the announcements heard again.
    explicit LogindSleepInhibitor(std::function<QDBusConnection()> connector, QObject* parent = nullptr);
    ~LogindSleepInhibitor() override;

    void acquire(const QString& why) override;
    void release() override;
    bool isHeld() const override { return mFd >= 0; }
    bool isRequested() const override { return mWanted; }
    bool watch(AnnounceHandler handler, QString* error = nullptr) override;
    void setTraceLogger(TraceLogger logger) override { mTrace = std::move(logger); }

  private slots:
    void prepareForSleep(bool starting);
    void prepareForShutdown(bool starting);

  private:
    void answered(QDBusPendingCallWatcher* call);
    void closeLock();
    void trace(const QString& line);

    bool reconnect();
    bool subscribe(QString* error);

    QDBusConnection mConnection;
    std::function<QDBusConnection()> mConnector;
    AnnounceHandler mHandler;
    TraceLogger mTrace;
    bool mWanted = false;
    bool mListening = false;
    bool mAsking = false; // an Inhibit call is on its way
    int mFd = -1;
    QString mWhy;
    QDeadlineTimer mRetryAfter; // after a refusal the lock is not asked for again at once
    QSet<QString> mTold;        // refusals already in the trace
};
