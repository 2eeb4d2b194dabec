// The log-in window driven with QTest: discovery, the address filter, the checks of the button, and
// the log-in against the appliance with the record it writes.

#include "LoginController.h"
#include "AppTestHost.h"
#include "Appliance.h"
#include "EventLoopWait.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "QtPrinters.h"
#include "ui_LoginController.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QTest>

#include <sys/stat.h>

namespace {

void paste(QLineEdit* field, const QString& text) {
    QGuiApplication::clipboard()->setText(text);
    field->setFocus();
    QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
}

} // namespace

TEST(LoginControllerTest, DiscoveryTheAddressFilterAndTheButtonChecks) {
    // The appliance answers: the address field is hidden and its address kept as the default.
    AppTestHost::Options found;
    found.bus = false;
    found.applianceHostName = QStringLiteral("127.0.0.1");
    AppTestHost answering(found);
    const QString why = answering.setUp();
    if (!why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    answering.launch();
    LoginController* login = answering.app().loginController();
    EXPECT_TRUE(login->ui().pIp->isHidden());
    EXPECT_TRUE(login->ui().pIplabel->isHidden());
    EXPECT_FALSE(login->isIpVisible());
    EXPECT_EQ(login->height(), LoginController::HeightWithoutAddress);
    EXPECT_EQ(login->ui().UIholder->y(), LoginController::HolderTopWithoutAddress);
    EXPECT_EQ(
        UserDefaults(answering.root.path() + QStringLiteral("/defaults.ini")).stringForKey(Protocol::Ip),
        QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(answering.trace().contains(QStringLiteral("fechted IP:127.0.0.1")));
    EXPECT_FALSE(QFile::exists(answering.home + QStringLiteral("/rezodeIP")));

    // Nothing answers: the field is shown and must be filled.
    AppTestHost::Options silent;
    silent.bus = false;
    AppTestHost host(silent);
    ASSERT_TRUE(host.setUp().isEmpty());
    host.launch();
    login = host.app().loginController();
    Ui::LoginController& ui = login->ui();
    EXPECT_TRUE(login->isIpVisible());
    EXPECT_FALSE(ui.pIp->isHidden());
    EXPECT_EQ(login->height(), LoginController::HeightWithAddress);
    EXPECT_TRUE(host.trace().contains(QStringLiteral("showing IP address field")));

    // A pasted address passes; the same with a trailing blank is refused whole, with the beep.
    paste(ui.pIp, QStringLiteral("192.168.10.20"));
    EXPECT_EQ(ui.pIp->text(), QStringLiteral("192.168.10.20"));
    EXPECT_EQ(host.beeps, 0);
    ui.pIp->clear();
    paste(ui.pIp, QStringLiteral("192.168.10.20 "));
    EXPECT_EQ(ui.pIp->text(), QString());
    EXPECT_EQ(host.beeps, 1);
    EXPECT_FALSE(ui.iperror->isHidden());
    EXPECT_EQ(ui.iperror->text(), QStringLiteral("Enter a valid IP address"));
    EXPECT_EQ(ui.remembermeBtn->y(), LoginController::CheckBoxTopUnderMessage);
    QTest::keyClicks(ui.pIp, QStringLiteral("10.0.x"));
    EXPECT_EQ(ui.pIp->text(), QStringLiteral("10.0."));
    EXPECT_EQ(host.beeps, 2);
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
    EXPECT_FALSE(ui.iperror->isHidden());
    EXPECT_EQ(ui.iperror->text(), QStringLiteral("Enter your IP address"));
    EXPECT_FALSE(login->isAuthenticating());
    EXPECT_FALSE(host.trace().contains(QStringLiteral("authenticating for")));
}

TEST(LoginControllerTest, LogInAgainstTheApplianceWritesTheRecordAndFollowsTheUser) {
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    Appliance appliance;
    const QString password = QStringLiteral("p4ss \"word\" $(x)");
    appliance.addUser(QStringLiteral("ann"), password);
    appliance.putFile(QStringLiteral("ann/.keep"), "");
    ASSERT_TRUE(appliance.start());
    AppTestHost host;
    const QString why = host.setUp();
    if (!why.isEmpty())
        GTEST_SKIP() << why.toStdString();
    host.linkPrivateRsync(QStringLiteral(ZH_PRIVATE_RSYNC));
    host.launch();
    LoginController* login = host.app().loginController();
    Ui::LoginController& ui = login->ui();

    // A wrong password: the error label, the fields usable again, no record.
    QTest::keyClicks(ui.pIp, appliance.address());
    QTest::keyClicks(ui.pUsername, QStringLiteral("ann"));
    QTest::keyClicks(ui.pwd, QStringLiteral("wrong"));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    EXPECT_FALSE(ui.pwd->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return !login->isAuthenticating(); }, 60000));
    EXPECT_FALSE(ui.error->isHidden());
    EXPECT_TRUE(ui.pwd->isEnabled() && ui.pUsername->isEnabled() && ui.pIp->isEnabled());
    EXPECT_FALSE(QFile::exists(host.userDetailsPath()));
    EXPECT_TRUE(host.trace().contains(QStringLiteral("Error in authentication:")));

    // The right one: exactly six keys, owner-only; the details remembered; the window gone.
    ui.pwd->setText(password);
    ui.remembermeBtn->setChecked(true);
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(host.userDetailsPath()); }, 60000))
        << host.trace().toStdString();
    const QVariantMap record = PropertyList::readDictionary(host.userDetailsPath());
    EXPECT_EQ(record, (QVariantMap{{"username", "ann"},
                                   {"password", password},
                                   {"login", "1"},
                                   {"PauseState", "0"},
                                   {"ip", appliance.address()},
                                   {"remembermeState", "1"}}));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(host.userDetailsPath()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(PropertyList::readDictionary(host.supportFile(Protocol::RememberDetailsFile)), record);
    QFile passwordFile(host.supportFile(Protocol::ApplicationPasswordFile));
    ASSERT_TRUE(passwordFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(passwordFile.readAll()), password);
    EXPECT_TRUE(login->isHidden());
    EXPECT_TRUE(host.app().isLoggedIn());
    EXPECT_FALSE(host.trace().contains(password));
    // No "LastUser.plist": another user, so "Reinitialize" follows a moment later.
    EXPECT_TRUE(host.posted().isEmpty());
    ASSERT_TRUE(waitUntil([&] { return host.posted() == QStringList{"Reinitialize"}; }));

    // The same user as at the last quit: nothing is posted. The check box off forgets the details.
    PropertyList::writeDictionary(host.supportFile(Protocol::LastUserFile),
                                  {{Protocol::LastUser, QStringLiteral("ann")}}, PropertyList::PublicMode);
    host.app().logIn();
    ui.remembermeBtn->setChecked(false);
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return login->isHidden(); }, 60000));
    spinFor(800);
    EXPECT_EQ(host.posted(), QStringList{"Reinitialize"});
    EXPECT_FALSE(QFile::exists(host.supportFile(Protocol::RememberDetailsFile)));
}
