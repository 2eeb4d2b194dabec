#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>
#include <QThread>

#include <functional>

// The tests drive Qt event loops themselves: one application object for the whole test program.
inline void ensureApplication() {
    static int argc = 1;
    static char name[] = "platform_tests";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

// Runs the event loop until condition holds or timeoutMs passes; returns the condition.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

// Keeps the event loop turning for a while, to show that nothing (more) arrives.
inline void settle(int ms) {
    waitUntil([] { return false; }, ms);
}

// The notification peer process, driven through its standard input and read line by line.
class NotificationPeer {
  public:
    explicit NotificationPeer(QStringList arguments = {}) : mArguments(std::move(arguments)) {}
    ~NotificationPeer() {
        if (mProcess.state() != QProcess::NotRunning) {
            mProcess.closeWriteChannel();
            if (!mProcess.waitForFinished(3000))
                mProcess.kill();
            mProcess.waitForFinished(3000);
        }
    }

    bool start() {
        mProcess.setProgram(QStringLiteral(ZH_NOTIFICATION_PEER));
        mProcess.setArguments(mArguments);
        mProcess.setProcessChannelMode(QProcess::SeparateChannels);
        mProcess.start();
        return mProcess.waitForStarted(5000) && waitForLine(QStringLiteral("ready"));
    }

    void send(const QByteArray& command) {
        mProcess.write(command + '\n');
        mProcess.waitForBytesWritten(1000);
    }

    // Waits for a line equal to text (or starting with it when prefix is set).
    bool waitForLine(const QString& text, bool prefix = false, int timeoutMs = 10000) {
        return waitUntil(
                   [&] {
                       read();
                       for (const QString& line : mLines)
                           if (prefix ? line.startsWith(text) : line == text)
                               return true;
                       return mProcess.state() == QProcess::NotRunning;
                   },
                   timeoutMs) &&
               mProcess.state() != QProcess::NotRunning;
    }

    // Received notifications, as the peer reported them.
    QStringList received() {
        read();
        QStringList got;
        for (const QString& line : mLines)
            if (line.startsWith(QLatin1String("got ")))
                got << line.mid(4);
        return got;
    }

    QString errors() { return QString::fromUtf8(mProcess.readAllStandardError()); }
    void clear() { mLines.clear(); }

  private:
    void read() {
        mBuffer += mProcess.readAllStandardOutput();
        qsizetype end;
        while ((end = mBuffer.indexOf('\n')) >= 0) {
            mLines << QString::fromUtf8(mBuffer.left(end));
            mBuffer.remove(0, end + 1);
        }
    }

    QStringList mArguments;
    QProcess mProcess;
    QByteArray mBuffer;
    QStringList mLines;
};
