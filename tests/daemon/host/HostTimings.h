#pragma once

#include "Timings.h"

// Short timings for running the whole daemon in a test or a demonstration: every wait a fraction of
// a second, the fixed pauses of the index and listing nearly gone.
inline Timings hostTimings() {
    using namespace std::chrono_literals;
    Timings t;
    t.fileEventLatency = 500ms;
    t.changeFlushInterval = 500ms;
    t.backupPassInterval = 500ms;
    t.accountPollInterval = 300ms;
    t.nextSetPause = 100ms;
    t.firstRetryDelay = 300ms;
    t.laterRetryDelay = 300ms;
    t.busyRetryDelay = 300ms;
    t.busyRetryMaxDelay = 2s;
    t.refusedFirstRetryDelay = 1s;
    t.refusedRetryDelay = 1min;
    t.indexUpdateInterval = 300ms;
    t.indexDeltaCreationPause = 10ms;
    t.indexBackupRecordsPause = 0ms;
    t.indexMergeRowsPause = 0ms;
    t.listingFirstLevelGrace = 100ms;
    t.listingFolderGrace = 100ms;
    t.listingFolderPause = 100ms;
    t.listingLinesPause = 0ms;
    t.sleepDelayMax = 2s;
    t.restoreCheckFirstDelay = 1h; // checks run when a test asks for one
    t.restoreCheckAskedInterval = 500ms;
    t.recentlySentSaveDelay = 500ms;
    t.rsyncStallTimeout = 10s; // an appliance frozen in a test is given up on soon
    t.massChangeWindow = 5s;   // what looks encrypted goes out soon unless the tripwire trips
    return t;
}
