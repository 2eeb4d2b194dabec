#pragma once

#include <functional>
#include <string>
#include <vector>

// Runs the system rsync with an argument vector (no shell), feeds its standard input from memory,
// and hands every chunk of its standard output and standard error to the given functions as it
// arrives. SIGTERM, SIGINT and SIGHUP sent to this process are passed on to rsync, and rsync is
// told by the kernel to end when this process dies, so a killed adapter leaves no transfer behind.
class RsyncChild {
  public:
    using Sink = std::function<void(const std::string&)>;

    // The rsync to run: /usr/bin/rsync when present, else "rsync" on the search path.
    static std::string program();

    // Returns rsync's exit code, 128 + the signal when it was killed, or 127 with error set when it
    // could not be started.
    static int run(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                   const Sink& onOutput, const Sink& onError, std::string* error);
};
