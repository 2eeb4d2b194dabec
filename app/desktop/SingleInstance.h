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

    // "$XDG_RUNTIME_DIR/ZorvikHollin.instance", or "ZorvikHollin-<uid>" (in the temporary folder) when
    // the session has no runtime folder.
    static QString defaultName();

    // True when an instance serves the name and has taken the request to come forward.
    bool askRunningInstanceToRaise(int timeoutMs = 3000);
    // Serves the name from now on; a socket left behind by an instance that is gone is replaced.
    bool listen(QString* error = nullptr);

  signals:
    void raiseRequested();

  private:
    QString mName;
    QLocalServer* mServer = nullptr;
};
