#include "World.h"

#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "Requirements.h"
#include "UtilityClass.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The unit's pause between an exit and the next start, as the package installs it.
int unitRestartPauseMs() {
    QFile unit(QStringLiteral(ZH_UNIT_FILE));
    if (unit.open(QIODevice::ReadOnly)) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^RestartSec=(\\d+)\\s*$"), QRegularExpression::MultilineOption)
                .match(QString::fromUtf8(unit.readAll()));
        if (m.hasMatch())
            return m.captured(1).toInt() * 1000;
    }
    return 5000;
}

constexpr uid_t kOtherPerson = 65534; // "nobody": another account's files

} // namespace

World::World(const Environment& environment, quint64 seed)
    : mEnvironment(environment), mSeed(seed), mPaths(FilePathsController::Table::Daemon, mRoot.profile()) {
    mClock.start();
    // Passwords with what passwords hold: blanks, quotes, and something of this run.
    mAppliancePassword = QStringLiteral("s1m \"pass\" %1").arg(seed, 0, 36);
    mRecordPassword = mAppliancePassword;
    mPasswords << mAppliancePassword;
}

World::~World() {
    if (mDaemon > 0)
        ChildProcess::terminate(mDaemon);
    mAppSide.reset();
    if (!mAppConnection.isEmpty())
        QDBusConnection::disconnectFromBus(mAppConnection);
    mAppliance.reset();
    // What the person left open below the mount (nothing should be) must not keep the disk.
    if (mDisk)
        mDisk->unmount();
    qunsetenv("ZH_TMUTIL_STATE");
}

QString World::skipReason(const Environment& environment) {
    return needs::all(needs::root("the daemon, the appliance on port 873 and the loop devices"),
                      Appliance::skipReason(true), LoopFileSystem::skipReason(environment.fileSystem),
                      needs::tool("setpriv", "util-linux"), needs::tool("dbus-daemon", "dbus-daemon"));
}

bool World::setUp(QString* error) {
    const auto fail = [error](const QString& why) {
        *error = why;
        return false;
    };
    if (!mRoot.isValid())
        return fail(QStringLiteral("no temporary root"));
    mRestartPauseMs = unitRestartPauseMs();
    const QString r = mRoot.path();
    const QString users = r + QStringLiteral("/home");
    const QString name = QFileInfo(mUser.passwdHome).fileName();
    mDisk = std::make_unique<LoopFileSystem>();
    QString why;
    switch (mEnvironment.layout) {
    case Environment::Layout::Users:
        if (!mDisk->create(mEnvironment.fileSystem, users, qint64(1) << 30, &why))
            return fail(why);
        mHome = users + u'/' + name;
        mResolvedHome = mHome;
        mOtherHome = users + QStringLiteral("/zhsimother");
        break;
    case Environment::Layout::Link:
        if (!mDisk->create(mEnvironment.fileSystem, r + QStringLiteral("/var/home"), qint64(1) << 30, &why))
            return fail(why);
        if (!QFile::link(r + QStringLiteral("/var/home"), users))
            return fail(QStringLiteral("cannot link %1").arg(users));
        mHome = users + u'/' + name;
        mResolvedHome = r + QStringLiteral("/var/home/") + name;
        mOtherHome = users + QStringLiteral("/zhsimother");
        break;
    case Environment::Layout::Mount:
        QDir().mkpath(users);
        if (!mDisk->create(mEnvironment.fileSystem, users + u'/' + name, qint64(1) << 30, &why))
            return fail(why);
        mHome = users + u'/' + name;
        mResolvedHome = mHome;
        mOtherHome = users + QStringLiteral("/zhsimother");
        break;
    }
    if (mRoot.profile().homeOf(mUser.name) != mHome)
        return fail(QStringLiteral("the profile places the home at %1, not %2")
                        .arg(mRoot.profile().homeOf(mUser.name), mHome));
    ::chmod(QFile::encodeName(users).constData(), 0755);
    QDir().mkpath(mResolvedHome);
    ::chmod(QFile::encodeName(mResolvedHome).constData(), 0750);
    (void)::chown(QFile::encodeName(mResolvedHome).constData(), mUser.uid, mUser.gid);
    // Another person's home, readable by everybody as many are.
    QDir().mkpath(mOtherHome + QStringLiteral("/Documents"));
    QFile other(mOtherHome + QStringLiteral("/Documents/their letter.txt"));
    other.open(QIODevice::WriteOnly);
    other.write("another person's letter " + QByteArray::number(mSeed));
    other.close();
    ChildProcess::run({QStringLiteral("chown"), QStringLiteral("-R"),
                       QString::number(kOtherPerson) + u':' + QString::number(kOtherPerson), mOtherHome});
    ::chmod(QFile::encodeName(mOtherHome).constData(), 0755);
    // The person's own folder outside every home (downloads land there, files move in from it).
    mOutside = r + QStringLiteral("/srv/zhsim-outside");
    QDir().mkpath(mOutside);
    (void)::chown(QFile::encodeName(mOutside).constData(), mUser.uid, mUser.gid);

    Appliance::Options options;
    options.tmpfs = true;
    options.tmpfsBytes = qint64(1) << 30;
    options.maxConnections = 3;
    mAppliance = std::make_unique<Appliance>(options);
    mAppliance->addUser(mAccount, mAppliancePassword);
    if (!mAppliance->start(&why))
        return fail(QStringLiteral("the appliance: ") + why);
    if (!mBus.start(&why))
        return fail(QStringLiteral("the bus: ") + why);
    qputenv("ZH_TMUTIL_STATE", mScratch.filePath(QStringLiteral("tmutil-state.plist")).toUtf8());
    QDir().mkpath(r + QStringLiteral("/etc"));
    mPaths.setM_ConsoleUserName(mUser.name);
    // What an installation leaves: the programs and the marker asking the first start for the
    // initial backup.
    if (const QString installed = mRoot.installBuild(); !installed.isEmpty())
        return fail(installed);
    QDBusConnection connection = mBus.connect(QStringLiteral("app"));
    if (!connection.isConnected())
        return fail(QStringLiteral("cannot connect to the private bus"));
    mAppConnection = connection.name();
    mAppSide = std::make_unique<DBusNotificationCenter>(connection, [](uint) { return true; });
    setConsole(true);
    return true;
}

QByteArray World::applianceMirror() const {
    return QFile::encodeName(mAppliance->modulePath() + u'/' + mAccount + u'/' + UtilityClass::machineName());
}

QByteArray World::onAppliance(const QByteArray& localPath) const {
    return applianceMirror() + localPath;
}

QByteArray World::onApplianceResolved(const QByteArray& localPath) const {
    const QByteArray home = QFile::encodeName(mHome);
    if (mHome == mResolvedHome || !localPath.startsWith(home))
        return onAppliance(localPath);
    return applianceMirror() + QFile::encodeName(mResolvedHome) + localPath.mid(home.size());
}

void World::handOver(const QString& path) const {
    // The folders from the home down to path, then path itself (and what is inside when a folder).
    QString folder = QFileInfo(path).path();
    while (folder.startsWith(mHome + u'/') || folder.startsWith(mOutside + u'/')) {
        (void)::lchown(QFile::encodeName(folder).constData(), mUser.uid, mUser.gid);
        folder = QFileInfo(folder).path();
    }
    mUser.handOver(path);
}

void World::setAppliancePassword(const QString& password) {
    mAppliancePassword = password;
    if (!mPasswords.contains(password))
        mPasswords << password;
    mAppliance->setPassword(mAccount, password);
}

void World::writeDetails(const QVariantMap& changes) {
    QVariantMap details{{Protocol::UserName, mAccount},
                        {Protocol::Password, mRecordPassword},
                        {Protocol::Ip, mAppliance->address()},
                        {Protocol::Login, QStringLiteral("1")},
                        {Protocol::PauseStateKey, mPaused ? QStringLiteral("1") : QStringLiteral("0")},
                        {Protocol::LocalBackup, QStringLiteral("1")},
                        {Protocol::TimeMachineBackup, QStringLiteral("0")}};
    details.insert(changes);
    const QString file = mPaths.pathForApplicationFile(DaemonPath::UserDetails);
    FileTools::makePath(QFileInfo(file).path(), 0700);
    PropertyList::writeDictionary(file, details, PropertyList::OwnerOnlyMode);
    handOver(file);
}

void World::logInAgain(const QString& password) {
    mRecordPassword = password;
    if (!mPasswords.contains(password))
        mPasswords << password;
    writeDetails();
}

void World::removeDetails() {
    // As "Quit" does: who was logged in is remembered, the record goes.
    const QString support = mPaths.pathForApplicationFile(DaemonPath::UserSupportFolder);
    const QString lastUser = support + u'/' + Protocol::LastUserFile;
    PropertyList::writeDictionary(lastUser, {{Protocol::LastUser, mAccount}}, PropertyList::OwnerOnlyMode);
    handOver(lastUser);
    QFile::remove(mPaths.pathForApplicationFile(DaemonPath::UserDetails));
}

void World::post(const QString& name, const QVariantMap& info) {
    mAppSide->postNotification(name, info);
}

void World::setPaused(bool paused) {
    mPaused = paused;
    mPausedChangedMs = QDateTime::currentMSecsSinceEpoch();
    writeDetails();
    post(Protocol::PauseState);
}

QString World::personsExcludeList() const {
    return mPaths.pathForApplicationFile(DaemonPath::InitialExcludeList);
}

QString World::personsPatterns() const {
    return mPaths.pathForApplicationFile(DaemonPath::ExcludePattern);
}

void World::setConsole(bool personAtTheScreen) {
    mConsole = personAtTheScreen;
    QFile file(consoleFile());
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    if (personAtTheScreen)
        file.write(mUser.name.toUtf8());
}

void World::startDaemon() {
    if (mDaemon > 0)
        return;
    const QString log = mScratch.filePath(QStringLiteral("host.log"));
    QStringList command{QStringLiteral(ZH_DAEMON_HOST), mRoot.path(), u'@' + consoleFile(), mBus.address(),
                        QStringLiteral("refused-retry=%1").arg(refusedRetryMs())};
    if (mEnvironment.watch == Environment::Watch::Inotify)
        command << QStringLiteral("inotify");
    mLifeMs = mNextLifeMs;
    mNextLifeMs = 0;
    if (mLifeMs > 0)
        command << QStringLiteral("restart-after=%1").arg(mLifeMs);
    mDaemon = ChildProcess::spawn(command, log, log);
    mLifeClock.start();
    mRestartAtMs = -1;
    ++mStarts;
}

void World::allowExit(int status) {
    mAllowed << status;
}

void World::supervise() {
    int status = 0;
    if (mDaemon > 0 && ::waitpid(mDaemon, &status, WNOHANG) == mDaemon) {
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        const qint64 lived = mLifeClock.elapsed();
        mDaemon = -1;
        // Asked for: by the schedule, by nobody at the screen (the daemon leaves), or by its own daily
        // restart once that life's time has come.
        if (mAllowed.contains(code))
            mAllowed.removeOne(code);
        else if (!(code == 1 && (!mConsole || (mLifeMs > 0 && lived >= mLifeMs))))
            mUnexpected << QStringLiteral("the daemon ended with status %1 after %2 ms, nothing asked for it")
                               .arg(code)
                               .arg(lived);
        mRestartAtMs = mClock.elapsed() + mRestartPauseMs;
    }
    if (mDaemon <= 0 && mRestartAtMs >= 0 && mClock.elapsed() >= mRestartAtMs)
        startDaemon();
}

void World::stopDaemon(int signal) {
    if (mDaemon <= 0)
        return;
    allowExit(signal == SIGTERM ? 0 : 128 + signal);
    if (signal == SIGKILL) {
        // As systemd ends a unit: with everything it started, in whatever process group.
        const QStringList family = descendantsOfDaemon();
        ::kill(-mDaemon, SIGKILL);
        ::kill(mDaemon, SIGKILL);
        for (const QString& line : family)
            ::kill(pid_t(line.section(u' ', 0, 0).toInt()), SIGKILL);
    } else {
        ::kill(mDaemon, signal);
    }
    waitUntil(
        [this] {
            const pid_t before = mDaemon;
            supervise();
            return mDaemon != before;
        },
        60000);
}

bool World::waitUntilRunning(int timeoutMs) {
    return waitUntil(
        [this] {
            supervise();
            return mDaemon > 0;
        },
        timeoutMs);
}

void World::run(int ms) {
    waitUntil(
        [this] {
            supervise();
            return false;
        },
        ms);
}

QString World::daemonTrace() const {
    const QString trace = mPaths.pathForApplicationFile(DaemonPath::DaemonTrace);
    return readTrace(trace + QStringLiteral(".1")) + readTrace(trace);
}

QString World::sessionLogs() const {
    QString all;
    const QDir folder(mPaths.pathForApplicationFile(DaemonPath::SessionLogsFolder));
    for (const QString& name : folder.entryList(QDir::Files, QDir::Name))
        all += readTrace(folder.filePath(name));
    return all;
}

QString World::hostLog() const {
    return readTrace(mScratch.filePath(QStringLiteral("host.log")));
}

QVariantMap World::pendingState() const {
    return PropertyList::readDictionary(mPaths.pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' +
                                        Protocol::PendingStateFile);
}

QSet<QByteArray> World::heldChanges() const {
    QSet<QByteArray> held;
    QFile file(QFileInfo(mPaths.pathForApplicationFile(DaemonPath::BackupListsFolder)).path() +
               QStringLiteral("/HeldChanges"));
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty())
                held.insert(line);
    return held;
}

QStringList World::descendantsOfDaemon() const {
    QStringList out;
    if (mDaemon <= 0)
        return out;
    // Children name their parent in /proc/<pid>/stat; walk down from the daemon.
    QList<pid_t> family{mDaemon};
    const long ticks = ::sysconf(_SC_CLK_TCK);
    QFile uptimeFile(QStringLiteral("/proc/uptime"));
    uptimeFile.open(QIODevice::ReadOnly);
    const double uptime = uptimeFile.readAll().split(' ').value(0).toDouble();
    bool grew = true;
    while (grew) {
        grew = false;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool number = false;
            const pid_t pid = pid_t(entry.toInt(&number));
            if (!number || family.contains(pid))
                continue;
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = stat.readAll();
            const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
            if (fields.size() < 20 || !family.contains(pid_t(fields.at(1).toInt())))
                continue;
            family << pid;
            grew = true;
            const double age = uptime - fields.at(19).toDouble() / double(ticks);
            const QString comm = QString::fromUtf8(
                line.mid(line.indexOf('(') + 1, line.lastIndexOf(')') - line.indexOf('(') - 1));
            out << QStringLiteral("%1 %2 %3").arg(pid).arg(qint64(age)).arg(comm);
        }
    }
    return out;
}
