#include "LoginController.h"

#include "AccountRecord.h"
#include "AppDelegate.h"
#include "DistributedNotificationCenter.h"
#include "FileTools.h"
#include "ListingParser.h"
#include "Protocol.h"
#include "RsyncConventions.h"
#include "UserDefaults.h"
#include "ui_LoginController.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

namespace {

const QString kAllowedAddressCharacters = QStringLiteral("0123456789.\n");

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
    hideErrors();
}

LoginController::~LoginController() {
    if (mProcess) {
        mProcess->disconnect(this);
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
}

void LoginController::moveCheckBox(int top) {
    mUi->remembermeBtn->move(mUi->remembermeBtn->x(), top);
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
        mIsIpVisible = false;
        mUi->pIp->hide();
        mUi->pIplabel->hide();
        mUi->UIholder->move(mUi->UIholder->x(), HolderTopWithoutAddress);
        setFixedHeight(HeightWithoutAddress);
    } else {
        mDelegate.writeInteractiveTrace(QStringLiteral("showing IP address field"));
        mIsIpVisible = true;
        mUi->pIp->show();
        mUi->pIplabel->show();
        mUi->UIholder->move(mUi->UIholder->x(), HolderTopWithAddress);
        setFixedHeight(HeightWithAddress);
    }
    mUi->LogInView->resize(width(), height());

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
        if (!kAllowedAddressCharacters.contains(c)) {
            mDelegate.services().beep();
            mUi->iperror->setText(QStringLiteral("Enter a valid IP address"));
            mUi->iperror->show();
            if (mIsIpVisible)
                moveCheckBox(CheckBoxTopUnderMessage);
            const int cursor = int(head);
            const QString previous = before;
            mUi->pIp->setText(previous);
            mUi->pIp->setCursorPosition(cursor);
            return;
        }
    }
    if (!mUi->iperror->isHidden()) {
        if (mIsIpVisible)
            moveCheckBox(CheckBoxTop);
        mUi->iperror->hide();
    }
}

// ---- log-in

void LoginController::logInClicked() {
    if (isAuthenticating())
        return;
    if (mUi->pUsername->text().isEmpty()) {
        mUi->usererror->show();
        return;
    }
    if (mUi->pwd->text().isEmpty()) {
        mUi->pwderror->show();
        return;
    }
    if (!mUi->pIp->isHidden() && mUi->pIp->text().isEmpty()) {
        if (mIsIpVisible)
            moveCheckBox(CheckBoxTopUnderMessage);
        mUi->iperror->setText(QStringLiteral("Enter your IP address"));
        mUi->iperror->show();
        return;
    }
    setFieldsEnabled(false);
    mDelegate.writeInteractiveTrace(QStringLiteral("authenticating for %1").arg(mUi->pUsername->text()));
    authenticateUser();
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

    const QString address = mUi->pIp->isHidden() && mDelegate.services().defaults
                                ? mDelegate.services().defaults->stringForKey(Protocol::Ip)
                                : mUi->pIp->text();
    const QString user = mUi->pUsername->text();
    const bool systemRsync = mDelegate.isDefaultRsync();
    const auto launch = systemRsync ? RsyncConventions::Launch::Shell : RsyncConventions::Launch::Direct;
    const QString target =
        RsyncConventions::remotePath(RsyncConventions::RemoteForm::LoginCheck, {user, address, user}, launch);
    const RsyncConventions::Command command = RsyncConventions::command(
        systemRsync, paths.pathForApplicationFile(AppPath::PrivateRsync), {QStringLiteral("--list-only")},
        passwordFile, QString(), QString(), target);
    mDelegate.writeInteractiveTrace(QStringLiteral("Authenticate :%1").arg(command.arguments.join(u' ')));

    // The check runs beside the event loop; only its end comes back to the window.
    mProcess = new QProcess(this);
    connect(mProcess, &QProcess::finished, this, [this] {
        const QString out = QString::fromUtf8(mProcess->readAllStandardOutput());
        const QString err = QString::fromUtf8(mProcess->readAllStandardError());
        // An appliance's login message comes on standard output before anything is checked: only
        // rsync's success and the listing itself say that the account and password were taken.
        const bool listed = mProcess->exitStatus() == QProcess::NormalExit && mProcess->exitCode() == 0 &&
                            hasListingLine(out);
        mProcess->deleteLater();
        mProcess = nullptr;
        setFieldsEnabled(true);
        const bool success = listed;
        if (success)
            mDelegate.writeInteractiveTrace(
                QStringLiteral("authentication is successful:%1").arg(out.trimmed()));
        else
            mDelegate.writeInteractiveTrace(
                QStringLiteral("Error in authentication:%1")
                    .arg(err.isEmpty() ? QStringLiteral("no listing") : err.trimmed()));
        completeLogin(success);
    });
    connect(mProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // A program that cannot start never finishes; report it as a failed check once.
        if (error != QProcess::FailedToStart || !mProcess)
            return;
        mProcess->deleteLater();
        mProcess = nullptr;
        setFieldsEnabled(true);
        mDelegate.writeInteractiveTrace(QStringLiteral("Error in authentication:cannot start rsync"));
        completeLogin(false);
    });
    mProcess->start(command.program, command.arguments);
}

void LoginController::completeLogin(bool success) {
    if (!success) {
        mUi->error->show();
        mUi->usererror->hide();
        mUi->pwderror->hide();
        mUi->iperror->hide();
        return;
    }
    const QString detailsPath = mDelegate.userDetailsPath();
    const bool paused = AccountRecord::read(detailsPath).isOn(Protocol::PauseStateKey);
    const QString address = mUi->pIp->isHidden() && mDelegate.services().defaults
                                ? mDelegate.services().defaults->stringForKey(Protocol::Ip)
                                : mUi->pIp->text();
    const QString user = mUi->pUsername->text();
    const AccountRecord record =
        AccountRecord::forLogin(user, mUi->pwd->text(), address, paused, mUi->remembermeBtn->isChecked());
    mDelegate.setLoggedIn(true);
    FileTools::makePath(QFileInfo(detailsPath).path(), 0700);
    if (!record.write(detailsPath))
        mDelegate.writeInteractiveTrace(
            QStringLiteral("write plist %1 at path %2 failed").arg(record.maskedDescription(), detailsPath));

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
