#include "FakeLogind.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

FakeLogind::FakeLogind(QDBusConnection connection, QObject* parent)
    : QObject(parent), mConnection(std::move(connection)) {
    mRegistered =
        mConnection.registerObject(QStringLiteral("/org/freedesktop/login1"), this,
                                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
        mConnection.registerService(QStringLiteral("org.freedesktop.login1"));
}

FakeLogind::~FakeLogind() {
    mConnection.unregisterService(QStringLiteral("org.freedesktop.login1"));
    mConnection.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
    for (const Call& call : std::as_const(mCalls))
        if (call.readEnd >= 0)
            ::close(call.readEnd);
}

QDBusUnixFileDescriptor FakeLogind::Inhibit(const QString& what, const QString& who, const QString& why,
                                            const QString& mode) {
    if (mRefuse) {
        sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Inhibit refused by the test"));
        mCalls << Call{what, who, why, mode, -1};
        return {};
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("no pipe"));
        return {};
    }
    mCalls << Call{what, who, why, mode, ends[0]};
    // The reply carries its own copy; ours goes now, so only the caller holds the lock afterwards.
    QDBusUnixFileDescriptor lock(ends[1]);
    ::close(ends[1]);
    return lock;
}

bool FakeLogind::isHeld(int i) const {
    if (i < 0 || i >= mCalls.size() || mCalls[i].readEnd < 0)
        return false;
    pollfd p{mCalls[i].readEnd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0; // nothing to read and no hang-up: a write end is still open
}

int FakeLogind::heldCount() const {
    int held = 0;
    for (int i = 0; i < mCalls.size(); ++i)
        held += isHeld(i);
    return held;
}
