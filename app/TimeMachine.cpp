#include "TimeMachine.h"

#include "AppDelegate.h"
#include "DistributedNotificationCenter.h"
#include "Protocol.h"
#include "ui_TimeMachine.h"

#include <QCloseEvent>
#include <QCoreApplication>

namespace {

// Linux has no Time Machine: the daemon has the snapshot tool record the appliance's share as this
// computer's snapshot-backup destination, and the panel says so.
QString kLinuxTitle() {
    return QCoreApplication::translate(
        "TimeMachine",
        "The snapshot backup (Time Machine) could not be set up automatically. Enter the name of the share "
        "on your Hollin appliance that takes snapshot backups: it becomes this computer's snapshot-backup "
        "destination.");
}
QString kLinuxStatus() {
    return QCoreApplication::translate(
        "TimeMachine",
        "The share on your Hollin appliance is now this computer's snapshot-backup destination. The status "
        "window shows its details.");
}
QString kLinuxError() {
    return QCoreApplication::translate(
        "TimeMachine",
        "The share “%1” could not be made the snapshot-backup destination. Check the share's name "
        "with your admin and press Configure again.");
}

} // namespace

TimeMachine::TimeMachine(Owner owner, DistributedNotificationCenter* notifications,
                         PlatformProfile::Kind kind, QWidget* parent)
    : QWidget(parent), mUi(std::make_unique<Ui::TimeMachine>()), mOwner(std::move(owner)),
      mNotifications(notifications), mKind(kind) {
    mUi->setupUi(this);
    if (mKind == PlatformProfile::Kind::Linux) {
        setWindowTitle(tr("Snapshot backup (Time Machine)"));
        mUi->mTitle->setText(kLinuxTitle());
        mUi->mStatus->setText(kLinuxStatus());
    }
    setWindowFlag(Qt::Dialog);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    mUi->mStatus->hide();
    mUi->mError->hide();
    mUi->mOk->hide();
    mUi->processing->hide();
    connect(mUi->mconfigure, &QPushButton::clicked, this, &TimeMachine::MountAFP);
    connect(mUi->mSharedName, &QLineEdit::returnPressed, this, [this] {
        if (mUi->mconfigure->isEnabled() && !mUi->mconfigure->isHidden())
            MountAFP();
    });
    connect(mUi->cancel, &QPushButton::clicked, this, &TimeMachine::cancelPressed);
    connect(mUi->mOk, &QPushButton::clicked, this, &TimeMachine::okPressed);
}

std::unique_ptr<TimeMachineWindowApi> TimeMachine::forApplication(AppDelegate& app) {
    Owner o;
    o.launchTimeMachineWindow = [&app] { app.launchTimeMachineWindow(); };
    o.TimeMachineConfigurationCompleted = [&app] { app.TimeMachineConfigurationCompleted(); };
    o.TimeMachineConfigurationFailed = [&app] { app.TimeMachineConfigurationFailed(); };
    o.setConfigureTimeMachine = [&app] { app.setConfigureTimeMachine(); };
    return std::make_unique<TimeMachine>(std::move(o), app.notifications(), app.services().profile.kind);
}

TimeMachine::~TimeMachine() {
    if (mNotifications)
        mNotifications->removeObserver(this);
}

void TimeMachine::StartTimeMachineBackupFirstTime() {
    mConfigureStarted = false;
    mAttempt = 1;
    mUi->processing->hide();
    if (mNotifications)
        mNotifications->addObserver(this, Protocol::TimeMachineResult,
                                    [this](const QString&, const QVariantMap& info) { Result(info); });
}

void TimeMachine::reset() {
    mUi->mSharedName->clear();
    mUi->mError->hide();
}

void TimeMachine::MountAFP() {
    mConfigureStarted = true;
    if (mNotifications)
        mNotifications->postNotification(Protocol::TimeMachine,
                                         {{Protocol::KeyPath, mUi->mSharedName->text()}},
                                         Protocol::PostDeliverImmediatelyToAllSessions);
    mUi->mconfigure->setEnabled(false);
    mUi->cancel->setEnabled(false);
    mUi->processing->show();
}

void TimeMachine::Result(const QVariantMap& userInfo) {
    if (userInfo.value(Protocol::KeyResult).toString() == Protocol::FlagOn) {
        for (QWidget* w : {static_cast<QWidget*>(mUi->mSharedName), static_cast<QWidget*>(mUi->mconfigure),
                           static_cast<QWidget*>(mUi->cancel), static_cast<QWidget*>(mUi->mError),
                           static_cast<QWidget*>(mUi->mTitle), static_cast<QWidget*>(mUi->processing)})
            w->hide();
        mUi->mStatus->show();
        mUi->mOk->show();
        if (mOwner.TimeMachineConfigurationCompleted)
            mOwner.TimeMachineConfigurationCompleted();
        return;
    }
    mUi->mSharedName->show();
    mUi->mconfigure->show();
    mUi->cancel->show();
    mUi->mTitle->show();
    mUi->mStatus->hide();
    mUi->mOk->hide();
    if (mAttempt == 1) {
        // The automatic attempt failed: the user is asked for the share, with no error yet.
        mUi->mError->hide();
        if (mOwner.launchTimeMachineWindow)
            mOwner.launchTimeMachineWindow();
        else
            show();
    }
    if (mConfigureStarted && mUi->mStatus->isHidden()) {
        if (mKind == PlatformProfile::Kind::Linux)
            mUi->mError->setText(kLinuxError().arg(mUi->mSharedName->text()));
        mUi->mError->show();
        if (mOwner.TimeMachineConfigurationFailed)
            mOwner.TimeMachineConfigurationFailed();
        mConfigureStarted = false;
        mUi->processing->hide();
        mUi->cancel->setEnabled(true);
        mUi->mconfigure->setEnabled(true);
    }
    ++mAttempt;
}

void TimeMachine::okPressed() {
    hide();
}

void TimeMachine::cancelPressed() {
    if (mOwner.setConfigureTimeMachine)
        mOwner.setConfigureTimeMachine();
    close();
}

void TimeMachine::closeEvent(QCloseEvent* event) {
    windowWillClose();
    QWidget::closeEvent(event);
}

void TimeMachine::windowWillClose() {
    mUi->mStatus->hide();
    mUi->mError->hide();
    mUi->mOk->hide();
    mUi->processing->hide();
    if (mOwner.setConfigureTimeMachine)
        mOwner.setConfigureTimeMachine();
}

QString TimeMachine::toolErrorText(const QString& toolError, PlatformProfile::Kind kind) {
    if (kind == PlatformProfile::Kind::MacOS)
        return toolError.trimmed();
    // One line of the status window's Time Machine box, above its "Configure Time Machine" button.
    if (toolError.contains(QLatin1String("No destinations configured")))
        return QCoreApplication::translate("TimeMachine",
                                           "No snapshot-backup destination yet: configure it below.");
    if (toolError.contains(QLatin1String("could not be started")))
        return QCoreApplication::translate("TimeMachine",
                                           "The snapshot tool did not start: reinstall Zorvik Hollin.");
    return QCoreApplication::translate("TimeMachine",
                                       "The snapshot-backup destination is unreadable: set it below.");
}
