#include "DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, Trace trace, QObject* parent)
    : QObject(parent), mBus(std::move(bus)), mTrace(std::move(trace)) {}

void DesktopNotifier::actionInvoked(uint id, const QString& key) {
    const QList<Action> actions = mActions.value(id);
    for (const Action& action : actions)
        if (action.key == key && action.run)
            action.run();
}

void DesktopNotifier::closed(uint id, uint) {
    mActions.remove(id);
}

void DesktopNotifier::notify(const QString& summary, const QString& body, const QList<Action>& actions) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the server's).
    QStringList keysAndLabels;
    for (const Action& action : actions)
        keysAndLabels << action.key << action.label;
    call << QStringLiteral("Zorvik Hollin") << uint(0) << QStringLiteral("drive-harddisk") << summary << body
         << keysAndLabels << QVariantMap() << int(-1);
    if (!mBus.isConnected()) {
        if (mTrace)
            mTrace(QStringLiteral("desktop notification not sent (no session bus): %1").arg(summary));
        return;
    }
    if (!actions.isEmpty() && !mListening) {
        // The service's signals are broadcast: only the ids it gave us are ours.
        mListening = mBus.connect(QString(), kPath, kService, QStringLiteral("ActionInvoked"), this,
                                  SLOT(actionInvoked(uint, QString))) &&
                     mBus.connect(QString(), kPath, kService, QStringLiteral("NotificationClosed"), this,
                                  SLOT(closed(uint, uint)));
    }
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call), this);
    const Trace trace = mTrace;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, trace, summary, actions] {
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            if (trace)
                trace(QStringLiteral("desktop notification not shown: %1 (%2)")
                          .arg(summary, reply.error().message()));
        } else if (!actions.isEmpty()) {
            mActions.insert(reply.value(), actions);
        }
        watcher->deleteLater();
    });
}
