#pragma once

#include "DaemonServices.h"

#include <QByteArray>
#include <QDateTime>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>

class BackupfileController;

// A tripwire for mass changes of the person's files. Ransomware, a script gone wrong or a sync client
// that rewrote a folder changes many existing files within minutes; sent faithfully, the damage
// would overwrite the good copies on the appliance (and a short snapshot retention would rotate the
// last good versions out). So the watch hands every change of an existing file here first:
//
// - What counts is an existing file rewritten in place or a file renamed over a name (a save through
//   a temporary name, an encryption that writes beside and renames over). New files never count
//   (an unpacked archive, a photo import, a `git checkout`, which removes and creates), nor removals
//   (the backup never removes copies).
// - A rewrite whose new content looks encrypted (high entropy, and none of the signatures of the
//   formats that are compressed by nature) is parked for the window before it goes out: if the
//   tripwire trips meanwhile, it is held with the rest, so even the first files of an attack keep
//   their good copies.
// - It trips when, within the window (3 minutes), the rewrites that look encrypted reach
//   max(EncryptedMinimum, 1 % of the person's files), or all counted rewrites reach
//   max(RewrittenMinimum, 25 % of the person's files). From then on counted changes are held — never
//   dropped — while new files and everything else keep flowing, and the person is told at once.
//   Continue (the person, through the application) sends what was held and resets the window.
//
// What is held survives a restart (a list of root's in the person's folder of waiting work).
class MassChangeTripwire : public QObject {
    Q_OBJECT
  public:
    static constexpr int EncryptedMinimum = 20;
    static constexpr int RewrittenMinimum = 500;
    static constexpr double EncryptedShare = 0.01;
    static constexpr double RewrittenShare = 0.25;

    // released: hands a path to the backup (the collector) once it is free to go.
    MassChangeTripwire(DaemonServices services, std::function<void(const QString& path)> released);
    ~MassChangeTripwire() override;

    // Loads what was held for the person (and holds on, if anything was).
    void start(const QString& consoleUser);
    // How many files the person's folders hold (the start-up walk counts them); 0 while unknown.
    void setFileCount(qint64 files);

    // Whether a change may go to the backup now. flags are the event's (FileSystemEventStream);
    // native the exact path. False: the tripwire keeps the path (parked or held) and hands it on
    // itself. Any thread.
    bool admit(const QString& path, const QByteArray& native, quint32 flags);

    // The person's "Continue": everything held (and parked) goes to the backup.
    void release();

    struct Snapshot {
        bool tripped = false;
        int held = 0;
        int parked = 0;
        QDateTime since; // when it tripped
        int changedInWindow = 0;
        int encryptedInWindow = 0;
        QStringList sample; // some of the held paths, for the person to see
    };
    Snapshot snapshot() const;
    // Told (on any thread, briefly) whenever the state changes; must only take note. Null to stop.
    void setObserver(std::function<void()> observer);

    // Whether the first bytes of a file look like encrypted data: nearly random bytes without the
    // signature of a format that is compressed by nature. Exposed for tests and measurements.
    static bool looksEncrypted(const QByteArray& head);
    // Bits of entropy per byte of data (0–8).
    static double entropy(const QByteArray& data);

  signals:
    // Tripped: count held so far, minutes of the window.
    void tripped(int count);

  private:
    void releaseParked();
    void trip();
    void saveHeld();
    void changed();
    bool readHead(const QByteArray& native, QByteArray& head) const;

    DaemonServices mServices;
    std::function<void(const QString&)> mReleased;
    QString mConsoleUser;
    QString mHeldFile;
    mutable QMutex mLock;
    qint64 mFileCount = 0;
    bool mTripped = false;
    QDateTime mSince;
    struct Change {
        qint64 atMs;
        bool encrypted;
    };
    std::deque<Change> mWindow;
    std::deque<std::pair<qint64, QString>> mParked; // encrypted-looking rewrites, oldest first
    QSet<QString> mHeld;
    QTimer mReleaseTimer;
    std::function<void()> mObserver;
};
