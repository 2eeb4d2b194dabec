#pragma once

#include <optional>
#include <string>
#include <vector>

// The private rsync copy's command line, as the daemon and the application write it, turned into
// the system rsync's. The callers put literal double quotes around the module path and, in some
// places, around the password-file path; those quotes would otherwise reach rsync as part of the
// names. Names are kept as bytes throughout: they need not be UTF-8.
class RsyncArguments {
  public:
    enum class Mode {
        Upload,   // local sources to the appliance: a backup
        Download, // from the appliance to a local folder: a restore
        List,     // --list-only, or a single operand
        Other     // anything else (a local copy): passed on as it stands
    };

    // False with a reason for a command line that cannot be run (no operand, an option without its
    // value).
    static std::optional<RsyncArguments> parse(const std::vector<std::string>& args, std::string* error);

    // Removes one pair of double quotes around the whole text.
    static std::string stripQuotes(const std::string& text);
    // Whether an operand names the appliance ("host::path" with no slash before "::", or rsync://).
    static bool isRemote(const std::string& operand);
    // "user@host::\"backup/a\"" -> "user@host::backup/a". A path the appliance sends from is taken
    // literally: the rsync daemon expands wildcards in it, so they are escaped.
    static std::string remoteOperand(const std::string& operand, bool isSource);

    // The arguments for the system rsync (without the program name). marker starts every line the
    // adapter asks rsync to print about a transferred item.
    std::vector<std::string> rsyncArguments(const std::string& marker) const;

    Mode mode() const { return mMode; }
    bool progress() const { return mProgress; }
    // The caller's --files-from list ("-" for standard input), quotes removed.
    const std::optional<std::string>& filesFrom() const { return mFilesFrom; }
    // The caller's list is NUL-separated (it passed --from0).
    bool listUsesNul() const { return mFrom0; }
    // Local sources of an upload without a file list.
    std::size_t sourceCount() const { return mOperands.empty() ? 0 : mOperands.size() - 1; }

  private:
    Mode mMode = Mode::Other;
    bool mProgress = false;
    bool mFrom0 = false;
    std::optional<std::string> mFilesFrom;
    std::vector<std::string> mOptions; // passed on, in order
    std::vector<std::string> mOperands;
};
