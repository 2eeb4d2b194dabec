#pragma once

#include "BackupRunDecision.h"
#include "DBManager.h"
#include "DaemonServices.h"
#include "FilePathsController.h"
#include "FreeNasCommandExecuter.h"
#include "RsyncConventions.h"
#include "RsyncOutputParser.h"
#include "UserFileAccess.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

class ExcludeManager;
class RSyncBackupManager;

// What the backup controller hears about a run.
class RSyncBackupManagerDelegate {
  public:
    virtual ~RSyncBackupManagerDelegate() = default;
    virtual void operationDidStart(RSyncBackupManager* manager) = 0;
    // May arrive on the parsing thread of the system rsync.
    virtual void operationDidReceiveData(const QVariantMap& progress) = 0;
    virtual void operationDidReceiveErrors(const QString& errors, const QString& file) = 0;
    virtual void operationDidFailWithError(const QString& text) = 0;
    virtual void quotaExceded(RSyncBackupManager* manager) = 0;
    virtual void operationDidCancel(RSyncBackupManager* manager) = 0;
    virtual void initialBackupFinished(RSyncBackupManager* manager) = 0;
    virtual void operationDidFinishSuccessfully(RSyncBackupManager* manager) = 0;
    // The address check found the appliance at a new address; later runs must use it.
    virtual void serverAddressDidChange(const QString& address) { Q_UNUSED(address) }
};

// Carries out one backup run: drops excluded paths, cuts the rest into set files of at most 998
// paths (5 during the initial backup) and sends them one after another with rsync through its one
// engine. Standard output becomes progress, standard error decides between per-file errors, network
// retries, a full appliance and plain failure; a stopped or failed run puts its paths back into
// "remainingFiles". Lives on the thread that runs it (the daemon's main thread).
class RSyncBackupManager : public QObject, public FreeNasCommandExecuterController {
    Q_OBJECT
  public:
    static constexpr int MaxPathsPerSet = 998;
    static constexpr int InitialBackupPathsPerSet = 5;
    static constexpr int MaxRetries = 10;
    // The largest list of paths read: a set holds at most 998, what a run owes may hold a whole
    // home's. A larger one stays where it is, with a trace line.
    static constexpr qint64 MaxListBytes = 512ll << 20;
    static constexpr int FirstRetries = 3;
    // rsync's output is taken in batches this long: each batch costs a session-log write and a look
    // at the markers, which a batch of a few lines paid per file.
    static constexpr std::chrono::milliseconds OutputBatchInterval{20};

    // excludes may be null (nothing is excluded).
    RSyncBackupManager(DaemonServices services, const ExcludeManager* excludes, QObject* parent = nullptr);
    ~RSyncBackupManager() override;

    // Set-up, in this order.
    void initializeApplicationSupportPaths(const QString& consoleUser, const QString& applianceUser);
    void setMDestinationPath(const QString& path) { mDestinationPath = path; }
    void setDelegate(RSyncBackupManagerDelegate* d) { mDelegate = d; }
    void setIsBuiltinRsync(bool builtin) { mIsBuiltinRsync = builtin; }

    // Per run.
    void setFileSetForOperation(const QStringList& paths);
    QStringList fileSetForOperation() const { return mFileSetForOperation; }
    void setMUserDetails(const QVariantMap& details) { mUserDetails = details; }
    void setMBackupExecutorPath(const QString& path) { mBackupExecutorPath = path; }
    void startBackup();
    void StopOnGoingBackup();

    bool mIsRunning() const { return mIsRunningFlag.load(); }
    // A run that failed (or stopped on a full appliance) is not followed by another one before the
    // retry schedule's next step: 60 s after the first failed run in a row, then 120 s. After the
    // appliance refused the password, none follows before the refused password's wait is over (a
    // minute, doubling with each refusal in a row up to half an hour), unless the account record holds
    // another password or the person logged in (accountLoggedIn).
    bool isBackingOff();
    // The person logged in in the application: its check has just been let in by the appliance, so
    // nothing holds the next run back any more, and the application, which starts its view over at a
    // log-in, hears of a failure again.
    void accountLoggedIn();
    // The application no longer shows the failure it was told of (it showed a pause, a cancelled or an
    // empty run since): a failure that persists is told again.
    void forgetToldFailure();
    // Whether the run about to start is to be announced to the application. Not after a failure it
    // was told of and no success since: such a run may only meet the same failure again, and the
    // application keeps showing the truth; the run's first figures announce it then.
    bool announceRun();
    // Paths owed to the appliance that could not be written back to the list folder yet (local disk
    // full); tried again on every pass. True when nothing is owed any more.
    bool flushOwedPaths();
    bool isIntialBackuprunning() const;
    int backupFailureCount() const { return mFailureCount; }

    // What the run owes the appliance, for whoever tells the person what is not yet safe (main
    // thread). The run's lists were queued between these two times (as the controller found them).
    void setQueuedTimes(const QDateTime& oldest, const QDateTime& newest);
    // Paths of the run under way in sets not yet sent (0 without a run).
    int pathsNotYetSent() const;
    QDateTime runQueuedOldest() const { return mRunOldest; }
    QDateTime runQueuedNewest() const { return mRunNewest; }
    // Paths owed that could not be written back to the list folder yet, and since when.
    int owedPathCount() const { return int(mOwedPaths.size()); }
    QDateTime owedSince() const { return mOwedSince; }
    // Told on the manager's thread whenever that changes: a run starts, a set is sent, a run ends,
    // owed paths are written back. Null to stop.
    void setStateObserver(std::function<void()> observer) { mStateObserver = std::move(observer); }
    // Told of every file rsync reported as sent, by its path below "/" as rsync names it; on the
    // parsing thread for the system rsync. Null to stop (only while no run is under way).
    void setSentObserver(std::function<void(const QString&)> observer) {
        mSentObserver = std::move(observer);
    }

    // Engine callbacks.
    void updateProgress(const QString& text, FreeNasCommandExecuter* engine) override;
    void getError(const QString& text, FreeNasCommandExecuter* engine) override;
    void processFinishedOfEngine(FreeNasCommandExecuter* engine) override;

    // Steps of a run, public so that the controller and tests can drive them.
    void ExecuteBackup();
    void writeBackupFilesListToRsyncInputFile(QStringList& paths);
    void writeBackupSetList(const QStringList& batch, int fileCount, int startEngine);
    void RSyncfireBackupProcessForEngine(const QStringList& engineAndSetFile);
    void RsyncProcessLoadsharing(FreeNasCommandExecuter* engine);
    bool continueBackupEngine(FreeNasCommandExecuter* engine);
    void RetryEnginOne(FreeNasCommandExecuter* engine);
    void AddTheCurrentBackupSetIntoArray();
    QString fetchIP();
    bool addBackupToTimeMachineList(const QString& sharePath);
    void createTempFilePaths();
    void removeTempFilePaths();

    // The command line of a set, from the current details and "SourceA".
    RsyncConventions::Command backupCommand() const;
    // The details as the trace shows them, with the password masked.
    static QString maskedDescription(const QVariantMap& details);

    // Observation for the controller and for tests.
    FreeNasCommandExecuter* engine() const { return mEngineOne.get(); }
    DBManager& dbManager() { return mDbManagerObj; }
    const FilePathsController& paths() const { return *mAppSupportFilePathsObjct; }
    int backupsetFileCount() const { return mBackupsetFileCount; }
    // The delays scheduled for retries in the current run, in order.
    QList<std::chrono::milliseconds> scheduledRetryDelays() const { return mScheduledRetryDelays; }
    QString setFilePath(int number) const;
    // Blocks until the output queued for parsing so far has been parsed.
    void waitForParsing();

  private:
    void launchCurrentSet();
    bool setSourceFileContents(const QString& setFile);
    void loadUploadingFileList();
    void parseOutputChunk(const QString& text, bool builtin, const QStringList& setPaths);
    // Parses the whole lines of output taken since the last batch.
    void parsePendingOutput();
    void deliver(const QList<RsyncOutputParser::Event>& events);
    void handleErrorText(const QString& text, FreeNasCommandExecuter* engine);
    void checkServerAddress();
    // The one end of a run: trace, re-queue, clean-up, back-off and the report, by outcome.
    void endRun(BackupRunDecision::Outcome outcome, const QString& text);
    void traceRunEnd(BackupRunDecision::Outcome outcome, const QString& text);
    void settleRunEnd(BackupRunDecision::Outcome outcome);
    void tellRunEnd(BackupRunDecision::Outcome outcome, const QString& text);
    void flushSetOutput(FreeNasCommandExecuter* engine);
    void reportFailure(const QString& text, const QString& key = QString());
    // Whether a failure known by key is to be told now (and, if so, records it as told).
    bool tellFailure(const QString& key);
    // An initial backup that was under way has ended: its marker goes and the delegate hears of it.
    void endInitialBackup();
    // The run's password is forgotten when the run ends.
    void forgetPassword();
    // The appliance could not be reached, or stopped answering: told once, the address checked, the
    // set retried.
    void networkFailure(const QString& text, FreeNasCommandExecuter* engine);
    // The user's account record, read and written with the user's rights.
    QVariantMap readUserDetails() const;
    bool writeUserDetails(const QVariantMap& details) const;
    QStringList requeuePaths() const;
    void tellState() const {
        if (mStateObserver)
            mStateObserver();
    }
    static QByteArray passwordFingerprint(const QVariantMap& details);

    DaemonServices mServices;
    const ExcludeManager* mExcludes;

    RSyncBackupManagerDelegate* mDelegate = nullptr;
    std::unique_ptr<FreeNasCommandExecuter> mEngineOne;
    std::unique_ptr<FilePathsController> mAppSupportFilePathsObjct;
    DBManager mDbManagerObj;
    QStringList mFileSetForOperation;
    QString mBackupExecutorPath;
    QStringList mSelectedFilePaths;
    QString mDestinationPath;
    QString mBackupTempSourceFilePath;
    QStringList mUploadingFileList;
    int mBackupsetFileCount = 0;
    bool mIsEngine1Started = false;
    QString mSourceA;
    QVariantMap mUserDetails;
    int mBackupsetCountOnTheFly = -1;
    std::atomic<bool> mIsRunningFlag{false};
    bool mIsBackupCanceld = false;
    bool mIsQuotaExceded = false;
    bool mEngineOneRetryFlag = false;
    bool mApplianceBusy = false;   // the set was turned away: no connection free on the appliance
    bool mPasswordRefused = false; // the set was refused: the password is not the account's
    int mTurnedAwayInRow = 0;
    std::atomic<bool> mIsInitalBackupList{false};
    int mRetryCountEngine1 = 0;
    int mFailureCount = 0;
    std::atomic<bool> mIsBuiltinRsync{false};

    // Progress counters and their parser; serialised by mParseLock (the parser thread and stops).
    mutable QMutex mParseLock;
    RsyncOutputParser mParser;

    // What one set has said so far, for the end-of-set decision.
    LineJoiner mOutJoiner;
    LineJoiner mErrJoiner;
    QString mPendingOutput; // whole lines waiting for the next batch
    QTimer mOutputTimer;
    QString mSetErrors;
    // The paths of the run after exclusion, owed until it finishes; paths that could not be written
    // back yet; the failures of the runs before.
    QStringList mRunPaths;
    QStringList mOwedPaths;
    QDateTime mRunOldest, mRunNewest; // when the run's changes were queued
    QDateTime mOwedSince;             // the oldest change among mOwedPaths
    std::function<void()> mStateObserver;
    std::function<void(const QString&)> mSentObserver;
    QString mLastReportedFailure;
    // Since the last failure it was told of, the application heard that a backup is under way (a
    // run's start or figures, the latter from the parsing thread).
    std::atomic<bool> mToldUnderWay{false};
    int mFailedRunsInRow = 0;
    QDeadlineTimer mNextRunAllowed;
    QByteArray mRunPassword;     // a fingerprint of the password the run was given
    QString mRunSecret;          // the password itself, for the run's rsync (never written anywhere)
    QByteArray mRefusedPassword; // that of the refused password, while no run may start
    QDeadlineTimer mRefusedRetryAllowed;
    int mRefusedInRow = 0; // refusals since the appliance last let the account in
    // The console user's account rsync runs as (root daemon only).
    std::optional<UserFileAccess::Account> mAccount;
    int mSetFileErrors = 0;

    QString mApplianceHostName; // the deployment's name of the appliance, which the address check pings
    QString mScratchFolder;
    QTimer mRetryTimer;
    QTimer mNextSetTimer;
    QList<std::chrono::milliseconds> mScheduledRetryDelays;

    // System-rsync output is parsed here, one chunk after the other.
    QThread mParserThread;
    QObject* mParserContext = nullptr;
    // Time Machine re-pointing threads, joined on destruction.
    std::vector<std::thread> mTimeMachineThreads;
};
