#pragma once

#include <QString>

// Reads what a backup rsync writes to standard error and what ping prints, for the decisions of a run.
class RsyncErrorClassifier {
  public:
    enum class Kind {
        None,         // nothing that changes the run
        PerFileError, // a file could not be read or sent ("IOERROR"/"SFERROR"); the set goes on
        Network,      // the appliance could not be reached; the set is retried
        Quota,        // the appliance is full or the quota used up; the run stops
    };
    struct Result {
        Kind kind = Kind::None;
        QString line; // the line naming the failed file, for PerFileError
    };

    // Per-file errors win over everything else in the same chunk.
    static Result classify(const QString& chunk);
    static bool isNetworkFailure(const QString& text);
    static bool isQuotaFailure(const QString& text);
    // rsync's own closing complaint ("rsync error: …", "@ERROR: …"), printed whenever it gives up.
    static bool isRsyncFailure(const QString& text);
    // The complaint of a run that sent what it could and names the files it could not (codes 23, 24).
    static bool isPartialTransfer(const QString& text);
    // The closing summary rsync prints with -v once the whole list has been gone through.
    static bool hasTransferSummary(const QString& output);

    // The address between the first "(" and the first ")" of ping's output; "" when there is none.
    static QString addressFromPingOutput(const QString& text);
};
