#pragma once

#include "DaemonServices.h"
#include "PendingChanges.h"
#include "RateLimitedTrace.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <atomic>
#include <memory>

class BackupfileController;
class MassChangeTripwire;
class ReadController;
class RestoreVerifier;
class SleepGuard;
class WatchCoverage;

// "Protection you can see": keeps, for the account served, what is not yet safe on the appliance
// (PendingChanges), what the watch covers (WatchCoverage), whether sleep and shutdown wait for the last
// changes (SleepGuard) and the outcome of the restore check (RestoreVerifier) in "PendingState.plist"
// in the user support folder, the person's own file, and posts "PendingStateChanged" (bare) after
// each rewrite. The file is rewritten only when something in it changed,
// at most once per Timings::pendingStateMinInterval; the components only note that something
// changed, and nothing runs while nothing does.
//
// Built by the per-user controller on the main thread once the collector, the watcher and the
// backup controller are set up.
class ProtectionMonitor : public QObject {
    Q_OBJECT
  public:
    struct Parts {
        BackupfileController* collector = nullptr;
        ReadController* backupController = nullptr; // may be null: nothing is being sent
        WatchCoverage* coverage = nullptr;          // may be null: no watcher
        MassChangeTripwire* tripwire = nullptr;     // may be null: nothing is held
    };

    ProtectionMonitor(DaemonServices services, Parts parts, QObject* parent = nullptr);
    ~ProtectionMonitor() override;

    void start(const QString& consoleUser);

    // Something changed (any thread): the state is measured and written soon.
    void noteChange();
    // Measures and writes now (when anything changed).
    void refresh();

    QString stateFilePath() const;
    // The dictionary the file holds (as last written).
    QVariantMap state() const { return mWritten; }
    RestoreVerifier& verifier() { return *mVerifier; }
    SleepGuard* sleepGuard() { return mSleepGuard.get(); }

  private:
    void scheduleRefresh();
    QVariantMap compose(const PendingChanges::Snapshot& waiting) const;
    bool write(const QVariantMap& state);

    DaemonServices mServices;
    Parts mParts;
    QString mConsoleUser;
    std::unique_ptr<PendingChanges> mPending;
    std::unique_ptr<RestoreVerifier> mVerifier;
    std::unique_ptr<SleepGuard> mSleepGuard;
    std::atomic<bool> mChangeNoted{false};
    QTimer mRefreshTimer;
    QDateTime mLastRefresh;
    QVariantMap mWritten;
    bool mWriteFailureTold = false;
    QElapsedTimer mCheckAsked;       // when the person last asked for a restore check
    RateLimitedTrace mCheckRefusals; // asked too often: at most a line a minute
};
