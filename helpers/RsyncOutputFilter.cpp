#include "RsyncOutputFilter.h"

#include <array>
#include <cctype>
#include <string_view>

namespace {

// errno texts the daemon reads as a network failure or a full appliance. A line ending in one of them
// must stay as it is: a per-file tag would hide it from that classification.
constexpr std::array<std::string_view, 7> kRunFailureErrnos = {
    "No space left on device", "Disk quota exceeded", "Disc quota exceeded",     "Operation timed out",
    "Connection timed out",    "Connection refused",  "Connection reset by peer"};

// The errno text rsync puts at the end of a line, "…: <text> (<number>)"; empty when there is none.
// Only the end counts, so a file name quoted earlier in the line never looks like a failure.
std::string_view errnoText(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    if (line.empty() || line.back() != ')')
        return {};
    const auto open = line.rfind(" (");
    if (open == std::string_view::npos || open + 3 > line.size())
        return {};
    const std::string_view number = line.substr(open + 2, line.size() - open - 3);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos)
        return {};
    const auto colon = line.rfind(": ", open);
    return colon == std::string_view::npos ? std::string_view() : line.substr(colon + 2, open - colon - 2);
}

bool isRunFailure(const std::string& line) {
    if (line.rfind("rsync: failed to connect to ", 0) == 0 ||
        line.rfind("rsync: connection unexpectedly closed", 0) == 0)
        return true;
    const std::string_view code = errnoText(line);
    for (std::string_view text : kRunFailureErrnos)
        if (code == text)
            return true;
    return false;
}

// rsync's messages about a local file that is missing, vanished or cannot be read.
constexpr std::array<std::string_view, 8> kIoErrors = {"link_stat ",
                                                       "file has vanished",
                                                       "readlink_stat(",
                                                       "opendir ",
                                                       "send_files failed to open ",
                                                       "cannot send file with empty name",
                                                       "cannot convert filename",
                                                       "failed to open "};

// rsync's messages about one file whose transfer failed on either side.
constexpr std::array<std::string_view, 17> kSendErrors = {"read errors mapping ",
                                                          "failed verification",
                                                          "sender failed to ",
                                                          "write failed on ",
                                                          "ftruncate failed on ",
                                                          "fsync failed on ",
                                                          "close failed on ",
                                                          "mkstemp ",
                                                          "rename ",
                                                          "rename failed for ",
                                                          "recv_generator: ",
                                                          "failed to set times on ",
                                                          "failed to set permissions on ",
                                                          "delete_file: ",
                                                          "cannot delete non-empty directory",
                                                          "could not make way for ",
                                                          "symlink "};

bool contains(const std::string& line, std::string_view text) {
    return line.find(text) != std::string::npos;
}

std::string digitsOnly(std::string_view text) {
    std::string out;
    for (char c : text)
        if (std::isdigit(static_cast<unsigned char>(c)))
            out += c;
    return out.empty() ? std::string("0") : out;
}

} // namespace

RsyncOutputFilter::RsyncOutputFilter(RsyncArguments::Mode mode, bool progress, std::string marker)
    : mMode(mode), mProgress(progress), mMarker(std::move(marker)) {}

RsyncOutputFilter::FileError RsyncOutputFilter::classify(const std::string& line) {
    if (isRunFailure(line))
        return FileError::None;
    // The closing summaries ("rsync error: some files/attrs were not transferred ... (code 23)") and
    // the daemon's refusals name no file.
    if (line.rfind("rsync error: ", 0) == 0 || line.rfind("rsync warning: ", 0) == 0 ||
        line.rfind("@ERROR", 0) == 0)
        return FileError::None;
    for (std::string_view text : kIoErrors)
        if (contains(line, text))
            return FileError::IoError;
    for (std::string_view text : kSendErrors)
        if (contains(line, text))
            return FileError::SendError;
    return FileError::None;
}

std::string RsyncOutputFilter::fileLine(const std::string& itemize, const std::string& size,
                                        const std::string& path) {
    // "<f+++++++++": every attribute is new, so the appliance had no copy before.
    const bool isNew = itemize.size() > 2 && itemize.find_first_not_of('+', 2) == std::string::npos;
    // No blank after the tag: the reader takes everything after it as the path.
    return "Sent file " + digitsOnly(size) + " bytes 100% " +
           (isNew ? "[Full Backup]" : "[Incremental Backup]") + path + "\n";
}

std::string RsyncOutputFilter::outputPiece(const std::string& piece, char terminator) {
    const std::string whole = terminator ? piece + terminator : piece;
    if (mMode != RsyncArguments::Mode::Upload && !(mMode == RsyncArguments::Mode::Download && mProgress))
        return whole;

    if (terminator == '\n' && piece.rfind(mMarker, 0) == 0) {
        // "<itemize> <length> [<bytes>] <name>"; the name may hold blanks.
        std::string_view rest(piece);
        rest.remove_prefix(mMarker.size());
        auto take = [&rest]() {
            const auto blank = rest.find(' ');
            const std::string word(rest.substr(0, blank));
            rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
            return word;
        };
        const std::string itemize = take();
        const std::string size = take();
        if (mMode == RsyncArguments::Mode::Upload)
            take(); // bytes on the wire; the callers show the file's size
        const std::string name(rest);
        const bool isFile =
            itemize.size() > 1 && itemize[1] == 'f' && (itemize[0] == '<' || itemize[0] == '>');
        if (mMode == RsyncArguments::Mode::Upload)
            return isFile ? fileLine(itemize, size, name) : std::string();
        mCurrentFile = isFile ? name : std::string();
        mLastProgress.clear();
        return std::string();
    }

    if (mMode == RsyncArguments::Mode::Download) {
        if (piece.empty() && terminator == '\r')
            return std::string(); // the carriage return that starts each progress step
        // A progress step: "   1,234,567  42%   1.23MB/s    0:00:01 (xfr#1, to-chk=3/9)".
        std::string_view text(piece);
        const auto start = text.find_first_not_of(' ');
        if (start != std::string_view::npos) {
            text.remove_prefix(start);
            const auto blank = text.find(' ');
            const auto pctStart =
                blank == std::string_view::npos ? blank : text.find_first_not_of(' ', blank);
            const auto pctEnd = pctStart == std::string_view::npos ? pctStart : text.find('%', pctStart);
            const bool amountOk =
                blank != std::string_view::npos && blank > 0 &&
                text.substr(0, blank).find_first_not_of("0123456789,.") == std::string_view::npos;
            const bool pctOk = pctEnd != std::string_view::npos && pctEnd > pctStart &&
                               text.substr(pctStart, pctEnd - pctStart).find_first_not_of("0123456789") ==
                                   std::string_view::npos;
            if (amountOk && pctOk) {
                if (mCurrentFile.empty())
                    return std::string();
                const std::string percent(text.substr(pctStart, pctEnd - pctStart + 1));
                if (percent == mLastProgress)
                    return std::string(); // rsync repeats a step while the rate changes
                mLastProgress = percent;
                return "Restoring file " + digitsOnly(text.substr(0, blank)) + " bytes " + percent +
                       " [Restore Progress] " + mCurrentFile + "\n";
            }
        }
    }
    return whole;
}

std::string RsyncOutputFilter::standardOutput(const std::string& chunk) {
    if (mMode != RsyncArguments::Mode::Upload && !(mMode == RsyncArguments::Mode::Download && mProgress))
        return chunk; // nothing to read in it: passed on as it comes
    mPendingOut += chunk;
    std::string out;
    std::size_t begin = 0;
    while (true) {
        const auto end = mPendingOut.find_first_of("\r\n", begin);
        if (end == std::string::npos)
            break;
        out += outputPiece(mPendingOut.substr(begin, end - begin), mPendingOut[end]);
        begin = end + 1;
    }
    mPendingOut.erase(0, begin);
    return out;
}

std::string RsyncOutputFilter::finishOutput() {
    std::string rest;
    rest.swap(mPendingOut);
    return rest.empty() ? rest : outputPiece(rest, '\0');
}

std::string RsyncOutputFilter::errorLine(const std::string& line) {
    switch (classify(line)) {
    case FileError::IoError:
        return "IOERROR: " + line;
    case FileError::SendError:
        return "SFERROR: " + line;
    case FileError::None:
        break;
    }
    return line;
}

std::string RsyncOutputFilter::standardError(const std::string& chunk) {
    mPendingErr += chunk;
    std::string out;
    std::size_t begin = 0;
    while (true) {
        const auto end = mPendingErr.find('\n', begin);
        if (end == std::string::npos)
            break;
        out += errorLine(mPendingErr.substr(begin, end - begin)) + '\n';
        begin = end + 1;
    }
    mPendingErr.erase(0, begin);
    return out;
}

std::string RsyncOutputFilter::finishError() {
    std::string rest;
    rest.swap(mPendingErr);
    return rest.empty() ? rest : errorLine(rest);
}
