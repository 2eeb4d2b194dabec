#pragma once

#include <QString>

// Reads what a backup rsync writes to standard error and what ping prints, for the decisions of a run.
// Only rsync's own message forms count: lines that begin with "rsync: ", "rsync error: ", "@ERROR" or
// the private copy's "IOERROR: "/"SFERROR: ", and the errno text rsync puts at the very end of such a
// line ("…: No space left on device (28)"). A file name quoted inside a line never decides anything,
// so a vanished "No space left on device.txt" stays a per-file matter.
class RsyncErrorClassifier {
  public:
    enum class Kind {
        None,         // nothing that changes the run
        PerFileError, // a file could not be read or sent ("IOERROR"/"SFERROR"); the set goes on
        Network,      // the appliance could not be reached; the set is retried
        Quota,        // the appliance is full or the quota used up; the run stops
        Busy,         // the appliance has no connection free ("max connections"); try again soon
        AuthRefused,  // the appliance refused the account's password: the person must act
    };
    struct Result {
        Kind kind = Kind::None;
        QString line; // the line naming the failed file, for PerFileError
    };

    // Per-file errors come first; withoutPerFileLines gives the rest of the chunk, which may still
    // hold a network failure or a full appliance.
    static Result classify(const QString& chunk);
    static QString withoutPerFileLines(const QString& chunk);
    static bool isNetworkFailure(const QString& text);
    static bool isQuotaFailure(const QString& text);
    // "@ERROR: max connections (N) reached -- try again later"
    static bool isBusy(const QString& text);
    // "@ERROR: auth failed on module …"
    static bool isAuthRefused(const QString& text);
    // rsync's own closing complaint ("rsync error: …", "@ERROR: …"), printed whenever it gives up.
    static bool isRsyncFailure(const QString& text);
    // The complaint of a run that sent what it could and names the files it could not (codes 23, 24).
    static bool isPartialTransfer(const QString& text);

    // The errno text at the end of one of rsync's lines ("No space left on device"), or "".
    static QString errnoText(const QString& line);

    // The address between the first "(" and the first ")" of ping's output; "" when there is none.
    static QString addressFromPingOutput(const QString& text);
};
