#pragma once

#include "ProtectionState.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

class DesktopNotifier;
class UserDefaults;

// Intervals of the protection watch; tests shorten them.
struct ProtectionTimings {
    using ms = std::chrono::milliseconds;
    ms reread{60000};         // the state file is read again this often besides "PendingStateChanged"
    ms coverageGrace{300000}; // coverage lost this long (rescanning or none) is worth a notification
};

// Follows the daemon's "PendingState.plist" for the application: reads it on "PendingStateChanged" and
// on a slow timer, hands the state to the tooltip and the status window (changed), and tells the person
// on the desktop, once per episode, when changes have waited longer than the threshold while the
// appliance is reachable, when the watch has lost coverage for a while, and when a restore check found
// damaged copies.
class ProtectionMonitor : public QObject {
    Q_OBJECT
  public:
    using Clock = std::function<QDateTime()>;
    using Trace = std::function<void(const QString&)>;

    static constexpr int DefaultWaitMinutes = 60;
    // Key in the user defaults: minutes changes may wait before a notification.
    static constexpr QLatin1String WaitMinutesKey{"PendingWarningMinutes"};

    // defaults may be null (the threshold then lives as long as the object); clock unset is the system
    // clock.
    ProtectionMonitor(QString statePath, UserDefaults* defaults, DesktopNotifier* notifier, Clock clock,
                      ProtectionTimings timings, Trace trace = {}, QObject* parent = nullptr);

    // Whether the local backup is on (logged in with it chosen); nothing is shown or told otherwise.
    void setWatching(bool watching);
    // Whether the appliance is taken to be reachable right now (no backup failing); unset: always.
    void setReachable(std::function<bool()> reachable) { mReachable = std::move(reachable); }

    // Reads the file again and looks at what it says ("PendingStateChanged", the timer).
    void reload();
    // "RestoreCheckFailed": reads the file and tells how many files differ.
    void restoreCheckFailed();
    // What the person can do about changes the mass-change tripwire holds: look at them, let them go.
    void setHeldActions(std::function<void()> showFiles, std::function<void()> letGo) {
        mShowHeld = std::move(showFiles);
        mLetHeldGo = std::move(letGo);
    }

    int waitMinutes() const;
    void setWaitMinutes(int minutes);

    bool watching() const { return mWatching; }
    const ProtectionState& state() const { return mState; }
    // What the status window shows (empty, known false, while not watching).
    ProtectionView view() const;
    // The tooltip's line: "" while not watching or before the daemon wrote its state.
    QString toolTipLine() const;
    QString statePath() const { return mPath; }

  signals:
    void changed();

  private:
    QDateTime now() const;
    void notify(const QString& summary, const QString& body);
    void lookAtWaiting();
    void lookAtCoverage();
    void lookAtHeld();

    QString mPath;
    UserDefaults* mDefaults;
    DesktopNotifier* mNotifier;
    Clock mClock;
    ProtectionTimings mTimings;
    Trace mTrace;
    std::function<bool()> mReachable;
    std::function<void()> mShowHeld, mLetHeldGo;
    QDateTime mToldHeldSince; // the tripping already told
    int mMemoryMinutes = 0;   // the threshold when there are no defaults
    QTimer mTimer;
    bool mWatching = false;
    ProtectionState mState;
    ProtectionView mShown;
    bool mToldWaiting = false;  // this episode of changes waiting too long was told
    bool mToldCoverage = false; // this episode of lost coverage was told
    QDateTime mCoverageLostSince;
};
