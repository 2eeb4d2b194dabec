#include "TimeMachine.h"

#include "AppDelegate.h"
#include "DistributedNotificationCenter.h"
#include "Protocol.h"
#include "ui_TimeMachine.h"

#include <QCloseEvent>

TimeMachine::TimeMachine(Owner owner, DistributedNotificationCenter* notifications, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TimeMachine>()), mOwner(std::move(owner)),
      mNotifications(notifications) {
    ui->setupUi(this);
    setWindowFlag(Qt::Dialog);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    ui->mStatus->hide();
    ui->mError->hide();
    ui->mOk->hide();
    ui->processing->hide();
    connect(ui->mconfigure, &QPushButton::clicked, this, &TimeMachine::MountAFP);
    connect(ui->mSharedName, &QLineEdit::returnPressed, this, [this] {
        if (ui->mconfigure->isEnabled() && !ui->mconfigure->isHidden())
            MountAFP();
    });
    connect(ui->cancel, &QPushButton::clicked, this, &TimeMachine::cancelPressed);
    connect(ui->mOk, &QPushButton::clicked, this, &TimeMachine::okPressed);
}

std::unique_ptr<TimeMachineWindowApi> TimeMachine::forApplication(AppDelegate& app) {
    Owner o;
    o.launchTimeMachineWindow = [&app] { app.launchTimeMachineWindow(); };
    o.TimeMachineConfigurationCompleted = [&app] { app.TimeMachineConfigurationCompleted(); };
    o.TimeMachineConfigurationFailed = [&app] { app.TimeMachineConfigurationFailed(); };
    o.setConfigureTimeMachine = [&app] { app.setConfigureTimeMachine(); };
    return std::make_unique<TimeMachine>(std::move(o), app.notifications());
}

TimeMachine::~TimeMachine() {
    if (mNotifications)
        mNotifications->removeObserver(this);
}

void TimeMachine::StartTimeMachineBackupFirstTime() {
    configureStarted = false;
    Attempt = 1;
    ui->processing->hide();
    if (mNotifications)
        mNotifications->addObserver(this, Protocol::TimeMachineResult,
                                    [this](const QString&, const QVariantMap& info) { Result(info); });
}

void TimeMachine::reset() {
    ui->mSharedName->clear();
    ui->mError->hide();
}

void TimeMachine::MountAFP() {
    configureStarted = true;
    if (mNotifications)
        mNotifications->postNotification(Protocol::TimeMachine,
                                         {{Protocol::KeyPath, ui->mSharedName->text()}},
                                         Protocol::PostDeliverImmediatelyToAllSessions);
    ui->mconfigure->setEnabled(false);
    ui->cancel->setEnabled(false);
    ui->processing->show();
}

void TimeMachine::Result(const QVariantMap& userInfo) {
    if (userInfo.value(Protocol::KeyResult).toString() == Protocol::FlagOn) {
        for (QWidget* w : {static_cast<QWidget*>(ui->mSharedName), static_cast<QWidget*>(ui->mconfigure),
                           static_cast<QWidget*>(ui->cancel), static_cast<QWidget*>(ui->mError),
                           static_cast<QWidget*>(ui->mTitle), static_cast<QWidget*>(ui->processing)})
            w->hide();
        ui->mStatus->show();
        ui->mOk->show();
        if (mOwner.TimeMachineConfigurationCompleted)
            mOwner.TimeMachineConfigurationCompleted();
        return;
    }
    ui->mSharedName->show();
    ui->mconfigure->show();
    ui->cancel->show();
    ui->mTitle->show();
    ui->mStatus->hide();
    ui->mOk->hide();
    if (Attempt == 1) {
        // The automatic attempt failed: the user is asked for the share, with no error yet.
        ui->mError->hide();
        if (mOwner.launchTimeMachineWindow)
            mOwner.launchTimeMachineWindow();
        else
            show();
    }
    if (configureStarted && ui->mStatus->isHidden()) {
        ui->mError->show();
        if (mOwner.TimeMachineConfigurationFailed)
            mOwner.TimeMachineConfigurationFailed();
        configureStarted = false;
        ui->processing->hide();
        ui->cancel->setEnabled(true);
        ui->mconfigure->setEnabled(true);
    }
    ++Attempt;
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
    ui->mStatus->hide();
    ui->mError->hide();
    ui->mOk->hide();
    ui->processing->hide();
    if (mOwner.setConfigureTimeMachine)
        mOwner.setConfigureTimeMachine();
}
