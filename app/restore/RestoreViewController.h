#pragma once

#include "FilePathsController.h"
#include "RestoreTreeModel.h"
#include "RsyncConventions.h"
#include "SearchController.h"

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
};

// The two operations of the exclusion editor the restore uses. They may be called from the restore's
// background thread; whoever wires the editor in makes them safe for that.
struct RestoreExclusions {
    std::function<void(const QString&)> AddDownloadPathToExcludeList;
    std::function<void(const QString&)> RemoveDownloadPathFromeExcludeList;
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

    void setExcludeListDelegate(const RestoreExclusions& exclusions);
    // The application controller's look-up of the appliance's current address.
    void setAddressLookup(std::function<QString()> fetchIP) { mFetchIP = std::move(fetchIP); }
    // Whether Restore first shows what it will do (RestoreSummaryDialog) and waits for the person's
    // go-ahead; off unless the owner turns it on.
    void setSummaryBeforeRestore(bool on) { mSummaryBeforeRestore = on; }

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
    void timeMachineRestore();
    void HideTimeMachineRelatedUI(bool hide);
    void closeRestore();
    void killAllrunningProcesses();

    // Listing lines ("perm size date time name") as entries; hidden names dropped, inner blanks kept.
    static QList<QVariantMap> ParseOutput(const QString& output);
    static QList<QVariantMap> RemoveTimeMachineData(const QList<QVariantMap>& entries);
    // "yyyy-MM-dd hh:mm a " of a name "prefix-yyyyMMdd.HHmm-suffix"; the name itself otherwise.
    static QString snapshotTitle(const QString& folderName);

    // State for the owner and for tests.
    RestoreTreeModel* treeModel() const { return mModel; }
    QStringList snapshotList() const { return mSnapshotList; }
    QString selectedSnapshot() const { return mSelectedSnapshot; }
    QString statusText() const;
    bool isBusy() const;
    bool isRestoreRunning() const { return restoreRunning.load(); }
    SearchController* searchController() const { return SearchControllerdlg; }
    Ui::RestoreViewController* ui() const { return mUi; }

  signals:
    void restoreFinished(const QStringList& failedItems);
    void listingFinished();
    void searchFinished();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct Account {
        QString user, address, password, tmSharePath;
    };
    struct ChildResult {
        QByteArray out, err;
        int exitCode = -1;
        bool normalExit = false;
    };
    struct Item {
        QString name, path;
        qint64 size = -1; // -1: unknown
        bool isFolder = false;
    };

    void windowDidLoad();
    Account account() const;
    // The account of an rsync run, its password file written, and how rsync is launched.
    Account prepareRun(RsyncConventions::Launch* launch) const;
    QString preparePasswordFile(const Account& a) const;
    bool systemRsync() const;
    QStringList command(const QStringList& options, const QString& remote, const QString& destination,
                        QString* program) const;
    ChildResult startProcess(const QString& program, const QStringList& arguments,
                             const std::function<void(const QByteArray&)>& onOutput = {},
                             const std::function<void(const QByteArray&)>& onError = {},
                             const std::function<void(qint64)>& onStarted = {});
    void runInBackground(std::function<void()> work);
    void post(std::function<void()> work);
    void setBusyUi(bool busy);
    void getError(const QString& text);
    void installRootListing(quint64 generation, const QList<QVariantMap>& entries);
    void StartRestore(const QList<Item>& items, const QString& destination, const QString& snapshotFolder,
                      const QString& keepSuffix);
    void updateRestoreProgress(const QString& text, bool systemRsync);
    void showDownloadControls(bool downloading);
    QList<Item> selection() const;
    QString snapshotFolderFor(const QString& title) const;

    Ui::RestoreViewController* mUi;
    FilePathsController mAppSupportFilePathsObjct;
    RezodeLoger* mTrace;
    DistributedNotificationCenter* mCenter;
    RestoreTimings mTimings;
    RestoreExclusions mExcludeController;
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

    std::atomic<bool> windowLoaded{false};
    std::atomic<bool> mClosing{false};
    std::atomic<bool> ListingRunning{false};
    std::atomic<bool> SnaphotRunning{false};
    std::atomic<bool> restoreRunning{false};

    QHash<QString, QString> snapshotDic;
    QStringList mSnapshotList;
    QString mSelectedSnapshot;
    QPointer<SearchController> SearchControllerdlg;
};
