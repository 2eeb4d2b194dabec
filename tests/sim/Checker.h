#pragma once

#include "Model.h"
#include "Schedule.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantMap>

class World;

// The five things that must always hold, checked against the machine as it is: the person's home on
// disk, the appliance's module, the state file the application shows, the traces and the supervisor's
// record of the daemon's exits.
struct Violation {
    int invariant = 0; // 1 … 5
    QString text;
};

class Checker {
  public:
    Checker(World& world, Model& model);

    struct Required {
        QByteArray path; // as programs name it (the home as written)
        QByteArray digest;
        qint64 size = 0;
        qint64 mtime = 0; // seconds
        qint64 changedMs = 0;
    };
    // Every regular file of the home the person may read, not excluded and no secret: what must be on
    // the appliance (1).
    QList<Required> required() const;
    // "" when the appliance holds it as it is now, else what differs. bytesOnly: its content, whatever
    // the copy's modification time.
    QString differs(const Required& file, bool bytesOnly = false) const;

    // What the application would show (4): a violation when it says that nothing waits while a file
    // that changed more than graceMs ago is not on the appliance (its bytes), or that backup runs while
    // paused.
    QList<Violation> shownWhileMissing(const QList<Required>& missing, qint64 graceMs) const;
    // …and once everything is there, it must come to say so (count 0, no oldest change).
    static QString stateSaysAllSafe(const QVariantMap& state, bool paused); // "" when it does

    // 6: what the tripwire holds (exact paths) is not on the appliance with the content an attack gave it.
    // Only a run already under way when it tripped (which the daemon then ends) may have taken what the
    // attack wrote before that moment: it read the disk before the tripwire heard of the change.
    QList<Violation> checkHeld(const QSet<QByteArray>& held) const;
    // 1: every entry of the exclusion list that touches the home (lies in it, or holds it) is the
    // person's, a restore's or one of the defaults: nothing else keeps the person's files back.
    QList<Violation> checkExclusionList() const;
    // 2 and 3: what the appliance holds.
    QList<Violation> checkAppliance() const;
    // 2: no secret in a trace.
    QList<Violation> checkTraces() const;

  private:
    World& mWorld;
    Model& mModel;
};
