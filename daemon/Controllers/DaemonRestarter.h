#pragma once

#include <QMutex>
#include <QRecursiveMutex>

#include <functional>
#include <vector>

// The daemon's standing recovery: end the process with a status and let the supervisor start it
// again. Before the process ends, the hooks registered by the components run (for instance the change
// collector writes out what it still holds), so a planned restart loses nothing.
class DaemonRestarter {
  public:
    using ExitFunction = std::function<void(int status)>;

    // exitFunction ends the process; the default ends it at once without further clean-up. Tests pass
    // one that records the status and returns.
    explicit DaemonRestarter(ExitFunction exitFunction = ExitFunction());

    void addBeforeExitHook(std::function<void()> hook);
    // Runs the hooks once, then the exit function. May be called from any thread. A second trigger
    // while the first one's hooks run waits for them (the first one's exit then ends the process).
    void exitProcess(int status);
    // From now on SIGTERM and SIGINT (the supervisor's stop, a shutdown) end the process through
    // exitProcess(status) on the calling thread's event loop, so a stop is a planned exit too.
    void exitOnTerminationSignals(int status = 0);

  private:
    QMutex mLock;
    QRecursiveMutex mExitLock; // held for a whole exit; recursive for a hook that triggers again
    ExitFunction mExit;
    std::vector<std::function<void()>> mHooks;
};
