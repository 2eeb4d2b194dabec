#include "BackupRunDecision.h"

#include <algorithm>

namespace {
// rsync's exit codes for a run that went through the list but could not send some files.
constexpr int PartialTransfer = 23;
constexpr int VanishedFiles = 24;
} // namespace

bool BackupRunDecision::isPartial(const SetEnd& end) {
    return end.exitCode == PartialTransfer || end.exitCode == VanishedFiles || end.partialText;
}

BackupRunDecision::Outcome BackupRunDecision::decide(const SetEnd& end) {
    if (end.quota)
        return Outcome::Quota;
    if (end.cancelled)
        return Outcome::Cancelled;
    if (end.refused)
        return Outcome::Refused;
    if (end.busy)
        return Outcome::Busy;
    if (end.network)
        return end.retriesMade < end.maxRetries ? Outcome::Retry : Outcome::GiveUp;
    // The exit code says whether rsync went through the set; a clean code with rsync's closing
    // complaint (an rsync that does not pass its code on) is not taken for success either.
    const bool wentThrough =
        end.exitCode == 0 || end.exitCode == PartialTransfer || end.exitCode == VanishedFiles;
    if (!wentThrough || (end.failureText && !isPartial(end)))
        return Outcome::Failed;
    return end.lastSet ? Outcome::Finished : Outcome::NextSet;
}

std::chrono::milliseconds BackupRunDecision::busyDelay(int turnedAway, std::chrono::milliseconds first,
                                                       std::chrono::milliseconds most, double random01) {
    // Growing by half, not doubling: many machines turned away together find the slots that free up as
    // others finish, instead of sleeping past them; the cap still spaces out a long wait.
    std::chrono::milliseconds delay = first;
    for (int i = 1; i < turnedAway && delay < most; ++i)
        delay += delay / 2;
    delay = std::min(delay, most);
    const double spread = 0.5 + 0.5 * std::clamp(random01, 0.0, 1.0);
    return std::chrono::milliseconds(static_cast<long long>(double(delay.count()) * spread));
}

std::chrono::milliseconds BackupRunDecision::refusedDelay(int refusals, std::chrono::milliseconds first,
                                                          std::chrono::milliseconds most) {
    std::chrono::milliseconds delay = first;
    for (int i = 1; i < refusals && delay < most; ++i)
        delay *= 2;
    return std::min(delay, most);
}

const char* BackupRunDecision::name(Outcome outcome) {
    switch (outcome) {
    case Outcome::Finished:
        return "finished";
    case Outcome::NextSet:
        return "next set";
    case Outcome::Retry:
        return "retry";
    case Outcome::Quota:
        return "quota";
    case Outcome::Cancelled:
        return "cancelled";
    case Outcome::Failed:
        return "failed";
    case Outcome::GiveUp:
        return "give up";
    case Outcome::Busy:
        return "busy";
    case Outcome::Refused:
        return "refused";
    }
    return "";
}
