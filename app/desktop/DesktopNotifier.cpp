#include "DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

DesktopNotifier::DesktopNotifier(QDBusConnection bus, Trace trace)
    : mBus(std::move(bus)), mTrace(std::move(trace)) {}

void DesktopNotifier::notify(const QString& summary, const QString& body) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the server's).
    call << QStringLiteral("Zorvik Hollin") << uint(0) << QStringLiteral("drive-harddisk") << summary << body
         << QStringList() << QVariantMap() << int(-1);
    if (!mBus.isConnected()) {
        if (mTrace)
            mTrace(QStringLiteral("desktop notification not sent (no session bus): %1").arg(summary));
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(mBus.asyncCall(call));
    const Trace trace = mTrace;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, trace, summary] {
        if (watcher->isError() && trace)
            trace(QStringLiteral("desktop notification not shown: %1 (%2)")
                      .arg(summary, watcher->error().message()));
        watcher->deleteLater();
    });
}
