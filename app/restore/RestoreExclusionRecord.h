#pragma once

#include "FilePathsController.h"

#include <QHash>
#include <QString>
#include <QStringList>

class DistributedNotificationCenter;
class RezodeLoger;

// The items a restore keeps out of the backup while it writes them. Each goes into the person's
// exclusion list ("InitialExcludeList.txt", as the exclusion editor keeps it) and into a small record
// of the application's own ("RestoreExclusions.plist" beside it, owner-only, written atomically) before
// the list: whatever ends the application, the record names what only it may lift. The restore lifts
// an item when it is done with it, the window's end lifts what is left, and the next start of the
// application lifts what an application killed mid-restore left behind. An entry the person made
// themselves is never added, recorded or lifted.
//
// Each lift tells the daemon with "Exclude" "Type" "1", as the editor and "Stop Excluding It" do, so
// the daemon queues the lifted item for backup; the exclusion is announced with "Type" "2".
//
// Used on the application's main thread (the exclusion editor writes the same list there).
class RestoreExclusionRecord {
  public:
    // userName: whose support folder holds the lists ("" = the account running the application).
    RestoreExclusionRecord(const PlatformProfile& profile, const QString& userName,
                           DistributedNotificationCenter* center, RezodeLoger* trace);

    // Keeps path out of the backup for a restore. False when nothing was added: the person's own list
    // already holds it (theirs, left alone), or the list or the record cannot be written (a restore
    // goes on without it rather than leave an exclusion nothing could lift).
    bool exclude(const QString& path);
    // A restore is done with path: lifted once no restore of this record holds it any more.
    void release(const QString& path);
    // Lifts every exclusion the record names, this run's or one an earlier run left behind; the paths
    // lifted.
    QStringList liftAll();

    // The restores of this record that still hold path.
    int holds(const QString& path) const { return mHolds.value(path); }
    // What the record file names.
    QStringList recorded() const;
    QString recordPath() const;

  private:
    QString listPath() const;
    bool writeRecord(const QStringList& paths, QString* error) const;
    // Takes paths (all recorded) off the list, tells the daemon, then off the record.
    QStringList lift(const QStringList& paths);
    void log(const QString& line) const;

    FilePathsController mPaths;
    DistributedNotificationCenter* mCenter;
    RezodeLoger* mTrace;
    QHash<QString, int> mHolds; // restores of this record holding each path
};
