#pragma once

#include <QDateTime>
#include <QHash>
#include <QString>

class BackupfileController;
class RSyncBackupManager;

// Counts what is not yet safe on the appliance, wherever it waits: in the change collector, in the
// backup lists of the list folder, in the run under way, and owed by runs that failed or stopped
// ("remainingFiles", and paths the manager still holds because the disk would not take them). Each
// carrier knows when its oldest change was queued: the collector by the clock, a list by its
// modification time (the collector and the manager give each list the time of its oldest change), the
// run by the lists it took. A path waiting in two lists counts twice.
//
// Lives on the thread of the backup manager (the main thread); measure() lists the list folder and
// reads a list only when it is new or has changed since it was last counted.
class PendingChanges {
  public:
    struct Snapshot {
        qint64 collected = 0;
        qint64 listed = 0;
        qint64 sending = 0;
        qint64 owed = 0;
        QDateTime oldest; // UTC; invalid when nothing waits
        QDateTime newest;
        qint64 total() const { return collected + listed + sending + owed; }
        bool operator==(const Snapshot&) const = default;
    };

    // manager may be null (no backup controller).
    PendingChanges(QString listFolder, const BackupfileController* collector,
                   const RSyncBackupManager* manager);

    Snapshot measure();

    // Lines of a list file (paths, empty lines not counted); -1 when it cannot be read.
    static qint64 countPaths(const QString& file);
    // Lists the manager writes back what a run owes ("remainingFiles", and one beside it).
    static bool isOwedList(const QString& name);

  private:
    struct Counted {
        qint64 size = -1;
        qint64 modifiedMs = 0;
        qint64 paths = 0;
    };
    QString mListFolder;
    const BackupfileController* mCollector;
    const RSyncBackupManager* mManager;
    QHash<QString, Counted> mCounted;
};
