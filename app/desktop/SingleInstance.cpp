#include "SingleInstance.h"

#include "FileTools.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/socket.h>
#include <unistd.h>

namespace {
const QByteArray kRaise = QByteArrayLiteral("raise\n");
const QByteArray kTaken = QByteArrayLiteral("ok\n");
} // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), mName(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::defaultName() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QDir(runtime).filePath(QStringLiteral("ZorvikHollin.instance"));
    // Not in the shared temporary folder, where another account could take the name first (and answer
    // for us): in a folder of the person's own. A socket's path has a length limit.
    const QString own = QDir::homePath() + QStringLiteral("/.local/share/ZorvikHollin");
    const QString name = own + QStringLiteral("/instance");
    if (name.toLocal8Bit().size() < 100 && FileTools::makePath(own, 0700))
        return name;
    // A long home: a short name of the person's own in it all the same.
    const QString shorter = QDir::homePath() + QStringLiteral("/.zh-instance");
    if (shorter.toLocal8Bit().size() < 100)
        return shorter;
    // Only where even that is too long, the shared temporary folder; whoever answers there is asked
    // who they are (askRunningInstanceToRaise).
    return QStringLiteral("ZorvikHollin-%1").arg(::getuid());
}

bool SingleInstance::askRunningInstanceToRaise(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(mName);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    // Only an instance of this person's own may answer: another account could have taken the name
    // first (in a shared folder) to make every start end at once.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        peer.uid != ::getuid())
        return false;
    socket.write(kRaise);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    QByteArray answer;
    while (!answer.contains('\n') && socket.waitForReadyRead(timeoutMs))
        answer += socket.readAll();
    return answer == kTaken;
}

bool SingleInstance::listen(QString* error) {
    delete mServer;
    mServer = new QLocalServer(this);
    mServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!mServer->listen(mName)) {
        // Nobody answered before we got here: what is left at the name belongs to an instance gone.
        QLocalServer::removeServer(mName);
        if (!mServer->listen(mName)) {
            if (error)
                *error = mServer->errorString();
            return false;
        }
    }
    connect(mServer, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = mServer->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (!peer->canReadLine()) {
                    if (peer->bytesAvailable() > 64)
                        peer->abort(); // not one of ours
                    return;
                }
                const bool raise = peer->readLine() == kRaise;
                if (raise)
                    peer->write(kTaken);
                peer->disconnectFromServer();
                if (raise)
                    emit raiseRequested();
            });
        }
    });
    return true;
}
