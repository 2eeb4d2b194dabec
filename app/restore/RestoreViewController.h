#pragma once

#include "FilePathsController.h"
#include "ProtectionCheck.h"
#include "RestoreExclusionRecord.h"
#include "RestoreTreeModel.h"
#include "RsyncConventions.h"
#include "SearchController.h"
#include "VersionsDialog.h"

#include <QFuture>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>

#include <atomic>
#include <functional>

class DistributedNotificationCenter;
class RezodeLoger;
namespace Ui {
class RestoreViewController;
}

// Delays of the restore window; tests shorten them.
struct RestoreTimings {
    int listingRetryMs = 500;       // a listing that finds another one running tries again after this
    int exclusionReleaseMs = 10000; // a restored item stays out of the backup this long after its download
    int indexLockWaitMs = 3000;     // a search waits this long for a merge holding the index
    int stallMs = 120000;           // an rsync that gets nothing from the appliance this long is ended
};

// The restore window: the account's backup area on the appliance (live, or one of the last 30 snapshots)
// as a check-box outline listed folder by folder with rsync, a search over the local index, and the
// download of the ticked items into a chosen folder. Listings, the snapshot enumeration and the
// restore run one at a time on background threads under one lock; the window never waits for them.
class RestoreViewController : public QWidget {
    Q_OBJECT
  public:
    // What the outline shows when no snapshot is chosen.
    static const QString LiveTitle; // "Snapshot"

    RestoreViewController(const PlatformProfile& profile, const QString& consoleUser, RezodeLoger* trace,
                          DistributedNotificationCenter* center, RestoreTimings timings = RestoreTimings(),
                          QWidget* parent = nullptr);
    ~RestoreViewController() override;

    static RestoreViewController* sharedController();

    // The application controller's look-up of the appliance's current address.
    void setAddressLookup(std::function<QString()> fetchIP) { mFetchIP = std::move(fetchIP); }
    // Whether Restore first shows what it will do (RestoreSummaryDialog) and waits for the person's
    // go-ahead; off unless the owner turns it on.
    void setSummaryBeforeRestore(bool on) { mSummaryBeforeRestore = on; }

    // The folder a restore goes to when the person has chosen none: the desktop's download folder
    // (XDG user dirs, local names included) when this process is the person's, else "Downloads" in
    // their home.
    static QString defaultDownloadFolder(const QString& personHome);
    // Makes sure folder is a folder a restore can write into, creating what is missing of it (owner
    // only). False with the reason when it is no folder or cannot be created.
    static bool prepareDestination(const QString& folder, QString* error);

    // Listings.
    void getDetailsForPath(const QString& snapshotFolder);
    void fetchChildrenFor(const QString& path, ZHTreeNode* node);
    void getSnapshotDetailsForPath();
    void SnapshottemChanged(const QString& title);
    void cancelSnapshot();

    // Restore.
    void Restore();
    void CancelDownload();
    void setDownloadLocation(const QString& folder);
    void Browse();

    // Search.
    void searchintiated();
    void removeSearchView();

    void HelpButton();
    // What the help button says: how earlier versions are reached on this system.
    QString helpText() const;
    void timeMachineRestore();
    void HideTimeMachineRelatedUI(bool hide);
    void closeRestore();
    void killAllrunningProcesses();

    // Listing lines ("perm size date time name") as entries; hidden names dropped, inner blanks kept.
    // Names are read as the daemon's listing reader reads them (rsync's "\#ooo" escapes undone).
    static QList<QVariantMap> ParseOutput(const QByteArray& output);
    static QList<QVariantMap> RemoveTimeMachineData(const QList<QVariantMap>& entries);
    // "yyyy-MM-dd hh:mm a " of a name "prefix-yyyyMMdd.HHmm-suffix"; the name itself otherwise.
    static QString snapshotTitle(const QString& folderName);

    // State for the owner and for tests.
    RestoreTreeModel* treeModel() const { return mModel; }
    QStringList snapshotList() const { return mSnapshotList; }
    QString selectedSnapshot() const { return mSelectedSnapshot; }
    QString statusText() const;
    bool isBusy() const;
    // From the go-ahead of a restore until its last item: the window must not be thrown away meanwhile.
    bool isRestoreRunning() const { return restoreRunning.load() || mRestoreJobs.load() > 0; }
    // Where the outline opens: this machine's folder, then the person's home, one name a level.
    QStringList homeComponents() const;
    // The open folders of the outline (their own paths, deepest only) and the current row's path,
    // as name lists; what is reopened after a snapshot switch.
    QList<QStringList> openFolderPaths() const;
    QStringList currentPath() const;
    SearchController* searchController() const { return SearchControllerdlg; }

    // Versions of one item (RestoreVersions.cpp): every copy the appliance keeps of path (below the
    // account's folder), listed in one run, in a window of their own.
    void showVersions(const QString& path, bool folder);
    // The item "Versions…" acts on: the outline's current row, or the current search hit.
    bool currentItem(QString* path, bool* folder) const;
    VersionsDialog* versionsDialog() const { return mVersions; }
    // The listing behind "Versions…": done gets every copy of path (live first, then newest first) and
    // rsync's reason when the listing failed; on the window's thread.
    void listVersions(const QString& path,
                      std::function<void(const QList<ItemVersion>&, const QString&)> done);
    // "Check a File…": whether a file of this computer is backed up, and if not, why.
    void checkFile(const QString& localPath);
    ProtectionCheckDialog* protectionDialog() const { return mProtection; }
    // Restores one version of path as targetName into folder the way Restore does (the summary first
    // when it is on, out of the backup meanwhile, nothing replaced without being kept).
    void restoreVersion(const QString& path, const ItemVersion& version, const QString& folder,
                        const QString& targetName);
    Ui::RestoreViewController* ui() const { return mUi; }

  signals:
    // A restore has done every item; failedItems could not be restored.
    void restoreFinished(const QStringList& failedItems);
    // A restore ended before every item was restored: notRestored were cancelled (Cancel, or the
    // window thrown away) or never started, failedItems failed on their own.
    void restoreCancelled(const QStringList& notRestored, const QStringList& failedItems);
    void listingFinished();
    void searchFinished();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    struct Account {
        QString user, address, password, tmSharePath;
    };
    struct ChildResult {
        QByteArray out, err;
        int exitCode = -1;
        bool normalExit = false;
        bool stalled = false; // ended because the appliance sent nothing for the stall time
    };
    struct Item {
        QString name, path;
        qint64 size = -1; // -1: unknown
        bool isFolder = false;
        QString keepSuffix;   // what a file this item replaces is renamed with
        bool renamed = false; // restored as name into the destination, not under its own name
    };
    // A path of the outline to open again once its folders are listed.
    struct OpenRequest {
        QStringList components;
        bool expandLast = true; // open the last folder too
        bool select = false;    // make it the current row and scroll to it
    };

    void windowDidLoad();
    void installVersionsUi();
    void beginRestore(QList<Item> items, const QString& destination, const QString& snapshot);
    Account account() const;
    // The account of an rsync run, its password file written, and how rsync is launched.
    Account prepareRun(RsyncConventions::Launch* launch) const;
    QString preparePasswordFile(const Account& a) const;
    bool systemRsync() const;
    QStringList command(const QStringList& options, const QString& remote, const QString& destination,
                        QString* program) const;
    // rsync's own limits on an appliance that stops answering, as far as the chosen rsync knows them.
    QStringList stallOptions() const;
    ChildResult startProcess(const QString& program, const QStringList& arguments,
                             const std::function<void(const QByteArray&)>& onOutput = {},
                             const std::function<void(const QByteArray&)>& onError = {},
                             const std::function<void(qint64)>& onStarted = {}, bool restoreChild = false);
    void runInBackground(std::function<void()> work);
    void post(std::function<void()> work);
    void setBusyUi(bool busy);
    void getError(const QString& text);
    void installRootListing(quint64 generation, const QList<QVariantMap>& entries);
    // Empties the outline and lists the root of what is chosen, reopening the open paths there.
    void relist(const QString& snapshotFolder);
    void continueOpening();
    void StartRestore(const QList<Item>& items, const QString& destination, const QString& snapshotFolder);
    void refuseRestore(const QList<Item>& items, const QString& reason);
    // From the restore's thread: target out of the backup before it is written.
    void excludeWhileRestoring(const QString& target);
    void windowClosed();
    void updateRestoreProgress(const QString& text, bool systemRsync);
    void showDownloadControls(bool downloading);
    QList<Item> selection() const;
    QString snapshotFolderFor(const QString& title) const;

    Ui::RestoreViewController* mUi;
    FilePathsController mAppSupportFilePathsObjct;
    PlatformProfile::Kind mKind;
    QString mPersonHome;
    RezodeLoger* mTrace;
    DistributedNotificationCenter* mCenter;
    RestoreTimings mTimings;
    // What the restores of this window keep out of the backup; on the main thread only.
    RestoreExclusionRecord mExclusions;
    std::function<QString()> mFetchIP;
    bool mSummaryBeforeRestore = false;
    RestoreTreeModel* mModel;

    QMutex mLock; // held by each listing, the snapshot enumeration and the restore loop for their run
    mutable QMutex mStateLock; // guards the fields below shared with the background threads
    QSet<qint64> runningProcesses;
    qint64 runningRestoreProcess = 0;
    qint64 mCancelledProcess = 0;
    QStringList dwonloadingFiles;
    QList<QFuture<void>> mWorkers;
    QStringList mRestorePending;           // names of the items asked for and not yet done, every restore
    QStringList mCutCancelled, mCutFailed; // of a restore the window's end cut short

    QList<OpenRequest> mOpening;   // paths still to open in the outline, in order
    QList<OpenRequest> mUnreached; // paths the listing shown does not hold
    std::atomic<int> mRestoreJobs{0};
    std::atomic<int> mRetries{0};  // listings waiting to try again
    bool mClosedMeanwhile = false; // closed while kept for its restore: listings are fresh on showing

    std::atomic<bool> windowLoaded{false};
    std::atomic<bool> mClosing{false};
    std::atomic<bool> ListingRunning{false};
    std::atomic<bool> SnaphotRunning{false};
    std::atomic<bool> restoreRunning{false};

    QHash<QString, QString> snapshotDic;
    QStringList mSnapshotList;
    QString mSelectedSnapshot;
    QPointer<SearchController> SearchControllerdlg;
    QPointer<VersionsDialog> mVersions;
    QPointer<ProtectionCheckDialog> mProtection;
};
