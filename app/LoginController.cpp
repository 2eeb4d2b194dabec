#include "LoginController.h"

#include "AccountRecord.h"
#include "AppDelegate.h"
#include "DistributedNotificationCenter.h"
#include "FileTools.h"
#include "ListingParser.h"
#include "Protocol.h"
#include "RsyncCommand.h"
#include "RsyncConventions.h"
#include "UserDefaults.h"
#include "ui_LoginController.h"

#include <QAccessible>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace {

// An address or a host name: digits, letters, "-" and ".", and the line feed a paste may carry.
bool isAddressCharacter(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'.' ||
           c == u'-' || c == u'\n';
}

QString kEnterUserName() {
    return QCoreApplication::translate("LoginController", "Enter your user name");
}
QString kEnterPassword() {
    return QCoreApplication::translate("LoginController", "Enter your password");
}
QString kInvalidAddress() {
    return QCoreApplication::translate("LoginController", "Enter a valid IP address");
}
QString kAddressCharacters() {
    return QCoreApplication::translate("LoginController",
                                       " or host name (letters, digits, “-” and “.” only)");
}
QString kAddressExample() {
    return QCoreApplication::translate("LoginController",
                                       " or host name, such as 192.168.1.20 or hollin.local");
}
QString kFailed() {
    return QCoreApplication::translate("LoginController", "Log-in failed.");
}

void killGroup(qint64 group) {
    if (group > 0)
        ::kill(-pid_t(group), SIGKILL);
}

// The line that says what went wrong: the appliance's "@ERROR" or rsync's own, rather than rsync's
// closing "rsync error: … (code N)"; else the first line there is.
QString rsyncReason(const QString& output) {
    QString fallback;
    for (const QString& raw : output.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1String("@ERROR")) || line.startsWith(QLatin1String("rsync:")))
            return line;
        if (fallback.isEmpty() && !line.isEmpty())
            fallback = line;
    }
    return fallback;
}

// Whether rsync's list-only output holds an entry (the account's own folder at least).
bool hasListingLine(const QString& out) {
    for (const QStringView line : QStringView(out).split(u'\n'))
        if (ListingParser::parseLine(line.toUtf8()))
            return true;
    return false;
}

} // namespace

LoginController::LoginController(AppDelegate& delegate, QWidget* parent)
    : QWidget(parent), mDelegate(delegate), mUi(std::make_unique<Ui::LoginController>()) {
    mUi->setupUi(this);
    setObjectName(QStringLiteral("window"));
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setFixedWidth(width());

    connect(mUi->LoginBtn, &QPushButton::clicked, this, &LoginController::logInClicked);
    // Return in any field logs in.
    for (QLineEdit* field : {mUi->pUsername, mUi->pwd, mUi->pIp})
        connect(field, &QLineEdit::returnPressed, this, &LoginController::logInClicked);
    // A user's edit is announced (textEdited) before the text change itself (textChanged), so the
    // text each edit starts from is the one the last change left.
    connect(mUi->pIp, &QLineEdit::textEdited, this, &LoginController::addressEdited);
    connect(mUi->pIp, &QLineEdit::textChanged, this, [this] { mAcceptedAddress = mUi->pIp->text(); });
    // A message at a field goes once the field is edited.
    for (auto [field, label] :
         {std::pair{mUi->pUsername, mUi->usererror}, std::pair{mUi->pwd, mUi->pwderror}})
        connect(field, &QLineEdit::textEdited, this, [this, label] {
            if (!label->isHidden()) {
                label->hide();
                relayout();
            }
        });
    hideErrors();
}

LoginController::~LoginController() {
    mStallTimer.stop();
    if (mProcess) {
        mProcess->disconnect(this);
        killGroup(mProcessGroup);
        mProcess->kill();
        mProcess->waitForFinished(3000);
    }
}

void LoginController::prepare() {
    mUi->version->setText(mDelegate.services().version);
    hideErrors();
}

void LoginController::hideErrors() {
    mUi->error->hide();
    mUi->usererror->hide();
    mUi->pwderror->hide();
    mUi->iperror->hide();
    mUi->checking->hide();
    for (QWidget* field : {static_cast<QWidget*>(mUi->pIp), static_cast<QWidget*>(mUi->pUsername),
                           static_cast<QWidget*>(mUi->pwd)})
        field->setAccessibleDescription(QString());
    relayout();
}

void LoginController::showMessage(QLabel* label, const QString& text) {
    label->setText(text);
    label->show();
    relayout();
    // A screen reader hears a field's message at the field: it becomes the field's description.
    QWidget* field = label == mUi->iperror     ? static_cast<QWidget*>(mUi->pIp)
                     : label == mUi->usererror ? static_cast<QWidget*>(mUi->pUsername)
                     : label == mUi->pwderror  ? static_cast<QWidget*>(mUi->pwd)
                                               : nullptr;
    if (field) {
        field->setAccessibleDescription(text);
        QAccessibleEvent changed(field, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&changed);
    } else {
        QAccessibleEvent alert(label, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    }
}

void LoginController::showAddressField(bool shown) {
    mIsIpVisible = shown;
    mUi->pIp->setVisible(shown);
    mUi->pIplabel->setVisible(shown);
    if (!shown)
        mUi->iperror->hide();
    relayout();
}

void LoginController::relayout() {
    const auto place = [](QWidget* w, int y, int h) { w->setGeometry(w->x(), y, w->width(), h); };
    // A message takes its line when shown, and as many more as its text needs.
    const auto lines = [](QLabel* label, int oneLine) {
        return label->isHidden() ? oneLine : std::max(oneLine, label->heightForWidth(label->width()));
    };
    int top = HolderTopWithoutAddress;
    if (!mUi->pIp->isHidden()) {
        place(mUi->iperror, 140, lines(mUi->iperror, 16));
        top = HolderTopWithAddress + (mUi->iperror->isHidden() ? 0 : mUi->iperror->height() + 4);
    }
    int y = 50;
    place(mUi->usererror, y, lines(mUi->usererror, 16));
    y += mUi->usererror->height() + 2;
    place(mUi->pwdLabel, y, 18);
    place(mUi->pwd, y + 20, 28);
    y += 50;
    place(mUi->pwderror, y, lines(mUi->pwderror, 16));
    y += mUi->pwderror->height() + 4;
    place(mUi->remembermeBtn, y, 22);
    place(mUi->LoginBtn, y + 46, 32);
    y += 82;
    place(mUi->error, y, lines(mUi->error, 34));
    place(mUi->checking, y, lines(mUi->checking, 34));
    y += std::max(mUi->error->isHidden() ? 34 : mUi->error->height(),
                  mUi->checking->isHidden() ? 34 : mUi->checking->height()) +
         4;
    place(mUi->version, y, 16);
    const int holderHeight = y + 22;
    mUi->UIholder->setGeometry(mUi->UIholder->x(), top, mUi->UIholder->width(), holderHeight);
    setFixedHeight(top + holderHeight + 20);
    mUi->LogInView->resize(width(), height());
}

QString LoginController::rememberDetailsPath() const {
    return QFileInfo(mDelegate.userDetailsPath()).path() + u'/' + Protocol::RememberDetailsFile;
}

QString LoginController::lastUserPath() const {
    return QFileInfo(mDelegate.userDetailsPath()).path() + u'/' + Protocol::LastUserFile;
}

// ---- opening the window and discovery

void LoginController::LaunchLogInWindow() {
    hideErrors();
    const QString address = fetchIP();
    mDelegate.writeInteractiveTrace(QStringLiteral("fechted IP:%1").arg(address));
    if (!address.isEmpty()) {
        if (mDelegate.services().defaults)
            mDelegate.services().defaults->setStringForKey(Protocol::Ip, address);
        mDelegate.writeInteractiveTrace(QStringLiteral("Hiding IP address field"));
        showAddressField(false);
    } else {
        mDelegate.writeInteractiveTrace(QStringLiteral("showing IP address field"));
        showAddressField(true);
    }

    const AccountRecord remembered = AccountRecord::read(rememberDetailsPath());
    if (remembered.size() >= 2) {
        mUi->remembermeBtn->setChecked(remembered.value(Protocol::RememberMeState) == Protocol::FlagOn);
        mUi->pUsername->setText(remembered.userName());
        mUi->pwd->setText(remembered.password());
        mUi->pIp->setText(remembered.value(Protocol::Ip));
    }
    show();
    raise();
    activateWindow();
}

QString LoginController::fetchIP() {
    // One ping of the appliance's local name; its first line names the resolved address in parentheses.
    const QString home = mDelegate.services().profile.homeOf(mDelegate.services().userName);
    const QString scratch = home + u'/' + Protocol::RezodeIPFile;
    QProcess shell;
    shell.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    shell.start(QStringLiteral("/bin/bash"),
                {QStringLiteral("-c"),
                 QStringLiteral("ping -c 1 %1 > %2")
                     .arg(RsyncConventions::shellWord(mDelegate.services().deployment.applianceHostName),
                          RsyncConventions::shellWord(scratch))});
    if (!shell.waitForFinished(int(mDelegate.services().timings.probeTimeout.count())))
        shell.kill();
    QString text;
    QFile file(scratch);
    if (file.open(QIODevice::ReadOnly))
        text = QString::fromUtf8(file.readAll());
    QFile::remove(scratch);
    const qsizetype open = text.indexOf(u'(');
    const qsizetype close = text.indexOf(u')');
    if (open >= 1 && close >= 1 && close > open)
        return text.mid(open + 1, close - open - 1);
    return QString();
}

// ---- the address filter

void LoginController::addressEdited(const QString& text) {
    // The inserted text is what lies between the unchanged start and the unchanged end.
    const QString& before = mAcceptedAddress;
    qsizetype head = 0;
    while (head < before.size() && head < text.size() && before.at(head) == text.at(head))
        ++head;
    qsizetype tail = 0;
    while (tail < before.size() - head && tail < text.size() - head &&
           before.at(before.size() - 1 - tail) == text.at(text.size() - 1 - tail))
        ++tail;
    const QString inserted = text.mid(head, text.size() - head - tail);

    for (const QChar c : inserted) {
        if (!isAddressCharacter(c)) {
            mDelegate.services().beep();
            showMessage(mUi->iperror, kInvalidAddress() + kAddressCharacters());
            const int cursor = int(head);
            const QString previous = before;
            mUi->pIp->setText(previous);
            mUi->pIp->setCursorPosition(cursor);
            return;
        }
    }
    if (!mUi->iperror->isHidden()) {
        mUi->iperror->hide();
        relayout();
    }
}

bool LoginController::isPlausibleAddress(const QString& text) {
    static const QRegularExpression ipv4(
        QStringLiteral(R"(^((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)\.){3}(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)$)"));
    static const QRegularExpression label(QStringLiteral(R"(^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$)"));
    static const QRegularExpression digitsAndDots(QStringLiteral(R"(^[0-9.]+$)"));
    if (ipv4.match(text).hasMatch())
        return true;
    // Only digits and dots is an address or nothing; a name has labels of at most 63 characters.
    QString name = text.endsWith(u'.') ? text.chopped(1) : text;
    if (name.isEmpty() || name.size() > 253 || digitsAndDots.match(name).hasMatch())
        return false;
    const QStringList labels = name.split(u'.');
    return std::all_of(labels.cbegin(), labels.cend(),
                       [](const QString& l) { return label.match(l).hasMatch(); });
}

// ---- log-in

void LoginController::logInClicked() {
    if (isAuthenticating())
        return cancelCheck(); // the button is "Cancel" while a check runs
    if (mUi->pUsername->text().isEmpty())
        return showMessage(mUi->usererror, kEnterUserName());
    if (mUi->pwd->text().isEmpty())
        return showMessage(mUi->pwderror, kEnterPassword());
    if (!mUi->pIp->isHidden()) {
        const QString address = mUi->pIp->text().trimmed();
        if (address.isEmpty())
            return showMessage(mUi->iperror, tr("Enter your IP address"));
        if (!isPlausibleAddress(address))
            return showMessage(mUi->iperror, kInvalidAddress() + kAddressExample());
    }
    hideErrors();
    showMessage(mUi->checking, tr("Checking your account on the appliance…"));
    setFieldsEnabled(false);
    mUi->LoginBtn->setText(tr("Cancel"));
    mDelegate.writeInteractiveTrace(QStringLiteral("authenticating for %1").arg(mUi->pUsername->text()));
    authenticateUser();
}

QString LoginController::checkedAddress() const {
    return mUi->pIp->isHidden() && mDelegate.services().defaults
               ? mDelegate.services().defaults->stringForKey(Protocol::Ip)
               : mUi->pIp->text().trimmed();
}

void LoginController::endCheck() {
    if (mProcess)
        mProcess->deleteLater();
    mProcess = nullptr;
    mProcessGroup = 0;
    mStallTimer.stop();
    mStallWatch.stop();
    setFieldsEnabled(true);
    mUi->LoginBtn->setText(tr("Log In"));
    mUi->checking->hide();
    relayout();
}

void LoginController::cancelCheck() {
    if (!mProcess)
        return;
    mProcess->disconnect(this);
    killGroup(mProcessGroup);
    mProcess->kill();
    mProcess->waitForFinished(3000);
    endCheck();
    mDelegate.writeInteractiveTrace(QStringLiteral("authentication cancelled"));
    showMessage(mUi->checking, tr("Log-in check cancelled: nothing was saved. Change what you need "
                                  "and log in again."));
}

void LoginController::closeEvent(QCloseEvent* event) {
    cancelCheck();
    QWidget::closeEvent(event);
}

void LoginController::setFieldsEnabled(bool enabled) {
    mUi->pwd->setEnabled(enabled);
    mUi->pUsername->setEnabled(enabled);
    mUi->pIp->setEnabled(enabled);
}

void LoginController::authenticateUser() {
    const FilePathsController& paths = mDelegate.paths();
    const QString passwordFile = paths.pathForApplicationFile(AppPath::PasswordFile);
    FileTools::makePath(QFileInfo(passwordFile).path(), 0700);
    RsyncConventions::writePasswordFile(passwordFile, mUi->pwd->text(),
                                        RsyncConventions::ApplicationPasswordFileMode);

    const QString address = checkedAddress();
    const QString user = mUi->pUsername->text();
    const bool systemRsync = mDelegate.isDefaultRsync();
    const QString privateRsync = paths.pathForApplicationFile(AppPath::PrivateRsync);
    // An appliance that takes the connection and never answers must not keep the window waiting; the
    // limits are those the chosen rsync knows (the old system rsync refuses --contimeout).
    const qint64 seconds =
        std::max<qint64>(1, (mDelegate.services().timings.loginCheckTimeout.count() + 999) / 1000);
    const RsyncConventions::Command command =
        RsyncCommand::loginCheck(systemRsync, privateRsync, passwordFile, user, address,
                                 RsyncConventions::dialect(systemRsync, privateRsync), seconds);
    mDelegate.writeInteractiveTrace(QStringLiteral("Authenticate :%1").arg(command.arguments.join(u' ')));

    // The check runs beside the event loop; only its end comes back to the window.
    mProcess = new QProcess(this);
    // A group of its own, so that Cancel also ends the rsync a shell started.
    mProcess->setChildProcessModifier([] { ::setpgid(0, 0); });
    mCheckStalled = false;
    mStallWatch.setWindow(mDelegate.services().timings.loginCheckTimeout);
    connect(mProcess, &QProcess::started, this, [this] { mProcessGroup = mProcess->processId(); });
    // What the check prints stays in the process's buffers until it ends; that it prints counts.
    connect(mProcess, &QProcess::readyReadStandardOutput, this, [this] { mStallWatch.noteActivity(); });
    connect(mProcess, &QProcess::readyReadStandardError, this, [this] { mStallWatch.noteActivity(); });
    connect(&mStallTimer, &QTimer::timeout, mProcess, [this] {
        if (!mProcess || !mStallWatch.stalled())
            return;
        mCheckStalled = true;
        mStallTimer.stop();
        killGroup(mProcessGroup);
    });
    connect(mProcess, &QProcess::finished, this, [this] {
        const QString out = QString::fromUtf8(mProcess->readAllStandardOutput());
        QString err = QString::fromUtf8(mProcess->readAllStandardError());
        const bool stalled = mCheckStalled;
        if (stalled)
            err += QStringLiteral("The appliance sent nothing for %1 seconds; the check was ended.\n")
                       .arg(std::chrono::duration_cast<std::chrono::seconds>(mStallWatch.window()).count());
        // An appliance's login message comes on standard output before anything is checked: only
        // rsync's success and the listing itself say that the account and password were taken.
        const bool success = mProcess->exitStatus() == QProcess::NormalExit && mProcess->exitCode() == 0 &&
                             hasListingLine(out);
        endCheck();
        if (success) {
            mDelegate.writeInteractiveTrace(
                QStringLiteral("authentication is successful:%1").arg(out.trimmed()));
            return completeLogin(true);
        }
        mDelegate.writeInteractiveTrace(
            QStringLiteral("Error in authentication:%1")
                .arg(err.isEmpty() ? QStringLiteral("no listing") : err.trimmed()));
        // rsync's errors and the appliance's "@ERROR" lines come on standard error; standard output may
        // hold the appliance's login message, whose words say nothing about this check.
        showCheckFailure(stalled ? CheckFailure::NoAnswer : classifyCheckFailure(err), err);
    });
    connect(mProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // A program that cannot start never finishes; report it as a failed check once.
        if (error != QProcess::FailedToStart || !mProcess)
            return;
        endCheck();
        mDelegate.writeInteractiveTrace(QStringLiteral("Error in authentication:cannot start rsync"));
        showCheckFailure(CheckFailure::Other, tr("rsync could not be started; reinstall Zorvik Hollin."));
    });
    mProcess->start(command.program, command.arguments);
    if (mProcess) {
        mProcessGroup = mProcess->processId();
        if (mProcessGroup > 0) {
            mStallWatch.start(pid_t(mProcessGroup));
            mStallTimer.start(mStallWatch.checkInterval());
        }
    }
}

LoginController::CheckFailure LoginController::classifyCheckFailure(const QString& output) {
    const auto has = [&output](std::initializer_list<const char*> texts) {
        return std::any_of(texts.begin(), texts.end(), [&output](const char* t) {
            return output.contains(QLatin1String(t), Qt::CaseInsensitive);
        });
    };
    if (has({"@ERROR: auth failed"}))
        return CheckFailure::WrongPassword;
    if (has({"@ERROR: Unknown module"}))
        return CheckFailure::NoBackupModule;
    if (has({"@ERROR: max connections"}))
        return CheckFailure::Busy;
    if (has({"@ERROR"}))
        return CheckFailure::Other;
    if (has({"Connection refused"}))
        return CheckFailure::Refused;
    if (has({"No route to host", "Network is unreachable", "Host is down"}))
        return CheckFailure::NoRoute;
    if (has({"Name or service not known", "name resolution", "No address associated", "getaddrinfo"}))
        return CheckFailure::UnknownName;
    if (has({"timed out", "io timeout", "timeout in data send/receive"}))
        return CheckFailure::NoAnswer;
    if (has({"rather than greeting", "did not see server greeting"}))
        return CheckFailure::NotAppliance;
    // The account's folder is missing: rsync cannot change into it.
    if (has({"No such file or directory"}))
        return CheckFailure::MissingAccount;
    return CheckFailure::Other;
}

void LoginController::showCheckFailure(CheckFailure failure, const QString& rsyncOutput) {
    hideErrors();
    const QString address = checkedAddress();
    const QString user = mUi->pUsername->text();
    const auto atAddress = [&](const QString& text) {
        // The address concerns the person now, even where discovery had hidden its field.
        if (mUi->pIp->isHidden()) {
            mUi->pIp->setText(address);
            showAddressField(true);
        }
        showMessage(mUi->iperror, text);
        mUi->pIp->setFocus();
    };
    switch (failure) {
    case CheckFailure::WrongPassword:
        showMessage(mUi->pwderror, tr("Wrong password: the appliance refused this user name and "
                                      "password. Type the password again."));
        mUi->pwd->setFocus();
        mUi->pwd->selectAll();
        break;
    case CheckFailure::MissingAccount:
        showMessage(mUi->usererror, tr("The appliance has no backup account “%1”. Check "
                                       "the user name, or ask your admin to create the account.")
                                        .arg(user));
        mUi->pUsername->setFocus();
        break;
    case CheckFailure::NoBackupModule:
        showMessage(mUi->usererror, tr("The appliance at %1 offers no backup accounts (no "
                                       "“backup” area). Ask your admin which "
                                       "appliance holds your account.")
                                        .arg(address));
        mUi->pUsername->setFocus();
        break;
    case CheckFailure::Refused:
        atAddress(tr("%1 refused the connection: no Hollin appliance answers there. Check the "
                     "address.")
                      .arg(address));
        break;
    case CheckFailure::NoAnswer:
        atAddress(tr("The appliance at %1 did not answer. Check the address, the network and that "
                     "the appliance is on.")
                      .arg(address));
        break;
    case CheckFailure::NoRoute:
        atAddress(tr("%1 cannot be reached from this computer (no route to it). Check the address "
                     "and the network.")
                      .arg(address));
        break;
    case CheckFailure::UnknownName:
        atAddress(tr("The name “%1” is not known on this network. Check it, or enter the "
                     "appliance's IP address.")
                      .arg(address));
        break;
    case CheckFailure::NotAppliance:
        atAddress(tr("What answered at %1 is not a Hollin appliance. Check the address.").arg(address));
        break;
    case CheckFailure::Busy:
        showMessage(mUi->error, kFailed() + tr(" The appliance is busy (too many connections). Try "
                                               "again in a minute."));
        return;
    case CheckFailure::Other: {
        const QString reason = rsyncReason(rsyncOutput);
        showMessage(mUi->error, reason.isEmpty() ? tr("Log-in failed. Check your user name, "
                                                      "password and the appliance's address.")
                                                 : tr("Log-in failed: ") + reason);
        return;
    }
    }
    // The reason sits at its field; the line under the button says that the log-in did not happen.
    showMessage(mUi->error, kFailed());
}

void LoginController::completeLogin(bool success) {
    if (!success)
        return showCheckFailure(CheckFailure::Other, QString());
    const QString detailsPath = mDelegate.userDetailsPath();
    const bool paused = AccountRecord::read(detailsPath).isOn(Protocol::PauseStateKey);
    const QString address = checkedAddress();
    const QString user = mUi->pUsername->text();
    const AccountRecord record =
        AccountRecord::forLogin(user, mUi->pwd->text(), address, paused, mUi->remembermeBtn->isChecked());
    mDelegate.setLoggedIn(true);
    FileTools::makePath(QFileInfo(detailsPath).path(), 0700);
    if (!record.write(detailsPath))
        mDelegate.writeInteractiveTrace(
            QStringLiteral("write plist %1 at path %2 failed").arg(record.maskedDescription(), detailsPath));
    // The record first, then the word: the daemon reads the record again and backs up at once, also
    // when the password is the one it has (a password put right on the appliance is good again).
    if (mDelegate.notifications())
        mDelegate.notifications()->postNotification(Protocol::LogIn, {},
                                                    Protocol::PostDeliverImmediatelyToAllSessions);

    hide();
    mDelegate.loadUIAfterLogin();
    mDelegate.LaunchStatus();

    if (AccountRecord::read(lastUserPath()).value(Protocol::LastUser) != user) {
        mDelegate.writeInteractiveTrace(QStringLiteral("user changed"));
        QTimer::singleShot(mDelegate.services().timings.userChangedDelay, this,
                           &LoginController::userchanged);
    }
    if (mUi->remembermeBtn->isChecked()) {
        if (!record.write(rememberDetailsPath()))
            mDelegate.writeInteractiveTrace(QStringLiteral("write remember plist %1 at path %2 failed")
                                                .arg(record.maskedDescription(), rememberDetailsPath()));
    } else {
        QFile::remove(rememberDetailsPath());
    }
}

void LoginController::CancelLogin() {
    cancelCheck();
    hide();
    hideErrors();
}

void LoginController::userchanged() {
    if (mDelegate.notifications())
        mDelegate.notifications()->postNotification(Protocol::Reinitialize);
}

QString LoginController::getusername() const {
    return mUi->pUsername->text();
}
