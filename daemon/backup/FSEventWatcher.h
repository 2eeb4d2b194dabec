#pragma once

#include "DaemonServices.h"
#include "FileSystemEventStream.h"

#include <QObject>
#include <QThreadPool>
#include <QVariantMap>

#include <memory>

class BackupfileController;
class ExcludeManager;

// Makes the backup continuous: every created, renamed or modified item the disk reports that the
// exclusion rules let pass goes to the change collector; where changes were lost, the folder (or the
// user's home) is backed up again. Batches are handled on a thread pool, several at once.
class FSEventWatcher : public QObject {
    Q_OBJECT
  public:
    FSEventWatcher(DaemonServices services, ExcludeManager* excludeManager, BackupfileController* collector,
                   std::unique_ptr<FileSystemEventStream> stream);
    ~FSEventWatcher() override;

    // Hands the details' "ConsoleUser" to the exclusion rules, which load that user's lists.
    void setWithDetails(const QVariantMap& details);
    // Starts the stream; false (with a trace line) when the platform refuses it.
    bool startWatcher();

    // One batch, in event order.
    void handleFsData(const QList<FileSystemEventStream::Event>& events);
    // Waits until every batch handed over so far is handled.
    void waitForBatches();

    QString backendName() const;

  private:
    void processData(QList<FileSystemEventStream::Event> events);
    void queue(const FileSystemEventStream::Event& event);
    void rescan(const QString& path);

    DaemonServices mServices;
    ExcludeManager* mExcludeMngObj;
    QString mConsoleUser;
    BackupfileController* mCollector;
    std::unique_ptr<FileSystemEventStream> mFileStream;
    QThreadPool mOperationQueue;
};
