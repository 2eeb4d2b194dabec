#include "LinuxHostFacts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

LinuxHostFacts::LinuxHostFacts(QString machineInfoPath, QString mountInfoPath, QString sysBlockPath)
    : mMachineInfoPath(std::move(machineInfoPath)), mMountInfoPath(std::move(mountInfoPath)),
      mSysBlockPath(std::move(sysBlockPath)) {}

namespace {

// Values in /etc/machine-info follow shell quoting rules: optional single or double quotes, and
// backslash escapes inside double quotes or bare words.
QString unquoteShellValue(const QString& raw) {
    QString value = raw.trimmed();
    QString out;
    QChar quote;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (quote.isNull() && (c == u'"' || c == u'\'')) {
            quote = c;
        } else if (!quote.isNull() && c == quote) {
            quote = QChar();
        } else if (c == u'\\' && quote != u'\'' && i + 1 < value.size()) {
            out += value.at(++i);
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

QString LinuxHostFacts::computerName() const {
    QFile file(mMachineInfoPath);
    if (file.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray& line : lines) {
            if (line.startsWith("PRETTY_HOSTNAME=")) {
                const QString pretty = unquoteShellValue(QString::fromUtf8(line.mid(16)));
                if (!pretty.isEmpty())
                    return pretty;
            }
        }
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return QString();
    return QString::fromUtf8(host);
}

QString LinuxHostFacts::unescapeMountField(const QString& field) {
    // mountinfo writes blanks, tabs, newlines and backslashes as three-digit octal escapes.
    QByteArray in = field.toUtf8();
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 3 < in.size()) {
            bool ok = false;
            const int code = in.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out += char(code);
                i += 3;
                continue;
            }
        }
        out += in[i];
    }
    return QString::fromUtf8(out);
}

QList<LinuxHostFacts::Mount> LinuxHostFacts::mounts() const {
    QList<Mount> result;
    QFile file(mMountInfoPath);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        // id parent major:minor root mountpoint options [optional…] - type source superoptions
        const QList<QByteArray> fields = line.split(' ');
        const int dash = fields.indexOf("-");
        if (dash < 6 || dash + 2 >= fields.size())
            continue;
        Mount m;
        m.root = unescapeMountField(QString::fromUtf8(fields[3]));
        m.mountPoint = unescapeMountField(QString::fromUtf8(fields[4]));
        m.device = QString::fromUtf8(fields[2]);
        m.readOnly = fields[5].split(',').contains("ro");
        m.type = QString::fromUtf8(fields[dash + 1]);
        m.source = unescapeMountField(QString::fromUtf8(fields[dash + 2]));
        result << m;
    }
    return result;
}

bool LinuxHostFacts::isRemovableDevice(const QString& source) const {
    if (!source.startsWith(QLatin1String("/dev/")))
        return false;
    // Follow /dev/disk/by-… and /dev/mapper links to the kernel name.
    QString name = QFileInfo(source).canonicalFilePath();
    if (name.isEmpty())
        name = source;
    name = QFileInfo(name).fileName();
    // A partition's removable flag sits on its disk: /sys/class/block/sda1 → …/block/sda/sda1.
    QString disk = name;
    const QString classLink =
        QFileInfo(mSysBlockPath + QStringLiteral("/../class/block/") + name).canonicalFilePath();
    if (!classLink.isEmpty() && QFile::exists(classLink + QStringLiteral("/partition")))
        disk = QFileInfo(QFileInfo(classLink).path()).fileName();
    QFile flag(mSysBlockPath + u'/' + disk + QStringLiteral("/removable"));
    if (!flag.open(QIODevice::ReadOnly))
        return false;
    return flag.readAll().trimmed() == "1";
}

QStringList LinuxHostFacts::diskVolumeNames() const {
    QStringList names;
    const QList<Mount> all = mounts();
    // A bind mount shows again a part of a file system mounted elsewhere (a service's sandbox binds
    // /usr or /var over themselves): not a volume of its own.
    const auto shownElsewhere = [&all](qsizetype index) {
        const Mount& m = all.at(index);
        for (qsizetype other = 0; other < all.size(); ++other) {
            const Mount& n = all.at(other);
            if (other == index || n.source != m.source)
                continue;
            const bool within = n.root == QLatin1String("/")
                                    ? m.root.startsWith(u'/')
                                    : m.root == n.root || m.root.startsWith(n.root + u'/');
            if (within && (n.root != m.root || other < index))
                return true;
        }
        return false;
    };
    for (qsizetype index = 0; index < all.size(); ++index) {
        const Mount& m = all.at(index);
        if (!m.source.startsWith(QLatin1String("/dev/")) || shownElsewhere(index))
            continue;
        if (m.mountPoint == QLatin1String("/") || m.mountPoint.startsWith(QLatin1String("/boot")))
            continue;
        if (isRemovableDevice(m.source))
            continue;
        const QString entry = m.mountPoint + u' ';
        if (!names.contains(entry))
            names << entry;
    }
    return names;
}

bool LinuxHostFacts::fileSystemInfo(const QString& path, VolumeInfo& info) const {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return false;
    const Mount* best = nullptr;
    const QList<Mount> all = mounts();
    for (const Mount& m : all) {
        const bool covers = canonical == m.mountPoint || m.mountPoint == QLatin1String("/") ||
                            canonical.startsWith(m.mountPoint + u'/');
        // The last matching entry wins: it is mounted over the earlier ones.
        if (covers && (!best || m.mountPoint.size() >= best->mountPoint.size()))
            best = &m;
    }
    if (!best)
        return false;
    const bool block = best->source.startsWith(QLatin1String("/dev/"));
    info.removable = block && isRemovableDevice(best->source);
    info.writable = !best->readOnly;
    // Only the root file system cannot be unmounted while the system runs; everything else on a
    // non-block source (network, tmpfs, fuse) is treated as something that comes and goes.
    info.unmountable = best->mountPoint != QLatin1String("/") && !block;
    info.description = best->source;
    info.type = best->type;
    return true;
}

QStringList LinuxHostFacts::namesOf(const QString& path) const {
    QStringList names = HostFacts::namesOf(path);
    const QString canonical = names.size() > 1 ? names.last() : QFileInfo(path).canonicalFilePath();
    struct stat folder {};
    if (canonical.isEmpty() || ::stat(QFile::encodeName(canonical).constData(), &folder) != 0)
        return names;
    const auto below = [](const QString& p, const QString& base) {
        return base == QLatin1String("/") ? p.startsWith(u'/') : p == base || p.startsWith(base + u'/');
    };
    const auto join = [](const QString& base, const QString& rest) {
        if (rest.isEmpty() || rest == QLatin1String("/"))
            return base;
        return base == QLatin1String("/") ? rest : base + rest;
    };
    // The mount that shows the folder (the last one over it wins), and where in its file system the
    // folder lies.
    const QList<Mount> all = mounts();
    const Mount* shown = nullptr;
    for (const Mount& m : all)
        if (below(canonical, m.mountPoint) && (!shown || m.mountPoint.size() >= shown->mountPoint.size()))
            shown = &m;
    if (!shown)
        return names;
    const QString rest =
        shown->mountPoint == QLatin1String("/") ? canonical : canonical.mid(shown->mountPoint.size());
    const QString inFileSystem = join(shown->root, rest);
    for (const Mount& m : all) {
        if (&m == shown || m.device != shown->device || !below(inFileSystem, m.root))
            continue;
        const QString alias =
            join(m.mountPoint, m.root == QLatin1String("/") ? inFileSystem : inFileSystem.mid(m.root.size()));
        // Only where the same folder really is (another mount may lie over the name).
        struct stat there {};
        if (!names.contains(alias) && ::stat(QFile::encodeName(alias).constData(), &there) == 0 &&
            there.st_dev == folder.st_dev && there.st_ino == folder.st_ino)
            names << alias;
    }
    return names;
}
