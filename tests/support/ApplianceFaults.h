#pragma once

#include "Appliance.h"

#include <QList>

#include <sys/types.h>

// What appliances do in the field besides stopping, done to a running Appliance from outside, as an
// administrator or the appliance's own troubles would: it freezes (a NAS going to sleep, a hung rsync
// daemon), it runs full.
namespace ApplianceFaults {

// The appliance's rsync processes: the listening daemon first, then one per open connection.
QList<pid_t> processes(const Appliance& appliance);

// Freezes the appliance (SIGSTOP to the daemon and every connection but those of spared): connections
// are accepted by the kernel and never answered, transfers under way hang. Returns the connections
// frozen.
QList<pid_t> freeze(const Appliance& appliance, const QList<pid_t>& spared = {});
// The daemon answers again; the connections frozen with it stay hung for good (their sessions are
// lost, as after a NAS woke up), until dropStalled().
void thaw(const Appliance& appliance);
// Ends the hung connections (the appliance's side of them is gone).
void dropStalled(const QList<pid_t>& connections);

// Fills the module's storage (a tmpfs appliance) to `leaveFree` bytes with a file of the
// administrator's, "zh-filler.bin" at the module's top. Returns false when it could not.
bool fill(const Appliance& appliance, qint64 leaveFree);
// Removes that file again.
void makeSpace(const Appliance& appliance);

} // namespace ApplianceFaults
