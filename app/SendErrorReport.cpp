#include "SendErrorReport.h"

#include "AccountRecord.h"
#include "Protocol.h"
#include "SynchronousWrapper.h"
#include "ui_SendErrorReport.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace {
// Fills the "%@" places of format in order; what is filled in is not scanned again.
QString fill(const QString& format, const QStringList& values) {
    QString out;
    qsizetype from = 0;
    for (const QString& value : values) {
        const qsizetype at = format.indexOf(QLatin1String("%@"), from);
        if (at < 0)
            break;
        out += format.mid(from, at - from) + value;
        from = at + 2;
    }
    return out + format.mid(from);
}

// A format text from the application's translations, the literal itself when it has none.
QString localized(const char* literal) {
    return QCoreApplication::translate("SendErrorReport", literal);
}
} // namespace

SendErrorReport::SendErrorReport(const PlatformProfile& profile, const DeploymentSettings& settings,
                                 const QString& userName, Timings timings, QWidget* parent)
    : QDialog(parent), mUi(std::make_unique<Ui::SendErrorReport>()),
      mAppSupportFilePathsObjct(FilePathsController::Table::Application, profile), mSettings(settings),
      mTimings(timings) {
    if (!userName.isEmpty())
        mAppSupportFilePathsObjct.setM_ConsoleUserName(userName);
    mUi->setupUi(this);
    mUi->errmessage->hide();
    mUi->deliveryMessage->hide();
    mUi->saveButton->hide();
    connect(mUi->sendButton, &QPushButton::clicked, this, &SendErrorReport::SendErrorReportClicked);
    connect(mUi->saveButton, &QPushButton::clicked, this, &SendErrorReport::SaveReport);
    connect(mUi->closeButton, &QPushButton::clicked, this, &SendErrorReport::onClose);
    if (!canSend()) {
        // Said before anyone types a report they then cannot send.
        mUi->sendButton->hide();
        showMessage(NotSetUpText(), false);
        offerSaving();
    }
}

SendErrorReport::~SendErrorReport() = default;

void SendErrorReport::setUserName(const QString& userName) {
    if (!userName.isEmpty())
        mUi->username->setText(userName);
    mUi->errmessage->hide();
    mUi->contactNo->clear();
    mUi->message->clear();
    mUi->ticket->clear();
}

void SendErrorReport::onClose() {
    close();
}

QString SendErrorReport::escapeTrace(const QString& text) {
    QString escaped = text;
    escaped.replace(u'&', QLatin1String("%26"));
    escaped.replace(u'=', QLatin1String("%3D"));
    return escaped;
}

QString SendErrorReport::reportHead(const Fields& fields) {
    return QStringLiteral(
               "Name: %1\nE-mail: %2\nContact number: %3\nTicket number: %4\nMessage:\n%5\n\n%6\n\n")
        .arg(fields.name, fields.email, fields.contactNo, fields.ticket, fields.message,
             InteractiveTraceSeparator);
}

QString SendErrorReport::reportText(const Fields& fields, const QString& interactiveTrace,
                                    const QString& daemonTrace) {
    // The same text the "CONTENT" piece carries, unescaped.
    return reportHead(fields) + interactiveTrace + QStringLiteral("\n----LogDeamonTrace-----\n\n") +
           daemonTrace;
}

QByteArray SendErrorReport::requestBody(const Fields& fields, const QString& interactiveTrace,
                                        const QString& daemonTrace, const QString& supportAddress) {
    // The typed fields open the first trace's place and are escaped like the traces, so that the
    // endpoint treats all of "CONTENT" alike.
    const QString body =
        fill(localized("EMAIL=%@&"), {supportAddress}) + localized("SUBJECT=ZorvikHollin Feedback&") +
        fill(localized("CONTENT=%@\n----LogDeamonTrace-----\n\n%@&"),
             {escapeTrace(reportHead(fields) + interactiveTrace), escapeTrace(daemonTrace)}) +
        fill(QStringLiteral("user_email=%@"), {supportAddress});
    return body.toUtf8();
}

QString SendErrorReport::maskSecrets(QString text, const QStringList& secrets) {
    for (const QString& secret : secrets)
        if (!secret.isEmpty())
            text.replace(secret, PasswordMask);
    return text;
}

QUrl SendErrorReport::endpoint(const QString& host) {
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    const qsizetype colon = host.lastIndexOf(u':');
    bool numeric = false;
    const int port = colon > 0 ? host.mid(colon + 1).toInt(&numeric) : 0;
    if (numeric) {
        url.setHost(host.left(colon));
        url.setPort(port);
    } else {
        url.setHost(host);
    }
    url.setPath(EndpointPath);
    return url;
}

QString SendErrorReport::readTrace(const QString& path) {
    // The daemon's trace is sent only when this user may read it; a missing trace is empty.
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // Undecodable bytes (an odd file name in a line) become replacement characters instead of
    // costing the whole trace.
    return QString::fromUtf8(file.readAll());
}

SendErrorReport::Fields SendErrorReport::fields() const {
    return {mUi->username->text(), mUi->emailAddress->text(), mUi->contactNo->text(), mUi->ticket->text(),
            mUi->message->toPlainText()};
}

std::pair<QString, QString> SendErrorReport::traces() const {
    return {readTrace(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserSupportFolder) + u'/' +
                      Protocol::InteractiveTraceFile),
            readTrace(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::SystemSupportFolder) + u'/' +
                      Protocol::DaemonTraceFile)};
}

QStringList SendErrorReport::passwords() const {
    // Neither trace should hold the password; a report leaves this machine, so it is masked all the
    // same, in the stored form too.
    QStringList secrets;
    const QString details = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserDetails);
    for (const QString& path :
         {details, QFileInfo(details).path() + u'/' + QLatin1String(Protocol::RememberDetailsFile)}) {
        const AccountRecord record = AccountRecord::read(path);
        secrets << record.password() << record.value(Protocol::Password);
    }
    QFile passwordFile(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::PasswordFile));
    if (passwordFile.open(QIODevice::ReadOnly))
        secrets << QString::fromUtf8(passwordFile.readAll()).trimmed();
    secrets.removeAll(QString());
    secrets.removeDuplicates();
    // The longest first, so that a password holding another is masked whole.
    std::sort(secrets.begin(), secrets.end(),
              [](const QString& a, const QString& b) { return a.size() > b.size(); });
    return secrets;
}

void SendErrorReport::showMessage(const QString& text, bool problem) {
    mUi->deliveryMessage->setText(text);
    mUi->deliveryMessage->setStyleSheet(problem
                                            ? QStringLiteral("padding: 0px 16px; color: rgb(200, 30, 30);")
                                            : QStringLiteral("padding: 0px 16px; color: rgb(40, 40, 40);"));
    mUi->deliveryMessage->show();
}

void SendErrorReport::offerSaving() {
    mUi->saveButton->show();
    mUi->saveButton->setDefault(!canSend());
}

void SendErrorReport::SendErrorReportClicked() {
    if (mSending)
        return;
    mUi->errmessage->hide();
    if (mUi->username->text().isEmpty()) {
        mUi->errmessage->show();
        return;
    }
    if (!canSend()) {
        showMessage(NotSetUpText(), false);
        offerSaving();
        return;
    }
    const auto [interactive, daemon] = traces();
    const QStringList secrets = passwords();

    SynchronousWrapper::Request request;
    request.request.setUrl(endpoint(mSettings.feedbackHost.trimmed()));
    request.request.setRawHeader("User-Agent", "Zorvik");
    request.request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.request.setTransferTimeout(int(mTimings.requestTimeout.count()));
    request.method = "POST";
    Fields typed = fields();
    for (QString* field : {&typed.name, &typed.email, &typed.contactNo, &typed.ticket, &typed.message})
        *field = maskSecrets(*field, secrets);
    request.body = requestBody(typed, maskSecrets(interactive, secrets), maskSecrets(daemon, secrets),
                               mSettings.supportAddress);

    // The window stays responsive while the exchange runs; a second click does not send twice.
    mSending = true;
    mUi->sendButton->setEnabled(false);
    mUi->saveButton->setEnabled(false);
    mUi->deliveryMessage->hide();
    mUi->sendingLabel->show();
    SynchronousWrapper wrapper;
    if (mSslConfiguration)
        wrapper.setSslConfiguration(*mSslConfiguration);
    const QPointer<SendErrorReport> alive(this);
    std::optional<ConnectionError> error;
    wrapper.ConnectRequest(request, &error);
    if (!alive)
        return; // the window was thrown away while the exchange ran
    mSending = false;
    mUi->sendButton->setEnabled(true);
    mUi->saveButton->setEnabled(true);
    mUi->sendingLabel->hide();
    if (error) {
        // Nothing typed is lost: the window stays as it is, says why and offers the file instead.
        showMessage(SendFailedText().arg(error->description), true);
        offerSaving();
        return;
    }
    close();
    emit reportSent();
}

QString SendErrorReport::defaultSaveFolder() const {
    const QString home =
        mAppSupportFilePathsObjct.profile().homeOf(mAppSupportFilePathsObjct.m_ConsoleUserName());
    QStringList candidates;
    // On the machine itself the desktop's own documents folder (which may have a local name).
    if (mAppSupportFilePathsObjct.profile().root.isEmpty() &&
        mAppSupportFilePathsObjct.m_ConsoleUserName().isEmpty())
        candidates << QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!home.isEmpty())
        candidates << home + QStringLiteral("/Documents") << home;
    candidates << QDir::homePath();
    for (const QString& folder : std::as_const(candidates))
        if (!folder.isEmpty() && QFileInfo(folder).isDir())
            return folder;
    return QDir::homePath();
}

void SendErrorReport::SaveReport() {
    auto* dialog = new QFileDialog(this, tr("Save the feedback report"));
    dialog->setObjectName(QStringLiteral("SaveReportDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(tr("Text files (*.txt)"));
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setDirectory(defaultSaveFolder());
    dialog->selectFile(
        tr("Zorvik Hollin feedback %1.txt").arg(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))));
    connect(dialog, &QFileDialog::fileSelected, this, [this](const QString& path) { saveReportTo(path); });
    dialog->open();
}

bool SendErrorReport::saveReportTo(const QString& path) {
    const auto [interactive, daemon] = traces();
    const QByteArray text = maskSecrets(reportText(fields(), interactive, daemon), passwords()).toUtf8();
    QSaveFile file(path);
    // The traces name the person's files: the report is theirs alone until they pass it on.
    const bool saved = file.open(QIODevice::WriteOnly) &&
                       file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
                       file.write(text) == text.size() && file.commit();
    if (saved)
        showMessage(SavedText().arg(QDir::toNativeSeparators(path)), false);
    else
        showMessage(SaveFailedText().arg(QDir::toNativeSeparators(path), file.errorString()), true);
    return saved;
}
