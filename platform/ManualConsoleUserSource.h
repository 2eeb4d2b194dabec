#pragma once

#include "ConsoleUserSource.h"

#include <QMutex>
#include <QObject>
#include <QPointer>

// A console-user source driven by hand: setUserName() plays a log-in, a log-out or a fast user
// switch. Changes reach the watch handler the way the real source delivers them, queued to the
// thread that called watch().
class ManualConsoleUserSource : public ConsoleUserSource {
  public:
    explicit ManualConsoleUserSource(QString userName = QString(LoginWindow))
        : mUserName(std::move(userName)) {}
    ~ManualConsoleUserSource() override {
        if (mContext)
            mContext->deleteLater();
    }

    QString currentUserName() const override {
        QMutexLocker lock(&mMutex);
        return mUserName;
    }

    bool watch(ChangeHandler handler, QString* error = nullptr) override {
        QMutexLocker lock(&mMutex);
        if (mRefuseWatch) {
            if (error)
                *error = QStringLiteral("console-user watch refused");
            return false;
        }
        if (mContext)
            mContext->deleteLater();
        mContext = new QObject; // lives in the calling thread; the handler runs there
        mHandler = std::move(handler);
        return true;
    }

    void setUserName(const QString& userName) {
        QMutexLocker lock(&mMutex);
        if (userName == mUserName)
            return;
        mUserName = userName;
        if (mContext && mHandler)
            QMetaObject::invokeMethod(
                mContext.data(), [handler = mHandler, userName] { handler(userName); }, Qt::QueuedConnection);
    }

    // Makes the next watch() fail, as when the platform refuses the watch.
    void setRefuseWatch(bool refuse) {
        QMutexLocker lock(&mMutex);
        mRefuseWatch = refuse;
    }

  private:
    mutable QMutex mMutex;
    QString mUserName;
    ChangeHandler mHandler;
    QPointer<QObject> mContext;
    bool mRefuseWatch = false;
};
