#include "InotifyEventStream.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Content changes are taken at close and as they happen: a file truncated or written through a
// descriptor that is never closed (truncate(2) by name, a program that keeps its file open) reports
// no close. The kernel merges repeated events of one file that follow each other, so a copy costs a
// third event per file, not one per write.
constexpr quint32 kMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE |
                          IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW |
                          IN_EXCL_UNLINK;

bool contains(const QByteArray& folder, const QByteArray& path) {
    if (folder == "/")
        return true;
    return path.startsWith(folder) && (path.size() == folder.size() || path.at(folder.size()) == '/');
}

QByteArray join(const QByteArray& folder, const char* name) {
    QByteArray path = folder;
    if (!path.endsWith('/'))
        path += '/';
    path += name;
    return path;
}

} // namespace

InotifyEventStream::InotifyEventStream(std::chrono::milliseconds latency, Options options)
    : DescriptorEventStream(latency, std::move(options)) {
    if (rootNative() != "/") {
        mFolder = rootNative();
    } else {
        const QString canonical = QFileInfo(this->options().usersFolder).canonicalFilePath();
        mFolder = QFile::encodeName(canonical.isEmpty() ? this->options().usersFolder : canonical);
    }
}

InotifyEventStream::~InotifyEventStream() {
    shutdown();
}

QString InotifyEventStream::folder() const {
    return QFile::decodeName(mFolder);
}

int InotifyEventStream::openDescriptor(QString& error) {
    mFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (mFd < 0) {
        error = QStringLiteral("inotify_init1 failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    mLimitReported = false;
    mLimitReached = false;
    if (!addWatch(mFolder)) {
        const int e = errno;
        error = QStringLiteral("cannot watch %1: %2")
                    .arg(QFile::decodeName(mFolder), QString::fromLocal8Bit(std::strerror(e)));
        const int fd = mFd;
        closeDescriptor();
        ::close(fd);
        return -1;
    }
    // Subscribed before the walk, so a folder made during it is either walked or reported.
    watchTree(mFolder, false);
    mBuffer.resize(256 * 1024);
    mOpen = true;
    return mFd;
}

FileSystemEventStream::Coverage InotifyEventStream::coverage() const {
    Coverage c;
    if (!mOpen.load())
        return c;
    c.scope = Coverage::Folder;
    c.folder = QFile::decodeName(mFolder);
    c.foldersWatched = mWatchCount.load(std::memory_order_relaxed);
    c.folderLimitReached = mLimitReached.load();
    c.fallbackReason = fallbackReason();
    return c;
}

void InotifyEventStream::closeDescriptor() {
    mOpen = false;
    mPaths.clear();
    mWatches.clear();
    countWatches();
    mMove.active = false;
    mFd = -1;
}

bool InotifyEventStream::addWatch(const QByteArray& folder) {
    const int wd = ::inotify_add_watch(mFd, folder.constData(), kMask);
    if (wd < 0) {
        if (errno == ENOSPC) {
            mLimitReached = true;
            // The folder and everything below it go unseen until the limit is raised.
            add(folder, MustScanSubDirs | UserDropped);
            if (!mLimitReported) {
                mLimitReported = true;
                report(Report::WatchLimit,
                       QStringLiteral(
                           "File events: the inotify watch limit is reached at %1 (%2 folders watched); "
                           "raise fs.inotify.max_user_watches")
                           .arg(QFile::decodeName(folder))
                           .arg(mWatches.size()));
            }
        }
        return false;
    }
    auto old = mPaths.constFind(wd);
    if (old != mPaths.constEnd() && old.value() != folder)
        mWatches.remove(old.value());
    mPaths.insert(wd, folder);
    mWatches.insert(folder, wd);
    countWatches();
    return true;
}

void InotifyEventStream::watchTree(const QByteArray& folder, bool reportContents) {
    QList<QByteArray> pending{folder};
    while (!pending.isEmpty()) {
        const QByteArray dir = pending.takeLast();
        if (dir != folder || !mWatches.contains(dir)) {
            if (!addWatch(dir))
                continue;
        }
        DIR* d = ::opendir(dir.constData());
        if (!d)
            continue;
        while (const dirent* entry = ::readdir(d)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            const QByteArray child = join(dir, entry->d_name);
            bool isDir = entry->d_type == DT_DIR;
            if (entry->d_type == DT_UNKNOWN) {
                struct stat st {};
                isDir = ::lstat(child.constData(), &st) == 0 && S_ISDIR(st.st_mode);
            }
            if (reportContents)
                add(child, ItemCreated | (isDir ? ItemIsDir : ItemIsFile));
            if (isDir)
                pending.append(child);
        }
        ::closedir(d);
    }
}

void InotifyEventStream::moveTree(const QByteArray& from, const QByteArray& to) {
    QList<QPair<QByteArray, int>> moved;
    for (auto it = mWatches.cbegin(); it != mWatches.cend(); ++it) {
        if (contains(from, it.key()))
            moved.append({it.key(), it.value()});
    }
    for (const auto& [path, wd] : std::as_const(moved)) {
        const QByteArray renamed = to + path.mid(from.size());
        mWatches.remove(path);
        mWatches.insert(renamed, wd);
        mPaths.insert(wd, renamed);
    }
}

void InotifyEventStream::forgetTree(const QByteArray& folder) {
    QList<QPair<QByteArray, int>> gone;
    for (auto it = mWatches.cbegin(); it != mWatches.cend(); ++it) {
        if (contains(folder, it.key()))
            gone.append({it.key(), it.value()});
    }
    for (const auto& [path, wd] : std::as_const(gone)) {
        ::inotify_rm_watch(mFd, wd);
        mWatches.remove(path);
        mPaths.remove(wd);
    }
    countWatches();
}

void InotifyEventStream::settleMove() {
    // Its other half never came: the folder left the watched tree, and its watches would report
    // under the old name.
    if (mMove.active) {
        mMove.active = false;
        forgetTree(mMove.path);
    }
}

void InotifyEventStream::beforeFlush() {
    if (mDrained)
        settleMove();
}

void InotifyEventStream::readAvailable() {
    constexpr int kRounds = 16;
    const qsizetype room = qsizetype(mBuffer.size());
    mDrained = false;
    for (int round = 0; round < kRounds; ++round) {
        const ssize_t n = ::read(mFd, mBuffer.data(), mBuffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            mDrained = true;
            return;
        }
        quint64 count = 0;
        for (ssize_t offset = 0; offset + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(mBuffer.data() + offset);
            handle(event);
            offset += sizeof(inotify_event) + event->len;
            ++count;
        }
        countRead(count);
        if (n < room - 4096) {
            mDrained = true;
            return;
        }
    }
}

void InotifyEventStream::handle(const inotify_event* event) {
    const quint32 mask = event->mask;
    if (mMove.active && !((mask & IN_MOVED_TO) && event->cookie == mMove.cookie))
        settleMove();
    if (mask & IN_Q_OVERFLOW) {
        lost(mFolder, KernelDropped, Report::EventsLost,
             QStringLiteral("File events: the inotify queue overflowed, events were lost; %1 must be scanned")
                 .arg(QFile::decodeName(mFolder)));
        // Folders made during the loss are not watched yet.
        watchTree(mFolder, false);
        return;
    }
    if (mask & IN_IGNORED) {
        auto it = mPaths.find(event->wd);
        if (it != mPaths.end()) {
            auto watch = mWatches.constFind(it.value());
            if (watch != mWatches.constEnd() && watch.value() == event->wd)
                mWatches.remove(it.value());
            mPaths.erase(it);
            countWatches();
        }
        return;
    }
    const auto folder = mPaths.constFind(event->wd);
    if (folder == mPaths.constEnd())
        return;
    if (event->len == 0 || event->name[0] == '\0') {
        if ((mask & (IN_DELETE_SELF | IN_MOVE_SELF)) && folder.value() == mFolder)
            report(Report::Notice, QStringLiteral("File events: the watched folder %1 was removed or moved")
                                       .arg(QFile::decodeName(mFolder)));
        return;
    }
    const QByteArray path = join(folder.value(), event->name);
    const bool isDir = mask & IN_ISDIR;
    quint32 flags = isDir ? ItemIsDir : ItemIsFile;
    if (mask & IN_CREATE)
        flags |= ItemCreated;
    if (mask & IN_DELETE)
        flags |= ItemRemoved;
    if (mask & (IN_MOVED_FROM | IN_MOVED_TO))
        flags |= ItemRenamed;
    if (mask & (IN_CLOSE_WRITE | IN_MODIFY))
        flags |= ItemModified;
    if (mask & IN_ATTRIB)
        flags |= ItemInodeMetaMod;
    add(path, flags);

    if (!isDir)
        return;
    if (mask & IN_CREATE) {
        // Whatever was put inside before the watch existed is found by the scan.
        watchTree(path, true);
    } else if (mask & IN_MOVED_FROM) {
        mMove.active = true;
        mMove.cookie = event->cookie;
        mMove.path = path;
    } else if (mask & IN_MOVED_TO) {
        if (mMove.active && mMove.cookie == event->cookie) {
            mMove.active = false;
            moveTree(mMove.path, path);
        } else {
            watchTree(path, false);
        }
    }
}
