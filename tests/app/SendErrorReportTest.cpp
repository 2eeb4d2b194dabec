// The feedback report against a local HTTPS server with a throw-away certificate, and the synchronous
// exchange behind it against a local HTTP proxy.

#include "SendErrorReport.h"
#include "AppTestSupport.h"
#include "QtPrinters.h"
#include "SynchronousWrapper.h"

#include <gtest/gtest.h>

#include <QNetworkProxy>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>

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

} // namespace

TEST(SendErrorReport, PostsBothTracesAndClosesWhateverTheServerDoes) {
    ZH_SKIP_IF(needs::tool("openssl", "openssl"));
    ZH_SKIP_IF(QSslSocket::supportsSsl() ? QString()
                                         : QStringLiteral("no TLS backend for the local HTTPS server"));
    TempRoot root;
    FeedbackServer server;
    ASSERT_TRUE(server.start(root.path()));
    const FilePathsController paths(FilePathsController::Table::Application, root.profile());
    DeploymentSettings settings;
    settings.feedbackHost = QStringLiteral("127.0.0.1:%1").arg(server.server.serverPort());
    settings.supportAddress = QStringLiteral("support@x.example");
    SendErrorReport::Timings timings;
    timings.requestTimeout = 4000ms;
    const auto report = [&] {
        auto window = std::make_unique<SendErrorReport>(root.profile(), settings, QString(), timings);
        QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
        trusting.setCaCertificates({server.certificate});
        window->setSslConfiguration(trusting);
        window->show();
        window->setUserName(QStringLiteral("Ann"));
        return window;
    };

    // Both traces missing: four pieces with empty texts, and the request's form.
    auto window = report();
    window->SendErrorReportClicked();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(server.request.startsWith("POST /cgi-bin/Notify_unicode HTTP/1.1\r\n"));
    EXPECT_TRUE(server.request.contains("User-Agent: Zorvik\r\n"));
    EXPECT_TRUE(server.request.contains("Content-Type: application/x-www-form-urlencoded\r\n"));
    EXPECT_EQ(server.body(), "EMAIL=support@x.example&SUBJECT=ZorvikHollin Feedback&CONTENT="
                             "\n----LogDeamonTrace-----\n\n&user_email=support@x.example");

    // Both traces present, with the characters that need care; a byte that is not UTF-8 costs only itself.
    writeFile(paths.pathForApplicationFile(AppPath::UserSupportFolder) + u'/' +
                  Protocol::InteractiveTraceFile,
              "app: a=1&b=2 + 50%\n");
    writeFile(paths.pathForApplicationFile(AppPath::SystemSupportFolder) + u'/' + Protocol::DaemonTraceFile,
              "daemon: x&y=z \xff\n");
    server.request.clear();
    window = report();
    window->SendErrorReportClicked();
    EXPECT_EQ(server.body(),
              "EMAIL=support@x.example&SUBJECT=ZorvikHollin Feedback&CONTENT="
              "app: a%3D1%26b%3D2 + 50%\n\n----LogDeamonTrace-----\n\ndaemon: x%26y%3Dz \xEF\xBF\xBD\n"
              "&user_email=support@x.example");

    // No name: the message shows and nothing is sent.
    server.request.clear();
    window = std::make_unique<SendErrorReport>(root.profile(), settings);
    window->show();
    window->SendErrorReportClicked();
    EXPECT_TRUE(shown(window.get(), "errmessage") && window->isVisible());
    spinFor(200);
    EXPECT_TRUE(server.request.isEmpty());

    // A server that never answers: the wait ends and the window closes.
    server.silent = true;
    window = report();
    window->SendErrorReportClicked();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(server.request.isEmpty());
    // A window thrown away while it waits (a new "Send Feedback") ends its wait without harm.
    window = report();
    QTimer::singleShot(300, [&] { window.reset(); });
    window->SendErrorReportClicked();
    EXPECT_EQ(window, nullptr);

    // A refused connection ends it just the same.
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    settings.feedbackHost = QStringLiteral("127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    window = report();
    window->SendErrorReportClicked();
    EXPECT_FALSE(window->isVisible());
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
