#include "Appliance.h"

#include "ChildProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<int> gAddressCounter{0};

// The host part N of 127.0.0.N: spread by process id so that parallel test processes rarely meet,
// then stepped on each try.
int nextHostPart() {
    const int n = gAddressCounter.fetch_add(1);
    return int((getpid() * 37 + n * 11) % 250) + 3;
}

bool writeFile(const QString& path, const QByteArray& data, QFile::Permissions perms) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool ok = f.write(data) == data.size();
    f.close();
    return ok && f.setPermissions(perms);
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
    if (geteuid() != 0)
        return QStringLiteral("the appliance fixture needs root (rsync daemon on port 873%1)")
            .arg(tmpfs ? QStringLiteral(", tmpfs mount") : QString());
    return QString();
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
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(873);
    inet_pton(AF_INET, address.toLatin1().constData(), &sa.sin_addr);
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    return open;
}

bool Appliance::writeConfig(QString* error) {
    QByteArray secrets;
    QStringList names;
    for (auto it = mUsers.cbegin(); it != mUsers.cend(); ++it) {
        secrets += it.key().toUtf8() + ':' + it.value().toUtf8() + '\n';
        names << it.key();
    }
    const QString secretsPath = mDir.filePath(QStringLiteral("rsyncd.secrets"));
    // rsync refuses a secrets file that others can read.
    if (!writeFile(secretsPath, secrets, QFile::ReadOwner | QFile::WriteOwner)) {
        if (error)
            *error = QStringLiteral("cannot write the secrets file");
        return false;
    }
    QByteArray conf;
    conf += "use chroot = no\n";
    conf += "uid = root\n";
    conf += "gid = root\n";
    conf += "log file = " + QFile::encodeName(logPath()) + "\n";
    conf += "[backup]\n";
    conf += "  path = " + QFile::encodeName(modulePath()) + "\n";
    conf += "  read only = no\n";
    conf += "  list = yes\n";
    // Without any account the module would be open to everybody; keep it closed instead.
    conf += "  auth users = " +
            (names.isEmpty() ? QByteArray("nobody-at-all") : names.join(QStringLiteral(", ")).toUtf8()) +
            "\n";
    conf += "  secrets file = " + QFile::encodeName(secretsPath) + "\n";
    conf += "  strict modes = yes\n";
    const QString confPath = mDir.filePath(QStringLiteral("rsyncd.conf"));
    const QString tmp = confPath + QStringLiteral(".new");
    if (!writeFile(tmp, conf, QFile::ReadOwner | QFile::WriteOwner) ||
        ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(confPath).constData()) != 0) {
        if (error)
            *error = QStringLiteral("cannot write the rsync daemon configuration");
        return false;
    }
    return true;
}

bool Appliance::addUser(const QString& name, const QString& password) {
    mUsers.insert(name, password);
    QDir(modulePath()).mkpath(name);
    return writeConfig(nullptr);
}

bool Appliance::launch(QString* error) {
    const QString conf = mDir.filePath(QStringLiteral("rsyncd.conf"));
    const QString out = mDir.filePath(QStringLiteral("rsyncd.out"));
    mPid = ChildProcess::spawn({QStringLiteral("rsync"), QStringLiteral("--daemon"),
                                QStringLiteral("--no-detach"), QStringLiteral("--address=") + mAddress,
                                QStringLiteral("--port=873"), QStringLiteral("--config=") + conf},
                               out, out);
    if (mPid <= 0) {
        if (error)
            *error = QStringLiteral("cannot start rsync");
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (portOpen(mAddress))
            return true;
        if (!ChildProcess::isAlive(mPid)) {
            mPid = -1;
            QFile f(out);
            f.open(QIODevice::ReadOnly);
            if (error)
                *error = QStringLiteral("rsync daemon on %1 ended: %2")
                             .arg(mAddress, QString::fromUtf8(f.readAll()));
            return false;
        }
        QThread::msleep(20);
    }
    ChildProcess::terminate(mPid);
    mPid = -1;
    if (error)
        *error = QStringLiteral("rsync daemon on %1 did not open its port").arg(mAddress);
    return false;
}

bool Appliance::start(QString* error) {
    if (isRunning())
        return true;
    const QString reason = skipReason(mOptions);
    if (!reason.isEmpty()) {
        if (error)
            *error = reason;
        return false;
    }
    if (mOptions.tmpfs && !mMounted) {
        const QByteArray opts = "size=" + QByteArray::number(mOptions.tmpfsBytes) + ",mode=0755";
        if (::mount("tmpfs", QFile::encodeName(modulePath()).constData(), "tmpfs", 0, opts.constData()) !=
            0) {
            if (error)
                *error =
                    QStringLiteral("cannot mount a tmpfs: %1").arg(QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        mMounted = true;
        for (auto it = mUsers.cbegin(); it != mUsers.cend(); ++it)
            QDir(modulePath()).mkpath(it.key());
    }
    if (!writeConfig(error))
        return false;
    if (!mAddress.isEmpty())
        return launch(error); // a restart keeps its address
    QString why;
    for (int attempt = 0; attempt < 20; ++attempt) {
        mAddress = QStringLiteral("127.0.0.%1").arg(nextHostPart());
        if (portOpen(mAddress))
            continue;
        if (launch(&why))
            return true;
    }
    mAddress.clear();
    if (error)
        *error = why;
    return false;
}

void Appliance::stop() {
    if (mPid <= 0)
        return;
    ChildProcess::terminate(mPid);
    mPid = -1;
    // Connection handlers of the daemon may hold the port a moment longer.
    QElapsedTimer timer;
    timer.start();
    while (portOpen(mAddress) && timer.elapsed() < 5000)
        QThread::msleep(20);
}

bool Appliance::putFile(const QString& relativePath, const QByteArray& content) {
    const QString path = modulePath() + u'/' + relativePath;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(content) == content.size();
}

bool Appliance::createSnapshot(const QString& name) {
    const QString target = modulePath() + QStringLiteral("/.zfs/snapshot/") + name;
    if (!QDir().mkpath(target))
        return false;
    QStringList argv{QStringLiteral("rsync"), QStringLiteral("-a"), QStringLiteral("--exclude=/.zfs"),
                     modulePath() + u'/', target + u'/'};
    if (ChildProcess::run(argv) != 0)
        return false;
    // Snapshots are read-only.
    ChildProcess::run({QStringLiteral("chmod"), QStringLiteral("-R"), QStringLiteral("a-w"), target});
    return true;
}

int Appliance::list(const QString& user, const QString& password, const QString& modulePathInside,
                    QByteArray* out, QByteArray* err) const {
    QTemporaryDir scratch;
    const QString passwordFile = scratch.filePath(QStringLiteral("secret"));
    if (!writeFile(passwordFile, password.toUtf8(), QFile::ReadOwner | QFile::WriteOwner))
        return -1;
    return ChildProcess::run({QStringLiteral("rsync"), QStringLiteral("--list-only"),
                              QStringLiteral("--password-file=") + passwordFile,
                              QStringLiteral("%1@%2::backup/%3").arg(user, mAddress, modulePathInside)},
                             out, err);
}
