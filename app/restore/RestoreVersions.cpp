// The restore window's "Versions…": every copy of one item, and the restore of one of them.

#include "RestoreViewController.h"

#include "RestoreSummaryDialog.h"
#include "RezodeLoger.h"
#include "RsyncCommand.h"
#include "UtilityClass.h"
#include "VersionsDialog.h"
#include "ui_RestoreViewController.h"
#include "ui_SearchController.h"

#include <QBoxLayout>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMutexLocker>
#include <QPushButton>
#include <QTableWidget>

namespace {

QBoxLayout* layoutHolding(QLayout* layout, QWidget* widget) {
    if (!layout)
        return nullptr;
    if (auto* box = qobject_cast<QBoxLayout*>(layout); box && box->indexOf(widget) >= 0)
        return box;
    for (int i = 0; i < layout->count(); ++i)
        if (QBoxLayout* found = layoutHolding(layout->itemAt(i)->layout(), widget))
            return found;
    return nullptr;
}

// The last line rsync gave on standard error that says what failed, without the closing
// "rsync error: … (code N)".
QString reasonOf(const QByteArray& err) {
    QString reason;
    for (const QString& line : QString::fromUtf8(err).split(u'\n', Qt::SkipEmptyParts))
        if (!line.startsWith(QLatin1String("rsync error:")))
            reason = line.trimmed();
    return reason;
}

} // namespace

void RestoreViewController::installVersionsUi() {
    auto* button = new QPushButton(tr("Versions…"), this);
    button->setObjectName(QStringLiteral("versionsButton"));
    button->setToolTip(tr("Every copy of the selected file or folder the appliance keeps"));
    if (QBoxLayout* row = layoutHolding(layout(), mUi->restoreButton))
        row->insertWidget(row->indexOf(mUi->restoreButton), button);
    connect(button, &QPushButton::clicked, this, [this] {
        QString path;
        bool folder = false;
        if (currentItem(&path, &folder))
            showVersions(path, folder);
        else
            QMessageBox::information(this, windowTitle(), tr("Select a file or folder first."));
    });
    auto* check = new QPushButton(tr("Check a File…"), this);
    check->setObjectName(QStringLiteral("checkFileButton"));
    check->setToolTip(
        tr("Whether a file of this computer is backed up, and if not, why (or drop a file here)"));
    if (QBoxLayout* row = layoutHolding(layout(), mUi->restoreButton))
        row->insertWidget(row->indexOf(button), check);
    connect(check, &QPushButton::clicked, this, [this] {
        QString path;
        bool folder = false;
        if (currentItem(&path, &folder) && path.contains(u'/')) {
            checkFile(u'/' + path.section(u'/', 1, -1, QString::SectionSkipEmpty));
            return;
        }
        const QString file = QFileDialog::getOpenFileName(this, tr("Check a File"), mPersonHome);
        if (!file.isEmpty())
            checkFile(file);
    });
    setAcceptDrops(true);
    QTreeView* outline = mUi->mOutlineView;
    outline->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(outline, &QWidget::customContextMenuRequested, this, [this, outline](const QPoint& at) {
        ZHTreeNode* node = mModel->nodeFor(outline->indexAt(at));
        if (!node || node->isPlaceholder())
            return;
        QMenu menu(this);
        const QString path = node->fullPath();
        const bool folder = !node->isAFile();
        menu.addAction(tr("Versions…"), this, [this, path, folder] { showVersions(path, folder); });
        if (path.contains(u'/'))
            menu.addAction(tr("Check a File…"), this, [this, path] {
                checkFile(u'/' + path.section(u'/', 1, -1, QString::SectionSkipEmpty));
            });
        menu.exec(outline->viewport()->mapToGlobal(at));
    });
}

bool RestoreViewController::currentItem(QString* path, bool* folder) const {
    if (mUi->backgroundview->isHidden() && SearchControllerdlg) {
        const QTableWidget* table = SearchControllerdlg->ui()->pSearchTable;
        const QTableWidgetItem* hit = table->currentRow() < 0 ? nullptr : table->item(table->currentRow(), 1);
        if (!hit)
            return false;
        *path = hit->text();
        *folder = false; // the index holds files
        return true;
    }
    ZHTreeNode* node = mModel->nodeFor(mUi->mOutlineView->currentIndex());
    if (!node || node->isPlaceholder())
        return false;
    *path = node->fullPath();
    *folder = !node->isAFile();
    return true;
}

void RestoreViewController::showVersions(const QString& path, bool folder) {
    if (mVersions)
        mVersions->close();
    auto* dialog = new VersionsDialog(path, folder, UtilityClass::machineName(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    mVersions = dialog;
    connect(dialog, &VersionsDialog::restoreRequested, this,
            [this, path](const ItemVersion& version, const QString& into, const QString& name) {
                restoreVersion(path, version, into, name);
            });
    dialog->show();
    const QPointer<VersionsDialog> target = dialog;
    listVersions(path, [target](const QList<ItemVersion>& versions, const QString& error) {
        if (target)
            target->setListing(versions, error.isEmpty() && !versions.isEmpty() ? QString() : error);
    });
}

void RestoreViewController::listVersions(
    const QString& path, std::function<void(const QList<ItemVersion>&, const QString&)> done) {
    runInBackground([this, path, done] {
        QMutexLocker locker(&mLock);
        if (mClosing)
            return;
        RsyncConventions::Launch launch;
        const Account a = prepareRun(&launch);
        const RsyncCommand::Listing listing = RsyncCommand::versionsListing(a.user, a.address, path, launch);
        const RsyncCommand::Command run =
            RsyncCommand::restoreRun(launch == RsyncConventions::Launch::Shell,
                                     mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PrivateRsync),
                                     mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PasswordFile),
                                     listing.options + stallOptions(), listing.remotes, QString());
        const ChildResult r = startProcess(run.program, run.arguments);
        const QList<ItemVersion> versions = ItemVersions::parse(r.out, a.user, path);
        // 23: some snapshots do not hold the item, which is what a versions listing expects.
        const bool failed = !r.normalExit || (r.exitCode != 0 && r.exitCode != 23);
        const QString error = failed ? reasonOf(r.err) : QString();
        if (mTrace && failed)
            mTrace->logInteractiveTrace(QStringLiteral("versions of %1: %2").arg(path, error), true);
        post([done, versions, error] { done(versions, error); });
    });
}

void RestoreViewController::restoreVersion(const QString& path, const ItemVersion& version,
                                           const QString& folder, const QString& targetName) {
    Item item{targetName, path, version.folder ? -1 : version.size, version.folder, QString(), true};
    if (folder.isEmpty() || QDir::isRelativePath(folder)) {
        QMessageBox::warning(this, windowTitle(), tr("Choose the folder to restore into."));
        return;
    }
    beginRestore({item}, folder, version.snapshotFolder);
}

void RestoreViewController::checkFile(const QString& localPath) {
    if (mProtection)
        mProtection->close();
    auto* dialog = new ProtectionCheckDialog(localPath, mAppSupportFilePathsObjct, account().user,
                                             UtilityClass::machineName(), mCenter, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    mProtection = dialog;
    dialog->show();
    // How many snapshots hold it: the versions listing of the same path on the appliance.
    const QPointer<ProtectionCheckDialog> target = dialog;
    listVersions(UtilityClass::machineName() + localPath,
                 [target](const QList<ItemVersion>& versions, const QString& error) {
                     if (!target || !error.isEmpty())
                         return;
                     int snapshots = 0;
                     for (const ItemVersion& v : versions)
                         snapshots += v.live() ? 0 : 1;
                     target->setSnapshotCount(snapshots);
                 });
}

void RestoreViewController::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && event->mimeData()->urls().first().isLocalFile())
        event->acceptProposedAction();
}

void RestoreViewController::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile())
        return;
    event->acceptProposedAction();
    checkFile(urls.first().toLocalFile());
}
