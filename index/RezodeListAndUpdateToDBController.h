#pragma once

#include "ChildCredentials.h"
#include "DBManager.h"
#include "IndexThrottle.h"
#include "ListingParser.h"
#include "PlatformProfile.h"
#include "RsyncConventions.h"
#include "StallWatch.h"

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class RezodeLoger;

// Keeps the local index in step with the account's area on the appliance: a first-level listing of
// backup/<user>/ collects the per-machine folders, then each folder is listed recursively, one child
// at a time, and every entry goes to the index pipeline. Lives on one thread (the daemon's main
// thread); the child runs asynchronously and the pauses between steps are timers, so that thread
// never blocks. The password reaches rsync in its environment; a child that gets nothing from the
// appliance for the stall time is ended, and the pass goes on as after any failed listing.
class RezodeListAndUpdateToDBController : public QObject {
    Q_OBJECT
  public:
    RezodeListAndUpdateToDBController(const PlatformProfile& profile, RezodeLoger& logger,
                                      const IndexThrottle& throttle = IndexThrottle(),
                                      QObject* parent = nullptr);
    ~RezodeListAndUpdateToDBController() override;

    void setUserName(const QString& name) { mUserName = name; }
    void setUserPasswd(const QString& password) { mUserPasswd = password; }
    void setServerIp(const QString& address) { mServerIp = address; }
    // The user support folder; the index lives in its subfolder named after the account.
    void setDbPath(const QString& path) { mDbPath = path; }
    // The person whose home holds it: the index is reached, and rsync run, with their rights only.
    void setLocalUser(const QString& name);
    // True: the system rsync through "/bin/bash -c"; false: the private rsync started directly.
    void setIsBuiltinRsync(bool builtin) { mIsBuiltinRsync = builtin; }
    void setLaunchPath(const QString& path) { mLaunchPath = path; }
    void setArguments(const QStringList& list) { mArguments = list; }

    QString getServerIp() const { return mServerIp; }
    bool isBuiltinRsync() const { return mIsBuiltinRsync; }
    QString getLaunchPath() const { return mLaunchPath; }
    // A child that gets nothing from the appliance this long is ended (the throttle's timings).
    std::chrono::milliseconds stallTimeout() const { return mTimings.rsyncStallTimeout; }

    // The first-level command, as the backup controller sets it before initialListing(); stall is
    // rsync's own limit on an appliance that stops answering (Timings::rsyncStallTimeout).
    static RsyncConventions::Command firstLevelCommand(bool builtinRsync, const QString& privateRsync,
                                                       const QString& user, const QString& address,
                                                       std::chrono::milliseconds stall);
    // The recursive listing of one per-machine folder (launch path as set).
    QStringList folderLevelArguments(const QString& folder) const;

    // Starts a pass with launchPath and arguments; ignored while a pass runs.
    void initialListing();
    // True from the start of a pass until its last folder has been listed.
    bool isRunning() const;
    // Runs this thread's event loop until the pass has ended.
    void waituntilOperationDone();
    // Kills the running child (signal 9); the pass goes on with the next folder.
    void stopProcess();

    // Back-pressure: while this many lines wait to be read into the index, or the index's intake
    // holds this many records, the child is stopped; it goes on below the low mark.
    static constexpr qsizetype BacklogHighLines = 5000;
    static constexpr qsizetype BacklogLowLines = 1000;
    static constexpr qsizetype IntakeHighRecords = 20000;
    qsizetype pendingLines() const { return mPendingLines.size(); }

    qint64 processId() const { return mProcessId; }
    DBManager& dbManager() { return mDbMangerObject; }

    // An array as the trace shows it: "(\n    a,\n    \"b c\"\n)".
    static QString listDescription(const QStringList& list);

  signals:
    // The pass has ended (folder list exhausted).
    void listingFinished();

  private:
    enum class Stage { FirstLevel, Folder };

    void startTask(Stage stage);
    void readOutput();
    void readErrors();
    void childEnded();
    void processLines();
    void handleLine(const QByteArray& line);
    void after(std::chrono::milliseconds delay, std::function<void()> step);
    // The wait before a listing the busy appliance turned away is tried again.
    std::chrono::milliseconds busyWait(int turnedAway) const;
    void signalChild(int signal);
    void holdChild(bool hold);
    bool backlogIsLarge() const;
    void releaseTask();
    void checkStall();

    void cleanupListDetails();
    void callFolderWiseRecursiveListing();
    void perforFolderRecursiveListing(const QString& folder);
    void startFolderListTask();
    void cleanupFolderListDetails();

    RezodeLoger& mLogger;
    Timings mTimings;
    QString mPrivateRsync;
    QString mSystemSupportFolder; // the mark of the daemon's runs

    QProcess* mTask = nullptr;
    QStringList mArguments;
    QString mLaunchPath;
    bool mIsProcessingStage = false;
    bool mTaskDidTerminate = false;
    qint64 mProcessId = 0;
    QStringList mListingFolderList;
    QString mUserName;
    QString mUserPasswd;
    QString mServerIp;
    QString mDbPath;
    QString mLocalUser;
    std::optional<ChildCredentials> mCredentials;
    PlatformProfile mProfile;
    DBManager mDbMangerObject;
    bool mIsBuiltinRsync = false;

    Stage mStage = Stage::FirstLevel;
    ListingParser mParser;
    QList<QByteArray> mPendingLines;
    int mLinesSincePause = 0;
    bool mChildEnded = false;
    bool mChildHeld = false;
    bool mCleanupScheduled = false;
    bool mTurnedAway = false; // this listing was turned away: the appliance's connections were taken
    int mTurnedAwayInRow = 0;
    QTimer mLineTimer;
    QTimer mStepTimer;
    StallWatch mStallWatch;
    QTimer mStallTimer;
    std::function<void()> mNextStep;
};
