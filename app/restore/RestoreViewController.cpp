#include "RestoreViewController.h"

#include "RestoreSummaryDialog.h"

#include "DistributedNotificationCenter.h"
#include "ListingParser.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"
#include "SearchController.h"
#include "ui_RestoreViewController.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProcess>
#include <QPropertyAnimation>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <array>
#include <cmath>
#include <csignal>
#include <unistd.h>

namespace {

QPointer<RestoreViewController> sShared;

using Form = RsyncConventions::RemoteForm;

QStringList pieces(const QString& line) {
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    return line.split(blanks, Qt::SkipEmptyParts);
}

// An appliance's login message, printed before the listing, is not an entry.
bool isEntryLine(QStringView line) {
    return ListingParser::parseLine(line.toUtf8()).has_value();
}

// A listing line's four leading fields (permissions, size, date, time) and the name after them, which
// keeps its inner blanks. False when the line has no name or is no entry.
bool listingFields(QStringView line, std::array<QStringView, 4>& fields, QStringView& name) {
    qsizetype i = 0;
    const qsizetype n = line.size();
    for (QStringView& field : fields) {
        while (i < n && line[i].isSpace())
            ++i;
        const qsizetype start = i;
        while (i < n && !line[i].isSpace())
            ++i;
        if (start == i)
            return false;
        field = line.sliced(start, i - start);
    }
    name = line.sliced(i).trimmed();
    return !name.isEmpty() && isEntryLine(line);
}

// The name part of a listing line: everything after the first occurrence of the time field.
QString nameAfter(const QString& line, const QString& field) {
    const qsizetype at = line.indexOf(field);
    return at < 0 ? QString() : line.mid(at + field.size()).trimmed();
}

// The bytes of a size as the outline shows it ("1.21 KB"); -1 when it shows none.
qint64 bytesOf(const QString& shown) {
    static const QStringList units{QStringLiteral("bytes"), QStringLiteral("KB"), QStringLiteral("MB"),
                                   QStringLiteral("GB"), QStringLiteral("TB")};
    const QStringList parts = shown.simplified().split(u' ');
    bool ok = false;
    const double value = parts.value(0).toDouble(&ok);
    const qsizetype unit = units.indexOf(parts.value(1));
    return ok && unit >= 0 ? qint64(value * std::pow(1024.0, double(unit))) : -1;
}

QThreadPool& restorePool() {
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(8);
        return p;
    }();
    return *pool;
}

void killGroup(qint64 pid) {
    if (pid <= 0)
        return;
    ::kill(-pid_t(pid), SIGKILL);
    ::kill(pid_t(pid), SIGKILL);
}

// A small popover with one text.
class ZHPopupView : public QFrame {
  public:
    explicit ZHPopupView(QWidget* parent) : QFrame(parent, Qt::Popup) {
        setFrameShape(QFrame::Box);
        setAttribute(Qt::WA_DeleteOnClose);
        auto* layout = new QVBoxLayout(this);
        pContent = new QLabel(this);
        pContent->setWordWrap(true);
        layout->addWidget(pContent);
    }
    void setPopupContent(const QString& text) { pContent->setText(text); }

  private:
    QLabel* pContent;
};

} // namespace

const QString RestoreViewController::LiveTitle = QStringLiteral("Snapshot");

RestoreViewController::RestoreViewController(const PlatformProfile& profile, const QString& consoleUser,
                                             RezodeLoger* trace, DistributedNotificationCenter* center,
                                             RestoreTimings timings, QWidget* parent)
    : QWidget(parent, Qt::Window), mUi(new Ui::RestoreViewController),
      mAppSupportFilePathsObjct(FilePathsController::Table::Application, profile), mTrace(trace),
      mCenter(center), mTimings(timings), mModel(new RestoreTreeModel(this)) {
    mAppSupportFilePathsObjct.setM_ConsoleUserName(consoleUser);
    mUi->setupUi(this);
    sShared = this;
    windowDidLoad();
}

RestoreViewController::~RestoreViewController() {
    mClosing = true;
    killAllrunningProcesses();
    for (QFuture<void>& worker : mWorkers)
        worker.waitForFinished();
    delete mUi;
}

RestoreViewController* RestoreViewController::sharedController() {
    return sShared.data();
}

void RestoreViewController::setExcludeListDelegate(const RestoreExclusions& exclusions) {
    QMutexLocker locker(&mStateLock);
    mExcludeController = exclusions;
}

void RestoreViewController::windowDidLoad() {
    windowLoaded = true;
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    mUi->searching->hide();
    mUi->mOutlineView->setModel(mModel);
    mUi->mOutlineView->header()->setSectionResizeMode(RestoreTreeModel::NameColumn, QHeaderView::Stretch);
    mUi->mOutlineView->header()->setStretchLastSection(false);
    mUi->mOutlineView->viewport()->installEventFilter(this);
    connect(mUi->mOutlineView, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        ZHTreeNode* node = mModel->nodeFor(index);
        if (node && node->hasdummyChildren())
            fetchChildrenFor(node->fullPath() + u'/', node);
    });
    connect(mUi->snapshotBtn, &QComboBox::textActivated, this, &RestoreViewController::SnapshottemChanged);
    connect(mUi->resetSnapshotBtn, &QPushButton::clicked, this, &RestoreViewController::cancelSnapshot);
    connect(mUi->restoreButton, &QPushButton::clicked, this, &RestoreViewController::Restore);
    connect(mUi->cancelDownload, &QPushButton::clicked, this, &RestoreViewController::CancelDownload);
    connect(mUi->Browse, &QPushButton::clicked, this, &RestoreViewController::Browse);
    connect(mUi->search, &QLineEdit::returnPressed, this, &RestoreViewController::searchintiated);
    connect(mUi->helpButton, &QToolButton::clicked, this, &RestoreViewController::HelpButton);
    connect(mUi->timeMachineButton, &QPushButton::clicked, this, &RestoreViewController::timeMachineRestore);

    mUi->snapshotBtn->addItem(ZHTreeNode::LoadingName);
    mSelectedSnapshot = LiveTitle;
    getDetailsForPath(QString());
    getSnapshotDetailsForPath();

    QString destination =
        PropertyList::readDictionary(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserDetails))
            .value(QStringLiteral("DownloadPath"))
            .toString();
    if (destination.isEmpty()) {
        const QString home = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserSupportFolder);
        destination = home.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)
                                     : QDir(home).absoluteFilePath(QStringLiteral("../../../Downloads"));
        destination = QDir::cleanPath(destination);
    }
    mUi->pDownloadLocation->setText(destination);
    mUi->resetSnapshotBtn->hide();
    mUi->NoDataMsg->hide();
    mUi->cancelDownload->hide();
    mUi->pStatusContent->hide();
    mUi->snapshotBtn->setEnabled(false);
}

// ---- account, password file, commands, children

RestoreViewController::Account RestoreViewController::account() const {
    const QVariantMap details =
        PropertyList::readDictionary(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserDetails));
    return {details.value(Protocol::UserName).toString(), details.value(Protocol::Ip).toString(),
            details.value(Protocol::Password).toString(), details.value(Protocol::TMSharePath).toString()};
}

QString RestoreViewController::preparePasswordFile(const Account& a) const {
    const QString path = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PasswordFile);
    QString error;
    if (!RsyncConventions::writePasswordFile(path, a.password, RsyncConventions::ApplicationPasswordFileMode,
                                             &error) &&
        mTrace)
        mTrace->logInteractiveTrace(QStringLiteral("cannot write the password file: %1").arg(error), true);
    return path;
}

RestoreViewController::Account RestoreViewController::prepareRun(RsyncConventions::Launch* launch) const {
    const Account a = account();
    preparePasswordFile(a);
    *launch = systemRsync() ? RsyncConventions::Launch::Shell : RsyncConventions::Launch::Direct;
    return a;
}

bool RestoreViewController::systemRsync() const {
    return RsyncConventions::isDefaultRsync(
        mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::RsyncVersion));
}

// With the system rsync one command line for bash (prefix is its start, "rsync " or "rsync  "), with
// the private copy the same pieces as separate arguments. remote is already in its launch form.
QStringList RestoreViewController::command(const QStringList& options, const QString& remote,
                                           const QString& destination, QString* program) const {
    const QString passwordFile = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PasswordFile);
    if (systemRsync()) {
        *program = QStringLiteral("/bin/bash");
        QStringList parts{QStringLiteral("rsync")};
        parts << options;
        parts << QStringLiteral("--password-file=\"%1\"")
                     .arg(RsyncConventions::shellInDoubleQuotes(passwordFile));
        parts << remote;
        if (!destination.isEmpty())
            parts << QStringLiteral("\"%1\"").arg(RsyncConventions::shellInDoubleQuotes(destination));
        return {QStringLiteral("-c"), parts.join(u' ')};
    }
    *program = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PrivateRsync);
    QStringList arguments = options;
    arguments << QStringLiteral("--password-file=\"%1\"").arg(passwordFile) << remote;
    if (!destination.isEmpty())
        arguments << destination;
    return arguments;
}

RestoreViewController::ChildResult
RestoreViewController::startProcess(const QString& program, const QStringList& arguments,
                                    const std::function<void(const QByteArray&)>& onOutput,
                                    const std::function<void(const QByteArray&)>& onError,
                                    const std::function<void(qint64)>& onStarted) {
    if (mTrace)
        mTrace->logInteractiveTrace(
            QStringLiteral("arguments:(%1)").arg(arguments.join(QStringLiteral(", "))), true);
    ChildResult result;
    QProcess child;
    // Its own process group, so that a kill also ends what a shell started.
    child.setChildProcessModifier([] { ::setpgid(0, 0); });
    child.start(program, arguments);
    if (!child.waitForStarted(30000)) {
        result.err = child.errorString().toUtf8();
        if (onError)
            onError(result.err);
        return result;
    }
    const qint64 pid = child.processId();
    {
        QMutexLocker locker(&mStateLock);
        runningProcesses.insert(pid);
    }
    if (onStarted)
        onStarted(pid);
    if (mClosing)
        killGroup(pid);
    for (;;) {
        const bool finished = child.waitForFinished(100);
        const QByteArray out = child.readAllStandardOutput();
        const QByteArray err = child.readAllStandardError();
        if (!out.isEmpty()) {
            if (onOutput)
                onOutput(out);
            else
                result.out += out;
        }
        if (!err.isEmpty()) {
            if (onError)
                onError(err);
            result.err += err;
        }
        if (finished || child.state() == QProcess::NotRunning)
            break;
    }
    {
        QMutexLocker locker(&mStateLock);
        runningProcesses.remove(pid);
    }
    result.normalExit = child.exitStatus() == QProcess::NormalExit;
    result.exitCode = child.exitCode();
    return result;
}

void RestoreViewController::runInBackground(std::function<void()> work) {
    mWorkers.erase(std::remove_if(mWorkers.begin(), mWorkers.end(),
                                  [](const QFuture<void>& f) { return f.isFinished(); }),
                   mWorkers.end());
    mWorkers.append(QtConcurrent::run(&restorePool(), [this, work] {
        if (!mClosing)
            work();
    }));
}

void RestoreViewController::post(std::function<void()> work) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void RestoreViewController::setBusyUi(bool) {
    const bool busy = ListingRunning || SnaphotRunning || restoreRunning;
    mUi->snapshotBtn->setEnabled(!busy);
    mUi->restoreButton->setEnabled(!busy);
    mUi->resetSnapshotBtn->setEnabled(!busy);
}

bool RestoreViewController::isBusy() const {
    if (ListingRunning || SnaphotRunning || restoreRunning)
        return true;
    for (const QFuture<void>& worker : mWorkers)
        if (!worker.isFinished())
            return true;
    return false;
}

QString RestoreViewController::statusText() const {
    return mUi->pStatusContent->isVisible() || !mUi->pStatusContent->isHidden() ? mUi->pStatusContent->text()
                                                                                : QString();
}

QString RestoreViewController::snapshotFolderFor(const QString& title) const {
    return QString(snapshotDic.value(title)).remove(u' ');
}

// ---- listings

QList<QVariantMap> RestoreViewController::ParseOutput(const QString& output) {
    QList<QVariantMap> entries;
    std::array<QStringView, 4> f;
    QStringView name;
    for (QStringView line : QStringView(output).split(u'\n')) {
        if (!listingFields(line, f, name) || name.startsWith(u'.'))
            continue;
        entries.append({{QStringLiteral("Permission"), f[0].toString()},
                        {QStringLiteral("Type"), f[1].toString()},
                        {QStringLiteral("LMD"), f[2].toString()},
                        {QStringLiteral("LMT"), f[3].toString()},
                        {QStringLiteral("RelativePath"), name.toString()}});
    }
    return entries;
}

QList<QVariantMap> RestoreViewController::RemoveTimeMachineData(const QList<QVariantMap>& entries) {
    QList<QVariantMap> kept;
    for (const QVariantMap& entry : entries) {
        const QString name = entry.value(QStringLiteral("RelativePath")).toString();
        if (!name.endsWith(QStringLiteral(".sparsebundle")) && !name.endsWith(QStringLiteral(".dmg")))
            kept.append(entry);
    }
    return kept;
}

QString RestoreViewController::snapshotTitle(const QString& folderName) {
    const QStringList parts = folderName.split(u'-');
    if (parts.size() >= 3) {
        const QStringList stamp = parts.at(1).split(u'.');
        if (stamp.size() == 2) {
            const QDate date = QDate::fromString(stamp.at(0), QStringLiteral("yyyyMMdd"));
            const QTime time = QTime::fromString(stamp.at(1), QStringLiteral("HHmm"));
            if (date.isValid() && time.isValid())
                return QLocale::c().toString(QDateTime(date, time), QStringLiteral("yyyy-MM-dd hh:mm AP "));
        }
    }
    // Not of the form the appliance gives its automatic snapshots: shown by its folder name.
    return folderName;
}

void RestoreViewController::getDetailsForPath(const QString& path) {
    const quint64 generation = mModel->generation();
    const bool live = mSelectedSnapshot == LiveTitle;
    runInBackground([this, path, generation, live] {
        QMutexLocker locker(&mLock);
        if (ListingRunning) {
            post([this, path] {
                QTimer::singleShot(mTimings.listingRetryMs, this, [this, path] { getDetailsForPath(path); });
            });
            return;
        }
        ListingRunning = true;
        post([this] {
            mUi->NoDataMsg->hide();
            setBusyUi(true);
        });
        RsyncConventions::Launch launch;
        const Account a = prepareRun(&launch);
        QString program;
        QStringList arguments;
        if (live) {
            const QString remote =
                path.isEmpty()
                    ? RsyncConventions::remotePath(Form::UserArea, {a.user, a.address, a.user}, launch)
                    : RsyncConventions::remotePath(Form::UserItemPlain, {a.user, a.address, a.user, path},
                                                   launch);
            arguments = command({QStringLiteral("--list-only")}, remote, QString(), &program);
        } else {
            const QString remote = RsyncConventions::remotePath(
                Form::SnapshotFolder, {a.user, a.address, QString(path).remove(u' '), a.user}, launch);
            arguments = command({}, remote, QString(), &program);
        }
        const ChildResult r = startProcess(program, arguments);
        const QString error = QString::fromUtf8(r.err);
        if (!error.isEmpty())
            post([this, error] { getError(error); });
        const QList<QVariantMap> entries = RemoveTimeMachineData(ParseOutput(QString::fromUtf8(r.out)));
        post([this, generation, entries] { installRootListing(generation, entries); });
    });
}

void RestoreViewController::installRootListing(quint64 generation, const QList<QVariantMap>& entries) {
    if (generation == mModel->generation()) {
        if (!entries.isEmpty()) {
            mModel->setRootEntries(entries);
        } else {
            mModel->resetTree(false);
            mUi->NoDataMsg->show();
        }
    }
    ListingRunning = false;
    setBusyUi(false);
    emit listingFinished();
}

void RestoreViewController::fetchChildrenFor(const QString& path, ZHTreeNode* node) {
    const quint64 generation = mModel->generation();
    const bool live = mSelectedSnapshot == LiveTitle;
    const QString snapshot = snapshotFolderFor(mSelectedSnapshot);
    runInBackground([this, path, node, generation, live, snapshot] {
        QMutexLocker locker(&mLock);
        if (ListingRunning) {
            post([this, path, node, generation] {
                QTimer::singleShot(mTimings.listingRetryMs, this, [this, path, node, generation] {
                    if (generation == mModel->generation())
                        fetchChildrenFor(path, node);
                });
            });
            return;
        }
        ListingRunning = true;
        post([this] { setBusyUi(true); });
        RsyncConventions::Launch launch;
        const Account a = prepareRun(&launch);
        QString program;
        QStringList arguments;
        if (live)
            arguments = command(
                {QStringLiteral("--list-only")},
                RsyncConventions::remotePath(Form::UserItem, {a.user, a.address, a.user, path}, launch),
                QString(), &program);
        else
            arguments = command(
                {},
                RsyncConventions::remotePath(
                    Form::SnapshotItem, {a.user, a.address, snapshot + u'/' + a.user + u'/' + path}, launch),
                QString(), &program);
        const ChildResult r = startProcess(program, arguments);
        const QString error = QString::fromUtf8(r.err);
        if (!error.isEmpty())
            post([this, error] { getError(error); });
        const QList<QVariantMap> entries = ParseOutput(QString::fromUtf8(r.out));
        post([this, node, generation, entries] {
            if (generation == mModel->generation() && node->hasdummyChildren())
                mModel->setFolderEntries(node, entries);
            ListingRunning = false;
            setBusyUi(false);
            emit listingFinished();
        });
    });
}

void RestoreViewController::getSnapshotDetailsForPath() {
    runInBackground([this] {
        QMutexLocker locker(&mLock);
        SnaphotRunning = true;
        post([this] { setBusyUi(true); });
        RsyncConventions::Launch launch;
        const Account a = prepareRun(&launch);
        QString program;
        const QStringList arguments =
            command({}, RsyncConventions::remotePath(Form::SnapshotList, {a.user, a.address}, launch),
                    QString(), &program);
        const ChildResult names = startProcess(program, arguments);
        QStringList titles;
        QHash<QString, QString> folders;
        for (const QString& line : QString::fromUtf8(names.out).split(u'\n')) {
            if (!windowLoaded || mClosing)
                break;
            const QStringList p = pieces(line);
            if (p.size() < 5 || p.at(4).startsWith(u'.') || !isEntryLine(line))
                continue;
            const QString folder = nameAfter(line, p.at(3));
            // Only a snapshot whose account folder holds something other than a sparse bundle is offered.
            const QStringList check = command(
                {},
                RsyncConventions::remotePath(
                    Form::SnapshotCheck, {a.user, a.address, QString(folder).remove(u' '), a.user}, launch),
                QString(), &program);
            bool offered = false;
            for (const QString& checkLine :
                 QString::fromUtf8(startProcess(program, check).out).split(u'\n')) {
                const QStringList c = pieces(checkLine);
                if (c.size() >= 5 && !c.at(4).startsWith(u'.') && isEntryLine(checkLine)) {
                    offered = !c.at(4).contains(QStringLiteral(".sparsebundle"));
                    break;
                }
            }
            if (!offered)
                continue;
            const QString title = snapshotTitle(folder);
            titles.append(title);
            folders.insert(title, folder);
            if (titles.size() == 31)
                folders.remove(titles.takeFirst());
        }
        post([this, titles, folders] {
            SnaphotRunning = false;
            setBusyUi(false);
            if (!windowLoaded)
                return;
            mSnapshotList = titles;
            snapshotDic = folders;
            QComboBox* popup = mUi->snapshotBtn;
            const QSignalBlocker blocker(popup);
            popup->clear();
            popup->addItem(LiveTitle);
            for (auto it = titles.crbegin(); it != titles.crend(); ++it)
                popup->addItem(*it);
            const int current = popup->findText(mSelectedSnapshot);
            popup->setCurrentIndex(current < 0 ? 0 : current);
            popup->setVisible(!titles.isEmpty());
            emit listingFinished();
        });
    });
}

void RestoreViewController::SnapshottemChanged(const QString& title) {
    if (title == mSelectedSnapshot)
        return;
    mSelectedSnapshot = title;
    if (snapshotDic.value(title).isEmpty() || snapshotDic.isEmpty())
        getSnapshotDetailsForPath();
    mModel->resetTree(true);
    getDetailsForPath(snapshotDic.value(title));
    if (title != LiveTitle) {
        mUi->search->hide();
        mUi->resetSnapshotBtn->show();
        if (!title.startsWith(ZHTreeNode::LoadingName))
            mUi->pHeaderContent->setText(QStringLiteral("Snapshot as on %1").arg(title));
    } else {
        mUi->search->show();
        mUi->resetSnapshotBtn->hide();
        mUi->pHeaderContent->clear();
    }
}

void RestoreViewController::cancelSnapshot() {
    mUi->snapshotBtn->setCurrentIndex(0);
    mSelectedSnapshot = LiveTitle;
    mModel->resetTree(true);
    mUi->search->show();
    mUi->pHeaderContent->clear();
    getDetailsForPath(QString());
    mUi->resetSnapshotBtn->hide();
}

void RestoreViewController::getError(const QString& text) {
    if (mTrace)
        mTrace->logInteractiveTrace(QStringLiteral("error in listing:%1").arg(text), true);
    ListingRunning = false;
    const QString address = mFetchIP ? mFetchIP() : QString();
    const QString detailsPath = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserDetails);
    QVariantMap details = PropertyList::readDictionary(detailsPath);
    if (address.isEmpty() || address == details.value(Protocol::Ip).toString())
        return; // the appliance is where it was: the listing simply failed
    details.insert(Protocol::Ip, address);
    PropertyList::writeDictionary(detailsPath, details, PropertyList::OwnerOnlyMode);
    const QString share = details.value(Protocol::TMSharePath).toString();
    if (!share.isEmpty() && mCenter)
        mCenter->postNotification(Protocol::TimeMachine, {{Protocol::KeyPath, share}},
                                  Protocol::PostDeliverImmediatelyToAllSessions);
    cancelSnapshot();
}

// ---- restore

QList<RestoreViewController::Item> RestoreViewController::selection() const {
    QList<Item> items;
    if (mUi->backgroundview->isHidden() && SearchControllerdlg) {
        for (const QString& name : SearchControllerdlg->getSearchList())
            items.append({name, name, -1, false});
        return items;
    }
    for (ZHTreeNode* node : mModel->tree().getAllSelectedNode())
        items.append({node->relativePath(), node->fullPath(),
                      node->isAFile() ? bytesOf(node->getFileSize()) : -1, !node->isAFile()});
    return items;
}

void RestoreViewController::Restore() {
    const QList<Item> items = selection();
    if (items.isEmpty()) {
        auto* alert = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                      QStringLiteral("Please Select files / folders to restore"),
                                      QMessageBox::NoButton, this);
        alert->addButton(QStringLiteral("Ok"), QMessageBox::AcceptRole);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->open();
        mUi->restoreButton->setEnabled(true);
        return;
    }
    {
        QMutexLocker locker(&mStateLock);
        dwonloadingFiles.clear();
    }
    const QString destination = mUi->pDownloadLocation->text();
    const QString snapshot =
        mSelectedSnapshot == LiveTitle ? QString() : snapshotFolderFor(mSelectedSnapshot);
    // A file the restore would replace is kept beside it under this suffix instead.
    const QString keepSuffix =
        QDateTime::currentDateTime().toString(QStringLiteral("'.before-restore-'yyyyMMdd-HHmmss"));
    const auto start = [this, items, destination, snapshot, keepSuffix] {
        runInBackground([this, items, destination, snapshot, keepSuffix] {
            StartRestore(items, destination, snapshot, keepSuffix);
        });
    };
    if (!mSummaryBeforeRestore) {
        start();
        return;
    }
    QList<RestoreSummary::Item> entries;
    for (const Item& item : items)
        entries.append({item.name, item.size, item.isFolder, item.path});
    auto* summary = new RestoreSummaryDialog(RestoreSummary::of(entries, destination, keepSuffix), this);
    summary->setAttribute(Qt::WA_DeleteOnClose);
    connect(summary, &QDialog::accepted, this, start);
    summary->open();
}

void RestoreViewController::StartRestore(const QList<Item>& items, const QString& destination,
                                         const QString& snapshot, const QString& keepSuffix) {
    QMutexLocker locker(&mLock);
    restoreRunning = true;
    post([this] { setBusyUi(true); });
    RestoreExclusions exclusions;
    {
        QMutexLocker state(&mStateLock);
        dwonloadingFiles.clear();
        for (const Item& item : items)
            dwonloadingFiles.append(item.name);
        exclusions = mExcludeController;
    }
    RsyncConventions::Launch launch;
    const Account a = prepareRun(&launch);
    const bool system = launch == RsyncConventions::Launch::Shell;
    QStringList failed;
    for (const Item& item : items) {
        if (mClosing)
            break;
        const QString remote =
            snapshot.isEmpty()
                ? RsyncConventions::remotePath(Form::UserItem, {a.user, a.address, a.user, item.path}, launch)
                : RsyncConventions::remotePath(
                      Form::SnapshotItem, {a.user, a.address, snapshot + u'/' + a.user + u'/' + item.path},
                      launch);
        QString program;
        const QStringList arguments =
            command({QStringLiteral("--progress"), QStringLiteral("--recursive"), QStringLiteral("--backup"),
                     QStringLiteral("--suffix=") + keepSuffix},
                    remote, destination, &program);
        const QString target =
            QDir(destination).filePath(item.path.section(u'/', -1, -1, QString::SectionSkipEmpty));
        if (exclusions.AddDownloadPathToExcludeList)
            exclusions.AddDownloadPathToExcludeList(target);
        auto decoder = std::make_shared<QStringDecoder>(QStringDecoder::Utf8);
        qint64 pid = 0;
        const ChildResult r = startProcess(
            program, arguments,
            [this, decoder, system](const QByteArray& chunk) {
                const QString text = decoder->decode(chunk);
                if (!text.isEmpty())
                    post([this, text, system] { updateRestoreProgress(text, system); });
            },
            [this](const QByteArray& chunk) {
                const QString text = QString::fromUtf8(chunk);
                if (!text.isEmpty())
                    post([this, text] { getError(text); });
            },
            [this, &pid](qint64 started) {
                {
                    QMutexLocker state(&mStateLock);
                    runningRestoreProcess = pid = started;
                }
                post([this] {
                    showDownloadControls(true);
                    mUi->pStatusContent->setText(QStringLiteral("Downloading..."));
                });
            });
        bool cancelled = false;
        {
            QMutexLocker state(&mStateLock);
            runningRestoreProcess = 0;
            cancelled = pid != 0 && pid == mCancelledProcess;
        }
        if (!cancelled && !(r.normalExit && r.exitCode == 0)) {
            failed.append(item.name);
            if (mTrace)
                mTrace->logInteractiveTrace(QStringLiteral("Restore of %1 failed (rsync exit status %2)")
                                                .arg(item.path)
                                                .arg(r.exitCode),
                                            true);
        }
        post([this] { showDownloadControls(false); });
        if (exclusions.RemoveDownloadPathFromeExcludeList) {
            // Released later even when the window is gone by then.
            const auto release = exclusions.RemoveDownloadPathFromeExcludeList;
            const int delay = mTimings.exclusionReleaseMs;
            QMetaObject::invokeMethod(
                qApp,
                [release, target, delay] {
                    QTimer::singleShot(delay, qApp, [release, target] { release(target); });
                },
                Qt::QueuedConnection);
        }
    }
    restoreRunning = false;
    post([this, failed] {
        setBusyUi(false);
        if (!failed.isEmpty()) {
            mUi->pStatusContent->setText(
                QStringLiteral("Could not restore: %1").arg(failed.join(QStringLiteral(", "))));
            mUi->pStatusContent->show();
        }
        emit restoreFinished(failed);
    });
}

void RestoreViewController::showDownloadControls(bool downloading) {
    mUi->Downloadlb->setVisible(!downloading);
    mUi->pDownloadLocation->setVisible(!downloading);
    mUi->Browse->setVisible(!downloading);
    mUi->cancelDownload->setVisible(downloading);
    mUi->pStatusContent->setVisible(downloading);
    if (!downloading)
        mUi->pStatusContent->setText(QStringLiteral(" "));
}

void RestoreViewController::updateRestoreProgress(const QString& text, bool system) {
    QStringList names;
    {
        QMutexLocker locker(&mStateLock);
        names = dwonloadingFiles;
    }
    for (const QString& line : text.split(u'\n')) {
        if (system) {
            for (const QString& name : names)
                if (!name.isEmpty() && line.startsWith(name))
                    mUi->pStatusContent->setText(QStringLiteral("Downloading %1 ").arg(line));
        } else {
            const QStringList p = pieces(line);
            if (p.size() >= 7 && !p.at(4).startsWith(u'.') && p.at(4).endsWith(u'%'))
                mUi->pStatusContent->setText(
                    QStringLiteral("Downloading %1 %2").arg(nameAfter(line, p.at(6)), p.at(4)));
        }
    }
}

void RestoreViewController::CancelDownload() {
    {
        QMutexLocker locker(&mStateLock);
        if (runningRestoreProcess != 0) {
            mCancelledProcess = runningRestoreProcess;
            killGroup(runningRestoreProcess);
        }
    }
    showDownloadControls(false);
    mUi->pStatusContent->hide();
}

void RestoreViewController::setDownloadLocation(const QString& folder) {
    mUi->pDownloadLocation->setText(folder);
    const QString path = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserDetails);
    QVariantMap details = PropertyList::readDictionary(path);
    details.insert(QStringLiteral("DownloadPath"), folder);
    PropertyList::writeDictionary(path, details, PropertyList::OwnerOnlyMode);
}

void RestoreViewController::Browse() {
    auto* panel = new QFileDialog(this);
    panel->setFileMode(QFileDialog::Directory);
    panel->setOption(QFileDialog::ShowDirsOnly);
    panel->setDirectory(mUi->pDownloadLocation->text());
    panel->setAttribute(Qt::WA_DeleteOnClose);
    connect(panel, &QFileDialog::fileSelected, this, &RestoreViewController::setDownloadLocation);
    panel->open();
}

// ---- search

void RestoreViewController::searchintiated() {
    mUi->search->setEnabled(false);
    mUi->snapshotBtn->setEnabled(false);
    mUi->searching->show();
    mUi->restoreButton->setEnabled(false);
    const QString text = mUi->search->text();
    const QString account = this->account().user;
    const QString folder =
        mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserSupportFolder) + u'/' + account;
    runInBackground([this, text, account, folder] {
        const auto hits = SearchController::searchIndex(folder, account, text);
        post([this, hits] {
            if (SearchControllerdlg)
                delete SearchControllerdlg.data();
            mUi->backgroundview->hide();
            SearchControllerdlg = new SearchController(this);
            mUi->contentLayout->insertWidget(1, SearchControllerdlg);
            connect(SearchControllerdlg, &SearchController::backRequested, this,
                    &RestoreViewController::removeSearchView);
            SearchControllerdlg->setSearchResult(hits.value_or(QList<QVariantMap>()));
            mUi->search->setEnabled(true);
            mUi->searching->hide();
            setBusyUi(false);
            emit searchFinished();
        });
    });
}

void RestoreViewController::removeSearchView() {
    mUi->backgroundview->show();
    if (SearchControllerdlg)
        SearchControllerdlg->deleteLater();
    SearchControllerdlg = nullptr;
    mUi->snapshotBtn->setVisible(!ListingRunning && !SnaphotRunning && mUi->snapshotBtn->count() > 1);
}

// ---- window

void RestoreViewController::HelpButton() {
    auto* popup = new ZHPopupView(this);
    popup->setPopupContent(QStringLiteral(
        "Select the \u2018Show Time Machine in menu bar\u2019 option.Click the icon from the menu "
        "bar and select the \u2018Enter Time Machine\u2019 option."));
    popup->resize(334, 75);
    popup->move(mUi->helpButton->mapToGlobal(QPoint(mUi->helpButton->width(), 0)));
    popup->show();
}

void RestoreViewController::timeMachineRestore() {
    if (mTrace)
        mTrace->logInteractiveTrace(QStringLiteral("Time Machine restore asked for"), true);
}

void RestoreViewController::HideTimeMachineRelatedUI(bool hide) {
    mUi->timeMachineButton->setVisible(!hide);
    mUi->helpButton->setVisible(!hide);
    auto* animation = new QPropertyAnimation(this, "geometry", this);
    QRect target = geometry();
    target.setHeight(hide ? 472 : 535);
    animation->setEndValue(target);
    animation->setDuration(200);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void RestoreViewController::killAllrunningProcesses() {
    windowLoaded = false;
    snapshotDic.clear();
    mSnapshotList.clear();
    QMutexLocker locker(&mStateLock);
    for (qint64 pid : std::as_const(runningProcesses))
        killGroup(pid);
}

void RestoreViewController::closeRestore() {
    killAllrunningProcesses();
    close();
}

void RestoreViewController::closeEvent(QCloseEvent* event) {
    killAllrunningProcesses();
    event->accept();
}

bool RestoreViewController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mUi->mOutlineView->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* press = static_cast<QMouseEvent*>(event);
        if (!mUi->mOutlineView->indexAt(press->position().toPoint()).isValid())
            mUi->mOutlineView->clearSelection();
    }
    return QWidget::eventFilter(watched, event);
}
