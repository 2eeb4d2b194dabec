#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

#include <sys/types.h>

// Small process helpers for fixtures: children are put in their own process group and die with the
// test process, so a crashed test leaves nothing running.
namespace ChildProcess {

// Starts argv[0] (searched on PATH) with stdout/stderr redirected to the given files ("" = /dev/null).
// Returns the pid, or -1.
pid_t spawn(const QStringList& argv, const QString& stdoutFile = QString(),
            const QString& stderrFile = QString());

// Sends SIGTERM to the child's process group, waits up to timeoutMs, then SIGKILL; reaps the child.
void terminate(pid_t pid, int timeoutMs = 3000);

// Whether the process still exists (zombies excluded).
bool isAlive(pid_t pid);

// Runs a program to completion; returns its exit code (-1 when it could not run). Output is captured
// when the pointers are given.
int run(const QStringList& argv, QByteArray* out = nullptr, QByteArray* err = nullptr, int timeoutMs = 60000);

// Polls condition every few milliseconds, without an event loop, until it holds or timeoutMs passes;
// returns condition().
bool pollUntil(const std::function<bool()>& condition, int timeoutMs);

} // namespace ChildProcess
