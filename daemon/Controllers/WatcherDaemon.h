#pragma once

#include "DaemonServices.h"

#include <QObject>
#include <QVariantMap>

#include <memory>

class BackupfileController;
class ConsoleUserManager;
class ExcludeManager;
class ReadController;

// The daemon's object graph: the console-user manager at the top, which builds the account manager,
// which builds the per-user controller with the shared collector, exclusion rules and backup
// controller. main() gives it the machine's services; a test host gives it a temporary profile root,
// a private bus, a console-user double and short timings.
class WatcherDaemon {
  public:
    explicit WatcherDaemon(DaemonServices services);
    ~WatcherDaemon();

    // Start-up on the calling (main) thread.
    void start();

    BackupfileController& collector() { return *mCollector; }
    ExcludeManager& excludeManager() { return *mExcludes; }
    ReadController& backupController() { return *mBackupController; }

  private:
    std::unique_ptr<QObject> makeAccountManager(const QString& consoleUser);
    std::unique_ptr<QObject> makeUserController(const QVariantMap& details);

    DaemonServices mServices;
    std::unique_ptr<BackupfileController> mCollector;
    std::unique_ptr<ExcludeManager> mExcludes;
    std::unique_ptr<ReadController> mBackupController;
    std::unique_ptr<ConsoleUserManager> mConsoleUsers;
};
