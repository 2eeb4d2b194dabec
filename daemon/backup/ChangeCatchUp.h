#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

// Finds what changed in the person's folders while no watch covered them (the daemon stopped,
// restarted or was killed), so that a start sends only that instead of everything.
//
// A file counts as changed when its modification or status-change time is at or after the moment the
// last watch stopped covering it: the status-change time also moves when a file is renamed, moved in
// from elsewhere, linked or unpacked with an old modification time. A folder moved or renamed keeps
// the old times of what it holds, so the folders met are kept in a catalogue (device, inode and a hash
// of the path, per walk): a folder whose status changed since then and that the last walk did not
// know at this path is queued whole. The walk does not follow symbolic links, leaves excluded folders
// out and looks at every other entry once (one stat each).
class ChangeCatchUp {
  public:
    // Folders as the last walk met them: (device, inode) -> hash of the path.
    using Catalogue = QHash<QPair<quint64, quint64>, quint64>;

    struct Result {
        qint64 folders = 0;   // looked at
        qint64 files = 0;     // looked at
        qint64 queued = 0;    // paths handed to queue
        bool complete = true; // false: stopped before the end
    };
    struct Walk {
        QStringList roots;  // folders to walk, as they are filed
        qint64 sinceMs = 0; // changes at or after this time (ms since the epoch) count
        const Catalogue* known = nullptr;
        std::function<bool(const QString& path)> excluded;
        // When set, the entries whose name it accepts count instead of the changed ones, whatever their
        // times (a folder it accepts is queued whole); the others are only looked through.
        std::function<bool(const char* name)> named;
        std::function<void(const QString& path, const QByteArray& native)> queue;
        // When set, gets every file with more than one name (a hard link) the rules let through.
        std::function<void(quint64 device, quint64 inode, quint64 names, const QByteArray& native)> linked;
        const std::atomic<bool>* stop = nullptr;
    };

    // Walks the roots; met gets every folder seen (for the next walk's catalogue).
    static Result walk(const Walk& walk, Catalogue* met);

    static Catalogue load(const QString& path);
    // Owner-only, written atomically.
    static bool save(const QString& path, const Catalogue& catalogue, QString* error = nullptr);
    // A hash of a path that stays the same from one process to the next.
    static quint64 pathHash(const QByteArray& native);
};
