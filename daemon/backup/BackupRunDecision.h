#pragma once

#include <chrono>

// The one decision taken when a backup set has ended: from what the set ended with to what the run
// does next. A pure function, so every end of a run is decided in one place and can be tested alone.
class BackupRunDecision {
  public:
    enum class Outcome {
        Finished,  // the last set was sent: the run is done
        NextSet,   // the set was sent and another one follows
        Retry,     // the appliance could not be reached: the same set again after the retry delay
        Quota,     // the appliance is full: the run stops, its paths wait until there is space again
        Cancelled, // the user stopped the run
        Failed,    // rsync gave up on the set for another reason
        GiveUp,    // the appliance stayed out of reach through every retry
        Busy,      // the appliance had no connection free: the same set again soon, not a failure
        Refused,   // the appliance refused the password: the run stops, tried again later or at a log-in
    };

    // What one set ended with.
    struct SetEnd {
        bool quota = false;     // rsync reported a full appliance
        bool cancelled = false; // the run was stopped
        bool network = false;   // rsync could not reach the appliance
        bool busy = false;      // the appliance turned the connection away: all its slots are taken
        bool refused = false;   // the appliance refused the account's password
        int retriesMade = 0;    // retries already made for this set
        int maxRetries = 10;
        int exitCode = 0;         // rsync's exit code; -1 when it was killed or never started
        bool failureText = false; // rsync's closing complaint ("rsync error: …", "@ERROR")
        bool partialText = false; // that complaint names files it could not send (codes 23, 24)
        bool lastSet = false;     // no set follows this one
    };

    static Outcome decide(const SetEnd& end);
    // A set rsync went through but could not send every file of (the run still goes on).
    static bool isPartial(const SetEnd& end);
    // Whether the run's paths are put back for a later run.
    static bool keepsPaths(Outcome outcome) {
        return outcome != Outcome::Finished && outcome != Outcome::NextSet && outcome != Outcome::Busy;
    }
    // A run that ended like this waits before the next one starts (see backOffDelay).
    static bool backsOff(Outcome outcome) {
        return outcome == Outcome::Quota || outcome == Outcome::Failed || outcome == Outcome::GiveUp;
    }
    // The wait before the next run after the given number of failed runs in a row (from 1): the
    // retry schedule, the first delay once, then the later one.
    static std::chrono::milliseconds backOffDelay(int failedRuns, std::chrono::milliseconds first,
                                                  std::chrono::milliseconds later) {
        return failedRuns <= 1 ? first : later;
    }
    // The wait before a set the busy appliance turned away is tried again: from first, half as long
    // again with each turn-away in a row (from 1) up to most, then spread over 50–100 % of that, so that
    // machines turned away together do not all come back together. random01 is a number in [0, 1).
    static std::chrono::milliseconds busyDelay(int turnedAway, std::chrono::milliseconds first,
                                               std::chrono::milliseconds most, double random01);
    // The wait before a refused password is tried again, after the given number of refusals in a row
    // (from 1): first, doubling with each refusal up to most. Appliances lock accounts that fail again
    // and again; a password put right on the appliance should still be used within minutes.
    static std::chrono::milliseconds refusedDelay(int refusals, std::chrono::milliseconds first,
                                                  std::chrono::milliseconds most);
    static const char* name(Outcome outcome);
};
