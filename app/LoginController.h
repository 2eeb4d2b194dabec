#pragma once

#include <QPointer>
#include <QProcess>
#include <QString>
#include <QWidget>

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
    // Window heights with the address field hidden and shown; where the fields' holder then starts.
    static constexpr int HeightWithoutAddress = 393;
    static constexpr int HeightWithAddress = 450;
    static constexpr int HolderTopWithoutAddress = 93;
    static constexpr int HolderTopWithAddress = 150;
    // The check box steps down under the address message while the address field is in use.
    static constexpr int CheckBoxTop = 138;
    static constexpr int CheckBoxTopUnderMessage = 156;

    explicit LoginController(AppDelegate& delegate, QWidget* parent = nullptr);
    ~LoginController() override;

    // The version label and the hidden error labels, as every menu build sets them.
    void prepare();
    void LaunchLogInWindow();
    void logInClicked();
    void authenticateUser();
    void completeLogin(bool success);
    void CancelLogin();
    void userchanged();
    QString fetchIP();
    QString getusername() const;

    bool isAuthenticating() const { return mProcess != nullptr; }
    Ui::LoginController& ui() { return *mUi; }

  private:
    // The address filter: every edit of the address field is checked as the text it inserts.
    void addressEdited(const QString& text);
    void setFieldsEnabled(bool enabled);
    void hideErrors();
    void moveCheckBox(int top);
    QString rememberDetailsPath() const;
    QString lastUserPath() const;

    AppDelegate& mDelegate;
    std::unique_ptr<Ui::LoginController> mUi;
    bool mIsIpVisible = false;
    QString mAcceptedAddress; // the address field's text after its last change
    QPointer<QProcess> mProcess;
};
