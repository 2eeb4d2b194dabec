#pragma once

#include "IndexThrottle.h"
#include "UserFileAccess.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QThread;
class QTimer;

// The write path of the local index. Producers drop entries into two intakes and never wait for the
// database; an updater thread wakes every indexUpdateInterval, writes what has gathered into a fresh
// delta, then merges every finished delta of the account folder into the master. Merges of all
// instances bound to one folder are serialised, so two producers never merge one delta twice.
class DBManager {
  public:
    using MachineNameSource = std::function<QString()>;

    // Keys of setWithDetails and of listing records.
    static const QString DbPathKey;    // "DbPath"
    static const QString UserKey;      // "user"
    static const QString PathKey;      // "path"
    static const QString LmdKey;       // "lmd"
    static const QString SizeKey;      // "size"
    static const QString StateKey;     // "state"
    static const QString LocalUserKey; // "localUser": the local account whose home holds DbPath

    // Uploaded paths held in memory at most (about): the index takes 100 a second with the standard
    // pauses, a first backup reports thousands, so the rest waits on disk, in the account folder, in
    // a spool of this instance's own ("<user>.<tag>.pending", one path a line), read back in batches.
    static constexpr qsizetype IntakeSpillThreshold = 20000;
    static constexpr qsizetype SpoolBatch = 10000;
    static const QString SpoolSuffix; // ".pending"

    // localMachineName names this computer's folder for uploaded files (UtilityClass::machineName()
    // when not given).
    explicit DBManager(const IndexThrottle& throttle = IndexThrottle(),
                       MachineNameSource localMachineName = {});
    ~DBManager();
    DBManager(const DBManager&) = delete;
    DBManager& operator=(const DBManager&) = delete;

    void setDelegate(QObject* delegate) { mDelegate = delegate; }
    QObject* delegate() const { return mDelegate; }

    // Binds to the account folder "<DbPath>/<user>": creates it (owner-only; one that exists keeps the
    // person's modes) and takes "user" as the master's name. Everything this instance does in the
    // folder it does with the rights of "localUser", never through a symlink planted there; a root
    // process must name it (a process of the person's own may leave it out). Without DbPath and user,
    // with a user name that is no plain file name, with an unknown local account, as root without one,
    // or where a symlink stands for the account folder, the instance is unbound and its intakes wait.
    void setWithDetails(const QVariantMap& details);
    // The per-machine folder put in front of listing records taken in from now on.
    void setMachineName(const QString& name);

    // A file whose upload has completed; absolute or relative to "/". Null paths are ignored.
    void addFileToBackup(const QString& path);
    // A listed entry ("path", "lmd", "size", "state"); ignored with fewer than 3 keys or path ".".
    void listedFileAddToDatabase(const QVariantMap& record);

    // Starts ticking; a second call while the updater runs keeps the one updater.
    void startDBOperation();
    // Ends the updater and makes a batch in progress stop at its next record; what it had written
    // is committed and merged later, what it had not written goes back to the intake.
    void stopDBOperationImmediately();

    // One tick: a backup batch, a listing batch, then the merge (even when nothing was written).
    void updaterDatabaseArraysToDB();
    // Merges every finished delta of the folder into the master named accountName; true when at
    // least one was found. A delta whose master cannot be opened or locked stays for later.
    bool updateMasterDataBase(const QString& accountName);

    // Read-only search of the master (see DataBaseWraper::Search).
    std::optional<QList<QVariantMap>> search(const QString& text) const;

    QString databasePath() const;
    QString logedInUser() const;
    QString machineName() const;
    // Uploaded paths waiting for the index, in memory and in the spool; in memory only.
    qsizetype pendingBackupFiles() const;
    qsizetype backupFilesInMemory() const;
    // Other limits than IntakeSpillThreshold and SpoolBatch (tests use small ones).
    void setSpoolLimits(qsizetype spillThreshold, qsizetype batch) {
        mSpillThreshold = spillThreshold;
        mSpoolBatch = batch;
    }
    // The spool now in use ("" when none).
    QString spoolPath() const;
    qsizetype pendingListingRecords() const;
    bool isUpdaterRunning() const;
    QThread* updaterThread() const;
    quint64 ticks() const { return mTicks.load(); }

  private:
    struct ListingEntry {
        QString machine; // fixed when taken in, so a later setMachineName() cannot relabel it
        QVariantMap record;
    };

    // The one delta writer: records 0..count-1 (nothing for a record that gives nothing) into a new
    // delta, finished only when every insert and the commit went through. Returns how many records
    // the delta holds; 0 when it was dropped, and the caller gives the rest back to its intake.
    qsizetype writeDelta(const QString& folder, const QString& user, qsizetype count,
                         const std::function<std::optional<QVariantList>(qsizetype)>& recordAt,
                         IndexThrottle::Pause pause, int pauseEvery,
                         const std::function<void()>& atPause = {});
    std::optional<UserFileAccess::Account> folderOwner() const;
    void upDateBackupFilesToDatabase(const QStringList& paths, const QString& folder, const QString& user);
    void updateListedFilesToDatabase(const QList<ListingEntry>& records, const QString& folder,
                                     const QString& user);
    void returnBackupFiles(const QStringList& paths);
    // Updater thread, with the folder owner's rights. Moves the backup intake to the spool when it is
    // larger than the threshold (or always, with force); false when the spool cannot be written.
    bool spillBackupIntake(const QString& folder, const QString& user, bool force);
    // Up to SpoolBatch paths from where the spool was read last; the spool goes once read through.
    QStringList readSpoolBatch();
    void closeSpool(bool remove);
    // Spools of processes that ended (older than this one, locked by nobody) are removed.
    static void removeStrandedSpools(const QString& folder);
    void returnListingRecords(const QList<ListingEntry>& records);
    static QString listingKey(const ListingEntry& entry);

    IndexThrottle mThrottle;
    MachineNameSource mLocalMachineName;
    QPointer<QObject> mDelegate;

    mutable QMutex mBLock; // guards mFilesToBackup
    QSet<QString> mFilesToBackup;
    mutable QMutex mLLock; // guards mListingFilesList and mListingKeys
    QList<ListingEntry> mListingFilesList;
    QSet<QString> mListingKeys;

    QMutex mLock;               // serialises this instance's merges (the folder lock covers all)
    mutable QMutex mConfigLock; // guards the three names and the account below
    QString mDatabasePath;
    QString mLogedInuser;
    QString mMachineName;
    std::optional<UserFileAccess::Account> mAccount;

    // The spool: touched by the updater thread only; the counts are read by anyone.
    QString mSpoolPath;
    int mSpoolFd = -1;
    std::atomic<qsizetype> mSpillThreshold{IntakeSpillThreshold};
    std::atomic<qsizetype> mSpoolBatch{SpoolBatch};
    qint64 mSpoolReadOffset = 0;
    // How much this instance wrote: the spool lies in the person's folder, and only what was written
    // is read back (a file grown or emptied behind its back costs nothing).
    qint64 mSpoolWritten = 0;
    static constexpr qsizetype MaxSpoolLine = 64 * 1024;
    std::atomic<qsizetype> mSpoolUnread{0};
    mutable QMutex mSpoolPathLock; // guards mSpoolPath for spoolPath()

    std::atomic<bool> stopDBOperationImmidietly{false};
    std::atomic<quint64> mTicks{0};

    mutable QMutex mThreadLock; // guards the threads below
    std::unique_ptr<QThread> mDBThraed;
    QPointer<QTimer> updaterTimer;
    std::vector<std::unique_ptr<QThread>> mEndedThreads;
};
