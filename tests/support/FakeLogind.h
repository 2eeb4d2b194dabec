#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>
#include <QString>

// logind as far as the sleep delay goes, on a test bus: owns org.freedesktop.login1, answers
// Manager.Inhibit with one end of a pipe whose other end it keeps, so a test sees when every holder of
// the lock has closed it, and emits PrepareForSleep / PrepareForShutdown on request.
class FakeLogind : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
  public:
    struct Call {
        QString what, who, why, mode;
        int readEnd = -1; // the end the fake keeps
    };

    // connection: the fake's own connection to the bus (it takes the name on it).
    explicit FakeLogind(QDBusConnection connection, QObject* parent = nullptr);
    ~FakeLogind() override;

    bool isRegistered() const { return mRegistered; }
    // Inhibit answers with an error from now on.
    void setRefuse(bool refuse) { mRefuse = refuse; }

    QList<Call> calls() const { return mCalls; }
    int callCount() const { return int(mCalls.size()); }
    // Whether the lock handed out by call i is still held (some copy of its descriptor is open).
    bool isHeld(int i) const;
    // Locks handed out and still held.
    int heldCount() const;

    void announceSleep(bool starting) { emit PrepareForSleep(starting); }
    void announceShutdown(bool starting) { emit PrepareForShutdown(starting); }

  public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode);

  signals:
    void PrepareForSleep(bool start);
    void PrepareForShutdown(bool start);

  private:
    QDBusConnection mConnection;
    bool mRegistered = false;
    bool mRefuse = false;
    QList<Call> mCalls;
};
