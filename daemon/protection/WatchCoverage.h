#pragma once

#include "FileSystemEventStream.h"

#include <QDateTime>
#include <QMutex>
#include <QString>

#include <functional>

// What the file-system watch covers, as the person should know it: the whole disk, the users folder
// (and how many folders in it), events lost and a rescan under way since when, or nothing (and why).
// FSEventWatcher feeds it from the stream's thread and its pool; anyone may read it.
//
// A loss and its rescan are matched by generation: every loss report counts one up, and a batch that
// asks for a rescan (MustScanSubDirs with KernelDropped) carries the count it saw when it arrived. The
// stream reports a loss before it hands over the batch with the rescan, both on its thread, so once that
// batch has been handled every loss up to its count has been looked at again.
class WatchCoverage {
  public:
    enum class State {
        None,       // not watching: reason says why
        Disk,       // every local file system
        Users,      // the users folder, folder by folder (reason: why not the disk)
        Rescanning, // events were lost at lostSince (or no watch ran since then): what changed is being
                    // queued again
    };
    struct Snapshot {
        State state = State::None;
        QString backend;
        QString folder;
        qint64 folders = 0;
        qint64 fileSystems = 0;
        bool limited = false;
        QDateTime lostSince; // UTC, valid only when Rescanning
        QString reason;
    };

    // The stream has started (it must outlive the coverage's use of it), or could not.
    void watching(const FileSystemEventStream* stream);
    void notWatching(const QString& reason);

    // On the stream's thread, in its order.
    void report(const FileSystemEventStream::Report& report);
    // Changes made while no watch ran (since when) are being looked for; until caughtUp() the watch
    // does not cover everything yet.
    void catchingUp(const QDateTime& since, const QString& why);
    void caughtUp();
    // The generation of losses the batch looks at again; 0 when it asks for no rescan after a loss.
    quint64 batchArrived(const QList<FileSystemEventStream::Event>& events);
    // The batch that carried generation has been handled: what it named is queued again.
    void rescanned(quint64 generation);

    Snapshot snapshot() const;
    // Told (on any thread, briefly) whenever the state changes; must only take note. Null to stop.
    void setObserver(std::function<void()> observer);

  private:
    void changed();

    mutable QMutex mLock;
    const FileSystemEventStream* mStream = nullptr;
    bool mWatching = false;
    QString mReason;
    QString mLossMessage;
    quint64 mLossGeneration = 0;
    quint64 mRescannedGeneration = 0;
    QDateTime mLostSince;
    QDateTime mCatchUpSince;
    QString mCatchUpReason;
    std::function<void()> mObserver;
};
