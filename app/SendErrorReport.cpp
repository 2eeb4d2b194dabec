#include "SendErrorReport.h"

#include "Protocol.h"
#include "SynchronousWrapper.h"
#include "ui_SendErrorReport.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>

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
    connect(mUi->sendButton, &QPushButton::clicked, this, &SendErrorReport::SendErrorReportClicked);
    connect(mUi->closeButton, &QPushButton::clicked, this, &SendErrorReport::onClose);
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

QByteArray SendErrorReport::requestBody(const QString& interactiveTrace, const QString& daemonTrace,
                                        const QString& supportAddress) {
    const QString body = fill(localized("EMAIL=%@&"), {supportAddress}) +
                         localized("SUBJECT=ZorvikHollin Feedback&") +
                         fill(localized("CONTENT=%@\n----LogDeamonTrace-----\n\n%@&"),
                              {escapeTrace(interactiveTrace), escapeTrace(daemonTrace)}) +
                         fill(QStringLiteral("user_email=%@"), {supportAddress});
    return body.toUtf8();
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

void SendErrorReport::SendErrorReportClicked() {
    if (mSending)
        return;
    mUi->errmessage->hide();
    if (mUi->username->text().isEmpty()) {
        mUi->errmessage->show();
        return;
    }
    const QString interactive =
        readTrace(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::UserSupportFolder) + u'/' +
                  Protocol::InteractiveTraceFile);
    const QString daemon =
        readTrace(mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::SystemSupportFolder) + u'/' +
                  Protocol::DaemonTraceFile);

    SynchronousWrapper::Request request;
    request.request.setUrl(endpoint(mSettings.feedbackHost));
    request.request.setRawHeader("User-Agent", "Zorvik");
    request.request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.request.setTransferTimeout(int(mTimings.requestTimeout.count()));
    request.method = "POST";
    request.body = requestBody(interactive, daemon, mSettings.supportAddress);

    // The window stays responsive while the exchange runs; a second click does not send twice.
    mSending = true;
    mUi->sendButton->setEnabled(false);
    mUi->sendingLabel->show();
    SynchronousWrapper wrapper;
    if (mSslConfiguration)
        wrapper.setSslConfiguration(*mSslConfiguration);
    const QPointer<SendErrorReport> alive(this);
    wrapper.ConnectRequest(request);
    if (!alive)
        return; // the window was thrown away while the exchange ran
    mSending = false;
    mUi->sendButton->setEnabled(true);
    mUi->sendingLabel->hide();
    // The outcome is neither shown nor retried.
    close();
    emit reportFinished();
}
