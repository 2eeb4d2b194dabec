// The log-in window driven with QTest: discovery, the address filter and the checks of the button; the
// check against an appliance with a login message, each failure at its field; a silent appliance
// cancelled and timed out. The record a log-in writes is followed in AppEndToEndTest.

#include "LoginController.h"
#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "OldRsync.h"
#include "QtPrinters.h"
#include "RsyncConventions.h"
#include "ui_LoginController.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QTest>

namespace {

// The application launched without a bus; hostName is what the discovery pings.
std::unique_ptr<AppTestHost> launched(const QString& hostName, QString* why, bool installed = false,
                                      std::chrono::milliseconds checkTimeout = std::chrono::minutes(10)) {
    AppTestHost::Options options;
    options.bus = false;
    options.applianceHostName = hostName;
    options.timings = AppTestHost::shortTimings();
    options.timings->loginCheckTimeout = checkTimeout;
    auto host = std::make_unique<AppTestHost>(options);
    if (!(*why = host->setUp()).isEmpty() || (installed && !(*why = host->root.installBuild()).isEmpty()))
        return nullptr;
    host->launch();
    return host;
}

// Fills the fields (the address only where it is shown) and presses the button.
void logIn(Ui::LoginController& ui, const char* user, const char* password, const QString& address = {}) {
    if (!ui.pIp->isHidden() && !address.isEmpty())
        ui.pIp->setText(address);
    ui.pUsername->setText(QString::fromLatin1(user));
    ui.pwd->setText(QString::fromLatin1(password));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
}

bool checkEnds(LoginController* login) {
    return waitUntil([&] { return !login->isAuthenticating(); }, 60000);
}

bool says(QLabel* label, const QString& text) {
    return !label->isHidden() && label->text().contains(text);
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
    EXPECT_EQ(ui.remembermeBtn->y(), LoginController::CheckBoxTop);

    // A pasted address passes; the same with a trailing blank is refused whole, with the beep and the
    // message under the address field, which pushes the fields below it down. A host name passes too.
    QGuiApplication::clipboard()->setText(QStringLiteral("192.168.10.20 "));
    ui.pIp->setFocus();
    QTest::keyClick(ui.pIp, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(ui.pIp->text(), QString());
    EXPECT_EQ(host->beeps, 1);
    EXPECT_TRUE(says(ui.iperror, QStringLiteral("Enter a valid IP address or host name")));
    EXPECT_GT(ui.iperror->y(), ui.pIp->geometry().bottom());
    EXPECT_GT(ui.UIholder->y(), ui.iperror->geometry().bottom());
    QTest::keyClicks(ui.pIp, QStringLiteral("nas_-2.local"));
    EXPECT_EQ(host->beeps, 2);
    EXPECT_EQ(ui.pIp->text(), QStringLiteral("nas-2.local"));
    EXPECT_TRUE(ui.iperror->isHidden());
    EXPECT_EQ(login->height(), LoginController::HeightWithAddress);

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
    // Characters that may stand in a name, but neither an address nor a name.
    for (const char* junk : {"10.0.7", "-nas", "nas..local", "300.1.1.1"}) {
        ui.pIp->setText(QString::fromLatin1(junk));
        QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
        EXPECT_TRUE(says(ui.iperror, QStringLiteral("such as 192.168.1.20"))) << junk;
    }
    EXPECT_FALSE(login->isAuthenticating());
    // No private rsync copy here: the check cannot start, which is told once, under the button.
    logIn(ui, "ann", "secret", QStringLiteral("backup-2.example.org."));
    ASSERT_TRUE(checkEnds(login));
    EXPECT_TRUE(says(ui.error, QStringLiteral("Log-in failed: rsync could not be started")));
    EXPECT_TRUE(ui.iperror->isHidden() && ui.pwderror->isHidden() && ui.usererror->isHidden());
}

TEST(LoginControllerTest, RsyncsWordsTellTheFailuresApart) {
    // What the fixtures below cannot provoke; a wrong password, a missing folder, a refused address
    // and a silent one are told there from rsync's real output.
    using F = LoginController::CheckFailure;
    const std::pair<const char*, F> cases[] = {
        {"@ERROR: Unknown module 'backup'", F::NoBackupModule},
        {"@ERROR: max connections (2) reached -- try again later", F::Busy},
        {"@ERROR: access denied to backup from host (127.0.0.1)", F::Other},
        {"rsync: failed to connect to 10.1.1.1 (10.1.1.1): No route to host (113)", F::NoRoute},
        {"rsync: getaddrinfo: nas 873: Temporary failure in name resolution", F::UnknownName},
        {"rsync: failed to connect to 10.1.1.1 (10.1.1.1): Connection timed out (110)", F::NoAnswer},
        {"rsync: server sent \"SSH-2.0-OpenSSH_9.2\" rather than greeting", F::NotAppliance},
        {"bash: line 1: rsync: command not found", F::Other},
    };
    for (const auto& [said, failure] : cases)
        EXPECT_EQ(LoginController::classifyCheckFailure(QString::fromLatin1(said)), failure) << said;
}

TEST(LoginControllerTest, AgainstAnApplianceWithALoginMessageEachFailureIsToldAtItsField) {
    ZH_SKIP_IF(Appliance::skipReason());
    Appliance appliance; // shows its login message to every client
    ASSERT_TRUE(startWithAccount(appliance, QStringLiteral("ann"), QStringLiteral("right")));
    ASSERT_TRUE(appliance.addUser(QStringLiteral("bob"), QStringLiteral("bobs")));
    ASSERT_TRUE(QDir(appliance.modulePath() + QStringLiteral("/bob")).removeRecursively());
    QString why;
    auto host = launched(appliance.address(), &why, true); // found by discovery: no address field
    ZH_SKIP_IF(why);
    LoginController* login = host->app().loginController();
    Ui::LoginController& ui = login->ui();

    // A wrong password does not log in: the message at the password field, no record.
    logIn(ui, "ann", "wrong");
    ASSERT_TRUE(checkEnds(login));
    EXPECT_FALSE(host->app().isLoggedIn() || QFile::exists(host->userDetailsPath()));
    EXPECT_TRUE(says(ui.pwderror, QStringLiteral("Wrong password")) &&
                says(ui.error, QStringLiteral("Log-in")));
    EXPECT_TRUE(ui.pIp->isHidden() && ui.usererror->isHidden());
    EXPECT_TRUE(host->trace().contains(QStringLiteral("Error in authentication:@ERROR: auth failed")));
    QTest::keyClicks(ui.pwd, QStringLiteral("x")); // typing again takes the message away
    EXPECT_TRUE(ui.pwderror->isHidden());

    // An account without its folder: the message at the user name.
    logIn(ui, "bob", "bobs");
    ASSERT_TRUE(checkEnds(login));
    EXPECT_TRUE(says(ui.usererror, QStringLiteral("no backup account \u201cbob\u201d")));
    EXPECT_TRUE(ui.pwderror->isHidden() && ui.pIp->isHidden());

    // The appliance gone: the address field comes back with the address used, its message under it.
    appliance.stop();
    logIn(ui, "ann", "right");
    ASSERT_TRUE(checkEnds(login));
    EXPECT_EQ(ui.pIp->isHidden() ? QString() : ui.pIp->text(), appliance.address());
    EXPECT_TRUE(says(ui.iperror, QStringLiteral("refused the connection")));
    EXPECT_GT(login->height(), LoginController::HeightWithAddress);

    // Back, and the right password with the login message logs in.
    ASSERT_TRUE(appliance.start());
    logIn(ui, "ann", "right");
    ASSERT_TRUE(waitUntil([&] { return host->app().isLoggedIn(); }, 60000)) << host->trace().toStdString();
}

TEST(LoginControllerTest, ASilentApplianceIsCancelledOrTimesOut) {
    ZH_SKIP_IF(Appliance::skipReason());
    SilentListener silent;
    QString why;
    ASSERT_TRUE(silent.start(&why)) << why.toStdString();
    auto host = launched(QStringLiteral("zh-appliance.invalid"), &why, true); // only Cancel ends it
    ZH_SKIP_IF(why);
    LoginController* login = host->app().loginController();
    Ui::LoginController& ui = login->ui();
    const auto checkProcesses = [&] {
        return RsyncConventions::strayRsyncProcesses({host->supportFile(Protocol::ApplicationPasswordFile)});
    };

    // An earlier failure is cleared while the check runs; the button cancels it, rsync and all.
    login->completeLogin(false);
    logIn(ui, "ann", "pw", silent.address());
    ASSERT_TRUE(login->isAuthenticating());
    EXPECT_TRUE(ui.error->isHidden() && !ui.checking->isHidden());
    EXPECT_EQ(ui.LoginBtn->text(), QStringLiteral("Cancel"));
    EXPECT_FALSE(ui.pwd->isEnabled() || ui.pUsername->isEnabled() || ui.pIp->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return !checkProcesses().isEmpty(); }, 30000));
    QTest::mouseClick(ui.LoginBtn, Qt::LeftButton);
    EXPECT_FALSE(login->isAuthenticating());
    EXPECT_EQ(ui.LoginBtn->text(), QStringLiteral("Log In"));
    EXPECT_TRUE(ui.pwd->isEnabled() && ui.pUsername->isEnabled() && ui.pIp->isEnabled());
    EXPECT_TRUE(says(ui.checking, QStringLiteral("cancelled")) && ui.error->isHidden());
    EXPECT_TRUE(waitUntil([&] { return checkProcesses().isEmpty(); }, 30000));

    // With a short time-out the check ends by itself: the appliance did not answer.
    host = launched(QStringLiteral("zh-appliance.invalid"), &why, true, std::chrono::seconds(1));
    ASSERT_TRUE(host) << why.toStdString();
    login = host->app().loginController();
    logIn(login->ui(), "ann", "pw", silent.address());
    ASSERT_TRUE(checkEnds(login));
    EXPECT_TRUE(says(login->ui().iperror, QStringLiteral("did not answer")));
    EXPECT_TRUE(login->ui().checking->isHidden() && login->ui().LoginBtn->text() == QStringLiteral("Log In"));
}

// The old system rsync the private copy exists for (2.6.9, which the application finds at its launch
// and records as "DefaultRsync" "1"): the check asks only what that rsync knows, and the log-in works.
TEST(LoginControllerTest, TheOldSystemRsyncLogsInAskingOnlyWhatItKnows) {
    ZH_SKIP_IF(Appliance::skipReason());
    Appliance appliance;
    ASSERT_TRUE(startWithAccount(appliance, QStringLiteral("ann"), QStringLiteral("right")));
    OldRsync old;
    ASSERT_EQ(old.error(), QString());
    QString why;
    auto host = launched(appliance.address(), &why, true);
    ZH_SKIP_IF(why);
    ASSERT_TRUE(host->app().isDefaultRsync()) << "the 2.6.9 banner names the system rsync";
    LoginController* login = host->app().loginController();
    logIn(login->ui(), "ann", "right");
    ASSERT_TRUE(waitUntil([&] { return host->app().isLoggedIn(); }, 60000)) << host->trace().toStdString();
    EXPECT_EQ(old.refused(), QString());
    const QString trace = host->trace();
    EXPECT_TRUE(trace.contains(QStringLiteral("--timeout="))) << trace.toStdString();
    EXPECT_FALSE(trace.contains(QStringLiteral("--contimeout"))) << trace.toStdString();
}

// An appliance that takes the connection and then freezes (a NAS gone to sleep): the check ends with
// the address's message instead of keeping the window waiting, and works once it is awake.
TEST(LoginControllerTest, AFrozenApplianceEndsTheCheckAndAWokenOneLogsIn) {
    ZH_SKIP_IF(Appliance::skipReason());
    Appliance appliance;
    ASSERT_TRUE(startWithAccount(appliance, QStringLiteral("ann"), QStringLiteral("right")));
    QString why;
    auto host = launched(appliance.address(), &why, true, std::chrono::seconds(2));
    ZH_SKIP_IF(why);
    LoginController* login = host->app().loginController();
    appliance.stall();
    logIn(login->ui(), "ann", "right");
    ASSERT_TRUE(checkEnds(login));
    EXPECT_FALSE(host->app().isLoggedIn());
    EXPECT_TRUE(says(login->ui().iperror, QStringLiteral("did not answer"))) << host->trace().toStdString();
    appliance.resume();
    logIn(login->ui(), "ann", "right");
    ASSERT_TRUE(waitUntil([&] { return host->app().isLoggedIn(); }, 60000)) << host->trace().toStdString();
}
