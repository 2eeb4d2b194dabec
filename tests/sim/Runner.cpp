#include "Runner.h"

#include "EventLoopWait.h"
#include "Faults.h"
#include "HostTimings.h"
#include "Model.h"
#include "Protocol.h"
#include "Workload.h"
#include "World.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>

#include <algorithm>
#include <atomic>

#include <sys/stat.h>

namespace {

// How long after a change the application may still show nothing waiting: the event latency, the
// collector's flush and the state file's pace, many times over for a loaded machine.
constexpr qint64 kShownGraceMs = 20000;

class Log {
  public:
    explicit Log(const QString& path, bool echo) : mFile(path), mEcho(echo) {
        mFile.open(QIODevice::WriteOnly | QIODevice::Truncate);
        mClock.start();
    }
    void operator()(const QString& line) {
        const QByteArray text =
            QStringLiteral("%1 %2\n").arg(double(mClock.elapsed()) / 1000.0, 8, 'f', 1).arg(line).toUtf8();
        mFile.write(text);
        mFile.flush();
        if (mEcho)
            fwrite(text.constData(), 1, size_t(text.size()), stdout);
    }

  private:
    QFile mFile;
    bool mEcho;
    QElapsedTimer mClock;
};

// How long the quiet point waits for everything to be safe: what the daemon's own timings allow for
// what happened since the last one, plus a margin for a loaded machine.
qint64 boundFor(const QSet<Op>& happened, int changedFiles, int homeFiles, int restartPauseMs,
                int refusedRetryMs) {
    const Timings t = hostTimings();
    const qint64 pass = (t.fileEventLatency + t.changeFlushInterval + t.backupPassInterval).count();
    qint64 bound = 60000 + 4 * pass + 100 * qint64(changedFiles);
    for (const Op op :
         {Op::DaemonStop, Op::DaemonKill, Op::DailyRestart, Op::ConsoleLogIn, Op::LogOut, Op::Reinitialize})
        if (happened.contains(op)) {
            bound += restartPauseMs + 15000;
            break;
        }
    // Sent again whole: the initial backup (sets of five), or the home looked at again after a loss.
    if (happened.contains(Op::Reinitialize))
        bound += 100 * qint64(homeFiles);
    else if (happened.contains(Op::Overflow) || happened.contains(Op::DaemonKill))
        bound += 10 * qint64(homeFiles);
    if (happened.contains(Op::PasswordChanged) || happened.contains(Op::PasswordRestored))
        bound += refusedRetryMs + 15000;
    if (happened.contains(Op::ApplianceBusy))
        bound += 4 * t.busyRetryMaxDelay.count();
    if (happened.contains(Op::ApplianceStop) || happened.contains(Op::ApplianceFull))
        bound += 10 * t.laterRetryDelay.count() + 10000;
    // A session hung for good (the appliance froze under it) is ended by the daemon's own stall
    // time-out, counts as a network failure and is tried again; the check of the connection may meet
    // the same silence once more.
    if (happened.contains(Op::ApplianceFreeze))
        bound += 3 * t.rsyncStallTimeout.count() + 15000;
    return bound;
}

std::atomic<bool> gStop{false};

} // namespace

void requestStop() {
    gStop = true;
}

bool stopRequested() {
    return gStop;
}

QList<int> RunResult::invariants() const {
    QList<int> out;
    for (const Violation& v : violations)
        if (!out.contains(v.invariant))
            out << v.invariant;
    std::sort(out.begin(), out.end());
    return out;
}

qint64 percentile(QList<qint64> samples, int p) {
    if (samples.isEmpty())
        return -1;
    std::sort(samples.begin(), samples.end());
    const qsizetype index = std::min<qsizetype>(samples.size() - 1, (samples.size() * p + 99) / 100 - 1);
    return samples.at(std::max<qsizetype>(0, index));
}

RunResult runSchedule(const Schedule& schedule, const QList<int>& keep, const RunOptions& options) {
    RunResult result;
    result.seed = schedule.seed;
    result.environment = schedule.environment.name();
    QElapsedTimer clock;
    clock.start();
    result.skipped = World::skipReason(schedule.environment);
    if (!result.skipped.isEmpty())
        return result;

    QDir().mkpath(options.logFolder);
    result.logPath = QStringLiteral("%1/seed-%2%3.log")
                         .arg(options.logFolder)
                         .arg(schedule.seed)
                         .arg(keep.isEmpty() ? QString() : QStringLiteral("-kept-%1").arg(keep.size()));
    Log log(result.logPath, options.verbose);
    log(QStringLiteral("seed %1, environment %2").arg(schedule.seed).arg(result.environment));

    World world(schedule.environment, schedule.seed);
    QString error;
    if (!world.setUp(&error)) {
        result.setupError = error;
        log(QStringLiteral("could not stand up: ") + error);
        return result;
    }
    Model model(world);
    Workload workload(world, model, options.big);
    Faults faults(world, model, [&](quint64 value, int files) {
        log(QStringLiteral("    ") + workload.storm(value, files));
    });
    Checker checker(world, model);

    workload.populate(schedule.seed);
    world.writeDetails(); // the person logged in with the application
    world.startDaemon();
    log(QStringLiteral("home %1 (%2), daemon started").arg(world.home(), world.resolvedHome()));

    // Changes waiting for their protection: path → when it changed.
    QMap<QByteArray, qint64> watching;
    QElapsedTimer lastPoll;
    lastPoll.start();
    int changedSinceQuiet = 0;
    const auto takeChanges = [&] {
        for (const QByteArray& path : model.takeObserved()) {
            const Model::File* f = model.file(path);
            if (f) {
                watching.insert(path, f->changedMs);
                ++changedSinceQuiet;
            }
        }
    };
    const auto pollProtection = [&] {
        if (lastPoll.elapsed() < 500)
            return;
        lastPoll.restart();
        const Model::Rules rules = model.rules();
        int looked = 0;
        for (auto it = watching.begin(); it != watching.end() && looked < 3000; ++looked) {
            Checker::Required r;
            r.path = it.key();
            struct stat st {};
            bool ok = ::lstat(r.path.constData(), &st) == 0 && S_ISREG(st.st_mode) &&
                      (st.st_mode & S_IRUSR) && !model.isSecretPath(r.path) && !model.excluded(r.path, rules);
            if (ok) {
                r.digest = Model::digest(r.path, &ok);
                r.size = st.st_size;
                r.mtime = st.st_mtim.tv_sec;
            }
            if (!ok) {
                it = watching.erase(it); // gone, excluded or unreadable: nothing to protect
                continue;
            }
            if (checker.differs(r).isEmpty()) {
                result.protectionMs << Model::now() - it.value();
                it = watching.erase(it);
                continue;
            }
            ++it;
        }
    };
    const auto pass = [&](qint64 ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms && !gStop) {
            world.run(int(std::min<qint64>(200, ms - t.elapsed())));
            faults.tick();
            takeChanges();
            pollProtection();
        }
    };
    const auto violated = [&](int step, const QList<Violation>& found) {
        for (const Violation& v : found) {
            result.violations << v;
            log(QStringLiteral("VIOLATION of %1: %2").arg(v.invariant).arg(v.text));
        }
        if (!found.isEmpty() && result.violationStep < 0)
            result.violationStep = step;
    };

    int exitsSeen = 0;
    for (int index = 0; index < schedule.steps.size() && result.violations.isEmpty() && !gStop; ++index) {
        const Step& step = schedule.steps.at(index);
        const bool last = index == schedule.steps.size() - 1;
        if (!keep.isEmpty() && !keep.contains(index) && !last)
            continue;
        if (step.op != Op::Quiet) {
            const QString did = isFault(step.op) ? faults.apply(step) : workload.apply(step);
            log(QStringLiteral("step %1 %2: %3").arg(index).arg(opName(step.op), did));
            takeChanges();
            pass(step.pauseMs);
            continue;
        }

        // A quiet point. While a lasting fault is still in force, nothing can be safe that was not: what
        // the application shows must say so (4). Then every fault is lifted and everything must become safe.
        ++result.quietPoints;
        QStringList shown; // what the application was seen to show wrongly (each once)
        const auto probeShown = [&](const QList<Checker::Required>& missing) {
            for (const Violation& v : checker.shownWhileMissing(missing, kShownGraceMs))
                if (!shown.contains(v.text.left(40))) {
                    shown << v.text.left(40);
                    violated(index, {v});
                }
        };
        if (faults.anyInForce()) {
            QList<Checker::Required> missing = checker.required();
            missing.removeIf([&](const Checker::Required& file) { return checker.differs(file).isEmpty(); });
            log(QStringLiteral(
                    "    faults in force, %1 files not safe: what the application shows is watched")
                    .arg(missing.size()));
            QElapsedTimer held;
            held.start();
            while (held.elapsed() < kShownGraceMs + 5000 && !gStop) {
                missing.removeIf(
                    [&](const Checker::Required& file) { return checker.differs(file).isEmpty(); });
                probeShown(missing);
                pass(500);
            }
        }
        const QStringList lifted = faults.liftAll();
        log(QStringLiteral("step %1 quiet point%2")
                .arg(index)
                .arg(lifted.isEmpty() ? QString()
                                      : QStringLiteral(" (") + lifted.join(QStringLiteral(", ")) + u')'));
        for (int i = 0; i < 150 && faults.releasesPending(); ++i)
            pass(200);
        if (!world.waitUntilRunning(world.restartPauseMs() + 60000))
            violated(index, {{5, QStringLiteral("the daemon did not run again")}});
        const QList<Checker::Required> required = checker.required();
        const qint64 bound = boundFor(faults.takeHappened(), changedSinceQuiet, int(required.size()),
                                      world.restartPauseMs(), world.refusedRetryMs());
        changedSinceQuiet = 0;
        log(QStringLiteral("    %1 files must be on the appliance within %2 s")
                .arg(required.size())
                .arg(bound / 1000));
        QElapsedTimer waited;
        waited.start();
        // Until what must be safe is (less what the tripwire holds, while it holds it), or the bound.
        const auto waitForSafe = [&](QList<Checker::Required> missing, bool lessHeld) {
            for (;;) {
                const QSet<QByteArray> held = lessHeld ? world.heldChanges() : QSet<QByteArray>();
                // A daemon that just started again may write the person's default exclusions only now.
                const Model::Rules rules = model.rules();
                missing.removeIf([&](const Checker::Required& file) {
                    return held.contains(file.path) || model.excluded(file.path, rules) ||
                           checker.differs(file).isEmpty();
                });
                probeShown(missing);
                if (missing.isEmpty() || waited.elapsed() > bound || gStop)
                    return missing;
                pass(500);
            }
        };
        // The tripwire holds rewrites until the person lets them go: first everything else must be safe
        // and what it holds must stay off the appliance; then the person's "Continue".
        QList<Checker::Required> missing = waitForSafe(required, true);
        if (const QSet<QByteArray> held = world.heldChanges(); !held.isEmpty() && missing.isEmpty()) {
            log(QStringLiteral("    %1 changes held by the tripwire, the other files safe after %2 s; the "
                               "person lets them go (Continue)")
                    .arg(held.size())
                    .arg(waited.elapsed() / 1000));
            violated(index, checker.checkHeld(held));
            world.post(Protocol::ReleaseHeldChanges);
            waited.restart();
            missing = waitForSafe(required, false);
        }
        if (gStop)
            break;
        if (!missing.isEmpty()) {
            QStringList lines;
            for (const Checker::Required& file : std::as_const(missing).mid(0, 8))
                lines << QStringLiteral("%1 (%2)").arg(
                    QFile::decodeName(file.path).replace(u'\n', QStringLiteral("\\n")),
                    checker.differs(file));
            violated(index, {{1, QStringLiteral(
                                     "%1 of %2 files not safe on the appliance %3 s after the quiet point "
                                     "began: %4")
                                     .arg(missing.size())
                                     .arg(required.size())
                                     .arg(bound / 1000)
                                     .arg(lines.join(QStringLiteral("; ")))}});
            // A run the daemon started long ago and never ended.
            for (const QString& child : world.descendantsOfDaemon())
                if (child.section(u' ', 1, 1).toLongLong() * 1000 > bound)
                    violated(index,
                             {{5, QStringLiteral("a run never ended: process %1 of the daemon has run for "
                                                 "%2 s")
                                      .arg(child.section(u' ', 2), child.section(u' ', 1, 1))}});
        } else {
            // Everything is there: the application must come to say so.
            QString wrong;
            waitUntil(
                [&] {
                    world.supervise();
                    wrong = Checker::stateSaysAllSafe(world.pendingState(), world.paused());
                    return wrong.isEmpty();
                },
                60000);
            if (!wrong.isEmpty())
                violated(index,
                         {{4, QStringLiteral("everything is on the appliance, yet 60 s later the application "
                                             "shows %1")
                                  .arg(wrong)}});
        }
        violated(index, checker.checkExclusionList());
        violated(index, checker.checkAppliance());
        violated(index, checker.checkTraces());
        const QStringList exits = world.unexpectedExits();
        for (; exitsSeen < exits.size(); ++exitsSeen)
            violated(index, {{5, exits.at(exitsSeen)}});
        faults.dropHungSessions();
        log(QStringLiteral("    checked after %1 s: %2")
                .arg(waited.elapsed() / 1000)
                .arg(result.violations.isEmpty() ? QStringLiteral("all six hold")
                                                 : QStringLiteral("VIOLATED")));
    }
    if (gStop)
        result.setupError = QStringLiteral("stopped by a signal");
    result.operations = workload.operations();
    result.faults = faults.count();
    result.daemonStarts = world.starts();
    result.elapsedMs = clock.elapsed();
    if (!result.violations.isEmpty()) {
        // Whole: what led to a violation that depends on timing may lie minutes before it.
        log(QStringLiteral("---- the daemon's trace"));
        log(world.daemonTrace());
        log(QStringLiteral("---- the session logs"));
        log(world.sessionLogs());
    }
    return result;
}
