#include "WatcherDaemon.h"

#include "BackupfileController.h"
#include "ConsoleUserManager.h"
#include "ExcludeManager.h"
#include "FileSystemEventStream.h"
#include "FreeNasUserController.h"
#include "MultipleFreeNasAccountManager.h"
#include "ReadController.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"

#include <QCoreApplication>
#include <QMutex>
#include <QSet>

namespace {

// A state file that reads as empty (malformed, of another type, too big, a FIFO or a symlink at its
// name) says why in the daemon's trace, once per file and reason: the account poll reads the record
// every few seconds.
QMutex gStateFileLock;
RezodeLoger* gStateFileTrace = nullptr;
QtMessageHandler gNextHandler = nullptr;
QSet<QString> gStateFileReasons;

void traceStateFileWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (context.category && qstrcmp(context.category, "zorvikhollin.plist") == 0) {
        QMutexLocker lock(&gStateFileLock);
        if (gStateFileTrace && QCoreApplication::instance() && !gStateFileReasons.contains(message)) {
            if (gStateFileReasons.size() > 256)
                gStateFileReasons.clear();
            gStateFileReasons.insert(message);
            // Written from the main loop: the reader may hold a user's rights, which the trace refuses.
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [line = QStringLiteral("State file read as empty: %1").arg(message)] {
                    QMutexLocker lock(&gStateFileLock);
                    if (gStateFileTrace)
                        gStateFileTrace->logDaemonTrace(line, true);
                },
                Qt::QueuedConnection);
        }
    }
    gNextHandler(type, context, message);
}

void traceStateFilesTo(RezodeLoger* trace) {
    QMutexLocker lock(&gStateFileLock);
    if (!gNextHandler)
        gNextHandler = qInstallMessageHandler(traceStateFileWarnings);
    gStateFileTrace = trace;
}

} // namespace

WatcherDaemon::WatcherDaemon(DaemonServices services) : mServices(std::move(services)) {
    mCollector = std::make_unique<BackupfileController>(mServices);
    mExcludes = std::make_unique<ExcludeManager>(mServices, mCollector.get());
    mBackupController = std::make_unique<ReadController>(mServices, mExcludes.get());
    mConsoleUsers = std::make_unique<ConsoleUserManager>(
        mServices, [this](const QString& consoleUser) { return makeAccountManager(consoleUser); });
}

WatcherDaemon::~WatcherDaemon() {
    // The console-user manager ends its watch thread (and the managers built there) first.
    mConsoleUsers.reset();
    QMutexLocker lock(&gStateFileLock);
    if (gStateFileTrace == mServices.logger)
        gStateFileTrace = nullptr;
}

void WatcherDaemon::start() {
    traceStateFilesTo(mServices.logger);
    mConsoleUsers->start();
    // Once the trace has its place (the console-user manager gives it one).
    RsyncConventions::removeLegacyPasswordFiles(mServices.profile, *mServices.logger);
}

std::unique_ptr<QObject> WatcherDaemon::makeAccountManager(const QString& consoleUser) {
    mCollector->observeReinitialize(consoleUser);
    auto manager = std::make_unique<MultipleFreeNasAccountManager>(
        mServices, mExcludes.get(),
        [this](const QVariantMap& details) { return makeUserController(details); });
    manager->initWithDetails(consoleUser);
    return manager;
}

std::unique_ptr<QObject> WatcherDaemon::makeUserController(const QVariantMap& details) {
    FileSystemEventStream::Options options;
    if (!mServices.profile.root.isEmpty())
        options.root = mServices.profile.root;
    options.usersFolder = mServices.profile.usersFolder;
    QString fallback;
    FreeNasUserController::Parts parts;
    parts.collector = mCollector.get();
    parts.excludeManager = mExcludes.get();
    parts.backupController = mBackupController.get();
    parts.eventStream = FileSystemEventStream::create(mServices.timings.fileEventLatency, options, &fallback);
    if (!fallback.isEmpty())
        mServices.logger->logDaemonTrace(fallback, true);
    auto controller = std::make_unique<FreeNasUserController>(mServices, std::move(parts));
    controller->initWithDetails(details);
    return controller;
}
