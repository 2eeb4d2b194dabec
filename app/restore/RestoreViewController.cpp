#include "RestoreViewController.h"

#include "RestoreSummaryDialog.h"

#include "DistributedNotificationCenter.h"
#include "ListingParser.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "RsyncCommand.h"
#include "RsyncConventions.h"
#include "SearchController.h"
#include "StallWatch.h"
#include "UtilityClass.h"
#include "ui_RestoreViewController.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProcess>
#include <QPropertyAnimation>
#include <QSemaphore>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Returns the heap the process no longer uses to the system (a large listing leaves much of it).
void releaseFreeMemory() {
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

QPointer<RestoreViewController> sShared;

using Form = RsyncConventions::RemoteForm;

QStringList pieces(const QString& line) {
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    return line.split(blanks, Qt::SkipEmptyParts);
}

// The lines of a listing, each without its line end.
QList<QByteArrayView> linesOf(const QByteArray& output) {
    QList<QByteArrayView> lines;
    const QByteArrayView all(output);
    qsizetype start = 0;
    while (start < all.size()) {
        qsizetype end = all.indexOf('\n', start);
        if (end < 0)
            end = all.size();
        lines.append(all.sliced(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The path of a node below the root, one name a level.
QStringList componentsOf(const ZHTreeNode* node) {
    QStringList components;
    for (; node && node->parentNode(); node = node->parentNode())
        components.prepend(node->relativePath());
    return components;
}

ZHTreeNode* childNamed(const ZHTreeNode* node, const QString& name) {
    for (ZHTreeNode* child : node->getChildren())
        if (!child->isPlaceholder() && child->relativePath() == name)
            return child;
    return nullptr;
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
      mAppSupportFilePathsObjct(FilePathsController::Table::Application, profile), mKind(profile.kind),
      mPersonHome(profile.homeOf(consoleUser)), mTrace(trace), mCenter(center), mTimings(timings),
      mExclusions(profile, consoleUser, center, trace), mModel(new RestoreTreeModel(this)) {
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
    // No exclusion of a restore outlives the window, whether its item was cut short or released later.
    const QStringList lifted = mExclusions.liftAll();
    if (mTrace && !lifted.isEmpty())
        mTrace->logInteractiveTrace(QStringLiteral("Restore exclusions lifted with the restore window: %1")
                                        .arg(lifted.join(QStringLiteral(", "))),
                                    true);
    // A restore this ends is not lost in silence: what it had not restored is named.
    QStringList notRestored, failed;
    {
        QMutexLocker locker(&mStateLock);
        notRestored = mCutCancelled + mRestorePending;
        failed = mCutFailed;
    }
    if (!notRestored.isEmpty()) {
        if (mTrace)
            mTrace->logInteractiveTrace(
                QStringLiteral("Restore cancelled with the restore window; not restored: %1")
                    .arg(notRestored.join(QStringLiteral(", "))),
                true);
        emit restoreCancelled(notRestored, failed);
    }
    delete mUi;
}

RestoreViewController* RestoreViewController::sharedController() {
    return sShared.data();
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
    // Time Machine is the Mac's own application; elsewhere there is nothing of that name to open.
    mUi->timeMachineButton->setVisible(mKind == PlatformProfile::Kind::MacOS);

    installVersionsUi();

    mUi->snapshotBtn->addItem(ZHTreeNode::LoadingName);
    mSelectedSnapshot = LiveTitle;
    // The outline opens where the person's files are, not at the machine folders above them.
    if (const QStringList home = homeComponents(); !home.isEmpty())
        mOpening.append({home, true, true});
    getDetailsForPath(QString());
    getSnapshotDetailsForPath();

    QString destination =
        PropertyList::readDictionary(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserDetails))
            .value(QStringLiteral("DownloadPath"))
            .toString();
    if (destination.isEmpty())
        destination = defaultDownloadFolder(mPersonHome);
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
    const RsyncCommand::Command run = RsyncCommand::restoreRun(
        systemRsync(), mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PrivateRsync),
        mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PasswordFile), options + stallOptions(),
        {remote}, destination);
    *program = run.program;
    return run.arguments;
}

QStringList RestoreViewController::stallOptions() const {
    const bool system = systemRsync();
    return RsyncConventions::stallOptions(
        RsyncConventions::dialect(system,
                                  mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PrivateRsync)),
        std::chrono::milliseconds(mTimings.stallMs));
}

RestoreViewController::ChildResult
RestoreViewController::startProcess(const QString& program, const QStringList& arguments,
                                    const std::function<void(const QByteArray&)>& onOutput,
                                    const std::function<void(const QByteArray&)>& onError,
                                    const std::function<void(qint64)>& onStarted, bool restoreChild) {
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
        // At once the restore's child, so that no closing of the window takes it for a listing's.
        QMutexLocker locker(&mStateLock);
        runningProcesses.insert(pid);
        if (restoreChild)
            runningRestoreProcess = pid;
    }
    if (onStarted)
        onStarted(pid);
    if (mClosing)
        killGroup(pid);
    // An appliance that stops answering ends the run (rsync's own --timeout mostly does); the run's
    // group is ended here when nothing came, and nothing was read or written, for the stall time.
    StallWatch watch{std::chrono::milliseconds(mTimings.stallMs)};
    watch.start(pid_t(pid));
    for (;;) {
        const bool finished = child.waitForFinished(100);
        const QByteArray out = child.readAllStandardOutput();
        const QByteArray err = child.readAllStandardError();
        if (!out.isEmpty() || !err.isEmpty())
            watch.noteActivity();
        if (!finished && !result.stalled && watch.stalled()) {
            result.stalled = true;
            killGroup(pid);
            const QByteArray text = QStringLiteral("The Zorvik Hollin device sent nothing for %1 seconds; "
                                                   "the run was ended.\n")
                                        .arg(mTimings.stallMs / 1000)
                                        .toUtf8();
            if (onError)
                onError(text);
            result.err += text;
        }
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
    if (ListingRunning || SnaphotRunning || restoreRunning || mRetries > 0 || mRestoreJobs > 0)
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

QList<QVariantMap> RestoreViewController::ParseOutput(const QByteArray& output) {
    QList<QVariantMap> entries;
    for (QByteArrayView line : linesOf(output)) {
        // A login message printed before the listing gives no entry; names come back as they are on
        // the appliance (inner and outer blanks kept, escapes undone).
        const std::optional<ListingParser::Entry> entry = ListingParser::parseLine(line);
        if (!entry || entry->name.startsWith(u'.'))
            continue;
        entries.append({{QStringLiteral("Permission"), QString::fromLatin1(line.first(10))},
                        {QStringLiteral("Type"), entry->size},
                        {QStringLiteral("LMD"), entry->date},
                        {QStringLiteral("LMT"), entry->time},
                        {QStringLiteral("RelativePath"), entry->name}});
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
            ++mRetries;
            post([this, path] {
                QTimer::singleShot(mTimings.listingRetryMs, this, [this, path] {
                    getDetailsForPath(path);
                    --mRetries;
                });
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
        const QList<QVariantMap> entries = RemoveTimeMachineData(ParseOutput(r.out));
        post([this, generation, entries] { installRootListing(generation, entries); });
    });
}

void RestoreViewController::installRootListing(quint64 generation, const QList<QVariantMap>& entries) {
    ListingRunning = false;
    if (generation == mModel->generation()) {
        if (!entries.isEmpty()) {
            mModel->setRootEntries(entries);
            continueOpening();
        } else {
            mUnreached += mOpening;
            mOpening.clear();
            mModel->resetTree(false);
            mUi->NoDataMsg->show();
        }
    }
    setBusyUi(false);
    emit listingFinished();
}

QStringList RestoreViewController::homeComponents() const {
    const QString machine = UtilityClass::machineName();
    if (machine.isEmpty() || mPersonHome.isEmpty())
        return {};
    return QStringList{machine} + mPersonHome.split(u'/', Qt::SkipEmptyParts);
}

QList<QStringList> RestoreViewController::openFolderPaths() const {
    QList<QStringList> paths;
    const QTreeView* view = mUi->mOutlineView;
    const std::function<bool(ZHTreeNode*)> walk = [&](ZHTreeNode* node) {
        bool below = false;
        for (ZHTreeNode* child : node->getChildren()) {
            if (child->isAFile() || child->isPlaceholder() || !view->isExpanded(mModel->indexFor(child)))
                continue;
            if (!walk(child))
                paths.append(componentsOf(child));
            below = true;
        }
        return below;
    };
    walk(mModel->tree().mRootItem());
    return paths;
}

QStringList RestoreViewController::currentPath() const {
    const QModelIndex current = mUi->mOutlineView->currentIndex();
    ZHTreeNode* node = current.isValid() ? mModel->nodeFor(current) : nullptr;
    return node && !node->isPlaceholder() ? componentsOf(node) : QStringList();
}

void RestoreViewController::relist(const QString& snapshotFolder) {
    // What could not be opened in an earlier listing, what is still being opened, what is open, then
    // the current row: the same paths in what is listed next, as far as they exist there.
    QList<OpenRequest> again = mUnreached + mOpening;
    mUnreached.clear();
    for (const QStringList& path : openFolderPaths())
        again.append({path, true, false});
    if (const QStringList current = currentPath(); !current.isEmpty())
        again.append({current, false, true});
    mModel->resetTree(true);
    mOpening = again;
    getDetailsForPath(snapshotFolder);
}

void RestoreViewController::continueOpening() {
    QTreeView* view = mUi->mOutlineView;
    while (!mOpening.isEmpty()) {
        const OpenRequest request = mOpening.first();
        ZHTreeNode* node = mModel->tree().mRootItem();
        if (node->hasdummyChildren())
            return; // the root is still being listed
        ZHTreeNode* reached = nullptr;
        for (qsizetype i = 0; i < request.components.size(); ++i) {
            ZHTreeNode* child = childNamed(node, request.components.at(i));
            if (!child) {
                // Not in what is listed here: opened as far as it goes, and tried again in the next.
                mUnreached.append(request);
                break;
            }
            reached = child;
            if (child->isAFile())
                break;
            if (i + 1 < request.components.size() || request.expandLast) {
                const QModelIndex index = mModel->indexFor(child);
                if (!view->isExpanded(index))
                    view->expand(index); // lists the folder when it has not been listed
                if (child->hasdummyChildren())
                    return; // goes on once that listing is in
            }
            node = child;
        }
        if (request.select && reached) {
            const QModelIndex index = mModel->indexFor(reached);
            view->setCurrentIndex(index);
            view->scrollTo(index, QAbstractItemView::PositionAtTop);
        }
        mOpening.removeFirst();
    }
}

void RestoreViewController::fetchChildrenFor(const QString& path, ZHTreeNode* node) {
    const quint64 generation = mModel->generation();
    const bool live = mSelectedSnapshot == LiveTitle;
    const QString snapshot = snapshotFolderFor(mSelectedSnapshot);
    runInBackground([this, path, node, generation, live, snapshot] {
        QMutexLocker locker(&mLock);
        if (ListingRunning) {
            ++mRetries;
            post([this, path, node, generation] {
                QTimer::singleShot(mTimings.listingRetryMs, this, [this, path, node, generation] {
                    if (generation == mModel->generation())
                        fetchChildrenFor(path, node);
                    --mRetries;
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
        const QList<QVariantMap> entries = ParseOutput(r.out);
        post([this, node, generation, entries] {
            ListingRunning = false;
            if (generation == mModel->generation() && node->hasdummyChildren()) {
                mModel->setFolderEntries(node, entries);
                continueOpening();
            }
            // The listing's text and entries are gone once this has run: give their memory back.
            QTimer::singleShot(0, [] { releaseFreeMemory(); });
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
        for (QByteArrayView line : linesOf(names.out)) {
            if (!windowLoaded || mClosing)
                break;
            const std::optional<ListingParser::Entry> snapshot = ListingParser::parseLine(line);
            if (!snapshot || snapshot->name.startsWith(u'.'))
                continue;
            const QString folder = snapshot->name;
            // Only a snapshot whose account folder holds something other than a sparse bundle is offered.
            const QStringList check = command(
                {},
                RsyncConventions::remotePath(
                    Form::SnapshotCheck, {a.user, a.address, QString(folder).remove(u' '), a.user}, launch),
                QString(), &program);
            const QList<QVariantMap> first = ParseOutput(startProcess(program, check).out);
            const bool offered = !first.isEmpty() && !first.first()
                                                          .value(QStringLiteral("RelativePath"))
                                                          .toString()
                                                          .contains(QStringLiteral(".sparsebundle"));
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
    relist(snapshotDic.value(title));
    if (title != LiveTitle) {
        mUi->search->hide();
        mUi->resetSnapshotBtn->show();
        if (!title.startsWith(ZHTreeNode::LoadingName))
            mUi->pHeaderContent->setText(
                QCoreApplication::translate("RestoreViewController", "Snapshot as on %1").arg(title));
    } else {
        mUi->search->show();
        mUi->resetSnapshotBtn->hide();
        mUi->pHeaderContent->clear();
    }
}

void RestoreViewController::cancelSnapshot() {
    mUi->snapshotBtn->setCurrentIndex(0);
    mSelectedSnapshot = LiveTitle;
    mUi->search->show();
    mUi->pHeaderContent->clear();
    relist(QString());
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
            items.append({name, name, -1, false, QString()});
        return items;
    }
    for (ZHTreeNode* node : mModel->tree().getAllSelectedNode())
        items.append({node->relativePath(), node->fullPath(),
                      node->isAFile() ? bytesOf(node->getFileSize()) : -1, !node->isAFile(), QString()});
    return items;
}

void RestoreViewController::Restore() {
    QList<Item> items = selection();
    const auto alert = [this](const QString& text) {
        auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), text, QMessageBox::NoButton, this);
        box->addButton(QCoreApplication::translate("RestoreViewController", "Ok"), QMessageBox::AcceptRole);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        mUi->restoreButton->setEnabled(true);
    };
    if (items.isEmpty())
        return alert(
            QCoreApplication::translate("RestoreViewController", "Please Select files / folders to restore"));
    const QString destination = mUi->pDownloadLocation->text();
    // What can never be written into is refused before anything is asked or started.
    const QFileInfo there(destination);
    if (destination.isEmpty() || there.isRelative())
        return alert(QCoreApplication::translate("RestoreViewController",
                                                 "Choose the folder to restore into with “Browse...”."));
    if (there.exists() && !there.isDir())
        return alert(QCoreApplication::translate("RestoreViewController",
                                                 "“%1” is a file, not a folder. Choose the folder to restore "
                                                 "into with “Browse...”.")
                         .arg(destination));
    beginRestore(items, destination,
                 mSelectedSnapshot == LiveTitle ? QString() : snapshotFolderFor(mSelectedSnapshot));
}

void RestoreViewController::beginRestore(QList<Item> items, const QString& destination,
                                         const QString& snapshot) {
    {
        QMutexLocker locker(&mStateLock);
        dwonloadingFiles.clear();
    }
    // A file the restore would replace is kept beside it under this suffix instead (items landing on
    // the same name get one each, so none of them replaces what another kept).
    const QString keepSuffix =
        QDateTime::currentDateTime().toString(QStringLiteral("'.before-restore-'yyyyMMdd-HHmmss"));
    QList<RestoreSummary::Item> entries;
    for (const Item& item : std::as_const(items))
        entries.append({item.name, item.size, item.isFolder, item.path});
    const QStringList suffixes = RestoreSummary::keepSuffixes(entries, keepSuffix);
    for (qsizetype i = 0; i < items.size(); ++i)
        items[i].keepSuffix = suffixes.at(i);
    const auto start = [this, items, destination, snapshot] {
        {
            QMutexLocker state(&mStateLock);
            for (const Item& item : items)
                mRestorePending.append(item.name);
        }
        ++mRestoreJobs;
        runInBackground([this, items, destination, snapshot] { StartRestore(items, destination, snapshot); });
    };
    if (!mSummaryBeforeRestore) {
        start();
        return;
    }
    auto* summary = new RestoreSummaryDialog(RestoreSummary::of(entries, destination, keepSuffix), this);
    summary->setAttribute(Qt::WA_DeleteOnClose);
    connect(summary, &QDialog::accepted, this, start);
    summary->open();
}

QString RestoreViewController::defaultDownloadFolder(const QString& personHome) {
    const QString home = QDir::cleanPath(personHome.isEmpty() ? QDir::homePath() : personHome);
    // The desktop's own folder, under whatever name the person's desktop gives it, when this process
    // runs with the person's home (as the application does).
    if (QDir::cleanPath(QDir::homePath()) == home) {
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        if (!desktop.isEmpty() && QDir::cleanPath(desktop) != home)
            return QDir::cleanPath(desktop);
    }
    return home + QStringLiteral("/Downloads");
}

bool RestoreViewController::prepareDestination(const QString& folder, QString* error) {
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (folder.isEmpty() || QDir::isRelativePath(folder))
        return fail(
            QCoreApplication::translate("RestoreViewController", "no folder to restore into is chosen"));
    // The folders missing on the way, outermost first. Without them rsync would take the destination
    // for the name of the one file it writes.
    const QString target = QDir::cleanPath(folder);
    QStringList missing;
    for (QString at = target;;) {
        const QFileInfo info(at);
        if (info.exists()) {
            if (!info.isDir())
                return fail(
                    QCoreApplication::translate("RestoreViewController", "“%1” is a file, not a folder")
                        .arg(at));
            break;
        }
        missing.prepend(at);
        const QString up = info.path();
        if (up == at)
            break;
        at = up;
    }
    for (const QString& path : std::as_const(missing))
        if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST)
            return fail(
                QCoreApplication::translate("RestoreViewController", "the folder “%1” cannot be created (%2)")
                    .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    if (!QFileInfo(target).isDir())
        return fail(QCoreApplication::translate("RestoreViewController", "“%1” is not a folder").arg(target));
    if (::access(QFile::encodeName(target).constData(), W_OK | X_OK) != 0)
        return fail(QCoreApplication::translate("RestoreViewController", "you cannot write into “%1” (%2)")
                        .arg(target, QString::fromLocal8Bit(std::strerror(errno))));
    return true;
}

void RestoreViewController::refuseRestore(const QList<Item>& items, const QString& reason) {
    QStringList names;
    for (const Item& item : items)
        names.append(item.name);
    if (mTrace)
        mTrace->logInteractiveTrace(QStringLiteral("Restore not started: %1").arg(reason), true);
    const QString text =
        QCoreApplication::translate("RestoreViewController", "Nothing was restored: %1.").arg(reason);
    post([this, names, text] {
        {
            QMutexLocker state(&mStateLock);
            for (const QString& name : names)
                mRestorePending.removeOne(name);
        }
        --mRestoreJobs;
        setBusyUi(false);
        mUi->pStatusContent->setText(text);
        mUi->pStatusContent->show();
        auto* box =
            new QMessageBox(QMessageBox::Warning, windowTitle(),
                            text + QCoreApplication::translate("RestoreViewController",
                                                               " Choose another folder with “Browse...”."),
                            QMessageBox::NoButton, this);
        box->addButton(QCoreApplication::translate("RestoreViewController", "Ok"), QMessageBox::AcceptRole);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        emit restoreFinished(names);
    });
}

void RestoreViewController::StartRestore(const QList<Item>& items, const QString& destination,
                                         const QString& snapshot) {
    QMutexLocker locker(&mLock);
    if (mClosing)
        return; // the window's end names what was not restored
    restoreRunning = true;
    post([this] { setBusyUi(true); });
    {
        QMutexLocker state(&mStateLock);
        dwonloadingFiles.clear();
        for (const Item& item : items)
            dwonloadingFiles.append(item.name);
    }
    QString problem;
    if (!prepareDestination(destination, &problem)) {
        restoreRunning = false;
        refuseRestore(items, problem);
        return;
    }
    RsyncConventions::Launch launch;
    const Account a = prepareRun(&launch);
    const bool system = launch == RsyncConventions::Launch::Shell;
    QStringList failed, cancelled;
    for (const Item& item : items) {
        if (mClosing)
            break;
        const QString itemPath = item.renamed && item.isFolder ? item.path + u'/' : item.path;
        const QString remote =
            snapshot.isEmpty()
                ? RsyncConventions::remotePath(Form::UserItem, {a.user, a.address, a.user, itemPath}, launch)
                : RsyncConventions::remotePath(
                      Form::SnapshotItem, {a.user, a.address, snapshot + u'/' + a.user + u'/' + itemPath},
                      launch);
        QString program;
        // An item restored under another name is written as that name (a folder's content into it).
        const QString target =
            QDir(destination)
                .filePath(item.renamed ? item.name
                                       : item.path.section(u'/', -1, -1, QString::SectionSkipEmpty));
        // --times: a restored file keeps the modification time it had, not the time of the restore.
        const QStringList arguments =
            command({QStringLiteral("--progress"), QStringLiteral("--recursive"), QStringLiteral("--times"),
                     QStringLiteral("--backup"), QStringLiteral("--suffix=") + item.keepSuffix},
                    remote, item.renamed ? target : destination, &program);
        excludeWhileRestoring(target);
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
                pid = started;
                post([this] {
                    showDownloadControls(true);
                    mUi->pStatusContent->setText(
                        QCoreApplication::translate("RestoreViewController", "Downloading..."));
                });
            },
            true);
        bool wasCancelled = false;
        {
            QMutexLocker state(&mStateLock);
            runningRestoreProcess = 0;
            wasCancelled = pid != 0 && pid == mCancelledProcess;
        }
        if (mClosing && !(r.normalExit && r.exitCode == 0))
            break; // ended with the window: still pending, named by the window's end
        if (wasCancelled) {
            cancelled.append(item.name);
            if (mTrace)
                mTrace->logInteractiveTrace(QStringLiteral("Restore of %1 cancelled").arg(item.path), true);
        } else if (!(r.normalExit && r.exitCode == 0)) {
            failed.append(item.name);
            if (mTrace)
                mTrace->logInteractiveTrace(QStringLiteral("Restore of %1 failed (rsync exit status %2)")
                                                .arg(item.path)
                                                .arg(r.exitCode),
                                            true);
        }
        {
            QMutexLocker state(&mStateLock);
            mRestorePending.removeOne(item.name);
        }
        post([this] { showDownloadControls(false); });
        // Released a while later, once the watch has seen the last of its writes; the window's end
        // lifts it at once.
        post([this, target] {
            QTimer::singleShot(mTimings.exclusionReleaseMs, this,
                               [this, target] { mExclusions.release(target); });
        });
    }
    restoreRunning = false;
    if (mClosing) {
        QMutexLocker state(&mStateLock);
        mCutCancelled += cancelled;
        mCutFailed += failed;
        return;
    }
    post([this, failed, cancelled] {
        --mRestoreJobs;
        setBusyUi(false);
        QStringList lines;
        if (!cancelled.isEmpty())
            lines << QCoreApplication::translate("RestoreViewController",
                                                 "Restore cancelled: %1 not restored.")
                         .arg(cancelled.join(QStringLiteral(", ")));
        if (!failed.isEmpty())
            lines << QCoreApplication::translate("RestoreViewController", "Could not restore: %1")
                         .arg(failed.join(QCoreApplication::translate("RestoreViewController", ", ")));
        if (!lines.isEmpty()) {
            mUi->pStatusContent->setText(lines.join(u' '));
            mUi->pStatusContent->show();
        }
        // Only a restore that went through every item has finished; one cut short says so instead.
        if (cancelled.isEmpty())
            emit restoreFinished(failed);
        else
            emit restoreCancelled(cancelled, failed);
    });
}

void RestoreViewController::excludeWhileRestoring(const QString& target) {
    // The list is also the exclusion editor's, which writes it on the main thread: the change is made
    // there, and waited for unless the window ends meanwhile (its end waits for this thread).
    auto done = std::make_shared<QSemaphore>();
    post([this, target, done] {
        mExclusions.exclude(target);
        done->release();
    });
    while (!done->tryAcquire(1, 50))
        if (mClosing)
            return;
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
                    mUi->pStatusContent->setText(
                        QCoreApplication::translate("RestoreViewController", "Downloading %1 ").arg(line));
        } else {
            const QStringList p = pieces(line);
            if (p.size() >= 7 && !p.at(4).startsWith(u'.') && p.at(4).endsWith(u'%'))
                mUi->pStatusContent->setText(
                    QCoreApplication::translate("RestoreViewController", "Downloading %1 %2")
                        .arg(nameAfter(line, p.at(6)), p.at(4)));
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
    const std::chrono::milliseconds lockWait(mTimings.indexLockWaitMs);
    runInBackground([this, text, account, folder, lockWait] {
        const SearchController::Outcome outcome =
            SearchController::searchIndex(folder, account, text, SearchController::MaxHits, lockWait);
        if (outcome.status != IndexSearch::Status::Ok && mTrace)
            mTrace->logInteractiveTrace(
                QStringLiteral("Search of the index ended early: %1").arg(outcome.error), true);
        post([this, outcome] {
            if (SearchControllerdlg)
                delete SearchControllerdlg.data();
            mUi->backgroundview->hide();
            SearchControllerdlg = new SearchController(this);
            mUi->contentLayout->insertWidget(1, SearchControllerdlg);
            connect(SearchControllerdlg, &SearchController::backRequested, this,
                    &RestoreViewController::removeSearchView);
            SearchControllerdlg->setSearchOutcome(outcome);
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

QString RestoreViewController::helpText() const {
    if (mKind == PlatformProfile::Kind::MacOS)
        return QCoreApplication::translate(
            "RestoreViewController", "Select the ‘Show Time Machine in menu bar’ option.Click the icon from "
                                     "the menu bar and select the ‘Enter Time Machine’ option.");
    // Here earlier versions are the appliance's own snapshots, reached in this window.
    return QCoreApplication::translate(
        "RestoreViewController",
        "Earlier versions of your files are the read-only snapshots the appliance keeps "
        "of your backup. Choose one in the list at the top of this window "
        "(‘Snapshot’ is your backup as it is now), tick the files and folders "
        "you need and press ‘Restore’.");
}

void RestoreViewController::HelpButton() {
    auto* popup = new ZHPopupView(this);
    popup->setObjectName(QStringLiteral("ZHPopupView"));
    popup->setPopupContent(helpText());
    if (mKind == PlatformProfile::Kind::MacOS) {
        popup->resize(334, 75);
    } else {
        // As tall as the text needs at the popover's width.
        popup->setFixedWidth(334);
        popup->setFixedHeight(std::max(75, popup->layout()->totalHeightForWidth(334)));
    }
    popup->move(mUi->helpButton->mapToGlobal(QPoint(mUi->helpButton->width(), 0)));
    popup->show();
}

void RestoreViewController::timeMachineRestore() {
    if (mTrace)
        mTrace->logInteractiveTrace(QStringLiteral("Time Machine restore asked for"), true);
}

void RestoreViewController::HideTimeMachineRelatedUI(bool hide) {
    mUi->timeMachineButton->setVisible(!hide && mKind == PlatformProfile::Kind::MacOS);
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

void RestoreViewController::windowClosed() {
    windowLoaded = false;
    mClosedMeanwhile = true;
    // The listings end with the window; a restore goes on (its end is notified, and the window comes
    // back with it when opened again), so its child is spared.
    QMutexLocker locker(&mStateLock);
    for (qint64 pid : std::as_const(runningProcesses))
        if (pid != runningRestoreProcess)
            killGroup(pid);
}

void RestoreViewController::closeEvent(QCloseEvent* event) {
    windowClosed();
    event->accept();
}

void RestoreViewController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!mClosedMeanwhile || mClosing)
        return;
    // Shown again after a close (kept for its restore): what was cut off then is listed afresh.
    mClosedMeanwhile = false;
    windowLoaded = true;
    getSnapshotDetailsForPath();
    relist(mSelectedSnapshot == LiveTitle ? QString() : snapshotDic.value(mSelectedSnapshot));
}

bool RestoreViewController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mUi->mOutlineView->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* press = static_cast<QMouseEvent*>(event);
        if (!mUi->mOutlineView->indexAt(press->position().toPoint()).isValid())
            mUi->mOutlineView->clearSelection();
    }
    return QWidget::eventFilter(watched, event);
}
