#include "ChildProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace ChildProcess {

pid_t spawn(const QStringList& argv, const QString& stdoutFile, const QString& stderrFile) {
    if (argv.isEmpty())
        return -1;
    std::vector<QByteArray> args;
    for (const QString& a : argv)
        args.push_back(QFile::encodeName(a));
    std::vector<char*> raw;
    for (QByteArray& a : args)
        raw.push_back(a.data());
    raw.push_back(nullptr);
    const QByteArray out = QFile::encodeName(stdoutFile.isEmpty() ? QStringLiteral("/dev/null") : stdoutFile);
    const QByteArray err = QFile::encodeName(stderrFile.isEmpty() ? QStringLiteral("/dev/null") : stderrFile);
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Child: own process group, dies with the test.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int e = open(err.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0)
        dup2(in, 0);
    if (o >= 0)
        dup2(o, 1);
    if (e >= 0)
        dup2(e, 2);
    execvp(raw[0], raw.data());
    _exit(127);
}

bool isAlive(pid_t pid) {
    if (pid <= 0)
        return false;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid)
        return false; // it had ended; now reaped
    if (r < 0)
        return ::kill(pid, 0) == 0;
    return true;
}

void terminate(pid_t pid, int timeoutMs) {
    if (pid <= 0)
        return;
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            ::kill(-pid, SIGKILL); // stragglers of the group
            return;
        }
        QThread::msleep(10);
    }
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
}

int run(const QStringList& argv, QByteArray* out, QByteArray* err, int timeoutMs) {
    if (argv.isEmpty())
        return -1;
    QProcess process;
    process.start(argv.first(), argv.mid(1));
    if (!process.waitForStarted(10000))
        return -1;
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(3000);
        return -1;
    }
    if (out)
        *out = process.readAllStandardOutput();
    if (err)
        *err = process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace ChildProcess
