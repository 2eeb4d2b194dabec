// Saves the log-in window, the tray menus and the tray artwork in the states worth showing as PNGs
// into the folder given ("core-<state>.png"). Run under a display (scripts/screenshots.sh uses Xvfb).
//
//   zh-screenshots-core <folder>

#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "LoginController.h"
#include "PropertyList.h"
#include "ui_LoginController.h"

#include <QBoxLayout>
#include <QPainter>
#include <QTest>

namespace {

// Each tray image at 22 px on a light and on a dark panel.
void trayArtwork(Shots& shots) {
    QStringList names{"zorHollin_tray_regular", "zorHollin_tray_pause", "zorHollin_tray_alert",
                      "zorHollin_tray_onMenu"};
    for (int i = 1; i <= 8; ++i)
        names << QStringLiteral("ZorvikHollin_anim0%1").arg(i);
    QLabel strip;
    QPixmap picture(int(names.size()) * 30 + 6, 64);
    QPainter p(&picture);
    p.fillRect(0, 0, picture.width(), 32, QColor(236, 236, 236));
    p.fillRect(0, 32, picture.width(), 32, QColor(40, 40, 44));
    for (int i = 0; i < names.size(); ++i)
        for (int y : {5, 37})
            p.drawPixmap(6 + i * 30, y, AppDelegate::trayImage(names.at(i)).pixmap(22, 22));
    p.end();
    strip.setPixmap(picture);
    strip.setFixedSize(picture.size());
    shots.save(&strip, QStringLiteral("tray-icons"));
}

// A host whose log-in check runs the private rsync copy, as an installation has it.
std::unique_ptr<AppTestHost> checkingHost(const QString& hostName, std::chrono::milliseconds checkTimeout) {
    AppTestHost::Options options;
    options.bus = false;
    options.applianceHostName = hostName;
    options.timings = AppTestHost::shortTimings();
    options.timings->loginCheckTimeout = checkTimeout;
    auto host = std::make_unique<AppTestHost>(options);
    if (const QString why = host->setUp(); !why.isEmpty())
        qFatal("%s", qPrintable(why));
    const QString copy = host->root.profile().privateRsyncPath;
    QDir().mkpath(QFileInfo(copy).path());
    QFile::copy(QStringLiteral(ZH_PRIVATE_RSYNC), copy);
    host->launch();
    return host;
}

void logIn(Ui::LoginController& ui, const QString& user, const QString& password) {
    ui.pUsername->setText(user);
    ui.pwd->setText(password);
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
}

// The check against a real appliance (with its login message) and a silent one: each failure at its
// field, the check under way with its Cancel. They need root (port 873).
void checksAgainstTheAppliance(Shots& shots) {
    if (const QString why = Appliance::skipReason(); !why.isEmpty())
        return (void)std::fprintf(stderr, "no log-in check shots: %s\n", qPrintable(why));
    Appliance appliance;
    SilentListener silent;
    QString why;
    if (!startWithAccount(appliance, QStringLiteral("ann"), QStringLiteral("right")) || !silent.start(&why))
        qFatal("no appliance for the log-in shots: %s", qPrintable(why));
    const auto ended = [](LoginController* login) {
        waitUntil([login] { return !login->isAuthenticating(); }, 60000);
    };

    // Found by discovery (no address field): a wrong password, then the appliance gone.
    auto host = checkingHost(appliance.address(), AppTimings().loginCheckTimeout);
    LoginController* login = host->app().loginController();
    logIn(login->ui(), QStringLiteral("ann"), QStringLiteral("wrong"));
    ended(login);
    shots.save(login, QStringLiteral("login-wrong-password"));
    appliance.stop();
    logIn(login->ui(), QStringLiteral("ann"), QStringLiteral("right"));
    ended(login);
    shots.save(login, QStringLiteral("login-address-refused"));

    // An address that takes the connection and never answers: the check under way, cancelled, and
    // with a short time-out ended by itself.
    host = checkingHost(QStringLiteral("zh-appliance.invalid"), AppTimings().loginCheckTimeout);
    login = host->app().loginController();
    login->ui().pIp->setText(silent.address());
    logIn(login->ui(), QStringLiteral("ann"), QStringLiteral("right"));
    shots.save(login, QStringLiteral("login-checking"));
    QTest::mouseClick(login->ui().LoginBtn, Qt::LeftButton);
    shots.save(login, QStringLiteral("login-cancelled"));
    host = checkingHost(QStringLiteral("zh-appliance.invalid"), std::chrono::seconds(1));
    login = host->app().loginController();
    login->ui().pIp->setText(silent.address());
    logIn(login->ui(), QStringLiteral("ann"), QStringLiteral("right"));
    ended(login);
    shots.save(login, QStringLiteral("login-no-answer"));
}

// The tray icon while a backup runs and once it completed, the two confirmations of the menu, each as
// the application shows it.
void trayAndConfirmationShots(Shots& shots) {
    AppTestHost::Options options;
    options.windows = applicationWindows();
    options.bus = false;
    AppTestHost host(options);
    if (!host.setUp().isEmpty())
        qFatal("%s", qPrintable(host.setUp()));
    host.writeDetails(accountRecord());
    host.launch();
    AppDelegate& app = host.app();
    if (auto* status = app.statusWindow())
        status->window()->hide();

    // The icon the tray item holds: a frame while the backup runs, the regular image after it.
    QList<QPair<QString, QIcon>> states;
    app.receiveTestNotification({{Protocol::KeyProgress, QString(Protocol::ProgressBackupStarts)}});
    spinFor(60);
    states << qMakePair(QStringLiteral("Backing up"), app.statusItem()->icon());
    app.receiveTestNotification({{Protocol::KeyProgress, QString(Protocol::ProgressBackupCompleted)}});
    states << qMakePair(QStringLiteral("Backup completed"), app.statusItem()->icon());
    QPixmap picture(2 * 150, 64);
    QPainter p(&picture);
    p.fillRect(0, 0, picture.width(), 32, QColor(236, 236, 236));
    p.fillRect(0, 32, picture.width(), 32, QColor(40, 40, 44));
    for (int i = 0; i < states.size(); ++i)
        for (int y : {5, 37}) {
            p.drawPixmap(8 + i * 150, y, states.at(i).second.pixmap(22, 22));
            p.setPen(y == 5 ? Qt::black : Qt::white);
            p.drawText(QRect(36 + i * 150, y - 5, 110, 32), Qt::AlignVCenter, states.at(i).first);
        }
    p.end();
    QLabel strip;
    strip.setPixmap(picture);
    strip.setFixedSize(picture.size());
    shots.save(&strip, QStringLiteral("tray-after-backup"));

    // The tooltip with what is not yet safe, read from the daemon's state file, drawn as the desktop
    // shows a tooltip beside the tray icon.
    const auto tooltip = [&](const QString& name, const QVariantMap& changes) {
        PropertyList::writeDictionary(host.supportFile(Protocol::PendingStateFile),
                                      pendingStateRecord(changes), PropertyList::OwnerOnlyMode);
        app.protection().reload();
        QWidget strip;
        strip.setAutoFillBackground(true);
        QPalette palette = strip.palette();
        palette.setColor(QPalette::Window, QColor(236, 236, 236));
        strip.setPalette(palette);
        auto* row = new QHBoxLayout(&strip);
        auto* icon = new QLabel(&strip);
        icon->setPixmap(app.statusItem()->icon().pixmap(22, 22));
        icon->setAlignment(Qt::AlignTop);
        auto* tip = new QLabel(app.statusItem()->toolTip(), &strip);
        tip->setStyleSheet(
            QStringLiteral("background: #ffffe1; color: black; border: 1px solid #767676; padding: 4px;"));
        row->addWidget(icon);
        row->addWidget(tip);
        row->addStretch();
        strip.resize(strip.sizeHint().expandedTo(QSize(360, 0)));
        shots.save(&strip, name);
    };
    namespace Key = Protocol::PendingState;
    const QString minutesAgo = QDateTime::currentDateTimeUtc().addSecs(-190).toString(Qt::ISODate);
    tooltip(QStringLiteral("tray-tooltip-all-sent"), {});
    tooltip(QStringLiteral("tray-tooltip-waiting"), {{Key::Count, "12"}, {Key::Oldest, minutesAgo}});
    tooltip(QStringLiteral("tray-tooltip-paused"),
            {{Key::Count, "40"}, {Key::Paused, "1"}, {Key::Oldest, minutesAgo}});

    // Each confirmation while it is up, then answered with its safe choice (the default: Return).
    const auto confirmation = [&](const QString& state, void (AppDelegate::*command)()) {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    poll.stop();
                    shots.save(box, state);
                    QTest::keyClick(box, Qt::Key_Return);
                    return;
                }
        });
        poll.start(50);
        (app.*command)();
    };
    confirmation(QStringLiteral("confirm-reinitialize"), &AppDelegate::Reinitialize);
    confirmation(QStringLiteral("confirm-quit"), &AppDelegate::logOut);
}

} // namespace

int main(int argc, char** argv) {
    return screenshotsMain(argc, argv, "core", [](Shots& shots) {
        trayArtwork(shots);
        trayAndConfirmationShots(shots);
        const auto launched = [](const QString& hostName) {
            AppTestHost::Options options;
            options.windows = applicationWindows();
            options.bus = false;
            options.applianceHostName = hostName;
            auto host = std::make_unique<AppTestHost>(options);
            if (!host->setUp().isEmpty())
                qFatal("%s", qPrintable(host->setUp()));
            host->launch();
            return host;
        };
        // The appliance answers: no address field.
        shots.save(launched(QStringLiteral("127.0.0.1"))->app().loginController(),
                   QStringLiteral("login-address-hidden"));

        // Nothing answers: the address field and each message.
        auto host = launched(QStringLiteral("zh-appliance.invalid"));
        LoginController* login = host->app().loginController();
        Ui::LoginController& ui = login->ui();
        shots.save(login, QStringLiteral("login-address-shown"));
        QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
        shots.save(login, QStringLiteral("login-user-name-missing"));
        ui.usererror->hide();
        ui.pUsername->setText(QStringLiteral("ann"));
        QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
        shots.save(login, QStringLiteral("login-password-missing"));
        ui.pwderror->hide();
        ui.pwd->setText(QStringLiteral("secret"));
        QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
        shots.save(login, QStringLiteral("login-address-missing"));
        QTest::keyClicks(ui.pIp, QStringLiteral("10.0.0.7/"));
        shots.save(login, QStringLiteral("login-address-invalid"));
        login->completeLogin(false);
        shots.save(login, QStringLiteral("login-failed"));
        checksAgainstTheAppliance(shots);

        // The three menus.
        AppDelegate& app = host->app();
        const auto menu = [&](const QString& state, const QString& local, const QString& paused) {
            if (!local.isEmpty()) {
                host->writeDetails(
                    accountRecord({{Protocol::LocalBackup, local}, {Protocol::PauseStateKey, paused}}));
                app.loadUI();
                login->hide();
            }
            app.validateMenuItems();
            app.statusMenu()->popup(QPoint(20, 20));
            shots.save(app.statusMenu(), state);
            app.statusMenu()->hide();
        };
        menu(QStringLiteral("menu-logged-out"), QString(), QString());
        menu(QStringLiteral("menu-local-backup"), QStringLiteral("1"), QStringLiteral("0"));
        menu(QStringLiteral("menu-local-backup-paused"), QStringLiteral("1"), QStringLiteral("1"));
        menu(QStringLiteral("menu-time-machine-only"), QStringLiteral("0"), QStringLiteral("0"));
    });
}
