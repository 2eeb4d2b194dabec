// The other process of the notification tests. Without arguments it posts every sample notification
// on the system bus once, then stays connected until it is stopped; with "--flood N", N times with a
// malformed signal each time. With "--listen FILE" it posts
// nothing and writes every "Progress" and "Error"-bearing notification it hears, from any sender, to
// FILE, one line each ("<name> <payload>"): a local user listening on the bus. With
// "--post N NAME [KEY=VALUE …]" it posts that notification N times, addressed to the connections of
// its own account and root's as the application addresses the daemon, and ends.

#include "ProtocolSamples.h"
#include "linux/DBusNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QFile>
#include <QTimer>

#include <unistd.h>

namespace {

QString flat(const QVariantMap& map) {
    QStringList parts;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        parts << it.key() + u'=' +
                     (it.value().typeId() == QMetaType::QVariantMap ? u'{' + flat(it.value().toMap()) + u'}'
                                                                    : it.value().toString());
    return parts.join(u';');
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    DBusNotificationCenter center(QDBusConnection::systemBus(),
                                  args.value(1) == QLatin1String("--listen")
                                      ? DistributedNotificationCenter::SenderCheck([](uint) { return true; })
                                      : DistributedNotificationCenter::rootOnly());
    QObject listener;
    if (args.value(1) == QLatin1String("--listen")) {
        const QString file = args.value(2);
        center.addObserver(&listener, Protocol::Progress,
                           [file](const QString& name, const QVariantMap& info) {
                               QFile out(file);
                               if (out.open(QIODevice::Append))
                                   out.write((name + u' ' + flat(info) + u'\n').toUtf8());
                           });
        // Ready once the match rule is in place (the center's constructor waits for it).
        QFile ready(file);
        ready.open(QIODevice::Append);
    } else if (args.value(1) == QLatin1String("--post")) {
        QVariantMap info;
        for (const QString& pair : args.mid(4)) {
            const qsizetype equals = pair.indexOf(u'=');
            info.insert(pair.left(equals), pair.mid(equals + 1));
        }
        // The uids of the connections already on the bus are asked for as the center starts; a
        // moment for the answers.
        QTimer::singleShot(300, &app, [&] {
            const int count = args.value(2).toInt();
            for (int i = 0; i < count; ++i)
                if (!center.postNotificationToUser(::geteuid(), args.value(3), info))
                    app.exit(3);
            QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus.Peer"),
                QStringLiteral("Ping"))); // flushes what was sent
            app.exit(0);
        });
        return app.exec();
    } else {
        // "--flood N": every sample and one malformed signal, N times over, as fast as the bus takes them.
        const int rounds = args.value(1) == QLatin1String("--flood") ? args.value(2).toInt() : 1;
        for (int round = 0; round < rounds; ++round) {
            for (const SampleNotification& s : samples())
                if (!center.postNotification(s.name, s.userInfo))
                    return 3;
            if (rounds > 1) {
                QDBusMessage malformed = QDBusMessage::createSignal(DBusNotificationCenter::ObjectPath,
                                                                    DBusNotificationCenter::Interface,
                                                                    DBusNotificationCenter::Member);
                malformed.setArguments({42, QVariantMap()});
                QDBusConnection::systemBus().send(malformed);
            }
        }
    }
    ::alarm(300); // the test stops it long before; this only bounds a forgotten peer
    return app.exec();
}
