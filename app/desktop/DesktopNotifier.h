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

    // What was sent last (the screenshots show it).
    QString lastSummary() const { return mLastSummary; }
    QString lastBody() const { return mLastBody; }

  private:
    QDBusConnection mBus;
    Trace mTrace;
    QString mLastSummary, mLastBody;
};
