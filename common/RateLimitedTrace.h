#pragma once

#include <QElapsedTimer>
#include <QMutex>
#include <QString>

// Trace lines that anyone at the screen can cause (a refused request, a request repeated): at most one
// per interval, the ones held back counted into the next, and what they quote cut short, so that
// nobody can rotate root's trace away by asking often or with long texts.
class RateLimitedTrace {
  public:
    explicit RateLimitedTrace(qint64 intervalMs = 60000) : mIntervalMs(intervalMs) {}

    // The line to write now, or "" to hold it back.
    QString admit(const QString& line) {
        QMutexLocker lock(&mLock);
        if (mLast.isValid() && mLast.elapsed() < mIntervalMs) {
            ++mHeldBack;
            return QString();
        }
        mLast.start();
        QString out = line;
        if (mHeldBack > 0)
            out += QStringLiteral(" (and %1 more like it since the last such line)").arg(mHeldBack);
        mHeldBack = 0;
        return out;
    }

    // text as a trace line may quote it: control characters shown as "?", at most maxLength characters.
    static QString quoted(const QString& text, qsizetype maxLength = 256) {
        QString out = text.left(maxLength);
        for (QChar& c : out)
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                c = u'?';
        if (text.size() > maxLength)
            out += QStringLiteral("… (%1 characters)").arg(text.size());
        return out;
    }

  private:
    QMutex mLock;
    qint64 mIntervalMs;
    QElapsedTimer mLast;
    qint64 mHeldBack = 0;
};
