#pragma once

// Every window of the application, built over a temporary root in a typical state, for the tests that
// look at all of them (accessible names, text contrast, translations).

#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "LogController.h"
#include "LoginController.h"
#include "RestoreSummaryDialog.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "SendErrorReport.h"

#include <QTest>

#include <functional>
#include <memory>

struct WindowTour {
    TempRoot root;
    ToolState toolState{root.path()};
    StatusTestApp statusApp;
    RecordingCenter center;
    RezodeLoger trace;
    TimeMachine::Owner tmOwner;

    // Calls visit(name, window) for each window, shown; the confirmations are visited while they are up.
    void visit(const std::function<void(const QString&, QWidget*)>& look) {
        {
            AppTestHost::Options options;
            options.windows = applicationWindows();
            options.bus = false;
            AppTestHost host(options);
            const QString why = host.setUp();
            ASSERT_TRUE(why.isEmpty()) << why.toStdString();
            host.launch();
            LoginController* login = host.app().loginController();
            ASSERT_NE(login, nullptr);
            show(login);
            look(QStringLiteral("log-in"), login);
            // The two confirmations, looked at while they are up, then declined.
            for (const auto& [name, open] : std::vector<std::pair<QString, std::function<void()>>>{
                     {QStringLiteral("quit confirmation"), [&] { host.app().logOut(); }},
                     {QStringLiteral("reinitialize confirmation"), [&] { host.app().Reinitialize(); }}}) {
                bool seen = false;
                lookAtNextAlert([&, name](QMessageBox* box) {
                    look(name, box);
                    seen = true;
                });
                open();
                EXPECT_TRUE(seen) << name.toStdString();
            }
        }
        PlatformProfile profile = root.profile();
        profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);
        const FilePathsController paths(FilePathsController::Table::Application, profile);
        {
            StatusController status(paths, statusApp.statusOwner(), nullptr, nullptr);
            status.setPosition(QStringLiteral("ann"));
            status.showStausWindow();
            show(&status);
            look(QStringLiteral("status"), &status);
            status.setBackupWarning(QStringLiteral("No backup for 7 days"));
            look(QStringLiteral("status with a warning"), &status);
        }
        {
            RestoreViewController browser(root.profile(), QString(), &trace, nullptr);
            browser.resize(760, 535);
            show(&browser);
            waitUntil([&] { return !browser.isBusy(); }, 30000);
            browser.treeModel()->setRootEntries(
                {entry("Documents", true, "4096"), entry("notes 2024.txt", false, "18211")});
            look(QStringLiteral("restore browser"), &browser);
        }
        {
            ExcludeController editor(root.profile(), &center);
            show(&editor);
            look(QStringLiteral("exclusion editor"), &editor);
        }
        {
            LogController logs(root.profile(), QString(), [](const QUrl&) {});
            QDir().mkpath(logs.sessionLogFolder());
            writeFile(logs.sessionLogFolder() + QStringLiteral("/Backup 26.12.07_09.41.00.txt"), "done\n");
            logs.showLogWindow();
            waitUntil([&] { return logs.numberOfRowsInTableView() > 0; });
            show(&logs);
            look(QStringLiteral("log viewer"), &logs);
        }
        {
            SendErrorReport report(root.profile(), DeploymentSettings());
            show(&report);
            look(QStringLiteral("feedback"), &report);
        }
        {
            TimeMachine panel(tmOwner, &center, PlatformProfile::Kind::Linux);
            show(&panel);
            look(QStringLiteral("Time Machine panel"), &panel);
        }
        {
            const QList<RestoreSummary::Item> items{
                {QStringLiteral("notes.txt"), 10, false, QStringLiteral("Mac/home/ann/notes.txt")},
                {QStringLiteral("Photos"), -1, true, QStringLiteral("Mac/home/ann/Photos")}};
            RestoreSummaryDialog summary(RestoreSummary::of(items, root.path() + QStringLiteral("/to"),
                                                            QStringLiteral(".before-restore")));
            show(&summary);
            look(QStringLiteral("restore summary"), &summary);
        }
    }

    static QVariantMap entry(const char* name, bool folder, const char* size) {
        return {{"RelativePath", name},
                {"Permission", folder ? "drwxr-xr-x" : "-rw-r--r--"},
                {"Type", size},
                {"LMD", "2024/03/01"},
                {"LMT", "10:20:30"}};
    }

    static void show(QWidget* w) {
        w->show();
        spinFor(50);
    }

    // Runs look on the next message box once it is up, then presses its reject (or last) button.
    static void lookAtNextAlert(const std::function<void(QMessageBox*)>& look) {
        QTimer::singleShot(20, [look] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    look(box);
                    QAbstractButton* leave =
                        box->escapeButton() ? box->escapeButton() : box->buttons().last();
                    return leave->click();
                }
            lookAtNextAlert(look);
        });
    }
};
