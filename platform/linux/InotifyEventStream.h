#pragma once

#include "DescriptorEventStream.h"

#include <QByteArray>
#include <QHash>

#include <atomic>
#include <vector>

struct inotify_event;

// The fallback when fanotify is refused: inotify on every folder below one folder (the users folder,
// or root when root is narrower than "/"). Folders are watched as they appear, and a folder that
// appears with content already in it (a copy of a whole tree) is scanned so that its files are
// reported as created too.
class InotifyEventStream : public DescriptorEventStream {
  public:
    InotifyEventStream(std::chrono::milliseconds latency, Options options = {});
    ~InotifyEventStream() override;

    QString backendName() const override { return QStringLiteral("inotify"); }
    Coverage coverage() const override;
    // The folder watched with everything below it.
    QString folder() const;

  protected:
    int openDescriptor(QString& error) override;
    void closeDescriptor() override;
    void readAvailable() override;
    void beforeFlush() override;

  private:
    void handle(const inotify_event* event);
    bool addWatch(const QByteArray& folder);
    void watchTree(const QByteArray& folder, bool reportContents);
    void moveTree(const QByteArray& from, const QByteArray& to);
    void forgetTree(const QByteArray& folder);
    void settleMove();

    QByteArray mFolder;
    int mFd = -1;                    // the descriptor while it is being set up
    QHash<int, QByteArray> mPaths;   // watch → folder
    QHash<QByteArray, int> mWatches; // folder → watch
    // A folder's move out of its place, waiting for the move into the new one.
    struct {
        bool active = false;
        quint32 cookie = 0;
        QByteArray path;
    } mMove;
    bool mDrained = true;
    bool mLimitReported = false;
    void countWatches() { mWatchCount.store(mWatches.size(), std::memory_order_relaxed); }
    std::atomic<qint64> mWatchCount{0}; // mWatches.size(), for coverage() on any thread
    std::atomic<bool> mLimitReached{false};
    std::atomic<bool> mOpen{false};
    std::vector<char> mBuffer;
};
