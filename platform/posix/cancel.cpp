// Cancellation of blocking calls on POSIX: how a blocked thread is woken.
//
// Every thread that blocks owns a wake-up descriptor (an eventfd) that its waits poll next to
// the socket. Cancelling a target (cancel_target.cpp keeps its list of blocked threads and marks
// them) writes to the eventfd of each of them. A thread that finds itself marked when its wait
// ends reports PLAT_WSAEINTR and drains its eventfd.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "cancel_target.h"
#include "platform.h"
#include "posix/wait.h"

namespace {

// A blocked thread and the descriptor that wakes it.
struct PosixWaiter : CancelWaiter {
    explicit PosixWaiter(int fd) : wakeFd(fd) {}
    int wakeFd;
};

// The calling thread's wake-up descriptor, made on first use and closed when the thread ends.
struct ThreadWake {
    int fd = -1;
    ~ThreadWake() {
        if (fd >= 0) {
            close(fd);
        }
    }
    int get() {
        if (fd < 0) {
            fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        return fd;
    }
};

thread_local ThreadWake tlsWake;

}  // namespace

bool CancelWakeReady(PlatCancelTarget*) {
    return true;  // each thread brings its own eventfd
}

void CancelWakeWaiters(PlatCancelTarget* target) {
    for (CancelWaiter* w : target->waiters) {
        uint64_t one = 1;
        // An eventfd write only fails when the counter would overflow; it is drained on wake.
        [[maybe_unused]] ssize_t n = write(static_cast<PosixWaiter*>(w)->wakeFd, &one, sizeof one);
    }
}

void CancelWakeSettled(PlatCancelTarget*) {
    // Each marked waiter drains its own eventfd as it leaves.
}

void CancelWakeFree(CancelWake*) {}

// Polls fd once without waiting. Returns 1 when ready, 0 when not, -1 on failure.
static int32_t PollNow(int fd, short events) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            PosixSetSocketErrorFromErrno(errno);
            return -1;
        }
        return n > 0 && p.revents != 0 ? 1 : 0;
    }
}

int32_t PosixWait(int fd, short events, int32_t timeoutMs) {
    PlatCancelTarget* target = PlatBoundCancelTarget();
    if (CancelTargetRaised(target)) {
        return -1;
    }
    // A socket that is ready already does not block: answer without registering, so that the
    // call never shows as blocked and a cancellation is only ever aimed at a real wait.
    if (fd >= 0) {
        int32_t now = PollNow(fd, events);
        if (now != 0 || timeoutMs == 0) {
            return now;
        }
    }
    int wakeFd = target != nullptr ? tlsWake.get() : -1;
    if (target != nullptr && wakeFd < 0) {
        PosixSetSocketErrorFromErrno(errno);
        return -1;
    }

    PosixWaiter self(wakeFd);
    if (target != nullptr && !CancelTargetEnter(target, &self)) {
        return -1;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int32_t result;
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        if (fd >= 0) {
            fds[count++] = pollfd{fd, events, 0};
        }
        if (wakeFd >= 0) {
            fds[count++] = pollfd{wakeFd, POLLIN, 0};
        }
        int wait = -1;
        if (timeoutMs >= 0) {
            // Rounded up: a wait cut down to whole milliseconds would end before the deadline
            // (a 100 ms pause would last 99 ms).
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        int n = poll(count > 0 ? fds : nullptr, count, wait);
        if (n < 0 && errno == EINTR) {
            continue;  // a signal is not a cancellation
        }
        if (n < 0) {
            PosixSetSocketErrorFromErrno(errno);
            result = -1;
            break;
        }
        if (wakeFd >= 0 && (fds[count - 1].revents & POLLIN) != 0) {
            result = -1;  // decided below, under the lock
            break;
        }
        if (n == 0) {
            if (timeoutMs >= 0 && Clock::now() < deadline) {
                continue;  // poll's clock may run ahead of ours: the time is not up yet
            }
            result = 0;
            break;
        }
        if (fd >= 0 && fds[0].revents != 0) {
            result = 1;  // POLLERR and POLLHUP also make the next call return at once
            break;
        }
    }

    if (target != nullptr && CancelTargetLeave(target, &self)) {
        uint64_t value;
        [[maybe_unused]] ssize_t r = read(wakeFd, &value, sizeof value);
        PlatSetLastSocketError(PLAT_WSAEINTR);
        return -1;
    }
    return result;
}
