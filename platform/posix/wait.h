// Internal to the POSIX backend: the one place where a cancellable call blocks.
#pragma once

#include "faults.h"

#include <cstdint>

// Waits until fd shows one of events (POLLIN, POLLOUT, POLLPRI), or the time runs out, or the
// calling thread's cancel target is cancelled. fd < 0 waits on nothing but the time and the
// cancellation. timeoutMs < 0 waits without limit. Returns 1 when ready, 0 on time-out, -1 on
// failure with the last socket error set (PLAT_WSAEINTR when cancelled). A signal does not end
// the wait early.
int32_t PosixWait(int fd, short events, int32_t timeoutMs);

// Translates errno into the Winsock numbering and stores it as the last socket error.
void PosixSetSocketErrorFromErrno(int err);

