#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QVariantMap>

#include <optional>

class QAuthenticator;
class QEventLoop;
class QNetworkAccessManager;
class QNetworkProxy;
class QNetworkReply;

// An ended exchange's failure: a domain, a code and what goes with them.
struct ConnectionError {
    QString domain;
    int code = 0;
    QString description;
    QVariantMap userInfo;
};

// Receives the callbacks of the asynchronous exchange; every callback is optional.
class SynchronousWrapperDelegate {
  public:
    virtual ~SynchronousWrapperDelegate() = default;
    virtual void didReceiveResponse(QNetworkReply*) {}
    virtual void didReceiveData(const QByteArray&) {}
    virtual void didFinishLoading() {}
    virtual void didFailWithError(const ConnectionError&) {}
};

// Runs one HTTP(S) exchange and waits for its end while the calling thread's event loop keeps
// running, so windows stay responsive and the exchange's own callbacks arrive on that thread.
class SynchronousWrapper : public QObject {
    Q_OBJECT
  public:
    static inline const QString AuthErrorDomain = QStringLiteral("Auth error");
    static constexpr int AuthErrorCode = 1001;
    static constexpr int MaxProxyChallengeFailures = 3;

    struct Request {
        QNetworkRequest request;
        QByteArray method = "GET";
        QByteArray body;
    };

    explicit SynchronousWrapper(SynchronousWrapperDelegate* delegate = nullptr, QObject* parent = nullptr);
    ~SynchronousWrapper() override;

    // Proxy credentials; none unless set.
    void SetUserName(const QString& userName, const QString& password);
    // Trust and protocol settings of HTTPS exchanges (the system's defaults unless set).
    void setSslConfiguration(const QSslConfiguration& configuration) { mSslConfiguration = configuration; }
    // The proxy to go through (the application's default proxy unless set).
    void setProxy(const QNetworkProxy& proxy);

    // Without error: true once the exchange ended. With error: the failure (none on success), false.
    bool ConnectRequest(const Request& request, std::optional<ConnectionError>* error = nullptr);
    // The same, collecting and returning the response body.
    QByteArray sendSynchronousRequest(const Request& request,
                                      std::optional<ConnectionError>* error = nullptr);

    const std::optional<ConnectionError>& lastError() const { return mError; }

  private:
    QNetworkReply* start(const Request& request);
    void waitFor(QNetworkReply* reply);
    void connectionEnded(QNetworkReply* reply);
    void proxyChallenge(const QNetworkProxy& proxy, QAuthenticator* authenticator);
    void serverChallenge(QNetworkReply* reply, QAuthenticator* authenticator);
    void failWithChallenge(QNetworkReply* reply, const QString& realm);

    SynchronousWrapperDelegate* mDelegate;
    QNetworkAccessManager* mManager;
    std::optional<QString> mUserName;
    std::optional<QString> mPassword;
    QPointer<QNetworkReply> mAsynchronousConnection;
    QPointer<QNetworkReply> mSynchronousConnection;
    QByteArray mOutputData;
    bool mIsSynchrounousRequestIsInProgress = false;
    QEventLoop* mIterationRunLoop = nullptr;
    std::optional<ConnectionError> mError;
    std::optional<ConnectionError> mChallengeError;
    int mProxyChallengeFailures = 0;
    bool mEnded = false;
    std::optional<QSslConfiguration> mSslConfiguration;
};
