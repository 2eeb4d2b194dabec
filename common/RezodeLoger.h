#pragma once

#include <QDateTime>
#include <QMutex>
#include <QString>

#include <functional>

// Writes timestamped trace lines: the main trace (the daemon trace or the application's interactive
// trace) and the session logs of backups. Lines are buffered and written when a caller asks for a
// flush or a buffer grows large. Every operation of one logger is serialised by a logger-wide lock.
// A null message (QString()) is "no message"; an empty one still triggers the flush.
class RezodeLoger {
  public:
    using Clock = std::function<QDateTime()>;

    static constexpr qsizetype MainTraceThreshold = 511999;   // flush when the buffer is longer
    static constexpr qsizetype SessionTraceThreshold = 51200; // flush from this length on
    static constexpr qint64 SessionLogRolloverSize = 5038458; // a session log this large is full
    // The main trace past this size is moved aside to "<name>.1" (replacing the older one) before
    // the next write, so at most two files of it exist.
    static constexpr qint64 MainTraceRotateSize = 4 * 1024 * 1024;

    explicit RezodeLoger(Clock clock = Clock());
    ~RezodeLoger();
    RezodeLoger(const RezodeLoger&) = delete;
    RezodeLoger& operator=(const RezodeLoger&) = delete;

    // The daemon's shared logger.
    static RezodeLoger& progressLogger();

    void setLogWritePath(const QString& path);
    // owner: the account whose session logs these are. The folder and the files are then made and
    // appended to with that account's rights only (the daemon writes into a user's home as root);
    // empty: with the rights of the calling thread.
    void setSessionLogWritePath(const QString& folder, const QString& owner = QString());

    // Called with every message of the main trace as it is logged (the daemon mirrors its trace into
    // the system journal); none by default.
    using Mirror = std::function<void(const QString& message)>;
    void setTraceMirror(Mirror mirror);

    void logDaemonTrace(const QString& message, bool flush);
    void logInteractiveTrace(const QString& message, bool flush) { logDaemonTrace(message, flush); }
    void logSessionTrace(const QString& message, bool flush);
    void logSessionTraceWithoutTimeStamp(const QString& message, bool flush);

    QString sessionLogWritePath() const;
    QString sessionLogCurrentWriteFile() const;

    // "EE MMM dd yyyy hh:mm:ss a" in the current locale and time zone.
    static QString traceTimestamp(const QDateTime& when);
    // "<folder>/Backup dd.MM.YY_hh.mm.ss.txt".
    static QString sessionLogFileName(const QString& folder, const QDateTime& when);
    // timestamp + " : " + message + " \n".
    static QString traceLine(const QString& message, const QDateTime& when);

  private:
    QDateTime now() const;
    void writeSessionFile(const QString& text);

    Clock mClock;
    mutable QMutex mLoggerLock; // the logger-wide lock
    QMutex mLock;               // guards mDaemonTraceMsgs
    QMutex mPLock;              // guards mSessionTraceMsgs in the plain-append session operation
    QString mDaemonTraceMsgs;
    QString mLogWritePath;
    QString mSessionTraceMsgs;
    QString mSessionLogWritePath;
    QString mSessionLogCurrentWriteFile;
    QString mSessionLogOwner;
    Mirror mMirror;
};

// Appends text to the file at path, creating it when missing. Does nothing for a missing path or an
// empty text; failures are ignored.
void writeToFile(const QString& path, const QString& text);
