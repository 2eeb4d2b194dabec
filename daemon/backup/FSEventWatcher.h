#pragma once

#include "DaemonServices.h"
#include "FileSystemEventStream.h"
#include "WatchCoverage.h"

#include <QObject>
#include <QThreadPool>
#include <QVariantMap>

#include <memory>

class BackupfileController;
class ExcludeManager;

// Makes the backup continuous: every created, renamed or modified item the disk reports that the
// exclusion rules let pass goes to the change collector; where changes were lost, the folder (or the
// user's home) is backed up again. Batches are handled on a thread pool, several at once. Only what
// is the person's to back up is queued: their own home, and the folders of the initial set outside
// the users folder that they may read; another account's files never reach their backup.
//
// While it watches, a small marker per console user lies in the system support folder. A planned exit
// (every restart trigger goes through DaemonRestarter) first saves what the stream and the collector
// still hold and then removes it; a marker found when the next watch starts means the last one ended
// without that (killed, crashed, power lost) and what it held in memory is gone, so the home is backed
// up again the way a kernel queue overflow is handled.
class FSEventWatcher : public QObject {
    Q_OBJECT
  public:
    FSEventWatcher(DaemonServices services, ExcludeManager* excludeManager, BackupfileController* collector,
                   std::unique_ptr<FileSystemEventStream> stream);
    ~FSEventWatcher() override;

    // Hands the details' "ConsoleUser" to the exclusion rules, which load that user's lists, and
    // takes the person's scope: their home and the readable folders of the initial set.
    void setWithDetails(const QVariantMap& details);
    // Whether path is the person's to back up (see above).
    bool isInScope(const QString& path) const;
    // Starts the stream; false (with a trace line) when the platform refuses it. On success the watch
    // marker is checked and set, and the clean end is registered with the restarter.
    bool startWatcher();
    // The clean end of the watch: waits one latency for what the stream still holds, hands it to the
    // collector, writes the collector out and removes the marker (kept when paths could not be written).
    void endWatch();
    // Queues the entries of the console user's home through the exclusion rules; why goes to the trace.
    void backUpHomeAgain(const QString& why);

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
    void rescan(const QString& path);
    void beginWatch();

    DaemonServices mServices;
    ExcludeManager* mExcludeMngObj;
    QString mConsoleUser;
    QString mHome;              // the person's home, "" when unknown
    QStringList mSharedFolders; // folders of the initial set outside the users folder the person may read
    BackupfileController* mCollector;
    std::unique_ptr<FileSystemEventStream> mFileStream;
    WatchCoverage mCoverage;
    QThreadPool mOperationQueue;
    QString mMarkerPath; // set while a watch with a marker runs
    struct ExitGuard;    // lets the exit hook outlive the watcher safely
    std::shared_ptr<ExitGuard> mExitGuard;
};
