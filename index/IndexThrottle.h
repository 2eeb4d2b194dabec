#pragma once

#include "Timings.h"

#include <chrono>
#include <functional>

// The pauses the index writers and the server listing take so that the daemon stays light. Each
// pause has its length in Timings; an observer (tests, benchmarks) sees every pause taken.
class IndexThrottle {
  public:
    enum class Pause {
        DeltaCreation,  // inside the creation of a delta
        BackupRecords,  // after every 50 uploaded files written to a delta
        ListingRecords, // after every 500 listed entries written to a delta
        MergeRows,      // after every 100 rows merged into the master
        FolderEntries,  // after every third entry of the account folder during a merge
    };
    // Called from the thread that pauses; must be thread-safe.
    using Observer = std::function<void(Pause)>;

    explicit IndexThrottle(const Timings& timings = Timings::standard(), Observer observer = {})
        : mTimings(timings), mObserver(std::move(observer)) {}

    std::chrono::milliseconds duration(Pause pause) const;
    // Tells the observer, then sleeps for the pause's length (not at all when it is zero).
    void pause(Pause pause) const;

    const Timings& timings() const { return mTimings; }

  private:
    Timings mTimings;
    Observer mObserver;
};
