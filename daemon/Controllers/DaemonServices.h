#pragma once

#include "PlatformProfile.h"
#include "Timings.h"

class ConsoleUserSource;
class DaemonRestarter;
class HostFacts;
class DistributedNotificationCenter;
class InProcessNotificationCenter;
class RezodeLoger;
class ServedPerson;
class SleepInhibitor;

// What the daemon's components share: main() wires the machine's own, tests a temporary profile root,
// a private bus, a console-user double and short timings.
struct DaemonServices {
    PlatformProfile profile;
    Timings timings;
    RezodeLoger* logger = nullptr;
    ConsoleUserSource* consoleUser = nullptr;
    DistributedNotificationCenter* notifications = nullptr;
    InProcessNotificationCenter* localNotifications = nullptr;
    DaemonRestarter* restarter = nullptr;
    const HostFacts* hostFacts = nullptr;     // the machine's own when null
    SleepInhibitor* sleepInhibitor = nullptr; // null: sleep and shutdown are never delayed
    ServedPerson* servedPerson = nullptr;     // told whom the process serves (the sender check reads it)
};
