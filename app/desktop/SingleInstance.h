#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One application per user. The first start serves a local socket named for the user; a second start
// asks it to come to the front (its status or log-in window) and ends.
class SingleInstance : public QObject {
    Q_OBJECT
  public:
    explicit SingleInstance(QString name, QObject* parent = nullptr);
    ~SingleInstance() override;

    // "$XDG_RUNTIME_DIR/ZorvikHollin.instance"; without a runtime folder a name in the person's home,
    // and only where the home's path is too long for a socket "ZorvikHollin-<uid>" (in the temporary
    // folder).
    static QString defaultName();

    // True when an instance of this account serves the name and has taken the request to come forward
    // (whoever else answers at the name is not listened to).
    bool askRunningInstanceToRaise(int timeoutMs = 3000);
    // Serves the name from now on; a socket left behind by an instance that is gone is replaced.
    bool listen(QString* error = nullptr);

  signals:
    void raiseRequested();

  private:
    QString mName;
    QLocalServer* mServer = nullptr;
};
