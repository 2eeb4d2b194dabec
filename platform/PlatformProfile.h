#pragma once

#include <QString>
#include <QStringList>

// Every location and operating-system-specific list the programs use. The build picks one profile
// (current()); tests build their own over a temporary root, in which case every absolute location,
// the users' homes included, lives below that root.
struct PlatformProfile {
    enum class Kind { MacOS, Linux };

    Kind kind = Kind::Linux;
    QString root; // "" on a real machine

    QString systemSupportFolder;   // machine-wide state
    QString userSupportSuffix;     // appended to a home to give the user support folder
    QString backupPasswordFile;    // rsync password file of backup runs
    QString listingPasswordFile;   // rsync password file of server listings
    QString privateRsyncPath;      // our private rsync copy
    QString usersFolder;           // the folder holding the homes
    QString usersFolderMarker;     // substring that marks a path as lying in the users folder
    QString perHomeExcludedFolder; // folder of every home that is excluded by default
    // What of the person's home is excluded by default, relative to the home: caches, trash,
    // thumbnails, session secrets and logs, and the product's own state. The initial set and the
    // watcher follow the same list (the person's "InitialExcludeList.txt", which the editor shows).
    QStringList perHomeExclusions;
    QString volumesFolder;    // where internal volumes are mounted ("" when the disk listing names them)
    QString shareMountFolder; // where the snapshot tool mounts the appliance's share
    QStringList initialSetRootPrefixes; // names of "/" entries that never enter the initial set (prefix test)
    QStringList defaultExclusions;      // absolute, already below root
    QStringList volumeSystemFolders;    // "/…" folders of a backed-up volume that are excluded when present
    QString snapshotToolPath;           // "tmutil" or our stand-in for it

    static PlatformProfile forLinux(const QString& root = QString());
    static PlatformProfile forMacOS(const QString& root = QString());
    // The profile this build was made for.
    static PlatformProfile current(const QString& root = QString());

    // Home folder of a user, looked up at every call so that a moved home is followed. An empty name
    // means the account running this process. "" when the user does not exist. Written as the account
    // database has it, cleaned ("/home/ann/" and "/home//ann" are "/home/ann"); links are not resolved.
    QString homeOf(const QString& userName) const;
    // Home + the user support suffix, or "" when the home is unknown.
    QString userSupportFolder(const QString& userName) const;
    // An absolute path of the machine, moved below root.
    QString rooted(const QString& absolutePath) const { return root + absolutePath; }
};
