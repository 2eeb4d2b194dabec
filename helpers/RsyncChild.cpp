#include "RsyncChild.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t gChild = 0;

void forwardSignal(int signal) {
    if (gChild > 0)
        ::kill(static_cast<pid_t>(gChild), signal);
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Reads what is there; false at end of stream or on a read error.
bool drain(int fd, const RsyncChild::Sink& sink) {
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            sink(std::string(buffer, static_cast<std::size_t>(n)));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

} // namespace

std::string RsyncChild::program() {
    if (::access("/usr/bin/rsync", X_OK) == 0)
        return "/usr/bin/rsync";
    return "rsync";
}

int RsyncChild::run(const std::string& program, const std::vector<std::string>& args,
                    const std::string& input, const Sink& onOutput, const Sink& onError, std::string* error) {
    int inPipe[2], outPipe[2], errPipe[2], execPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0 ||
        ::pipe2(errPipe, O_CLOEXEC) != 0 || ::pipe2(execPipe, O_CLOEXEC) != 0) {
        if (error)
            *error = std::string("cannot create pipes: ") + std::strerror(errno);
        return 127;
    }

    std::vector<std::string> argv;
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (std::string& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);

    // Signals arriving between fork and the recording of the pid would be lost: hold them.
    sigset_t forwarded, previous;
    sigemptyset(&forwarded);
    sigaddset(&forwarded, SIGTERM);
    sigaddset(&forwarded, SIGINT);
    sigaddset(&forwarded, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &forwarded, &previous);
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127); // the adapter died before the request was in place
        struct sigaction defaults {};
        defaults.sa_handler = SIG_DFL;
        for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
            ::sigaction(s, &defaults, nullptr);
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        ::dup2(inPipe[0], 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (program.find('/') != std::string::npos)
            ::execv(program.c_str(), raw.data());
        else
            ::execvp(program.c_str(), raw.data());
        const int code = errno;
        (void)!::write(execPipe[1], &code, sizeof code);
        ::_exit(127);
    }
    if (pid < 0) {
        const int code = errno;
        ::sigprocmask(SIG_SETMASK, &previous, nullptr);
        for (int* p : {inPipe, outPipe, errPipe, execPipe}) {
            closeFd(p[0]);
            closeFd(p[1]);
        }
        if (error)
            *error = std::string("cannot start rsync: ") + std::strerror(code);
        return 127;
    }
    gChild = pid;
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);

    closeFd(inPipe[0]);
    closeFd(outPipe[1]);
    closeFd(errPipe[1]);
    closeFd(execPipe[1]);

    int execError = 0;
    ssize_t got;
    do
        got = ::read(execPipe[0], &execError, sizeof execError);
    while (got < 0 && errno == EINTR);
    closeFd(execPipe[0]);

    int inFd = inPipe[1];
    int outFd = outPipe[0];
    int errFd = errPipe[0];
    for (int fd : {inFd, outFd, errFd})
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::size_t written = 0;
    if (input.empty() || got > 0)
        closeFd(inFd);

    int status = 0;
    bool exited = false;
    while (outFd >= 0 || errFd >= 0) {
        pollfd fds[3];
        nfds_t count = 0;
        for (int fd : {outFd, errFd})
            if (fd >= 0)
                fds[count++] = {fd, POLLIN, 0};
        if (inFd >= 0)
            fds[count++] = {inFd, POLLOUT, 0};
        // A grandchild of rsync could keep a pipe open after rsync ended: look at rsync now and then.
        const int ready = ::poll(fds, count, exited ? 0 : 200);
        if (ready < 0 && errno != EINTR)
            break;
        for (nfds_t i = 0; i < count; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == inFd) {
                const ssize_t n = ::write(inFd, input.data() + written, input.size() - written);
                if (n > 0)
                    written += static_cast<std::size_t>(n);
                if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                    closeFd(inFd); // rsync stopped reading (it failed early) or all is sent
            } else if (fds[i].fd == outFd) {
                if (!drain(outFd, onOutput))
                    closeFd(outFd);
            } else if (fds[i].fd == errFd) {
                if (!drain(errFd, onError))
                    closeFd(errFd);
            }
        }
        if (exited) {
            // rsync is gone and what it wrote has been read.
            closeFd(outFd);
            closeFd(errFd);
        } else if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
        }
    }
    closeFd(inFd);
    closeFd(outFd);
    closeFd(errFd);
    if (!exited) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    gChild = 0;

    if (got > 0) {
        if (error)
            *error = "cannot run " + program + ": " + std::strerror(execError);
        return 127;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}
