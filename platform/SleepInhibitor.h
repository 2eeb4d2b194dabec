#pragma once

#include <QString>

#include <functional>
#include <memory>

// Holds off the machine's sleep and shutdown for a moment, the way the platform lets a program finish
// what it is doing: a *delay* lock only, never one that blocks. The system announces a coming sleep or
// shutdown to every program; while a delay lock is held it waits for its release, up to its own limit,
// and then goes on regardless. On Linux this is logind's Inhibit("sleep:shutdown", …, "delay") on the
// system bus; on macOS it would be IORegisterForSystemPower with IOAllowPowerChange.
class SleepInhibitor {
  public:
    enum class Kind { Sleep, Shutdown };
    // kind is coming (starting true), or is over / was called off (starting false).
    using AnnounceHandler = std::function<void(Kind kind, bool starting)>;
    using TraceLogger = std::function<void(const QString& line)>;

    virtual ~SleepInhibitor() = default;

    // Asks for the delay lock with the reason the system shows for it (systemd-inhibit --list). The
    // answer may come later; isHeld() turns true once the lock is granted. Asking again while asked or
    // held changes nothing.
    virtual void acquire(const QString& why) = 0;
    // Lets go of the lock (or of the request, should the answer still be on its way).
    virtual void release() = 0;
    // The lock is granted and held.
    virtual bool isHeld() const = 0;
    // The lock is asked for or held.
    virtual bool isRequested() const = 0;

    // Announcements of coming sleeps and shutdowns go to handler, on the thread that created the
    // inhibitor. False, with the reason in error, when the platform cannot tell.
    virtual bool watch(AnnounceHandler handler, QString* error = nullptr) = 0;

    // Where refusals and a lost connection are reported (one line each, the same one once).
    virtual void setTraceLogger(TraceLogger logger) = 0;

    // The platform's own: logind on the system bus here.
    static std::unique_ptr<SleepInhibitor> create();
};
