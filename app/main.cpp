// The tray application: the machine's own profile, the system bus, the user's login items and
// preferences, and the windows registered with the controller.

#include "AppDelegate.h"
#include "AppTranslations.h"
#include "ApplicationWindows.h"
#include "DeploymentSettings.h"
#include "DesktopNotifier.h"
#include "DistributedNotificationCenter.h"
#include "FileManagerRequests.h"
#include "LoginItems.h"
#include "SessionInterface.h"
#include "SingleInstance.h"
#include "UserDefaults.h"

#include <QApplication>
#include <QDBusConnection>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZorvikHollin"));
    QApplication::setOrganizationName(QStringLiteral("ZorvikHollin"));
    QApplication::setApplicationVersion(QStringLiteral(ZH_VERSION));
    // The windows in the person's language (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), English where the
    // application has no translation.
    AppTranslations::install(app);
    // The application lives in the tray: closing a window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // One application per user: a second start (the applications menu, the autostart entry) brings the
    // running one's window to the front and ends.
    SingleInstance instance(SingleInstance::defaultName());
    if (instance.askRunningInstanceToRaise())
        return 0;
    QString why;
    if (!instance.listen(&why))
        qWarning("ZorvikHollin: no single-instance socket: %s", qPrintable(why));

    const auto notifications =
        DistributedNotificationCenter::create(DistributedNotificationCenter::rootOnly());
    UserDefaults defaults;

    AppServices services;
    services.profile = PlatformProfile::current();
    services.notifications = notifications.get();
    const auto loginItems = LoginItems::forHome(services.profile.homeOf(QString()));
    services.loginItems = loginItems.get();
    services.defaults = &defaults;
    services.deployment = DeploymentSettings::load(services.profile);
    services.applicationPath = QApplication::applicationFilePath();
    services.version = QStringLiteral(ZH_VERSION);
    services.windows = applicationWindows();
    DesktopNotifier notifier(QDBusConnection::sessionBus());
    services.desktop.notifier = &notifier;

    AppDelegate delegate(services);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);
    // The session's end (and a service manager, or Ctrl+C in a terminal) signals the application: it
    // ends as a quit does, so what a quit puts right (a pause that must not outlive it) is put right.
    if (!delegate.endOnTerminationSignals(&why))
        qWarning("ZorvikHollin: a termination signal will end the application at once: %s", qPrintable(why));
    QObject::connect(&instance, &SingleInstance::raiseRequested, &delegate, &AppDelegate::bringForward);
    delegate.applicationDidFinishLaunching();
    // Versions…, Check a File… and Back Up Now for the file managers' context menus, on the session
    // bus (which starts the application for them when it does not run). Calls wait for the event loop.
    FileManagerRequests requests(delegate);
    SessionInterface session(requests, QDBusConnection::sessionBus());
    if (!session.serve(&why))
        qWarning("ZorvikHollin: the file managers cannot reach the application: %s", qPrintable(why));
    return app.exec();
}
