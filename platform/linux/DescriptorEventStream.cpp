#include "DescriptorEventStream.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <ctime>
#include <unistd.h>
#include <utility>

namespace {
constexpr std::chrono::milliseconds kReadPace{10};
}

class DescriptorEventStream::Thread : public QThread {
  public:
    explicit Thread(DescriptorEventStream* owner) : mOwner(owner) {}

  protected:
    void run() override {
        QSocketNotifier notifier(mOwner->mFd, QSocketNotifier::Read);
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        // After a read the descriptor rests a moment, so that a storm is read in large chunks
        // instead of one wake-up per event. The kernel queue holds far more than arrives meanwhile.
        QTimer pace;
        pace.setSingleShot(true);
        pace.setInterval(kReadPace);
        mOwner->mTimer = &timer;
        DescriptorEventStream* owner = mOwner;
        QObject::connect(&notifier, &QSocketNotifier::activated, [owner, &notifier, &pace] {
            owner->readAvailable();
            owner->sampleCpu();
            notifier.setEnabled(false);
            pace.start();
        });
        QObject::connect(&pace, &QTimer::timeout, [&notifier] { notifier.setEnabled(true); });
        QObject::connect(&timer, &QTimer::timeout, [owner] { owner->flush(true); });
        for (const Report& r : std::exchange(owner->mEarlyReports, {}))
            owner->report(r.kind, r.message);
        owner->prepare();
        // Changes found while subscribing wait for their latency like any other.
        if (!owner->mCoalescer.isEmpty())
            timer.start(owner->mLatency);
        owner->sampleCpu();
        exec();
        owner->sampleCpu();
        owner->mTimer = nullptr;
    }

  private:
    DescriptorEventStream* mOwner;
};

DescriptorEventStream::DescriptorEventStream(std::chrono::milliseconds latency, Options options)
    : mLatency(latency), mOptions(std::move(options)), mCoalescer(mOptions.maxPendingPaths) {
    // The kernel names paths the way they really are, so the filter must too (/tmp may be a link).
    const QString canonical = QFileInfo(mOptions.root).canonicalFilePath();
    mRoot = QFile::encodeName(canonical.isEmpty() ? mOptions.root : canonical);
    while (mRoot.size() > 1 && mRoot.endsWith('/'))
        mRoot.chop(1);
}

DescriptorEventStream::~DescriptorEventStream() {
    shutdown();
}

bool DescriptorEventStream::open() {
    if (mFd >= 0)
        return true;
    mError.clear();
    mFd = openDescriptor(mError);
    return mFd >= 0;
}

bool DescriptorEventStream::start(BatchHandler onBatch, ReportHandler onReport) {
    if (mThread)
        return true;
    // The thread's event loop needs the application object; without it nothing would ever arrive.
    if (!QCoreApplication::instance()) {
        mError = QStringLiteral("the file event stream needs a QCoreApplication");
        return false;
    }
    if (!open())
        return false;
    mOnBatch = std::move(onBatch);
    mOnReport = std::move(onReport);
    mThread = std::make_unique<Thread>(this);
    mThread->setObjectName(QStringLiteral("FileSystemEventStream"));
    mThread->start();
    return true;
}

void DescriptorEventStream::stop() {
    if (mThread) {
        mThread->quit();
        mThread->wait();
        mThread.reset();
    }
    if (mFd >= 0) {
        closeDescriptor();
        ::close(mFd);
        mFd = -1;
    }
    mCoalescer.take();
    mEarlyReports.clear();
}

void DescriptorEventStream::shutdown() {
    stop();
}

bool DescriptorEventStream::underRoot(const QByteArray& path) const {
    if (mRoot == "/")
        return true;
    return path.startsWith(mRoot) && (path.size() == mRoot.size() || path.at(mRoot.size()) == '/');
}

void DescriptorEventStream::add(const QByteArray& path, quint32 flags) {
    if (!underRoot(path))
        return;
    const bool wasEmpty = mCoalescer.isEmpty();
    const bool full = mCoalescer.add(path, flags);
    if (wasEmpty && mTimer)
        mTimer->start(mLatency);
    if (full && !mFlushing) {
        report(Report::PendingLimit,
               QStringLiteral("File events: %1 changed paths pending, delivering them early")
                   .arg(mCoalescer.size()));
        flush(false);
    }
}

void DescriptorEventStream::lost(const QByteArray& path, quint32 dropFlag, Report::Kind kind,
                                 const QString& message) {
    // The report comes first: adding may deliver the batch at once (pending limit), and whoever
    // follows the loss must have heard of it before the batch that asks for the rescan arrives.
    report(kind, message);
    add(path, MustScanSubDirs | dropFlag);
}

void DescriptorEventStream::report(Report::Kind kind, const QString& message) {
    if (!mThread)
        mEarlyReports.append(Report{kind, message});
    else if (mOnReport)
        mOnReport(Report{kind, message});
}

void DescriptorEventStream::flush(bool drain) {
    // Whatever the kernel already holds belongs to this window; reading it now also keeps the two
    // halves of a rename in one batch. An early delivery comes from inside a read and must not
    // read again.
    if (drain) {
        mFlushing = true;
        readAvailable();
        beforeFlush();
        mFlushing = false;
    }
    if (mTimer)
        mTimer->stop();
    if (mCoalescer.isEmpty())
        return;
    QList<Event> batch = mCoalescer.take();
    if (mOnBatch)
        mOnBatch(std::move(batch));
    sampleCpu();
}

void DescriptorEventStream::sampleCpu() {
    timespec ts{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) == 0)
        mCpuNanos.store(qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec, std::memory_order_relaxed);
}
