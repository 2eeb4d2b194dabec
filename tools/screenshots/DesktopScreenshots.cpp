// Saves the desktop beyond the tray as PNGs into the folder given ("desktop-<state>.png"): the status
// window offering the tray's menu where there is no tray, a desktop notification's text, the "no backup"
// warning, and the summary before a restore. Run under a display (scripts/screenshots.sh uses Xvfb).
//
//   zh-screenshots-desktop <folder>

#include "AppTestHost.h"
#include "EventLoopWait.h"
#include "FileTools.h"
#include "Protocol.h"
#include "RestoreSummaryDialog.h"
#include "StatusController.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>

namespace {

QString gFolder;
int gFailures = 0;

void save(QWidget* widget, const QString& state) {
    spinFor(150);
    const QString path = gFolder + QStringLiteral("/desktop-%1.png").arg(state);
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot save %s\n", qPrintable(path));
        ++gFailures;
    }
}

// A notification as a desktop shows it: the application, the summary, the body.
void saveNotification(const QString& summary, const QString& body) {
    QFrame bubble;
    bubble.setStyleSheet(QStringLiteral("QFrame { background: #2e3436; border-radius: 8px; } QLabel { color: "
                                        "#eeeeec; background: transparent; }"));
    auto* layout = new QVBoxLayout(&bubble);
    auto* app = new QLabel(QStringLiteral("Zorvik Hollin"), &bubble);
    app->setStyleSheet(QStringLiteral("color: #babdb6; font-size: 11px;"));
    auto* title = new QLabel(summary, &bubble);
    title->setStyleSheet(QStringLiteral("font-weight: bold;"));
    auto* text = new QLabel(body, &bubble);
    text->setWordWrap(true);
    for (QLabel* label : {app, title, text})
        layout->addWidget(label);
    bubble.setFixedWidth(380);
    bubble.show();
    save(&bubble, QStringLiteral("notification"));
}

void restoreSummary(const QString& root) {
    const QString destination = root + QStringLiteral("/Downloads");
    FileTools::makePath(destination + QStringLiteral("/Photos"));
    QFile existing(destination + QStringLiteral("/report 1.txt"));
    if (existing.open(QIODevice::WriteOnly))
        existing.write("an older copy\n");
    existing.close();
    const RestoreSummary summary = RestoreSummary::of(
        {{QStringLiteral("report 1.txt"), 1264, false, QStringLiteral("My Docs/report 1.txt")},
         {QStringLiteral("Photos"), -1, true, QStringLiteral("Photos")},
         {QStringLiteral("notes.md"), 420, false, QStringLiteral("My Docs/notes.md")}},
        destination, QStringLiteral(".before-restore-20260301-090000"));
    RestoreSummaryDialog dialog(summary);
    dialog.resize(900, 260);
    dialog.show();
    save(&dialog, QStringLiteral("restore-summary"));
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: zh-screenshots-desktop <folder>\n");
        return 2;
    }
    gFolder = QString::fromLocal8Bit(argv[1]);
    FileTools::makePath(gFolder);

    QDateTime clock(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC);
    AppTestHost::Options options;
    options.windows.status = &StatusController::forApplication;
    options.desktop.trayAvailable = [] { return false; };
    options.desktop.now = [&clock] { return clock; };
    options.desktop.timings.ageCheckInterval = std::chrono::milliseconds(50);
    AppTestHost host(options);
    QString why = host.setUp();
    if (why.isEmpty())
        why = host.setUpDesktopNotifications();
    if (!why.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }
    host.writeDetails(
        {{Protocol::UserName, QStringLiteral("zhacct")}, {Protocol::LocalBackup, QStringLiteral("1")}});
    host.launch();
    QWidget* status = host.app().statusWindow()->window();
    save(status, QStringLiteral("window-only"));
    if (auto* button = status->findChild<QToolButton*>(QStringLiteral("trayMenuButton"))) {
        button->menu()->popup(status->mapToGlobal(button->geometry().bottomLeft()));
        save(button->menu(), QStringLiteral("window-only-menu"));
        button->menu()->hide();
    }

    clock = clock.addDays(8);
    waitUntil([&] { return !host.notificationService.summaries.isEmpty(); }, 20000);
    save(status, QStringLiteral("no-backup"));
    if (host.notificationService.summaries.isEmpty()) {
        std::fprintf(stderr, "no notification arrived\n");
        ++gFailures;
    } else {
        saveNotification(host.notificationService.summaries.first(), host.notificationService.bodies.first());
    }
    restoreSummary(host.root.path());
    return gFailures == 0 ? 0 : 1;
}
