#include "DaemonRestarter.h"

#include <QMutexLocker>

#include <unistd.h>

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
