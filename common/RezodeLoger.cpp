#include "RezodeLoger.h"

#include "DateFormat.h"
#include "FileTools.h"
#include "UserFileAccess.h"

#include <QFile>

#include <QFileInfo>
#include <QMutexLocker>

#include <sys/stat.h>
#include <unistd.h>

void writeToFile(const QString& path, const QString& text) {
    if (path.isEmpty() || text.isEmpty())
        return;
    FileTools::appendOrCreate(path, text.toUtf8());
}

RezodeLoger::RezodeLoger(Clock clock) : mClock(std::move(clock)) {}

RezodeLoger::~RezodeLoger() = default;

RezodeLoger& RezodeLoger::progressLogger() {
    static RezodeLoger* shared = new RezodeLoger(); // lives until the process ends
    return *shared;
}

QDateTime RezodeLoger::now() const {
    // The stamps are formatted in the local time zone from the moment alone; reading the moment as
    // UTC spares a look at the zone files for every line.
    return mClock ? mClock() : QDateTime::currentDateTimeUtc();
}

QString RezodeLoger::traceTimestamp(const QDateTime& when) {
    return DateFormat::format("EE MMM dd yyyy hh:mm:ss a", when);
}

QString RezodeLoger::sessionLogFileName(const QString& folder, const QDateTime& when) {
    if (folder.isEmpty())
        return QString(); // no session-log folder (nobody at the screen): no session log at all
    return QStringLiteral("%1/Backup %2.txt").arg(folder, DateFormat::format("dd.MM.YY_hh.mm.ss", when));
}

QString RezodeLoger::traceLine(const QString& message, const QDateTime& when) {
    // A message that spans lines (rsync's complaints, a name with a line break in it) goes on indented
    // lines, so that no text in it can pass for a line of its own with a time stamp.
    QString text = message;
    text.replace(u'\r', QStringLiteral("\\r"));
    text.replace(u'\n', QStringLiteral("\n    "));
    return traceTimestamp(when) + QStringLiteral(" : ") + text + QStringLiteral(" \n");
}

void RezodeLoger::setLogWritePath(const QString& path) {
    QMutexLocker logger(&mLoggerLock);
    if (!path.isEmpty()) {
        const QString folder = QFileInfo(path).absolutePath();
        if (!QFileInfo(folder).isDir())
            FileTools::makePath(folder);
        // New traces are their owner's alone; the daemon's (root's own, in its own folder) is made so
        // too when an earlier version left it readable by everybody.
        if (::geteuid() == 0)
            for (const QString& file : {path, path + QStringLiteral(".1")}) {
                struct stat st {};
                const QByteArray name = QFile::encodeName(file);
                if (::lstat(name.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
                    (st.st_mode & 0077) != 0)
                    ::chmod(name.constData(), 0600);
            }
    }
    mLogWritePath = path;
}

void RezodeLoger::setSessionLogWritePath(const QString& folder, const QString& owner) {
    QMutexLocker logger(&mLoggerLock);
    mSessionLogOwner = owner;
    // Session logs are lost while their folder is missing, so it is made here (the user's, inside
    // a home).
    if (!folder.isEmpty()) {
        std::optional<UserFileAccess> access;
        if (!owner.isEmpty())
            access.emplace(owner);
        FileTools::makePath(folder, 0700);
    }
    mSessionLogWritePath = folder;
    mSessionLogCurrentWriteFile = sessionLogFileName(folder, now());
}

QString RezodeLoger::sessionLogWritePath() const {
    QMutexLocker logger(&mLoggerLock);
    return mSessionLogWritePath;
}

QString RezodeLoger::sessionLogCurrentWriteFile() const {
    QMutexLocker logger(&mLoggerLock);
    return mSessionLogCurrentWriteFile;
}

void RezodeLoger::setTraceMirror(Mirror mirror) {
    QMutexLocker logger(&mLoggerLock);
    mMirror = std::move(mirror);
}

void RezodeLoger::logDaemonTrace(const QString& message, bool flush) {
    QMutexLocker logger(&mLoggerLock);
    if (!message.isEmpty()) {
        QMutexLocker lock(&mLock);
        mDaemonTraceMsgs += traceLine(message, now());
        if (mMirror)
            mMirror(message);
    }
    if (message.isNull())
        return;
    QMutexLocker lock(&mLock);
    if (mDaemonTraceMsgs.size() > MainTraceThreshold || flush) {
        if (!mLogWritePath.isEmpty() && QFileInfo(mLogWritePath).size() >= MainTraceRotateSize) {
            const QString old = mLogWritePath + QStringLiteral(".1");
            QFile::remove(old);
            QFile::rename(mLogWritePath, old);
        }
        writeToFile(mLogWritePath, mDaemonTraceMsgs);
        mDaemonTraceMsgs.clear();
    }
}

void RezodeLoger::logSessionTrace(const QString& message, bool flush) {
    QMutexLocker logger(&mLoggerLock);
    if (!message.isEmpty())
        mSessionTraceMsgs += traceLine(message, now());
    if (message.isNull() || (mSessionTraceMsgs.size() < SessionTraceThreshold && !flush))
        return;
    {
        std::optional<UserFileAccess> access;
        if (!mSessionLogOwner.isEmpty())
            access.emplace(mSessionLogOwner);
        // A missing file has size 0.
        if (QFileInfo(mSessionLogCurrentWriteFile).size() >= SessionLogRolloverSize)
            mSessionLogCurrentWriteFile = sessionLogFileName(mSessionLogWritePath, now());
    }
    writeSessionFile(mSessionTraceMsgs);
    mSessionTraceMsgs.clear();
}

void RezodeLoger::writeSessionFile(const QString& text) {
    std::optional<UserFileAccess> access;
    if (!mSessionLogOwner.isEmpty())
        access.emplace(mSessionLogOwner);
    writeToFile(mSessionLogCurrentWriteFile, text);
}

void RezodeLoger::logSessionTraceWithoutTimeStamp(const QString& message, bool flush) {
    QMutexLocker logger(&mLoggerLock);
    if (!message.isEmpty()) {
        QMutexLocker lock(&mPLock);
        mSessionTraceMsgs += traceLine(message, now());
    }
    if (message.isNull())
        return;
    QMutexLocker lock(&mPLock);
    if (mSessionTraceMsgs.size() > SessionTraceThreshold - 1 || flush) {
        writeSessionFile(mSessionTraceMsgs);
        mSessionTraceMsgs.clear();
    }
}
