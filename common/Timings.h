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
    ms processExitGrace{2000};                  // a finished child's output is collected this long
    ms indexUpdateInterval{3000};               // index writes are batched this long
    ms serverListingInterval{12 * 3600 * 1000}; // periodic listing of the appliance
    ms daemonRestartInterval{24 * 3600 * 1000}; // the daemon restarts itself once a day

    static Timings standard() { return Timings{}; }
};
