#include "Appliance.h"

#include "ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

sockaddr_in socketAddress(const QString& address, int port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(quint16(port));
    ::inet_pton(AF_INET, address.toLatin1().constData(), &where.sin_addr);
    return where;
}

} // namespace

// Passes bytes between the programs and the daemon, one thread for every connection it holds, until
// it is told to go silent: then it stops reading and writing on them (and on the connections that
// come later) but closes nothing, so the programs' data waits in the socket buffers as on a network
// that went away. A connection whose client gives up is closed on both sides.
class ApplianceRelay {
  public:
    ~ApplianceRelay() { stop(); }

    bool start(const QString& address, const QString& upstream, QString* error) {
        mUpstream = socketAddress(upstream, 873);
        mListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in where = socketAddress(address, 873);
        const int on = 1;
        ::setsockopt(mListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (mListen < 0 || ::bind(mListen, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
            ::listen(mListen, 64) != 0 || ::pipe2(mWake, O_CLOEXEC | O_NONBLOCK) != 0) {
            const QString why = QString::fromLocal8Bit(strerror(errno));
            stop();
            return fail(error, QStringLiteral("relay on %1: %2").arg(address, why));
        }
        mThread = std::thread([this] { run(); });
        return true;
    }

    void stop() {
        if (mThread.joinable()) {
            mStopping = true;
            (void)!::write(mWake[1], "x", 1);
            mThread.join();
        }
        for (int* fd : {&mListen, &mWake[0], &mWake[1]}) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }

    void silenceAfter(qint64 bytes) {
        std::lock_guard<std::mutex> lock(mLock);
        mBudget = bytes;
        mSilent = bytes <= 0;
        wake();
    }
    void speak() {
        std::lock_guard<std::mutex> lock(mLock);
        mBudget = -1;
        mSilent = false;
        wake();
    }
    bool silent() const {
        std::lock_guard<std::mutex> lock(mLock);
        return mSilent;
    }

  private:
    struct Pair {
        int client = -1;
        int server = -1;
        std::string toServer, toClient;
        bool silent = false;
        bool serverDone = false;
    };

    void wake() { (void)!::write(mWake[1], "x", 1); }

    static void closePair(Pair& pair) {
        ::close(pair.client);
        ::close(pair.server);
        pair.client = pair.server = -1;
    }

    void accept() {
        const int client = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0)
            return;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (server < 0 ||
            ::connect(server, reinterpret_cast<const sockaddr*>(&mUpstream), sizeof mUpstream) != 0) {
            // The daemon is not there (stopped): the client finds the connection closed.
            if (server >= 0)
                ::close(server);
            ::close(client);
            return;
        }
        ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);
        Pair pair;
        pair.client = client;
        pair.server = server;
        std::lock_guard<std::mutex> lock(mLock);
        pair.silent = mSilent;
        mPairs.push_back(std::move(pair));
    }

    // Reads what from has for to, within the budget; false at its end or on an error.
    bool pass(int from, std::string& buffer, bool counted) {
        char chunk[65536];
        std::size_t wanted = sizeof chunk;
        if (counted) {
            std::lock_guard<std::mutex> lock(mLock);
            if (mSilent)
                return true;
            if (mBudget >= 0)
                wanted = std::min<std::size_t>(wanted, std::size_t(mBudget));
        }
        if (wanted == 0)
            return true;
        const ssize_t n = ::read(from, chunk, wanted);
        if (n > 0) {
            buffer.append(chunk, std::size_t(n));
            if (counted) {
                std::lock_guard<std::mutex> lock(mLock);
                if (mBudget >= 0) {
                    mBudget -= n;
                    if (mBudget <= 0)
                        mSilent = true;
                }
            }
            return true;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }

    static bool flush(int to, std::string& buffer) {
        while (!buffer.empty()) {
            const ssize_t n = ::write(to, buffer.data(), buffer.size());
            if (n > 0) {
                buffer.erase(0, std::size_t(n));
                continue;
            }
            return n < 0 && (errno == EAGAIN || errno == EINTR);
        }
        return true;
    }

    void run() {
        while (!mStopping) {
            bool silentNow;
            {
                std::lock_guard<std::mutex> lock(mLock);
                silentNow = mSilent;
            }
            std::vector<pollfd> fds{{mWake[0], POLLIN, 0}, {mListen, POLLIN, 0}};
            for (Pair& pair : mPairs) {
                if (silentNow)
                    pair.silent = true; // every connection held falls silent together
                if (pair.silent) {
                    // Nothing is read or written; only a client that gives up is noticed.
                    fds.push_back({pair.client, POLLRDHUP, 0});
                    fds.push_back({pair.server, 0, 0});
                    continue;
                }
                fds.push_back({pair.client,
                               short((pair.toServer.size() < (1 << 20) ? POLLIN : 0) |
                                     (pair.toClient.empty() ? 0 : POLLOUT)),
                               0});
                fds.push_back({pair.server,
                               short((pair.toClient.size() < (1 << 20) && !pair.serverDone ? POLLIN : 0) |
                                     (pair.toServer.empty() ? 0 : POLLOUT)),
                               0});
            }
            if (::poll(fds.data(), nfds_t(fds.size()), 200) < 0 && errno != EINTR)
                break;
            char drain[64];
            while (::read(mWake[0], drain, sizeof drain) > 0) {
            }
            if (fds[1].revents & POLLIN)
                accept();
            for (std::size_t i = 0; i + 2 < fds.size() && i / 2 < mPairs.size(); i += 2) {
                Pair& pair = mPairs[i / 2];
                const pollfd& c = fds[i + 2];
                const pollfd& v = fds[i + 3];
                if (pair.silent) {
                    if (c.revents & (POLLRDHUP | POLLHUP | POLLERR))
                        closePair(pair);
                    continue;
                }
                bool open = true;
                if (c.revents & (POLLIN | POLLHUP | POLLERR))
                    open = pass(pair.client, pair.toServer, true);
                if (open && (v.revents & (POLLIN | POLLHUP | POLLERR)) &&
                    !pass(pair.server, pair.toClient, false))
                    pair.serverDone = true;
                if (open && !pair.silent)
                    open = flush(pair.server, pair.toServer) && flush(pair.client, pair.toClient);
                if (!open || (pair.serverDone && pair.toClient.empty()))
                    closePair(pair);
            }
            mPairs.erase(
                std::remove_if(mPairs.begin(), mPairs.end(), [](const Pair& p) { return p.client < 0; }),
                mPairs.end());
        }
        for (Pair& pair : mPairs)
            closePair(pair);
        mPairs.clear();
    }

    sockaddr_in mUpstream{};
    int mListen = -1;
    int mWake[2] = {-1, -1};
    std::thread mThread;
    std::atomic<bool> mStopping{false};
    mutable std::mutex mLock;
    qint64 mBudget = -1; // bytes still passed to the appliance before the silence; -1: no limit
    bool mSilent = false;
    std::vector<Pair> mPairs; // the relay thread's own
};

Appliance::Appliance() : Appliance(Options()) {}

Appliance::Appliance(Options options) : mOptions(options) {
    QDir(mDir.path()).mkpath(QStringLiteral("module"));
}

Appliance::~Appliance() {
    stop();
    if (mRelay)
        mRelay->stop();
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

void Appliance::stall() {
    if (mPid > 0 && ::kill(-mPid, SIGSTOP) == 0)
        mStalled = true;
}

void Appliance::resume() {
    if (mPid > 0)
        ::kill(-mPid, SIGCONT);
    mStalled = false;
}

void Appliance::goSilentAfter(qint64 bytes) {
    if (mRelay)
        mRelay->silenceAfter(bytes);
}

void Appliance::speak() {
    if (mRelay)
        mRelay->speak();
}

bool Appliance::wentSilent() const {
    return mRelay && mRelay->silent();
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
                                QStringLiteral("--no-detach"), QStringLiteral("--address=") + mDaemonAddress,
                                QStringLiteral("--port=873"),
                                QStringLiteral("--config=") + mDir.filePath(QStringLiteral("rsyncd.conf"))},
                               out, out);
    if (mPid <= 0)
        return fail(error, QStringLiteral("cannot start rsync"));
    if (ChildProcess::pollUntil([this] { return portOpen(mDaemonAddress) || !ChildProcess::isAlive(mPid); },
                                10000) &&
        portOpen(mDaemonAddress))
        return true;
    ChildProcess::terminate(mPid);
    mPid = -1;
    QFile log(out);
    log.open(QIODevice::ReadOnly);
    return fail(error, QStringLiteral("rsync daemon on %1 did not open its port: %2")
                           .arg(mDaemonAddress, QString::fromUtf8(log.readAll())));
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
        mAddress = mDaemonAddress = QStringLiteral("127.0.0.%1").arg(nextHostPart());
        if (mOptions.relay) {
            mDaemonAddress = QStringLiteral("127.0.0.%1").arg(nextHostPart());
            if (mDaemonAddress == mAddress || portOpen(mDaemonAddress))
                continue;
        }
        if (portOpen(mAddress) || !launch(error))
            continue;
        if (!mOptions.relay)
            return true;
        mRelay = std::make_unique<ApplianceRelay>();
        if (mRelay->start(mAddress, mDaemonAddress, error))
            return true;
        mRelay.reset();
        ChildProcess::terminate(mPid);
        mPid = -1;
    }
    mAddress.clear();
    mDaemonAddress.clear();
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
    if (mStalled)
        resume(); // a stopped process would not hear the end
    ChildProcess::terminate(mPid);
    mPid = -1;
    // Connection handlers of the daemon may hold the port a moment longer.
    ChildProcess::pollUntil([this] { return !portOpen(mDaemonAddress); }, 5000);
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
