#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDialog>
#include <QList>
#include <QString>

class QLabel;
class QPushButton;
class QTreeWidget;

// One copy of an item on the appliance: the live one (snapshotFolder empty) or the one a snapshot holds.
struct ItemVersion {
    QString snapshotFolder; // ".zfs/snapshot/<snapshotFolder>"; empty for the live copy
    qint64 size = -1;
    QDateTime modified; // as the listing shows it, local time
    bool folder = false;

    bool live() const { return snapshotFolder.isEmpty(); }
    bool sameContentAs(const ItemVersion& other) const {
        return size == other.size && modified == other.modified && folder == other.folder;
    }
};

// The versions of one item from the one listing that names it live and in every snapshot.
namespace ItemVersions {
// The entries of the listing (rsync --relative output) that are exactly user/path, live or in a
// snapshot: the live copy first, then the snapshots newest first. Other lines are ignored.
QList<ItemVersion> parse(const QByteArray& listing, const QString& user, const QString& path);
// Runs of neighbouring snapshot copies with the same size and modification time, newest first. The
// live copy is not part of any run.
QList<QList<ItemVersion>> group(const QList<ItemVersion>& versions);
// When a snapshot folder was taken ("…-yyyyMMdd.HHmm-…"); invalid for other names.
QDateTime snapshotTime(const QString& snapshotFolder);
// How a snapshot is named to the person: its time, else its folder name; the live copy "Now".
QString snapshotText(const QString& snapshotFolder);
// The name a version restored beside its original gets: "<name> (<snapshot date>).<ext>".
QString besideName(const QString& name, const QString& snapshotFolder);
} // namespace ItemVersions

// The "Versions…" window of the restore browser for one item: every copy the appliance holds, the live
// one first, identical neighbours shown as one row. A version is restored beside the original or into
// a folder the person chooses; the restore window carries that out its usual way. Only an item of this
// computer has an original here: one of another computer of the account is restored into a folder the
// person chooses.
class VersionsDialog : public QDialog {
    Q_OBJECT
  public:
    // path: the item's path below the account's folder ("<machine>/<path on the machine>");
    // thisMachine: this computer's folder on the appliance.
    VersionsDialog(const QString& path, bool folder, const QString& thisMachine, QWidget* parent = nullptr);

    QString path() const { return mPath; }
    bool isFolder() const { return mFolder; }
    // Where the original lives on its computer: the path without its machine folder.
    QString originalPath() const;
    // The computer the item was backed up from (its machine folder).
    QString machine() const;
    // Whether the item is below this computer's folder, so that its original's folder is here.
    bool hasOriginalHere() const;

    void setListing(const QList<ItemVersion>& versions, const QString& error);
    bool isListed() const { return mListed; }
    QList<QList<ItemVersion>> groups() const { return mGroups; }
    QString statusText() const;
    QTreeWidget* list() const { return mList; }
    // Selects the row of a group (0: the live copy when there is one).
    void selectRow(int row);

  signals:
    // A version to restore as targetName into folder.
    void restoreRequested(const ItemVersion& version, const QString& folder, const QString& targetName);

  private:
    ItemVersion selectedVersion(bool* ok) const;
    void restoreBeside();
    void restoreInto();
    void updateButtons();

    QString mPath;
    bool mFolder;
    QString mThisMachine;
    bool mListed = false;
    QList<QList<ItemVersion>> mGroups;
    QLabel* mStatus;
    QTreeWidget* mList;
    QPushButton* mBeside;
    QPushButton* mInto;
};
