#pragma once

#include "ExclusionRules.h"
#include "FilePathsController.h"

#include <QDateTime>
#include <QDialog>
#include <QString>
#include <QStringList>

class DistributedNotificationCenter;
class QLabel;
class QPushButton;

// "Is this file protected — and if not, why?" for one path on this computer, from what the person at the
// screen can read (the check takes their rights when run with more): the exclusion lists and patterns
// (asked through the same rules the daemon applies), the session logs, the daemon's lists of paths
// waiting to be sent where readable and otherwise the count and age of its waiting changes from its state
// file, and the account's local index of what the appliance holds.
class ProtectionCheck {
  public:
    enum class Answer {
        OnAppliance,   // in the index
        Waiting,       // in a list waiting to be sent, or changed while changes wait
        Excluded,      // a rule keeps it out
        SentWithError, // the last session line about it is an error
        NeverSeen,     // none of the above
        Missing,       // no such file or folder here (or none the person can reach)
    };
    struct Result {
        Answer answer = Answer::NeverSeen;
        QString sentence; // one sentence
        QStringList details;
        ExclusionRules::Match exclusion;
        bool canStopExcluding = false; // the rule is the person's own (folder list or name pattern)
        bool defaultList = false;      // the list entry is one of the system's default exclusions
        QDateTime since;               // on the appliance / waiting since
        int queuePosition = 0;         // 1-based among the waiting lists; 0 when not waiting or not known
        int queueLength = 0;           // paths waiting (the daemon's count when the lists are not readable)
        bool unsentChange = false;     // on the appliance, changed here since, and that change not noted
        bool unreadable = false; // the person cannot read it (or reach it), so the backup cannot send it
        QString errorLine;
    };

    // paths: the application's table for the person at the screen; account: the appliance account
    // (its index is "<user support folder>/<account>/<account>.zx"); machine: this computer's folder on
    // the appliance.
    static Result check(const QString& path, const FilePathsController& paths, const QString& account,
                        const QString& machine);

    // Takes the person's own rule that excludes path off their list or patterns (as the exclusion
    // editor keeps them) and tells the daemon; false when the rule is not theirs to lift.
    static bool stopExcluding(const Result& result, const FilePathsController& paths,
                              DistributedNotificationCenter* center);

    // The person's exclusion state as the application reads it.
    static ExclusionRules::Match exclusionFor(const QString& path, const FilePathsController& paths);
};

// The answer in a small window: the sentence, its details, "Stop Excluding" where the person may, and
// "Back Up Now" for a file (or a change to one) the watch never saw and the person can read.
class ProtectionCheckDialog : public QDialog {
    Q_OBJECT
  public:
    ProtectionCheckDialog(const QString& path, const FilePathsController& paths, const QString& account,
                          const QString& machine, DistributedNotificationCenter* center,
                          QWidget* parent = nullptr);

    // Gives window a "Check a File…" button beside beside (asking for a file) and lets a file dropped on
    // the window be checked; the answer opens as a child of window. paths must outlive window.
    static void attachTo(QWidget* window, QPushButton* beside, const FilePathsController* paths,
                         DistributedNotificationCenter* center);

    const ProtectionCheck::Result& result() const { return mResult; }
    QString sentence() const;
    QString details() const;
    QPushButton* stopExcludingButton() const { return mStop; }
    // For a file (or a change) the watch never saw: hands the path to the daemon ("BackupNow"), which
    // queues it.
    QPushButton* backUpNowButton() const { return mBackUpNow; }
    // What the versions listing found: the number of snapshots that hold the file (-1: not known).
    void setSnapshotCount(int snapshots);

  private:
    void refresh();

    QString mPath;
    const FilePathsController& mPaths;
    QString mAccount, mMachine;
    DistributedNotificationCenter* mCenter;
    ProtectionCheck::Result mResult;
    QLabel* mSentence;
    QLabel* mDetails;
    QPushButton* mStop;
    QPushButton* mBackUpNow;
    bool mHandedOver = false;
    int mSnapshots = -1;
};
