#pragma once

#include "AppTimings.h"
#include "AppWindows.h"
#include "FilePathsController.h"

#include <QDateTime>
#include <QString>
#include <QUrl>
#include <QVariantMap>
#include <QWidget>

#include <functional>
#include <memory>

class AppDelegate;
class DistributedNotificationCenter;
class ProtectionPanel;
class QAbstractButton;
class QFontMetrics;
class QProcess;
class RezodeLoger;

namespace Ui {
class StatusController;
}

// The status window: who is logged in, what the local backup is doing with its live figures, the
// choice of backup type, pause/resume, restore, logs, and the Time Machine section with the details
// of the destination. The application controller creates it once and keeps it; everything it needs
// from that controller comes through Owner.
class StatusController : public QWidget, public StatusWindowApi {
    Q_OBJECT
  public:
    // What the window asks of the application controller. Unset queries answer 0/false; unset
    // actions do nothing.
    struct Owner {
        std::function<int()> getStatusType; // 0 nothing, 1 local, 2 Time Machine, 3 both
        std::function<bool()> getPauseState;
        std::function<bool()> isBackupPending;
        std::function<bool()> isIntialBackuprunning;
        std::function<bool()> isfirstTimeLogin;
        // The backups run the system rsync, whose "TotalSize" is the run's running total; the private
        // copy's is the size of the file just sent. Asked only of figures without the run's totals.
        std::function<bool()> isDefaultRsync;
        std::function<void(int type)> loginForBackupType;
        std::function<void(int tag, bool stop)> startStop;
        std::function<void()> RestoreWin;
        std::function<void()> ViewLogs;
        std::function<void()> TimeMachineConfigurationFailed;
        std::function<void()> TimeMachineStoppedManually;
        // Shows what the platform offers to browse the snapshot backups (a folder in the file
        // manager on Linux). Unset: QDesktopServices.
        std::function<void(const QUrl&)> openUrl;
    };

    // Tags of the two StartStop buttons.
    static constexpr int TimeMachineTag = 100;
    static constexpr int PauseTag = 0;

    // paths: the application's table, for the running account or the one it names.
    StatusController(const FilePathsController& paths, Owner owner,
                     DistributedNotificationCenter* notifications, RezodeLoger* logger,
                     AppTimings timings = AppTimings(), QWidget* parent = nullptr);
    ~StatusController() override;

    // The window over the application controller: its paths, logger, notification center, timings
    // and operations (the factory of AppWindows::status).
    static std::unique_ptr<StatusWindowApi> forApplication(AppDelegate& app);
    // The operations of the application controller, as the window asks for them.
    static Owner ownerFor(AppDelegate& app);

    // Called by the application controller.
    QWidget* window() override { return this; }
    void setPosition(const QString& userName) override;
    void showStausWindow() override;
    void setTitleMessage(const QString& text) override;
    void setDisplayMessage(const QString& text) override;
    void setProgress(const QVariantMap& progress) override;
    void getTimeMachineDetails() override;
    void TimeMachineProcessCompleted() override;
    void setConfigureTimeMachine() override;
    void setBackupWarning(const QString& warning) override;
    void setProtection(const ProtectionView& view) override;
    void showIdle() override;
    void closeWin();

    // The text of tmutil's destination listing, as parsed for the details; fills the details labels.
    // A result beginning with "Error" is a failure.
    QString parseOutput(const QString& output);

    bool TMDetailsVisible() const { return mTMDetailsVisible; }
    bool isQueryingTimeMachine() const { return mQuery != nullptr; }

    // The record of the last completed backup ("LastBackupCompleted.plist" in the user support
    // folder) and its line in the window.
    QString lastBackupRecordPath() const;
    void recordBackupCompleted(const QDateTime& when);
    QDateTime lastBackupCompleted() const; // invalid when none is recorded

    // The figures as the window shows them. Byte figures are read and written in the daemon's form
    // ("1.50 KB"); a text that is not one reads as -1.
    static QString formatBytes(double bytes);
    static double parseBytes(const QString& text);
    // A sent file's line: its name first, then "in" and its folder elided in the middle to fit width,
    // so the name is never the part cut (only a name wider than the line itself is elided).
    static QString fileFirst(const QString& path, const QFontMetrics& metrics, int width);

  public slots:
    void startLocalBackup();
    void ConfigureTM();
    void StartStop(QAbstractButton* sender);
    void Restore();
    void TMRestore();
    void viewlogs();
    void closeWindow();
    void ResetStatusView();

  signals:
    // A destination query has ended and the window shows its outcome.
    void timeMachineDetailsFinished(bool succeeded);

  private:
    void windowDidLoad();
    void applyLayout(int type);
    void setTimeMachineStatus();
    void hideFigures();
    void showFileCount(const QString& count);
    void showSize(const QString& size);
    void showFile(const QString& file, const QString& size);
    // A run starts: its byte total starts again from nothing.
    void startRunTotal(bool fromTheStart);
    void timeMachineQueryFinished(const QString& out, const QString& err);
    void timeMachineFailed();
    void updateLastBackupLine();
    void trace(const QString& line);

    std::unique_ptr<Ui::StatusController> mUi;
    FilePathsController mPaths;
    Owner mOwner;
    DistributedNotificationCenter* mNotifications;
    RezodeLoger* mLogger;
    AppTimings mTimings; // startupWindow: an idle window is re-examined this much later
    bool mTMDetailsVisible = false;
    QProcess* mQuery = nullptr; // the running destination query, a child of the window
    QString mBackupWarning;     // shown instead of the last backup's time while set
    // Bytes the files of the running backup reported so far, and whether the window saw its start
    // (the application may have been started in the middle of a run).
    double mRunBytes = 0;
    bool mRunSeenFromStart = false;
    // The run's totals in the figures last given ("SentBytes", "SentFiles"); -1 when the daemon sent
    // none, and the window adds up the sizes itself.
    qint64 mSentBytes = -1;
    qint64 mSentFiles = -1;
    // Under the two boxes while the local backup is on and the daemon has said what is safe.
    ProtectionPanel* mProtection = nullptr;
    int mLayoutType = 0;
};
