#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

// A private dbus-daemon with a system-type configuration, for tests of the notification transport.
// Any local user may connect (tests run a peer under another uid). The daemon is stopped, and the
// environment restored, when the fixture is destroyed.
class PrivateBus {
  public:
    PrivateBus() = default;
    ~PrivateBus() { stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool start(QString* error = nullptr);
    void stop();

    bool isRunning() const { return mPid > 0; }
    pid_t pid() const { return mPid; }
    QString address() const { return mAddress; }
    // The address the bus has whenever it runs, known before the first start (the same after a restart).
    QString socketAddress() const;

    // Points DBUS_SYSTEM_BUS_ADDRESS of this process (and of children started afterwards) at the bus.
    void exportAsSystemBus();

    // A new connection to the bus, named "<prefix>-<n>"; the bus's socket can appear a moment before
    // it accepts connections, so this retries for a few seconds. Check isConnected() on the result.
    QDBusConnection connect(const QString& prefix);

  private:
    QTemporaryDir mDir;
    pid_t mPid = -1;
    QString mAddress;
    bool mExported = false;
    QByteArray mSavedAddress;
    bool mHadSavedAddress = false;
};
