// The other process of the notification tests: posts every sample notification on the system bus
// once, then stays connected until it is stopped.

#include "ProtocolSamples.h"
#include "linux/DBusNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    DBusNotificationCenter center(QDBusConnection::systemBus(), DistributedNotificationCenter::rootOnly());
    for (const SampleNotification& s : samples())
        if (!center.postNotification(s.name, s.userInfo))
            return 3;
    ::alarm(300); // the test stops it long before; this only bounds a forgotten peer
    return app.exec();
}
