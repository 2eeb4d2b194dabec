#include "FileTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileTools {

namespace {

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

bool ownerOf(const QString& path, uid_t& uid, gid_t& gid) {
    struct stat st {};
    if (::stat(native(path).constData(), &st) != 0)
        return false;
    uid = st.st_uid;
    gid = st.st_gid;
    return true;
}

QString parentOf(const QString& path) {
    QString clean = QDir::cleanPath(path);
    const int slash = clean.lastIndexOf(u'/');
    if (slash <= 0)
        return QStringLiteral("/");
    return clean.left(slash);
}

QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Gives path the owner and group of the folder that holds it (only effective when running as root).
void adoptParentOwner(const QString& path) {
    if (::geteuid() != 0)
        return;
    uid_t uid;
    gid_t gid;
    if (ownerOf(parentOf(path), uid, gid)) {
        // (void) does not silence glibc's warn_unused_result under _FORTIFY_SOURCE.
        [[maybe_unused]] const int ignored = ::lchown(native(path).constData(), uid, gid);
    }
}

} // namespace

bool makePath(const QString& folder, mode_t mode) {
    if (folder.isEmpty())
        return false;
    const QString clean = QDir::cleanPath(folder);
    if (QFileInfo(clean).isDir())
        return true;
    const QString parent = parentOf(clean);
    if (parent != clean && !makePath(parent, mode))
        return false;
    if (::mkdir(native(clean).constData(), mode) == 0)
        adoptParentOwner(clean); // only what was made just now: one that appeared meanwhile is not ours
    else if (errno != EEXIST)
        return false;
    return QFileInfo(clean).isDir();
}

bool writeAtomically(const QString& path, const QByteArray& data, mode_t mode, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (path.isEmpty())
        return fail(QStringLiteral("no path"));
    const QString folder = parentOf(path);
    QByteArray tmpl =
        native(folder + QStringLiteral("/.") + QFileInfo(path).fileName() + QStringLiteral(".XXXXXX"));
    // mkstemp creates owner-only (0600); the final mode is set before any byte is written.
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        return fail(QStringLiteral("cannot create a file in %1: %2").arg(folder, errnoText()));
    const auto discard = [&](const QString& why) {
        ::close(fd);
        ::unlink(tmpl.constData());
        return fail(why);
    };
    if (::fchmod(fd, mode) != 0)
        return discard(QStringLiteral("cannot set the mode of %1: %2").arg(path, errnoText()));
    if (::geteuid() == 0) {
        uid_t uid;
        gid_t gid;
        if (ownerOf(folder, uid, gid)) {
            [[maybe_unused]] const int ignored = ::fchown(fd, uid, gid);
        }
    }
    const char* p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return discard(QStringLiteral("cannot write %1: %2").arg(path, errnoText()));
        }
        p += n;
        left -= n;
    }
    if (::fsync(fd) != 0)
        return discard(QStringLiteral("cannot write %1: %2").arg(path, errnoText()));
    if (::close(fd) != 0) {
        ::unlink(tmpl.constData());
        return fail(QStringLiteral("cannot write %1: %2").arg(path, errnoText()));
    }
    if (::rename(tmpl.constData(), native(path).constData()) != 0) {
        const QString why = QStringLiteral("cannot replace %1: %2").arg(path, errnoText());
        ::unlink(tmpl.constData());
        return fail(why);
    }
    return true;
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

bool appendOrCreate(const QString& path, const QByteArray& data) {
    const QByteArray name = native(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            return false;
        return writeAtomically(path, data, 0600);
    }
    const char* p = data.constData();
    qint64 left = data.size();
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        p += n;
        left -= n;
    }
    ::close(fd);
    return ok;
}

bool readRegularFile(const QString& path, qint64 maxBytes, QByteArray& data, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    data.clear();
    const int fd = ::open(native(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            return fail(QStringLiteral("%1 is a symbolic link, not read").arg(path));
        return fail(QStringLiteral("cannot read %1: %2").arg(path, errnoText()));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const QString why = QStringLiteral("cannot read %1: %2").arg(path, errnoText());
        ::close(fd);
        return fail(why);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("%1 is not a regular file, not read").arg(path));
    }
    if (st.st_size > maxBytes) {
        ::close(fd);
        return fail(QStringLiteral("%1 is larger than %2 bytes, not read").arg(path).arg(maxBytes));
    }
    // The size may change while reading: never take more than the cap.
    QByteArray buffer(maxBytes + 1, Qt::Uninitialized);
    qint64 total = 0;
    while (total <= maxBytes) {
        const ssize_t n = ::read(fd, buffer.data() + total, size_t(maxBytes + 1 - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const QString why = QStringLiteral("cannot read %1: %2").arg(path, errnoText());
            ::close(fd);
            return fail(why);
        }
        if (n == 0)
            break;
        total += n;
    }
    ::close(fd);
    if (total > maxBytes)
        return fail(QStringLiteral("%1 is larger than %2 bytes, not read").arg(path).arg(maxBytes));
    buffer.truncate(total);
    data = buffer;
    return true;
}

bool setModificationTime(const QString& path, qint64 msSinceEpoch) {
    struct timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(msSinceEpoch / 1000);
    times[1].tv_nsec = long(msSinceEpoch % 1000) * 1000000;
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

} // namespace FileTools
