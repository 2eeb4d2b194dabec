#pragma once

#include "StatusController.h"
#include "TimeMachine.h"

#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

// The application controller as the status window and the Time Machine panel see it: the backup type
// and the pause state kept as the account record keeps them, and every call recorded.
struct StatusTestApp {
    int type = 0;
    bool paused = false;
    bool initialRunning = false;
    bool pending = false;
    bool firstTime = false;
    QStringList calls;

    StatusController::Owner statusOwner() {
        StatusController::Owner o;
        o.getStatusType = [this] { return type; };
        o.getPauseState = [this] { return paused; };
        o.isBackupPending = [this] { return pending; };
        o.isIntialBackuprunning = [this] { return initialRunning; };
        o.isfirstTimeLogin = [this] { return firstTime; };
        o.loginForBackupType = [this](int t) {
            calls << QStringLiteral("loginForBackupType %1").arg(t);
            type = t;
        };
        o.startStop = [this](int tag, bool stop) {
            calls << QStringLiteral("startStop %1 %2").arg(tag).arg(stop);
            if (tag != StatusController::TimeMachineTag)
                paused = !paused;
        };
        o.TimeMachineConfigurationFailed = [this] {
            calls << QStringLiteral("TimeMachineConfigurationFailed");
            type &= 1; // "timeMachineBackup" = "0"
        };
        o.TimeMachineStoppedManually = [this] {
            calls << QStringLiteral("TimeMachineStoppedManually");
            type |= 2; // "timeMachineBackup" = "1"
        };
        o.RestoreWin = [this] { calls << QStringLiteral("RestoreWin"); };
        o.ViewLogs = [this] { calls << QStringLiteral("ViewLogs"); };
        o.openUrl = [this](const QUrl& url) { calls << QStringLiteral("open ") + url.toLocalFile(); };
        return o;
    }
};

template <typename T = QWidget> T* outlet(QWidget* window, const char* name) {
    return window->findChild<T*>(QString::fromLatin1(name));
}
inline QString text(QWidget* window, const char* name) {
    if (auto* l = outlet<QLabel>(window, name))
        return l->text();
    if (auto* b = outlet<QPushButton>(window, name))
        return b->text();
    return QStringLiteral("<no outlet %1>").arg(QString::fromLatin1(name));
}
inline bool shown(QWidget* window, const char* name) {
    QWidget* w = outlet(window, name);
    return w && !w->isHidden();
}
