#pragma once

#include "LoopFileSystem.h"

#include <QList>
#include <QString>
#include <QStringList>

// What a seed draws: the machine (Environment) and what happens on it (the steps). A step carries its
// own random value, from which whoever carries it out draws its details, so a step does the same
// whether or not the steps before it were dropped by the shrinker.

struct Environment {
    enum class Watch { Fanotify, Inotify };
    // Where the home lies: in the users folder on a file system of its own; behind a symbolic link
    // (/home -> /var/home, as on image-based desktops); or itself the mount point of its file system.
    enum class Layout { Users, Link, Mount };

    Watch watch = Watch::Fanotify;
    LoopFileSystem::Type fileSystem = LoopFileSystem::Type::Ext4;
    Layout layout = Layout::Users;

    QString name() const; // e.g. "fanotify/ext4/link"
    static QList<Environment> all();
    // filter: words any of which may name the watch, the file system or the layout; each word given
    // must hold ("inotify,xfs" = inotify on xfs, any layout). Empty: everything.
    bool matches(const QStringList& filter) const;
    static QStringList words();
};

enum class Op {
    // The person and their programs.
    NewTree,          // new files in a new folder tree
    SaveThroughTemp,  // a save through a temporary name renamed over the document
    WriteInPlace,     // overwritten in place
    Append,           // appended to
    Truncate,         // cut short
    MoveIn,           // moved (or copied and removed, across file systems) into the home from outside it
    MoveFromExcluded, // moved from an excluded folder of the home into a backed-up one
    MoveOut,          // moved out of the home
    RenameFile,
    RenameFolder, // a folder of up to thousands of files renamed
    Delete,
    HardLink,       // a second name for a file of the home
    SymlinkIn,      // a link to a file of the home
    SymlinkOut,     // a link to a file outside the home
    MakeUnreadable, // chmod 000
    MakeReadable,   // and back
    LargeFile,      // a sparse or large file, changed again while it may be on its way
    OddNames,       // blanks, quotes, line feeds, leading dashes, $(…), bytes that are not UTF-8
    DeepPath,
    Burst,      // thousands of files at once
    HugeFolder, // a folder of 100,000 files (only with --big)
    DotFiles,   // hidden files of the desktop: settings, a session's secret and log rewritten
    Encrypt,    // ransomware or a script gone wrong: existing files rewritten into random bytes
    // Faults: the machine, the supervisor, the application and the appliance.
    DaemonStop,   // stopped cleanly (SIGTERM) and started again after the unit's pause
    DaemonKill,   // killed with what it started, started again after the unit's pause
    ConsoleLogIn, // the person logs out at the screen and in again
    Reinitialize, // "Reinitialize" from the application
    LogOut,       // "Quit" in the application (a log-out), then a new log-in
    DailyRestart, // the daemon's own daily restart, brought near
    Pause,
    Resume,
    ApplianceStop,
    ApplianceStart,
    ApplianceFreeze, // hangs: connections accepted, never answered; sessions under way hung for good
    ApplianceThaw,
    ApplianceBusy, // every connection it allows held by other clients
    ApplianceRelease,
    ApplianceFull,
    ApplianceSpace,
    PasswordChanged,  // an administrator changes the account's password
    PasswordLogIn,    // the person logs in with the new one
    PasswordRestored, // the administrator puts the old one back; the person logs in again with it
    ExcludeFolder,    // the person excludes a folder in the editor
    IncludeFolder,    // …and stops excluding it
    AddPattern,
    RemovePattern,
    Overflow,      // the event queue overflows (the daemon frozen under a storm of changes)
    Restore,       // a restore from a snapshot, as the restore window runs it
    RestoreKilled, // …and the application killed during it or just after
    Quiet,         // nothing happens until everything is safe: the checker looks
};

QString opName(Op op);
bool isFault(Op op);

struct Step {
    Op op = Op::Quiet;
    quint64 value = 0; // the step's own random value
    int pauseMs = 0;   // how long the world runs on before the next step
};

struct GenerateOptions {
    int segments = 6;         // quiet points, the last one is the end
    int stepsPerSegment = 8;  // at most
    bool big = false;         // a folder of 100,000 files may come
    QStringList environments; // filter, see Environment::matches
};

struct Schedule {
    quint64 seed = 0;
    Environment environment;
    QList<Step> steps;
    QString describe(const QList<int>& indexes = {}) const; // one step a line, numbered
};

// The same options and seed give the same schedule. false when no environment matches the filter.
bool generate(quint64 seed, const GenerateOptions& options, Schedule* out, QString* error);
