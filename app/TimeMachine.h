#pragma once

#include "AppWindows.h"

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
// attempt fails it opens so that the user can name the share and ask the daemon to try again.
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

    TimeMachine(Owner owner, DistributedNotificationCenter* notifications, QWidget* parent = nullptr);
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
    qint32 mAttempt = 1;
    bool mConfigureStarted = false;
};
