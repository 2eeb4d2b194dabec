#include "Appliance.h"

#include "ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> gAddressCounter{0};

// The host part N of 127.0.0.N: spread by process id so that parallel test processes rarely meet,
// then stepped on each try.
int nextHostPart() {
    return int((getpid() * 37 + gAddressCounter.fetch_add(1) * 11) % 250) + 3;
}

bool writeFile(const QString& path, const QByteArray& data, QFile::Permissions perms = {}) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        return false;
    f.close();
    return perms == QFile::Permissions() || f.setPermissions(perms);
}

bool fail(QString* error, const QString& why) {
    if (error)
        *error = why;
    return false;
}

} // namespace

Appliance::Appliance() : Appliance(Options()) {}

Appliance::Appliance(Options options) : mOptions(options) {
    QDir(mDir.path()).mkpath(QStringLiteral("module"));
}

Appliance::~Appliance() {
    stop();
    if (mMounted)
        ::umount2(QFile::encodeName(modulePath()).constData(), MNT_DETACH);
}

QString Appliance::skipReason(bool tmpfs) {
    if (geteuid() == 0)
        return QString();
    return QStringLiteral("the appliance fixture needs root (rsync daemon on port 873%1)")
        .arg(tmpfs ? QStringLiteral(", tmpfs mount") : QString());
}

QString Appliance::modulePath() const {
    return mDir.filePath(QStringLiteral("module"));
}

QString Appliance::logPath() const {
    return mDir.filePath(QStringLiteral("rsyncd.log"));
}

bool Appliance::isRunning() const {
    return mPid > 0 && ChildProcess::isAlive(mPid);
}

bool Appliance::portOpen(const QString& address) {
    QTcpSocket socket;
    socket.connectToHost(address, 873);
    return socket.waitForConnected(2000);
}

bool Appliance::writeConfig(QString* error) {
    QByteArray secrets;
    for (auto it = mUsers.cbegin(); it != mUsers.cend(); ++it)
        secrets += it.key().toUtf8() + ':' + it.value().toUtf8() + '\n';
    const QString secretsPath = mDir.filePath(QStringLiteral("rsyncd.secrets"));
    // rsync refuses a secrets file that others can read. Without any account the module would be
    // open to everybody; keep it closed instead.
    const QString users = mUsers.isEmpty() ? QStringLiteral("nobody-at-all") : mUsers.keys().join(u", ");
    const QString motdPath = mDir.filePath(QStringLiteral("motd"));
    if (!mOptions.motd.isEmpty() && !writeFile(motdPath, mOptions.motd))
        return fail(error, QStringLiteral("cannot write the login message"));
    // The connection count lives in the lock file: one of its own, or daemons of parallel tests would
    // count each other's clients.
    const QString conf =
        QStringLiteral("use chroot = no\nuid = root\ngid = root\nlog file = %1\nlock file = %5\n%6"
                       "[backup]\n  path = %2\n  read only = no\n  list = yes\n  max connections = %7\n"
                       "  auth users = %3\n  secrets file = %4\n  strict modes = yes\n")
            .arg(logPath(), modulePath(), users, secretsPath, mDir.filePath(QStringLiteral("rsyncd.lock")),
                 mOptions.motd.isEmpty() ? QString() : QStringLiteral("motd file = %1\n").arg(motdPath))
            .arg(mOptions.maxConnections);
    const QString confPath = mDir.filePath(QStringLiteral("rsyncd.conf"));
    const QString tmp = confPath + QStringLiteral(".new");
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner;
    if (!writeFile(secretsPath, secrets, ownerOnly) || !writeFile(tmp, conf.toUtf8(), ownerOnly) ||
        ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(confPath).constData()) != 0)
        return fail(error, QStringLiteral("cannot write the rsync daemon configuration"));
    return true;
}

bool Appliance::addUser(const QString& name, const QString& password) {
    mUsers.insert(name, password);
    QDir(modulePath()).mkpath(name);
    return writeConfig(nullptr);
}

bool Appliance::launch(QString* error) {
    const QString out = mDir.filePath(QStringLiteral("rsyncd.out"));
    mPid = ChildProcess::spawn({QStringLiteral("rsync"), QStringLiteral("--daemon"),
                                QStringLiteral("--no-detach"), QStringLiteral("--address=") + mAddress,
                                QStringLiteral("--port=873"),
                                QStringLiteral("--config=") + mDir.filePath(QStringLiteral("rsyncd.conf"))},
                               out, out);
    if (mPid <= 0)
        return fail(error, QStringLiteral("cannot start rsync"));
    if (ChildProcess::pollUntil([this] { return portOpen(mAddress) || !ChildProcess::isAlive(mPid); },
                                10000) &&
        portOpen(mAddress))
        return true;
    ChildProcess::terminate(mPid);
    mPid = -1;
    QFile log(out);
    log.open(QIODevice::ReadOnly);
    return fail(error, QStringLiteral("rsync daemon on %1 did not open its port: %2")
                           .arg(mAddress, QString::fromUtf8(log.readAll())));
}

bool Appliance::start(QString* error) {
    if (isRunning())
        return true;
    const QString reason = skipReason(mOptions);
    if (!reason.isEmpty())
        return fail(error, reason);
    if (mOptions.tmpfs && !mMounted) {
        const QByteArray opts = "size=" + QByteArray::number(mOptions.tmpfsBytes) + ",mode=0755";
        if (::mount("tmpfs", QFile::encodeName(modulePath()).constData(), "tmpfs", 0, opts.constData()) != 0)
            return fail(
                error,
                QStringLiteral("cannot mount a tmpfs: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        mMounted = true;
        for (const QString& user : mUsers.keys())
            QDir(modulePath()).mkpath(user);
    }
    if (!writeConfig(error))
        return false;
    if (!mAddress.isEmpty())
        return launch(error); // a restart keeps its address
    for (int attempt = 0; attempt < 20; ++attempt) {
        mAddress = QStringLiteral("127.0.0.%1").arg(nextHostPart());
        if (!portOpen(mAddress) && launch(error))
            return true;
    }
    mAddress.clear();
    return false;
}

bool Appliance::holdConnection(const QString& user, QString* error) {
    if (!isRunning() || !mUsers.contains(user))
        return fail(error, QStringLiteral("the appliance does not run or has no account %1").arg(user));
    const QString blob = QStringLiteral("%1/.zh-held-connection").arg(user);
    const QString passwordFile = mDir.filePath(QStringLiteral("holder.secret"));
    if (!QFileInfo::exists(modulePath() + u'/' + blob) && !putFile(blob, QByteArray(4 << 20, 'h')))
        return fail(error, QStringLiteral("cannot write the held download"));
    if (!writeFile(passwordFile, mUsers.value(user).toUtf8(), QFile::ReadOwner | QFile::WriteOwner))
        return fail(error, QStringLiteral("cannot write the holder's password file"));
    const QString target = mDir.filePath(QStringLiteral("held-%1").arg(mHolders.size()));
    const qint64 before = QFileInfo(logPath()).size();
    const pid_t pid =
        ChildProcess::spawn({QStringLiteral("rsync"), QStringLiteral("--bwlimit=1"),
                             QStringLiteral("--password-file=") + passwordFile,
                             QStringLiteral("%1@%2::backup/%3").arg(user, mAddress, blob), target},
                            QStringLiteral("/dev/null"), QStringLiteral("/dev/null"));
    if (pid <= 0)
        return fail(error, QStringLiteral("cannot start the holding client"));
    mHolders << pid;
    // The daemon logs the transfer once the client holds its connection.
    const auto holding = [&] {
        QFile log(logPath());
        return log.open(QIODevice::ReadOnly) && log.seek(before) &&
               log.readAll().contains(QByteArrayLiteral(".zh-held-connection"));
    };
    if (!ChildProcess::pollUntil([&] { return holding() || !ChildProcess::isAlive(pid); }, 10000) ||
        !holding())
        return fail(error, QStringLiteral("the holding client did not get a connection"));
    return true;
}

void Appliance::releaseConnections() {
    for (const pid_t pid : std::as_const(mHolders))
        ChildProcess::terminate(pid);
    mHolders.clear();
}

void Appliance::stop() {
    releaseConnections();
    if (mPid <= 0)
        return;
    ChildProcess::terminate(mPid);
    mPid = -1;
    // Connection handlers of the daemon may hold the port a moment longer.
    ChildProcess::pollUntil([this] { return !portOpen(mAddress); }, 5000);
}

bool Appliance::putFile(const QString& relativePath, const QByteArray& content) {
    return writeFile(modulePath() + u'/' + relativePath, content);
}

bool Appliance::createSnapshot(const QString& name) {
    const QString target = modulePath() + QStringLiteral("/.zfs/snapshot/") + name;
    if (!QDir().mkpath(target) ||
        ChildProcess::run({QStringLiteral("rsync"), QStringLiteral("-a"), QStringLiteral("--exclude=/.zfs"),
                           modulePath() + u'/', target + u'/'}) != 0)
        return false;
    // Snapshots are read-only.
    ChildProcess::run({QStringLiteral("chmod"), QStringLiteral("-R"), QStringLiteral("a-w"), target});
    return true;
}

SilentListener::~SilentListener() {
    if (mSocket >= 0)
        ::close(mSocket);
}

bool SilentListener::start(QString* error) {
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty())
        return fail(error, reason);
    for (int attempt = 0; attempt < 20; ++attempt) {
        const QString address = QStringLiteral("127.0.0.%1").arg(nextHostPart());
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return fail(error, QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(873);
        ::inet_pton(AF_INET, address.toLatin1().constData(), &where.sin_addr);
        // Never accepted: the queue only has to hold the few connections a test makes.
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0 &&
            ::listen(fd, 64) == 0) {
            mSocket = fd;
            mAddress = address;
            return true;
        }
        ::close(fd);
    }
    return fail(error, QStringLiteral("no free 127.0.0.N:873 for a silent listener"));
}
