#pragma once

// Shared parts of the whole-daemon benchmarks: a machine as the installation and a log-in leave it
// (a temporary profile root with the build installed, the person's home, the account record the
// application writes), the daemon as a process of its own (bench_daemon_host) with its CPU time and
// peak memory, a listener for its "Progress" notifications, and the wait for files to arrive on the
// appliance.

#include "AccountRecord.h"
#include "Appliance.h"
#include "BenchTable.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "Protocol.h"
#include "TestRoots.h"
#include "UtilityClass.h"
#include "linux/DBusNotificationCenter.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace DaemonBench {

// User plus system CPU seconds of a process (its own threads, not its children).
inline double cpuSeconds(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double ticks = double(sysconf(_SC_CLK_TCK));
    return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) / ticks;
}

// One machine: a profile root with the build installed as `cmake --install` leaves it (the private
// rsync copy, the first-start marker), the person's home, and, once logged in, their account record
// as the application writes it after the person chose the local backup.
struct Machine {
    TempRoot root;
    FixtureUser user;
    FilePathsController paths{FilePathsController::Table::Daemon, root.profile()};
    QString home;
    QString account;
    QString password;

    bool install(const FixtureUser& person, QString* error) {
        user = person;
        paths.setM_ConsoleUserName(user.name);
        home = root.createHome(user);
        FileTools::makePath(root.path() + QStringLiteral("/etc")); // the password files go there
        const QString installed = root.installBuild();
        if (!installed.isEmpty()) {
            *error = installed;
            return false;
        }
        return true;
    }

    // The application's log-in and the person's choice of the local backup.
    bool logIn(const QString& name, const QString& secret, const QString& address) {
        account = name;
        password = secret;
        AccountRecord record = AccountRecord::forLogin(account, password, address, false, false);
        record.setFlag(Protocol::LocalBackup, true);
        record.setFlag(Protocol::TimeMachineBackup, false);
        FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
        const bool written = record.write(paths.pathForApplicationFile(DaemonPath::UserDetails));
        return written && user.handOver(home);
    }

    QString onAppliance(const Appliance& appliance, const QString& localPath) const {
        return appliance.modulePath() + u'/' + account + u'/' + UtilityClass::machineName() + localPath;
    }
    QString trace() const {
        QFile file(paths.pathForApplicationFile(DaemonPath::DaemonTrace));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
};

// The daemon of one machine as a process of its own.
class HostedDaemon {
  public:
    ~HostedDaemon() { stop(); }
    // timings: "standard" or "host".
    bool start(const Machine& machine, const QString& busAddress, const QString& timings) {
        mLog = machine.root.path() + QStringLiteral("/daemon-host.log");
        mPid = ChildProcess::spawn({QStringLiteral(ZH_BENCH_DAEMON_HOST), machine.root.path(),
                                    machine.user.name, busAddress, timings},
                                   mLog, mLog);
        // For profiling by hand: BENCH_PERF=<prefix> records the daemon with perf into
        // <prefix>-<timings>.data.
        const QByteArray perf = qgetenv("BENCH_PERF");
        if (mPid > 0 && !perf.isEmpty()) {
            mPerf = ChildProcess::spawn(
                {QStringLiteral("perf"), QStringLiteral("record"), QStringLiteral("-F"),
                 QStringLiteral("499"), QStringLiteral("--call-graph"), QStringLiteral("dwarf,16384"),
                 QStringLiteral("-p"), QString::number(mPid), QStringLiteral("-o"),
                 QString::fromLocal8Bit(perf) + u'-' + timings + QStringLiteral(".data")});
        }
        return mPid > 0;
    }
    pid_t pid() const { return mPid; }
    bool running() const { return mPid > 0 && ChildProcess::isAlive(mPid); }
    double peakMegabytes() const { return statusMegabytes(QString::number(mPid), "VmHWM:"); }
    double residentMegabytes() const { return statusMegabytes(QString::number(mPid), "VmRSS:"); }
    double cpu() const { return cpuSeconds(mPid); }
    void stop() {
        if (mPerf > 0) {
            ::kill(mPerf, SIGINT);
            ChildProcess::pollUntil([this] { return !ChildProcess::isAlive(mPerf); }, 30000);
            ChildProcess::terminate(mPerf);
            mPerf = -1;
        }
        if (mPid > 0)
            ChildProcess::terminate(mPid);
        mPid = -1;
    }
    QString log() const {
        QFile file(mLog);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

  private:
    pid_t mPid = -1;
    pid_t mPerf = -1;
    QString mLog;
};

// What the application hears: every "Progress" post, as it arrives.
class ProgressListener {
  public:
    explicit ProgressListener(const QDBusConnection& connection)
        : mCenter(connection, [](uint) { return true; }) {
        mCenter.addObserver(&mContext, Protocol::Progress, [this](const QString&, const QVariantMap& info) {
            const QVariant p = info.value(Protocol::KeyProgress);
            if (p.typeId() == QMetaType::QVariantMap) {
                if (files++ == 0)
                    firstFigures = QDateTime::currentMSecsSinceEpoch();
                lastFigures = p.toMap();
            } else {
                texts << p.toString();
            }
        });
    }
    int files = 0;
    qint64 firstFigures = 0;
    QVariantMap lastFigures;
    QStringList texts;

  private:
    QObject mContext;
    DBusNotificationCenter mCenter;
};

// The files a backup must bring to the appliance, checked cheaply while they come: one pass looks
// at the files still missing, in order, and stops at the first that is not there yet, so a pass
// costs a stat per arrived file plus one. Once all are there, a pass walks the rest in one go.
class Arrivals {
  public:
    void expect(const QString& remotePath, qint64 size) { mMissing.push_back({remotePath, size}); }
    qsizetype missing() const { return qsizetype(mMissing.size()) - mFirst; }
    bool allThere() {
        while (mFirst < qsizetype(mMissing.size())) {
            struct stat st {};
            const Item& item = mMissing[size_t(mFirst)];
            if (::stat(QFile::encodeName(item.path).constData(), &st) != 0 || st.st_size != item.size)
                return false;
            ++mFirst;
            if (mFirst == 1)
                firstArrival = QDateTime::currentMSecsSinceEpoch();
        }
        return true;
    }
    // When the first expected file was seen (in the order given).
    qint64 firstArrival = 0;

  private:
    struct Item {
        QString path;
        qint64 size;
    };
    std::vector<Item> mMissing;
    qsizetype mFirst = 0;
};

// Runs the event loop (the listener's posts) and polls every interval until the condition holds.
inline bool pollWithEvents(const std::function<bool()>& condition, int timeoutMs, int intervalMs = 200) {
    QDeadlineTimer deadline(timeoutMs);
    QElapsedTimer since;
    since.start();
    while (true) {
        if (since.elapsed() >= intervalMs || deadline.hasExpired()) {
            since.restart();
            if (condition())
                return true;
            if (deadline.hasExpired())
                return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

// A bare rsync of the same thing, as root; seconds, or -1 on failure.
inline double bareRsync(const QStringList& arguments, const QString& password, const QString& scratch) {
    const QString passwordFile = scratch + QStringLiteral("/bare.pw");
    FileTools::writeAtomically(passwordFile, password.toUtf8(), 0600);
    QProcess bare;
    bare.setStandardOutputFile(QProcess::nullDevice());
    bare.setProcessChannelMode(QProcess::SeparateChannels);
    QElapsedTimer clock;
    clock.start();
    bare.start(QStringLiteral("rsync"),
               QStringList{QStringLiteral("--password-file=") + passwordFile} + arguments);
    bare.waitForFinished(-1);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (bare.exitStatus() != QProcess::NormalExit || bare.exitCode() != 0) {
        std::printf("bare rsync failed (%d): %s\n", bare.exitCode(), bare.readAllStandardError().constData());
        return -1;
    }
    return seconds;
}

inline QByteArray fileContent(qint64 size, int seed) {
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(seed) * 2654435761u;
    for (qint64 i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char('a' + x % 26);
    }
    return data;
}

inline bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

} // namespace DaemonBench
