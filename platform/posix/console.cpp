// Interrupts and interruptible input on POSIX: the signal handler notes the signal and writes a
// byte to a pipe, so that a wait for input on any thread's behalf ends however the kernel chose
// the thread that took the signal.

#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

std::atomic<int32_t> pending{0};
static_assert(std::atomic<int32_t>::is_always_lock_free,
              "the signal handler needs a lock-free flag");
int wakePipe[2] = {-1, -1};

void NoteSignal(int signal) {
    int saved = errno;
    int32_t taken = signal == SIGINT   ? PLAT_INTERRUPT
                    : signal == SIGHUP ? PLAT_HANGUP
                                       : PLAT_TERMINATE;
    int32_t expected = 0;
    if (!pending.compare_exchange_strong(expected, taken) && taken != PLAT_INTERRUPT) {
        pending.store(taken);
    }
    if (wakePipe[1] >= 0) {
        char byte = 1;
        ssize_t ignored = write(wakePipe[1], &byte, 1);  // a full pipe is already awake
        (void)ignored;
    }
    errno = saved;
}

void DrainWakePipe() {
    char bytes[64];
    while (wakePipe[0] >= 0 && read(wakePipe[0], bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

void PlatInterruptsCatch() {
    if (wakePipe[0] < 0 && pipe(wakePipe) == 0) {
        for (int fd : wakePipe) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocking read of the main thread ends early
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

int32_t PlatInterruptPending() {
    return pending.load();
}

void PlatInterruptClear() {
    pending.store(0);
    DrainWakePipe();
}

int32_t PlatInputOpen(const char* path) {
    return open(path, O_RDONLY | O_CLOEXEC);
}

void PlatInputClose(int32_t input) {
    close(input);
}

bool PlatInputIsTerminal(int32_t input) {
    return isatty(input) == 1;
}

bool PlatOutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

bool PlatErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

int32_t PlatReadInput(int32_t input, char* buffer, uint32_t size) {
    for (;;) {
        if (pending.load() != 0) {
            return PLAT_INPUT_INTERRUPTED;
        }
        pollfd fds[2] = {{input, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        int ready = poll(fds, wakePipe[0] >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
        if (pending.load() != 0) {
            return PLAT_INPUT_INTERRUPTED;
        }
        if (ready <= 0 || fds[0].revents == 0) {
            DrainWakePipe();  // a byte of an interrupt that was cleared meanwhile
            continue;
        }
        ssize_t count = read(input, buffer, size);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        return count < 0 ? -1 : static_cast<int32_t>(count);
    }
}
