#include "Shrinker.h"

#include <QElapsedTimer>

ShrinkResult shrink(const Schedule& schedule, const RunResult& failing, const RunOptions& options,
                    int maxTries, qint64 maxMs, const std::function<void(const QString&)>& progress) {
    ShrinkResult out;
    out.run = failing;
    const QList<int> wanted = failing.invariants();
    const int last = int(schedule.steps.size()) - 1;
    // What came after the quiet point that saw the violation never ran.
    const int upTo = failing.violationStep >= 0 ? failing.violationStep : last;
    for (int i = 0; i <= upTo && i < last; ++i)
        out.keep << i;
    const auto stillFails = [&](const RunResult& run) {
        for (const int invariant : run.invariants())
            if (wanted.contains(invariant))
                return true;
        return false;
    };
    QElapsedTimer clock;
    clock.start();
    int chunks = 2;
    while (out.tries < maxTries && clock.elapsed() < maxMs && !out.keep.isEmpty() && !stopRequested()) {
        bool reduced = false;
        const int size = int(out.keep.size());
        const int chunk = std::max(1, (size + chunks - 1) / chunks);
        for (int from = 0; from < size && out.tries < maxTries && clock.elapsed() < maxMs && !stopRequested();
             from += chunk) {
            QList<int> candidate = out.keep;
            candidate.remove(from, std::min(chunk, size - from));
            if (candidate.isEmpty())
                candidate << last; // only the final check (an empty list would mean every step)
            ++out.tries;
            const RunResult run = runSchedule(schedule, candidate, options);
            const bool same = run.failed() && stillFails(run);
            progress(QStringLiteral("shrink %1: %2 steps -> %3")
                         .arg(out.tries)
                         .arg(candidate.size())
                         .arg(same           ? QStringLiteral("still fails, kept")
                              : run.failed() ? QStringLiteral("fails otherwise, dropped")
                                             : QStringLiteral("passes, dropped")));
            if (same) {
                out.keep = candidate;
                out.run = run;
                chunks = std::max(2, chunks - 1);
                reduced = true;
                break;
            }
        }
        if (!reduced) {
            if (chunk == 1)
                break;
            chunks = std::min(int(out.keep.size()), chunks * 2);
        }
    }
    return out;
}
