// Cancellation of blocking calls on Win32: how a blocked thread is woken.
//
// WSACancelBlockingCall only reaches a blocking call of the calling thread, so it cannot stop a
// worker's call from the script's thread. Instead every cancellable call waits in select, and a
// cancel target owns a wake-up socket (UDP, bound to 127.0.0.1) that each of its waits selects on
// next to the socket it waits for. The target keeps the list of threads blocked on it right now
// (cancel_target.cpp); cancelling marks each of them and sends one datagram to the wake-up
// socket, which makes all of their selects return. A thread that finds itself marked reports
// PLAT_WSAEINTR. The datagram is drained by the last marked waiter to leave, or by any waiter that
// finds it with nobody marked, so a request that finds nobody blocked is dropped and never
// reaches a later call.

#include <chrono>
#include <mutex>
#include <new>

#include "cancel_target.h"
#include "platform.h"
#include "win32/wait.h"

// A target's wake-up socket and the address that a datagram to it goes to.
struct CancelWake {
    SOCKET socket = INVALID_SOCKET;
    sockaddr_in address{};
};

namespace {

// Discards every wake-up datagram of wake. Call with the target's lock held.
void Drain(const CancelWake* wake) {
    char scratch[16];
    while (recv(wake->socket, scratch, sizeof scratch, 0) != SOCKET_ERROR) {
    }
}

// Adds s to the sets that a wait for what selects on.
void AddToSets(SOCKET s, Win32WaitFor what, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet) {
    if (what == Win32WaitFor::Read) {
        FD_SET(s, readSet);
    } else {
        FD_SET(s, writeSet);
    }
    if (what == Win32WaitFor::Connect) {
        FD_SET(s, exceptSet);  // Winsock reports a failed connect here, not as writable
    }
}

// One select on s alone that does not wait. Returns 1, 0 or -1 like Win32Wait.
int32_t PollOnce(SOCKET s, Win32WaitFor what) {
    fd_set readSet;
    fd_set writeSet;
    fd_set exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    AddToSets(s, what, &readSet, &writeSet, &exceptSet);
    timeval none{};
    int n = select(0, &readSet, &writeSet, &exceptSet, &none);
    if (n == SOCKET_ERROR) {
        return Win32FailFromWinsock();
    }
    return n > 0 ? 1 : 0;
}

}  // namespace

bool CancelWakeReady(PlatCancelTarget* target) {
    if (target->wake != nullptr) {
        return true;
    }
    if (!Win32PrivateWinsockStarted()) {
        PlatSetLastSocketError(PLAT_WSANOTINITIALISED);
        return false;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        Win32FailFromWinsock();
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = 0;
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        Win32FailFromWinsock();
        closesocket(s);
        return false;
    }
    CancelWake* wake = new (std::nothrow) CancelWake{s, address};
    if (wake == nullptr) {
        closesocket(s);
        PlatSetLastSocketError(PLAT_WSAENOBUFS);
        return false;
    }
    target->wake = wake;
    return true;
}

void CancelWakeWaiters(PlatCancelTarget* target) {
    // One datagram wakes every waiter of the target: they all select on the same socket, and it
    // stays readable until the last marked waiter has left and drained it. A waiter is only listed
    // once its wake-up socket exists, so there is always one here.
    sendto(target->wake->socket, "!", 1, 0,
           reinterpret_cast<const sockaddr*>(&target->wake->address), sizeof target->wake->address);
}

void CancelWakeSettled(PlatCancelTarget* target) {
    Drain(target->wake);
}

void CancelWakeFree(CancelWake* wake) {
    if (wake != nullptr) {
        closesocket(wake->socket);
        delete wake;
    }
}

int32_t Win32Wait(SOCKET s, Win32WaitFor what, int32_t timeoutMs) {
    PlatCancelTarget* target = PlatBoundCancelTarget();
    if (CancelTargetRaised(target)) {
        return -1;
    }
    if (target == nullptr && s == INVALID_SOCKET) {
        // Winsock refuses a select with no socket at all.
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }

    if (target != nullptr && s != INVALID_SOCKET) {
        // A call that need not wait is not a blocked call: answer it without listing it on the
        // target. Reading a reply byte by byte would otherwise show the thread as blocked and
        // not blocked in quick turns, and a request meant for the wait after the last byte
        // could land in between and be dropped.
        const int32_t ready = PollOnce(s, what);
        if (ready != 0 || timeoutMs == 0) {
            return ready;
        }
    }

    CancelWaiter self;
    SOCKET wake = INVALID_SOCKET;
    if (target != nullptr) {
        if (!CancelTargetEnter(target, &self)) {
            return -1;
        }
        wake = target->wake->socket;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int32_t result;
    for (;;) {
        fd_set readSet;
        fd_set writeSet;
        fd_set exceptSet;
        FD_ZERO(&readSet);
        FD_ZERO(&writeSet);
        FD_ZERO(&exceptSet);
        if (s != INVALID_SOCKET) {
            AddToSets(s, what, &readSet, &writeSet, &exceptSet);
        }
        if (wake != INVALID_SOCKET) {
            FD_SET(wake, &readSet);
        }
        timeval limit{};
        timeval* limitPointer = nullptr;
        if (timeoutMs >= 0) {
            // Rounded up: a wait cut short of the deadline would end a pause early.
            auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
            long long us = left.count() > 0 ? static_cast<long long>(left.count()) : 0;
            limit.tv_sec = static_cast<long>(us / 1000000);
            limit.tv_usec = static_cast<long>(us % 1000000);
            limitPointer = &limit;
        }
        int n = select(0, &readSet, &writeSet, &exceptSet, limitPointer);
        if (n == SOCKET_ERROR) {
            result = Win32FailFromWinsock();
            break;
        }
        if (wake != INVALID_SOCKET && FD_ISSET(wake, &readSet)) {
            bool othersMarked;
            {
                std::lock_guard<std::mutex> guard(target->lock);
                if (self.cancelled) {
                    result = -1;  // reported below
                    break;
                }
                othersMarked = CancelTargetAnyMarked(target);
                if (!othersMarked) {
                    Drain(target->wake);  // a datagram left over from an earlier request
                }
            }
            if (othersMarked) {
                // The datagram belongs to other waiters of the target, and stays readable until
                // they have left; do not spin on it meanwhile.
                Sleep(1);
            }
        }
        if (s != INVALID_SOCKET &&
            (FD_ISSET(s, &readSet) || FD_ISSET(s, &writeSet) || FD_ISSET(s, &exceptSet))) {
            result = 1;
            break;
        }
        // select's clock may run ahead of ours: time is up only when our deadline has passed.
        if (timeoutMs >= 0 && Clock::now() >= deadline) {
            result = 0;
            break;
        }
    }

    if (target != nullptr && CancelTargetLeave(target, &self)) {
        PlatSetLastSocketError(PLAT_WSAEINTR);
        return -1;
    }
    return result;
}
