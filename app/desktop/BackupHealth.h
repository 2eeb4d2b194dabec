#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <functional>

class DesktopNotifier;
class UserDefaults;

// Intervals of the backup's health watch; tests shorten them.
struct DesktopTimings {
    using ms = std::chrono::milliseconds;
    ms ageCheckInterval{3600000}; // how often the age of the last completed backup is looked at
    // The daemon reports "Error" at a run's first failure and then retries for about 17 minutes; only
    // an error that no completed backup follows within this is a failed backup.
    ms failureGrace{1200000};
};

// What the person should hear about without opening a window: storage full, a backup that failed after
// its retries, the end of a restore, and no completed backup for N days. One desktop notification per
// change of state, none for a routine success. The age warning also shows in the tray's tooltip and the
// status window (warningChanged).
class BackupHealth : public QObject {
    Q_OBJECT
  public:
    using Clock = std::function<QDateTime()>;
    using Trace = std::function<void(const QString&)>;

    static constexpr int DefaultWarningDays = 7;
    // Keys in the user defaults.
    static constexpr QLatin1String WarningDaysKey{"NoBackupWarningDays"};
    static constexpr QLatin1String LastCompletedKey{"LastCompletedBackup"};
    static constexpr QLatin1String WatchedSinceKey{"BackupWatchedSince"};

    // defaults may be null (values then live as long as the object); clock unset is the system clock.
    BackupHealth(UserDefaults* defaults, DesktopNotifier* notifier, Clock clock, DesktopTimings timings,
                 Trace trace = {}, QObject* parent = nullptr);

    // Whether a backup is expected (logged in with the local backup on); the age is only watched then.
    void setWatching(bool watching);
    // "Progress" from the daemon, and its "IntialBackupFailedDueToNetworkConnection".
    void progress(const QVariantMap& info);
    void initialBackupGaveUp();
    // A restore has ended; failed names the items that could not be restored.
    void restoreFinished(const QStringList& failed, const QString& destination);
    // A restore ended before all its items: notRestored were cancelled or never started.
    void restoreCancelled(const QStringList& notRestored, const QStringList& failed);
    // Looks at the age of the last completed backup now (a timer does it every ageCheckInterval).
    void checkAge();

    int warningDays() const;
    void setWarningDays(int days);
    QDateTime lastCompleted() const;
    // "" or "No backup for N days".
    QString warning() const { return mWarning; }
    // A run reported an error and no backup has completed since (the appliance may be out of reach).
    bool failing() const { return mFailed || mFailureTimer.isActive(); }

  signals:
    void warningChanged(const QString& warning);

  private:
    QString value(const QString& key) const;
    void setValue(const QString& key, const QString& value);
    QDateTime now() const;
    void notify(const QString& summary, const QString& body);
    void failureGraceOver();
    void setWarning(const QString& warning);

    UserDefaults* mDefaults;
    DesktopNotifier* mNotifier;
    Clock mClock;
    DesktopTimings mTimings;
    Trace mTrace;
    QVariantMap mMemory; // the values when there are no defaults
    QTimer mAgeTimer, mFailureTimer;
    bool mWatching = false;
    bool mStorageFull = false;
    bool mFailed = false;
    QString mWarning;
};
