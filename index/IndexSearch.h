#pragma once

#include <QList>
#include <QString>

#include <chrono>

// The read side of the local index, for the application: a substring search of an account's master
// ("<account folder>/<account>.zx"), opened read-only (never created) and never through a symlink.
// Hits come in pages of a size the caller chooses, in path order; the next page starts after the last
// path of the one before. A master that a merge holds locked is waited for (lockWait), then reported
// as Locked, which the caller can tell apart from a search without hits.
class IndexSearch {
  public:
    enum class Status {
        Ok,         // the query ran; hits may be empty
        Locked,     // the daemon held the master longer than lockWait
        CannotOpen, // no master yet, not readable, or no index table in it
        Failed,     // any other SQLite error (see error)
    };

    struct Hit {
        QString name; // FILEPATH: per-machine folder, "/", the path below it
        QString size; // FILE_SIZE as text
        QString lmd;  // FILE_LMD, "yyyy-MM-dd HH:mm:ss +0000"
        bool folder = false;
    };

    struct Page {
        Status status = Status::CannotOpen;
        QList<Hit> hits;
        bool more = false; // more hits follow the last one (ask again with after = hits.last().name)
        QString error;     // SQLite's message when status is not Ok
    };

    static constexpr int DefaultLimit = 500;
    static constexpr std::chrono::milliseconds DefaultLockWait{3000};

    // Paths that contain text (ASCII letters without regard to case; "%", "_" and "\" stand for
    // themselves), greater than after in path order, at most limit of them (1 at least). An empty
    // text matches every row, a page at a time like any other.
    static Page search(const QString& masterPath, const QString& text, int limit = DefaultLimit,
                       const QString& after = QString(),
                       std::chrono::milliseconds lockWait = DefaultLockWait);

    // "<folder>/<account>.zx".
    static QString masterPath(const QString& accountFolder, const QString& account);
};
