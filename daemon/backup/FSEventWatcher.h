#pragma once

#include "ChangeCatchUp.h"
#include "DaemonServices.h"
#include "FileSystemEventStream.h"
#include "LinkedNames.h"
#include "PersonScope.h"
#include "UserFileAccess.h"
#include "WatchCoverage.h"

#include <QHash>
#include <QMutex>
#include <QObject>
#include <QThreadPool>
#include <QVariantMap>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

struct stat;

class BackupfileController;
class ExcludeManager;
class MassChangeTripwire;

// Makes the backup continuous: every created, renamed or modified item the disk reports that the
// exclusion rules let pass goes to the change collector; where changes were lost, the folder (or the
// user's home) is backed up again. Batches are handled on a thread pool, several at once. Only what
// is the person's to back up is queued: their own home, and the folders of the initial set outside
// it that they may read; another account's files never reach their backup. The kernel names what
// changed after following links and through the mount it watches; each path is filed under the
// person's own name for it first (PersonScope), which is what the rules, the lists and the appliance
// know. The kernel reports a change under the name it was made through only: a file with more than
// one name (a hard link) written in place through one is owed under every other name of it met in
// the person's folders (LinkedNames).
//
// Each console user's watch keeps a small record in the system support folder: while it runs, the
// process id and the time from which changes may still be only in memory; after a planned exit (every
// restart trigger goes through DaemonRestarter, which first saves what the stream and the collector
// hold) the time the watch stopped covering. The next watch looks for what changed since then
// (ChangeCatchUp) while it already watches: a document saved during a restart, an upgrade or a
// shutdown is sent, and nothing else is sent again. Without a usable record (the first watch after an
// older version, a record that cannot be read) the home is backed up again as after a kernel queue
// overflow.
class FSEventWatcher : public QObject {
    Q_OBJECT
  public:
    FSEventWatcher(DaemonServices services, ExcludeManager* excludeManager, BackupfileController* collector,
                   std::unique_ptr<FileSystemEventStream> stream);
    ~FSEventWatcher() override;

    // Hands the details' "ConsoleUser" to the exclusion rules, which load that user's lists, and
    // takes the person's scope: their home and the readable folders of the initial set.
    void setWithDetails(const QVariantMap& details);
    // Changes of existing files pass the tripwire first (it may hold them); null: none.
    void setTripwire(MassChangeTripwire* tripwire) { mTripwire = tripwire; }
    // Takes the person's scope again from the initial set (after it has been rebuilt).
    void takeScope();
    // Whether path is the person's to back up (see above), under any name the machine shows it by.
    bool isInScope(const QString& path) const;
    // The scope as it stands (it is taken again when the initial set is rebuilt).
    PersonScope scope() const;
    // Starts the stream; false (with a trace line) when the platform refuses it. On success the watch
    // marker is checked and set, and the clean end is registered with the restarter.
    bool startWatcher();
    // The clean end of the watch: waits one latency for what the stream still holds, hands it to the
    // collector, writes the collector out and records when the watch stopped covering the person's
    // folders (left as it was when paths could not be written, or the catch-up had not finished).
    void endWatch();
    // Whether the catch-up of this watch has finished and what it found is written to the lists.
    bool caughtUp() const { return mCaughtUp; }
    // Waits until the catch-up has finished (or there is none).
    void waitForCatchUp();
    // Queues the entries of the console user's home through the exclusion rules; why goes to the trace.
    void backUpHomeAgain(const QString& why);
    // Queues what the name patterns the person took off kept out: every entry of their scope whose
    // name one of them matches and the rules now let pass (a folder whole). Looked for on the pool.
    void lookAgainFor(const QList<QByteArray>& patterns);

    // One batch, in event order.
    void handleFsData(const QList<FileSystemEventStream::Event>& events);
    // Waits until every batch handed over so far is handled.
    void waitForBatches();

    QString backendName() const;
    // What the watch covers now (whole disk, users folder, rescanning after lost events, nothing).
    WatchCoverage& coverage() { return mCoverage; }

  private:
    void processData(QList<FileSystemEventStream::Event> events);
    void queue(const FileSystemEventStream::Event& event);
    void followNames(const FileSystemEventStream::Event& event, const struct stat& st,
                     const std::optional<UserFileAccess::Account>& person);
    void queueOtherName(const QByteArray& native);
    void lookForOtherNames();
    void rescan(const QString& path);
    void beginWatch();
    void catchUp(qint64 sinceMs);
    // A walk of the person's scope with their rules, its stop and the names of linked files set.
    ChangeCatchUp::Walk personsWalk();
    bool writeRecord(const QByteArray& content);
    QString catalogPath() const { return mMarkerPath + QStringLiteral(".folders"); }

    DaemonServices mServices;
    ExcludeManager* mExcludeMngObj;
    QString mConsoleUser;
    std::optional<UserFileAccess::Account> mPerson; // root: whose rights batches are handled with
    mutable QMutex mScopeLock;
    std::shared_ptr<const PersonScope> mScope; // the home and the readable initial-set folders outside it
    BackupfileController* mCollector;
    MassChangeTripwire* mTripwire = nullptr;
    std::unique_ptr<FileSystemEventStream> mFileStream;
    WatchCoverage mCoverage;
    QThreadPool mOperationQueue;
    QString mMarkerPath;      // the watch's record, set while a watch with a record runs
    qint64 mWatchStartMs = 0; // just before the stream started
    std::atomic<bool> mCaughtUp{false};
    std::atomic<bool> mStopCatchUp{false};
    std::thread mCatchUp;
    struct ExitGuard; // lets the exit hook outlive the watcher safely
    std::shared_ptr<ExitGuard> mExitGuard;
    LinkedNames mLinks; // the names of the person's files with more than one
    QMutex mLookLock;
    QHash<LinkedNames::Id, bool> mLookFor; // names to look for; true: queue them once found
    bool mLooking = false;
};
