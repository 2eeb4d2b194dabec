#pragma once

#include "DaemonServices.h"
#include "FilePathsController.h"
#include "RSyncBackupManager.h"

#include <Protocol.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

class ExcludeManager;
class RezodeListAndUpdateToDBController;

// The backup controller of the logged-in user: every few seconds it takes the pending backup lists
// and starts a run of the backup manager, turns each event of the run into a "Progress"
// notification (posted from the main thread, in order), obeys the user's pause switch, and starts
// the listing of the appliance into the local index every 12 hours and after the initial backup.
class ReadController : public QObject, public RSyncBackupManagerDelegate {
    Q_OBJECT
  public:
    static constexpr int ListsPerPassWhenMany = 10;
    static constexpr int ManyLists = 15;
    // Key of the set-up dictionary.
    static constexpr const char* ConsoleUserKey = "ConsoleUser";
    // The live figures of a run are posted at most this often, always the newest: a run reports
    // files faster than anybody reads them, and a post per file cost the daemon as much as the
    // transfer itself.
    static constexpr std::chrono::milliseconds FiguresInterval{100};

    // excludes may be null; without a lister the controller makes its own.
    ReadController(DaemonServices services, const ExcludeManager* excludes,
                   RezodeListAndUpdateToDBController* lister = nullptr, QObject* parent = nullptr);
    ~ReadController() override;

    // Set-up for {"ConsoleUser": name}: backup manager, rsync choice, pause state, the pass and listing
    // timers, the "LogIn" and "PauseState" observers. Timers run on the calling thread.
    void initReaderController(const QVariantMap& details);

    // One pass: unless paused, take pending lists into a run and remove the read ones.
    void ReadOperation();
    void readBackupFiles();
    QStringList readFileFor(const QStringList& listing);
    void deleteReadBackupFile();
    void StartBackupForPath(const QStringList& paths);

    // Ends the run under way, its paths owed to the next one: a run that began before new exclusions
    // (what the mass-change tripwire holds) may be sending a folder whole with them inside.
    void restartRunUnderWay();

    void receiveTestNotification(const QVariantMap& userInfo);
    void receivePauseNotification(const QVariantMap& userInfo);
    void startListingDailyOnceUpdateToDatabase();

    // Delegate of the backup manager.
    void operationDidStart(RSyncBackupManager* manager) override;
    void operationDidReceiveData(const QVariantMap& progress) override;
    void operationDidReceiveErrors(const QString& errors, const QString& file) override;
    void operationDidFailWithError(const QString& text) override;
    void quotaExceded(RSyncBackupManager* manager) override;
    void operationDidCancel(RSyncBackupManager* manager) override;
    void initialBackupFinished(RSyncBackupManager* manager) override;
    void operationDidFinishSuccessfully(RSyncBackupManager* manager) override;
    void serverAddressDidChange(const QString& address) override;

    RSyncBackupManager& backupManager() { return *mRSyncBackupManager; }
    RezodeListAndUpdateToDBController& lister() { return *mListingObject; }
    bool isPaused() const { return mPause; }
    QVariantMap cachedUserInfo() const;

  private:
    // personal: the payload names the person's files (figures, error texts), so only the person's
    // processes receive it; the bare notifications go to everybody.
    void postProgress(const QVariantMap& userInfo,
                      int options = Protocol::PostDeliverImmediatelyToAllSessions, bool personal = false);
    // The newest figures, posted within FiguresInterval and before any other post that follows them.
    void postFigures(const QVariantMap& figures);
    // Under mPostLock: queue the figures not posted yet.
    void queuePendingFigures();
    // Under mPostLock: queue one post to the main thread.
    void queuePost(const QVariantMap& userInfo, int options, bool personal);
    void startListing(bool fromTimer);
    void postBackupStarts();
    QString path(int index) const { return mAppSupportFilePathsObjct.pathForApplicationFile(index); }
    // The user's account record, read with the user's rights.
    QVariantMap readUserDetails() const;

    DaemonServices mServices;
    const ExcludeManager* mExcludes;
    QTimer mReadOperationTimer;
    QTimer mListingTimer;
    FilePathsController mAppSupportFilePathsObjct;
    std::unique_ptr<RSyncBackupManager> mRSyncBackupManager;
    mutable QMutex mLock;            // the controller's monitor
    std::optional<uint> mConsoleUid; // whose processes hear the personal notifications
    QVariantMap mUserInfoDic;
    bool mDeleteRunning = false;
    QDateTime mTakenOldest, mTakenNewest; // the times of the lists the last reading took
    bool mPause = false;
    // The run under way was not announced (it followed a failure the application was told of): its
    // first figures announce it. Set on the pass timer's thread, taken on the parsing thread.
    std::atomic<bool> mStartOwed{false};
    std::unique_ptr<RezodeListAndUpdateToDBController> mOwnLister;
    RezodeListAndUpdateToDBController* mListingObject;
    std::shared_ptr<std::atomic<bool>> mAlive;
    // Posts are queued under this lock, so that they leave in the order of the events.
    QMutex mPostLock;
    std::optional<QVariantMap> mPendingFigures; // figures not posted yet
    bool mFiguresFlushScheduled = false;
    QElapsedTimer mLastFiguresPost;
};
