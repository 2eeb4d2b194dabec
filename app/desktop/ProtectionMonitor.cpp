#include "ProtectionMonitor.h"

#include "DesktopNotifier.h"
#include "UserDefaults.h"

#include <QLocale>

#include <algorithm>

ProtectionMonitor::ProtectionMonitor(QString statePath, UserDefaults* defaults, DesktopNotifier* notifier,
                                     Clock clock, ProtectionTimings timings, Trace trace, QObject* parent)
    : QObject(parent), mPath(std::move(statePath)), mDefaults(defaults), mNotifier(notifier),
      mClock(std::move(clock)), mTimings(timings), mTrace(std::move(trace)) {
    mTimer.setInterval(mTimings.reread);
    connect(&mTimer, &QTimer::timeout, this, &ProtectionMonitor::reload);
}

QDateTime ProtectionMonitor::now() const {
    return mClock ? mClock() : QDateTime::currentDateTimeUtc();
}

int ProtectionMonitor::waitMinutes() const {
    bool ok = false;
    const int minutes = mDefaults ? mDefaults->stringForKey(WaitMinutesKey).toInt(&ok) : mMemoryMinutes;
    if (!mDefaults)
        ok = true;
    return ok && minutes > 0 ? minutes : DefaultWaitMinutes;
}

void ProtectionMonitor::setWaitMinutes(int minutes) {
    const int value = minutes > 0 ? minutes : DefaultWaitMinutes;
    if (!mDefaults)
        mMemoryMinutes = value;
    else if (!mDefaults->setStringForKey(WaitMinutesKey, QString::number(value)) && mTrace)
        mTrace(QStringLiteral("cannot write the preference %1").arg(WaitMinutesKey));
    lookAtWaiting();
}

void ProtectionMonitor::notify(const QString& summary, const QString& body) {
    if (mTrace)
        mTrace(QStringLiteral("Desktop notification: %1").arg(summary));
    if (mNotifier)
        mNotifier->notify(summary, body);
}

void ProtectionMonitor::lookAtHeld() {
    // Once per tripping, at once: the person decides whether these changes may overwrite the copies.
    if (mState.held <= 0 || !mState.heldSince.isValid() || mState.heldSince == mToldHeldSince)
        return;
    mToldHeldSince = mState.heldSince;
    const int changed = std::max(mState.heldChanged, mState.held);
    const QString summary = tr("%n files changed at once — backups of them are held", nullptr, changed);
    const QString body = tr("Many of your files were rewritten within minutes, as ransomware or a "
                            "program gone wrong does. Look at them before they replace the good "
                            "copies on the Zorvik Hollin device; new files are backed up as usual.");
    if (mTrace)
        mTrace(QStringLiteral("Desktop notification: %1").arg(summary));
    if (!mNotifier)
        return;
    QList<DesktopNotifier::Action> actions;
    if (mShowHeld)
        actions << DesktopNotifier::Action{QStringLiteral("show-held"), tr("Show Files"), mShowHeld};
    if (mLetHeldGo)
        actions << DesktopNotifier::Action{QStringLiteral("continue"), tr("Continue"), mLetHeldGo};
    mNotifier->notify(summary, body, actions);
}

void ProtectionMonitor::setWatching(bool watching) {
    if (watching == mWatching)
        return;
    mWatching = watching;
    if (watching) {
        mTimer.start();
        reload();
        return;
    }
    mTimer.stop();
    mState = ProtectionState();
    mToldWaiting = mToldCoverage = false;
    mCoverageLostSince = QDateTime();
    mShown = ProtectionView();
    emit changed();
}

ProtectionView ProtectionMonitor::view() const {
    return mWatching ? ProtectionView::of(mState, now()) : ProtectionView();
}

QString ProtectionMonitor::toolTipLine() const {
    return mWatching && mState.present ? mState.pendingText(now()) : QString();
}

void ProtectionMonitor::reload() {
    if (!mWatching)
        return;
    mState = ProtectionState::read(mPath);
    lookAtWaiting();
    lookAtCoverage();
    lookAtHeld();
    // The age in the text moves with the clock: the view is compared, not the file.
    const ProtectionView shown = view();
    if (shown == mShown)
        return;
    mShown = shown;
    emit changed();
}

void ProtectionMonitor::lookAtWaiting() {
    if (!mWatching)
        return;
    const qint64 limit = qint64(waitMinutes()) * 60;
    const bool tooLong = mState.waiting() && mState.oldest.isValid() && mState.oldest.secsTo(now()) >= limit;
    // The episode ends when nothing waits that long any more; a pause or a failing backup only keeps
    // quiet about it (the person chose the one, and is told about the other).
    if (!tooLong) {
        mToldWaiting = false;
        return;
    }
    if (mToldWaiting || mState.paused || (mReachable && !mReachable()))
        return;
    mToldWaiting = true;
    const int minutes = int(mState.oldest.secsTo(now()) / 60);
    notify(tr("Changes are waiting to be backed up"),
           (mState.count == 1
                ? tr("1 change has not reached the Zorvik Hollin device")
                : tr("%n changes have not reached the Zorvik Hollin device", nullptr, mState.count)) +
               u' ' +
               (minutes >= 120 ? tr("for %n hours.", nullptr, minutes / 60)
                               : tr("for %n minutes.", nullptr, minutes)) +
               u' ' + tr("Open Zorvik Hollin and choose View Log to see why."));
}

void ProtectionMonitor::lookAtCoverage() {
    if (!mState.coverageLost()) {
        mCoverageLostSince = QDateTime();
        mToldCoverage = false;
        return;
    }
    if (!mCoverageLostSince.isValid())
        mCoverageLostSince = now();
    if (mToldCoverage || mCoverageLostSince.msecsTo(now()) < qint64(mTimings.coverageGrace.count()))
        return;
    mToldCoverage = true;
    notify(tr("Changes may go unnoticed"),
           mState.watchText() + u'\n' +
               tr("Zorvik Hollin is not seeing every change to your files, so some may not be backed up "
                  "until it does again."));
}

void ProtectionMonitor::restoreCheckFailed() {
    if (!mWatching)
        return;
    reload();
    const int failed = qMax(mState.verifiedFailed, int(mState.verifiedFailures.size()));
    QString body = failed == 1 ? tr("1 file differs from its copy in the newest snapshot on the Zorvik "
                                    "Hollin device.")
                               : tr("%n files differ from their copies in the newest snapshot on the Zorvik "
                                    "Hollin device.",
                                    nullptr, failed);
    const QStringList shown = mState.verifiedFailures.mid(0, 3);
    if (!shown.isEmpty())
        body += u' ' + tr("For example: %1").arg(shown.join(QStringLiteral(", ")));
    notify(tr("Restore check found damaged copies"), body);
}
