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

    // The log-in check: the account's folder listed, given up after timeoutSeconds.
    static Command loginCheck(bool systemRsync, const QString& privateRsync, const QString& passwordFile,
                              const QString& user, const QString& address, qint64 timeoutSeconds);

    // The versions of one item (path below the account's folder, "<machine>/<path>") in one listing:
    // the live copy and the item in every snapshot. The module's root is listed recursively with
    // filters that let through only the folders on the way to the item, live and in any snapshot
    // ("/.zfs/snapshot/*/<user>/…"), and the item itself; rsync descends into nothing else. Filters
    // rather than a wildcard in the path: the private copy keeps the paths it is given literal (it
    // escapes their wildcards), while filters reach rsync as written in both dialects. Names come
    // back relative to the module ("<user>/<path>", ".zfs/snapshot/<snap>/<user>/<path>").
    struct Listing {
        QStringList options; // in the launch's form
        QString remote;
    };
    static Listing versionsListing(const QString& user, const QString& address, const QString& path,
                                   Launch launch);

    // text with the wildcard characters of a filter ("*", "?", "[", "\") escaped by a backslash; rsync
    // reads the escapes only in a pattern that holds a wildcard.
    static QString globLiteral(const QString& text);
};
