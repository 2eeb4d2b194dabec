#include "BackupfileController.h"

#include "AccountRecord.h"
#include "DaemonRestarter.h"
#include "DateFormat.h"
#include "DistributedNotificationCenter.h"
#include "FileTools.h"
#include "InProcessNotificationCenter.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "UserFileAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QTimer>

#include <algorithm>

#include <sys/stat.h>

BackupfileController::BackupfileController(DaemonServices services, const QString& consoleUser)
    : mServices(std::move(services)),
      mAppSupportFilePathsObjct(FilePathsController::Table::Daemon, mServices.profile) {
    mAppSupportFilePathsObjct.setM_ConsoleUserName(consoleUser);
}

BackupfileController::~BackupfileController() {
    if (mServices.notifications)
        mServices.notifications->removeObserver(this);
    if (mServices.localNotifications)
        mServices.localNotifications->removeObserver(this);
    if (mCollectorThread) {
        mCollectorThread->quit();
        mCollectorThread->wait();
    }
}

QString BackupfileController::listFileStem(const QDateTime& when) {
    return DateFormat::format("yyyy-MM-dd HH-mm-ss-SSS", when);
}

void BackupfileController::initBackupfileController(const QString& consoleUser) {
    mAppSupportFilePathsObjct.setM_ConsoleUserName(consoleUser);
    RezodeLoger& trace = *mServices.logger;

    // The person's waiting work stays root's, in a folder of its own: the application (the person)
    // looks into it for pending lists, nobody else can; the lists themselves are root's alone.
    const QString listFolder =
        mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::BackupListsFolder);
    const QString personFolder = QFileInfo(listFolder).path();
    const QString perUser = QFileInfo(personFolder).path();
    FileTools::makePath(listFolder);
    ::chmod(QFile::encodeName(perUser).constData(), 0755);
    const std::optional<UserFileAccess::Account> person = UserFileAccess::lookup(consoleUser);
    if (::geteuid() == 0 && person &&
        ::chown(QFile::encodeName(personFolder).constData(), 0, person->gid) == 0)
        ::chmod(QFile::encodeName(personFolder).constData(), 0750);
    else
        ::chmod(QFile::encodeName(personFolder).constData(), 0755);
    ::chmod(QFile::encodeName(listFolder).constData(), 0755);

    // The collector and its thread are shared by everything this process serves: a second set-up
    // keeps the running thread (replacing it would destroy a running QThread).
    if (mCollectorThread)
        return;
    mCollectorThread = std::make_unique<QThread>();
    mCollectorThread->setObjectName(QStringLiteral("change collector"));
    auto* timer = new QTimer;
    timer->setInterval(mServices.timings.changeFlushInterval);
    timer->moveToThread(mCollectorThread.get());
    connect(timer, &QTimer::timeout, timer, [this] { timerFireMethod(); });
    connect(mCollectorThread.get(), &QThread::started, timer, qOverload<>(&QTimer::start));
    connect(mCollectorThread.get(), &QThread::finished, timer, &QObject::deleteLater);
    mCollectorThread->start();

    // A planned restart writes out what is still pending.
    if (mServices.restarter)
        mServices.restarter->addBeforeExitHook([this] { timerFireMethod(); });

    trace.logDaemonTrace(QStringLiteral("mInitialBackupSetReady observer registered."), true);
    if (mServices.localNotifications)
        mServices.localNotifications->addObserver(
            this, Protocol::Initialbackup,
            [this](const QString&, const QVariantMap&) { writeInitialBackupList(); });

    if (QFile::exists(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialSetReadyMarker)) ||
        QFile::exists(
            mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker))) {
        trace.logDaemonTrace(QStringLiteral("Previous initial backup not happend properly so starts again"),
                             true);
        writeInitialBackupList();
    }

    observeReinitialize(consoleUser);
}

void BackupfileController::observeReinitialize(const QString& consoleUser) {
    mAppSupportFilePathsObjct.setM_ConsoleUserName(consoleUser);
    if (mReinitializeObserved || !mServices.notifications)
        return;
    mReinitializeObserved = true;
    mServices.notifications->addObserver(
        this, Protocol::Reinitialize,
        [this](const QString&, const QVariantMap&) { receiveReinitializeNotification(); });
    mServices.notifications->addObserver(
        this, Protocol::BackupNow,
        [this](const QString&, const QVariantMap& info) { receiveBackupNowNotification(info); });
}

void BackupfileController::addBackupFiles(const QString& path) {
    if (path.isNull() || path.startsWith(QLatin1String("/private/")))
        return;
    QMutexLocker lock(&mBLock);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (mBackupFilesCollection.isEmpty())
        mFirstAddedMs = now;
    mLastAddedMs = now;
    mBackupFilesCollection.insert(path);
    if (mPendingObserver)
        mPendingObserver();
}

bool BackupfileController::receiveBackupNowNotification(const QVariantMap& userInfo) {
    const QString path = userInfo.value(Protocol::KeyPath).toString();
    const QString consoleUser = mAppSupportFilePathsObjct.m_ConsoleUserName();
    // One line of a list: no line break (it would make a second, unchecked path) nor any other control
    // character, and no longer than a path can be.
    const bool oneLine = path.size() <= 4096 && std::none_of(path.cbegin(), path.cend(), [](QChar c) {
                             return c.unicode() < 0x20 || c.unicode() == 0x7f;
                         });
    bool visible = false;
    if (oneLine && QDir::isAbsolutePath(path) && QDir::cleanPath(path) == path && !consoleUser.isEmpty()) {
        // Looked at with the person's rights: nobody names a path to root that they cannot see.
        UserFileAccess access(consoleUser);
        // stat(2) itself, under the person's file-system ids: QFileInfo::exists() said yes to a path
        // behind a folder closed to them.
        struct stat st {};
        visible = ::lstat(QFile::encodeName(path).constData(), &st) == 0;
    }
    if (!visible) {
        const QString line = mBackupNowRefusals.admit(
            QStringLiteral(
                "BackupNow refused for \"%1\": not an absolute path the person at the screen can see")
                .arg(RateLimitedTrace::quoted(path)));
        if (!line.isEmpty())
            mServices.logger->logDaemonTrace(line, true);
        return false;
    }
    mServices.logger->logDaemonTrace(QStringLiteral("BackupNow: %1 queued").arg(path), true);
    addBackupFiles(path);
    return true;
}

int BackupfileController::pendingCount() const {
    QMutexLocker lock(&mBLock);
    return mBackupFilesCollection.size();
}

BackupfileController::Pending BackupfileController::pending() const {
    QMutexLocker lock(&mBLock);
    // What a flush took waits too until its list is in place: between the two it is in neither.
    Pending out;
    if (!mBackupFilesCollection.isEmpty())
        out = {int(mBackupFilesCollection.size()), mFirstAddedMs, mLastAddedMs};
    if (mFlushing > 0) {
        out.firstAddedMs =
            out.count > 0 ? std::min(out.firstAddedMs, mFlushFirstAddedMs) : mFlushFirstAddedMs;
        out.lastAddedMs = std::max(out.lastAddedMs, mFlushLastAddedMs);
        out.count += mFlushing;
    }
    return out;
}

void BackupfileController::setPendingObserver(std::function<void()> observer) {
    QMutexLocker lock(&mBLock);
    mPendingObserver = std::move(observer);
}

void BackupfileController::writeInitialBackupList() {
    RezodeLoger& trace = *mServices.logger;
    trace.logDaemonTrace(QStringLiteral("mInitialBackupSetReady writeInitialBackupList called."), true);
    trace.logDaemonTrace(
        QStringLiteral(
            "Read the initial backup list plist write those list to backup folder to start backup."),
        true);
    const QStringList initial = PropertyList::readStringArray(
        mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialBackupList));
    QMutexLocker lock(&mBLock);
    FileTools::writeAtomically(
        mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialSetReadyMarker),
        QByteArray(Protocol::MarkerContent.data(), Protocol::MarkerContent.size()), 0644);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (mBackupFilesCollection.isEmpty())
        mFirstAddedMs = now;
    mLastAddedMs = now;
    for (const QString& path : initial)
        mBackupFilesCollection.insert(path);
    if (mPendingObserver)
        mPendingObserver();
}

bool BackupfileController::timerFireMethod() {
    QMutexLocker flush(&mFlushLock);
    QStringList paths;
    {
        QMutexLocker lock(&mBLock);
        if (mBackupFilesCollection.isEmpty())
            return true;
        paths = QStringList(mBackupFilesCollection.cbegin(), mBackupFilesCollection.cend());
        mBackupFilesCollection.clear();
        mFlushFirstAddedMs = mFirstAddedMs;
        mFlushLastAddedMs = mLastAddedMs;
        mFlushing = int(paths.size());
    }
    const QString folder = mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::BackupListsFolder);
    const QString name =
        folder + u'/' + listFileStem(QDateTime::currentDateTime()) + u'.' + Protocol::ListExtensionProgress;
    const int written = writeFilesEntryAtPath(name, paths);
    QMutexLocker lock(&mBLock);
    mFlushFirstAddedMs = mFlushLastAddedMs = 0;
    mFlushing = 0;
    if (mPendingObserver)
        mPendingObserver();
    return written == (paths.size() + PathsPerListFile - 1) / PathsPerListFile;
}

int BackupfileController::writeFilesEntryAtPath(const QString& progressPath, const QStringList& paths) {
    if (paths.isEmpty())
        return 0;
    const QFileInfo info(progressPath);
    const QString folder = info.path();
    const QString stem = info.completeBaseName();
    int written = 0;
    QStringList lost;
    for (int start = 0, k = 1; start < paths.size(); start += PathsPerListFile, ++k) {
        QStringList chunk;
        const int end = std::min<int>(start + PathsPerListFile, paths.size());
        for (int i = start; i < end; ++i) {
            if (i % 100 == 0)
                QThread::msleep(10);
            chunk << paths.at(i);
        }
        const QString finalPath = QStringLiteral("%1/%2_%3").arg(folder, stem).arg(k);
        const QString partial = finalPath + u'.' + Protocol::ListExtensionProgress;
        QString error;
        // The paths of the person's files are for root's eyes only.
        const bool ok = FileTools::writeAtomically(partial, chunk.join(u'\n').toUtf8(), 0600, &error) &&
                        QFile::rename(partial, finalPath);
        if (ok) {
            ++written;
            // A list's time is that of the oldest change in it, so what waits can tell its age.
            if (mFlushFirstAddedMs > 0)
                FileTools::setModificationTime(finalPath, mFlushFirstAddedMs);
            QMutexLocker lock(&mBLock);
            mFlushing = std::max(0, mFlushing - int(chunk.size()));
        } else {
            QFile::remove(partial);
            mServices.logger->logDaemonTrace(
                QStringLiteral("Backup list %1 could not be written, its paths wait for the next flush: %2")
                    .arg(finalPath, error.isEmpty() ? QStringLiteral("cannot move it into place") : error),
                true);
            lost << chunk;
        }
        if ((k + 1) % 100 == 0)
            QThread::msleep(10);
    }
    if (!lost.isEmpty()) {
        QMutexLocker lock(&mBLock);
        const qint64 since =
            mFlushFirstAddedMs > 0 ? mFlushFirstAddedMs : QDateTime::currentMSecsSinceEpoch();
        if (mBackupFilesCollection.isEmpty() || since < mFirstAddedMs)
            mFirstAddedMs = since;
        mLastAddedMs = std::max(mLastAddedMs, since);
        for (const QString& path : lost)
            mBackupFilesCollection.insert(path);
        mFlushing = 0;
    }
    return written;
}

void BackupfileController::receiveReinitializeNotification() {
    // The record and the account folder lie in the user's home: both are reached with that user's
    // rights only, so a planted symlink or a "../" in the name cannot make root delete elsewhere.
    const QString consoleUser = mAppSupportFilePathsObjct.m_ConsoleUserName();
    QString refused;
    {
        UserFileAccess access(consoleUser);
        const QString user =
            AccountRecord::read(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::UserDetails))
                .userName();
        const QString accountPath = QStringLiteral("%1/%2").arg(
            mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::UserSupportFolder), user);
        // Without an account name the "account folder" would be the whole user support folder.
        if (!user.isEmpty() && !UserFileAccess::isSinglePathComponent(user)) {
            refused = QStringLiteral("Account name \"%1\" refused: not a single path component").arg(user);
        } else if (!user.isEmpty() && QFileInfo(accountPath).isSymLink()) {
            refused = QStringLiteral("Account folder %1 is a symbolic link, not emptied").arg(accountPath);
        } else if (!user.isEmpty() && access.active()) {
            QDir account(accountPath);
            if (account.exists()) {
                for (const QFileInfo& entry : account.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                                    QDir::Hidden | QDir::System)) {
                    if (entry.isDir() && !entry.isSymLink())
                        QDir(entry.filePath()).removeRecursively();
                    else
                        QFile::remove(entry.filePath());
                }
            }
        }
    }
    if (!refused.isEmpty())
        mServices.logger->logDaemonTrace(refused, true);
    QFile::remove(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialSetReadyMarker));
    QFile::remove(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker));
    mServices.logger->logDaemonTrace(
        QStringLiteral("receiveReinitializeNotification  so restarting deamon, it will take care."), true);
    FileTools::writeAtomically(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InstalMarker),
                               QByteArray(), 0644);
    mServices.restarter->exitProcess(1);
}
