// The log-in window driven with QTest: discovery, the address filter and the checks of the button. The
// log-in against the appliance, and the record it writes, run in AppEndToEndTest.

#include "LoginController.h"
#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "ui_LoginController.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QTest>

namespace {

// The application launched without a bus; hostName is what the discovery pings.
std::unique_ptr<AppTestHost> launched(const QString& hostName, QString* why) {
    AppTestHost::Options options;
    options.bus = false;
    options.applianceHostName = hostName;
    auto host = std::make_unique<AppTestHost>(options);
    if (!(*why = host->setUp()).isEmpty())
        return nullptr;
    host->launch();
    return host;
}

void paste(QLineEdit* field, const QString& text) {
    QGuiApplication::clipboard()->setText(text);
    field->setFocus();
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
}

} // namespace

TEST(LoginControllerTest, DiscoveryTheAddressFilterAndTheButtonChecks) {
    // The appliance answers: the address field is hidden and its address kept as the default.
    QString why;
    auto host = launched(QStringLiteral("127.0.0.1"), &why);
    ZH_SKIP_IF(why);
    LoginController* login = host->app().loginController();
    EXPECT_TRUE(login->ui().pIp->isHidden() && login->ui().pIplabel->isHidden());
    EXPECT_EQ(login->height(), LoginController::HeightWithoutAddress);
    EXPECT_EQ(UserDefaults(host->root.path() + QStringLiteral("/defaults.ini")).stringForKey(Protocol::Ip),
              QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(host->trace().contains(QStringLiteral("fechted IP:127.0.0.1")));

    // Nothing answers: the field is shown and must be filled.
    host = launched(QStringLiteral("zh-appliance.invalid"), &why);
    ASSERT_TRUE(host) << why.toStdString();
    login = host->app().loginController();
    Ui::LoginController& ui = login->ui();
    EXPECT_FALSE(ui.pIp->isHidden());
    EXPECT_EQ(login->height(), LoginController::HeightWithAddress);
    EXPECT_TRUE(host->trace().contains(QStringLiteral("showing IP address field")));

    // A pasted address passes; the same with a trailing blank is refused whole, with the beep.
    paste(ui.pIp, QStringLiteral("192.168.10.20"));
    EXPECT_EQ(ui.pIp->text(), QStringLiteral("192.168.10.20"));
    ui.pIp->clear();
    paste(ui.pIp, QStringLiteral("192.168.10.20 "));
    EXPECT_EQ(ui.pIp->text(), QString());
    EXPECT_EQ(host->beeps, 1);
    EXPECT_EQ(ui.iperror->text(), QStringLiteral("Enter a valid IP address"));
    EXPECT_EQ(ui.remembermeBtn->y(), LoginController::CheckBoxTopUnderMessage);
    QTest::keyClicks(ui.pIp, QStringLiteral("10.0.x"));
    EXPECT_EQ(host->beeps, 2);
    QTest::keyClicks(ui.pIp, QStringLiteral("7"));
    EXPECT_TRUE(ui.iperror->isHidden());
    EXPECT_EQ(ui.remembermeBtn->y(), LoginController::CheckBoxTop);
    EXPECT_EQ(ui.pIp->text(), QStringLiteral("10.0.7"));

    // The button's checks, in order; nothing starts.
    ui.pIp->clear();
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    EXPECT_FALSE(ui.usererror->isHidden());
    QTest::keyClicks(ui.pUsername, QStringLiteral("ann"));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    EXPECT_FALSE(ui.pwderror->isHidden());
    QTest::keyClicks(ui.pwd, QStringLiteral("secret"));
    QTest::keyClick(ui.pwd, Qt::Key_Return);
    EXPECT_EQ(ui.iperror->text(), QStringLiteral("Enter your IP address"));
    EXPECT_FALSE(login->isAuthenticating());
}
