#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// What the daemon's "PendingState.plist" says, read into values, and the sentences the tray's tooltip
// and the status window make of it: what is not yet safe on the appliance, what the watch covers, and
// the last restore check. A missing or unreadable file is an empty state (present false).
struct ProtectionState {
    Q_DECLARE_TR_FUNCTIONS(ProtectionState)

  public:
    bool present = false;
    // What waits to be sent.
    int count = 0, collected = 0, listed = 0, sending = 0, owed = 0;
    QDateTime oldest, newest;
    bool paused = false, sleepDelayed = false;
    // Held by the mass-change tripwire until the person lets them go (part of count).
    int held = 0, heldChanged = 0;
    QDateTime heldSince;
    QStringList heldFiles;
    // What the watch covers.
    QString watch, watchBackend, watchFolder, watchReason;
    int watchFolders = 0, watchFileSystems = 0;
    bool watchLimited = false;
    QDateTime watchSince;
    // The last restore check.
    QString verifyState, verifyReason, verifiedText, verifiedSnapshot;
    QDateTime verifyAttempted, verified, updated;
    int verifiedFiles = 0, verifiedSkipped = 0, verifiedFailed = 0;
    QStringList verifiedFailures;

    static ProtectionState fromMap(const QVariantMap& values);
    static ProtectionState read(const QString& path);

    // Events were lost or nothing is watched: changes may go unnoticed.
    bool coverageLost() const;
    // Changes are waiting, and since when (invalid when unknown).
    bool waiting() const { return count > 0; }

    // "All changes are on the Zorvik Hollin device", "12 changes waiting, the oldest from 3 minutes
    // ago", "Paused — 40 changes waiting", "600 changes held after many files changed at once".
    QString pendingText(const QDateTime& now) const;
    // "Watching the whole disk", "Watching the users folder (1,234 folders)", "Events were lost at
    // 14:07: rescanning", "Not watching: <reason>".
    QString watchText() const;
    // The last restore check: its result, "Restore check running…", or why there was none.
    QString verifyText() const;

    // "3 minutes ago", "2 hours ago"…
    static QString ago(const QDateTime& when, const QDateTime& now);
};

// The three lines as the status window shows them.
struct ProtectionView {
    bool known = false; // the daemon has written its state
    QString pending, watch, verify;
    bool coverageLost = false, verifyFailed = false, checkRunning = false;

    static ProtectionView of(const ProtectionState& state, const QDateTime& now);
    bool operator==(const ProtectionView&) const = default;
};
