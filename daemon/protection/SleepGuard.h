#pragma once

#include "PendingChanges.h"
#include "SleepInhibitor.h"
#include "Timings.h"

#include <QObject>
#include <QTimer>

#include <functional>

class RezodeLoger;

// Keeps the last changes from being caught by a sleep or a shutdown. While changes younger than
// Timings::sleepYoungChange wait (and local backup is not paused), it holds the platform's *delay*
// lock on sleep and shutdown; with nothing young waiting it holds none. When the system announces a
// sleep or a shutdown while the lock is held, what waits is sent at once, and the lock goes as soon as
// nothing young waits any more, or Timings::sleepDelayMax after the announcement (an appliance out of
// reach must not keep the machine up); it is not taken again until the system is back. Never a lock
// that blocks: the system's own limit (logind's InhibitDelayMaxSec) caps the wait as well.
//
// Lives on the main thread. Timers run only while young changes wait or an announcement is being
// answered.
class SleepGuard : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* Why = "Sending the last changes to the Zorvik Hollin device";

    // sendNow writes out the collector and starts a backup pass; changed is told whenever the lock is
    // asked for or let go. trace may be null.
    SleepGuard(SleepInhibitor* inhibitor, Timings timings, RezodeLoger* trace, std::function<void()> sendNow,
               std::function<void()> changed);
    ~SleepGuard() override;

    // Listens for the system's announcements.
    void start();
    // What waits now (after every measure).
    void update(const PendingChanges::Snapshot& waiting, bool paused);
    // The lock is asked for or held.
    bool isDelaying() const;
    // A sleep or shutdown was announced and is not over.
    bool isAnnounced() const { return mAnnounced; }

    // The system announced (starting) or ended (!starting) a sleep or shutdown.
    void announced(SleepInhibitor::Kind kind, bool starting);

  private:
    void evaluate();
    bool youngWaiting() const;
    void hold();
    void letGo();
    void traceLine(const QString& line) const;

    SleepInhibitor* mInhibitor;
    Timings mTimings;
    RezodeLoger* mTrace;
    std::function<void()> mSendNow;
    std::function<void()> mChanged;
    PendingChanges::Snapshot mWaiting;
    bool mPaused = false;
    bool mAnnounced = false;
    bool mDeadlinePassed = false;
    QTimer mYouth;    // when the newest waiting change stops being young
    QTimer mDeadline; // sleepDelayMax after an announcement
};
