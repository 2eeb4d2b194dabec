#include "FSEventWatcher.h"

#include "BackupfileController.h"
#include "ExcludeManager.h"
#include "RezodeLoger.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

using Event = FileSystemEventStream::Event;

namespace {

bool isUtf8(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// A name a line-based list can hold: UTF-8, without a line feed or carriage return.
bool isListable(const QByteArray& bytes) {
    return !bytes.contains('\n') && !bytes.contains('\r') && isUtf8(bytes);
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
    mConsoleUser = details.value(QStringLiteral("ConsoleUser")).toString();
    mExcludeMngObj->setConsoleUserName(mConsoleUser);
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
    mServices.logger->logDaemonTrace(
        QStringLiteral("Changes were lost below %1, backing up the home folder %2 again").arg(path, home),
        true);
    const QStringList entries =
        QDir(home).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        const QString entry = home + QLatin1Char('/') + name;
        if (!mExcludeMngObj->isExcludeTheFile(entry))
            queue({entry, 0, QFile::encodeName(entry)});
    }
}

void FSEventWatcher::handleFsData(const QList<Event>& events) {
    QString pendingRename; // the old name of a rename pair, within this batch only
    for (const Event& event : events) {
        // Lost changes come before the exclusion rules: the path named may well be excluded ("/").
        if (event.flags & FileSystemEventStream::MustScanSubDirs) {
            rescan(event.path);
            continue;
        }
        if (mExcludeMngObj->isExcludeTheFile(event.path))
            continue;
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
