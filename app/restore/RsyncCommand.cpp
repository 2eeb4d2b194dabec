#include "RsyncCommand.h"

#include <algorithm>

RsyncCommand::Command RsyncCommand::restoreRun(bool systemRsync, const QString& privateRsync,
                                               const QString& passwordFile, const QStringList& options,
                                               const QStringList& remotes, const QString& destination) {
    if (systemRsync) {
        QStringList parts{QStringLiteral("rsync")};
        parts << options;
        parts << QStringLiteral("--password-file=\"%1\"")
                     .arg(RsyncConventions::shellInDoubleQuotes(passwordFile));
        parts << remotes;
        if (!destination.isEmpty())
            parts << QStringLiteral("\"%1\"").arg(RsyncConventions::shellInDoubleQuotes(destination));
        return {QStringLiteral("/bin/bash"), {QStringLiteral("-c"), parts.join(u' ')}};
    }
    QStringList arguments = options;
    arguments << QStringLiteral("--password-file=\"%1\"").arg(passwordFile) << remotes;
    if (!destination.isEmpty())
        arguments << destination;
    return {privateRsync, arguments};
}

RsyncCommand::Command RsyncCommand::loginCheck(bool systemRsync, const QString& privateRsync,
                                               const QString& passwordFile, const QString& user,
                                               const QString& address,
                                               const RsyncConventions::Dialect& dialect,
                                               qint64 timeoutSeconds) {
    const auto launch = systemRsync ? Launch::Shell : Launch::Direct;
    const QString target =
        RsyncConventions::remotePath(RsyncConventions::RemoteForm::LoginCheck, {user, address, user}, launch);
    // An rsync that does not know an option refuses the whole run ("--contimeout=30: unknown option"):
    // only what the chosen rsync knows goes on the line.
    return RsyncConventions::command(
        systemRsync, privateRsync,
        QStringList{QStringLiteral("--list-only")} +
            RsyncConventions::stallOptions(dialect,
                                           std::chrono::seconds(std::max<qint64>(1, timeoutSeconds))),
        passwordFile, QString(), QString(), target);
}

QString RsyncCommand::globLiteral(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'*' || c == u'?' || c == u'[' || c == u'\\')
            out += u'\\';
        out += c;
    }
    return out;
}

RsyncCommand::Listing RsyncCommand::versionsListing(const QString& user, const QString& address,
                                                    const QString& path, Launch launch) {
    const bool shell = launch == Launch::Shell;
    if (shell) {
        using Form = RsyncConventions::RemoteForm;
        const QString item = globLiteral(user) + u'/' + globLiteral(path);
        const QString live = RsyncConventions::remotePath(
            Form::UserItem, {user, address, globLiteral(user), globLiteral(path)}, launch);
        const QString copies =
            RsyncConventions::remotePath(Form::SnapshotItem, {user, address, u'*' + (u'/' + item)}, launch);
        return {{QStringLiteral("--list-only"), QStringLiteral("--relative"),
                 QStringLiteral("--no-implied-dirs")},
                {live, copies.mid(copies.indexOf(QStringLiteral("::")))}};
    }
    const QStringList components = QString(user + u'/' + path).split(u'/', Qt::SkipEmptyParts);
    const auto wild = [](const QString& text) {
        return text.contains(u'*') || text.contains(u'?') || text.contains(u'[');
    };
    QStringList options{QStringLiteral("--list-only"), QStringLiteral("--recursive")};
    const auto include = [&](const QString& pattern) { options << QStringLiteral("--include=") + pattern; };
    // The live copy: its patterns hold a wildcard only when the names do, and escapes count only then.
    const bool liveWild = wild(components.join(u'/'));
    QString live;
    for (qsizetype i = 0; i < components.size(); ++i) {
        live += u'/' + (liveWild ? globLiteral(components.at(i)) : components.at(i));
        include(i + 1 < components.size() ? live + u'/' : live);
    }
    // Every snapshot's copy: "*" stands for the snapshot, so the names are always escaped.
    include(QStringLiteral("/.zfs/"));
    include(QStringLiteral("/.zfs/snapshot/"));
    QString copy = QStringLiteral("/.zfs/snapshot/*");
    include(copy + u'/');
    for (qsizetype i = 0; i < components.size(); ++i) {
        copy += u'/' + globLiteral(components.at(i));
        include(i + 1 < components.size() ? copy + u'/' : copy);
    }
    options << QStringLiteral("--exclude=*");
    return {options, QStringList{user + u'@' + address + QStringLiteral("::backup/")}};
}
