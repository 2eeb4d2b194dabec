#pragma once

#include "DaemonServices.h"
#include "StallWatch.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class BackupfileController;

// The files the backup sent lately, with when each was sent and last checked: the pool the restore
// check draws its sample from. Filled from the backup's parsing thread, read on the main thread; kept
// in the account folder ("RecentlySent.txt", the person's, 0600: lines "<sent ms>\t<checked ms>\t<path>").
class RecentlySent {
  public:
    static constexpr int MaxFiles = 2000; // the most recently sent are kept
    static constexpr const char* FileName = "RecentlySent.txt";

    struct File {
        QString path; // absolute local path
        qint64 sentMs = 0;
        qint64 checkedMs = 0;
    };

    // A file rsync reported as sent, by its name below "/" (any thread). Folders are not kept.
    void sent(const QString& rsyncName, qint64 nowMs);
    void checked(const QString& path, qint64 nowMs);
    void forget(const QString& path);
    QList<File> files() const;
    int size() const;

    // Takes dirty (true once after any change).
    bool takeDirty();
    // Told (on the sending thread, under the record's lock: only take note) after each file sent.
    void setNotifier(std::function<void()> notifier);
    QByteArray serialize() const;
    void load(const QByteArray& text);

  private:
    void prune();

    mutable QMutex mLock;
    QHash<QString, File> mFiles;
    bool mDirty = false;
    std::function<void()> mNotifier;
};

// Checks now and then that what was sent can be restored: a rotating sample of the files sent lately
// (at most 50 files and 500 MB a check, the least recently checked first) is compared, as the person,
// with its copy in the newest snapshot on the appliance by rsync's checksums in dry-run mode
// (rsync -n -c -ii, nothing is written). Only files sent before that snapshot was taken (by the time in
// its name) are in the sample; a file changed locally since it was sent, or gone, is skipped, not a
// failure. A copy that differs or is missing is a failure: a session-log line names the file, the file
// is queued to be sent again, and "RestoreCheckFailed" is posted. Once a day (the last check's time is
// kept in the state file, so restarts do not reset it) and whenever the person asks ("VerifyRestorable").
class RestoreVerifier : public QObject {
    Q_OBJECT
  public:
    static constexpr int MaxFiles = 50;
    static constexpr qint64 MaxBytes = 500ll * 1000 * 1000;

    struct Outcome {
        QString state; // Protocol::PendingState::Verify… ("" never ran)
        QString reason;
        QDateTime attempted; // UTC
        QDateTime verified;  // UTC, the last check that compared files
        QString snapshot;
        int files = 0;
        int skipped = 0;
        int failed = 0;
        QStringList failures;
        QString text() const; // "Verified restorable on <date>: <n> files", or what went wrong
    };

    RestoreVerifier(DaemonServices services, BackupfileController* collector, QObject* parent = nullptr);
    ~RestoreVerifier() override;

    // Set-up for the console user: loads the record of files sent and schedules the next check from
    // the outcome the state file kept (previous, as read from it).
    void start(const QString& consoleUser, const QVariantMap& previous);
    // Starts a check now, unless one runs. False when one runs.
    bool checkNow();
    bool isRunning() const { return mStep != Step::Idle; }

    Outcome outcome() const { return mOutcome; }
    // Told (main thread) when the outcome changes.
    void setChangeHandler(std::function<void()> handler) { mChanged = std::move(handler); }

    // The record sent files go to (any thread may add to it).
    std::shared_ptr<RecentlySent> record() const { return mRecord; }
    // Saves the record now, if it changed.
    void saveRecord();
    // Asks for a save of the record a while from now (any thread).
    void noteSent();

    // Time in a snapshot name "<prefix>-yyyyMMdd.HHmm-<suffix>", local time; invalid without one.
    static QDateTime snapshotTime(const QString& name);
    // "<itemize> <name>" lines of rsync -ii: name → whether the file is identical (nullopt: not a file line).
    static std::optional<bool> identical(const QString& itemize);

  private:
    enum class Step { Idle, Listing, Comparing };
    struct Sampled {
        QString path;
        qint64 modifiedMs = 0;
    };

    void schedule(const QDateTime& when);
    void listSnapshots();
    void snapshotsListed();
    void compare(const QString& snapshot, const QDateTime& taken);
    void compared();
    void finish(const QString& state, const QString& reason);
    QProcess* startRsync(const QStringList& arguments);
    // The rsync the check runs (the system's), and the options it takes from what that rsync knows.
    static QString rsyncProgram();
    QStringList rsyncOptions() const;
    void ended(); // the running rsync is done (or failed to start)
    QString recordPath() const;
    QVariantMap readAccount() const;
    void tell();

    DaemonServices mServices;
    BackupfileController* mCollector;
    QString mConsoleUser;
    QString mAccount;
    std::shared_ptr<RecentlySent> mRecord = std::make_shared<RecentlySent>();
    struct ExitGuard; // lets the restarter's hook outlive the verifier safely
    std::shared_ptr<ExitGuard> mExitGuard;
    std::atomic<bool> mSavePending{false};
    QTimer mSaveTimer;
    QTimer mNextCheck;
    QTimer mTimeout;
    // An rsync that gets nothing from the appliance for the stall time is ended at once, not after
    // the check's whole allowance.
    StallWatch mStallWatch;
    QTimer mStallTimer;
    Step mStep = Step::Idle;
    QPointer<QProcess> mProcess;
    QByteArray mOutput, mErrors;
    QVariantMap mDetails; // account, password, address of the running check
    QString mSnapshot;
    QList<Sampled> mSample;
    int mSkipped = 0;
    Outcome mOutcome;
    std::function<void()> mChanged;
};
