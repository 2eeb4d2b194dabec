#include "RsyncConventions.h"

#include "FilePathsController.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <csignal>
#include <unistd.h>

QString RsyncConventions::shellWord(const QString& text) {
    if (text.isEmpty())
        return QStringLiteral("''");
    bool plain = true;
    for (QChar c : text) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && !QStringLiteral("@%+=:,./-_").contains(c)) {
            plain = false;
            break;
        }
    }
    if (plain)
        return text;
    QString out = QStringLiteral("'");
    for (QChar c : text) {
        if (c == u'\'')
            out += QStringLiteral("'\\''");
        else
            out += c;
    }
    return out + u'\'';
}

QString RsyncConventions::shellInDoubleQuotes(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == u'"' || c == u'\\' || c == u'$' || c == u'`')
            out += u'\\';
        out += c;
    }
    return out;
}

QString RsyncConventions::remotePath(RemoteForm form, const QStringList& values, Launch launch) {
    const bool shell = launch == Launch::Shell;
    const auto v = [&](int i) { return i < values.size() ? values.at(i) : QString(); };
    // Outside the module path's quotes a value must stay one word; inside them it must not close them.
    const auto bare = [&](int i) { return shell ? shellWord(v(i)) : v(i); };
    const auto quoted = [&](int i) { return shell ? shellInDoubleQuotes(v(i)) : v(i); };
    const QString host = bare(0) + u'@' + bare(1) + QStringLiteral("::");
    switch (form) {
    case RemoteForm::LoginCheck:
        return host + QStringLiteral("backup/") + bare(2) + u'/';
    case RemoteForm::UserArea:
        return host + QStringLiteral("\"backup/") + quoted(2) + QStringLiteral("/\"");
    case RemoteForm::UserItem:
        return host + QStringLiteral("\"backup/") + quoted(2) + u'/' + quoted(3) + u'"';
    case RemoteForm::UserFolder:
        return host + QStringLiteral("\"backup/") + quoted(2) + u'/' + quoted(3) + QStringLiteral("/\"");
    case RemoteForm::UserItemPlain:
        return host + QStringLiteral("backup/") + bare(2) + u'/' + bare(3);
    case RemoteForm::SnapshotList:
        return host + QStringLiteral("backup/.zfs/snapshot/");
    case RemoteForm::SnapshotItem:
        return host + QStringLiteral("\"backup/.zfs/snapshot/") + quoted(2) + u'"';
    case RemoteForm::SnapshotFolder:
        return host + QStringLiteral("\"backup/.zfs/snapshot/") + quoted(2) + u'/' + quoted(3) +
               QStringLiteral("/\"");
    case RemoteForm::SnapshotCheck:
        return host + QStringLiteral("backup/.zfs/snapshot/") + bare(2) + u'/' + bare(3) + u'/';
    }
    return QString();
}

bool RsyncConventions::writePasswordFile(const QString& path, const QString& password, mode_t mode,
                                         QString* error) {
    return FileTools::writeAtomically(path, password.toUtf8(), mode, error);
}

RsyncConventions::Command RsyncConventions::command(bool systemRsync, const QString& privateRsync,
                                                    const QStringList& options, const QString& passwordFile,
                                                    const QString& filesFrom, const QString& source,
                                                    const QString& remote, bool quotePasswordForPrivate) {
    if (systemRsync) {
        QStringList parts{QStringLiteral("rsync")};
        parts << options;
        parts << QStringLiteral("--password-file=\"%1\"").arg(shellInDoubleQuotes(passwordFile));
        if (!filesFrom.isEmpty())
            parts << QStringLiteral("--files-from=\"%1\"").arg(shellInDoubleQuotes(filesFrom));
        if (!source.isEmpty())
            parts << shellWord(source);
        parts << remote;
        return {QStringLiteral("/bin/bash"), {QStringLiteral("-c"), parts.join(u' ')}};
    }
    QStringList args = options;
    args << (quotePasswordForPrivate ? QStringLiteral("--password-file=\"%1\"").arg(passwordFile)
                                     : QStringLiteral("--password-file=%1").arg(passwordFile));
    if (!filesFrom.isEmpty())
        args << QStringLiteral("--files-from=%1").arg(filesFrom);
    if (!source.isEmpty())
        args << source;
    args << remote;
    return {privateRsync, args};
}

bool RsyncConventions::isDefaultRsync(const QString& rsyncVersionPlist) {
    return PropertyList::readDictionary(rsyncVersionPlist).value(Protocol::DefaultRsync).toString() ==
           Protocol::FlagOn;
}

bool RsyncConventions::isBuiltinRsyncBanner(const QByteArray& banner) {
    return banner.startsWith("rsync  version 2.6.9");
}

bool RsyncConventions::detectRsync(const QString& scratchFile, const QString& rsyncVersionPlist) {
    QProcess shell;
    shell.start(QStringLiteral("/bin/bash"),
                {QStringLiteral("-c"), QStringLiteral("rsync --version >>%1").arg(shellWord(scratchFile))});
    shell.waitForFinished(30000);
    QByteArray banner;
    QFile scratch(scratchFile);
    if (scratch.open(QIODevice::ReadOnly))
        banner = scratch.readAll();
    const bool builtin = isBuiltinRsyncBanner(banner);
    PropertyList::writeDictionary(
        rsyncVersionPlist,
        {{Protocol::DefaultRsync, builtin ? QString(Protocol::FlagOn) : QString(Protocol::FlagOff)}},
        PropertyList::PublicMode);
    QFile::remove(scratchFile);
    return builtin;
}

QList<pid_t> RsyncConventions::strayRsyncProcesses(const QStringList& passwordFiles,
                                                   const QString& procRoot) {
    QList<pid_t> found;
    const pid_t self = getpid();
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const pid_t pid = pid_t(entry.toInt(&ok));
        if (!ok || pid == self)
            continue;
        QFile cmdline(procRoot + u'/' + entry + QStringLiteral("/cmdline"));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> argv = cmdline.readAll().split('\0');
        if (argv.isEmpty())
            continue;
        const QByteArray program = argv.first().mid(argv.first().lastIndexOf('/') + 1);
        if (program != "rsync" && program != "ZorvikHollin_ver_001")
            continue;
        bool ours = false;
        for (const QByteArray& arg : argv) {
            if (!arg.startsWith("--password-file="))
                continue;
            QByteArray file = arg.mid(16);
            if (file.size() >= 2 && file.startsWith('"') && file.endsWith('"'))
                file = file.mid(1, file.size() - 2);
            if (passwordFiles.contains(QFile::decodeName(file)))
                ours = true;
        }
        if (ours)
            found << pid;
    }
    return found;
}

void RsyncConventions::removeOldrsyncExes(const FilePathsController& paths, RezodeLoger& trace) {
    trace.logDaemonTrace(QStringLiteral("removeOldrsyncExes called"), true);
    const QStringList ours{paths.pathForApplicationFile(DaemonPath::BackupPasswordFile),
                           paths.pathForApplicationFile(DaemonPath::ListingPasswordFile)};
    for (pid_t pid : strayRsyncProcesses(ours))
        ::kill(pid, SIGTERM);
}
