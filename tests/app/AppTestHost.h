#pragma once

#include "AppDelegate.h"
#include "DesktopNotifier.h"
#include "LoginItems.h"
#include "PrivateBus.h"
#include "TestRoots.h"
#include "UserDefaults.h"
#include "linux/DBusNotificationCenter.h"

#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <optional>

// Stands in for the desktop's notification service on the private bus and keeps what "Notify" got.
class NotificationServiceStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    QStringList summaries;
    QStringList bodies;
    QList<QStringList> actions; // of each notification: key, label, key, label, …
    int count(const QString& summary) const { return int(summaries.count(summary)); }
    // The person clicks a notification's action (ids are 1, 2, … in the order of the notifications).
    void invoke(uint id, const QString& key) { emit ActionInvoked(id, key); }

  signals:
    void ActionInvoked(uint id, const QString& actionKey);

  public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int expireTimeout);
};

// The application as tests run it: the real AppDelegate and its windows, offscreen, over a temporary
// profile root with the fixture user's home, on a private bus, with its own preferences file and short
// timings. The test speaks for the daemon through a second connection to the same bus.
class AppTestHost {
  public:
    struct Options {
        bool bus = true;
        // The discovery ping's target: nothing answers by default, so the address field is shown.
        QString applianceHostName = QStringLiteral("zh-appliance.invalid");
        AppWindows windows;
        std::optional<AppTimings> timings; // shortTimings() when unset
        // A tray is there unless a test says otherwise (offscreen has none).
        DesktopServices desktop{[] { return true; }, {}, nullptr, {}, {}};
    };

    AppTestHost();
    explicit AppTestHost(Options options);
    ~AppTestHost();

    // Empty when the host is ready, else why not.
    QString setUp();
    // Builds the controller and runs its launch.
    void launch();

    static AppTimings shortTimings();

    AppDelegate& app() { return *mApp; }
    QString userDetailsPath() const;
    QString supportFile(const QString& name) const; // a file beside the account record
    void writeDetails(const QVariantMap& values);
    QString trace() const; // the application's interactive trace
    // The application's files become the fixture user's, as they are when the application runs as that
    // user: the daemon then reads them with the user's rights.
    void handOverToUser();

    // The daemon's side of the bus: what the application posted, and posting as root.
    QStringList posted() const { return mPosted; }
    void postAsDaemon(const QString& name, const QVariantMap& info = {});

    // Desktop notifications on the private bus, received by a stand-in service (before launch()).
    QString setUpDesktopNotifications();
    NotificationServiceStandIn notificationService;

    TempRoot root;
    FixtureUser user;
    QString home;
    PrivateBus bus;
    int terminations = 0;
    int beeps = 0;

  private:
    Options mOptions;
    std::unique_ptr<DBusNotificationCenter> mAppCenter;
    std::unique_ptr<DBusNotificationCenter> mDaemonCenter;
    QObject mDaemonObserver;
    QStringList mPosted;
    std::unique_ptr<UserDefaults> mDefaults;
    std::unique_ptr<LoginItems> mLoginItems;
    std::unique_ptr<DesktopNotifier> mNotifier;
    QString mSessionConnection, mServiceConnection;
    std::unique_ptr<AppDelegate> mApp;
    QString mAppConnection;
    QString mDaemonConnection;
};
