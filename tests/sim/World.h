#pragma once

#include "Appliance.h"
#include "FilePathsController.h"
#include "LoopFileSystem.h"
#include "PrivateBus.h"
#include "Schedule.h"
#include "TestRoots.h"
#include "linux/DBusNotificationCenter.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QVariantMap>

#include <memory>

#include <sys/types.h>

// The machine a run stands up: a profile root with the installed build, the person's home on a file
// system of its own (laid out as the environment says), a second person's home, a folder outside every
// home, the appliance (a real rsync daemon with its storage on a tmpfs, a login message and a
// connection limit), the private bus, the application's side of the bus, and the daemon as a process
// of its own under a supervisor that plays systemd (Restart=always with the unit's pause).
class World {
  public:
    explicit World(const Environment& environment, quint64 seed);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // "" when a run can stand up here, else why not (not root, a missing tool).
    static QString skipReason(const Environment& environment);
    bool setUp(QString* error);

    // ---- where things are
    const Environment& environment() const { return mEnvironment; }
    const FixtureUser& person() const { return mUser; }
    QString root() const { return mRoot.path(); }
    QString home() const { return mHome; } // as the account database and programs name it
    QString resolvedHome() const { return mResolvedHome; }
    QString outside() const { return mOutside; }     // the person's, outside every home
    QString otherHome() const { return mOtherHome; } // another person's
    QString account() const { return mAccount; }
    Appliance& appliance() { return *mAppliance; }
    const FilePathsController& paths() const { return mPaths; }
    // Where the copy of a local path lies on the appliance: with the home as written, and with the home
    // resolved (the same when the home is not behind a link).
    QByteArray onAppliance(const QByteArray& localPath) const;
    QByteArray onApplianceResolved(const QByteArray& localPath) const;
    QByteArray applianceMirror() const; // the machine's folder in the module

    // ---- the person: files they own
    void handOver(const QString& path) const; // to the person, with every folder up to the home
    // ---- the application
    QString recordPassword() const { return mRecordPassword; }
    QString appliancePassword() const { return mAppliancePassword; }
    void setAppliancePassword(const QString& password);
    void writeDetails(const QVariantMap& changes = {});
    void logInAgain(const QString& password); // the log-in window with that password
    void removeDetails();
    void post(const QString& name, const QVariantMap& info = {});
    DistributedNotificationCenter* applicationCenter() { return mAppSide.get(); }
    bool paused() const { return mPaused; }
    qint64 pausedChangedMs() const { return mPausedChangedMs; } // when the person last paused or resumed
    void setPaused(bool paused);
    QStringList passwordsUsed() const { return mPasswords; }
    QString personsExcludeList() const;
    QString personsPatterns() const;

    // ---- the supervisor
    void setConsole(bool personAtTheScreen);
    bool console() const { return mConsole; }
    void startDaemon();
    // Reaps an ended daemon and starts it again after the unit's pause; call often.
    void supervise();
    bool daemonRunning() const { return mDaemon > 0; }
    pid_t daemonPid() const { return mDaemon; }
    // An exit the schedule causes: status (0, 1, 128+signal) may come once from now on.
    void allowExit(int status);
    // The next start's life ends by the daemon's own daily restart after ms.
    void shortenNextLife(int ms) { mNextLifeMs = ms; }
    void stopDaemon(int signal); // sends it and reaps; the supervisor starts it again after the pause
    // Until the daemon runs again (the supervisor's pause included); false after timeoutMs.
    bool waitUntilRunning(int timeoutMs);
    QStringList unexpectedExits() const { return mUnexpected; }
    int starts() const { return mStarts; }
    int restartPauseMs() const { return mRestartPauseMs; }
    int refusedRetryMs() const { return 5000; }

    // ---- what the daemon leaves
    QString daemonTrace() const; // both generations
    QString sessionLogs() const;
    QString hostLog() const;
    QVariantMap pendingState() const;
    // What the mass-change tripwire holds for the person (the daemon's own record), exact paths.
    QSet<QByteArray> heldChanges() const;
    QStringList descendantsOfDaemon() const; // "pid age-seconds command" of processes it started

    // Runs the event loop for ms (the bus), supervising.
    void run(int ms);

  private:
    // The supervisor's own files lie outside the machine's root, where no backup looks.
    QString consoleFile() const { return mScratch.filePath(QStringLiteral("console-user")); }

    Environment mEnvironment;
    quint64 mSeed;
    TempRoot mRoot;
    QTemporaryDir mScratch;
    FixtureUser mUser = FixtureUser::get();
    FilePathsController mPaths;
    std::unique_ptr<LoopFileSystem> mDisk;
    std::unique_ptr<Appliance> mAppliance;
    PrivateBus mBus;
    std::unique_ptr<DBusNotificationCenter> mAppSide;
    QString mAppConnection;
    QObject mApplication;
    QString mHome, mResolvedHome, mOutside, mOtherHome;
    const QString mAccount = QStringLiteral("ann");
    QString mRecordPassword, mAppliancePassword;
    QStringList mPasswords;
    bool mPaused = false;
    qint64 mPausedChangedMs = 0;
    bool mConsole = true;

    pid_t mDaemon = -1;
    int mStarts = 0;
    int mRestartPauseMs = 5000;
    int mNextLifeMs = 0;
    int mLifeMs = 0;
    QElapsedTimer mLifeClock;
    qint64 mRestartAtMs = -1; // on mClock
    QElapsedTimer mClock;
    QList<int> mAllowed;
    QStringList mUnexpected;
};
