#include "DaemonRestarter.h"

#include <QMutexLocker>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The signal handler only writes a byte; the exit runs on the event loop that reads it.
int gSignalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
}

} // namespace

DaemonRestarter::DaemonRestarter(ExitFunction exitFunction) : mExit(std::move(exitFunction)) {
    if (!mExit)
        mExit = [](int status) { ::_exit(status); };
}

void DaemonRestarter::addBeforeExitHook(std::function<void()> hook) {
    QMutexLocker lock(&mLock);
    mHooks.push_back(std::move(hook));
}

void DaemonRestarter::exitProcess(int status) {
    QMutexLocker exiting(&mExitLock);
    std::vector<std::function<void()>> hooks;
    {
        QMutexLocker lock(&mLock);
        hooks.swap(mHooks);
    }
    for (const auto& hook : hooks)
        hook();
    mExit(status);
}

void DaemonRestarter::exitOnTerminationSignals(int status) {
    if (gSignalPipe[0] >= 0 || ::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read); // lives until the exit
    QObject::connect(notifier, &QSocketNotifier::activated, [this, notifier, status] {
        char byte = 0;
        while (::read(gSignalPipe[0], &byte, 1) > 0) {
        }
        notifier->setEnabled(false);
        exitProcess(status);
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}
