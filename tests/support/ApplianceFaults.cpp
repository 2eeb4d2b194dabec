#include "ApplianceFaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

QString fillerPath(const Appliance& appliance) {
    return appliance.modulePath() + QStringLiteral("/zh-filler.bin");
}

} // namespace

namespace ApplianceFaults {

QList<pid_t> processes(const Appliance& appliance) {
    // Every process of the daemon carries its configuration file on its command line (the
    // connections are forks of the daemon).
    const QByteArray config = "--config=" + QFile::encodeName(QFileInfo(appliance.logPath()).path() +
                                                              QStringLiteral("/rsyncd.conf"));
    QList<pid_t> all;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number)
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().split('\0').contains(config))
            all << pid;
    }
    // The listener first (by its own process id: a connection's process whose parent has just gone is
    // no listener, though its parent is none of these), then the connections.
    QList<pid_t> ordered;
    for (const pid_t pid : std::as_const(all))
        if (pid == appliance.daemonPid())
            ordered.prepend(pid);
        else
            ordered.append(pid);
    return ordered;
}

QList<pid_t> freeze(const Appliance& appliance, const QList<pid_t>& spared) {
    QList<pid_t> all = processes(appliance);
    all.erase(std::remove_if(all.begin() + std::min<qsizetype>(1, all.size()), all.end(),
                             [&spared](pid_t pid) { return spared.contains(pid); }),
              all.end());
    for (const pid_t pid : all)
        ::kill(pid, SIGSTOP);
    return all.mid(1);
}

void thaw(const Appliance& appliance) {
    const QList<pid_t> all = processes(appliance);
    if (!all.isEmpty())
        ::kill(all.first(), SIGCONT);
}

void dropStalled(const QList<pid_t>& connections) {
    for (const pid_t pid : connections)
        ::kill(pid, SIGKILL);
}

bool fill(const Appliance& appliance, qint64 leaveFree) {
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(appliance.modulePath()).constData(), &fs) != 0)
        return false;
    const qint64 free = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    const qint64 size = free - leaveFree;
    if (size <= 0)
        return true;
    const int fd =
        ::open(QFile::encodeName(fillerPath(appliance)).constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return false;
    // Written, not allocated sparsely: a tmpfs counts only the pages that hold data.
    const QByteArray block(1 << 20, 'f');
    qint64 written = 0;
    while (written < size) {
        const qint64 part = std::min<qint64>(block.size(), size - written);
        const ssize_t n = ::write(fd, block.constData(), size_t(part));
        if (n <= 0)
            break;
        written += n;
    }
    ::close(fd);
    return true;
}

void makeSpace(const Appliance& appliance) {
    QFile::remove(fillerPath(appliance));
}

} // namespace ApplianceFaults
