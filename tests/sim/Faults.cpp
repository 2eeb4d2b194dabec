#include "Faults.h"

#include "ApplianceFaults.h"
#include "ChildProcess.h"
#include "FilePathsController.h"
#include "HostTimings.h"
#include "Model.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "Random.h"
#include "RestoreExclusionRecord.h"
#include "RsyncCommand.h"
#include "RsyncConventions.h"
#include "UserFileAccess.h"
#include "UtilityClass.h"
#include "World.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How long the restore window keeps a restored item out of the backup after its download.
constexpr int kRestoreReleaseMs = 10000;

} // namespace

Faults::Faults(World& world, Model& model, std::function<void(quint64, int)> storm)
    : mWorld(world), mModel(model), mStorm(std::move(storm)), mOriginalPassword(world.appliancePassword()) {
    mClock.start();
    applicationStarts();
}

Faults::~Faults() {
    dropHungSessions();
}

QSet<Op> Faults::takeHappened() {
    QSet<Op> out;
    out.swap(mHappened);
    return out;
}

QString Faults::apply(const Step& step) {
    Random r(step.value);
    ++mCount;
    mHappened.insert(step.op);
    Appliance& appliance = mWorld.appliance();
    switch (step.op) {
    case Op::DaemonStop:
        mWorld.stopDaemon(SIGTERM);
        return QStringLiteral("daemon stopped (SIGTERM), started again after %1 ms")
            .arg(mWorld.restartPauseMs());
    case Op::DaemonKill:
        mWorld.stopDaemon(SIGKILL);
        return QStringLiteral("daemon killed with its children, started again after %1 ms")
            .arg(mWorld.restartPauseMs());
    case Op::ConsoleLogIn: {
        mWorld.setConsole(false);
        const int away = int(r.between(500, 3000));
        mWorld.run(away);
        mWorld.setConsole(true);
        mWorld.allowExit(1);
        return QStringLiteral("the person logged out at the screen for %1 ms and in again").arg(away);
    }
    case Op::Reinitialize: {
        mWorld.allowExit(1);
        const int starts = mWorld.starts();
        const QDateTime posted = QDateTime::currentDateTimeUtc();
        mWorld.post(Protocol::Reinitialize);
        // The person was asked and told: the exclusions go back to the defaults. The next start writes
        // them; until then the person's own stand, so the model follows once the file is written.
        const QString listFile = mWorld.personsExcludeList();
        const auto rewritten = [&] {
            return mWorld.starts() > starts && QFileInfo(listFile).lastModified().toUTC() >= posted;
        };
        for (int waited = 0; waited < 30000 && !rewritten(); waited += 200)
            mWorld.run(200);
        if (!rewritten())
            return QStringLiteral("\"Reinitialize\" posted; the exclusions were not set back within 30 s");
        mMyFolders.clear();
        mModel.exclusionsReset();
        return QStringLiteral("\"Reinitialize\" posted; the exclusions are the defaults again");
    }
    case Op::LogOut: {
        mWorld.allowExit(1);
        applicationQuits();
        mWorld.removeDetails();
        mWorld.post(Protocol::LogOut);
        const int away = int(r.between(500, 3000));
        mWorld.run(away);
        mWorld.writeDetails();
        applicationStarts();
        return QStringLiteral("\"LogOut\" (the application quit), logged in again after %1 ms").arg(away);
    }
    case Op::DailyRestart: {
        const int life = int(r.between(2000, 8000));
        mWorld.shortenNextLife(life);
        mWorld.stopDaemon(SIGTERM);
        return QStringLiteral("the next start restarts itself as at its daily restart, after %1 ms")
            .arg(life);
    }
    case Op::Pause:
        mWorld.setPaused(true);
        return QStringLiteral("backup paused");
    case Op::Resume:
        mWorld.setPaused(false);
        return QStringLiteral("backup resumed");
    case Op::ApplianceStop:
        appliance.stop();
        mApplianceStopped = true;
        return QStringLiteral("appliance stopped");
    case Op::ApplianceStart:
        mApplianceStopped = !appliance.start();
        return mApplianceStopped ? QStringLiteral("appliance did not start again")
                                 : QStringLiteral("appliance back");
    case Op::ApplianceFreeze:
        if (mFrozen || mApplianceStopped)
            return QStringLiteral("(appliance not running)");
        // In the middle of a transfer when there is one to be had: the person's last changes are on
        // their way within a pass or two.
        ChildProcess::pollUntil([&] { return ApplianceFaults::processes(appliance).size() > 1; }, 10000);
        // Other clients' connections held for the busy fault are theirs to end, not the appliance's:
        // frozen with it, they would keep its connection slots after those clients left.
        mHung << ApplianceFaults::freeze(appliance, mHeldServers);
        mFrozen = true;
        return QStringLiteral("appliance frozen (%1 sessions hung)").arg(mHung.size());
    case Op::ApplianceThaw:
        if (mFrozen)
            ApplianceFaults::thaw(appliance);
        mFrozen = false;
        return QStringLiteral("appliance answers again; the sessions it froze stay hung");
    case Op::ApplianceBusy: {
        int held = 0;
        for (int i = 0; i < 3 && !mApplianceStopped && !mFrozen; ++i) {
            const QList<pid_t> before = ApplianceFaults::processes(appliance);
            held += appliance.holdConnection(mWorld.account()) ? 1 : 0;
            for (const pid_t pid : ApplianceFaults::processes(appliance))
                if (!before.contains(pid))
                    mHeldServers << pid;
        }
        mBusy = true;
        return QStringLiteral("appliance busy: %1 connections held by other clients").arg(held);
    }
    case Op::ApplianceRelease:
        appliance.releaseConnections();
        releaseHeldServers();
        mBusy = false;
        return QStringLiteral("appliance connections released");
    case Op::ApplianceFull:
        mFull = ApplianceFaults::fill(appliance, 64 * 1024);
        return mFull ? QStringLiteral("appliance full") : QStringLiteral("(appliance could not be filled)");
    case Op::ApplianceSpace:
        ApplianceFaults::makeSpace(appliance);
        mFull = false;
        return QStringLiteral("appliance has room again");
    case Op::PasswordChanged: {
        const QString changed = QStringLiteral("ch4nged 'pw' %1").arg(r.next() % 100000);
        mWorld.setAppliancePassword(changed);
        return QStringLiteral("the administrator changed the account's password");
    }
    case Op::PasswordLogIn:
        mWorld.logInAgain(mWorld.appliancePassword());
        return QStringLiteral("the person logged in with the appliance's password");
    case Op::PasswordRestored:
        mWorld.setAppliancePassword(mOriginalPassword);
        mWorld.logInAgain(mOriginalPassword);
        return QStringLiteral("the administrator restored the password; the person logged in again with it");
    case Op::ExcludeFolder:
    case Op::IncludeFolder:
    case Op::AddPattern:
    case Op::RemovePattern:
        return editExclusions(r, step.op);
    case Op::Overflow: {
        const int files = int(r.between(20000, 30000));
        const pid_t daemon = mWorld.daemonPid();
        // The daemon frozen (a loaded machine) while programs write: the kernel queue overflows.
        if (daemon > 0)
            ::kill(daemon, SIGSTOP);
        mStorm(r.next(), files);
        if (daemon > 0)
            ::kill(daemon, SIGCONT);
        return QStringLiteral("event queue overflow: %1 files written while the daemon could not read")
            .arg(files);
    }
    case Op::Restore:
        return restore(r, false);
    case Op::RestoreKilled:
        return restore(r, true);
    default:
        --mCount;
        return QStringLiteral("(not a fault)");
    }
}

bool Faults::anyInForce() const {
    return mApplianceStopped || mFrozen || mBusy || mFull || mWorld.paused() ||
           mWorld.appliancePassword() != mOriginalPassword || mWorld.recordPassword() != mOriginalPassword;
}

void Faults::tick() {
    const qint64 now = mClock.elapsed();
    for (qsizetype i = 0; i < mReleases.size();) {
        if (mReleases.at(i).atMs > now) {
            ++i;
            continue;
        }
        const QString entry = mReleases.at(i).entry;
        mReleases.removeAt(i);
        {
            UserFileAccess person(mWorld.person().name);
            mApplication->release(entry);
        }
        mModel.restoreEntryLifted(entry);
    }
    if (!mApplication && mApplicationStartAtMs >= 0 && mApplicationStartAtMs <= now)
        applicationStarts();
}

void Faults::applicationQuits() {
    if (!mApplication)
        return;
    // The restore window's end: every exclusion its restores hold is lifted at once.
    {
        UserFileAccess person(mWorld.person().name);
        mApplication->liftAll();
    }
    for (const Release& release : std::as_const(mReleases))
        mModel.restoreEntryLifted(release.entry);
    mReleases.clear();
    mApplication.reset();
}

void Faults::applicationStarts() {
    if (mApplication)
        return;
    mApplication = std::make_unique<RestoreExclusionRecord>(mWorld.paths().profile(), mWorld.person().name,
                                                            mWorld.applicationCenter(), nullptr);
    mApplicationStartAtMs = -1;
    // As the application's start does: what a killed one left out of the backup is lifted.
    {
        UserFileAccess person(mWorld.person().name);
        mApplication->liftAll();
    }
    for (const QString& entry : std::as_const(mLeftByKilled))
        mModel.restoreEnded(entry);
    mLeftByKilled.clear();
}

QStringList Faults::liftAll() {
    QStringList lifted;
    Appliance& appliance = mWorld.appliance();
    if (mFrozen) {
        ApplianceFaults::thaw(appliance);
        mFrozen = false;
        lifted << QStringLiteral("appliance answers again");
    }
    if (mApplianceStopped) {
        mApplianceStopped = !appliance.start();
        lifted << QStringLiteral("appliance started");
    }
    if (mBusy) {
        appliance.releaseConnections();
        releaseHeldServers();
        mBusy = false;
        lifted << QStringLiteral("connections released");
    }
    if (mFull) {
        ApplianceFaults::makeSpace(appliance);
        mFull = false;
        lifted << QStringLiteral("room on the appliance");
    }
    if (mWorld.appliancePassword() != mOriginalPassword || mWorld.recordPassword() != mOriginalPassword) {
        mWorld.setAppliancePassword(mOriginalPassword);
        mWorld.logInAgain(mOriginalPassword);
        mHappened.insert(Op::PasswordRestored);
        lifted << QStringLiteral("password restored, the person logged in again");
    }
    if (mWorld.paused()) {
        mWorld.setPaused(false);
        lifted << QStringLiteral("backup resumed");
    }
    if (!mApplication) {
        applicationStarts();
        lifted << QStringLiteral("the person started the application again");
    }
    return lifted;
}

void Faults::releaseHeldServers() {
    // Their clients are gone; their side ends a moment later. A freeze in that moment would keep them
    // (and the connection slots they hold) for good.
    Appliance& appliance = mWorld.appliance();
    ChildProcess::pollUntil(
        [&] {
            const QList<pid_t> running = ApplianceFaults::processes(appliance);
            return std::none_of(mHeldServers.cbegin(), mHeldServers.cend(),
                                [&running](pid_t pid) { return running.contains(pid); });
        },
        5000);
    mHeldServers.clear();
}

void Faults::dropHungSessions() {
    ApplianceFaults::dropStalled(mHung);
    mHung.clear();
}

void Faults::writePersonsList(const QString& file, const QStringList& entries) {
    // The application writes the person's lists as the person, owner-only.
    UserFileAccess person(mWorld.person().name);
    QDir().mkpath(QFileInfo(file).path());
    PropertyList::writeStringArray(file, entries, PropertyList::OwnerOnlyMode);
}

QString Faults::editExclusions(Random& r, Op op) {
    const QString listFile = mWorld.personsExcludeList();
    const QString patternFile = mWorld.personsPatterns();
    QString what;
    if (op == Op::ExcludeFolder) {
        QStringList folders;
        for (const QString& top :
             QDir(mWorld.home()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            for (const QString& sub :
                 QDir(mWorld.home() + u'/' + top).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
                folders << mWorld.home() + u'/' + top + u'/' + sub;
        if (folders.isEmpty())
            return QStringLiteral("(no folder to exclude)");
        const QString folder = folders.at(qsizetype(r.below(folders.size())));
        QStringList list = PropertyList::readStringArray(listFile);
        list << folder;
        writePersonsList(listFile, list);
        mMyFolders << folder;
        mModel.personExcludes(folder);
        what = QStringLiteral("excluded the folder %1").arg(folder);
    } else if (op == Op::IncludeFolder) {
        if (mMyFolders.isEmpty())
            return QStringLiteral("(nothing the person excluded)");
        const QString folder = mMyFolders.takeAt(qsizetype(r.below(mMyFolders.size())));
        QStringList list = PropertyList::readStringArray(listFile);
        list.removeAll(folder);
        writePersonsList(listFile, list);
        mModel.personIncludes(folder);
        what = QStringLiteral("stopped excluding %1").arg(folder);
    } else if (op == Op::AddPattern) {
        static const QStringList patterns{"*.bak", "*.iso", "*~", "*.log", "Thumbs.db", "*.mkv", "*.odt"};
        const QString pattern = patterns.at(qsizetype(r.below(patterns.size())));
        QStringList list = PropertyList::readStringArray(patternFile);
        if (!list.contains(pattern))
            list << pattern;
        writePersonsList(patternFile, list);
        mMyPatterns << pattern;
        what = QStringLiteral("added the pattern %1").arg(pattern);
    } else {
        if (mMyPatterns.isEmpty())
            return QStringLiteral("(no pattern the person added)");
        const QString pattern = mMyPatterns.takeAt(qsizetype(r.below(mMyPatterns.size())));
        QStringList list = PropertyList::readStringArray(patternFile);
        list.removeAll(pattern);
        writePersonsList(patternFile, list);
        what = QStringLiteral("removed the pattern %1").arg(pattern);
    }
    mWorld.post(Protocol::Exclude, {{Protocol::KeyType, QString(Protocol::ExcludeTypeUser)}});
    // The bus carries it at once; the daemon reads the lists when it hears it.
    mWorld.run(300);
    mModel.exclusionsChanged();
    return what;
}

QString Faults::restore(Random& r, bool killed) {
    // An item the appliance has: a file of the home whose copy is there now.
    QList<QByteArray> candidates;
    for (auto it = mModel.files().cbegin(); it != mModel.files().cend(); ++it)
        if (QFileInfo::exists(QFile::decodeName(mWorld.onAppliance(it.key()))) &&
            it.key().startsWith(QFile::encodeName(mWorld.home() + u'/')) && !it.key().contains('\n') &&
            !mModel.isSecretPath(it.key()))
            candidates << it.key();
    if (candidates.isEmpty())
        return QStringLiteral("(nothing on the appliance to restore)");
    const QByteArray item = candidates.at(qsizetype(r.below(candidates.size())));
    // The appliance's hourly snapshot.
    const QString snapshot = QStringLiteral("auto-%1-%2")
                                 .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd.HHmm")))
                                 .arg(r.next() % 100000);
    if (!mWorld.appliance().createSnapshot(snapshot))
        return QStringLiteral("(the appliance could not take a snapshot)");
    // Into the person's downloads, as the restore window offers.
    const QString destination = mWorld.home() + QStringLiteral("/Downloads");
    {
        UserFileAccess person(mWorld.person().name);
        QDir().mkpath(destination);
    }
    const QString target = destination + u'/' + QFileInfo(QFile::decodeName(item)).fileName();
    // The person opens the restore window in the application (started if it was not running).
    applicationStarts();
    // As the restore window does: the item out of the backup while it is written, with the
    // application's own record of it.
    bool held = false;
    {
        UserFileAccess person(mWorld.person().name);
        held = mApplication->exclude(target);
    }
    if (held)
        mModel.restoreBegan(target);
    mWorld.run(200);

    FilePathsController appPaths(FilePathsController::Table::Application, mWorld.paths().profile());
    appPaths.setM_ConsoleUserName(mWorld.person().name);
    const QString passwordFile = appPaths.pathForApplicationFile(AppPath::PasswordFile);
    {
        UserFileAccess person(mWorld.person().name);
        RsyncConventions::writePasswordFile(passwordFile, mWorld.recordPassword(),
                                            RsyncConventions::ApplicationPasswordFileMode);
    }
    const QString remote = RsyncConventions::remotePath(
        RsyncConventions::RemoteForm::SnapshotItem,
        {mWorld.account(), mWorld.appliance().address(),
         snapshot + u'/' + mWorld.account() + u'/' + UtilityClass::machineName() + QFile::decodeName(item)},
        RsyncConventions::Launch::Direct);
    // The private copy's command line as the window builds it, with the limits on a silent appliance.
    const QString privateRsync = mWorld.paths().profile().privateRsyncPath;
    const RsyncCommand::Command run = RsyncCommand::restoreRun(
        false, privateRsync, passwordFile,
        QStringList{QStringLiteral("--progress"), QStringLiteral("--recursive"), QStringLiteral("--times"),
                    QStringLiteral("--backup"),
                    QStringLiteral("--suffix=.before-restore-%1").arg(r.next() % 100000)} +
            RsyncConventions::stallOptions(RsyncConventions::dialect(false, privateRsync),
                                           hostTimings().rsyncStallTimeout),
        {remote}, destination);
    const FixtureUser& p = mWorld.person();
    const QStringList command =
        QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(p.uid),
                    QStringLiteral("--regid=%1").arg(p.gid), QStringLiteral("--clear-groups"), run.program} +
        run.arguments;
    const QString errors = QDir::temp().filePath(QStringLiteral("zh-sim-restore-%1.err").arg(::getpid()));
    QFile::remove(errors);
    const pid_t child = ChildProcess::spawn(command, QString(), errors);
    int status = -1;
    const auto ended = [child, &status] {
        int raw = 0;
        if (::waitpid(child, &raw, WNOHANG) != child)
            return false;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
    };
    const auto outcome = [&status, &errors] {
        QFile err(errors);
        const QString said =
            err.open(QIODevice::ReadOnly) ? QString::fromUtf8(err.readAll()).section(u'\n', 0, 0) : QString();
        err.remove();
        return status < 0    ? QStringLiteral("rsync still running")
               : status == 0 ? QStringLiteral("rsync ended with 0")
                             : QStringLiteral("rsync ended with %1: %2").arg(status).arg(said);
    };
    if (killed) {
        // The application ends during the download or in the seconds after it, before it takes the
        // item's entry out again (a kill, the session's end): its next start must lift what it held.
        const bool during = r.chance(50);
        if (during)
            mWorld.run(int(r.between(0, 1500)));
        else
            ChildProcess::pollUntil(ended, 120000);
        const QString how = outcome();
        ChildProcess::terminate(child, 0);
        mModel.observeTree(QFile::encodeName(destination));
        for (const Release& release : std::as_const(mReleases))
            mLeftByKilled << release.entry;
        mReleases.clear();
        if (held)
            mLeftByKilled << target;
        mApplication.reset();
        // The person starts it again soon, or only by the quiet point.
        const bool soon = r.chance(60);
        if (soon)
            mApplicationStartAtMs = mClock.elapsed() + r.between(500, 6000);
        return QStringLiteral("restore of %1 into %2, the application killed %3 and started again %4")
                   .arg(QFile::decodeName(item), destination,
                        during ? QStringLiteral("during it") : QStringLiteral("in the seconds after it"),
                        soon ? QStringLiteral("%1 ms later").arg(mApplicationStartAtMs - mClock.elapsed())
                             : QStringLiteral("by the quiet point")) +
               QStringLiteral(" (%1)").arg(how);
    }
    ChildProcess::pollUntil(ended, 120000);
    const QString how = outcome();
    ChildProcess::terminate(child, 0);
    mModel.observeTree(QFile::encodeName(destination));
    if (held)
        mReleases << Release{mClock.elapsed() + kRestoreReleaseMs, target};
    return QStringLiteral("restore of %1 into %2 from %3 (%4)")
        .arg(QFile::decodeName(item), destination, snapshot, how);
}
