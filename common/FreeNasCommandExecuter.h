#pragma once

#include "ChildCredentials.h"
#include "StallWatch.h"

class QTimer;
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <optional>
#include <vector>

#include <sys/types.h>

class FreeNasCommandExecuter;
class RezodeLoger;

// What the owner of an executer hears about a run. Output chunks arrive on the thread that started the
// run; the completion arrives on the main thread.
class FreeNasCommandExecuterController {
  public:
    virtual ~FreeNasCommandExecuterController() = default;
    virtual void updateProgress(const QString& text, FreeNasCommandExecuter* engine) = 0;
    virtual void getError(const QString& text, FreeNasCommandExecuter* engine) = 0;
    virtual void processFinishedOfEngine(FreeNasCommandExecuter* engine) = 0;
};

// Runs one long external program at a time and streams its output to its controller. Every
// startProcess gets exactly one processFinishedOfEngine, also when the program cannot be started. The
// completion follows the child's end at once: by then its pipes are read to the end and closed, so no
// output can still arrive. The child leads a process group of its own; a stop, or a child that has
// stalled (nothing printed, read or written for the stall time), ends the whole group.
class FreeNasCommandExecuter : public QObject {
    Q_OBJECT
  public:
    explicit FreeNasCommandExecuter(FreeNasCommandExecuterController* controller,
                                    RezodeLoger* sessionLogger = nullptr);
    ~FreeNasCommandExecuter() override;

    void setLaunchPath(const QString& path) { mLaunchPath = path; }
    QString launchPath() const { return mLaunchPath; }
    void setArguments(const QStringList& arguments) { mArguments = arguments; }
    QStringList arguments() const { return mArguments; }
    // What the child reads on its standard input (then end of file); empty: nothing, at once.
    void setStandardInput(const QByteArray& input) { mInput = input; }
    // The child's complete environment; empty means the daemon's own is inherited.
    void setEnvironment(const QMap<QString, QString>& environment) { mEnvironment = environment; }
    QMap<QString, QString> environment() const { return mEnvironment; }
    // Added to whatever environment the child gets (the account's clean one, the complete one above,
    // or the daemon's own): how a secret reaches the child without a command line or a file.
    void setAddedEnvironment(const QMap<QString, QString>& added) { mAddedEnvironment = added; }
    // A child that prints nothing and reads and writes nothing for this long is ended (its whole
    // process group) and the run counts as stalled; zero: never.
    void setStallTimeout(std::chrono::milliseconds timeout) { mStallWatch.setWindow(timeout); }

    // The account the child runs as (uid, groups, a clean environment). Only a daemon running as root
    // switches; without an account the child keeps the daemon's own credentials.
    using Credentials = ChildCredentials;
    void setCredentials(std::optional<Credentials> credentials, const QString& accountName = QString()) {
        mCredentials = std::move(credentials);
        mAccountName = accountName;
    }
    std::optional<Credentials> credentials() const { return mCredentials; }

    void startProcess();
    // Kills (SIGKILL) a launched child, with its process group, that has not been cleaned up yet; does
    // nothing otherwise.
    void stopProcess();
    // From startProcess until the completion callback begins.
    bool isRunning() const { return mIsProcessingStage.load(); }
    qint64 processId() const;
    // How the last child ended, valid from its end until the next startProcess: its exit code, or -1
    // when it was killed by a signal or could not be started at all.
    int exitCode() const { return mExitCode; }
    // Whether the last child was ended because it had stalled; valid like exitCode().
    bool stalled() const { return mStalled; }

  private:
    void receivedData();
    void receivedError();
    void childEnded();
    void cleanup();
    void checkStall();

    FreeNasCommandExecuterController* mController;
    RezodeLoger* mSessionLogger;
    QString mLaunchPath;
    QStringList mArguments;
    QMap<QString, QString> mEnvironment;
    QMap<QString, QString> mAddedEnvironment;
    QByteArray mInput;

    QPointer<QProcess> mTask;
    QStringDecoder mOutDecoder{QStringDecoder::Utf8};
    QStringDecoder mErrDecoder{QStringDecoder::Utf8};
    std::atomic<bool> mIsProcessingStage{false};
    bool mTaskDidTerminate = false;
    mutable QMutex mPidLock;
    qint64 mProcessId = 0;
    std::optional<Credentials> mCredentials;
    QString mAccountName;
    int mExitCode = -1;
    // On the starting thread, as the child's output.
    StallWatch mStallWatch;
    QPointer<QTimer> mStallTimer;
    bool mStalled = false;
};
