// The application's real object graph as a process of its own, for tests that end it the way the field
// does (killed, a session's signal, "Quit Zorvik Hollin"): the controller with the real windows, built
// and wired as the program's main() does, over a temporary profile root, a private bus and a console
// user named on the command line. What a person does in the windows comes as commands on standard
// input, one a line, fields separated by a tab:
//
//   zh-app-host <profile root> <console user> <bus address>
//
//   exclude <path>                 the exclusion editor (Preferences) adds the folder, as its panel does
//   restore <name> <destination>   the restore window (Restore) ticks the live item <name> at the top of
//                                  the outline and restores it into <destination>, the summary accepted
//   quit                           "Quit Zorvik Hollin", its question answered "Yes"
//
// It prints "launched" once started, "excluded" once the editor has the folder, "restoring <pid>" while
// the restore's rsync runs (its process group), and "finished" or "cancelled" when the restore ends.

#include "AppDelegate.h"
#include "ApplicationWindows.h"
#include "DistributedNotificationCenter.h"
#include "ExcludeController.h"
#include "RestoreSummaryDialog.h"
#include "RestoreViewController.h"
#include "UserDefaults.h"
#include "linux/DBusNotificationCenter.h"
#include "ui_RestoreViewController.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

void say(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Calls step every 20 ms until it says it is done.
void repeat(const std::function<bool()>& step) {
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [timer, step] {
        if (step())
            timer->deleteLater();
    });
    timer->start(20);
}

template <typename T> T* topLevel() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<T*>(w))
            return found;
    return nullptr;
}

// The rsync of the restore under way: the child of this process, in a process group of its own, that
// writes into destination.
qint64 restoreChild(const QString& destination) {
    const QString self = QString::number(::getpid());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString line = QString::fromLatin1(stat.readAll());
        const QStringList fields = line.mid(line.lastIndexOf(u')') + 2).split(u' ');
        QFile command(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (fields.value(1) == self && fields.value(2) == entry && command.open(QIODevice::ReadOnly) &&
            QString::fromUtf8(command.readAll()).contains(destination))
            return entry.toLongLong();
    }
    return 0;
}

void exclude(AppDelegate& app, const QString& path) {
    app.Preferences();
    auto* editor = topLevel<ExcludeController>();
    if (!editor)
        return say(QStringLiteral("no exclusion editor"));
    editor->AddToExclude();
    auto* panel = editor->findChild<QFileDialog*>();
    if (!panel)
        return say(QStringLiteral("no panel"));
    panel->selectFile(path);
    static_cast<QDialog*>(panel)->accept();
    say(QStringLiteral("excluded"));
}

void restore(AppDelegate& app, const QString& name, const QString& destination) {
    app.RestoreWin();
    RestoreViewController* window = RestoreViewController::sharedController();
    if (!window)
        return say(QStringLiteral("no restore window"));
    QObject::connect(window, &RestoreViewController::restoreFinished,
                     [] { say(QStringLiteral("finished")); });
    QObject::connect(window, &RestoreViewController::restoreCancelled,
                     [] { say(QStringLiteral("cancelled")); });
    enum { Listing, Summary, Downloading, Done };
    auto stage = std::make_shared<int>(Listing);
    const QPointer<RestoreViewController> w = window;
    repeat([w, stage, name, destination] {
        if (!w)
            return true;
        if (*stage == Listing) {
            ZHTreeNode* item = nullptr;
            for (ZHTreeNode* n : w->treeModel()->tree().mRootItem()->getChildren())
                if (n->relativePath() == name)
                    item = n;
            if (!item || w->isBusy())
                return false;
            w->treeModel()->toggle(item);
            w->setDownloadLocation(destination);
            w->Restore();
            *stage = Summary;
        } else if (*stage == Summary) {
            if (auto* summary = w->findChild<RestoreSummaryDialog*>()) {
                summary->accept();
                *stage = Downloading;
            }
        } else if (*stage == Downloading) {
            const qint64 child = restoreChild(destination);
            if (child == 0 || w->ui()->cancelDownload->isHidden())
                return false;
            say(QStringLiteral("restoring %1").arg(child));
            *stage = Done;
        }
        return *stage == Done;
    });
}

void quit(AppDelegate& app) {
    // The question comes up as a modal alert; "Yes" is pressed once it is there.
    repeat([] {
        auto* box = topLevel<QMessageBox>();
        if (!box || !box->isVisible())
            return false;
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QLatin1String("Yes"))
                b->click();
        return true;
    });
    app.logOut();
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: zh-app-host <profile root> <console user> <bus address>\n");
        return 64;
    }
    QApplication::setQuitOnLastWindowClosed(false);
    DBusNotificationCenter notifications(
        QDBusConnection::connectToBus(args[3], QStringLiteral("application")),
        DistributedNotificationCenter::rootOnly());
    UserDefaults defaults(args[1] + QStringLiteral("/defaults.ini"));

    AppServices services;
    services.profile = PlatformProfile::forLinux(args[1]);
    services.userName = args[2];
    services.notifications = &notifications;
    services.defaults = &defaults;
    services.deployment.applianceHostName = QStringLiteral("zh-appliance.invalid");
    services.version = QStringLiteral("0.1.0");
    services.windows = applicationWindows();

    // As main() wires the program.
    AppDelegate delegate(services);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    QString why;
    if (!delegate.endOnTerminationSignals(&why))
        say(QStringLiteral("no termination signals: ") + why);
    delegate.applicationDidFinishLaunching();
    say(QStringLiteral("launched"));

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, n);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0;) {
            const QStringList command = QString::fromUtf8(pending.left(end)).split(u'\t');
            pending.remove(0, end + 1);
            if (command.value(0) == QLatin1String("exclude"))
                exclude(delegate, command.value(1));
            else if (command.value(0) == QLatin1String("restore"))
                restore(delegate, command.value(1), command.value(2));
            else if (command.value(0) == QLatin1String("quit"))
                quit(delegate);
        }
    });
    return application.exec();
}
