#include "ApplicationWindows.h"

#include "AppDelegate.h"
#include "ExcludeController.h"
#include "LogController.h"
#include "LoginController.h"
#include "RestoreViewController.h"
#include "SendErrorReport.h"
#include "StatusController.h"
#include "TimeMachine.h"
#include "UtilityClass.h"
#include "VersionsDialog.h"

#include "ui_RestoreViewController.h"

#include <QBoxLayout>
#include <QCoreApplication>
#include <QLabel>
#include <QSpinBox>

namespace {

// The restore browser as the controller drives it. What its restores keep out of the backup it keeps
// itself (RestoreExclusionRecord), on the main thread like the exclusion editor.
class RestoreWindow : public RestoreWindowApi {
  public:
    explicit RestoreWindow(AppDelegate& app)
        : mBrowser(app.services().profile, app.services().userName, &app.logger(), app.notifications()) {
        mBrowser.setAddressLookup([&app] {
            LoginController* login = app.loginController();
            return login ? login->fetchIP() : QString();
        });
        mBrowser.setSummaryBeforeRestore(true);
        QObject::connect(&mBrowser, &RestoreViewController::restoreFinished, &mBrowser,
                         [this, &app](const QStringList& failed) {
                             app.backupHealth().restoreFinished(failed,
                                                                mBrowser.ui()->pDownloadLocation->text());
                         });
        // Also when the window itself is thrown away under it (the application ends).
        QObject::connect(&mBrowser, &RestoreViewController::restoreCancelled, &mBrowser,
                         [&app](const QStringList& notRestored, const QStringList& failed) {
                             app.backupHealth().restoreCancelled(notRestored, failed);
                         });
    }

    QWidget* window() override { return &mBrowser; }
    void closeRestore() override { mBrowser.closeRestore(); }
    bool isRestoreRunning() const override { return mBrowser.isRestoreRunning(); }
    void showVersionsOf(const QString& localPath, bool folder) override {
        mBrowser.showVersions(UtilityClass::machineName() + localPath, folder);
        if (QWidget* versions = mBrowser.versionsDialog()) {
            versions->raise();
            versions->activateWindow();
        }
    }

  private:
    RestoreViewController mBrowser;
};

// The exclusion editor is the application's preferences window: it also holds how many days without a
// completed backup make a warning.
void addBackupAgeSetting(ExcludeController& editor, AppDelegate& app) {
    auto* layout = qobject_cast<QBoxLayout*>(editor.layout());
    if (!layout)
        return;
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(
        QCoreApplication::translate("ExcludeController", "Warn when no backup has completed for"), &editor);
    row->addWidget(label);
    auto* days = new QSpinBox(&editor);
    days->setObjectName(QStringLiteral("noBackupWarningDays"));
    days->setRange(1, 365);
    days->setSuffix(QCoreApplication::translate("ExcludeController", " days"));
    label->setBuddy(days);
    days->setAccessibleName(label->text());
    days->setValue(app.backupHealth().warningDays());
    QObject::connect(days, &QSpinBox::valueChanged, &editor,
                     [&app](int value) { app.backupHealth().setWarningDays(value); });
    row->addWidget(days);
    row->addStretch();
    layout->addLayout(row);
}

// Beside it: how long changes may wait to reach the appliance before the person is told.
void addWaitingSetting(ExcludeController& editor, AppDelegate& app) {
    auto* layout = qobject_cast<QBoxLayout*>(editor.layout());
    if (!layout)
        return;
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QObject::tr("Tell me when changes wait longer than"), &editor));
    auto* minutes = new QSpinBox(&editor);
    minutes->setObjectName(QStringLiteral("pendingWarningMinutes"));
    minutes->setRange(5, 10080);
    minutes->setSuffix(QObject::tr(" minutes"));
    minutes->setValue(app.protection().waitMinutes());
    QObject::connect(minutes, &QSpinBox::valueChanged, &editor,
                     [&app](int value) { app.protection().setWaitMinutes(value); });
    row->addWidget(minutes);
    row->addStretch();
    layout->addLayout(row);
}

} // namespace

AppWindows applicationWindows() {
    AppWindows windows;
    windows.status = &StatusController::forApplication;
    windows.timeMachine = &TimeMachine::forApplication;
    windows.logs = [](AppDelegate& app) -> std::unique_ptr<LogWindowApi> {
        return std::make_unique<LogController>(app.services().profile, app.services().userName);
    };
    windows.feedback = [](AppDelegate& app) -> std::unique_ptr<FeedbackWindowApi> {
        return std::make_unique<SendErrorReport>(app.services().profile, app.services().deployment,
                                                 app.services().userName);
    };
    windows.exclusions = [](AppDelegate& app) -> std::unique_ptr<ExclusionWindowApi> {
        auto editor = std::make_unique<ExcludeController>(app.services().profile, app.notifications(),
                                                          app.services().userName);
        addBackupAgeSetting(*editor, app);
        addWaitingSetting(*editor, app);
        return editor;
    };
    windows.restore = [](AppDelegate& app) -> std::unique_ptr<RestoreWindowApi> {
        return std::make_unique<RestoreWindow>(app);
    };
    return windows;
}
