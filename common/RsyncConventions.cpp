#include "RsyncConventions.h"

#include "FilePathsController.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "UserFileAccess.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The real uid and gid of a /proc/<pid>/status ("Uid:\t1000\t1000\t1000\t1000").
bool ownerOf(const QByteArray& status, uid_t& uid, gid_t& gid) {
    bool haveUid = false, haveGid = false;
    for (const QByteArray& line : status.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 2)
            continue;
        bool ok = false;
        if (fields.first() == "Uid:") {
            uid = uid_t(fields.at(1).toULong(&ok));
            haveUid = ok;
        } else if (fields.first() == "Gid:") {
            gid = gid_t(fields.at(1).toULong(&ok));
            haveGid = ok;
        }
    }
    return haveUid && haveGid;
}

QByteArray readProcFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    return file.readAll();
}

// Whether argv[0] of a /proc/<pid>/cmdline names rsync or the private copy.
bool isRsyncProgram(const QByteArray& cmdline) {
    const QByteArray first = cmdline.left(cmdline.indexOf('\0'));
    const QByteArray program = first.mid(first.lastIndexOf('/') + 1);
    return program == "rsync" || program == "ZorvikHollin_ver_001";
}

} // namespace

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

bool RsyncConventions::Dialect::atLeast(int wantedMajor, int wantedMinor, int wantedPatch) const {
    if (major != wantedMajor)
        return major > wantedMajor;
    if (minor != wantedMinor)
        return minor > wantedMinor;
    return patch >= wantedPatch;
}

RsyncConventions::Dialect RsyncConventions::dialectOfBanner(const QByteArray& banner) {
    // "rsync  version 2.6.9  protocol version 29", "rsync  version v3.2.7  protocol version 31"
    static const QRegularExpression form(QStringLiteral(R"(^rsync\s+version\s+v?(\d+)\.(\d+)(?:\.(\d+))?)"));
    const QRegularExpressionMatch match = form.match(QString::fromUtf8(banner.left(200)));
    if (!match.hasMatch())
        return Dialect();
    return Dialect{match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt()};
}

RsyncConventions::Dialect RsyncConventions::dialect(bool systemRsync, const QString& program,
                                                    const QString& searchPath) {
    const QString path = searchPath.isEmpty() ? qEnvironmentVariable("PATH") : searchPath;
    const QString key = (systemRsync ? QStringLiteral("rsync") : program) + u'\n' + path;
    static QMutex lock;
    static QHash<QString, Dialect> known;
    QMutexLocker locker(&lock);
    const auto found = known.constFind(key);
    if (found != known.cend())
        return *found;
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), path);
    probe.setProcessEnvironment(environment);
    probe.setStandardInputFile(QProcess::nullDevice());
    if (systemRsync)
        probe.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), QStringLiteral("rsync --version")});
    else
        probe.start(program, {QStringLiteral("--version")});
    if (!probe.waitForFinished(10000)) {
        probe.kill();
        probe.waitForFinished(1000);
        return Dialect();
    }
    const QByteArray banner = probe.readAllStandardOutput();
    if (!banner.startsWith("rsync"))
        return Dialect();
    const Dialect dialect = dialectOfBanner(banner);
    known.insert(key, dialect);
    return dialect;
}

QStringList RsyncConventions::stallOptions(const Dialect& dialect, std::chrono::milliseconds stall) {
    const long long seconds = std::max<long long>(1, (stall.count() + 999) / 1000);
    QStringList options{QStringLiteral("--timeout=%1").arg(seconds)};
    if (dialect.connectTimeout())
        options << QStringLiteral("--contimeout=%1").arg(seconds);
    return options;
}

QMap<QString, QString> RsyncConventions::daemonRunEnvironment(const QString& password,
                                                              const QString& systemSupportFolder) {
    return {{QStringLiteral("RSYNC_PASSWORD"), password},
            {QString::fromLatin1(RunMarkVariable), systemSupportFolder}};
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
        if (!passwordFile.isEmpty())
            parts << QStringLiteral("--password-file=\"%1\"").arg(shellInDoubleQuotes(passwordFile));
        if (!filesFrom.isEmpty())
            parts << QStringLiteral("--files-from=\"%1\"").arg(shellInDoubleQuotes(filesFrom));
        if (!source.isEmpty())
            parts << shellWord(source);
        parts << remote;
        return {QStringLiteral("/bin/bash"), {QStringLiteral("-c"), parts.join(u' ')}};
    }
    QStringList args = options;
    if (!passwordFile.isEmpty())
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
        const QByteArray cmdline = readProcFile(procRoot + u'/' + entry + QStringLiteral("/cmdline"));
        if (cmdline.isEmpty() || !isRsyncProgram(cmdline))
            continue;
        bool ours = false;
        for (const QByteArray& arg : cmdline.split('\0')) {
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

QList<pid_t> RsyncConventions::markedRsyncProcesses(const QString& mark, const QString& procRoot) {
    QList<pid_t> found;
    if (mark.isEmpty())
        return found;
    const QByteArray wanted = QByteArray(RunMarkVariable) + '=' + QFile::encodeName(mark);
    const pid_t self = getpid();
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const pid_t pid = pid_t(entry.toInt(&ok));
        if (!ok || pid == self)
            continue;
        const QString folder = procRoot + u'/' + entry;
        if (!isRsyncProgram(readProcFile(folder + QStringLiteral("/cmdline"))))
            continue;
        // A process's environment is its owner's to read (root needs no capability for it then): the
        // daemon's runs belong to the person at the screen.
        uid_t uid = 0;
        gid_t gid = 0;
        if (!ownerOf(readProcFile(folder + QStringLiteral("/status")), uid, gid))
            continue;
        QByteArray environment;
        if (::geteuid() == 0 && uid != 0) {
            UserFileAccess access(UserFileAccess::Account{QString(), uid, gid, {}});
            environment = readProcFile(folder + QStringLiteral("/environ"));
        } else {
            environment = readProcFile(folder + QStringLiteral("/environ"));
        }
        if (environment.split('\0').contains(wanted))
            found << pid;
    }
    return found;
}

void RsyncConventions::removeOldrsyncExes(const FilePathsController& paths, RezodeLoger& trace) {
    trace.logDaemonTrace(QStringLiteral("removeOldrsyncExes called"), true);
    for (pid_t pid : markedRsyncProcesses(paths.pathForApplicationFile(DaemonPath::SystemSupportFolder)))
        ::kill(pid, SIGTERM);
}

void RsyncConventions::removeLegacyPasswordFiles(const PlatformProfile& profile, RezodeLoger& trace) {
    for (const QString& file : {profile.backupPasswordFile, profile.listingPasswordFile}) {
        // Only what is there: on a read-only /etc (the unit's sandbox) even a name that is not there
        // cannot be unlinked (EROFS), and that is nothing to say.
        struct stat there {};
        if (file.isEmpty() || ::lstat(QFile::encodeName(file).constData(), &there) != 0)
            continue;
        if (::unlink(QFile::encodeName(file).constData()) == 0)
            trace.logDaemonTrace(
                QStringLiteral("Removed %1, a password file of an earlier version (the password is no "
                               "longer kept in a file)")
                    .arg(file),
                true);
        else if (const int error = errno; error != ENOENT)
            trace.logDaemonTrace(QStringLiteral("Could not remove %1, a password file of an earlier "
                                                "version: %2")
                                     .arg(file, QString::fromLocal8Bit(std::strerror(error))),
                                 true);
    }
}
