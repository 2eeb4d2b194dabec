#include "FanotifyEventStream.h"

#include <QFile>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

constexpr quint64 kMask = FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_MODIFY |
                          FAN_CLOSE_WRITE | FAN_ATTRIB | FAN_ONDIR;
constexpr qsizetype kFolderCacheLimit = 16384;

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// mountinfo writes blanks, tabs, newlines and backslashes as three-digit octal escapes.
QByteArray unescape(const QByteArray& field) {
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        auto octal = [&](qsizetype k) { return field[k] >= '0' && field[k] <= '7'; };
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += char(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool contains(const QByteArray& folder, const QByteArray& path) {
    if (folder == "/")
        return true;
    return path.startsWith(folder) && (path.size() == folder.size() || path.at(folder.size()) == '/');
}

} // namespace

FanotifyEventStream::FanotifyEventStream(std::chrono::milliseconds latency, Options options,
                                         QString mountInfoPath)
    : DescriptorEventStream(latency, std::move(options)), mMountInfoPath(std::move(mountInfoPath)) {}

FanotifyEventStream::~FanotifyEventStream() {
    shutdown();
}

QList<FanotifyEventStream::Mount> FanotifyEventStream::parseMountInfo(const QByteArray& text) {
    QList<Mount> mounts;
    for (const QByteArray& line : text.split('\n')) {
        // id parent major:minor root mountpoint options [optional…] - type source superoptions
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (dash < 6 || dash + 2 >= fields.size())
            continue;
        Mount m;
        m.device = fields[2];
        m.root = unescape(fields[3]);
        m.mountPoint = unescape(fields[4]);
        m.readOnly = fields[5].split(',').contains("ro");
        m.type = fields[dash + 1];
        m.source = unescape(fields[dash + 2]);
        mounts << m;
    }
    return mounts;
}

bool FanotifyEventStream::isWatchable(const Mount& mount) {
    if (mount.readOnly || mount.root != "/")
        return false;
    // Disks, and the pool file systems that do not name a block device.
    static const QList<QByteArray> readOnlyKinds = {"squashfs", "iso9660", "udf", "erofs", "cramfs"};
    if (readOnlyKinds.contains(mount.type))
        return false;
    return mount.source.startsWith("/dev/") || mount.type == "zfs" || mount.type == "btrfs";
}

int FanotifyEventStream::openDescriptor(QString& error) {
    QStringList notices;
    QFile file(mMountInfoPath);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1").arg(mMountInfoPath);
        return -1;
    }
    const int fd = ::fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME,
                                   O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EPERM)
            error = QStringLiteral("fanotify refused (%1): it needs CAP_SYS_ADMIN and a system call filter "
                                   "that allows fanotify_init (containers often refuse it)")
                        .arg(errnoText(e));
        else if (e == EINVAL)
            error = QStringLiteral("this kernel has no fanotify with file handles and names (%1)")
                        .arg(errnoText(e));
        else
            error = QStringLiteral("fanotify_init failed: %1").arg(errnoText(e));
        return -1;
    }

    markFileSystems(fd, parseMountInfo(file.readAll()), notices);
    if (mFileSystems.isEmpty()) {
        error = QStringLiteral("no local writable file system under %1 accepts a fanotify mark")
                    .arg(QFile::decodeName(rootNative()));
        if (!notices.isEmpty())
            error += QStringLiteral(" (") + notices.join(QStringLiteral("; ")) + u')';
        ::close(fd);
        return -1;
    }
    for (const QString& notice : std::as_const(notices))
        report(Report::Notice, QStringLiteral("File events: ") + notice);
    mBuffer.resize(256 * 1024);
    return fd;
}

void FanotifyEventStream::markFileSystems(int fd, const QList<Mount>& mounts, QStringList& notices) {
    const QByteArray root = rootNative();
    for (const Mount& m : mounts) {
        // A mount over the root's folder or anywhere below it.
        if (!(contains(m.mountPoint, root) || contains(root, m.mountPoint)))
            continue;
        if (!isWatchable(m) || mMarkedDevices.contains(m.device))
            continue;
        const int mountFd = ::open(m.mountPoint.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        struct statfs sfs {};
        if (mountFd < 0 || ::fstatfs(mountFd, &sfs) != 0) {
            const int e = errno;
            notices
                << QStringLiteral("cannot open %1: %2").arg(QFile::decodeName(m.mountPoint), errnoText(e));
            if (mountFd >= 0)
                ::close(mountFd);
            continue;
        }
        if (::fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMask, mountFd, nullptr) != 0) {
            const int e = errno;
            notices << QStringLiteral("%1 (%2) cannot be watched: %3")
                           .arg(QFile::decodeName(m.mountPoint), QString::fromLatin1(m.type), errnoText(e));
            ::close(mountFd);
            continue;
        }
        mMarkedDevices << m.device;
        FileSystem fs{};
        std::memcpy(fs.fsid, &sfs.f_fsid, sizeof fs.fsid);
        fs.mountFd = mountFd;
        fs.mountPoint = m.mountPoint;
        mFileSystems << fs;
    }
    mMarkCount.store(mFileSystems.size());
}

FileSystemEventStream::Coverage FanotifyEventStream::coverage() const {
    Coverage c;
    const qint64 marks = mMarkCount.load();
    if (marks == 0)
        return c;
    c.scope = Coverage::WholeDisk;
    c.folder = QFile::decodeName(rootNative());
    c.fileSystemsMarked = marks;
    return c;
}

void FanotifyEventStream::prepare() {
    // The kernel flags the mount list (POLLPRI) whenever something is mounted or unmounted; a file
    // system mounted later gets its mark then.
    const QByteArray path = QFile::encodeName(mMountInfoPath);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Exception);
    QObject::connect(notifier, &QSocketNotifier::activated, [this, fd] {
        QByteArray text;
        char chunk[16384];
        ::lseek(fd, 0, SEEK_SET);
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
            text.append(chunk, n);
        QStringList notices;
        const qsizetype before = mFileSystems.size();
        markFileSystems(descriptor(), parseMountInfo(text), notices);
        for (qsizetype i = before; i < mFileSystems.size(); ++i)
            notices << QStringLiteral("%1 mounted, now watched")
                           .arg(QFile::decodeName(mFileSystems[i].mountPoint));
        for (const QString& notice : std::as_const(notices))
            report(Report::Notice, QStringLiteral("File events: ") + notice);
    });
    // Gone with the thread's loop, on the thread that made it.
    QObject::connect(
        QThread::currentThread(), &QThread::finished, notifier,
        [notifier, fd] {
            delete notifier;
            ::close(fd);
        },
        Qt::DirectConnection);
}

void FanotifyEventStream::closeDescriptor() {
    for (const FileSystem& fs : std::as_const(mFileSystems))
        ::close(fs.mountFd);
    mFileSystems.clear();
    mMarkCount.store(0);
    mMarkedDevices.clear();
    mFolders.clear();
}

QList<QByteArray> FanotifyEventStream::unmarkedFolders(const QByteArray& folder) const {
    QFile file(mMountInfoPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<Mount> mounts = parseMountInfo(file.readAll());
    QList<QByteArray> markedDevices;
    for (const FileSystem& fs : mFileSystems)
        for (const Mount& m : mounts)
            if (m.mountPoint == fs.mountPoint)
                markedDevices << m.device;
    QList<QByteArray> out;
    for (qsizetype i = 0; i < mounts.size(); ++i) {
        const Mount& m = mounts[i];
        if (!(contains(m.mountPoint, folder) || contains(folder, m.mountPoint)))
            continue;
        const QByteArray covered = contains(m.mountPoint, folder) ? folder : m.mountPoint;
        // A mount listed later at or above that place hides this one there.
        bool hidden = false;
        for (qsizetype j = i + 1; j < mounts.size(); ++j)
            hidden = hidden || contains(mounts[j].mountPoint, covered);
        if (!hidden && !markedDevices.contains(m.device) && !out.contains(covered))
            out << covered;
    }
    return out;
}

void FanotifyEventStream::readAvailable() {
    // A storm must not starve the latency timer, so one call reads a bounded amount.
    constexpr int kRounds = 16;
    const qsizetype room = qsizetype(mBuffer.size());
    for (int round = 0; round < kRounds; ++round) {
        const ssize_t n = ::read(descriptor(), mBuffer.data(), mBuffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        handle(mBuffer.data(), n);
        // A short read means the queue was empty; spare the read that would say so.
        if (n < room - 4096)
            return;
    }
}

void FanotifyEventStream::handle(const char* data, qsizetype length) {
    auto* meta = reinterpret_cast<const fanotify_event_metadata*>(data);
    qint64 len = length;
    quint64 count = 0;
    for (; FAN_EVENT_OK(meta, len); meta = FAN_EVENT_NEXT(meta, len)) {
        ++count;
        if (meta->fd >= 0)
            ::close(meta->fd);
        if (meta->vers != FANOTIFY_METADATA_VERSION) {
            report(Report::Notice,
                   QStringLiteral("File events: unknown fanotify event version %1").arg(meta->vers));
            break;
        }
        const quint64 mask = meta->mask;
        if (mask & FAN_Q_OVERFLOW) {
            lost(rootNative(), KernelDropped, Report::EventsLost,
                 QStringLiteral(
                     "File events: the fanotify queue overflowed, events were lost; %1 must be scanned")
                     .arg(QFile::decodeName(rootNative())));
            continue;
        }
        const char* p = reinterpret_cast<const char*>(meta) + meta->metadata_len;
        const char* end = reinterpret_cast<const char*>(meta) + meta->event_len;
        while (p + qsizetype(sizeof(fanotify_event_info_header)) <= end) {
            const auto* header = reinterpret_cast<const fanotify_event_info_header*>(p);
            if (header->len == 0 || p + header->len > end)
                break;
            if (header->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME) {
                const char* name = nullptr;
                const QByteArray folder = folderPath(p, p + header->len, &name);
                if (!folder.isEmpty() && name) {
                    QByteArray path = folder;
                    if (std::strcmp(name, ".") != 0) {
                        if (!path.endsWith('/'))
                            path += '/';
                        path += name;
                    }
                    quint32 flags = (mask & FAN_ONDIR) ? ItemIsDir : ItemIsFile;
                    if (mask & FAN_CREATE)
                        flags |= ItemCreated;
                    if (mask & FAN_DELETE)
                        flags |= ItemRemoved;
                    if (mask & (FAN_MOVED_FROM | FAN_MOVED_TO))
                        flags |= ItemRenamed;
                    if (mask & (FAN_MODIFY | FAN_CLOSE_WRITE))
                        flags |= ItemModified;
                    if (mask & FAN_ATTRIB)
                        flags |= ItemInodeMetaMod;
                    add(path, flags);
                }
            }
            p += header->len;
        }
        // A folder that moved or went away invalidates the paths known below it.
        if ((mask & FAN_ONDIR) && (mask & (FAN_MOVED_FROM | FAN_MOVED_TO | FAN_DELETE)))
            mFolders.clear();
    }
    countRead(count);
}

QByteArray FanotifyEventStream::folderPath(const char* record, const char* end, const char** name) {
    const auto* fid = reinterpret_cast<const fanotify_event_info_fid*>(record);
    const char* handleStart = reinterpret_cast<const char*>(fid->handle);
    if (handleStart + sizeof(file_handle) > end)
        return {};
    file_handle header{};
    std::memcpy(&header, handleStart, sizeof header);
    const char* handleBytes = handleStart + sizeof(file_handle);
    if (handleBytes + header.handle_bytes >= end)
        return {};
    *name = handleBytes + header.handle_bytes;
    if (!std::memchr(*name, '\0', end - *name))
        return {};

    // fsid, type and handle bytes identify the folder.
    const QByteArray key(reinterpret_cast<const char*>(&fid->fsid),
                         qsizetype(handleBytes - reinterpret_cast<const char*>(&fid->fsid)) +
                             header.handle_bytes);
    auto cached = mFolders.constFind(key);
    if (cached != mFolders.constEnd())
        return cached.value();

    const FileSystem* fs = nullptr;
    for (const FileSystem& candidate : std::as_const(mFileSystems)) {
        if (std::memcmp(candidate.fsid, &fid->fsid, sizeof candidate.fsid) == 0) {
            fs = &candidate;
            break;
        }
    }
    if (!fs)
        return {};
    // open_by_handle_at wants the handle in an aligned struct of its own.
    std::vector<char> handleCopy(sizeof(file_handle) + header.handle_bytes);
    std::memcpy(handleCopy.data(), handleStart, handleCopy.size());
    const int folderFd = ::open_by_handle_at(fs->mountFd, reinterpret_cast<file_handle*>(handleCopy.data()),
                                             O_PATH | O_CLOEXEC);
    if (folderFd < 0)
        return {}; // the folder is gone already; nothing below it is left to back up
    QByteArray path;
    struct stat st {};
    if (::fstat(folderFd, &st) == 0 && st.st_nlink > 0) {
        char link[32];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", folderFd);
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link, target, sizeof target);
        if (n > 0 && n < qsizetype(sizeof target) && target[0] == '/')
            path = QByteArray(target, n);
    }
    ::close(folderFd);
    if (path.isEmpty())
        return {};
    if (mFolders.size() >= kFolderCacheLimit)
        mFolders.clear();
    mFolders.insert(key, path);
    return path;
}
