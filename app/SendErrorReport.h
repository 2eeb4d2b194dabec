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

// The feedback window: what the person types (the name is the only thing checked) and both traces, the
// application's and the daemon's, go as a form post to the feedback endpoint. The window closes once the
// report is sent; when sending fails it stays, with what was typed, says why and offers to save the
// report to a file. Where the deployment sets no endpoint, saving is the way, and the window says so
// from the start.
class SendErrorReport : public QDialog, public FeedbackWindowApi {
    Q_OBJECT
  public:
    static inline const QString EndpointPath = QStringLiteral("/cgi-bin/Notify_unicode");
    // Between the typed fields and the application's trace, as "----LogDeamonTrace-----" stands
    // before the daemon's.
    static inline const QString InteractiveTraceSeparator = QStringLiteral("----LogInteractiveTrace-----");
    // What stands in a report for the appliance password wherever it occurs.
    static inline const QString PasswordMask = QStringLiteral("********");

    static QString NotSetUpText() {
        return tr("Sending reports is not set up on this computer. Save the report to a file and pass "
                  "it on to whoever looks after your backups.");
    }
    static QString SendFailedText() {
        return tr("Your report could not be sent (%1). Nothing you typed is lost: try again, or save "
                  "the report to a file and pass it on to whoever looks after your backups.");
    }
    static QString SavedText() { return tr("Report saved to %1."); }
    static QString SaveFailedText() { return tr("The report could not be saved to %1 (%2)."); }

    using Timings = SendErrorReportTimings;

    // What the person typed into the window.
    struct Fields {
        QString name, email, contactNo, ticket, message;
    };

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
    // The "Save report…" button: a save dialog, then saveReportTo().
    void SaveReport();
    // Writes the report (typed fields and both traces) as text; says in the window how it went.
    bool saveReportTo(const QString& path);

    // False where the deployment names no feedback endpoint.
    bool canSend() const { return !mSettings.feedbackHost.trimmed().isEmpty(); }
    // Where the save dialog opens: the person's documents folder, else their home.
    QString defaultSaveFolder() const;
    Fields fields() const;

    // For a test server with a certificate of its own.
    void setSslConfiguration(const QSslConfiguration& configuration) { mSslConfiguration = configuration; }

    // The typed fields as the report's opening lines, ending with the interactive-trace separator.
    static QString reportHead(const Fields& fields);
    // The report as saved: the head, the application's trace, the separator, the daemon's trace.
    static QString reportText(const Fields& fields, const QString& interactiveTrace,
                              const QString& daemonTrace);
    // The form body, exactly as posted: the report's text (head and application trace, then the daemon
    // trace) escaped into the "CONTENT" piece.
    static QByteArray requestBody(const Fields& fields, const QString& interactiveTrace,
                                  const QString& daemonTrace, const QString& supportAddress);
    // "&" becomes "%26", then "=" becomes "%3D"; nothing else changes.
    static QString escapeTrace(const QString& text);
    // The endpoint for a host ("name" or "name:port").
    static QUrl endpoint(const QString& host);
    // A trace as text: "" when missing or not readable by this user.
    static QString readTrace(const QString& path);
    // text with every occurrence of each non-empty secret replaced by the mask.
    static QString maskSecrets(QString text, const QStringList& secrets);

  signals:
    // The report reached the endpoint and the window closed.
    void reportSent();

  private:
    // Both traces, read now.
    std::pair<QString, QString> traces() const;
    // The appliance password in every form this account keeps it (account records, password file).
    QStringList passwords() const;
    void showMessage(const QString& text, bool problem);
    void offerSaving();

    std::unique_ptr<Ui::SendErrorReport> mUi;
    FilePathsController mAppSupportFilePathsObjct;
    DeploymentSettings mSettings;
    Timings mTimings;
    std::optional<QSslConfiguration> mSslConfiguration;
    bool mSending = false;
};
