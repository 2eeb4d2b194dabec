#pragma once

#include "DaemonServices.h"
#include "ExclusionRules.h"
#include "FilePathsController.h"

#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

#include <shared_mutex>

class BackupfileController;

// Decides which paths are not backed up: fixed rules for temporary and foreign files, the user's
// excluded folders, the user's name patterns ("*.iso", shell-style, matched against the last
// component of a path) and the Time Machine destinations. Asked from many threads at once; a list
// being rebuilt is swapped in whole, so a reader never sees it half-filled.
class ExcludeManager : public QObject {
    Q_OBJECT
  public:
    // collector receives the folders the user stops excluding (may be null).
    ExcludeManager(DaemonServices services, BackupfileController* collector);
    ~ExcludeManager() override;

    void setConsoleUserName(const QString& name);
    void addTimeMachineDestinationToExcludeList(const QString& path);

    // Fixed rules, then both lists, then the name patterns.
    bool isExcludeTheFile(const QString& path) const;
    // Whether path lies under an entry of either list (plain prefix), or is "/".
    bool hasInInitialExcludeList(const QString& path) const;
    // Whether the last component of path matches one of the user's name patterns.
    bool matchesNamePattern(const QString& path) const;
    // The user's name patterns.
    QStringList namePatterns() const;
    // Every rule as rsync exclude rules, for rsync to leave out what they match inside the folders it
    // sends whole.
    QStringList rsyncExcludes() const;
    // On "Exclude": reloads the user's list and patterns; with "Type" "1" the folders that left the
    // list are queued and the patterns that left are announced (namePatternsLifted).
    void receiveExcludeNotification(const QVariantMap& userInfo);

    // From now on the person's list and patterns are remembered in recordPath (root's, rewritten on
    // every change): what left them since the record was last written, while no daemon heard of it (a
    // restore's entry lifted during a restart), is owed now, as on "Exclude" "Type" "1".
    void catchUpOnRecord(const QString& recordPath);

    // Which rule excludes path (the same order as isExcludeTheFile), or none.
    ExclusionRules::Match whyExcluded(const QString& path) const;

    // Which fixed rule (1-based) excludes path, 0 for none.
    static int builtInRuleFor(const QString& path);

  signals:
    // The person took these name patterns off: what they kept out is owed now. Emitted on the thread
    // the notification arrived on.
    void namePatternsLifted(const QList<QByteArray>& patterns);

  private:
    // Swaps the person's patterns in; returns the ones that were there before.
    QList<QByteArray> loadNamePatterns();
    // Queues the folders of before that left the list and announces the patterns that left.
    void owedSince(const QSet<QString>& before, const QList<QByteArray>& patternsBefore);
    void saveRecord();

    DaemonServices mServices;
    BackupfileController* mCollector;
    FilePathsController mAppSupportFilePathsObjct;
    QString mConsoleUser;
    QStringList mHomeNames; // the person's home under every name; no list entry excludes it whole
    mutable std::shared_mutex mPLock;
    QSet<QString> mExcludeList;
    mutable std::shared_mutex mTLock;
    QSet<QString> mTimeMachineDestinationsExclude;
    mutable std::shared_mutex mPatternLock;
    QList<QByteArray> mNamePatterns; // as the file system spells names, for fnmatch
    QMutex mRecordLock;
    QString mRecordPath; // "" until catchUpOnRecord
};
