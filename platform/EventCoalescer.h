#pragma once

#include "FileSystemEventStream.h"

#include <QByteArray>
#include <QHash>
#include <QList>

// Merges the events of one latency window: one entry per path, in the order the paths were first
// seen, carrying the union of their flags. Paths stay raw bytes until the batch is taken so that a
// storm costs one hash lookup per event and no text conversion.
class EventCoalescer {
  public:
    explicit EventCoalescer(qsizetype maxPaths) : mMaxPaths(maxPaths > 0 ? maxPaths : 1) {}

    // Adds one event. True when the number of distinct pending paths has reached the limit.
    bool add(const QByteArray& path, quint32 flags);

    bool isEmpty() const { return mEntries.isEmpty(); }
    qsizetype size() const { return mEntries.size(); }
    bool isFull() const { return mEntries.size() >= mMaxPaths; }
    qsizetype maxPaths() const { return mMaxPaths; }

    // The pending batch in first-seen order; the coalescer is empty afterwards.
    QList<FileSystemEventStream::Event> take();

  private:
    struct Entry {
        QByteArray path;
        quint32 flags;
    };
    qsizetype mMaxPaths;
    QList<Entry> mEntries;
    QHash<QByteArray, qsizetype> mIndex;
};
