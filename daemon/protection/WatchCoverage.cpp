#include "WatchCoverage.h"

#include <QMutexLocker>

void WatchCoverage::changed() {
    // Under the lock, so that an observer taken away is never called afterwards.
    if (mObserver)
        mObserver();
}

void WatchCoverage::setObserver(std::function<void()> observer) {
    QMutexLocker lock(&mLock);
    mObserver = std::move(observer);
}

void WatchCoverage::watching(const FileSystemEventStream* stream) {
    QMutexLocker lock(&mLock);
    mStream = stream;
    mWatching = stream != nullptr;
    mReason.clear();
    changed();
}

void WatchCoverage::notWatching(const QString& reason) {
    QMutexLocker lock(&mLock);
    mStream = nullptr;
    mWatching = false;
    mReason = reason;
    changed();
}

void WatchCoverage::report(const FileSystemEventStream::Report& report) {
    QMutexLocker lock(&mLock);
    if (report.kind == FileSystemEventStream::Report::EventsLost) {
        ++mLossGeneration;
        if (!mLostSince.isValid())
            mLostSince = QDateTime::currentDateTimeUtc();
        mLossMessage = report.message;
        changed();
    } else if (report.kind == FileSystemEventStream::Report::WatchLimit) {
        changed(); // the stream's coverage now says folders are left out
    }
}

void WatchCoverage::catchingUp(const QDateTime& since, const QString& why) {
    QMutexLocker lock(&mLock);
    mCatchUpSince = since.toUTC();
    mCatchUpReason = why;
    changed();
}

void WatchCoverage::caughtUp() {
    QMutexLocker lock(&mLock);
    if (!mCatchUpSince.isValid())
        return;
    mCatchUpSince = QDateTime();
    mCatchUpReason.clear();
    changed();
}

quint64 WatchCoverage::batchArrived(const QList<FileSystemEventStream::Event>& events) {
    constexpr quint32 lostHere =
        FileSystemEventStream::MustScanSubDirs | FileSystemEventStream::KernelDropped;
    for (const FileSystemEventStream::Event& event : events) {
        if ((event.flags & lostHere) == lostHere) {
            QMutexLocker lock(&mLock);
            return mLossGeneration;
        }
    }
    return 0;
}

void WatchCoverage::rescanned(quint64 generation) {
    QMutexLocker lock(&mLock);
    if (generation > mRescannedGeneration)
        mRescannedGeneration = generation;
    if (mLostSince.isValid() && mRescannedGeneration >= mLossGeneration) {
        mLostSince = QDateTime();
        mLossMessage.clear();
        changed();
    }
}

WatchCoverage::Snapshot WatchCoverage::snapshot() const {
    QMutexLocker lock(&mLock);
    Snapshot s;
    if (!mWatching || !mStream) {
        s.reason = mReason;
        return s;
    }
    const FileSystemEventStream::Coverage c = mStream->coverage();
    s.backend = mStream->backendName();
    s.folder = c.folder;
    s.folders = c.foldersWatched;
    s.fileSystems = c.fileSystemsMarked;
    s.limited = c.folderLimitReached;
    switch (c.scope) {
    case FileSystemEventStream::Coverage::Nothing:
        s.state = State::None;
        s.reason = mStream->lastError();
        return s;
    case FileSystemEventStream::Coverage::WholeDisk:
        s.state = State::Disk;
        break;
    case FileSystemEventStream::Coverage::Folder:
        s.state = State::Users;
        s.reason = c.fallbackReason;
        break;
    }
    if (mLostSince.isValid()) {
        s.state = State::Rescanning;
        s.lostSince = mLostSince;
        s.reason = mLossMessage;
    } else if (mCatchUpSince.isValid()) {
        s.state = State::Rescanning;
        s.lostSince = mCatchUpSince;
        s.reason = mCatchUpReason;
    }
    return s;
}
