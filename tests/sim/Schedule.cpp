#include "Schedule.h"

#include "Random.h"

#include <QMap>
#include <QPair>

namespace {

struct Weighted {
    Op op;
    int weight;
};

// How often each happens, relative to the others of its kind.
const Weighted kWorkload[] = {
    {Op::NewTree, 10},   {Op::SaveThroughTemp, 14}, {Op::WriteInPlace, 8},     {Op::Append, 6},
    {Op::Truncate, 3},   {Op::MoveIn, 6},           {Op::MoveFromExcluded, 4}, {Op::MoveOut, 3},
    {Op::RenameFile, 6}, {Op::RenameFolder, 4},     {Op::Delete, 5},           {Op::HardLink, 3},
    {Op::SymlinkIn, 2},  {Op::SymlinkOut, 2},       {Op::MakeUnreadable, 2},   {Op::MakeReadable, 2},
    {Op::LargeFile, 3},  {Op::OddNames, 4},         {Op::DeepPath, 2},         {Op::Burst, 3},
    {Op::HugeFolder, 1}, {Op::DotFiles, 4},         {Op::Encrypt, 2},
};
const Weighted kFaults[] = {
    {Op::DaemonStop, 8},      {Op::DaemonKill, 8},    {Op::ConsoleLogIn, 4},  {Op::Reinitialize, 2},
    {Op::LogOut, 3},          {Op::DailyRestart, 4},  {Op::Pause, 5},         {Op::ApplianceStop, 8},
    {Op::ApplianceFreeze, 5}, {Op::ApplianceBusy, 5}, {Op::ApplianceFull, 4}, {Op::PasswordChanged, 4},
    {Op::ExcludeFolder, 4},   {Op::IncludeFolder, 3}, {Op::AddPattern, 4},    {Op::RemovePattern, 3},
    {Op::Overflow, 3},        {Op::Restore, 3},       {Op::RestoreKilled, 3},
};

// A fault that lasts, and what ends it (several endings: one drawn).
QList<Op> liftsOf(Op op) {
    switch (op) {
    case Op::Pause:
        return {Op::Resume};
    case Op::ApplianceStop:
        return {Op::ApplianceStart};
    case Op::ApplianceFreeze:
        return {Op::ApplianceThaw};
    case Op::ApplianceBusy:
        return {Op::ApplianceRelease};
    case Op::ApplianceFull:
        return {Op::ApplianceSpace};
    case Op::PasswordChanged:
        return {Op::PasswordLogIn, Op::PasswordRestored};
    default:
        return {};
    }
}

bool allowed(Op op, const GenerateOptions& options) {
    return !(op == Op::HugeFolder && !options.big);
}

template <size_t N> Op draw(Random& random, const Weighted (&table)[N], const GenerateOptions& options) {
    int total = 0;
    for (const Weighted& w : table)
        total += allowed(w.op, options) ? w.weight : 0;
    qint64 roll = random.between(0, total - 1);
    for (const Weighted& w : table) {
        if (!allowed(w.op, options))
            continue;
        if (roll < w.weight)
            return w.op;
        roll -= w.weight;
    }
    return table[0].op;
}

const QMap<Op, QString>& names() {
    static const QMap<Op, QString> map{
        {Op::NewTree, "new-tree"},
        {Op::SaveThroughTemp, "save-through-temp"},
        {Op::WriteInPlace, "write-in-place"},
        {Op::Append, "append"},
        {Op::Truncate, "truncate"},
        {Op::MoveIn, "move-in"},
        {Op::MoveFromExcluded, "move-from-excluded"},
        {Op::MoveOut, "move-out"},
        {Op::RenameFile, "rename-file"},
        {Op::RenameFolder, "rename-folder"},
        {Op::Delete, "delete"},
        {Op::HardLink, "hard-link"},
        {Op::SymlinkIn, "symlink-in"},
        {Op::SymlinkOut, "symlink-out"},
        {Op::MakeUnreadable, "make-unreadable"},
        {Op::MakeReadable, "make-readable"},
        {Op::LargeFile, "large-file"},
        {Op::OddNames, "odd-names"},
        {Op::DeepPath, "deep-path"},
        {Op::Burst, "burst"},
        {Op::HugeFolder, "huge-folder"},
        {Op::DotFiles, "dot-files"},
        {Op::Encrypt, "encrypt"},
        {Op::DaemonStop, "daemon-stop"},
        {Op::DaemonKill, "daemon-kill"},
        {Op::ConsoleLogIn, "console-log-in"},
        {Op::Reinitialize, "reinitialize"},
        {Op::LogOut, "log-out"},
        {Op::DailyRestart, "daily-restart"},
        {Op::Pause, "pause"},
        {Op::Resume, "resume"},
        {Op::ApplianceStop, "appliance-stop"},
        {Op::ApplianceStart, "appliance-start"},
        {Op::ApplianceFreeze, "appliance-freeze"},
        {Op::ApplianceThaw, "appliance-thaw"},
        {Op::ApplianceBusy, "appliance-busy"},
        {Op::ApplianceRelease, "appliance-release"},
        {Op::ApplianceFull, "appliance-full"},
        {Op::ApplianceSpace, "appliance-space"},
        {Op::PasswordChanged, "password-changed"},
        {Op::PasswordLogIn, "password-log-in"},
        {Op::PasswordRestored, "password-restored"},
        {Op::ExcludeFolder, "exclude-folder"},
        {Op::IncludeFolder, "include-folder"},
        {Op::AddPattern, "add-pattern"},
        {Op::RemovePattern, "remove-pattern"},
        {Op::Overflow, "overflow"},
        {Op::Restore, "restore"},
        {Op::RestoreKilled, "restore-killed"},
        {Op::Quiet, "quiet"},
    };
    return map;
}

} // namespace

QString opName(Op op) {
    return names().value(op);
}

bool isFault(Op op) {
    return op >= Op::DaemonStop && op != Op::Quiet;
}

QString Environment::name() const {
    const QString watchName =
        watch == Watch::Fanotify ? QStringLiteral("fanotify") : QStringLiteral("inotify");
    const QString layoutName = layout == Layout::Users  ? QStringLiteral("users")
                               : layout == Layout::Link ? QStringLiteral("link")
                                                        : QStringLiteral("mount");
    return watchName + u'/' + LoopFileSystem::typeName(fileSystem) + u'/' + layoutName;
}

QList<Environment> Environment::all() {
    QList<Environment> out;
    for (const Watch w : {Watch::Fanotify, Watch::Inotify})
        for (const LoopFileSystem::Type f :
             {LoopFileSystem::Type::Ext4, LoopFileSystem::Type::Xfs, LoopFileSystem::Type::Btrfs})
            for (const Layout l : {Layout::Users, Layout::Link, Layout::Mount})
                out << Environment{w, f, l};
    return out;
}

QStringList Environment::words() {
    return {"fanotify", "inotify", "ext4", "xfs", "btrfs", "users", "link", "mount"};
}

bool Environment::matches(const QStringList& filter) const {
    const QStringList mine = name().split(u'/');
    for (const QString& word : filter) {
        // Words of one kind are alternatives ("ext4,xfs"); kinds must all hold.
        const int kind = int(words().indexOf(word) < 2 ? 0 : words().indexOf(word) < 5 ? 1 : 2);
        bool any = false;
        for (const QString& other : filter) {
            const int otherKind = int(words().indexOf(other) < 2 ? 0 : words().indexOf(other) < 5 ? 1 : 2);
            if (otherKind == kind && mine.at(kind) == other)
                any = true;
        }
        if (!any)
            return false;
    }
    return true;
}

QString Schedule::describe(const QList<int>& indexes) const {
    QString out;
    for (int i = 0; i < steps.size(); ++i) {
        if (!indexes.isEmpty() && !indexes.contains(i))
            continue;
        const Step& s = steps.at(i);
        out += QStringLiteral("  %1 %2 (value %3, then %4 ms)\n")
                   .arg(i, 3)
                   .arg(opName(s.op))
                   .arg(s.value, 16, 16, QLatin1Char('0'))
                   .arg(s.pauseMs);
    }
    return out;
}

bool generate(quint64 seed, const GenerateOptions& options, Schedule* out, QString* error) {
    Random random(seed);
    QList<Environment> candidates;
    for (const Environment& e : Environment::all())
        if (e.matches(options.environments))
            candidates << e;
    if (candidates.isEmpty()) {
        *error = QStringLiteral("no environment matches \"%1\"").arg(options.environments.join(u','));
        return false;
    }
    Schedule schedule;
    schedule.seed = seed;
    schedule.environment = random.pick(candidates);
    const auto step = [&random](Op op) {
        Step s{op, random.next(), 0};
        const int roll = int(random.below(100));
        s.pauseMs = roll < 10   ? 0
                    : roll < 85 ? int(random.between(100, 1500))
                                : int(random.between(2000, 4000));
        return s;
    };
    for (int segment = 0; segment < options.segments; ++segment) {
        QList<Step> steps;
        QList<QPair<Step, int>> lifts; // a lasting fault's end and how many steps later it comes
        const int count = int(random.between(2, std::max(2, options.stepsPerSegment)));
        for (int i = 0; i < count; ++i) {
            if ((segment == 0 && i == 0) || !random.chance(32)) {
                steps << step(segment == 0 && i == 0 ? Op::NewTree : draw(random, kWorkload, options));
            } else {
                const Op fault = draw(random, kFaults, options);
                steps << step(fault);
                const QList<Op> ends = liftsOf(fault);
                // Most lasting faults end within the segment; the rest end at its quiet point.
                if (!ends.isEmpty() && random.chance(70))
                    lifts << qMakePair(step(random.pick(ends)), int(random.between(0, 3)));
            }
            for (qsizetype l = 0; l < lifts.size();) {
                if (lifts[l].second-- <= 0) {
                    steps << lifts[l].first;
                    lifts.removeAt(l);
                } else {
                    ++l;
                }
            }
        }
        for (const auto& lift : std::as_const(lifts))
            steps << lift.first;
        schedule.steps << steps;
        schedule.steps << Step{Op::Quiet, random.next(), 0};
    }
    *out = schedule;
    return true;
}
