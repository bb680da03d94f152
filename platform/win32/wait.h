// Internal to the Win32 backend: the system headers in the one order that works, the one place
// where a cancellable call blocks, and the fault seams.
#pragma once

#include "faults.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Winsock 2 (WS2_32.DLL): getaddrinfo and the IPv6 socket addresses need it. It must come
// before windows.h, which would otherwise bring in the Winsock 1.1 header.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>

// What a wait is for.
enum class Win32WaitFor {
    Read,     // data, a connection to accept, or end of stream
    Write,    // room to send
    Connect,  // a non-blocking connect has finished, well or badly
};

// Waits until s is ready for what, or the time runs out, or the calling thread's cancel target is
// cancelled. s == INVALID_SOCKET waits on nothing but the time and the cancellation. timeoutMs < 0
// waits without limit. Returns 1 when ready, 0 on time-out, -1 on failure with the last socket
// error set (PLAT_WSAEINTR when cancelled).
int32_t Win32Wait(SOCKET s, Win32WaitFor what, int32_t timeoutMs);

// Stores WSAGetLastError() as the calling thread's last socket error; returns -1 for convenience.
int32_t Win32FailFromWinsock();

// Starts Winsock once for the backend's own sockets (the wake-up sockets of cancel targets), so
// that they outlive the last WSACleanup of the layers above. Returns true when Winsock is up.
bool Win32PrivateWinsockStarted();

