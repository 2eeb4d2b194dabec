#include "FreeNasCommandExecuter.h"

#include "RezodeLoger.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>
#include <unistd.h>

FreeNasCommandExecuter::FreeNasCommandExecuter(FreeNasCommandExecuterController* controller,
                                               RezodeLoger* sessionLogger)
    : mController(controller),
      mSessionLogger(sessionLogger ? sessionLogger : &RezodeLoger::progressLogger()) {}

FreeNasCommandExecuter::~FreeNasCommandExecuter() {
    if (mTask) {
        mTask->disconnect(this);
        stopProcess();
        mTask->kill();
        mTask->waitForFinished(1000);
        delete mTask;
    }
}

qint64 FreeNasCommandExecuter::processId() const {
    QMutexLocker lock(&mPidLock);
    return mProcessId;
}

void FreeNasCommandExecuter::startProcess() {
    mIsProcessingStage = true;
    mTaskDidTerminate = false;
    mExitCode = -1;
    mStalled = false;
    mOutDecoder.resetState();
    mErrDecoder.resetState();

    // The process object lives on the starting thread, so its output is delivered there.
    auto* process = new QProcess();
    mTask = process;
    // A group of its own, so that a stop ends what the child started too (bash's rsync, the private
    // copy's rsync).
    if (mCredentials)
        mCredentials->applyTo(*process, mAccountName, true);
    else
        process->setChildProcessModifier([] { ::setpgid(0, 0); });
    if (!mEnvironment.isEmpty()) {
        QProcessEnvironment env;
        for (auto it = mEnvironment.cbegin(); it != mEnvironment.cend(); ++it)
            env.insert(it.key(), it.value());
        process->setProcessEnvironment(env);
    }
    if (!mAddedEnvironment.isEmpty()) {
        QProcessEnvironment env = process->processEnvironment();
        if (env.isEmpty())
            env = QProcessEnvironment::systemEnvironment();
        for (auto it = mAddedEnvironment.cbegin(); it != mAddedEnvironment.cend(); ++it)
            env.insert(it.key(), it.value());
        process->setProcessEnvironment(env);
    }
    if (mInput.isEmpty())
        process->setStandardInputFile(QProcess::nullDevice());
    mStallTimer.clear();
    if (mStallWatch.window().count() > 0) {
        mStallTimer = new QTimer(process);
        connect(mStallTimer, &QTimer::timeout, this, &FreeNasCommandExecuter::checkStall,
                Qt::DirectConnection);
    }
    connect(process, &QProcess::readyReadStandardOutput, this, &FreeNasCommandExecuter::receivedData,
            Qt::DirectConnection);
    connect(process, &QProcess::readyReadStandardError, this, &FreeNasCommandExecuter::receivedError,
            Qt::DirectConnection);
    connect(
        process, &QProcess::started, this,
        [this, process] {
            {
                QMutexLocker lock(&mPidLock);
                mProcessId = process->processId();
            }
            if (mStallTimer) {
                mStallWatch.start(pid_t(process->processId()), mCredentials, mAccountName);
                mStallTimer->start(mStallWatch.checkInterval());
            }
        },
        Qt::DirectConnection);
    connect(process, &QProcess::finished, this, &FreeNasCommandExecuter::childEnded, Qt::DirectConnection);
    connect(
        process, &QProcess::errorOccurred, this,
        [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                childEnded();
        },
        Qt::DirectConnection);
    process->start(mLaunchPath, mArguments);
    if (!mInput.isEmpty()) {
        // Written from this thread's loop as the child takes it; a child that did not start takes none.
        process->write(mInput);
        process->closeWriteChannel();
    }
}

void FreeNasCommandExecuter::stopProcess() {
    QMutexLocker lock(&mPidLock);
    if (mProcessId > 0) {
        ::kill(-pid_t(mProcessId), SIGKILL);
        ::kill(pid_t(mProcessId), SIGKILL);
    }
}

void FreeNasCommandExecuter::checkStall() {
    if (!mStallWatch.stalled())
        return;
    if (mStallTimer)
        mStallTimer->stop();
    mStallWatch.stop();
    mStalled = true;
    stopProcess();
}

void FreeNasCommandExecuter::receivedData() {
    QProcess* process = mTask;
    if (!process || sender() != process)
        return;
    const QByteArray bytes = process->readAllStandardOutput();
    mStallWatch.noteActivity();
    const QString text = mOutDecoder.decode(bytes);
    if (!text.isEmpty() && mController)
        mController->updateProgress(text, this);
}

void FreeNasCommandExecuter::receivedError() {
    QProcess* process = mTask;
    if (!process || sender() != process)
        return;
    const QByteArray bytes = process->readAllStandardError();
    if (bytes.isEmpty())
        return;
    mStallWatch.noteActivity();
    const QString text = mErrDecoder.decode(bytes);
    mSessionLogger->logSessionTrace(text, true);
    if (!text.isEmpty() && mController)
        mController->getError(text, this);
}

void FreeNasCommandExecuter::childEnded() {
    if (mTaskDidTerminate)
        return;
    mTaskDidTerminate = true;
    if (mStallTimer)
        mStallTimer->stop();
    mStallWatch.stop();
    {
        QMutexLocker lock(&mPidLock);
        mProcessId = 0;
    }
    if (QProcess* process = mTask)
        mExitCode =
            process->error() == QProcess::FailedToStart || process->exitStatus() == QProcess::CrashExit
                ? -1
                : process->exitCode();
    // Whatever is still in the pipes belongs to this run.
    if (QProcess* process = mTask) {
        const QString out = mOutDecoder.decode(process->readAllStandardOutput());
        if (!out.isEmpty() && mController)
            mController->updateProgress(out, this);
        const QByteArray errBytes = process->readAllStandardError();
        if (!errBytes.isEmpty()) {
            const QString err = mErrDecoder.decode(errBytes);
            mSessionLogger->logSessionTrace(err, true);
            if (!err.isEmpty() && mController)
                mController->getError(err, this);
        }
    }
    // QProcess reports the end only once the pipes are drained and closed: the output is complete.
    // Clean-up and completion happen on the main thread.
    QPointer<FreeNasCommandExecuter> self(this);
    QObject* main = QCoreApplication::instance();
    QMetaObject::invokeMethod(
        main ? main : this,
        [self] {
            if (self)
                self->cleanup();
        },
        Qt::QueuedConnection);
}

void FreeNasCommandExecuter::cleanup() {
    if (QProcess* process = mTask) {
        process->disconnect(this);
        process->deleteLater();
    }
    mTask.clear();
    mArguments.clear();
    mTaskDidTerminate = false;
    mIsProcessingStage = false;
    if (mController)
        mController->processFinishedOfEngine(this);
}
