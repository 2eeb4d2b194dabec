#pragma once

// What the application's tests and screenshot programs share: outlets by name, alerts answered, the
// account record, the appliance with one account, the daemon's test host as a supervised child, the
// status window's owner recording its calls, and the saving of screenshots.

#include "AppDelegate.h"
#include "AppTranslations.h"
#include "Appliance.h"
#include "ApplicationWindows.h"
#include "ChildProcess.h"
#include "DistributedNotificationCenter.h"
#include "EventLoopWait.h"
#include "ExcludeController.h"
#include "FileTools.h"
#include "Protocol.h"
#include "Requirements.h"
#include "StatusController.h"
#include "TestRoots.h"
#include "TimeMachine.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <functional>

template <typename T = QWidget> T* outlet(QWidget* window, const char* name) {
    return window->findChild<T*>(QString::fromLatin1(name));
}
inline QString text(QWidget* window, const char* name) {
    if (auto* label = outlet<QLabel>(window, name))
        return label->text();
    auto* button = outlet<QPushButton>(window, name);
    return button ? button->text() : QStringLiteral("<no outlet %1>").arg(QLatin1String(name));
}
inline bool shown(QWidget* window, const char* name) {
    QWidget* w = outlet(window, name);
    return w && !w->isHidden();
}

// Presses the button titled button (any button for "") on the next alert, once it is up; keeps its
// question in asked.
inline void answerAlert(const QString& button, QString* asked = nullptr) {
    QTimer::singleShot(20, [button, asked] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                if (asked)
                    *asked = box->text();
                for (QAbstractButton* b : box->buttons())
                    if (b->text() == button || button.isEmpty())
                        return b->click();
                return;
            }
        answerAlert(button, asked);
    });
}

inline void writeFile(const QString& path, const QByteArray& content) {
    FileTools::makePath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
}

// Another account ("nobody") listening at the socket name, answering every start "ok" as a running
// instance would; ChildProcess::terminate ends it.
inline pid_t squatAnswering(const QString& name) {
    const QString script = QStringLiteral("import os, socket\n"
                                          "s = socket.socket(socket.AF_UNIX)\n"
                                          "s.bind('%1')\n"
                                          "os.chmod('%1', 0o777)\n"
                                          "s.listen(4)\n"
                                          "while True:\n"
                                          "    c, _ = s.accept()\n"
                                          "    c.recv(64)\n"
                                          "    c.sendall(b'ok\\n')\n"
                                          "    c.close()\n")
                               .arg(name);
    return ChildProcess::spawn({QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                                QStringLiteral("--"), QStringLiteral("python3"), QStringLiteral("-c"),
                                script});
}

// The account record as the log-in and the backup-type choice leave it, with changes.
inline QVariantMap accountRecord(const QVariantMap& changes = {}) {
    QVariantMap record{
        {Protocol::UserName, QStringLiteral("ann")},       {Protocol::Password, QStringLiteral("pw")},
        {Protocol::Ip, QStringLiteral("127.0.0.1")},       {Protocol::Login, QStringLiteral("1")},
        {Protocol::PauseStateKey, QStringLiteral("0")},    {Protocol::LocalBackup, QStringLiteral("1")},
        {Protocol::TimeMachineBackup, QStringLiteral("0")}};
    record.insert(changes);
    return record;
}

// A notification center that records what is posted: "<name> <key>=<value> ...".
class RecordingCenter : public DistributedNotificationCenter {
  public:
    QStringList posted;
    bool postNotification(const QString& name, const QVariantMap& info, int) override {
        QString line = name;
        for (auto it = info.cbegin(); it != info.cend(); ++it)
            line += u' ' + it.key() + u'=' + it.value().toString();
        posted << line;
        return true;
    }
    void addObserver(QObject*, const QString&, Handler) override {}
    void removeObserver(QObject*, const QString&) override {}
    void setTraceLogger(TraceLogger) override {}
};

// The appliance serving the account (with an empty folder of its own).
inline bool startWithAccount(Appliance& appliance, const QString& account, const QString& password) {
    return appliance.addUser(account, password) &&
           appliance.putFile(account + QStringLiteral("/.keep"), "") && appliance.start();
}

// Chooses path in the exclusion editor's window-modal open panel, as its button does.
inline void chooseInPanel(ExcludeController& editor, const QString& path) {
    editor.AddToExclude();
    auto* panel = editor.findChild<QFileDialog*>();
    if (!panel || panel->windowModality() != Qt::WindowModal)
        return ADD_FAILURE() << "no window-modal open panel";
    panel->selectFile(path);
    static_cast<QDialog*>(panel)->accept();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The application's real windows, the status window asking the snapshot tool given.
inline AppWindows windowsWithTool(const QString& tool) {
    AppWindows windows = applicationWindows();
    windows.status = [tool](AppDelegate& app) -> std::unique_ptr<StatusWindowApi> {
        PlatformProfile profile = app.paths().profile();
        profile.snapshotToolPath = tool;
        FilePathsController paths(FilePathsController::Table::Application, profile);
        paths.setM_ConsoleUserName(app.paths().m_ConsoleUserName());
        return std::make_unique<StatusController>(paths, StatusController::ownerFor(app), app.notifications(),
                                                  &app.logger(), app.services().timings);
    };
    return windows;
}

// Our tmutil stand-in keeps its state below the test's root.
struct ToolState {
    explicit ToolState(const QString& root) {
        qputenv("ZH_TMUTIL_STATE", (root + QStringLiteral("/tmutil-state.plist")).toUtf8());
    }
    ~ToolState() { qunsetenv("ZH_TMUTIL_STATE"); }
};

// The application controller as the status window sees it: the backup type and the pause state kept as
// the account record keeps them, every call recorded.
struct StatusTestApp {
    int type = 0;
    bool paused = false, initialRunning = false, pending = false, firstTime = false;
    QStringList calls;

    StatusController::Owner statusOwner() {
        StatusController::Owner o;
        o.getStatusType = [this] { return type; };
        o.getPauseState = [this] { return paused; };
        o.isBackupPending = [this] { return pending; };
        o.isIntialBackuprunning = [this] { return initialRunning; };
        o.isfirstTimeLogin = [this] { return firstTime; };
        o.loginForBackupType = [this](int t) {
            calls << QStringLiteral("loginForBackupType %1").arg(type = t);
        };
        o.startStop = [this](int tag, bool stop) {
            calls << QStringLiteral("startStop %1 %2").arg(tag).arg(stop);
            paused = tag == StatusController::TimeMachineTag ? paused : !paused;
        };
        o.TimeMachineConfigurationFailed = [this] { calls << QStringLiteral("TMFailed"), type &= 1; };
        o.TimeMachineStoppedManually = [this] { calls << QStringLiteral("TMStopped"), type |= 2; };
        o.RestoreWin = [this] { calls << QStringLiteral("RestoreWin"); };
        o.ViewLogs = [this] { calls << QStringLiteral("ViewLogs"); };
        o.openUrl = [this](const QUrl& url) { calls << QStringLiteral("open ") + url.toLocalFile(); };
        return o;
    }
};

// The screenshot programs: "<folder>/<group>-<state>.png" for each window saved.
struct Shots {
    QString folder, group;
    int failures = 0;
    void save(QWidget* w, const QString& state) {
        w->show();
        spinFor(100);
        const QString path = QStringLiteral("%1/%2-%3.png").arg(folder, group, state);
        if (w->grab().save(path, "PNG", 9))
            return;
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++failures;
    }
};
inline int screenshotsMain(int argc, char** argv, const char* group,
                           const std::function<void(Shots&)>& body) {
    QApplication application(argc, argv);
    // The windows in the language of the environment (LANG, LANGUAGE): "LANG=de_DE.UTF-8
    // zh-screenshots-core <folder>" saves them in German, as "de-<group>-<state>.png".
    AppTranslations::install(application);
    if (argc != 2) {
        std::fprintf(stderr, "usage: zh-screenshots-%s <folder>\n", group);
        return 64;
    }
    const QLocale locale;
    const bool english = locale.language() == QLocale::C || locale.language() == QLocale::English;
    Shots shots{QString::fromLocal8Bit(argv[1]),
                (english ? QString() : locale.name().section(u'_', 0, 0) + u'-') +
                    QString::fromLatin1(group)};
    QDir().mkpath(shots.folder);
    body(shots);
    return shots.failures == 0 ? 0 : 1;
}

// "PendingState.plist" as the daemon writes it: nothing waiting, the whole disk watched, the last restore
// check passed on 2026-03-05; changes replace values.
inline QVariantMap pendingStateRecord(const QVariantMap& changes = {}) {
    namespace Key = Protocol::PendingState;
    QVariantMap state{{Key::Count, "0"},
                      {Key::Collected, "0"},
                      {Key::Listed, "0"},
                      {Key::Sending, "0"},
                      {Key::Owed, "0"},
                      {Key::Oldest, ""},
                      {Key::Newest, ""},
                      {Key::Paused, "0"},
                      {Key::SleepDelayed, "0"},
                      {Key::Watch, "disk"},
                      {Key::WatchBackend, "fanotify"},
                      {Key::WatchFolder, "/"},
                      {Key::WatchFolders, "0"},
                      {Key::WatchFileSystems, "2"},
                      {Key::WatchLimited, "0"},
                      {Key::WatchSince, ""},
                      {Key::WatchReason, ""},
                      {Key::VerifyState, "passed"},
                      {Key::VerifyReason, ""},
                      {Key::VerifyAttempted, "2026-03-05T03:10:00Z"},
                      {Key::Verified, "2026-03-05T03:10:12Z"},
                      {Key::VerifiedText, "Verified restorable on 2026-03-05: 50 files"},
                      {Key::VerifiedFiles, "50"},
                      {Key::VerifiedSkipped, "0"},
                      {Key::VerifiedFailed, "0"},
                      {Key::VerifiedFailures, QStringList()},
                      {Key::VerifiedSnapshot, "auto-20260305.0300-2w"},
                      {Key::Updated, "2026-03-05T14:10:00Z"}};
    state.insert(changes);
    return state;
}
