#include "SessionInterface.h"

#include "FileManagerRequests.h"

#include <QDBusConnectionInterface>
#include <QDBusError>

#include <unistd.h>

SessionInterface::SessionInterface(FileManagerRequests& requests, QDBusConnection bus, QObject* parent)
    : QObject(parent), mRequests(requests), mBus(std::move(bus)) {}

SessionInterface::~SessionInterface() {
    if (mServing) {
        mBus.unregisterService(ServiceName);
        mBus.unregisterObject(ObjectPath);
    }
}

bool SessionInterface::serve(QString* error) {
    if (!mBus.isConnected()) {
        if (error)
            *error = QStringLiteral("no session bus: %1").arg(mBus.lastError().message());
        return false;
    }
    if (!mBus.registerObject(ObjectPath, this, QDBusConnection::ExportScriptableSlots)) {
        if (error)
            *error = QStringLiteral("cannot serve %1: %2").arg(ObjectPath, mBus.lastError().message());
        return false;
    }
    if (!mBus.registerService(ServiceName)) {
        if (error)
            *error =
                QStringLiteral("cannot take the name %1: %2").arg(ServiceName, mBus.lastError().message());
        mBus.unregisterObject(ObjectPath);
        return false;
    }
    mServing = true;
    return true;
}

bool SessionInterface::callerIsThePerson() {
    if (!calledFromDBus())
        return true;
    const QDBusReply<uint> uid = connection().interface()->serviceUid(message().service());
    if (uid.isValid() && uid.value() == ::geteuid())
        return true;
    sendErrorReply(QDBusError::AccessDenied, QStringLiteral("only the person's own programs may ask"));
    return false;
}

QStringList SessionInterface::ShowVersions(const QStringList& items) {
    return callerIsThePerson() ? mRequests.showVersions(items) : QStringList();
}

QStringList SessionInterface::CheckFiles(const QStringList& items) {
    return callerIsThePerson() ? mRequests.checkFiles(items) : QStringList();
}

QStringList SessionInterface::BackUpNow(const QStringList& items) {
    return callerIsThePerson() ? mRequests.backUpNow(items) : QStringList();
}
