#include "ChildCredentials.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <grp.h>
#include <unistd.h>

std::optional<ChildCredentials> ChildCredentials::forAccount(const QString& name, uid_t uid, gid_t gid,
                                                             const QString& home) {
    if (::geteuid() != 0 || name.isEmpty())
        return std::nullopt;
    const QByteArray native = name.toLocal8Bit();
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(native.constData(), gid, groups.data(), &count) < 0) {
        if (count <= int(groups.size()))
            count = int(groups.size()) * 2;
        groups.resize(size_t(count));
    }
    groups.resize(size_t(count));
    return ChildCredentials{uid, gid, std::move(groups), home};
}

QString ChildCredentials::searchPath() {
    return QStringLiteral("/usr/local/bin:/usr/bin:/bin");
}

void ChildCredentials::applyTo(QProcess& process, const QString& accountName, bool ownProcessGroup) const {
    if (::geteuid() != 0) {
        if (ownProcessGroup)
            process.setChildProcessModifier([] { ::setpgid(0, 0); });
        return;
    }
    // The daemon's environment is root's: the child gets only what a program needs to run.
    const QProcessEnvironment daemon = QProcessEnvironment::systemEnvironment();
    QProcessEnvironment clean;
    clean.insert(QStringLiteral("PATH"), searchPath());
    clean.insert(QStringLiteral("HOME"), home.isEmpty() ? QStringLiteral("/") : home);
    clean.insert(QStringLiteral("USER"), accountName);
    clean.insert(QStringLiteral("LOGNAME"), accountName);
    for (const char* name : {"LANG", "LC_ALL", "LC_CTYPE", "LC_NUMERIC"})
        if (daemon.contains(QString::fromLatin1(name)))
            clean.insert(QString::fromLatin1(name), daemon.value(QString::fromLatin1(name)));
    process.setProcessEnvironment(clean);
    process.setWorkingDirectory(QStringLiteral("/"));
    // Groups first: once the uid is not 0 the child may change nothing else. Only async-signal-safe
    // calls here; the group list was made before the fork.
    const ChildCredentials who = *this;
    process.setChildProcessModifier([who, ownProcessGroup] {
        if (ownProcessGroup)
            ::setpgid(0, 0);
        if (::setgroups(who.groups.size(), who.groups.data()) != 0 || ::setgid(who.gid) != 0 ||
            ::setuid(who.uid) != 0) {
            static const char message[] = "cannot take on the user's credentials\n";
            (void)!::write(2, message, sizeof message - 1);
            ::_exit(127);
        }
    });
}
