#include "PrivateBus.h"

#include "ChildProcess.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

PrivateBus::PrivateBus() = default;

PrivateBus::~PrivateBus() {
    stop();
}

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
    QFile conf(config);
    if (!conf.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write %1").arg(config));
    conf.write(
        QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                       "<busconfig>\n"
                       "  <type>system</type>\n"
                       "  <listen>unix:path=%1</listen>\n"
                       "  <auth>EXTERNAL</auth>\n"
                       "  <policy context=\"default\">\n"
                       "    <allow user=\"*\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "    <allow send_type=\"method_call\"/>\n"
                       "    <allow send_type=\"signal\"/>\n"
                       "    <allow send_type=\"method_return\"/>\n"
                       "    <allow send_type=\"error\"/>\n"
                       "    <allow receive_type=\"method_call\"/>\n"
                       "    <allow receive_type=\"signal\"/>\n"
                       "    <allow receive_type=\"method_return\"/>\n"
                       "    <allow receive_type=\"error\"/>\n"
                       "  </policy>\n"
                       "</busconfig>\n")
            .arg(socket)
            .toUtf8());
    conf.close();

    const QString log = mDir.filePath(QStringLiteral("dbus.log"));
    mPid = ChildProcess::spawn({QStringLiteral("dbus-daemon"), QStringLiteral("--nofork"),
                                QStringLiteral("--nopidfile"), QStringLiteral("--config-file=") + config},
                               log, log);
    if (mPid <= 0)
        return fail(QStringLiteral("cannot start dbus-daemon"));
    QElapsedTimer timer;
    timer.start();
    // The socket file appears before the bus accepts connections; wait for a real connection.
    const auto accepting = [&socket] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(socket);
        std::memcpy(sa.sun_path, path.constData(), std::min<size_t>(path.size(), sizeof sa.sun_path - 1));
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        ::close(fd);
        return ok;
    };
    while (!accepting()) {
        if (!ChildProcess::isAlive(mPid)) {
            QFile f(log);
            f.open(QIODevice::ReadOnly);
            mPid = -1;
            return fail(QStringLiteral("dbus-daemon ended: %1").arg(QString::fromUtf8(f.readAll())));
        }
        if (timer.elapsed() > 10000)
            return fail(QStringLiteral("dbus-daemon did not open its socket"));
        QThread::msleep(10);
    }
    ::chmod(QFile::encodeName(socket).constData(), 0777);
    mAddress = QStringLiteral("unix:path=") + socket;
    return true;
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
    if (mPid > 0)
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
    QDeadlineTimer deadline(5000);
    for (;;) {
        const QString name = QStringLiteral("%1-%2").arg(prefix).arg(++connections);
        QDBusConnection connection = QDBusConnection::connectToBus(mAddress, name);
        if (connection.isConnected() || deadline.hasExpired())
            return connection;
        QDBusConnection::disconnectFromBus(name);
        QThread::msleep(20);
    }
}
