#pragma once

#include "DaemonServices.h"
#include "FilePathsController.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <vector>

class ExcludeManager;

// Follows the account record of the console user: starts the local backup (a per-user controller)
// and Time Machine to the appliance when they are switched on, switches Time Machine off, and restarts
// the daemon when local backup is switched off. After an installation or a Reinitialize it builds the
// initial backup roots and resets the user's exclusions to the defaults. Files in the user's home are
// read and written with that user's rights only; one process serves one appliance account.
class MultipleFreeNasAccountManager : public QObject {
    Q_OBJECT
  public:
    // Builds the per-user controller from its details ({"ConsoleUser": name}).
    using UserControllerFactory = std::function<std::unique_ptr<QObject>(const QVariantMap& details)>;

    MultipleFreeNasAccountManager(DaemonServices services, ExcludeManager* excludeManager,
                                  UserControllerFactory userControllerFactory);
    ~MultipleFreeNasAccountManager() override;

    // Set-up for the console user and the first poll pass; later passes run on this thread's loop.
    void initWithDetails(const QString& consoleUserName);
    void checkForUserLogedIn();
    void didUserChanged();

    void getInitialBackupSetList();
    void constructExcludeFolderList();

    // Time Machine to the appliance.
    void EnableTimeMachineBackup(const QVariantMap& userInfo);
    void CompleteEnableTimeMachine(const QString& sharePath);
    bool addBackupToTimeMachineList(const QString& sharePath);
    void DisableTimeMachine();
    void TimeMachineReceivePauseNotification();
    void TimeMachineBackupCanceled();

    QString consoleUser() const { return mConsoleUser; }
    QSet<QString> timeMachineUsers() const { return mTimeMachineUserSet; }

  private:
    QString path(int index) const { return mAppSupportFilePathsObjct.pathForApplicationFile(index); }
    void trace(const QString& line) const;
    // "userDetails.plist", read with the console user's rights.
    QVariantMap readUserDetails(bool* exists = nullptr) const;
    void registerTimeMachineObservers();
    void removeTimeMachineObservers();

    DaemonServices mServices;
    ExcludeManager* mExcludeManager;
    UserControllerFactory mUserControllerFactory;
    FilePathsController mAppSupportFilePathsObjct;
    QString mConsoleUser;
    QSet<QString> mFreeNasUserSet;
    std::vector<std::unique_ptr<QObject>> mFreeNasUserObject;
    QSet<QString> mTimeMachineUserSet;
    QString refusedUserName; // traced once while the record keeps it
    QTimer mPollTimer;
};
