#pragma once

// The seam through which AppDelegate opens the application's other windows. main() registers one
// factory per kind of window; AppDelegate creates each window through it on first use (keeping or
// recreating it as each window's life requires) and drives it through the small interface below. A kind
// without a factory has its menu item disabled: the menu never offers a window that does not exist.
//
// A window class may implement its interface directly (class StatusController : public QWidget,
// public StatusWindowApi) or main() may wrap it in a small adapter. AppDelegate owns what a factory
// returns and deletes it through the interface, so the interfaces have virtual destructors.

#include "ProtectionState.h"
#include "StatusTexts.h"

#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>

class AppDelegate;
class QWidget;

// Every window: the top-level widget AppDelegate shows, hides and tests for visibility.
class AppWindowApi {
  public:
    virtual ~AppWindowApi() = default;
    virtual QWidget* window() = 0;
};

// The status window ("StatusController"): the controller writes its two message lines whenever the
// daemon reports, hands it the live figures, and relays the Time Machine panel's outcome.
class StatusWindowApi : public AppWindowApi {
  public:
    virtual void setPosition(const QString& userName) = 0; // shows the window
    virtual void showStausWindow() = 0;
    virtual void setTitleMessage(const QString& text) = 0;
    virtual void setDisplayMessage(const QString& text) = 0;
    virtual void setProgress(const QVariantMap& progress) = 0;
    virtual void getTimeMachineDetails() = 0; // runs its query in the background itself
    virtual void TimeMachineProcessCompleted() = 0;
    virtual void setConfigureTimeMachine() = 0;
    // "" or the warning that no backup has completed for a while ("No backup for N days").
    virtual void setBackupWarning(const QString& warning) { (void)warning; }
    // What is not yet safe on the appliance, what the watch covers and the last restore check.
    virtual void setProtection(const ProtectionView& view) { (void)view; }
    // Nothing waits and no backup runs. A window that knows when the last backup completed says so.
    virtual void showIdle() {
        setTitleMessage(QString());
        setDisplayMessage(StatusTexts::NothingToBackUp());
    }
};

// The Time Machine panel ("TimeMachine").
class TimeMachineWindowApi : public AppWindowApi {
  public:
    virtual void StartTimeMachineBackupFirstTime() = 0; // once, right after creation
    virtual void reset() = 0;
    virtual void setAttempt(int attempt) = 0;
};

// The log viewer ("LogController").
class LogWindowApi : public AppWindowApi {
  public:
    virtual void showLogWindow() = 0;
};

// The exclusion editor ("ExcludeController").
class ExclusionWindowApi : public AppWindowApi {
  public:
    virtual void setDetails() = 0;
};

// The feedback window ("SendErrorReport"); recreated at every "Send Feedback".
class FeedbackWindowApi : public AppWindowApi {
  public:
    virtual void setUserName(const QString& userName) = 0; // empty when nothing was remembered
};

// The restore browser ("RestoreViewController"); recreated each time it is opened while hidden, except
// while it restores: the restore goes on in it, and it comes back with it.
class RestoreWindowApi : public AppWindowApi {
  public:
    virtual void closeRestore() = 0;
    // From the go-ahead of a restore until its end.
    virtual bool isRestoreRunning() const { return false; }
    // "Versions…" for a file or folder of this computer (its path as the backup files it).
    virtual void showVersionsOf(const QString& localPath, bool folder) { (void)localPath, (void)folder; }
};

// One factory per kind. Each gets the controller so the window can reach the shared state it needs
// (user-details file, paths, logger, notification center, the hooks named in AppDelegate.h).
struct AppWindows {
    std::function<std::unique_ptr<StatusWindowApi>(AppDelegate&)> status;
    std::function<std::unique_ptr<TimeMachineWindowApi>(AppDelegate&)> timeMachine;
    std::function<std::unique_ptr<LogWindowApi>(AppDelegate&)> logs;
    std::function<std::unique_ptr<FeedbackWindowApi>(AppDelegate&)> feedback;
    std::function<std::unique_ptr<ExclusionWindowApi>(AppDelegate&)> exclusions;
    std::function<std::unique_ptr<RestoreWindowApi>(AppDelegate&)> restore;
};
