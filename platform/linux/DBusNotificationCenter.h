#pragma once

#include "DistributedNotificationCenter.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QTimer>

#include <QSet>
#include <chrono>
#include <functional>

// Distributed notifications as one D-Bus signal, Posted(s name, a{sv} userInfo), on the object
// below. The post options have no D-Bus counterpart: every signal reaches every session at once.
// The sender's uid comes from the bus; a notification from a uid the check refuses is dropped and
// reported to the trace logger. Received notifications are handled on the thread the center lives
// in, which must run an event loop.
class DBusNotificationCenter : public QObject, public DistributedNotificationCenter {
    Q_OBJECT
  public:
    static constexpr QLatin1String ObjectPath{"/org/zorvikhollin/Notifications"};
    static constexpr QLatin1String Interface{"org.zorvikhollin.Notifications"};
    static constexpr QLatin1String Member{"Posted"};

    // Makes a new connection; called again while the bus cannot be reached or after it went away.
    using Connector = std::function<QDBusConnection()>;

    // Connects through connect and, while the bus is out of reach (not started yet, restarted),
    // tries again every retryInterval, with a trace line when it is lost and when it is back.
    DBusNotificationCenter(Connector connect, SenderCheck check, std::chrono::milliseconds retryInterval,
                           QObject* parent = nullptr);
    // Over one given connection, which is not replaced.
    DBusNotificationCenter(const QDBusConnection& bus, SenderCheck check, QObject* parent = nullptr);
    ~DBusNotificationCenter() override;

    // A connector for the system bus, a new private connection at each call.
    static Connector systemBus();

    // Whether the center receives notifications now.
    bool isListening() const { return mListening; }

    bool postNotification(const QString& name, const QVariantMap& userInfo = QVariantMap(),
                          int options = Protocol::PostDeliverImmediatelyToAllSessions) override;
    // One signal addressed to each connection of uid and of root (D-Bus delivers a signal with a
    // destination to that connection only); call it on the center's thread.
    bool postNotificationToUser(uint uid, const QString& name, const QVariantMap& userInfo = QVariantMap(),
                                int options = Protocol::PostDeliverImmediatelyToAllSessions) override;
    void addObserver(QObject* observer, const QString& name, Handler handler) override;
    void removeObserver(QObject* observer, const QString& name = QString()) override;
    void setTraceLogger(TraceLogger logger) override;

    // Reads a Posted signal's arguments; false when they do not have the notification's shape or are
    // larger than a notification may be. decodeName reads only the name.
    static bool decode(const QList<QVariant>& arguments, QString& name, QVariantMap& userInfo);
    static bool decodeName(const QList<QVariant>& arguments, QString& name);

  private slots:
    void posted(const QDBusMessage& message);
    void nameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

  private:
    bool attach();
    void detach();
    void checkConnection();
    void traceUnobserved(const QString& name, const QString& sender);
    void resolveUid(const QString& uniqueName);
    bool senderUid(const QString& uniqueName, uint& uid);
    void trace(const QString& line) const;

    Connector mConnect;
    mutable QMutex mBusLock; // guards replacing mBus against posts from other threads
    QDBusConnection mBus;
    SenderCheck mCheck;
    QTimer mRetry;
    bool mOutOfReachTraced = false;
    NotificationObservers mObservers;
    bool mListening = false;
    QHash<QString, uint> mUids; // unique bus name → uid, on the center's thread only
    static constexpr qsizetype MaxUnobservedNames = 32;
    QSet<QString> mUnobservedTraced; // names nothing observed, traced once each
    void traceDropped(const QString& line);
    static constexpr qint64 DroppedTraceIntervalMs = 60000;
    qint64 mDroppedSinceTrace = 0; // dropped notifications not yet in the trace
    QElapsedTimer mDroppedTraced;  // since the last trace line about a dropped one
    mutable QMutex mLoggerMutex;
    TraceLogger mLogger;
};
