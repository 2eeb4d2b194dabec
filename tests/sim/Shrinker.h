#pragma once

#include "Runner.h"
#include "Schedule.h"

#include <QList>

#include <functional>

// Makes a failing schedule small: drops steps (chunks first, then single ones) as long as the run
// still violates one of the invariants the first run did. Bounded in runs and in time.
struct ShrinkResult {
    QList<int> keep; // the steps that remain (the last step always runs too)
    RunResult run;   // the last failing run
    int tries = 0;
};

ShrinkResult shrink(const Schedule& schedule, const RunResult& failing, const RunOptions& options,
                    int maxTries, qint64 maxMs, const std::function<void(const QString&)>& progress);
