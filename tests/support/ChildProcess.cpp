#include "ChildProcess.h"

#include <QDeadlineTimer>
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

bool pollUntil(const std::function<bool()>& condition, int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return condition();
        QThread::msleep(10);
    }
    return true;
}

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
    const auto target = [](const QString& file) {
        return QFile::encodeName(file.isEmpty() ? QStringLiteral("/dev/null") : file);
    };
    const QByteArray out = target(stdoutFile), err = target(stderrFile);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Child: own process group, dies with the test.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
    dup2(open(err.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644), 2);
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
    return r >= 0 || ::kill(pid, 0) == 0;
}

void terminate(pid_t pid, int timeoutMs) {
    if (pid <= 0)
        return;
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    const auto reaped = [pid] {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        return r == pid || (r < 0 && errno == ECHILD);
    };
    if (!pollUntil(reaped, timeoutMs)) {
        ::kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    ::kill(-pid, SIGKILL); // stragglers of the group
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
