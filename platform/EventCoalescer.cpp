#include "EventCoalescer.h"

#include <QFile>

bool EventCoalescer::add(const QByteArray& path, quint32 flags) {
    auto it = mIndex.constFind(path);
    if (it != mIndex.constEnd()) {
        mEntries[it.value()].flags |= flags;
    } else {
        mIndex.insert(path, mEntries.size());
        mEntries.append(Entry{path, flags});
    }
    return isFull();
}

QList<FileSystemEventStream::Event> EventCoalescer::take() {
    QList<FileSystemEventStream::Event> batch;
    batch.reserve(mEntries.size());
    for (Entry& e : mEntries)
        batch.append(FileSystemEventStream::Event{QFile::decodeName(e.path), e.flags, std::move(e.path)});
    mEntries.clear();
    mIndex.clear();
    // Give back what a storm grew, so memory follows the current load.
    if (mEntries.capacity() > 4096) {
        mEntries.squeeze();
        mIndex.squeeze();
    }
    return batch;
}
