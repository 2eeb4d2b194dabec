#include "StallWatch.h"

#include "UserFileAccess.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <unistd.h>

namespace {

// The process group of a /proc/<pid>/stat line: "pid (comm) state ppid pgrp …"; the name may hold
// blanks and parentheses, so the fields are counted from the last ")".
pid_t groupOf(const QByteArray& stat) {
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    bool ok = false;
    const pid_t group = fields.size() > 2 ? pid_t(fields.at(2).toLongLong(&ok)) : -1;
    return ok ? group : -1;
}

// What a process has read: rchar of its /proc/<pid>/io.
qint64 figuresOf(const QByteArray& io) {
    qint64 sum = 0;
    bool found = false;
    for (const QByteArray& line : io.split('\n')) {
        if (line.startsWith("rchar:")) {
            sum += line.mid(6).trimmed().toLongLong();
            found = true;
        }
    }
    return found ? sum : -1;
}

QByteArray readSmall(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QByteArray();
    return file.read(4096);
}

} // namespace

StallWatch::StallWatch(std::chrono::milliseconds window) : mWindow(window) {}

std::chrono::milliseconds StallWatch::checkInterval() const {
    return std::max(std::chrono::milliseconds(10), mWindow / 4);
}

void StallWatch::start(pid_t group, const std::optional<ChildCredentials>& account,
                       const QString& accountName) {
    mGroup = group;
    mAccount = account;
    mAccountName = accountName;
    mHeld = false;
    mLastActivity = mLastSample = Clock::now();
    mLastFigures = readGroup();
}

void StallWatch::stop() {
    mGroup = 0;
    mHeld = false;
}

void StallWatch::noteActivity() {
    mLastActivity = Clock::now();
}

void StallWatch::hold(bool held) {
    if (mHeld && !held)
        mLastActivity = Clock::now();
    mHeld = held;
}

bool StallWatch::stalled() {
    if (mGroup <= 0 || mWindow.count() <= 0 || mHeld)
        return false;
    const Clock::time_point now = Clock::now();
    if (now - mLastSample >= checkInterval()) {
        mLastSample = now;
        const qint64 figures = readGroup();
        if (figures >= 0 && figures != mLastFigures)
            mLastActivity = now; // the group read something since the last look
        mLastFigures = figures;
    }
    return now - mLastActivity >= mWindow;
}

qint64 StallWatch::readGroup() const {
    if (mGroup <= 0)
        return -1;
    // /proc/<pid>/io is its owner's (and a tracer's) to read: root reads it with the owner's rights.
    if (mAccount && ::geteuid() == 0 && mAccount->uid != 0) {
        UserFileAccess::Account who{mAccountName, mAccount->uid, mAccount->gid, mAccount->groups};
        UserFileAccess access(who);
        return groupInputOutput(mGroup);
    }
    return groupInputOutput(mGroup);
}

qint64 StallWatch::groupInputOutput(pid_t group, const QString& procRoot) {
    qint64 sum = -1;
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        if (entry.isEmpty() || !entry.at(0).isDigit())
            continue;
        if (groupOf(readSmall(procRoot + u'/' + entry + QStringLiteral("/stat"))) != group)
            continue;
        const qint64 figures = figuresOf(readSmall(procRoot + u'/' + entry + QStringLiteral("/io")));
        if (figures >= 0)
            sum = std::max<qint64>(sum, 0) + figures;
    }
    return sum;
}
