#include "FSEventWatcher.h"

#include "BackupfileController.h"
#include "DaemonRestarter.h"
#include "ExcludeManager.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "RezodeLoger.h"
#include "UserFileAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Event = FileSystemEventStream::Event;

namespace {

bool isUtf8(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// A name a line-based list can hold: UTF-8, without a line feed or carriage return.
bool isListable(const QByteArray& bytes) {
    return !bytes.contains('\n') && !bytes.contains('\r') && isUtf8(bytes);
}

// Whether the calling thread may open path for reading (access() would ask with the real uid, not
// the file-system uid of a UserFileAccess scope).
bool readable(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// path is folder or lies below it.
bool isBelow(const QString& path, const QString& folder) {
    return path == folder || (path.startsWith(folder) && path.at(folder.size()) == u'/');
}

bool existsNow(const Event& event) {
    struct stat st {};
    const QByteArray native = event.nativePath.isEmpty() ? QFile::encodeName(event.path) : event.nativePath;
    return ::lstat(native.constData(), &st) == 0;
}

} // namespace

struct FSEventWatcher::ExitGuard {
    QMutex lock;
    FSEventWatcher* watcher = nullptr;
};

FSEventWatcher::FSEventWatcher(DaemonServices services, ExcludeManager* excludeManager,
                               BackupfileController* collector, std::unique_ptr<FileSystemEventStream> stream)
    : mServices(std::move(services)), mExcludeMngObj(excludeManager), mCollector(collector),
      mFileStream(std::move(stream)) {}

FSEventWatcher::~FSEventWatcher() {
    if (mExitGuard) {
        QMutexLocker lock(&mExitGuard->lock); // waits for a clean end under way on another thread
        mExitGuard->watcher = nullptr;
    }
    if (mFileStream)
        mFileStream->stop();
    mOperationQueue.waitForDone();
}

void FSEventWatcher::setWithDetails(const QVariantMap& details) {
    mConsoleUser = details.value(QStringLiteral("ConsoleUser")).toString();
    mExcludeMngObj->setConsoleUserName(mConsoleUser);
    mHome = mConsoleUser.isEmpty() ? QString() : mServices.profile.homeOf(mConsoleUser);
    // The initial set as the last installation or Reinitialize left it (its roots, or what they
    // hold): what of it lies outside the users folder and the person may read is theirs to back up.
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    const QStringList initial =
        PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList));
    const QString users = mServices.profile.usersFolder;
    UserFileAccess access(mConsoleUser);
    mSharedFolders.clear();
    for (const QString& entry : initial)
        if (!entry.isEmpty() && !isBelow(entry, users) && (access.active() || ::geteuid() != 0) &&
            readable(entry))
            mSharedFolders << entry;
}

bool FSEventWatcher::isInScope(const QString& path) const {
    if (!mHome.isEmpty() && isBelow(path, mHome))
        return true;
    for (const QString& folder : mSharedFolders)
        if (isBelow(path, folder))
            return true;
    return false;
}

QString FSEventWatcher::backendName() const {
    return mFileStream ? mFileStream->backendName() : QString();
}

bool FSEventWatcher::startWatcher() {
    RezodeLoger& trace = *mServices.logger;
    if (!mFileStream) {
        trace.logDaemonTrace(QStringLiteral("File system events are not available: no event stream"), true);
        mCoverage.notWatching(QStringLiteral("no event stream"));
        return false;
    }
    const bool started = mFileStream->start([this](QList<Event> events) { processData(std::move(events)); },
                                            [this, &trace](const FileSystemEventStream::Report& report) {
                                                mCoverage.report(report);
                                                trace.logDaemonTrace(report.message, true);
                                            });
    if (!started) {
        trace.logDaemonTrace(
            QStringLiteral("File system events are not available: %1").arg(mFileStream->lastError()), true);
        mCoverage.notWatching(mFileStream->lastError());
    } else {
        trace.logDaemonTrace(
            QStringLiteral("Watching file system events with %1").arg(mFileStream->backendName()), true);
        mCoverage.watching(mFileStream.get());
    }
    if (started)
        beginWatch();
    return started;
}

void FSEventWatcher::beginWatch() {
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    paths.setM_ConsoleUserName(mConsoleUser);
    const QString marker = paths.pathForApplicationFile(DaemonPath::WatchMarker);
    if (marker.isEmpty() || !mMarkerPath.isEmpty())
        return;
    RezodeLoger& trace = *mServices.logger;
    const QFileInfo found(marker);
    const bool unclean = found.exists() || found.isSymLink();
    // The machine-wide state stays root's: the folder and the marker are not writable by anyone else.
    QString error;
    const QString folder = found.path();
    if (!FileTools::makePath(folder, 0755) || !QFileInfo(folder).isDir())
        error = QStringLiteral("cannot create %1").arg(folder);
    else if (found.isDir() && !found.isSymLink())
        QDir(marker).removeRecursively(); // the rename below replaces anything else at the name
    if (error.isEmpty())
        FileTools::writeAtomically(marker, QByteArray::number(QCoreApplication::applicationPid()) + '\n',
                                   0644, &error);
    if (!error.isEmpty())
        trace.logDaemonTrace(
            QStringLiteral("Watch marker %1 could not be written, a killed daemon's lost changes will not be "
                           "backed up again: %2")
                .arg(marker, error),
            true);
    else
        mMarkerPath = marker;
    if (unclean)
        backUpHomeAgain(
            QStringLiteral("The last watch for %1 did not end cleanly (killed or crashed), backing "
                           "up the home folder %2 again")
                .arg(mConsoleUser, mServices.profile.homeOf(mConsoleUser)));
    if (mMarkerPath.isEmpty() || !mServices.restarter)
        return;
    mExitGuard = std::make_shared<ExitGuard>();
    mExitGuard->watcher = this;
    mServices.restarter->addBeforeExitHook([guard = mExitGuard] {
        QMutexLocker lock(&guard->lock);
        if (guard->watcher)
            guard->watcher->endWatch();
    });
}

void FSEventWatcher::endWatch() {
    if (mMarkerPath.isEmpty())
        return;
    // A change reaches the stream's callback at most one latency after it happened; the margin covers
    // reading and handing over on a busy machine.
    const auto latency = mServices.timings.fileEventLatency;
    QThread::msleep(static_cast<unsigned long>((latency + latency / 5).count() + 100));
    mOperationQueue.waitForDone();
    mCollector->timerFireMethod();
    if (mCollector->pendingCount() > 0) {
        mServices.logger->logDaemonTrace(
            QStringLiteral("Changed paths could not be written at exit, the next watch backs up the home "
                           "folder again"),
            true);
        return;
    }
    if (!QFile::remove(mMarkerPath) && QFileInfo::exists(mMarkerPath))
        mServices.logger->logDaemonTrace(
            QStringLiteral("Watch marker %1 could not be removed, the next watch backs up the home folder "
                           "again")
                .arg(mMarkerPath),
            true);
    mMarkerPath.clear();
}

void FSEventWatcher::processData(QList<Event> events) {
    // The stream's thread returns at once; the batch is handled on the pool.
    // A batch that looks again at lost events ends the loss once it has been handled.
    const quint64 rescans = mCoverage.batchArrived(events);
    mOperationQueue.start([this, rescans, events = std::move(events)] {
        handleFsData(events);
        if (rescans)
            mCoverage.rescanned(rescans);
    });
}

void FSEventWatcher::waitForBatches() {
    mOperationQueue.waitForDone();
}

void FSEventWatcher::queue(const Event& event) {
    const QByteArray native = event.nativePath.isEmpty() ? QFile::encodeName(event.path) : event.nativePath;
    if (isListable(native)) {
        mCollector->addBackupFiles(event.path);
        return;
    }
    // Backup lists are UTF-8 text with one path a line, so such a name cannot be listed itself; its
    // folder can, and rsync brings the item along with its exact bytes.
    QByteArray folder = native.left(native.lastIndexOf('/'));
    while (!folder.isEmpty() && !isListable(folder))
        folder = folder.left(folder.lastIndexOf('/'));
    const QString folderPath = folder.isEmpty() ? QStringLiteral("/") : QString::fromUtf8(folder);
    mServices.logger->logDaemonTrace(
        (isUtf8(native) ? QStringLiteral("Name holds a line break, backing up its folder instead: %1")
                        : QStringLiteral("Name is not UTF-8, backing up its folder instead: %1"))
            .arg(folderPath),
        true);
    if (!mExcludeMngObj->isExcludeTheFile(folderPath))
        mCollector->addBackupFiles(folderPath);
}

void FSEventWatcher::rescan(const QString& path) {
    // Changes below path were lost. Below the user's home the folder itself goes to the backup, and
    // rsync finds what changed in it; a folder above the home (the whole disk, when the kernel queue
    // overflowed) stands for the home, whose entries go one by one through the exclusion rules.
    const QString home = mConsoleUser.isEmpty() ? QString() : mServices.profile.homeOf(mConsoleUser);
    const bool aboveHome =
        !home.isEmpty() && (path == QLatin1String("/") || home.startsWith(path + QLatin1Char('/')));
    if (!aboveHome) {
        if (!mExcludeMngObj->isExcludeTheFile(path)) {
            mServices.logger->logDaemonTrace(
                QStringLiteral("Changes were lost below %1, backing it up again").arg(path), true);
            queue({path, 0, QFile::encodeName(path)});
        }
        return;
    }
    backUpHomeAgain(
        QStringLiteral("Changes were lost below %1, backing up the home folder %2 again").arg(path, home));
}

void FSEventWatcher::backUpHomeAgain(const QString& why) {
    const QString home = mConsoleUser.isEmpty() ? QString() : mServices.profile.homeOf(mConsoleUser);
    if (home.isEmpty())
        return;
    mServices.logger->logDaemonTrace(why, true);
    const QStringList entries =
        QDir(home).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        const QString entry = home + QLatin1Char('/') + name;
        if (!mExcludeMngObj->isExcludeTheFile(entry))
            queue({entry, 0, QFile::encodeName(entry)});
    }
}

void FSEventWatcher::handleFsData(const QList<Event>& events) {
    for (const Event& event : events) {
        // Lost changes come before the exclusion rules: the path named may well be excluded ("/").
        if (event.flags & FileSystemEventStream::MustScanSubDirs) {
            rescan(event.path);
            continue;
        }
        if (!isInScope(event.path) || mExcludeMngObj->isExcludeTheFile(event.path))
            continue;
        // Either name of a rename: whatever is there under it now is owed, whatever became of the
        // other half. A save through a temporary name ("lu12345.tmp" renamed over "Report.odt", a
        // finished ".part" download) has an old half the rules exclude; an item moved in from a folder
        // nobody watches has none at all. The old name is gone, so it queues nothing.
        if (event.flags & FileSystemEventStream::ItemRenamed) {
            if (existsNow(event))
                queue(event);
            continue;
        }
        // Gone again (created and removed within the latency); one removed and made anew is owed.
        if ((event.flags & FileSystemEventStream::ItemRemoved) && !existsNow(event))
            continue;
        if (event.flags & FileSystemEventStream::ItemCreated) {
            queue(event);
            continue;
        }
        // A file written in place (editors that save over, databases, ">>"): its new content is owed.
        if ((event.flags & FileSystemEventStream::ItemModified) &&
            !(event.flags & FileSystemEventStream::ItemIsDir) && existsNow(event))
            queue(event);
    }
}
