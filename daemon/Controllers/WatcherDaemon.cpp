#include "WatcherDaemon.h"

#include "BackupfileController.h"
#include "ConsoleUserManager.h"
#include "ExcludeManager.h"
#include "FileSystemEventStream.h"
#include "FreeNasUserController.h"
#include "MultipleFreeNasAccountManager.h"
#include "ReadController.h"
#include "RezodeLoger.h"

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
}

void WatcherDaemon::start() {
    mConsoleUsers->start();
}

std::unique_ptr<QObject> WatcherDaemon::makeAccountManager(const QString& consoleUser) {
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
