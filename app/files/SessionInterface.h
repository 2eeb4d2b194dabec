#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QLatin1String>
#include <QObject>
#include <QStringList>

class FileManagerRequests;

// The application on the person's session bus, the way desktop programs offer themselves to others:
// the name org.zorvikhollin.ZorvikHollin, the object /org/zorvikhollin/ZorvikHollin, and methods that
// open Versions…, Check a File… and Back Up Now for files and folders. Each takes the items as absolute
// paths or "file://" URIs (a URI carries any name, also one that is not UTF-8) and returns what it
// refused, one line an item. The name is D-Bus activatable (the session bus starts the application for
// a call when it does not run), which is how the file managers' entries reach it.
class SessionInterface : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.zorvikhollin.ZorvikHollin")
  public:
    static constexpr QLatin1String ServiceName{"org.zorvikhollin.ZorvikHollin"};
    static constexpr QLatin1String ObjectPath{"/org/zorvikhollin/ZorvikHollin"};
    static constexpr QLatin1String InterfaceName{"org.zorvikhollin.ZorvikHollin"};

    SessionInterface(FileManagerRequests& requests, QDBusConnection bus, QObject* parent = nullptr);
    ~SessionInterface() override;

    // Serves the object and takes the name; false (and why) when either failed.
    bool serve(QString* error = nullptr);

  public slots:
    Q_SCRIPTABLE QStringList ShowVersions(const QStringList& items);
    Q_SCRIPTABLE QStringList CheckFiles(const QStringList& items);
    Q_SCRIPTABLE QStringList BackUpNow(const QStringList& items);

  private:
    // Only the person's own programs ask (a session bus is theirs; a bus shared otherwise is not).
    bool callerIsThePerson();

    FileManagerRequests& mRequests;
    QDBusConnection mBus;
    bool mServing = false;
};
