#pragma once

#include "DaemonServices.h"
#include "FilePathsController.h"
#include "RateLimitedTrace.h"

#include <QMutex>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>

// The change collector: gathers changed paths from any thread and, every few seconds, writes them
// as timestamped list files of at most 1000 paths into the backup list folder, where the backup
// controller takes them. It also queues the initial backup set and carries out "Reinitialize".
class BackupfileController : public QObject {
    Q_OBJECT
  public:
    static constexpr int PathsPerListFile = 1000;

    // consoleUser: whose lists it writes until initBackupfileController() names the person (tests
    // that only flush name them here).
    explicit BackupfileController(DaemonServices services, const QString& consoleUser = QString());
    ~BackupfileController() override;

    // Set-up for the console user: list folder, collector thread, observers, unfinished initial backup.
    void initBackupfileController(const QString& consoleUser);

    // Queues one changed path; a null path is ignored and one below "/private/" dropped.
    void addBackupFiles(const QString& path);
    // Queues the whole initial backup list and sets the "initalSetReady.txt" marker.
    void writeInitialBackupList();
    // Hears "Reinitialize" for the user at the screen from now on (once per process). The daemon calls
    // it as soon as it serves a console user, whatever the account's state: the application posts it
    // right after a new account's log-in, before the person has chosen a backup type.
    void observeReinitialize(const QString& consoleUser);
    void receiveReinitializeNotification();
    // "BackupNow" from the application: queues the path (see Protocol::BackupNow); false when refused.
    bool receiveBackupNowNotification(const QVariantMap& userInfo);

    // One flush: writes what has gathered. Runs on the collector thread, and before a planned exit.
    // False when paths could not be written (they wait in memory for the next flush).
    bool timerFireMethod();
    // Writes paths as list files "<folder>/<stem>_<k>"; paths of a file that cannot be written go back
    // to the pending set. Returns the number of files written.
    int writeFilesEntryAtPath(const QString& progressPath, const QStringList& paths);

    int pendingCount() const;
    // The paths waiting in memory, and when the first and the last of them arrived (ms since the
    // epoch, 0 when none wait).
    struct Pending {
        int count = 0;
        qint64 firstAddedMs = 0;
        qint64 lastAddedMs = 0;
    };
    Pending pending() const;
    // Told (on the adding thread, under the collector's lock, so it must only take note) whenever
    // paths arrive, and after each flush. Null to stop.
    void setPendingObserver(std::function<void()> observer);
    // "yyyy-MM-dd HH-mm-ss-SSS" of now, the stem of a list file name.
    static QString listFileStem(const QDateTime& when);

  private:
    DaemonServices mServices;
    FilePathsController mAppSupportFilePathsObjct;
    mutable QMutex mBLock;
    QSet<QString> mBackupFilesCollection;
    qint64 mFirstAddedMs = 0; // when the oldest path in the set arrived
    qint64 mLastAddedMs = 0;
    qint64 mFlushFirstAddedMs = 0; // of the paths the running flush took; its list files carry it
    qint64 mFlushLastAddedMs = 0;
    int mFlushing = 0; // paths the running flush took that are in no list in place yet
    std::function<void()> mPendingObserver;
    QMutex mFlushLock; // one flush at a time: the timer's or the last one before an exit
    bool mReinitializeObserved = false;
    RateLimitedTrace mBackupNowRefusals; // a refusal is the person's doing: at most a line a minute
    std::unique_ptr<QThread> mCollectorThread;
};
