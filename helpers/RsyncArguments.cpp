#include "RsyncArguments.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

// Long options whose value may come as the next argument instead of after "=".
constexpr std::array<std::string_view, 48> kLongWithValue = {"--address",
                                                             "--backup-dir",
                                                             "--block-size",
                                                             "--bwlimit",
                                                             "--checksum-choice",
                                                             "--checksum-seed",
                                                             "--chmod",
                                                             "--chown",
                                                             "--compare-dest",
                                                             "--compress-choice",
                                                             "--compress-level",
                                                             "--config",
                                                             "--contimeout",
                                                             "--copy-dest",
                                                             "--debug",
                                                             "--exclude",
                                                             "--exclude-from",
                                                             "--files-from",
                                                             "--filter",
                                                             "--groupmap",
                                                             "--iconv",
                                                             "--include",
                                                             "--include-from",
                                                             "--info",
                                                             "--link-dest",
                                                             "--log-file",
                                                             "--log-file-format",
                                                             "--log-format",
                                                             "--max-delete",
                                                             "--max-size",
                                                             "--min-size",
                                                             "--modify-window",
                                                             "--only-write-batch",
                                                             "--out-format",
                                                             "--outbuf",
                                                             "--partial-dir",
                                                             "--password-file",
                                                             "--port",
                                                             "--protocol",
                                                             "--read-batch",
                                                             "--rsh",
                                                             "--rsync-path",
                                                             "--skip-compress",
                                                             "--sockopts",
                                                             "--suffix",
                                                             "--temp-dir",
                                                             "--timeout",
                                                             "--usermap"};

// Short options that take a value (-e ssh, -f rule, -B size, -M option, -T dir, -@ window).
constexpr std::string_view kShortWithValue = "efBMT@";

bool takesValue(std::string_view longName) {
    return std::find(kLongWithValue.begin(), kLongWithValue.end(), longName) != kLongWithValue.end();
}

std::string escapeWildcards(const std::string& path) {
    if (path.find_first_of("*?[") == std::string::npos)
        return path; // the daemon only expands paths that hold a wildcard
    std::string out;
    out.reserve(path.size() + 8);
    for (char c : path) {
        if (c == '\\' || c == '*' || c == '?' || c == '[')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace

std::string RsyncArguments::stripQuotes(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    return text;
}

bool RsyncArguments::isRemote(const std::string& operand) {
    if (operand.rfind("rsync://", 0) == 0)
        return true;
    const auto colons = operand.find("::");
    if (colons == std::string::npos || colons == 0)
        return false;
    return operand.find('/') > colons; // as rsync itself decides: no slash in the host part
}

std::string RsyncArguments::remoteOperand(const std::string& operand, bool isSource) {
    const auto colons = operand.find("::");
    if (colons == std::string::npos || operand.rfind("rsync://", 0) == 0)
        return operand;
    const std::string path = stripQuotes(operand.substr(colons + 2));
    return operand.substr(0, colons + 2) + (isSource ? escapeWildcards(path) : path);
}

std::optional<RsyncArguments> RsyncArguments::parse(const std::vector<std::string>& args,
                                                    std::string* error) {
    RsyncArguments result;
    bool listOnly = false;
    bool optionsEnded = false;
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return std::optional<RsyncArguments>();
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            result.mOperands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            const std::string name = arg.substr(0, eq);
            std::string value;
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
            } else if (takesValue(name)) {
                if (i + 1 >= args.size())
                    return fail("option " + name + " needs a value");
                value = args[++i];
            }
            if (name == "--password-file") {
                result.mOptions.push_back("--password-file=" + stripQuotes(value));
            } else if (name == "--files-from") {
                result.mFilesFrom = stripQuotes(value);
            } else if (name == "--from0") {
                result.mFrom0 = true;
            } else if (name == "--progress") {
                result.mProgress = true;
            } else if (name == "--list-only") {
                listOnly = true;
                result.mOptions.push_back(arg);
            } else if (eq == std::string::npos && takesValue(name)) {
                result.mOptions.push_back(name + "=" + value);
            } else {
                result.mOptions.push_back(arg);
            }
            continue;
        }
        // A cluster of short options; one that takes a value ends it, its value attached or next.
        result.mOptions.push_back(arg);
        for (std::size_t k = 1; k < arg.size(); ++k) {
            if (arg[k] == 'P')
                result.mProgress = true; // -P is --partial --progress; rsync keeps the partial part
            if (kShortWithValue.find(arg[k]) == std::string_view::npos)
                continue;
            if (k + 1 == arg.size()) {
                if (i + 1 >= args.size())
                    return fail(std::string("option -") + arg[k] + " needs a value");
                result.mOptions.push_back(args[++i]);
            }
            break;
        }
    }

    if (result.mOperands.empty())
        return fail("no source or destination given");

    // Local paths come unquoted from the callers; an absolute one in quotes is unquoted as well.
    for (std::string& operand : result.mOperands) {
        if (!isRemote(operand)) {
            const std::string bare = stripQuotes(operand);
            if (bare.size() != operand.size() && !bare.empty() && bare.front() == '/')
                operand = bare;
        }
    }

    const bool firstRemote = isRemote(result.mOperands.front());
    const bool lastRemote = isRemote(result.mOperands.back());
    if (listOnly || result.mOperands.size() == 1)
        result.mMode = Mode::List;
    else if (lastRemote && !firstRemote)
        result.mMode = Mode::Upload;
    else if (firstRemote && !lastRemote)
        result.mMode = Mode::Download;
    else
        result.mMode = Mode::Other;

    const std::size_t last = result.mOperands.size() - 1;
    for (std::size_t i = 0; i < result.mOperands.size(); ++i) {
        if (isRemote(result.mOperands[i]))
            result.mOperands[i] = remoteOperand(result.mOperands[i], result.mMode == Mode::List || i < last);
    }
    return result;
}

std::vector<std::string> RsyncArguments::rsyncArguments(const std::string& marker) const {
    std::vector<std::string> out = mOptions;
    // Names as bytes: rsync would otherwise print every non-ASCII byte as an escape in the C locale.
    // Control characters (a line feed in a name) stay escaped, so one line is one entry.
    out.push_back("--8-bit-output");
    switch (mMode) {
    case Mode::Upload:
        // %b makes rsync print the line once the file is through, not when it starts.
        out.push_back("--out-format=" + marker + "%i %l %b %n");
        break;
    case Mode::Download:
        if (mProgress) {
            out.push_back("--progress");
            out.push_back("--out-format=" + marker + "%i %l %n");
        }
        break;
    case Mode::List:
    case Mode::Other:
        if (mProgress)
            out.push_back("--progress");
        break;
    }
    if (mFilesFrom) {
        // The list reaches rsync NUL-separated on its standard input, so that a name with a carriage
        // return, or one that starts with "#" or ";", is not split or taken for a comment.
        out.push_back("--files-from=-");
        out.push_back("--from0");
    } else if (mFrom0) {
        out.push_back("--from0");
    }
    out.push_back("--");
    out.insert(out.end(), mOperands.begin(), mOperands.end());
    return out;
}
