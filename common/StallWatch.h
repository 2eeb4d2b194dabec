#pragma once

#include "ChildCredentials.h"

#include <QString>

#include <chrono>
#include <optional>

#include <sys/types.h>

// Tells a child process (an rsync run against the appliance, and whatever it started in its process
// group) that still works from one that waits for an appliance that will never answer. rsync's own
// --timeout ends most stalls; this is the runner's own limit for the rest (an rsync that does not apply
// its timeout in every phase, a peer that keeps the connection but sends nothing).
//
// A child counts as working while it prints something, or while the processes of its group read
// anything at all (/proc/<pid>/io): an appliance reading its old copy of a large file for minutes
// sends checksums but nothing that rsync prints, and that is no stall. What they write does not count:
// an rsync sending to an appliance that froze mid-transfer goes on writing keep-alive messages into the
// connection's buffer, which takes them for ever, and its own --timeout takes those writes for life as
// well. Once neither has happened for the window, stalled() says so. The figures of a process running as
// another account are read with that account's file-system rights, as the kernel allows its owner (root needs
// no capability for it then).
class StallWatch {
  public:
    using Clock = std::chrono::steady_clock;

    // A window of zero (or less) never stalls.
    explicit StallWatch(std::chrono::milliseconds window = std::chrono::milliseconds(0));

    void setWindow(std::chrono::milliseconds window) { mWindow = window; }
    std::chrono::milliseconds window() const { return mWindow; }
    // How often the owner should call stalled(): a quarter of the window, at least 10 ms.
    std::chrono::milliseconds checkInterval() const;

    // Starts watching the process group led by group; account is whom its processes run as (none:
    // this process's own account).
    void start(pid_t group, const std::optional<ChildCredentials>& account = std::nullopt,
               const QString& accountName = QString());
    void stop();
    bool isWatching() const { return mGroup > 0; }

    // The child printed something.
    void noteActivity();
    // The owner stopped the child on purpose (SIGSTOP): no stall while it is held; the window starts
    // again when it is let go.
    void hold(bool held);

    // Whether the child has been silent and idle for the whole window. Cheap to call often: the
    // process figures are read at most once per checkInterval().
    bool stalled();

    // Bytes read so far by the processes of a group (/proc/<pid>/io, rchar);
    // -1 when none of them could be read. procRoot lets tests feed their own /proc.
    static qint64 groupInputOutput(pid_t group, const QString& procRoot = QStringLiteral("/proc"));

  private:
    qint64 readGroup() const;

    std::chrono::milliseconds mWindow;
    pid_t mGroup = 0;
    std::optional<ChildCredentials> mAccount;
    QString mAccountName;
    bool mHeld = false;
    Clock::time_point mLastActivity;
    Clock::time_point mLastSample;
    qint64 mLastFigures = -1;
};
