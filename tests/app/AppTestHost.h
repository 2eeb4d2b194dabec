#pragma once

#include "AppDelegate.h"
#include "LoginItems.h"
#include "PrivateBus.h"
#include "TestRoots.h"
#include "UserDefaults.h"
#include "linux/DBusNotificationCenter.h"

#include <QStringList>
#include <QVariantMap>

#include <memory>

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
    void linkPrivateRsync(const QString& adapter);
    // The application's files become the fixture user's, as they are when the application runs as that
    // user: the daemon then reads them with the user's rights.
    void handOverToUser();

    // The daemon's side of the bus: what the application posted, and posting as root.
    QStringList posted() const { return mPosted; }
    void postAsDaemon(const QString& name, const QVariantMap& info = {});

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
    std::unique_ptr<AppDelegate> mApp;
    QString mAppConnection;
    QString mDaemonConnection;
};
