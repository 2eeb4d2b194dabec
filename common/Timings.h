#pragma once

#include <chrono>

// Every interval the programs wait for, with its standard value. main() uses the defaults; tests
// shorten them.
struct Timings {
    using ms = std::chrono::milliseconds;

    ms fileEventLatency{3000};                  // file-system events are coalesced this long
    ms changeFlushInterval{4000};               // change collector writes its pending paths
    ms accountPollInterval{3000};               // account manager re-reads the user details
    ms backupPassInterval{5000};                // backup controller looks for pending lists
    ms firstRetryDelay{60000};                  // the first three retries of a failed set
    ms laterRetryDelay{120000};                 // the later retries
    ms busyRetryDelay{1000};                    // a set the busy appliance turned away, at first…
    ms busyRetryMaxDelay{120000};               // …doubling up to this (each spread by chance)
    ms refusedFirstRetryDelay{60000};           // a refused password is tried again unchanged, at first…
    ms refusedRetryDelay{30 * 60 * 1000};       // …doubling up to this
    ms nextSetPause{1000};                      // between two backup sets of one run
    ms setCuttingPause{10};                     // after every 200 paths cut into backup sets
    ms indexUpdateInterval{3000};               // index writes are batched this long
    ms serverListingInterval{12 * 3600 * 1000}; // periodic listing of the appliance
    ms daemonRestartInterval{24 * 3600 * 1000}; // the daemon restarts itself once a day
    // Local index and server listing: throttling pauses that keep the daemon light.
    ms indexDeltaCreationPause{1000}; // a new delta waits, so one writer's deltas differ in name
    ms indexBackupRecordsPause{500};  // after every 50 uploaded files written to a delta
    ms indexListingRecordsPause{10};  // after every 500 listed entries written to a delta
    ms indexMergeRowsPause{100};      // after every 100 rows merged into the master
    ms indexFolderEntriesPause{1};    // after every third entry of the account folder in a merge
    ms listingFirstLevelGrace{2000};  // before the first-level listing is cleaned up
    ms listingFolderGrace{10000};     // after a folder listing's child has ended
    ms listingFolderPause{20000};     // between two folder listings
    ms listingLinesPause{100};        // after every 50 listed lines
    ms consoleUserPollInterval{5000}; // the console user is read again while its watch is refused
    // What is not yet safe, the sleep delay and the restore check.
    ms pendingStateMinInterval{1000};          // "PendingState.plist" is rewritten at most this often
    ms sleepYoungChange{60000};                // a waiting change this young delays sleep and shutdown…
    ms sleepDelayMax{10000};                   // …for at most this long after they were announced
    ms restoreCheckInterval{24 * 3600 * 1000}; // the restore check runs once a day
    ms restoreCheckFirstDelay{10 * 60 * 1000}; // a check that is due waits this long after start-up
    ms restoreCheckRetryDelay{3600 * 1000};    // after a check that could not reach the appliance
    ms restoreCheckTimeout{30 * 60 * 1000};    // a check's rsync is ended after this
    ms restoreCheckAskedInterval{60000};       // checks the person asks for start at most this often
    ms massChangeWindow{3 * 60 * 1000};        // the mass-change tripwire counts rewrites this long
    ms recentlySentSaveDelay{60000};           // the record of files sent is saved this long after a send
    // An rsync run against the appliance (backup, listing, restore check) that gets nothing for this
    // long is ended: rsync's own --timeout/--contimeout, and the runner's watch on the child.
    ms rsyncStallTimeout{120000};

    static Timings standard() { return Timings{}; }
};
