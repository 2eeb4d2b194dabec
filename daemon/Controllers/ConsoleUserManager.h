#pragma once

#include "DaemonServices.h"
#include "FilePathsController.h"

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

// Follows the person at the screen: builds the account manager for the console user, and restarts the
// daemon (exit status 1) when that user leaves, another user takes the console, or a day has passed.
// The platform's watch runs on a thread of its own; every change it reports is handled on the thread
// that called start() (the main thread), so whatever is built for a user who logs in later lives
// there, with its timers, just like what is built at start-up. Should the platform refuse the watch,
// the console user is read again every few seconds instead.
class ConsoleUserManager : public QObject {
    Q_OBJECT
  public:
    // Builds the account manager of a console user; the manager lives on the calling thread.
    using AccountManagerFactory = std::function<std::unique_ptr<QObject>(const QString& consoleUser)>;

    ConsoleUserManager(DaemonServices services, AccountManagerFactory accountManagerFactory);
    ~ConsoleUserManager() override;

    // Start-up on the calling (main) thread: trace paths, the first decision, the watch thread and the
    // daily restart timer.
    void start();

    // The console user's short name, or "loginwindow".
    QString currentConsoleUserName() const;
    void didConsoleUserChanged(const QString& userName);
    void restartDamon();
    QString presentConsoleUser() const;

    // How many account managers this process built (at most one in practice).
    int accountManagerCount() const;

  private:
    void ConsoleUserDetector();
    void MyNotificationProc(const QString& userName);
    // Hands a name reported on the watch thread to the main thread.
    void queueNotification(const QString& userName);
    void pollConsoleUser();
    void exitDaemon(const QString& traceLine);

    DaemonServices mServices;
    AccountManagerFactory mAccountManagerFactory;
    FilePathsController mAppSupportFilePathsObjct;
    mutable QMutex mLock;
    QMap<QString, std::shared_ptr<QObject>> mConsoleUserCollection;
    QString mPresentConsoleUser;
    QString gCurrentConsoleUser; // the last name handled (null: nobody); touched only on the main thread
    std::unique_ptr<QThread> mWatchThread;
    QObject* mWatchContext = nullptr; // lives on the watch thread
    QTimer* mPollTimer = nullptr;     // only while the watch is refused
};
