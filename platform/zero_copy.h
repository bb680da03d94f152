// Moving received data straight from a plain socket into a local file inside the system, without
// passing it through the caller's memory, where the system can (POSIX: splice through a pipe).
// Elsewhere, or for a file or socket the system cannot do it for, every call reports
// PLAT_COPY_UNSUPPORTED and the caller keeps its own receive-and-write loop. A socket carrying
// TLS must never be handed to these calls: its bytes have to pass through the TLS stream.
//
// Sending has no such call. sendfile halves the sender's CPU but hands the reading of the file's
// pages to the receiver, which on the same machine then falls behind (uploads took 12 to 16 %
// longer); TransmitFile under Wine cost both time and CPU (docs/benchmarks.md). Senders keep
// their read-and-send loop.
#pragma once

#include <cstdint>

#include "platform.h"

// Results besides a count of bytes.
inline constexpr int32_t PLAT_COPY_SOCKET_FAILED = -1;  // the socket failed, or the wait was
                                                        // cancelled: the last socket error says
inline constexpr int32_t PLAT_COPY_TIMEOUT = -2;        // the socket made no progress in time
inline constexpr int32_t PLAT_COPY_FILE_FAILED = -3;    // the file could not be written in
                                                        // full (device full)
inline constexpr int32_t PLAT_COPY_UNSUPPORTED = -4;    // not possible here; nothing moved

// The state of one transfer from socket to file.
struct PlatFileCopy;

// Starts a transfer. Null when the system cannot move data this way at all, or is out of
// resources; the caller then uses its own loop.
PlatFileCopy* PlatFileCopyOpen();
// Ends the transfer (null does nothing).
void PlatFileCopyClose(PlatFileCopy* copy);

// Waits up to timeoutMs (< 0: without limit; cancellable) for data on s and writes up to count
// bytes of it to file at its current position. Returns the count written, 0 at the end of the
// stream, or a PLAT_COPY_ code. PLAT_COPY_UNSUPPORTED comes only from a call that moved nothing;
// a call that finds the file cannot take data this way still writes what it took from s, and
// the calls after it report PLAT_COPY_UNSUPPORTED.
int32_t PlatFileCopyRecv(PlatFileCopy* copy, PlatSocket s, int32_t file, uint32_t count,
                         int32_t timeoutMs);
