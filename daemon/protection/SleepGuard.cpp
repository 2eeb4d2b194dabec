#include "SleepGuard.h"

#include "RezodeLoger.h"

#include <QDateTime>

SleepGuard::SleepGuard(SleepInhibitor* inhibitor, Timings timings, RezodeLoger* trace,
                       std::function<void()> sendNow, std::function<void()> changed)
    : mInhibitor(inhibitor), mTimings(timings), mTrace(trace), mSendNow(std::move(sendNow)),
      mChanged(std::move(changed)) {
    mYouth.setSingleShot(true);
    mDeadline.setSingleShot(true);
    connect(&mYouth, &QTimer::timeout, this, &SleepGuard::evaluate);
    connect(&mDeadline, &QTimer::timeout, this, [this] {
        mDeadlinePassed = true;
        evaluate();
    });
}

SleepGuard::~SleepGuard() {
    if (mInhibitor) {
        mInhibitor->watch(nullptr);
        mInhibitor->release();
    }
}

void SleepGuard::traceLine(const QString& line) const {
    if (mTrace)
        mTrace->logDaemonTrace(line, true);
}

void SleepGuard::start() {
    if (!mInhibitor)
        return;
    QString error;
    if (!mInhibitor->watch([this](SleepInhibitor::Kind kind, bool starting) { announced(kind, starting); },
                           &error))
        traceLine(QStringLiteral("Sleep and shutdown announcements cannot be heard: %1").arg(error));
}

bool SleepGuard::isDelaying() const {
    return mInhibitor && mInhibitor->isRequested();
}

void SleepGuard::update(const PendingChanges::Snapshot& waiting, bool paused) {
    mWaiting = waiting;
    mPaused = paused;
    evaluate();
}

bool SleepGuard::youngWaiting() const {
    if (mPaused || mWaiting.total() == 0 || !mWaiting.newest.isValid())
        return false;
    return mWaiting.newest.msecsTo(QDateTime::currentDateTimeUtc()) < mTimings.sleepYoungChange.count();
}

void SleepGuard::evaluate() {
    const bool young = youngWaiting();
    if (young) {
        // Look again when the newest change stops being young.
        const qint64 left =
            mTimings.sleepYoungChange.count() - mWaiting.newest.msecsTo(QDateTime::currentDateTimeUtc());
        mYouth.start(int(std::clamp<qint64>(left + 1, 1, mTimings.sleepYoungChange.count() + 1)));
    } else {
        mYouth.stop();
    }
    // During an announced sleep the lock is only ever let go: what came too late waits for the wake-up.
    const bool want = young && !mDeadlinePassed && (!mAnnounced || isDelaying());
    if (want)
        hold();
    else
        letGo();
}

void SleepGuard::hold() {
    if (!mInhibitor || mInhibitor->isRequested())
        return;
    mInhibitor->acquire(QString::fromLatin1(Why));
    if (mChanged)
        mChanged();
}

void SleepGuard::letGo() {
    if (!mInhibitor || !mInhibitor->isRequested())
        return;
    mInhibitor->release();
    if (mAnnounced && mDeadlinePassed)
        traceLine(
            QStringLiteral("Sleep or shutdown no longer delayed: %1 changes could not be sent within %2 ms")
                .arg(mWaiting.total())
                .arg(mTimings.sleepDelayMax.count()));
    else if (mAnnounced)
        traceLine(QStringLiteral("Sleep or shutdown no longer delayed: the last changes are sent"));
    if (mChanged)
        mChanged();
}

void SleepGuard::announced(SleepInhibitor::Kind kind, bool starting) {
    const QString what =
        kind == SleepInhibitor::Kind::Sleep ? QStringLiteral("Sleep") : QStringLiteral("Shutdown");
    if (!starting) {
        mAnnounced = false;
        mDeadlinePassed = false;
        mDeadline.stop();
        evaluate();
        return;
    }
    if (mAnnounced)
        return; // a shutdown announced during a sleep's (or the other way round) keeps the first deadline
    mAnnounced = true;
    if (!isDelaying())
        return;
    traceLine(QStringLiteral("%1 announced, sending the %2 waiting changes first (at most %3 ms)")
                  .arg(what)
                  .arg(mWaiting.total())
                  .arg(mTimings.sleepDelayMax.count()));
    mDeadline.start(mTimings.sleepDelayMax);
    if (mSendNow)
        mSendNow();
}
