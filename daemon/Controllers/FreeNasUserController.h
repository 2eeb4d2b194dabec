#pragma once

#include "DaemonServices.h"
#include "FilePathsController.h"
#include "FileSystemEventStream.h"

#include <QObject>
#include <QVariantMap>

#include <memory>

class BackupfileController;
class ExcludeManager;
class FSEventWatcher;
class MassChangeTripwire;
class ProtectionMonitor;
class ReadController;

// The root of the local backup for one appliance account: announces the daemon to the application,
// clears stray rsync processes, starts the change watcher, the change collector and the backup
// controller, and after an installation or a Reinitialize expands the initial backup set.
class FreeNasUserController : public QObject {
    Q_OBJECT
  public:
    struct Parts {
        BackupfileController* collector = nullptr;
        ExcludeManager* excludeManager = nullptr;
        ReadController* backupController = nullptr;
        // The file-system event stream the watcher takes over (may be null: no watching).
        std::unique_ptr<FileSystemEventStream> eventStream;
    };

    FreeNasUserController(DaemonServices services, Parts parts);
    ~FreeNasUserController() override;

    // Start-up for {"ConsoleUser": name}.
    void initWithDetails(const QVariantMap& details);
    void restartDeamon();
    void EnumurateInitialBackupSet();

    FSEventWatcher* watcher() const { return mFseventObj.get(); }
    ProtectionMonitor* protection() const { return mProtection.get(); }
    MassChangeTripwire* tripwire() const { return mTripwire.get(); }

  private:
    QString path(int index) const { return mAppSupportFilePathsObjct.pathForApplicationFile(index); }
    void trace(const QString& line) const;
    // Takes over, from where an older version kept every person's work, what is this person's.
    void claimMachineWideWork();

    DaemonServices mServices;
    Parts mParts;
    FilePathsController mAppSupportFilePathsObjct;
    std::unique_ptr<MassChangeTripwire> mTripwire; // before the watcher: the watcher goes first
    std::unique_ptr<FSEventWatcher> mFseventObj;
    std::unique_ptr<ProtectionMonitor> mProtection; // after the watcher: it goes first
};
