// The tray application: the machine's own profile, the system bus, the user's login items and
// preferences, and the windows registered with the controller.

#include "AppDelegate.h"
#include "ApplicationWindows.h"
#include "DeploymentSettings.h"
#include "DistributedNotificationCenter.h"
#include "LoginItems.h"
#include "UserDefaults.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZorvikHollin"));
    QApplication::setOrganizationName(QStringLiteral("ZorvikHollin"));
    QApplication::setApplicationVersion(QStringLiteral(ZH_VERSION));
    // The application lives in the tray: closing a window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

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

    AppDelegate delegate(services);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate, &AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    return app.exec();
}
