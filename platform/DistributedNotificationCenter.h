#pragma once

#include "NotificationObservers.h"

#include <Protocol.h>

#include <functional>
#include <memory>

class ConsoleUserSource;
class ServedPerson;

// Named notifications between processes, posted with no sender object. A payload is a dictionary
// whose values are strings or, as in "Progress", dictionaries of strings.
class DistributedNotificationCenter {
  public:
    using Handler = NotificationObservers::Handler;
    // Decides, by the sender's uid, whether a received notification is acted on.
    using SenderCheck = std::function<bool(uint uid)>;
    using TraceLogger = std::function<void(const QString& line)>;

    virtual ~DistributedNotificationCenter() = default;

    // Posts to every observer of name in every process, this one included. options is one of the
    // Protocol::Post… values. False, and nothing posted, for a payload that is not strings (or one
    // level of dictionaries of strings) or when the transport is down.
    virtual bool postNotification(const QString& name, const QVariantMap& userInfo = QVariantMap(),
                                  int options = Protocol::PostDeliverImmediatelyToAllSessions) = 0;
    // Like postNotification, but only processes of the local account uid (and root's, which may read
    // everything anyway) receive it: what names a person's files is not for every local user. Where
    // the transport cannot address processes, it posts to all.
    virtual bool postNotificationToUser(uint uid, const QString& name,
                                        const QVariantMap& userInfo = QVariantMap(),
                                        int options = Protocol::PostDeliverImmediatelyToAllSessions) {
        Q_UNUSED(uid)
        return postNotification(name, userInfo, options);
    }
    // handler runs on the thread observer lives in; a destroyed observer is forgotten.
    virtual void addObserver(QObject* observer, const QString& name, Handler handler) = 0;
    // An empty name removes every registration of the observer.
    virtual void removeObserver(QObject* observer, const QString& name = QString()) = 0;
    // Where refused senders, malformed notifications and failed posts are reported (one line each).
    virtual void setTraceLogger(TraceLogger logger) = 0;

    // The daemon acts on root and on the console user; the application on root alone.
    static SenderCheck rootOrConsoleUser(const ConsoleUserSource& consoleUser);
    // Root, and once the daemon serves a person, that person only: while the console changes hands
    // and the process has not ended yet, the next person's notifications do not reach the machinery
    // built for the previous one. Before anyone is served, the console user.
    static SenderCheck rootOrServedPerson(const ConsoleUserSource& consoleUser, const ServedPerson& served);
    static SenderCheck rootOnly();

    // The center of this platform on the machine-wide channel. check must stay valid (and what it
    // refers to alive) as long as the center.
    static std::unique_ptr<DistributedNotificationCenter> create(SenderCheck check);

    // Whether userInfo has the allowed shape: string values, or dictionaries of strings.
    static bool isValidPayload(const QVariantMap& userInfo);
};
