#include "DBusNotificationCenter.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusVariant>

namespace {

const QString BusService = QStringLiteral("org.freedesktop.DBus");
const QString BusPath = QStringLiteral("/org/freedesktop/DBus");

// What a notification may hold at most: the protocol's dictionaries are small; anything larger is
// not one of ours and is not read further.
constexpr qsizetype MaxNameLength = 256;
constexpr int MaxEntries = 64;
constexpr qsizetype MaxPayloadCharacters = 256 * 1024;

// Reads an a{sv} whose values are strings or (depth > 0) such dictionaries of strings, entry by entry,
// within budget characters. False at the first thing out of shape or over the caps.
bool readStringMap(const QDBusArgument& argument, int depth, qsizetype& budget, QVariantMap& map) {
    if (argument.currentSignature() != QLatin1String("a{sv}"))
        return false;
    argument.beginMap();
    int entries = 0;
    bool ok = true;
    while (ok && !argument.atEnd()) {
        QString key;
        QDBusVariant value;
        argument.beginMapEntry();
        argument >> key >> value;
        argument.endMapEntry();
        budget -= key.size();
        const QVariant& v = value.variant();
        if (++entries > MaxEntries || budget < 0) {
            ok = false;
        } else if (v.typeId() == QMetaType::QString) {
            budget -= v.toString().size();
            ok = budget >= 0;
            map.insert(key, v);
        } else if (depth > 0 && v.userType() == qMetaTypeId<QDBusArgument>()) {
            QVariantMap nested;
            ok = readStringMap(v.value<QDBusArgument>(), depth - 1, budget, nested);
            map.insert(key, nested);
        } else {
            ok = false;
        }
    }
    if (ok)
        argument.endMap();
    return ok;
}

} // namespace

DBusNotificationCenter::DBusNotificationCenter(Connector connect, SenderCheck check,
                                               std::chrono::milliseconds retryInterval, QObject* parent)
    : QObject(parent), mConnect(std::move(connect)), mBus(QString()), mCheck(std::move(check)) {
    attach();
    if (retryInterval.count() > 0) {
        // Also while connected: a bus that goes away is noticed at the next tick.
        mRetry.setInterval(retryInterval);
        QObject::connect(&mRetry, &QTimer::timeout, this, &DBusNotificationCenter::checkConnection);
        mRetry.start();
    }
}

DBusNotificationCenter::DBusNotificationCenter(const QDBusConnection& bus, SenderCheck check, QObject* parent)
    : DBusNotificationCenter([bus] { return bus; }, std::move(check), std::chrono::milliseconds(0), parent) {}

DBusNotificationCenter::~DBusNotificationCenter() {
    detach();
}

DBusNotificationCenter::Connector DBusNotificationCenter::systemBus() {
    // A failed or lost connection keeps its name registered; each attempt takes a fresh one.
    return [attempt = 0, name = QString()]() mutable {
        if (!name.isEmpty())
            QDBusConnection::disconnectFromBus(name);
        name = QStringLiteral("zh-notifications-%1").arg(++attempt);
        return QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
    };
}

bool DBusNotificationCenter::attach() {
    {
        QMutexLocker lock(&mBusLock);
        mBus = mConnect ? mConnect() : QDBusConnection(QString());
    }
    if (!mBus.isConnected())
        return false;
    // Uids are looked up as connections appear, so that a sender that posts and quits at once can
    // still be identified when its notification is handled.
    mBus.connect(BusService, BusPath, BusService, QStringLiteral("NameOwnerChanged"), this,
                 SLOT(nameOwnerChanged(QString, QString, QString)));
    mListening = mBus.connect(QString(), ObjectPath, Interface, Member, this, SLOT(posted(QDBusMessage)));
    // A round trip to the bus, which handles our messages in order: the match rules are in place
    // once it returns, so nothing posted after the constructor is missed.
    const QDBusReply<QStringList> names = mBus.interface()->registeredServiceNames();
    if (names.isValid())
        for (const QString& name : names.value())
            if (name.startsWith(QLatin1Char(':')) && name != mBus.baseService())
                resolveUid(name);
    return mListening;
}

void DBusNotificationCenter::detach() {
    if (mBus.isConnected()) {
        mBus.disconnect(QString(), ObjectPath, Interface, Member, this, SLOT(posted(QDBusMessage)));
        mBus.disconnect(BusService, BusPath, BusService, QStringLiteral("NameOwnerChanged"), this,
                        SLOT(nameOwnerChanged(QString, QString, QString)));
    }
    mListening = false;
    mUids.clear(); // unique names are not reused across connections, but a new bus starts afresh
}

void DBusNotificationCenter::checkConnection() {
    if (mListening && mBus.isConnected())
        return;
    if (mListening) {
        trace(QStringLiteral("Notifications: the connection to the system bus was lost, reconnecting"));
        detach();
    }
    if (attach()) {
        trace(QStringLiteral("Notifications: connected to the system bus"));
        mOutOfReachTraced = false;
        return;
    }
    if (!mOutOfReachTraced) {
        mOutOfReachTraced = true;
        trace(QStringLiteral("Notifications: the system bus cannot be reached (%1), trying again every %2 ms")
                  .arg(mBus.lastError().isValid() ? mBus.lastError().message()
                                                  : QStringLiteral("no connection"))
                  .arg(mRetry.interval()));
    }
}

bool DBusNotificationCenter::postNotification(const QString& name, const QVariantMap& userInfo, int options) {
    Q_UNUSED(options) // every D-Bus signal is delivered at once to all sessions
    if (name.isEmpty() || !isValidPayload(userInfo)) {
        trace(QStringLiteral("Notification \"%1\" not posted: its payload is not a dictionary of strings")
                  .arg(name));
        return false;
    }
    QDBusMessage signal = QDBusMessage::createSignal(ObjectPath, Interface, Member);
    signal << name << userInfo;
    const QDBusConnection bus = [this] {
        QMutexLocker lock(&mBusLock); // the center's thread replaces the connection when it reconnects
        return mBus;
    }();
    if (!bus.isConnected() || !bus.send(signal)) {
        trace(QStringLiteral("Notification \"%1\" not posted: %2")
                  .arg(name, bus.lastError().isValid() ? bus.lastError().message()
                                                       : QStringLiteral("no connection to the system bus")));
        return false;
    }
    return true;
}

bool DBusNotificationCenter::postNotificationToUser(uint uid, const QString& name,
                                                    const QVariantMap& userInfo, int options) {
    Q_UNUSED(options)
    if (name.isEmpty() || !isValidPayload(userInfo)) {
        trace(QStringLiteral("Notification \"%1\" not posted: its payload is not a dictionary of strings")
                  .arg(name));
        return false;
    }
    if (!mBus.isConnected()) {
        trace(QStringLiteral("Notification \"%1\" not posted: no connection to the system bus").arg(name));
        return false;
    }
    // The uids of the connections are known from their arrival on the bus (nameOwnerChanged).
    bool sent = true;
    for (auto it = mUids.cbegin(); it != mUids.cend(); ++it) {
        if (it.value() != uid && it.value() != 0)
            continue;
        QDBusMessage signal = QDBusMessage::createTargetedSignal(it.key(), ObjectPath, Interface, Member);
        signal << name << userInfo;
        sent = mBus.send(signal) && sent;
    }
    return sent;
}

void DBusNotificationCenter::addObserver(QObject* observer, const QString& name, Handler handler) {
    mObservers.add(observer, name, std::move(handler));
}

void DBusNotificationCenter::removeObserver(QObject* observer, const QString& name) {
    mObservers.remove(observer, name);
}

void DBusNotificationCenter::setTraceLogger(TraceLogger logger) {
    QMutexLocker lock(&mLoggerMutex);
    mLogger = std::move(logger);
}

bool DBusNotificationCenter::decodeName(const QList<QVariant>& arguments, QString& name) {
    if (arguments.size() != 2 || arguments.at(0).typeId() != QMetaType::QString ||
        arguments.at(1).userType() != qMetaTypeId<QDBusArgument>())
        return false;
    name = arguments.at(0).toString();
    return !name.isEmpty() && name.size() <= MaxNameLength;
}

bool DBusNotificationCenter::decode(const QList<QVariant>& arguments, QString& name, QVariantMap& userInfo) {
    if (!decodeName(arguments, name))
        return false;
    userInfo.clear();
    qsizetype budget = MaxPayloadCharacters;
    return readStringMap(arguments.at(1).value<QDBusArgument>(), 1, budget, userInfo);
}

void DBusNotificationCenter::traceDropped(const QString& line) {
    // A flood of refused, malformed or unknown senders must not flood the trace: the first line at
    // once, then one a minute, with the count of those passed over.
    ++mDroppedSinceTrace;
    if (mDroppedTraced.isValid() && mDroppedTraced.elapsed() < DroppedTraceIntervalMs)
        return;
    const qint64 others = mDroppedSinceTrace - 1;
    trace(others > 0 ? QStringLiteral("%1 (%2 more dropped since the last report)").arg(line).arg(others)
                     : line);
    mDroppedSinceTrace = 0;
    mDroppedTraced.start();
}

void DBusNotificationCenter::posted(const QDBusMessage& message) {
    // The sender is checked before its payload is read: a refused one costs nothing to decode.
    QString name;
    if (!decodeName(message.arguments(), name)) {
        traceDropped(QStringLiteral("Malformed notification from %1 dropped (signature %2)")
                         .arg(message.service(), message.signature().left(64)));
        return;
    }
    if (!mObservers.isObserved(name)) {
        traceUnobserved(name, message.service());
        return;
    }
    uint uid = 0;
    if (!senderUid(message.service(), uid)) {
        traceDropped(QStringLiteral("Notification \"%1\" dropped: the uid of its sender %2 is unknown")
                         .arg(name, message.service()));
        return;
    }
    if (!mCheck || !mCheck(uid)) {
        traceDropped(QStringLiteral("Notification \"%1\" from uid %2 refused").arg(name).arg(uid));
        return;
    }
    QVariantMap userInfo;
    if (!decode(message.arguments(), name, userInfo)) {
        traceDropped(
            QStringLiteral("Malformed notification \"%1\" from uid %2 dropped (signature %3, or larger "
                           "than a notification may be)")
                .arg(name)
                .arg(uid)
                .arg(message.signature().left(64)));
        return;
    }
    mObservers.deliver(name, userInfo);
}

void DBusNotificationCenter::traceUnobserved(const QString& name, const QString& sender) {
    // Every process hears every notification, its own included; one line per name says that a request
    // arrived while nothing here could act on it. Only names from accepted senders count, and only so
    // many, so that nobody can fill the trace.
    if (mUnobservedTraced.contains(name) || mUnobservedTraced.size() >= MaxUnobservedNames)
        return;
    uint uid = 0;
    if (!senderUid(sender, uid) || !mCheck || !mCheck(uid))
        return;
    mUnobservedTraced.insert(name);
    trace(QStringLiteral("Notification \"%1\" dropped: nothing observes it here").arg(name));
}

void DBusNotificationCenter::nameOwnerChanged(const QString& name, const QString& oldOwner,
                                              const QString& newOwner) {
    if (!name.startsWith(QLatin1Char(':')))
        return;
    // The bus sends a sender's signals before the news of its departure, so forgetting it here
    // cannot come before its last notification was checked.
    if (newOwner.isEmpty())
        mUids.remove(name);
    else if (oldOwner.isEmpty())
        resolveUid(name);
}

void DBusNotificationCenter::resolveUid(const QString& uniqueName) {
    QDBusMessage call = QDBusMessage::createMethodCall(BusService, BusPath, BusService,
                                                       QStringLiteral("GetConnectionUnixUser"));
    call << uniqueName;
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, uniqueName](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<uint> reply = *w;
                if (reply.isValid())
                    mUids.insert(uniqueName, reply.value());
                w->deleteLater();
            });
}

bool DBusNotificationCenter::senderUid(const QString& uniqueName, uint& uid) {
    const auto known = mUids.constFind(uniqueName);
    if (known != mUids.constEnd()) {
        uid = *known;
        return true;
    }
    const QDBusReply<uint> reply = mBus.interface()->serviceUid(uniqueName);
    if (!reply.isValid())
        return false;
    uid = reply.value();
    mUids.insert(uniqueName, uid);
    return true;
}

void DBusNotificationCenter::trace(const QString& line) const {
    TraceLogger logger;
    {
        QMutexLocker lock(&mLoggerMutex);
        logger = mLogger;
    }
    if (logger)
        logger(line);
}
