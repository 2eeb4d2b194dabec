#pragma once

#include "AppWindows.h"
#include "DeploymentSettings.h"
#include "FilePathsController.h"

#include <QDialog>
#include <QSslConfiguration>

#include <chrono>
#include <memory>
#include <optional>

namespace Ui {
class SendErrorReport;
}

struct SendErrorReportTimings {
    // An exchange that moves no byte for this long ends as failed.
    std::chrono::milliseconds requestTimeout{60000};
};

// The feedback window: the user's name (the only thing checked), then both traces, the application's
// and the daemon's, go as a form post to the feedback endpoint, and the window closes whatever the
// outcome.
class SendErrorReport : public QDialog, public FeedbackWindowApi {
    Q_OBJECT
  public:
    static inline const QString EndpointPath = QStringLiteral("/cgi-bin/Notify_unicode");

    using Timings = SendErrorReportTimings;

    // userName: whose support folder holds the interactive trace ("" = the account running this).
    SendErrorReport(const PlatformProfile& profile, const DeploymentSettings& settings,
                    const QString& userName = QString(), Timings timings = Timings(),
                    QWidget* parent = nullptr);
    ~SendErrorReport() override;

    QWidget* window() override { return this; }
    void setUserName(const QString& userName) override;

    // The send button and the close button.
    void SendErrorReportClicked();
    void onClose();

    // For a test server with a certificate of its own.
    void setSslConfiguration(const QSslConfiguration& configuration) { mSslConfiguration = configuration; }

    // The form body for the two trace texts (not yet escaped), exactly as posted.
    static QByteArray requestBody(const QString& interactiveTrace, const QString& daemonTrace,
                                  const QString& supportAddress);
    // "&" becomes "%26", then "=" becomes "%3D"; nothing else changes.
    static QString escapeTrace(const QString& text);
    // The endpoint for a host ("name" or "name:port").
    static QUrl endpoint(const QString& host);
    // A trace as text: "" when missing or not readable by this user.
    static QString readTrace(const QString& path);

  signals:
    // After the exchange ended (whatever its outcome) and the window closed.
    void reportFinished();

  private:
    std::unique_ptr<Ui::SendErrorReport> mUi;
    FilePathsController mAppSupportFilePathsObjct;
    DeploymentSettings mSettings;
    Timings mTimings;
    std::optional<QSslConfiguration> mSslConfiguration;
    bool mSending = false;
};
