#pragma once

#include "AppWindows.h"
#include "PlatformProfile.h"

#include <QVariantMap>
#include <QWidget>

#include <functional>
#include <memory>

class AppDelegate;
class DistributedNotificationCenter;

namespace Ui {
class TimeMachine;
}

// The Time Machine panel: waits for the daemon's "TimeMachineResult"; when the automatic first
// attempt fails it opens so that the user can name the share and ask the daemon to try again. Its
// texts follow the platform: Time Machine on macOS; on Linux, where no Time Machine runs, the share
// becomes the destination that the snapshot tool records.
class TimeMachine : public QWidget, public TimeMachineWindowApi {
    Q_OBJECT
  public:
    // What the panel tells the application controller. Unset: launchTimeMachineWindow shows the panel,
    // setConfigureTimeMachine hides it, the others do nothing.
    struct Owner {
        std::function<void()> launchTimeMachineWindow;
        std::function<void()> TimeMachineConfigurationCompleted;
        std::function<void()> TimeMachineConfigurationFailed;
        std::function<void()> setConfigureTimeMachine;
    };

    TimeMachine(Owner owner, DistributedNotificationCenter* notifications,
                PlatformProfile::Kind kind = PlatformProfile::current().kind, QWidget* parent = nullptr);
    ~TimeMachine() override;

    // The panel over the application controller (the factory of AppWindows::timeMachine).
    static std::unique_ptr<TimeMachineWindowApi> forApplication(AppDelegate& app);

    QWidget* window() override { return this; }
    void StartTimeMachineBackupFirstTime() override;
    void reset() override;
    void setAttempt(int attempt) override { mAttempt = attempt; }

    int attempt() const { return mAttempt; }

    // "TimeMachineResult" from the daemon.
    void Result(const QVariantMap& userInfo);

    // What a person reads for the snapshot tool's error output (which goes to the trace only): what
    // failed and what to do. On macOS the tool's own words are the Mac's and are shown as they are.
    static QString toolErrorText(const QString& toolError, PlatformProfile::Kind kind);

  public slots:
    void MountAFP();
    void okPressed();
    void cancelPressed();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void windowWillClose();

    std::unique_ptr<Ui::TimeMachine> mUi;
    Owner mOwner;
    DistributedNotificationCenter* mNotifications;
    PlatformProfile::Kind mKind;
    qint32 mAttempt = 1;
    bool mConfigureStarted = false;
};
