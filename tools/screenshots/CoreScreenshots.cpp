// Saves the log-in window, the tray menus and the tray artwork in the states worth showing as PNGs
// into the folder given ("core-<state>.png"). Run under a display (scripts/screenshots.sh uses Xvfb).
//
//   zh-screenshots-core <folder>

#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "LoginController.h"
#include "ui_LoginController.h"

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

} // namespace

int main(int argc, char** argv) {
    return screenshotsMain(argc, argv, "core", [](Shots& shots) {
        trayArtwork(shots);
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
        QTest::keyClicks(ui.pIp, QStringLiteral("10.0.0.x"));
        shots.save(login, QStringLiteral("login-address-invalid"));
        login->completeLogin(false);
        shots.save(login, QStringLiteral("login-failed"));

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
