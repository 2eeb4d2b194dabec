#include "FSEventWatcher.h"

#include "BackupfileController.h"
#include "ExcludeManager.h"
#include "RezodeLoger.h"

#include <QFile>

#include <sys/stat.h>

using Event = FileSystemEventStream::Event;

namespace {

bool isUtf8(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

QString folderOf(const QString& path) {
    return path.left(path.lastIndexOf(u'/'));
}

bool existsNow(const Event& event) {
    struct stat st {};
    const QByteArray native = event.nativePath.isEmpty() ? QFile::encodeName(event.path) : event.nativePath;
    return ::lstat(native.constData(), &st) == 0;
}

} // namespace

FSEventWatcher::FSEventWatcher(DaemonServices services, ExcludeManager* excludeManager,
                               BackupfileController* collector, std::unique_ptr<FileSystemEventStream> stream)
    : mServices(std::move(services)), mExcludeMngObj(excludeManager), mCollector(collector),
      mFileStream(std::move(stream)) {}

FSEventWatcher::~FSEventWatcher() {
    if (mFileStream)
        mFileStream->stop();
    mOperationQueue.waitForDone();
}

void FSEventWatcher::setWithDetails(const QVariantMap& details) {
    mExcludeMngObj->setConsoleUserName(details.value(QStringLiteral("ConsoleUser")).toString());
}

QString FSEventWatcher::backendName() const {
    return mFileStream ? mFileStream->backendName() : QString();
}

bool FSEventWatcher::startWatcher() {
    RezodeLoger& trace = *mServices.logger;
    if (!mFileStream) {
        trace.logDaemonTrace(QStringLiteral("File system events are not available: no event stream"), true);
        return false;
    }
    const bool started = mFileStream->start([this](QList<Event> events) { processData(std::move(events)); },
                                            [&trace](const FileSystemEventStream::Report& report) {
                                                trace.logDaemonTrace(report.message, true);
                                            });
    if (!started)
        trace.logDaemonTrace(
            QStringLiteral("File system events are not available: %1").arg(mFileStream->lastError()), true);
    else
        trace.logDaemonTrace(
            QStringLiteral("Watching file system events with %1").arg(mFileStream->backendName()), true);
    return started;
}

void FSEventWatcher::processData(QList<Event> events) {
    // The stream's thread returns at once; the batch is handled on the pool.
    mOperationQueue.start([this, events = std::move(events)] { handleFsData(events); });
}

void FSEventWatcher::waitForBatches() {
    mOperationQueue.waitForDone();
}

void FSEventWatcher::queue(const Event& event) {
    if (event.nativePath.isEmpty() || isUtf8(event.nativePath)) {
        mCollector->addBackupFiles(event.path);
        return;
    }
    // Backup lists are UTF-8 text, so such a name cannot be listed itself; its folder can, and rsync
    // brings the item along with its exact bytes.
    QByteArray folder = event.nativePath.left(event.nativePath.lastIndexOf('/'));
    while (!folder.isEmpty() && !isUtf8(folder))
        folder = folder.left(folder.lastIndexOf('/'));
    const QString folderPath = folder.isEmpty() ? QStringLiteral("/") : QString::fromUtf8(folder);
    mServices.logger->logDaemonTrace(
        QStringLiteral("Name is not UTF-8, backing up its folder instead: %1").arg(folderPath), true);
    if (!mExcludeMngObj->isExcludeTheFile(folderPath))
        mCollector->addBackupFiles(folderPath);
}

void FSEventWatcher::handleFsData(const QList<Event>& events) {
    QString pendingRename; // the old name of a rename pair, within this batch only
    for (const Event& event : events) {
        if (mExcludeMngObj->isExcludeTheFile(event.path))
            continue;
        // Changes below this folder were lost (a kernel queue overflow): the folder itself goes to the
        // backup, and rsync finds what changed in it.
        if (event.flags & FileSystemEventStream::MustScanSubDirs) {
            queue(event);
            continue;
        }
        if (event.flags & FileSystemEventStream::ItemRenamed) {
            if (pendingRename.isNull()) {
                pendingRename = event.path;
                continue;
            }
            const bool sameFolder = folderOf(pendingRename) == folderOf(event.path);
            if (existsNow(event))
                queue(event);
            if (!sameFolder)
                pendingRename = QString();
            continue;
        }
        if ((event.flags & FileSystemEventStream::ItemCreated) &&
            !(event.flags & FileSystemEventStream::ItemRemoved))
            queue(event);
    }
}
