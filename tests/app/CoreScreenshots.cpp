// Saves the log-in window, the tray menus and the tray artwork in the states worth showing as PNGs
// into the folder given ("core-<state>.png"). Run under a display (scripts/screenshots.sh uses Xvfb).
//
//   zh-screenshots-core <folder>

#include "AppTestHost.h"
#include "ApplicationWindows.h"
#include "EventLoopWait.h"
#include "LoginController.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "ui_LoginController.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QTest>

#include <cstdio>

namespace {

QString gFolder;
int gFailures = 0;

void save(QWidget* widget, const QString& state) {
    spinFor(100);
    const QString path = gFolder + QStringLiteral("/core-%1.png").arg(state);
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot save %s\n", qPrintable(path));
        ++gFailures;
    }
}

void saveMenu(AppDelegate& app, const QString& state) {
    QMenu* menu = app.statusMenu();
    app.validateMenuItems();
    menu->popup(QPoint(20, 20));
    save(menu, state);
    menu->hide();
}

std::unique_ptr<AppTestHost> launched(const QString& hostName) {
    AppTestHost::Options options;
    options.windows = applicationWindows();
    options.bus = false;
    options.applianceHostName = hostName;
    auto host = std::make_unique<AppTestHost>(options);
    const QString why = host->setUp();
    if (!why.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return nullptr;
    }
    host->launch();
    return host;
}

void trayArtwork() {
    const QStringList names{"zorHollin_tray_regular", "zorHollin_tray_pause", "zorHollin_tray_alert",
                            "zorHollin_tray_onMenu",  "ZorvikHollin_anim01",  "ZorvikHollin_anim02",
                            "ZorvikHollin_anim03",    "ZorvikHollin_anim04",  "ZorvikHollin_anim05",
                            "ZorvikHollin_anim06",    "ZorvikHollin_anim07",  "ZorvikHollin_anim08"};
    // Each image at 22 px on a light and on a dark panel.
    QImage strip(int(names.size()) * 30 + 6, 64, QImage::Format_ARGB32);
    QPainter p(&strip);
    p.fillRect(0, 0, strip.width(), 32, QColor(236, 236, 236));
    p.fillRect(0, 32, strip.width(), 32, QColor(40, 40, 44));
    for (int i = 0; i < names.size(); ++i) {
        const QPixmap image = AppDelegate::trayImage(names.at(i)).pixmap(22, 22);
        p.drawPixmap(6 + i * 30, 5, image);
        p.drawPixmap(6 + i * 30, 37, image);
    }
    p.end();
    if (!strip.save(gFolder + QStringLiteral("/core-tray-icons.png")))
        ++gFailures;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: zh-screenshots-core <folder>\n");
        return 64;
    }
    gFolder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(gFolder);
    trayArtwork();

    // The appliance answers: no address field.
    auto found = launched(QStringLiteral("127.0.0.1"));
    if (!found)
        return 1;
    save(found->app().loginController(), QStringLiteral("login-address-hidden"));
    found.reset();

    // Nothing answers: the address field and each message.
    auto host = launched(QStringLiteral("zh-appliance.invalid"));
    if (!host)
        return 1;
    LoginController* login = host->app().loginController();
    Ui::LoginController& ui = login->ui();
    save(login, QStringLiteral("login-address-shown"));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    save(login, QStringLiteral("login-user-name-missing"));
    ui.usererror->hide();
    ui.pUsername->setText(QStringLiteral("ann"));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    save(login, QStringLiteral("login-password-missing"));
    ui.pwderror->hide();
    ui.pwd->setText(QStringLiteral("secret"));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    save(login, QStringLiteral("login-address-missing"));
    QTest::keyClicks(ui.pIp, QStringLiteral("10.0.0.x"));
    save(login, QStringLiteral("login-address-invalid"));
    login->completeLogin(false);
    save(login, QStringLiteral("login-failed"));

    // The three menus.
    AppDelegate& app = host->app();
    saveMenu(app, QStringLiteral("menu-logged-out"));
    const auto details = [&](const QString& local, const QString& paused) {
        QVariantMap record{{Protocol::UserName, QStringLiteral("ann")},
                           {Protocol::Login, QStringLiteral("1")},
                           {Protocol::PauseStateKey, paused},
                           {Protocol::LocalBackup, local},
                           {Protocol::TimeMachineBackup, QStringLiteral("0")}};
        host->writeDetails(record);
    };
    details(QStringLiteral("1"), QStringLiteral("0"));
    app.loadUI();
    login->hide();
    saveMenu(app, QStringLiteral("menu-local-backup"));
    details(QStringLiteral("1"), QStringLiteral("1"));
    app.loadUI();
    saveMenu(app, QStringLiteral("menu-local-backup-paused"));
    details(QStringLiteral("0"), QStringLiteral("0"));
    app.loadUI();
    saveMenu(app, QStringLiteral("menu-time-machine-only"));
    return gFailures == 0 ? 0 : 1;
}
