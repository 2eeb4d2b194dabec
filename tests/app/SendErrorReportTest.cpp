// The feedback report against a local HTTPS server with a throw-away certificate, against nothing
// (sending fails) and with no endpoint at all, saved to a file; and the synchronous exchange behind it
// against a local HTTP proxy.

#include "SendErrorReport.h"
#include "AccountRecord.h"
#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "SynchronousWrapper.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QNetworkProxy>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QUuid>

using namespace std::chrono_literals;

namespace {

// One HTTPS exchange at a time: the request is kept whole, the answer is "200 OK" unless silent.
class FeedbackServer : public QObject {
  public:
    QSslServer server;
    QSslCertificate certificate;
    QByteArray request; // head and body as received
    bool silent = false;

    bool start(const QString& folder) {
        const QString key = folder + QStringLiteral("/key.pem"), cert = folder + QStringLiteral("/cert.pem");
        if (ChildProcess::run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                               "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                               key, "-out", cert}) != 0)
            return false;
        certificate = QSslCertificate(readTrace(cert).toLatin1());
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(certificate);
        config.setPrivateKey(QSslKey(readTrace(key).toLatin1(), QSsl::Rsa));
        server.setSslConfiguration(config);
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                connect(socket, &QIODevice::readyRead, this, [this, socket] { receive(socket); });
        });
        return server.listen(QHostAddress::LocalHost);
    }
    QByteArray body() const { return request.mid(request.indexOf("\r\n\r\n") + 4); }

  private:
    void receive(QTcpSocket* socket) {
        request += socket->readAll();
        const qsizetype end = request.indexOf("\r\n\r\n"), at = request.toLower().indexOf("content-length:");
        if (end < 0 || at < 0 || silent ||
            request.size() - end - 4 <
                request.mid(at + 15, request.indexOf("\r\n", at) - at - 15).trimmed().toLongLong())
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK");
        socket->disconnectFromHost();
    }
};

// A report window over root with the name filled in, as "Send Feedback" opens it.
std::unique_ptr<SendErrorReport> openReport(const TempRoot& root, const DeploymentSettings& settings,
                                            const QSslCertificate& trusted = QSslCertificate()) {
    SendErrorReport::Timings timings;
    timings.requestTimeout = 4000ms;
    auto window = std::make_unique<SendErrorReport>(root.profile(), settings, QString(), timings);
    if (!trusted.isNull()) {
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        trusting.setCaCertificates({trusted});
        window->setSslConfiguration(trusting);
    }
    window->show();
    window->setUserName(QStringLiteral("Ann"));
    return window;
}

void type(SendErrorReport& window, const SendErrorReport::Fields& f) {
    outlet<QLineEdit>(&window, "username")->setText(f.name);
    outlet<QLineEdit>(&window, "emailAddress")->setText(f.email);
    outlet<QLineEdit>(&window, "contactNo")->setText(f.contactNo);
    outlet<QLineEdit>(&window, "ticket")->setText(f.ticket);
    outlet<QPlainTextEdit>(&window, "message")->setPlainText(f.message);
}

// The account logged in, with a password made for this run, and both traces, one holding it.
struct TracesAndAccount {
    QString password = QUuid::createUuid().toString(QUuid::WithoutBraces);
    TracesAndAccount(const TempRoot& root) {
        const FilePathsController paths(FilePathsController::Table::Application, root.profile());
        writeFile(paths.pathForApplicationFile(AppPath::UserSupportFolder) + u'/' +
                      Protocol::InteractiveTraceFile,
                  "app: a=1&b=2 + 50%\n");
        writeFile(paths.pathForApplicationFile(AppPath::SystemSupportFolder) + u'/' +
                      Protocol::DaemonTraceFile,
                  ("daemon: x&y=z \xff\nrsync --password " + password + "\n").toUtf8());
        AccountRecord::forLogin(QStringLiteral("ann"), password, QStringLiteral("127.0.0.1"), false, false)
            .write(paths.pathForApplicationFile(AppPath::UserDetails));
    }
};

} // namespace

TEST(SendErrorReport, PostsTheTypedFieldsWithBothTracesAndClosesOnceSent) {
    ZH_SKIP_IF(needs::tool("openssl", "openssl"));
    ZH_SKIP_IF(QSslSocket::supportsSsl() ? QString()
                                         : QStringLiteral("no TLS backend for the local HTTPS server"));
    TempRoot root;
    FeedbackServer server;
    ASSERT_TRUE(server.start(root.path()));
    DeploymentSettings settings;
    settings.feedbackHost = QStringLiteral("127.0.0.1:%1").arg(server.server.serverPort());
    settings.supportAddress = QStringLiteral("support@x.example");

    // Both traces missing: four pieces, the typed fields opening the content, and the request's form.
    auto window = openReport(root, settings, server.certificate);
    EXPECT_TRUE(window->canSend());
    EXPECT_FALSE(shown(window.get(), "deliveryMessage") || shown(window.get(), "saveButton"));
    QSignalSpy sent(window.get(), &SendErrorReport::reportSent);
    window->SendErrorReportClicked();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(sent.size(), 1);
    EXPECT_TRUE(server.request.startsWith("POST /cgi-bin/Notify_unicode HTTP/1.1\r\n"));
    EXPECT_TRUE(server.request.contains("User-Agent: Zorvik\r\n"));
    EXPECT_TRUE(server.request.contains("Content-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_EQ(server.body(), "EMAIL=support@x.example&SUBJECT=ZorvikHollin Feedback&CONTENT="
                             "Name: Ann\nE-mail: \nContact number: \nTicket number: \nMessage:\n\n\n"
                             "----LogInteractiveTrace-----\n\n"
                             "\n----LogDeamonTrace-----\n\n&user_email=support@x.example");

    // Everything typed goes, escaped like the traces; the traces with the characters that need care (a
    // byte that is not UTF-8 costs only itself); the password, wherever it turns up, does not.
    const TracesAndAccount traces(root);
    server.request.clear();
    window = openReport(root, settings, server.certificate);
    type(*window, {"Ann = B&B", "ann@example.org", "+1 555 0100", "#42",
                   "Backups stopped.\nMy password is " + traces.password + " & 100% sure"});
    window->SendErrorReportClicked();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(
        server.body(),
        "EMAIL=support@x.example&SUBJECT=ZorvikHollin Feedback&CONTENT="
        "Name: Ann %3D B%26B\nE-mail: ann@example.org\nContact number: +1 555 0100\nTicket number: #42\n"
        "Message:\nBackups stopped.\nMy password is ******** %26 100% sure\n\n"
        "----LogInteractiveTrace-----\n\n"
        "app: a%3D1%26b%3D2 + 50%\n\n----LogDeamonTrace-----\n\n"
        "daemon: x%26y%3Dz \xEF\xBF\xBD\nrsync --password ********\n"
        "&user_email=support@x.example");

    // No name: the message shows and nothing is sent.
    server.request.clear();
    window = std::make_unique<SendErrorReport>(root.profile(), settings);
    window->show();
    window->SendErrorReportClicked();
    EXPECT_TRUE(shown(window.get(), "errmessage") && window->isVisible());
    spinFor(200);
    EXPECT_TRUE(server.request.isEmpty());

    // A server that never answers: the wait ends, the window stays and says so.
    server.silent = true;
    window = openReport(root, settings, server.certificate);
    window->SendErrorReportClicked();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(shown(window.get(), "saveButton"));
    EXPECT_FALSE(server.request.isEmpty());
    // A window thrown away while it waits (a new "Send Feedback") ends its wait without harm.
    window = openReport(root, settings, server.certificate);
    QTimer::singleShot(300, [&] { window.reset(); });
    window->SendErrorReportClicked();
    EXPECT_EQ(window, nullptr);
}

// Sending fails (nothing listens): the window stays with what was typed, says why, and saves the report
// (typed fields and both traces, without the password) where the person chooses, their documents
// folder offered first. A second try that reaches the endpoint sends it.
TEST(SendErrorReport, AFailedSendKeepsTheWindowAndTheTextAndOffersTheReportAsAFile) {
    TempRoot root;
    const TracesAndAccount traces(root);
    const QString documents = root.profile().homeOf(QString()) + QStringLiteral("/Documents");
    QDir().mkpath(documents);
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    DeploymentSettings settings;
    settings.feedbackHost = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    auto window = openReport(root, settings);
    const SendErrorReport::Fields typed{"Ann", "ann@example.org", "555 0100", "42",
                                        "It stopped & never came back = sad"};
    type(*window, typed);
    QSignalSpy sent(window.get(), &SendErrorReport::reportSent);
    window->SendErrorReportClicked();

    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(sent.size(), 0);
    EXPECT_TRUE(shown(window.get(), "deliveryMessage"));
    EXPECT_TRUE(
        text(window.get(), "deliveryMessage").startsWith(QStringLiteral("Your report could not be sent (")));
    EXPECT_TRUE(shown(window.get(), "saveButton"));
    EXPECT_EQ(text(window.get(), "saveButton"), QStringLiteral("Save report…"));
    EXPECT_TRUE(shown(window.get(), "sendButton")); // trying again stays possible
    EXPECT_EQ(outlet<QPlainTextEdit>(window.get(), "message")->toPlainText(), typed.message);
    EXPECT_EQ(outlet<QLineEdit>(window.get(), "ticket")->text(), typed.ticket);

    // "Save report…": a save dialog in the documents folder with a text file proposed.
    window->SaveReport();
    auto* dialog = window->findChild<QFileDialog*>(QStringLiteral("SaveReportDialog"));
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(QDir(dialog->directory()).canonicalPath(), QDir(documents).canonicalPath());
    EXPECT_TRUE(dialog->selectedFiles().value(0).endsWith(QLatin1String(".txt")));
    const QString saved = documents + QStringLiteral("/report for support.txt");
    dialog->selectFile(saved);
    static_cast<QDialog*>(dialog)->accept();

    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString content = QString::fromUtf8(file.readAll());
    EXPECT_EQ(content, SendErrorReport::reportText(
                           typed, QStringLiteral("app: a=1&b=2 + 50%\n"),
                           QStringLiteral("daemon: x&y=z \uFFFD\nrsync --password ********\n")));
    EXPECT_TRUE(content.startsWith(
        QStringLiteral("Name: Ann\nE-mail: ann@example.org\nContact number: 555 0100\n"
                       "Ticket number: 42\nMessage:\nIt stopped & never came back = sad\n")));
    EXPECT_FALSE(content.contains(traces.password));
    EXPECT_EQ(file.permissions() &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());
    EXPECT_EQ(text(window.get(), "deliveryMessage"), SendErrorReport::SavedText().arg(saved));
    EXPECT_TRUE(window->isVisible());

    // A place that cannot take the file: the window says so and keeps everything.
    EXPECT_FALSE(window->saveReportTo(root.path() + QStringLiteral("/no such folder/report.txt")));
    EXPECT_TRUE(text(window.get(), "deliveryMessage")
                    .startsWith(QStringLiteral("The report could not be saved to ")));
    EXPECT_EQ(outlet<QPlainTextEdit>(window.get(), "message")->toPlainText(), typed.message);
}

// Where the deployment names no endpoint (the installed example leaves it empty), the window says so
// when it opens, offers only saving, and "Send" never tries the network.
TEST(SendErrorReport, WithoutAnEndpointItSaysSoUpFrontAndSavesInstead) {
    TempRoot root;
    const DeploymentSettings unset;
    EXPECT_TRUE(unset.feedbackHost.isEmpty());
    auto window = openReport(root, unset);
    EXPECT_FALSE(window->canSend());
    EXPECT_TRUE(shown(window.get(), "deliveryMessage"));
    EXPECT_EQ(text(window.get(), "deliveryMessage"), SendErrorReport::NotSetUpText());
    EXPECT_FALSE(shown(window.get(), "sendButton"));
    EXPECT_TRUE(shown(window.get(), "saveButton"));
    EXPECT_TRUE(outlet<QPushButton>(window.get(), "saveButton")->isDefault());

    QSignalSpy sent(window.get(), &SendErrorReport::reportSent);
    window->SendErrorReportClicked();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(sent.size(), 0);
    EXPECT_EQ(text(window.get(), "deliveryMessage"), SendErrorReport::NotSetUpText());
    // Without a documents folder the dialog opens in the home.
    QDir().mkpath(root.profile().homeOf(QString()));
    EXPECT_EQ(QDir(window->defaultSaveFolder()).canonicalPath(),
              QDir(root.profile().homeOf(QString())).canonicalPath());
    const QString saved = root.path() + QStringLiteral("/report.txt");
    EXPECT_TRUE(window->saveReportTo(saved));
    EXPECT_TRUE(readTrace(saved).startsWith(QStringLiteral("Name: Ann\n")));
}

TEST(SynchronousWrapper, AnswersAProxyChallengeThreeTimesAtMostAndNeverAServer) {
    // A proxy that wants "Basic zh:pw" (or nothing at all when open), and a server that wants a log-in.
    QTcpServer proxy;
    QList<QByteArray> requests;
    bool open = false;
    QObject::connect(&proxy, &QTcpServer::newConnection, [&] {
        QTcpSocket* socket = proxy.nextPendingConnection();
        QObject::connect(socket, &QIODevice::readyRead, [&, socket] {
            const QByteArray request = requests.emplaceBack(socket->readAll());
            const bool allowed = open || request.contains("Proxy-Authorization: Basic emg6cHc=");
            socket->write(request.contains("/server")
                              ? "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic "
                                "realm=\"s\"\r\nContent-Length: 0\r\n\r\n"
                          : allowed ? "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
                                    : "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                      "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 0\r\n\r\n");
        });
    });
    ASSERT_TRUE(proxy.listen(QHostAddress::LocalHost));
    std::optional<ConnectionError> error;
    const auto exchange = [&](const QString& user, const QString& password, const char* path) {
        requests.clear();
        SynchronousWrapper wrapper;
        wrapper.setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.serverPort()));
        if (!user.isEmpty())
            wrapper.SetUserName(user, password);
        SynchronousWrapper::Request request;
        request.request.setUrl(QUrl(QStringLiteral("http://feedback.invalid") + QLatin1String(path)));
        return wrapper.sendSynchronousRequest(request, &error);
    };

    EXPECT_EQ(exchange(QStringLiteral("zh"), QStringLiteral("pw"), "/x"), "hello");
    EXPECT_FALSE(error);
    // No credentials: the challenge is cancelled and the exchange fails as "Auth error" 1001.
    exchange(QString(), QString(), "/x");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, QStringLiteral("Auth error"));
    EXPECT_EQ(error->code, 1001);
    EXPECT_TRUE(error->userInfo.contains(QStringLiteral("challenge")));
    // Wrong credentials are tried three times at most.
    exchange(QStringLiteral("zh"), QStringLiteral("wrong"), "/x");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, QStringLiteral("Auth error"));
    EXPECT_LE(requests.size(), 4);
    // A server's own challenge is never answered, not even with credentials at hand.
    open = true;
    exchange(QStringLiteral("zh"), QStringLiteral("pw"), "/server");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 1001);
    EXPECT_EQ(requests.size(), 1);
}
