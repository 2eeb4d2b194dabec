#pragma once

#include "EventCoalescer.h"
#include "FileSystemEventStream.h"

#include <QThread>

#include <atomic>
#include <chrono>
#include <memory>

class QSocketNotifier;
class QTimer;

// What the Linux streams share: a kernel descriptor read on a thread of its own with an event loop,
// the latency timer, the per-path coalescing and the filter on the root folder. Subclasses open the
// descriptor and turn what they read into add() calls.
class DescriptorEventStream : public FileSystemEventStream {
  public:
    DescriptorEventStream(std::chrono::milliseconds latency, Options options);
    ~DescriptorEventStream() override;

    // Subscribes now, so that changes from this moment on are kept until start(). False with
    // lastError() when the kernel refuses.
    bool open();

    bool start(BatchHandler onBatch, ReportHandler onReport) override;
    void stop() override;
    bool isRunning() const override { return mThread != nullptr; }
    QString lastError() const override { return mError; }

    // Why this stream stands in for the whole-disk one (the factory's fallback reason), for coverage().
    void setFallbackReason(const QString& reason) { mFallbackReason = reason; }
    QString fallbackReason() const { return mFallbackReason; }

    // CPU time the stream's thread has used so far, and kernel events read; for the benchmark.
    std::chrono::nanoseconds cpuTime() const { return std::chrono::nanoseconds(mCpuNanos.load()); }
    quint64 eventsRead() const { return mEventsRead.load(); }

  protected:
    // Stops the thread and closes the descriptor. Subclasses call it from their destructor, while
    // their closeDescriptor() still runs.
    void shutdown();

    // Opens and subscribes the descriptor; -1 with error set when refused.
    virtual int openDescriptor(QString& error) = 0;
    // Releases what openDescriptor() set up besides the descriptor itself.
    virtual void closeDescriptor() {}
    // On the stream's thread before its loop runs (e.g. the first walk of a folder tree).
    virtual void prepare() {}
    // Reads what the descriptor has now; called when it is readable and before every flush.
    virtual void readAvailable() = 0;
    // Before a batch goes out: settle anything still waiting for its other half.
    virtual void beforeFlush() {}

    // Adds one change; paths outside the root are ignored. Delivers early at the pending limit.
    void add(const QByteArray& path, quint32 flags);
    // Marks the root (or path) for a rescan and reports why.
    void lost(const QByteArray& path, quint32 dropFlag, Report::Kind kind, const QString& message);
    void report(Report::Kind kind, const QString& message);
    bool underRoot(const QByteArray& path) const;
    void countRead(quint64 n) { mEventsRead.fetch_add(n, std::memory_order_relaxed); }

    int descriptor() const { return mFd; }
    bool isOpen() const { return mFd >= 0; }
    const QByteArray& rootNative() const { return mRoot; }
    const Options& options() const { return mOptions; }

  private:
    class Thread;
    void flush(bool drain);
    void sampleCpu();

    std::chrono::milliseconds mLatency;
    Options mOptions;
    QByteArray mRoot; // canonical root, native bytes
    QString mError;
    QString mFallbackReason;
    int mFd = -1;
    BatchHandler mOnBatch;
    ReportHandler mOnReport;
    EventCoalescer mCoalescer;
    std::unique_ptr<QThread> mThread;
    QTimer* mTimer = nullptr; // lives on the stream's thread
    bool mFlushing = false;
    QList<Report> mEarlyReports; // made before the thread runs, told when it does
    std::atomic<qint64> mCpuNanos{0};
    std::atomic<quint64> mEventsRead{0};
};
