#pragma once

#include <QDBusConnection>
#include <QString>

#include <functional>

// Desktop notifications through the freedesktop notification service ("Notify" of
// org.freedesktop.Notifications) on the given bus: the session bus in the application, a private bus
// in tests. Sending never waits: a desktop without the service loses the notification, and the
// failure is reported to the trace.
class DesktopNotifier {
  public:
    using Trace = std::function<void(const QString& line)>;

    explicit DesktopNotifier(QDBusConnection bus, Trace trace = {});

    void setTrace(Trace trace) { mTrace = std::move(trace); }
    void notify(const QString& summary, const QString& body);

  private:
    QDBusConnection mBus;
    Trace mTrace;
};
