#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

// A stream of file-system changes for the whole disk, shaped after FSEvents with per-file events:
// only changes from the moment the stream is opened, coalesced for one latency and handed over as a
// batch of (path, flags) in the order the paths were first touched. Within one batch a path appears
// once with the flags of everything that happened to it; a rename gives the old path and then the new
// path, both flagged ItemRenamed. Batches and reports arrive on the stream's own thread.
class FileSystemEventStream {
  public:
    // The numbers are the FSEvents ones so a macOS stream can pass its flags through unchanged.
    enum Flag : quint32 {
        MustScanSubDirs = 0x00000001, // changes below this path were lost; look at it again
        UserDropped = 0x00000002,     // not seen by this process (a folder left unwatched)
        KernelDropped = 0x00000004,   // lost in the kernel (queue overflow)
        ItemCreated = 0x00000100,
        ItemRemoved = 0x00000200,
        ItemInodeMetaMod = 0x00000400, // mode, owner, times, extended attributes
        ItemRenamed = 0x00000800,
        ItemModified = 0x00001000,
        ItemIsFile = 0x00010000, // anything that is not a folder
        ItemIsDir = 0x00020000,
    };

    struct Event {
        QString path; // QFile::decodeName(nativePath)
        quint32 flags = 0;
        QByteArray nativePath; // the exact bytes; names that are not UTF-8 survive only here
    };

    // Something the stream could not do as asked. The daemon writes each one to its trace.
    struct Report {
        enum Kind {
            EventsLost,   // the kernel queue overflowed; a MustScanSubDirs event names where
            WatchLimit,   // folders could not be watched (inotify watch limit)
            PendingLimit, // too many distinct paths waited; the batch went out before its latency
            Notice,       // anything else worth a trace line (a file system that cannot be marked)
        };
        Kind kind = Notice;
        QString message;
    };

    // What the stream watches at the moment. Any thread may ask.
    struct Coverage {
        enum Scope {
            Nothing,   // not subscribed
            WholeDisk, // every local file system (fanotify, FSEvents)
            Folder,    // one folder with everything below it (inotify: the users folder)
        };
        Scope scope = Nothing;
        QString folder;                  // Folder: the folder; WholeDisk: the root reported ("/")
        qint64 foldersWatched = 0;       // folders with a watch of their own (inotify, also beside fanotify)
        qint64 fileSystemsMarked = 0;    // file systems with a whole-disk mark
        bool folderLimitReached = false; // folders were left unwatched at the watch limit
        QString fallbackReason;          // why the whole disk is not watched, when only a folder is
    };

    using BatchHandler = std::function<void(QList<Event>)>;
    using ReportHandler = std::function<void(const Report&)>;

    struct Options {
        // Only paths at or below root are reported. The daemon watches "/"; tests give a temporary
        // folder so that they see only their own changes.
        QString root = QStringLiteral("/");
        // The folder the inotify fallback watches when root is "/" (the profile's users folder).
        QString usersFolder = QStringLiteral("/home");
        // Distinct paths held back at most; reaching it delivers the batch at once.
        qsizetype maxPendingPaths = 65536;
    };

    virtual ~FileSystemEventStream() = default;

    // Subscribes (unless already subscribed) and starts the stream's thread. False when the
    // platform refuses; lastError() says why.
    virtual bool start(BatchHandler onBatch, ReportHandler onReport) = 0;
    // Stops the thread; pending changes are dropped. Safe to call more than once.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
    virtual QString lastError() const = 0;
    // "fanotify", "inotify", "fsevents".
    virtual QString backendName() const = 0;
    virtual Coverage coverage() const { return {}; }

    // The best stream this machine offers, subscribed but not started; latency is the
    // Timings::fileEventLatency the caller runs with. When the whole-disk stream is refused, the
    // reason goes to fallbackReason and the stream watches the users folder (or root, when root is
    // narrower than "/").
    static std::unique_ptr<FileSystemEventStream>
    create(std::chrono::milliseconds latency, const Options& options, QString* fallbackReason = nullptr);
};
