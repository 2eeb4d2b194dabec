// zh-sim: the whole system under a schedule drawn from a seed (the person's work, faults of the
// machine, the supervisor, the application and the appliance, on one of the environments homes come
// in), checked at every quiet point against what must always hold. scripts/sim.sh runs it.

#include "Runner.h"
#include "Schedule.h"
#include "Shrinker.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMap>

#include <csignal>
#include <cstdio>

namespace {

constexpr int kSkipped = 77; // CTest's SKIP_RETURN_CODE

const char* const kUsage = R"(usage: zh-sim [what] [options]
what (one of):
  --seed N            one run of seed N (the default: seed 1)
  --seeds A-B         the seeds A to B, one run each
  --soak MINUTES      seeds from --from (default 1) upwards until MINUTES have passed
options:
  --env WORDS         only environments matching every kind named: fanotify,inotify  ext4,xfs,btrfs
                      users,link,mount (e.g. --env inotify,btrfs)
  --segments N        quiet points per run, the last one is the end (default 6)
  --steps N           at most N steps between quiet points (default 8)
  --keep I,J,…        only these steps of the schedule (a shrunk schedule; the last step always runs)
  --big               a folder of 100,000 files may come
  --no-shrink         print a failing schedule as it is
  --shrink-tries N    at most N runs to shrink a failing schedule (default 12)
  --shrink-minutes M  and at most M minutes (default 40)
  --log-dir DIR       each run's log (default /var/tmp/zh-sim)
  --list              print the schedule of each seed, run nothing
  --verbose           each step as it is carried out
)";

QString seconds(qint64 ms) {
    return ms < 0 ? QStringLiteral("-") : QString::number(double(ms) / 1000.0, 'f', 1);
}

QString keepText(const QList<int>& keep) {
    QStringList out;
    for (const int i : keep)
        out << QString::number(i);
    return out.join(u',');
}

void print(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

struct Totals {
    int runs = 0, operations = 0, faults = 0, violations = 0;
    QList<quint64> seeds;
    QList<qint64> samples;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Ended from outside (Ctrl-C, a time-out): the run under way stands down, unmounting what it mounted.
    for (const int signal : {SIGINT, SIGTERM})
        std::signal(signal, [](int) { requestStop(); });
    QStringList args = app.arguments().mid(1);
    quint64 from = 1, to = 1;
    int soakMinutes = 0;
    bool list = false, shrinkIt = true;
    int shrinkTries = 12, shrinkMinutes = 40;
    QList<int> keep;
    GenerateOptions generateOptions;
    RunOptions runOptions;
    runOptions.logFolder = QStringLiteral("/var/tmp/zh-sim");
    QString error;
    const auto value = [&](int& i) {
        if (i + 1 >= args.size()) {
            error = QStringLiteral("%1 needs a value").arg(args.at(i));
            return QString();
        }
        return args.at(++i);
    };
    bool fromGiven = false;
    for (int i = 0; i < args.size() && error.isEmpty(); ++i) {
        const QString a = args.at(i);
        if (a == QLatin1String("--seed")) {
            from = to = value(i).toULongLong();
        } else if (a == QLatin1String("--seeds")) {
            const QString range = value(i);
            from = range.section(u'-', 0, 0).toULongLong();
            to = range.section(u'-', 1, 1).toULongLong();
            if (to < from)
                error = QStringLiteral("--seeds A-B with A <= B");
        } else if (a == QLatin1String("--soak")) {
            soakMinutes = value(i).toInt();
        } else if (a == QLatin1String("--from")) {
            from = value(i).toULongLong();
            fromGiven = true;
        } else if (a == QLatin1String("--env")) {
            generateOptions.environments = value(i).split(u',', Qt::SkipEmptyParts);
            for (const QString& word : std::as_const(generateOptions.environments))
                if (!Environment::words().contains(word))
                    error = QStringLiteral("unknown environment word \"%1\"").arg(word);
        } else if (a == QLatin1String("--segments")) {
            generateOptions.segments = std::max(1, value(i).toInt());
        } else if (a == QLatin1String("--steps")) {
            generateOptions.stepsPerSegment = std::max(2, value(i).toInt());
        } else if (a == QLatin1String("--keep")) {
            for (const QString& n : value(i).split(u',', Qt::SkipEmptyParts))
                keep << n.toInt();
        } else if (a == QLatin1String("--big")) {
            generateOptions.big = runOptions.big = true;
        } else if (a == QLatin1String("--no-shrink")) {
            shrinkIt = false;
        } else if (a == QLatin1String("--shrink-tries")) {
            shrinkTries = value(i).toInt();
        } else if (a == QLatin1String("--shrink-minutes")) {
            shrinkMinutes = value(i).toInt();
        } else if (a == QLatin1String("--log-dir")) {
            runOptions.logFolder = value(i);
        } else if (a == QLatin1String("--list")) {
            list = true;
        } else if (a == QLatin1String("--verbose")) {
            runOptions.verbose = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            print(QString::fromUtf8(kUsage));
            return 0;
        } else {
            error = QStringLiteral("unknown argument \"%1\"").arg(a);
        }
    }
    if (!error.isEmpty()) {
        std::fprintf(stderr, "zh-sim: %s\n%s", error.toLocal8Bit().constData(), kUsage);
        return 2;
    }
    if (soakMinutes > 0 && !fromGiven)
        from = 1;

    QElapsedTimer soak;
    soak.start();
    QMap<QString, Totals> byEnvironment;
    int failedRuns = 0, skippedRuns = 0, ranRuns = 0;
    const QString options = [&] {
        QStringList o;
        if (!generateOptions.environments.isEmpty())
            o << QStringLiteral("--env ") + generateOptions.environments.join(u',');
        if (generateOptions.segments != GenerateOptions().segments)
            o << QStringLiteral("--segments %1").arg(generateOptions.segments);
        if (generateOptions.stepsPerSegment != GenerateOptions().stepsPerSegment)
            o << QStringLiteral("--steps %1").arg(generateOptions.stepsPerSegment);
        if (generateOptions.big)
            o << QStringLiteral("--big");
        return o.join(u' ');
    }();
    for (quint64 seed = from; !stopRequested(); ++seed) {
        if (soakMinutes > 0 ? soak.elapsed() >= qint64(soakMinutes) * 60000 : seed > to)
            break;
        Schedule schedule;
        if (!generate(seed, generateOptions, &schedule, &error)) {
            std::fprintf(stderr, "zh-sim: %s\n", error.toLocal8Bit().constData());
            return 2;
        }
        if (list) {
            print(QStringLiteral("seed %1 on %2:\n%3")
                      .arg(seed)
                      .arg(schedule.environment.name(), schedule.describe(keep)));
            continue;
        }
        print(QStringLiteral("seed %1 on %2: %3 steps%4\n")
                  .arg(seed)
                  .arg(schedule.environment.name())
                  .arg(keep.isEmpty() ? schedule.steps.size() : keep.size() + 1)
                  .arg(keep.isEmpty() ? QString() : QStringLiteral(" (kept)")));
        RunResult result = runSchedule(schedule, keep, runOptions);
        if (stopRequested()) {
            print(QStringLiteral("  stopped by a signal\n"));
            break;
        }
        if (!result.skipped.isEmpty()) {
            print(QStringLiteral("  skipped: %1\n").arg(result.skipped));
            ++skippedRuns;
            continue;
        }
        ++ranRuns;
        Totals& totals = byEnvironment[result.environment];
        ++totals.runs;
        totals.seeds << seed;
        totals.operations += result.operations;
        totals.faults += result.faults;
        totals.samples << result.protectionMs;
        print(QStringLiteral(
                  "  %1 operations, %2 faults, %3 quiet points, %4 daemon starts, %5 s; protection p50 %6 "
                  "s, p95 %7 s, max %8 s (%9 changes); log %10\n")
                  .arg(result.operations)
                  .arg(result.faults)
                  .arg(result.quietPoints)
                  .arg(result.daemonStarts)
                  .arg(result.elapsedMs / 1000)
                  .arg(seconds(percentile(result.protectionMs, 50)),
                       seconds(percentile(result.protectionMs, 95)),
                       seconds(percentile(result.protectionMs, 100)))
                  .arg(result.protectionMs.size())
                  .arg(result.logPath));
        if (!result.failed()) {
            print(QStringLiteral("  all six hold\n"));
            continue;
        }
        ++failedRuns;
        ++totals.violations;
        if (!result.setupError.isEmpty())
            print(QStringLiteral("  could not stand up: %1\n").arg(result.setupError));
        for (const Violation& v : std::as_const(result.violations))
            print(QStringLiteral("  VIOLATION of invariant %1: %2\n").arg(v.invariant).arg(v.text));
        QList<int> kept = keep;
        if (shrinkIt && result.setupError.isEmpty()) {
            print(QStringLiteral("  shrinking (at most %1 runs, %2 minutes)…\n")
                      .arg(shrinkTries)
                      .arg(shrinkMinutes));
            const ShrinkResult shrunk =
                shrink(schedule, result, runOptions, shrinkTries, qint64(shrinkMinutes) * 60000,
                       [](const QString& line) { print(QStringLiteral("    ") + line + u'\n'); });
            kept = shrunk.keep;
            for (const Violation& v : std::as_const(shrunk.run.violations))
                print(QStringLiteral("  shrunk run: VIOLATION of invariant %1: %2\n")
                          .arg(v.invariant)
                          .arg(v.text));
        }
        print(QStringLiteral("  schedule%1:\n%2")
                  .arg(kept.isEmpty() ? QString() : QStringLiteral(" (shrunk)"))
                  .arg(schedule.describe(
                      kept.isEmpty() ? QList<int>() : kept + QList<int>{int(schedule.steps.size()) - 1})));
        print(QStringLiteral("  replay: scripts/sim.sh --seed %1%2%3\n")
                  .arg(seed)
                  .arg(kept.isEmpty() ? QString() : QStringLiteral(" --keep ") + keepText(kept))
                  .arg(options.isEmpty() ? QString() : u' ' + options));
    }
    if (list)
        return 0;
    if (ranRuns > 1 || soakMinutes > 0) {
        print(QStringLiteral(
            "\n| environment | runs | seeds | operations | faults | protection p50 / p95 / max (s) | "
            "runs with a violation |\n|---|---|---|---|---|---|---|\n"));
        for (auto it = byEnvironment.cbegin(); it != byEnvironment.cend(); ++it) {
            QStringList seeds;
            for (const quint64 s : it->seeds)
                seeds << QString::number(s);
            print(QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 / %7 / %8 | %9 |\n")
                      .arg(it.key())
                      .arg(it->runs)
                      .arg(seeds.join(u' '))
                      .arg(it->operations)
                      .arg(it->faults)
                      .arg(seconds(percentile(it->samples, 50)), seconds(percentile(it->samples, 95)),
                           seconds(percentile(it->samples, 100)))
                      .arg(it->violations));
        }
        print(QStringLiteral("%1 runs, %2 with a violation, %3 skipped, %4 min\n")
                  .arg(ranRuns)
                  .arg(failedRuns)
                  .arg(skippedRuns)
                  .arg(soak.elapsed() / 60000));
    }
    if (stopRequested())
        return 130;
    if (ranRuns == 0 && skippedRuns > 0)
        return kSkipped;
    return failedRuns > 0 ? 1 : 0;
}
