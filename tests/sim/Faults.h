#pragma once

#include "Schedule.h"

#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include <sys/types.h>

class Model;
class Random;
class RestoreExclusionRecord;
class World;

// What machines, supervisors, the application and appliances do at random points: each fault step
// carried out as it happens in the field, and every lasting one lifted again (by its own step or at
// the next quiet point).
class Faults {
  public:
    // storm(files): the person's programs write that many files at once (for the queue overflow).
    Faults(World& world, Model& model, std::function<void(quint64 value, int files)> storm);
    ~Faults();

    // Carries out one fault step; returns what it did, for the run's log.
    QString apply(const Step& step);
    // What is due: the application lifting a restore's exclusion 10 s after the download ended, and
    // the person starting the application again after it was killed.
    void tick();
    bool releasesPending() const { return !mReleases.isEmpty() || !mApplication; }
    // Whether a lasting fault is in force (the appliance away, hung, busy, full or refusing; paused).
    bool anyInForce() const;
    // Lifts every lasting fault (the appliance back, reachable, with room and its password; backup
    // resumed; the application running); returns what it lifted.
    QStringList liftAll();
    // The sessions a frozen appliance left hung end (the appliance's side of them goes away).
    void dropHungSessions();

    // Since the last call: what happened, for the bound of the next quiet point.
    QSet<Op> takeHappened();
    int count() const { return mCount; }

    // "Quit" in the application: the restore window's end lifts what its restores still hold.
    void applicationQuits();
    // The application starts (a log-in, the person starting it again after it was killed): it lifts
    // what a killed one left behind, as its start does.
    void applicationStarts();

  private:
    // The connections held for the busy fault were let go: waits (a little) until the appliance's side
    // of them has ended.
    void releaseHeldServers();
    QString restore(Random& r, bool killed);
    QString editExclusions(Random& r, Op op);
    void writePersonsList(const QString& file, const QStringList& entries);

    World& mWorld;
    Model& mModel;
    std::function<void(quint64, int)> mStorm;
    bool mApplianceStopped = false, mFrozen = false, mBusy = false, mFull = false;
    QString mOriginalPassword;
    QList<pid_t> mHung;
    QList<pid_t> mHeldServers; // the appliance's side of the connections held for the busy fault
    QSet<Op> mHappened;
    QStringList mMyFolders;  // folders the person excluded during the run
    QStringList mMyPatterns; // patterns the person added
    struct Release {
        qint64 atMs;
        QString entry;
    };
    QList<Release> mReleases;
    // The running application's restore exclusions (its own class); null while it is not running.
    std::unique_ptr<RestoreExclusionRecord> mApplication;
    QStringList mLeftByKilled;         // entries a killed application held
    qint64 mApplicationStartAtMs = -1; // when the person starts it again (-1: at the quiet point)
    QElapsedTimer mClock;
    int mCount = 0;
};
