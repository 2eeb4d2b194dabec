// The log viewer over a temporary support folder, and the feedback report against a local HTTPS
// server with a throw-away certificate.

#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "LogController.h"
#include "Protocol.h"
#include "QtPrinters.h"
#include "SendErrorReport.h"
#include "SynchronousWrapper.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QNetworkProxy>
#include <QPlainTextEdit>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTableView>
#include <QTcpServer>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

void writeFile(const QString& path, const QByteArray& content) {
    FileTools::makePath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

// One HTTPS exchange at a time: the request is kept whole, the answer is "200 OK" unless silent.
class FeedbackServer : public QObject {
  public:
    QSslServer server;
    QByteArray request; // head and body as received
    bool silent = false;

    bool start(const QString& folder) {
        const QString key = folder + QStringLiteral("/key.pem"), cert = folder + QStringLiteral("/cert.pem");
        if (ChildProcess::run({QStringLiteral("openssl"), QStringLiteral("req"), QStringLiteral("-x509"),
                               QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                               QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("1"),
                               QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                               QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1"),
                               QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert}) != 0)
            return false;
        QFile k(key), c(cert);
        if (!k.open(QIODevice::ReadOnly) || !c.open(QIODevice::ReadOnly))
            return false;
        certificate = QSslCertificate(c.readAll());
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(certificate);
        config.setPrivateKey(QSslKey(k.readAll(), QSsl::Rsa));
        server.setSslConfiguration(config);
        connect(&server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                connect(socket, &QIODevice::readyRead, this, [this, socket] { receive(socket); });
        });
        return server.listen(QHostAddress::LocalHost);
    }
    QSslConfiguration clientConfiguration() const {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setCaCertificates({certificate});
        return config;
    }
    QByteArray body() const { return request.mid(request.indexOf("\r\n\r\n") + 4); }

  private:
    void receive(QTcpSocket* socket) {
        request += socket->readAll();
        const qsizetype end = request.indexOf("\r\n\r\n");
        const qsizetype lengthAt = request.toLower().indexOf("content-length:");
        if (end < 0 || lengthAt < 0)
            return;
        const qsizetype length = request.mid(lengthAt + 15, request.indexOf("\r\n", lengthAt) - lengthAt - 15)
                                     .trimmed()
                                     .toLongLong();
        if (request.size() - end - 4 < length || silent)
            return;
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK");
        socket->disconnectFromHost();
    }
    QSslCertificate certificate;
};

} // namespace

TEST(LogController, ListsShowsOpensAndDeletesSessionLogs) {
    TempRoot root;
    const FilePathsController paths(FilePathsController::Table::Application, root.profile());
    const QString folder = paths.pathForApplicationFile(AppPath::SessionLogsFolder);
    writeFile(folder + QStringLiteral("/.hidden.txt"), "secret");
    writeFile(folder + QStringLiteral("/Backup 01.12.26_10.00.00.txt"), "first log\n");
    writeFile(folder + QStringLiteral("/Backup 02.12.26_10.00.00.txt"), "second log\n");
    writeFile(folder + QStringLiteral("/Backup 03.12.26_10.00.00.txt"), "bad \xff\xfe bytes\n");
    QList<QUrl> opened;
    LogController logs(root.profile(), QString(), [&](const QUrl& url) { opened << url; });
    logs.showLogWindow();
    auto* table = logs.findChild<QTableView*>(QStringLiteral("pLogFileList"));
    auto* text = logs.findChild<QPlainTextEdit*>(QStringLiteral("pLogView"));

    // Hidden names never listed; the first log is selected and shown; names without extension.
    ASSERT_EQ(logs.fileList().size(), 3);
    EXPECT_FALSE(logs.fileList().contains(QStringLiteral(".hidden.txt")));
    auto textOf = [&](const QString& name) { return LogController::readUtf8Text(folder + u'/' + name); };
    EXPECT_EQ(text->toPlainText(), textOf(logs.fileList().at(0)));
    EXPECT_EQ(table->model()->index(0, 0).data().toString(),
              QFileInfo(logs.fileList().at(0)).completeBaseName());
    EXPECT_NE(table->model()->index(0, 1).data().toString(), QStringLiteral("--"));

    // A log that is not UTF-8 is listed but shows nothing.
    const int bad = int(logs.fileList().indexOf(QStringLiteral("Backup 03.12.26_10.00.00.txt")));
    table->selectRow(bad);
    EXPECT_EQ(text->toPlainText(), QString());

    // Double click opens the selected log; without a selection nothing is opened or deleted.
    logs.openFile();
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened.first().toLocalFile(), folder + QStringLiteral("/Backup 03.12.26_10.00.00.txt"));
    table->clearSelection();
    logs.openFile();
    logs.deleteLog();
    EXPECT_EQ(opened.size(), 1);
    EXPECT_EQ(logs.fileList().size(), 3);

    // A log that vanished shows "--" as its date.
    QFile::remove(folder + u'/' + logs.fileList().at(1));
    EXPECT_EQ(table->model()->index(1, 1).data().toString(), QStringLiteral("--"));

    // Deleting the first row empties the text even though other logs remain.
    table->selectRow(0);
    EXPECT_EQ(text->toPlainText(), textOf(logs.fileList().at(0)));
    const QString first = logs.fileList().at(0);
    logs.deleteLog();
    EXPECT_FALSE(QFile::exists(folder + u'/' + first));
    EXPECT_EQ(logs.fileList().size(), 2);
    EXPECT_EQ(text->toPlainText(), QString());

    // Deleting a later row selects the one before and shows its text (kept when that text is empty).
    table->selectRow(1);
    const QString shown = text->toPlainText();
    logs.deleteLog();
    ASSERT_EQ(logs.fileList().size(), 1);
    EXPECT_EQ(table->selectionModel()->selectedRows().value(0).row(), 0);
    const QString before = textOf(logs.fileList().at(0));
    EXPECT_EQ(text->toPlainText(), before.isEmpty() ? shown : before);
}

TEST(SendErrorReport, BodyEscapesOnlyAmpersandAndEquals) {
    const QString trace = QStringLiteral("a=b&c+d%e ") + QString(20000, u'&') + QStringLiteral("x=y\n");
    const QByteArray body = SendErrorReport::requestBody(trace, QString(), QStringLiteral("help@x.example"));
    const QByteArray escaped = "a%3Db%26c+d%e " + QByteArray(20000, '&').replace("&", "%26") + "x%3Dy\n";
    EXPECT_EQ(body, "EMAIL=help@x.example&SUBJECT=ZorvikHollin Feedback&CONTENT=" + escaped +
                        "\n----LogDeamonTrace-----\n\n&user_email=help@x.example");
    EXPECT_EQ(SendErrorReport::endpoint(QStringLiteral("fb.example")).toString(),
              QStringLiteral("https://fb.example/cgi-bin/Notify_unicode"));
}

TEST(SendErrorReport, PostsBothTracesAndClosesWhateverTheServerDoes) {
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty() || !QSslSocket::supportsSsl())
        GTEST_SKIP() << "needs the openssl tool and a TLS backend for the local HTTPS server";
    TempRoot root;
    FeedbackServer server;
    ASSERT_TRUE(server.start(root.path()));
    const FilePathsController paths(FilePathsController::Table::Application, root.profile());
    DeploymentSettings settings;
    settings.feedbackHost = QStringLiteral("127.0.0.1:%1").arg(server.server.serverPort());
    settings.supportAddress = QStringLiteral("support@x.example");
    SendErrorReport::Timings timings;
    timings.requestTimeout = 4000ms;
    auto report = [&] {
        auto window = std::make_unique<SendErrorReport>(root.profile(), settings, QString(), timings);
        window->setSslConfiguration(server.clientConfiguration());
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
    EXPECT_TRUE(window->findChild<QLabel*>(QStringLiteral("errmessage"))->isVisible());
    EXPECT_TRUE(window->isVisible());
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
    SendErrorReport* waiting = window.get();
    waiting->SendErrorReportClicked();
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
            const QByteArray request = socket->readAll();
            requests << request;
            const bool server = request.contains("/server");
            const bool allowed = open || request.contains("Proxy-Authorization: Basic emg6cHc=");
            socket->write(server    ? "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"s\"\r\n"
                                      "Content-Length: 0\r\n\r\n"
                          : allowed ? "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
                                    : "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                      "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 0\r\n\r\n");
        });
    });
    ASSERT_TRUE(proxy.listen(QHostAddress::LocalHost));
    auto exchange = [&](const QString& user, const QString& password, const char* path,
                        std::optional<ConnectionError>& error) {
        SynchronousWrapper wrapper;
        wrapper.setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.serverPort()));
        if (!user.isEmpty())
            wrapper.SetUserName(user, password);
        SynchronousWrapper::Request request;
        request.request.setUrl(QUrl(QStringLiteral("http://feedback.invalid") + QLatin1String(path)));
        return wrapper.sendSynchronousRequest(request, &error);
    };

    std::optional<ConnectionError> error;
    EXPECT_EQ(exchange(QStringLiteral("zh"), QStringLiteral("pw"), "/x", error), "hello");
    EXPECT_FALSE(error);
    // No credentials: the challenge is cancelled and the exchange fails as "Auth error" 1001.
    requests.clear();
    exchange(QString(), QString(), "/x", error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, QStringLiteral("Auth error"));
    EXPECT_EQ(error->code, 1001);
    EXPECT_TRUE(error->userInfo.contains(QStringLiteral("challenge")));
    // Wrong credentials are tried three times at most.
    requests.clear();
    exchange(QStringLiteral("zh"), QStringLiteral("wrong"), "/x", error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, QStringLiteral("Auth error"));
    EXPECT_LE(requests.size(), 4);
    // A server's own challenge is never answered, not even with credentials at hand.
    open = true;
    requests.clear();
    exchange(QStringLiteral("zh"), QStringLiteral("pw"), "/server", error);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 1001);
    EXPECT_EQ(requests.size(), 1);
}
