// ZorvikHollin_ver_001: the private rsync copy. It takes the command lines the daemon and the
// application write for it, runs the system rsync with the same options, and prints what they read
// (docs/helpers.md).

#include "RsyncArguments.h"
#include "RsyncChild.h"
#include "RsyncOutputFilter.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char* const kName = "ZorvikHollin_ver_001";

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the reader is gone; rsync still runs to its end
        done += static_cast<std::size_t>(n);
    }
}

bool readAll(const std::string& path, std::string& out, std::string& error) {
    const int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = std::strerror(errno);
        break;
    }
    if (fd != 0)
        ::close(fd);
    return error.empty();
}

// One absolute path per line in the product's list files; empty lines carry nothing.
std::string toNulList(const std::string& list, char separator, std::size_t& entries) {
    std::string out;
    entries = 0;
    std::size_t begin = 0;
    while (begin <= list.size()) {
        auto end = list.find(separator, begin);
        if (end == std::string::npos)
            end = list.size();
        if (end > begin) {
            out.append(list, begin, end - begin);
            out += '\0';
            ++entries;
        }
        begin = end + 1;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);

    // The callers ask which rsync this is, to pass only the options it knows: rsync's own answer.
    if (args.size() == 1 && args.front() == "--version") {
        std::string startError;
        const int code = RsyncChild::run(
            RsyncChild::program(), args, std::string(), [](const std::string& chunk) { writeAll(1, chunk); },
            [](const std::string& chunk) { writeAll(2, chunk); }, &startError);
        if (!startError.empty())
            writeAll(2, std::string(kName) + ": " + startError + "\n");
        return code;
    }

    std::string why;
    const auto parsed = RsyncArguments::parse(args, &why);
    if (!parsed) {
        writeAll(2, std::string(kName) + ": " + why + "\n");
        return 1; // rsync's code for a syntax error
    }

    std::string input;
    if (parsed->filesFrom()) {
        std::string list;
        std::string readError;
        if (!readAll(*parsed->filesFrom(), list, readError)) {
            writeAll(2, std::string(kName) + ": cannot read the file list \"" + *parsed->filesFrom() +
                            "\": " + readError + "\n");
            return 11; // rsync's code for a file I/O error
        }
        std::size_t entries = 0;
        input = toNulList(list, parsed->listUsesNul() ? '\0' : '\n', entries);
        if (parsed->mode() == RsyncArguments::Mode::Upload)
            writeAll(1, std::to_string(entries) + " files to consider\n");
    } else if (parsed->mode() == RsyncArguments::Mode::Upload) {
        writeAll(1, std::to_string(parsed->sourceCount()) + " files to consider\n");
    }

    // Starts the lines rsync prints about transferred items. Those lines are all ours (the
    // --out-format we pass); no message of rsync starts this way.
    const std::string marker = "<ZH:" + std::to_string(::getpid()) + "> ";
    RsyncOutputFilter filter(parsed->mode(), parsed->progress(), marker);
    std::string startError;
    const int code = RsyncChild::run(
        RsyncChild::program(), parsed->rsyncArguments(marker), input,
        [&filter](const std::string& chunk) { writeAll(1, filter.standardOutput(chunk)); },
        [&filter](const std::string& chunk) { writeAll(2, filter.standardError(chunk)); }, &startError);
    writeAll(1, filter.finishOutput());
    writeAll(2, filter.finishError());
    if (!startError.empty())
        writeAll(2, std::string(kName) + ": " + startError + "\n");
    return code;
}
