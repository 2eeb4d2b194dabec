#include "ApplicationWindows.h"

#include "AppDelegate.h"
#include "ExcludeController.h"
#include "LogController.h"
#include "LoginController.h"
#include "RestoreViewController.h"
#include "SendErrorReport.h"
#include "StatusController.h"
#include "TimeMachine.h"

#include <QPointer>

namespace {

// The restore browser as the controller drives it. Its downloads run on worker threads, while the
// exclusion editor is a window of the main thread: the editor's two operations are handed to the main
// thread without waiting there (a worker must never wait for the thread that may be waiting for it).
class RestoreWindow : public RestoreWindowApi {
  public:
    explicit RestoreWindow(AppDelegate& app)
        : mBrowser(app.services().profile, app.services().userName, &app.logger(), app.notifications()) {
        mBrowser.setAddressLookup([&app] {
            LoginController* login = app.loginController();
            return login ? login->fetchIP() : QString();
        });
    }

    QWidget* window() override { return &mBrowser; }
    void closeRestore() override { mBrowser.closeRestore(); }

    void setExcludeListDelegate(ExclusionWindowApi* exclusions) override {
        QPointer<ExcludeController> editor = dynamic_cast<ExcludeController*>(exclusions);
        if (!editor) {
            mBrowser.setExcludeListDelegate({});
            return;
        }
        const auto onEditor = [editor](void (ExcludeController::*operation)(const QString&)) {
            return [editor, operation](const QString& path) {
                QMetaObject::invokeMethod(
                    editor.data(),
                    [editor, operation, path] {
                        if (editor)
                            (editor->*operation)(path);
                    },
                    Qt::QueuedConnection);
            };
        };
        mBrowser.setExcludeListDelegate({onEditor(&ExcludeController::AddDownloadPathToExcludeList),
                                         onEditor(&ExcludeController::RemoveDownloadPathFromeExcludeList)});
    }

  private:
    RestoreViewController mBrowser;
};

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
        return std::make_unique<ExcludeController>(app.services().profile, app.notifications(),
                                                   app.services().userName);
    };
    windows.restore = [](AppDelegate& app) -> std::unique_ptr<RestoreWindowApi> {
        return std::make_unique<RestoreWindow>(app);
    };
    return windows;
}
