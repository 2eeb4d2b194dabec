#include "HandedPath.h"

#include "UserFileAccess.h"

#include <QDir>
#include <QFile>
#include <QUrl>

#include <algorithm>
#include <optional>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isControl(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

// A path as long as the kernel takes one.
constexpr qsizetype MaxPathBytes = 4096;

} // namespace

QString HandedPath::shown(const QString& item) {
    QString out;
    for (const QChar c : item) {
        if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (isControl(c))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

HandedPath HandedPath::check(const QString& item, const QString& person) {
    HandedPath h;
    if (item.isEmpty()) {
        h.mError = tr("No file or folder was named.");
        return h;
    }
    // The bytes of the name as the file system has them: a URI carries any byte percent-encoded, a
    // path came as text.
    QByteArray native;
    if (item.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) {
        const QUrl url(item);
        const QString host = url.host();
        if (!url.isValid() || (!host.isEmpty() && host != QLatin1String("localhost"))) {
            h.mError = tr("“%1” is not a file of this computer.").arg(shown(item));
            return h;
        }
        native = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    } else if (item.startsWith(u'/')) {
        native = QFile::encodeName(item);
    } else if (item.contains(QLatin1String("://"))) {
        h.mError = tr("“%1” is not a file of this computer: only files and folders on its own disks are "
                      "backed up.")
                       .arg(shown(item));
        return h;
    } else {
        h.mError = tr("“%1” is not a full path: it must start with “/”.").arg(shown(item));
        return h;
    }
    const QString path = QFile::decodeName(native);
    if (QFile::encodeName(path) != native) {
        QString spelled;
        for (const char byte : native)
            spelled += (byte & 0x80) ? QStringLiteral("\\x%1").arg(uchar(byte), 2, 16, QLatin1Char('0'))
                                     : QString(QLatin1Char(byte));
        h.mError = tr("The name of “%1” is not UTF-8 text: Zorvik Hollin cannot name it to the backup. "
                      "Rename it to back it up.")
                       .arg(shown(spelled));
        return h;
    }
    if (std::any_of(path.cbegin(), path.cend(), isControl)) {
        h.mError = tr("The name of “%1” holds a line break or another control character, which the "
                      "backup's lists cannot hold. Rename it to back it up.")
                       .arg(shown(path));
        return h;
    }
    if (native.size() > MaxPathBytes) {
        h.mError = tr("“%1” is longer than a path can be.").arg(shown(path.left(80) + u'…'));
        return h;
    }
    // A folder's URI may end in "/"; anything else that a plain path would not have is refused rather
    // than resolved here: "a/../b" is not "b" when "a" is a link.
    QString plain = path;
    while (plain.size() > 1 && plain.endsWith(u'/'))
        plain.chop(1);
    if (!QDir::isAbsolutePath(plain) || QDir::cleanPath(plain) != plain) {
        h.mError = tr("“%1” is not a plain path (it holds “.”, “..” or “//”).").arg(shown(path));
        return h;
    }
    // With the person's rights: nobody learns through the application what they could not see.
    std::optional<UserFileAccess> asThePerson;
    if (::geteuid() == 0 && !person.isEmpty())
        asThePerson.emplace(person);
    struct stat st {};
    if (::lstat(QFile::encodeName(plain).constData(), &st) != 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            h.mError = tr("“%1” does not exist on this computer.").arg(shown(plain));
        else if (error == EACCES || error == EPERM)
            h.mError = tr("“%1” cannot be reached with your rights: a folder above it is closed to you.")
                           .arg(shown(plain));
        else
            h.mError = tr("“%1” cannot be looked at: %2")
                           .arg(shown(plain), QString::fromLocal8Bit(std::strerror(error)));
        return h;
    }
    h.mPath = plain;
    h.mFolder = S_ISDIR(st.st_mode);
    return h;
}
