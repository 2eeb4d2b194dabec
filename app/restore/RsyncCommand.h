#pragma once

#include "RsyncConventions.h"

#include <QString>
#include <QStringList>

// Every rsync command line the application runs against the appliance: the restore window's listings,
// snapshot enumeration and downloads, the versions of one item, and the log-in check. With the system
// rsync a run is one command line for /bin/bash, with the private copy each piece is its own argument.
class RsyncCommand {
  public:
    using Command = RsyncConventions::Command;
    using Launch = RsyncConventions::Launch;

    // A listing or download of the restore window. remotes are already in their launch form (the
    // first with "user@address::", further ones as "::path" of the same connection); destination may
    // be empty.
    static Command restoreRun(bool systemRsync, const QString& privateRsync, const QString& passwordFile,
                              const QStringList& options, const QStringList& remotes,
                              const QString& destination);

    // The log-in check: the account's folder listed, given up when the appliance stays silent for
    // timeoutSeconds, with the limits the dialect of the chosen rsync knows.
    static Command loginCheck(bool systemRsync, const QString& privateRsync, const QString& passwordFile,
                              const QString& user, const QString& address,
                              const RsyncConventions::Dialect& dialect, qint64 timeoutSeconds);

    // The versions of one item (path below the account's folder, "<machine>/<path>") in one rsync run:
    // the live copy and the item in every snapshot, each printed under its path from the module's root
    // ("<user>/<path>", ".zfs/snapshot/<snap>/<user>/<path>").
    // With the system rsync: the module expands wildcards in the paths it is asked for, so the live
    // path and ".zfs/snapshot/*/<user>/<path>" (a second source of the same connection, "::…") name
    // every copy; --relative keeps each copy's snapshot in its printed name (without it rsync prints
    // every match under its bare name). The item's own "*", "?", "[" are escaped.
    // With the private copy, which keeps the paths it is given literal (it escapes their wildcards):
    // the module's root listed recursively through filters that let through only the folders on the
    // way to the item, live and in any snapshot, and the item itself.
    struct Listing {
        QStringList options; // in the launch's form
        QStringList remotes;
    };
    static Listing versionsListing(const QString& user, const QString& address, const QString& path,
                                   Launch launch);

    // text with the wildcard characters of a filter ("*", "?", "[", "\") escaped by a backslash; rsync
    // reads the escapes only in a pattern that holds a wildcard.
    static QString globLiteral(const QString& text);
};
