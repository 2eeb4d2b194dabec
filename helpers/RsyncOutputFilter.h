#pragma once

#include "RsyncArguments.h"

#include <string>

// Turns what rsync prints into what the callers read. Output comes in arbitrary chunks; the filter
// keeps an unfinished line until its end arrives (or the stream ends), so a line cut between two
// chunks is never read as two.
//
// Standard output of an upload: for every file rsync sent, one line
//     Sent file <bytes> bytes 100% [Full Backup]<path>          (the file was new on the appliance)
//     Sent file <bytes> bytes 100% [Incremental Backup]<path>   (it replaced an older copy)
// with the path as rsync names it (relative to the source). Standard output of a download with
// --progress: for every progress step of a file
//     Restoring file <bytes> bytes <percent>% [Restore Progress] <path>
// Everything else on standard output is passed on unchanged.
//
// Standard error, every mode: a line about one file that could not be read or sent gets "IOERROR: "
// (missing, vanished or unreadable local file) or "SFERROR: " (the transfer of the file failed) put
// in front of rsync's own text; all other lines are passed on unchanged.
class RsyncOutputFilter {
  public:
    enum class FileError { None, IoError, SendError };

    RsyncOutputFilter(RsyncArguments::Mode mode, bool progress, std::string marker);

    // Each returns the text to write now.
    std::string standardOutput(const std::string& chunk);
    std::string standardError(const std::string& chunk);
    // The rest of unfinished lines once rsync has ended.
    std::string finishOutput();
    std::string finishError();

    static FileError classify(const std::string& line);
    static std::string fileLine(const std::string& itemize, const std::string& size, const std::string& path);

  private:
    std::string outputPiece(const std::string& piece, char terminator);
    std::string errorLine(const std::string& line);

    RsyncArguments::Mode mMode;
    bool mProgress;
    std::string mMarker;
    std::string mPendingOut;
    std::string mPendingErr;
    std::string mCurrentFile; // the download rsync is reporting progress for
    std::string mLastProgress;
};
