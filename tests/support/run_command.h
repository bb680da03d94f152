// Runs a program to its end within a time limit, for test fixtures that use command-line tools
// (openssl, useradd, a Python client). The program gets /dev/null as input; what it writes to
// its output and error output is captured together.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace ktest {

struct CommandResult {
    bool started = false;   // the program could be started at all
    bool timedOut = false;  // it was killed at the time limit
    int exitCode = -1;      // its exit status; -1 when it did not exit normally
    std::string output;     // standard output and standard error, interleaved

    bool succeeded() const { return started && !timedOut && exitCode == 0; }
    // "openssl exited with 1: <output>" and the like, for error messages.
    std::string describe(const std::string& program) const;
};

// Runs argv[0] (an absolute path, or a name looked up in PATH) with the arguments argv[1...].
// The program runs in a process group of its own; at the time limit the whole group is killed
// and the result says timedOut. Safe to call from several threads at once.
CommandResult RunCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));

}  // namespace ktest
