#pragma once

#include "Checker.h"
#include "Schedule.h"

#include <QList>
#include <QString>
#include <QStringList>

// One run: stands the machine up, carries out a schedule (or the steps of it a shrinker keeps), checks
// at every quiet point and at the end, and measures the time from each change to its protection.
struct RunOptions {
    bool big = false;
    QString logFolder; // where each run's log goes
    bool verbose = false;
};

struct RunResult {
    quint64 seed = 0;
    QString environment;
    QString skipped;    // why the run could not stand up here
    QString setupError; // why it could not stand up although it should have
    QList<Violation> violations;
    int violationStep = -1; // the quiet point (step index) where the first violation was seen
    int operations = 0, faults = 0, quietPoints = 0, daemonStarts = 0;
    QList<qint64> protectionMs; // one sample per change protected
    qint64 elapsedMs = 0;
    QString logPath;

    bool failed() const { return !violations.isEmpty() || !setupError.isEmpty(); }
    QList<int> invariants() const;
};

// Asks every run under way to end at its next step, standing everything down (SIGINT, SIGTERM).
void requestStop();
bool stopRequested();

// keep: the step indexes to carry out (empty: all). The last step (the final quiet point) always runs.
RunResult runSchedule(const Schedule& schedule, const QList<int>& keep, const RunOptions& options);

// p-th percentile (0–100) of samples, -1 for none.
qint64 percentile(QList<qint64> samples, int p);
