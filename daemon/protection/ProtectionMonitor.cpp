#include "ProtectionMonitor.h"

#include "BackupfileController.h"
#include "DistributedNotificationCenter.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "MassChangeTripwire.h"
#include "PropertyList.h"
#include "ReadController.h"
#include "RestoreVerifier.h"
#include "RezodeLoger.h"
#include "SleepGuard.h"
#include "UserFileAccess.h"
#include "WatchCoverage.h"

#include <Protocol.h>

#include <QFileInfo>

#include <unistd.h>

namespace PS = Protocol::PendingState;

namespace {

QString iso(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODate) : QString();
}

QString flag(bool on) {
    return on ? QString(Protocol::FlagOn) : QString(Protocol::FlagOff);
}

QString watchState(WatchCoverage::State state) {
    switch (state) {
    case WatchCoverage::State::Disk:
        return PS::WatchDisk;
    case WatchCoverage::State::Users:
        return PS::WatchUsers;
    case WatchCoverage::State::Rescanning:
        return PS::WatchRescanning;
    case WatchCoverage::State::None:
        break;
    }
    return PS::WatchNone;
}

QVariantMap withoutTime(QVariantMap state) {
    state.remove(PS::Updated);
    return state;
}

} // namespace

ProtectionMonitor::ProtectionMonitor(DaemonServices services, Parts parts, QObject* parent)
    : QObject(parent), mServices(std::move(services)), mParts(parts) {
    mRefreshTimer.setSingleShot(true);
    connect(&mRefreshTimer, &QTimer::timeout, this, &ProtectionMonitor::refresh);
}

ProtectionMonitor::~ProtectionMonitor() {
    // Nobody may note a change into an object that is going away.
    if (mParts.collector)
        mParts.collector->setPendingObserver(nullptr);
    if (mParts.coverage)
        mParts.coverage->setObserver(nullptr);
    if (mParts.tripwire)
        mParts.tripwire->setObserver(nullptr);
    if (mParts.backupController)
        mParts.backupController->backupManager().setStateObserver(nullptr);
    if (mServices.notifications)
        mServices.notifications->removeObserver(this);
    mSleepGuard.reset();
    mVerifier.reset();
}

QString ProtectionMonitor::stateFilePath() const {
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    paths.setM_ConsoleUserName(mConsoleUser);
    return paths.pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' + Protocol::PendingStateFile;
}

void ProtectionMonitor::start(const QString& consoleUser) {
    mConsoleUser = consoleUser;
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    paths.setM_ConsoleUserName(consoleUser);
    RSyncBackupManager* manager =
        mParts.backupController ? &mParts.backupController->backupManager() : nullptr;
    mPending = std::make_unique<PendingChanges>(paths.pathForApplicationFile(DaemonPath::BackupListsFolder),
                                                mParts.collector, manager);

    QVariantMap previous;
    {
        UserFileAccess access(consoleUser);
        previous = PropertyList::readDictionary(stateFilePath());
    }
    mVerifier = std::make_unique<RestoreVerifier>(mServices, mParts.collector);
    mVerifier->setChangeHandler([this] { noteChange(); });
    mVerifier->start(consoleUser, previous);

    if (manager) {
        manager->setStateObserver([this] { noteChange(); });
        // Set once and never taken away (it is called from the parsing thread): the record outlives
        // the monitor if need be.
        manager->setSentObserver([record = mVerifier->record()](const QString& name) {
            record->sent(name, QDateTime::currentMSecsSinceEpoch());
        });
    }
    if (mParts.collector)
        mParts.collector->setPendingObserver([this] { noteChange(); });
    if (mParts.coverage)
        mParts.coverage->setObserver([this] { noteChange(); });
    if (mParts.tripwire) {
        mParts.tripwire->setObserver([this] { noteChange(); });
        if (mServices.notifications)
            // The person's "Continue" (the center hears only the person served, or root).
            mServices.notifications->addObserver(this, Protocol::ReleaseHeldChanges,
                                                 [this](const QString&, const QVariantMap&) {
                                                     if (mParts.tripwire)
                                                         mParts.tripwire->release();
                                                 });
    }
    if (mServices.notifications) {
        mServices.notifications->addObserver(this, Protocol::PauseState,
                                             [this](const QString&, const QVariantMap&) { noteChange(); });
        // Only the person at the screen (or root) is heard at all: the center checks the sender.
        mServices.notifications->addObserver(
            this, Protocol::VerifyRestorable, [this](const QString&, const QVariantMap&) {
                // Asked for by the person: at most once a minute, so that asking again and again
                // neither keeps the appliance busy nor fills root's trace.
                if (mCheckAsked.isValid() &&
                    mCheckAsked.elapsed() < mServices.timings.restoreCheckAskedInterval.count()) {
                    const QString line = mCheckRefusals.admit(
                        QStringLiteral("Restore check asked for again within a minute, not started"));
                    if (!line.isEmpty())
                        mServices.logger->logDaemonTrace(line, true);
                    return;
                }
                mCheckAsked.start();
                if (!mVerifier->checkNow()) {
                    const QString line =
                        mCheckRefusals.admit(QStringLiteral("Restore check asked for while one runs"));
                    if (!line.isEmpty())
                        mServices.logger->logDaemonTrace(line, true);
                }
            });
    }
    if (mServices.sleepInhibitor) {
        mSleepGuard = std::make_unique<SleepGuard>(
            mServices.sleepInhibitor, mServices.timings, mServices.logger,
            [this] {
                // Sleep or shutdown is coming: what waits goes out now rather than at the next tick.
                if (mParts.collector)
                    mParts.collector->timerFireMethod();
                if (mParts.backupController)
                    mParts.backupController->ReadOperation();
                noteChange();
            },
            [this] { noteChange(); });
        mSleepGuard->start();
    }
    refresh();
}

void ProtectionMonitor::noteChange() {
    if (mChangeNoted.exchange(true))
        return;
    QMetaObject::invokeMethod(this, &ProtectionMonitor::scheduleRefresh, Qt::QueuedConnection);
}

void ProtectionMonitor::scheduleRefresh() {
    if (mRefreshTimer.isActive())
        return;
    qint64 wait = 0;
    if (mLastRefresh.isValid())
        wait = std::max<qint64>(0, mServices.timings.pendingStateMinInterval.count() -
                                       mLastRefresh.msecsTo(QDateTime::currentDateTimeUtc()));
    mRefreshTimer.start(int(wait));
}

void ProtectionMonitor::refresh() {
    if (!mPending)
        return;
    mChangeNoted = false;
    mRefreshTimer.stop();
    mLastRefresh = QDateTime::currentDateTimeUtc();
    const PendingChanges::Snapshot waiting = mPending->measure();
    if (mSleepGuard)
        mSleepGuard->update(waiting, mParts.backupController && mParts.backupController->isPaused());
    const QVariantMap state = compose(waiting);
    if (withoutTime(state) == withoutTime(mWritten))
        return;
    if (!write(state))
        return;
    mWritten = state;
    // Bare, like every announcement of a state file: what changed is only in the person's own file.
    if (mServices.notifications)
        mServices.notifications->postNotification(Protocol::PendingStateChanged, {},
                                                  Protocol::PostDeliverImmediatelyToAllSessions);
}

QVariantMap ProtectionMonitor::compose(const PendingChanges::Snapshot& waiting) const {
    QVariantMap s;
    const MassChangeTripwire::Snapshot held =
        mParts.tripwire ? mParts.tripwire->snapshot() : MassChangeTripwire::Snapshot();
    s.insert(PS::Count, QString::number(waiting.total() + held.held + held.parked));
    s.insert(PS::Held, QString::number(held.held + held.parked));
    s.insert(PS::HeldSince, iso(held.since));
    s.insert(PS::HeldChanged, QString::number(held.tripped ? std::max(held.changedInWindow, held.held) : 0));
    s.insert(PS::HeldFiles, held.sample);
    s.insert(PS::Collected, QString::number(waiting.collected));
    s.insert(PS::Listed, QString::number(waiting.listed));
    s.insert(PS::Sending, QString::number(waiting.sending));
    s.insert(PS::Owed, QString::number(waiting.owed));
    // Held changes wait too: since the tripwire tripped, when nothing else is older.
    QDateTime oldest = waiting.oldest;
    if ((held.held > 0 || held.parked > 0) && held.since.isValid() &&
        (!oldest.isValid() || held.since < oldest))
        oldest = held.since;
    s.insert(PS::Oldest, iso(oldest));
    s.insert(PS::Newest, iso(waiting.newest));
    s.insert(PS::Paused, flag(mParts.backupController && mParts.backupController->isPaused()));
    s.insert(PS::SleepDelayed, flag(mSleepGuard && mSleepGuard->isDelaying()));

    WatchCoverage::Snapshot watch;
    if (mParts.coverage)
        watch = mParts.coverage->snapshot();
    else
        watch.reason = QStringLiteral("no watcher");
    s.insert(PS::Watch, watchState(watch.state));
    s.insert(PS::WatchBackend, watch.backend);
    s.insert(PS::WatchFolder, watch.folder);
    s.insert(PS::WatchFolders, QString::number(watch.folders));
    s.insert(PS::WatchFileSystems, QString::number(watch.fileSystems));
    s.insert(PS::WatchLimited, flag(watch.limited));
    s.insert(PS::WatchSince, iso(watch.lostSince));
    s.insert(PS::WatchReason, watch.reason);

    const RestoreVerifier::Outcome check = mVerifier ? mVerifier->outcome() : RestoreVerifier::Outcome();
    s.insert(PS::VerifyState, check.state);
    s.insert(PS::VerifyReason, check.reason);
    s.insert(PS::VerifyAttempted, iso(check.attempted));
    s.insert(PS::Verified, iso(check.verified));
    s.insert(PS::VerifiedText, check.text());
    s.insert(PS::VerifiedFiles, QString::number(check.files));
    s.insert(PS::VerifiedSkipped, QString::number(check.skipped));
    s.insert(PS::VerifiedFailed, QString::number(check.failed));
    s.insert(PS::VerifiedFailures, check.failures);
    s.insert(PS::VerifiedSnapshot, check.snapshot);
    s.insert(PS::Updated, iso(QDateTime::currentDateTimeUtc()));
    return s;
}

bool ProtectionMonitor::write(const QVariantMap& state) {
    const QString path = stateFilePath();
    QString error;
    bool ok = false;
    {
        // The person's own file in the person's folder, made with their rights.
        UserFileAccess access(mConsoleUser);
        ok = (access.active() || ::geteuid() != 0) && FileTools::makePath(QFileInfo(path).path()) &&
             PropertyList::writeDictionary(path, state, PropertyList::OwnerOnlyMode, &error);
    }
    if (!ok && !mWriteFailureTold) {
        mWriteFailureTold = true;
        mServices.logger->logDaemonTrace(
            QStringLiteral("%1 could not be written: %2")
                .arg(path, error.isEmpty() ? QStringLiteral("no such account") : error),
            true);
    }
    if (ok)
        mWriteFailureTold = false;
    return ok;
}
