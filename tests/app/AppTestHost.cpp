#include "AppTestHost.h"

#include "EventLoopWait.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "Protocol.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

AppTestHost::AppTestHost() : AppTestHost(Options()) {}

AppTestHost::AppTestHost(Options options) : mOptions(std::move(options)) {}

AppTestHost::~AppTestHost() {
    mApp.reset();
    mNotifier.reset();
    for (const QString& name : {mSessionConnection, mServiceConnection})
        if (!name.isEmpty())
            QDBusConnection::disconnectFromBus(name);
    mAppCenter.reset();
    mDaemonCenter.reset();
    if (!mAppConnection.isEmpty())
        QDBusConnection::disconnectFromBus(mAppConnection);
    if (!mDaemonConnection.isEmpty())
        QDBusConnection::disconnectFromBus(mDaemonConnection);
}

AppTimings AppTestHost::shortTimings() {
    using namespace std::chrono_literals;
    AppTimings t;
    t.startupWindow = 400ms;
    t.completedSecondStop = 200ms;
    t.userChangedDelay = 300ms;
    t.animationInterval = 20ms;
    t.blinkInterval = 20ms;
    t.probeTimeout = 20000ms;
    return t;
}

QString AppTestHost::setUp() {
    if (!root.isValid())
        return QStringLiteral("no temporary folder");
    QString error;
    user = FixtureUser::get(&error);
    if (user.name.isEmpty())
        return QStringLiteral("no fixture user: ") + error;
    home = root.createHome(user);
    FileTools::makePath(root.profile().systemSupportFolder);
    // The application runs as the account at the screen and owns what it writes; here that account is
    // the one running the test (rsync insists that a password file belongs to whoever runs it).
    const QString userSupport = root.profile().userSupportFolder(user.name);
    FileTools::makePath(userSupport);
    if (::chown(QFile::encodeName(userSupport).constData(), ::geteuid(), ::getegid()) != 0)
        return QStringLiteral("cannot take over ") + userSupport;
    if (!mOptions.bus)
        return QString();
    if (!bus.start(&error))
        return QStringLiteral("private dbus-daemon: ") + error;
    const QDBusConnection appBus = bus.connect(QStringLiteral("zh-app-test"));
    const QDBusConnection daemonBus = bus.connect(QStringLiteral("zh-app-test"));
    mAppConnection = appBus.name();
    mDaemonConnection = daemonBus.name();
    if (!appBus.isConnected() || !daemonBus.isConnected())
        return QStringLiteral("cannot connect to the private bus");
    mAppCenter = std::make_unique<DBusNotificationCenter>(appBus, DistributedNotificationCenter::rootOnly());
    mDaemonCenter = std::make_unique<DBusNotificationCenter>(daemonBus, [](uint) { return true; });
    for (const QLatin1String name :
         {Protocol::PauseState, Protocol::EnableTimeMachine, Protocol::TimeMachineBackupCanceled,
          Protocol::Reinitialize, Protocol::LogOut, Protocol::LogIn, Protocol::VerifyRestorable,
          Protocol::ReleaseHeldChanges})
        mDaemonCenter->addObserver(&mDaemonObserver, name,
                                   [this](const QString& n, const QVariantMap&) { mPosted << n; });
    return QString();
}

void AppTestHost::launch() {
    mDefaults = std::make_unique<UserDefaults>(root.path() + QStringLiteral("/defaults.ini"));
    mLoginItems = LoginItems::forHome(home);
    AppServices services;
    services.profile = root.profile();
    services.userName = user.name;
    services.notifications = mAppCenter.get();
    services.loginItems = mLoginItems.get();
    services.defaults = mDefaults.get();
    services.deployment.applianceHostName = mOptions.applianceHostName;
    services.timings = mOptions.timings.value_or(shortTimings());
    services.applicationPath = root.path() + QStringLiteral("/usr/bin/ZorvikHollin");
    services.version = QStringLiteral("0.1.0");
    services.windows = mOptions.windows;
    services.terminate = [this] { ++terminations; };
    services.beep = [this] { ++beeps; };
    services.desktop = mOptions.desktop;
    mApp = std::make_unique<AppDelegate>(services);
    mApp->applicationDidFinishLaunching();
}

QString AppTestHost::userDetailsPath() const {
    return FilePathsController(FilePathsController::Table::Application, root.profile())
               .profile()
               .userSupportFolder(user.name) +
           u'/' + Protocol::UserDetailsFile;
}

QString AppTestHost::supportFile(const QString& name) const {
    return QFileInfo(userDetailsPath()).path() + u'/' + name;
}

void AppTestHost::writeDetails(const QVariantMap& values) {
    FileTools::makePath(QFileInfo(userDetailsPath()).path());
    PropertyList::writeDictionary(userDetailsPath(), values, PropertyList::OwnerOnlyMode);
}

QString AppTestHost::trace() const {
    QFile file(supportFile(Protocol::InteractiveTraceFile));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void AppTestHost::postAsDaemon(const QString& name, const QVariantMap& info) {
    if (mDaemonCenter)
        mDaemonCenter->postNotification(name, info);
}

void AppTestHost::handOverToUser() {
    if (!user.handOver(root.profile().userSupportFolder(user.name)))
        qWarning("cannot hand the user's support folder over");
}

uint NotificationServiceStandIn::Notify(const QString&, uint, const QString&, const QString& summary,
                                        const QString& body, const QStringList& actionList,
                                        const QVariantMap&, int) {
    summaries << summary;
    bodies << body;
    actions << actionList;
    return uint(summaries.size());
}

QString AppTestHost::setUpDesktopNotifications() {
    if (!bus.isRunning())
        return QStringLiteral("no private bus");
    QDBusConnection service = bus.connect(QStringLiteral("zh-notification-service"));
    QDBusConnection session = bus.connect(QStringLiteral("zh-app-session"));
    mServiceConnection = service.name();
    mSessionConnection = session.name();
    if (!service.isConnected() || !session.isConnected())
        return QStringLiteral("cannot connect to the private bus");
    if (!service.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notificationService,
                                QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
        !service.registerService(QStringLiteral("org.freedesktop.Notifications")))
        return QStringLiteral("cannot own org.freedesktop.Notifications: ") + service.lastError().message();
    mNotifier = std::make_unique<DesktopNotifier>(session);
    mOptions.desktop.notifier = mNotifier.get();
    return QString();
}
