#include "FreeNasCommandExecuter.h"

#include "RezodeLoger.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>

FreeNasCommandExecuter::FreeNasCommandExecuter(FreeNasCommandExecuterController* controller,
                                               RezodeLoger* sessionLogger, std::chrono::milliseconds grace)
    : controller(controller), mSessionLogger(sessionLogger ? sessionLogger : &RezodeLoger::progressLogger()),
      mGrace(grace) {}

FreeNasCommandExecuter::~FreeNasCommandExecuter() {
    if (task) {
        task->disconnect(this);
        task->kill();
        task->waitForFinished(1000);
        delete task;
    }
}

qint64 FreeNasCommandExecuter::processId() const {
    QMutexLocker lock(&mPidLock);
    return mProcessId;
}

void FreeNasCommandExecuter::startProcess() {
    mIsProcessingStage = true;
    taskDidTerminate = false;
    mOutDecoder.resetState();
    mErrDecoder.resetState();

    // The process object lives on the starting thread, so its output is delivered there.
    auto* process = new QProcess();
    task = process;
    if (!mEnvironment.isEmpty()) {
        QProcessEnvironment env;
        for (auto it = mEnvironment.cbegin(); it != mEnvironment.cend(); ++it)
            env.insert(it.key(), it.value());
        process->setProcessEnvironment(env);
    }
    process->setStandardInputFile(QProcess::nullDevice());
    connect(process, &QProcess::readyReadStandardOutput, this, &FreeNasCommandExecuter::receivedData,
            Qt::DirectConnection);
    connect(process, &QProcess::readyReadStandardError, this, &FreeNasCommandExecuter::receivedError,
            Qt::DirectConnection);
    connect(
        process, &QProcess::started, this,
        [this, process] {
            QMutexLocker lock(&mPidLock);
            mProcessId = process->processId();
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
}

void FreeNasCommandExecuter::stopProcess() {
    QMutexLocker lock(&mPidLock);
    if (mProcessId > 0)
        ::kill(pid_t(mProcessId), SIGKILL);
}

void FreeNasCommandExecuter::receivedData() {
    QProcess* process = task;
    if (!process || sender() != process)
        return;
    const QByteArray bytes = process->readAllStandardOutput();
    const QString text = mOutDecoder.decode(bytes);
    if (!text.isEmpty() && controller)
        controller->updateProgress(text, this);
}

void FreeNasCommandExecuter::receivedError() {
    QProcess* process = task;
    if (!process || sender() != process)
        return;
    const QByteArray bytes = process->readAllStandardError();
    if (bytes.isEmpty())
        return;
    const QString text = mErrDecoder.decode(bytes);
    mSessionLogger->logSessionTrace(text, true);
    if (!text.isEmpty() && controller)
        controller->getError(text, this);
}

void FreeNasCommandExecuter::childEnded() {
    if (taskDidTerminate)
        return;
    taskDidTerminate = true;
    {
        QMutexLocker lock(&mPidLock);
        mProcessId = 0;
    }
    // Whatever is still in the pipes belongs to this run.
    if (QProcess* process = task) {
        const QString out = mOutDecoder.decode(process->readAllStandardOutput());
        if (!out.isEmpty() && controller)
            controller->updateProgress(out, this);
        const QByteArray errBytes = process->readAllStandardError();
        if (!errBytes.isEmpty()) {
            const QString err = mErrDecoder.decode(errBytes);
            mSessionLogger->logSessionTrace(err, true);
            if (!err.isEmpty() && controller)
                controller->getError(err, this);
        }
    }
    // The grace time runs on the starting thread; clean-up and completion happen on the main thread.
    QPointer<FreeNasCommandExecuter> self(this);
    QTimer::singleShot(mGrace, task.data(), [self] {
        QObject* main = QCoreApplication::instance();
        QMetaObject::invokeMethod(
            main ? main : self.data(),
            [self] {
                if (self)
                    self->cleanup();
            },
            Qt::QueuedConnection);
    });
}

void FreeNasCommandExecuter::cleanup() {
    if (QProcess* process = task) {
        process->disconnect(this);
        process->deleteLater();
    }
    task.clear();
    mArguments.clear();
    taskDidTerminate = false;
    mIsProcessingStage = false;
    if (controller)
        controller->processFinishedOfEngine(this);
}
