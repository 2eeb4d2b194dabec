#include "SynchronousWrapper.h"

#include <QAuthenticator>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>

SynchronousWrapper::SynchronousWrapper(SynchronousWrapperDelegate* delegate, QObject* parent)
    : QObject(parent), mDelegate(delegate), mManager(new QNetworkAccessManager(this)) {
    connect(mManager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &SynchronousWrapper::proxyChallenge);
    connect(mManager, &QNetworkAccessManager::authenticationRequired, this,
            &SynchronousWrapper::serverChallenge);
}

SynchronousWrapper::~SynchronousWrapper() {
    if (mIterationRunLoop)
        mIterationRunLoop->quit();
}

void SynchronousWrapper::SetUserName(const QString& userName, const QString& password) {
    mUserName = userName;
    mPassword = password;
}

void SynchronousWrapper::setProxy(const QNetworkProxy& proxy) {
    mManager->setProxy(proxy);
}

QNetworkReply* SynchronousWrapper::start(const Request& request) {
    mError.reset();
    mChallengeError.reset();
    mEnded = false;
    QNetworkRequest networkRequest = request.request;
    if (mSslConfiguration)
        networkRequest.setSslConfiguration(*mSslConfiguration);
    QNetworkReply* reply = mManager->sendCustomRequest(networkRequest, request.method, request.body);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (reply != mSynchronousConnection && mDelegate)
            mDelegate->didReceiveResponse(reply);
    });
    connect(reply, &QIODevice::readyRead, this, [this, reply] {
        const QByteArray data = reply->readAll();
        if (reply == mSynchronousConnection)
            mOutputData += data;
        else if (mDelegate)
            mDelegate->didReceiveData(data);
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { connectionEnded(reply); });
    return reply;
}

void SynchronousWrapper::waitFor(QNetworkReply* reply) {
    // The caller's loop keeps turning (default mode: input, timers, sockets) until the reply ends.
    QEventLoop loop;
    mIterationRunLoop = &loop;
    // Ended means its finished signal was handled, which may still be queued for a reply that
    // failed at once.
    if (!mEnded)
        loop.exec();
    mIterationRunLoop = nullptr;
    reply->deleteLater();
}

void SynchronousWrapper::connectionEnded(QNetworkReply* reply) {
    mEnded = true;
    if (reply->bytesAvailable() > 0) {
        const QByteArray data = reply->readAll();
        if (reply == mSynchronousConnection)
            mOutputData += data;
        else if (mDelegate)
            mDelegate->didReceiveData(data);
    }
    if (reply->error() == QNetworkReply::NoError && !mChallengeError) {
        if (reply == mSynchronousConnection)
            mIsSynchrounousRequestIsInProgress = false;
        else if (mDelegate)
            mDelegate->didFinishLoading();
    } else {
        ConnectionError error;
        if (mChallengeError) {
            error = *mChallengeError;
        } else if (reply->error() == QNetworkReply::ProxyAuthenticationRequiredError ||
                   reply->error() == QNetworkReply::AuthenticationRequiredError) {
            // Credentials that were refused again end the exchange like a cancelled challenge.
            error.domain = AuthErrorDomain;
            error.code = AuthErrorCode;
            error.description = reply->errorString();
            error.userInfo.insert(QStringLiteral("challenge"), reply->errorString());
        } else {
            error.domain = QStringLiteral("QNetworkReply");
            error.code = int(reply->error());
            error.description = reply->errorString();
        }
        if (reply == mSynchronousConnection)
            mIsSynchrounousRequestIsInProgress = false;
        else if (mDelegate)
            mDelegate->didFailWithError(error);
        mError = error;
    }
    if (mIterationRunLoop)
        mIterationRunLoop->quit();
}

void SynchronousWrapper::failWithChallenge(QNetworkReply* reply, const QString& realm) {
    ConnectionError error;
    error.domain = AuthErrorDomain;
    error.code = AuthErrorCode;
    error.description = tr("Authentication was refused");
    error.userInfo.insert(QStringLiteral("challenge"), realm);
    mChallengeError = error;
    // Leaving the authenticator empty cancels the challenge; the reply then ends as failed.
    Q_UNUSED(reply);
}

void SynchronousWrapper::proxyChallenge(const QNetworkProxy& proxy, QAuthenticator* authenticator) {
    // Only a proxy is answered, with the credentials set, for at most three failed attempts.
    if (mUserName && mPassword && mProxyChallengeFailures < MaxProxyChallengeFailures) {
        ++mProxyChallengeFailures;
        authenticator->setUser(*mUserName);
        authenticator->setPassword(*mPassword);
        return;
    }
    Q_UNUSED(proxy);
    QNetworkReply* reply =
        mSynchronousConnection ? mSynchronousConnection.data() : mAsynchronousConnection.data();
    failWithChallenge(reply, authenticator->realm());
}

void SynchronousWrapper::serverChallenge(QNetworkReply* reply, QAuthenticator* authenticator) {
    // A challenge from the server itself is never answered.
    failWithChallenge(reply, authenticator->realm());
}

bool SynchronousWrapper::ConnectRequest(const Request& request, std::optional<ConnectionError>* error) {
    QNetworkReply* reply = start(request);
    mAsynchronousConnection = reply;
    waitFor(reply);
    mAsynchronousConnection = nullptr;
    if (!error)
        return true;
    *error = mError;
    return false;
}

QByteArray SynchronousWrapper::sendSynchronousRequest(const Request& request,
                                                      std::optional<ConnectionError>* error) {
    mOutputData.clear();
    mIsSynchrounousRequestIsInProgress = true;
    QNetworkReply* reply = start(request);
    mSynchronousConnection = reply;
    waitFor(reply);
    mSynchronousConnection = nullptr;
    mIsSynchrounousRequestIsInProgress = false;
    if (error)
        *error = mError;
    return mOutputData;
}
