#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

// Desktop notifications through the freedesktop notification service ("Notify" of
// org.freedesktop.Notifications) on the given bus: the session bus in the application, a private bus
// in tests. Sending never waits: a desktop without the service loses the notification, and the
// failure is reported to the trace. A notification may offer actions (buttons the service shows);
// the one the person picks is run here ("ActionInvoked").
class DesktopNotifier : public QObject {
    Q_OBJECT
  public:
    using Trace = std::function<void(const QString& line)>;
    struct Action {
        QString key;   // what the service reports back
        QString label; // what the person reads
        std::function<void()> run;
    };

    explicit DesktopNotifier(QDBusConnection bus, Trace trace = {}, QObject* parent = nullptr);

    void setTrace(Trace trace) { mTrace = std::move(trace); }
    void notify(const QString& summary, const QString& body, const QList<Action>& actions = {});

  private slots:
    void actionInvoked(uint id, const QString& key);
    void closed(uint id, uint reason);

  private:
    QDBusConnection mBus;
    Trace mTrace;
    bool mListening = false;
    QHash<uint, QList<Action>> mActions; // by the id the service gave, until it is closed
};
