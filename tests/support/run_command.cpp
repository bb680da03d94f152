#include "run_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace ktest {

std::string CommandResult::describe(const std::string& program) const {
    if (!started) {
        return program + " could not be started: " + output;
    }
    if (timedOut) {
        return program + " did not finish in time; its output:\n" + output;
    }
    if (exitCode < 0) {
        return program + " was killed; its output:\n" + output;
    }
    return program + " exited with " + std::to_string(exitCode) + "; its output:\n" + output;
}

CommandResult RunCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    CommandResult result;
    if (argv.empty()) {
        result.output = "no program given";
        return result;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    // Close-on-exec, so that programs that other threads start meanwhile do not inherit the
    // pipe and keep it open; dup2 in the child clears the flag on its copies.
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.output = std::string("pipe failed: ") + std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    pid_t pid = -1;
    int status = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(pipeFds[1]);
    if (status != 0) {
        ::close(pipeFds[0]);
        result.output = std::strerror(status);
        return result;
    }
    result.started = true;

    // Read until the program (and whatever it started) closes the pipe, or the time is up.
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                        .count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd fd{pipeFds[0], POLLIN, 0};
        int ready = ::poll(&fd, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipeFds[0]);
    // The pipe is closed, so the program has normally ended or is about to; one that closed its
    // output and lives on is killed at the time limit like one that never finished.
    int waitStatus = 0;
    if (result.timedOut) {
        ::kill(-pid, SIGKILL);
    }
    for (;;) {
        pid_t done = ::waitpid(pid, &waitStatus, result.timedOut ? 0 : WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            break;
        }
        if (done != 0) {
            continue;  // interrupted
        }
        if (Clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
        } else {
            ::poll(nullptr, 0, 5);
        }
    }
    if (WIFEXITED(waitStatus)) {
        result.exitCode = WEXITSTATUS(waitStatus);
    }
    return result;
}

}  // namespace ktest
