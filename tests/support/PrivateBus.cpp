#include "PrivateBus.h"

#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A system-type bus that lets every local user own names and exchange every kind of message.
const char* const kConfig =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/> <allow send_type="signal"/> <allow send_type="method_return"/>
    <allow send_type="error"/> <allow receive_type="method_call"/> <allow receive_type="signal"/>
    <allow receive_type="method_return"/> <allow receive_type="error"/>
  </policy>
</busconfig>
)";

// The socket file appears before the bus accepts connections; only a real connection tells.
bool accepting(const QString& socket) {
    QLocalSocket probe;
    probe.connectToServer(socket);
    return probe.waitForConnected(2000);
}

} // namespace

bool PrivateBus::start(QString* error) {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        stop();
        return false;
    };
    if (!mDir.isValid())
        return fail(QStringLiteral("no temporary folder"));
    // Peers running under other uids must reach the socket.
    ::chmod(QFile::encodeName(mDir.path()).constData(), 0755);
    const QString socket = mDir.filePath(QStringLiteral("system_bus_socket"));
    const QString config = mDir.filePath(QStringLiteral("system.conf"));
    const QString log = mDir.filePath(QStringLiteral("dbus.log"));
    QFile conf(config);
    if (!conf.open(QIODevice::WriteOnly) || conf.write(QString::fromUtf8(kConfig).arg(socket).toUtf8()) < 0)
        return fail(QStringLiteral("cannot write %1").arg(config));
    conf.close();
    mPid = ChildProcess::spawn({QStringLiteral("dbus-daemon"), QStringLiteral("--nofork"),
                                QStringLiteral("--nopidfile"), QStringLiteral("--config-file=") + config},
                               log, log);
    if (mPid <= 0)
        return fail(QStringLiteral("cannot start dbus-daemon"));
    ChildProcess::pollUntil([&] { return accepting(socket) || !ChildProcess::isAlive(mPid); }, 10000);
    if (!accepting(socket)) {
        QFile f(log);
        f.open(QIODevice::ReadOnly);
        return fail(
            QStringLiteral("dbus-daemon did not open its socket: %1").arg(QString::fromUtf8(f.readAll())));
    }
    ::chmod(QFile::encodeName(socket).constData(), 0777);
    mAddress = socketAddress();
    return true;
}

QString PrivateBus::socketAddress() const {
    return QStringLiteral("unix:path=") + mDir.filePath(QStringLiteral("system_bus_socket"));
}

void PrivateBus::exportAsSystemBus() {
    if (!mExported) {
        mHadSavedAddress = qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS");
        mSavedAddress = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
        mExported = true;
    }
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", mAddress.toUtf8());
}

void PrivateBus::stop() {
    ChildProcess::terminate(mPid);
    mPid = -1;
    if (mExported) {
        if (mHadSavedAddress)
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", mSavedAddress);
        else
            qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        mExported = false;
    }
}

QDBusConnection PrivateBus::connect(const QString& prefix) {
    static int connections = 0;
    const QDeadlineTimer deadline(5000);
    for (;;) {
        const QString name = QStringLiteral("%1-%2").arg(prefix).arg(++connections);
        QDBusConnection connection = QDBusConnection::connectToBus(mAddress, name);
        if (connection.isConnected() || deadline.hasExpired())
            return connection;
        QDBusConnection::disconnectFromBus(name);
        QThread::msleep(20);
    }
}
