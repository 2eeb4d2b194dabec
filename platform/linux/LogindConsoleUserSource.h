#pragma once

#include "ConsoleUserSource.h"

class QSocketNotifier;
struct sd_login_monitor;

// The console user from systemd-logind: the active session of "seat0". A greeter session, no active
// session, or no logind at all reads as "loginwindow". Changes come from sd_login_monitor on a
// QSocketNotifier of the watching thread. Destroy it on that thread, or after that thread ended.
class LogindConsoleUserSource : public ConsoleUserSource {
  public:
    LogindConsoleUserSource() = default;
    ~LogindConsoleUserSource() override;
    LogindConsoleUserSource(const LogindConsoleUserSource&) = delete;
    LogindConsoleUserSource& operator=(const LogindConsoleUserSource&) = delete;

    QString currentUserName() const override;
    bool watch(ChangeHandler handler, QString* error = nullptr) override;

  private:
    void monitorActivated();

    sd_login_monitor* mMonitor = nullptr;
    QSocketNotifier* mNotifier = nullptr;
    ChangeHandler mHandler;
    QString mLastName; // touched only on the watching thread
};
