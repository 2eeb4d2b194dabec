#pragma once

#include "StallWatch.h"

#include <QPointer>
#include <QProcess>
#include <QString>
#include <QTimer>
#include <QWidget>

class QLabel;

#include <memory>

class AppDelegate;

namespace Ui {
class LoginController;
}

// The log-in window: finds the appliance on the local network by one ping of its local host name,
// asks for user name and password (and the address when nothing answered), proves them by listing the
// user's folder on the appliance in the background, and records the account for the daemon.
class LoginController : public QWidget {
    Q_OBJECT
  public:
    // Window heights with the address field hidden and shown while no message needs more than its
    // line; where the fields' holder then starts. Longer messages push what is below them down.
    static constexpr int HeightWithoutAddress = 393;
    static constexpr int HeightWithAddress = 450;
    static constexpr int HolderTopWithoutAddress = 93;
    static constexpr int HolderTopWithAddress = 150;
    static constexpr int CheckBoxTop = 138;

    // Why a check failed, told apart by what rsync printed; each is shown at the field it concerns.
    enum class CheckFailure {
        WrongPassword,  // "@ERROR: auth failed": the password field
        MissingAccount, // no folder of the user's on the appliance: the user-name field
        NoBackupModule, // "@ERROR: Unknown module": the user-name field
        Refused,        // nothing listens at the address: the address field
        NoAnswer,       // the address takes the connection, or not, and never answers: the address field
        NoRoute,        // the address cannot be reached from here: the address field
        UnknownName,    // the host name does not resolve: the address field
        NotAppliance,   // something else answered at the address: the address field
        Busy,           // "@ERROR: max connections": under the button
        Other,          // under the button, with rsync's own words
    };
    static CheckFailure classifyCheckFailure(const QString& rsyncOutput);
    // An IPv4 address or a plausible DNS host name.
    static bool isPlausibleAddress(const QString& text);

    explicit LoginController(AppDelegate& delegate, QWidget* parent = nullptr);
    ~LoginController() override;

    // The version label and the hidden error labels, as every menu build sets them.
    void prepare();
    void LaunchLogInWindow();
    void logInClicked();
    void authenticateUser();
    void completeLogin(bool success);
    // A failed check: the message at its field, the address field shown when it concerns the address.
    void showCheckFailure(CheckFailure failure, const QString& rsyncOutput);
    // Cancel while a check runs: the check ends (rsync with it) and the window takes input again.
    void cancelCheck();
    void CancelLogin();
    void userchanged();
    QString fetchIP();
    QString getusername() const;

    bool isAuthenticating() const { return mProcess != nullptr; }
    Ui::LoginController& ui() { return *mUi; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    // The address filter: every edit of the address field is checked as the text it inserts.
    void addressEdited(const QString& text);
    void setFieldsEnabled(bool enabled);
    void hideErrors();
    void showMessage(QLabel* label, const QString& text);
    void showAddressField(bool shown);
    // Places the fields and messages top to bottom and sizes the window to them.
    void relayout();
    void endCheck(); // the check's process is gone: input again
    QString checkedAddress() const;
    QString rememberDetailsPath() const;
    QString lastUserPath() const;

    AppDelegate& mDelegate;
    std::unique_ptr<Ui::LoginController> mUi;
    bool mIsIpVisible = false;
    QString mAcceptedAddress; // the address field's text after its last change
    QPointer<QProcess> mProcess;
    qint64 mProcessGroup = 0; // the check runs in a process group of its own, rsync and all
    // A check whose rsync gets nothing from the appliance for the check's time-out is ended, also
    // where rsync's own --timeout does not end it.
    StallWatch mStallWatch;
    QTimer mStallTimer;
    bool mCheckStalled = false;
};
