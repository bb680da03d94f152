// Internal to the network layer: the receive and send steps that the public socket operations
// and the reply reader share, and the two rules every operation applies to a failed wait or a
// time-out; also a port's conversion to network order. Not for callers outside net/.
#pragma once

#include <atomic>
#include <cstdint>


// port (host order) in network order.
uint16_t NetPortToNetworkOrder(uint16_t port);

// The failure code of the socket call that has just failed on this thread: NET_CANCELLED when it
// was interrupted by a cancellation, else NET_ERROR. Call it right after the failing call.
int32_t NetFailureCode();

// Converts a time-out in whole seconds to the platform's milliseconds: 0 waits without limit
// (-1), a negative value does not wait at all (0), n waits n seconds (capped near 24 days).
int32_t NetWaitMilliseconds(int32_t seconds);

// The receive step of TcpRecv without its entry trace and without the dump: waits until s is
// readable (timeout as for TcpRecv), then, unless buffer is null or size is 0, receives one chunk
// of at most size bytes, copies it to logFile (unless -1) and to buffer. Returns the count, or
// NET_OK for a readiness test, or NET_CLOSED, NET_TIMEOUT, NET_BAD_POINTER, NET_NO_MEMORY or the
// failure code. Writes the exit line "TcpRecv".
int32_t TcpRecvStep(int32_t s, void* buffer, uint32_t size, int32_t timeout, int32_t logFile);
// TcpRecvStep with its wait in milliseconds (< 0: without limit; 0: not at all).
int32_t TcpRecvStepMs(int32_t s, void* buffer, uint32_t size, int32_t waitMs, int32_t logFile);

// The send step of TcpSend without its entry trace and without the dump: copies the length bytes
// to logFile (unless -1), then sends them all (urgent: as out-of-band data). Returns NET_OK or the
// failure code (NET_TIMEOUT when a wait for room lasted waitMs; < 0: without limit). Writes the
// exit line "TcpSend".
int32_t TcpSendStep(int32_t s, const char* data, uint32_t length, int32_t urgent, int32_t logFile,
                    int32_t waitMs = -1);

// The addresses of host for a connection: an IPv6 literal (bare or in brackets, as in
// "[::1]"), or a name resolved to addresses of both families within timeout seconds (0:
// without limit), ordered so that the families take turns, starting with the resolver's first.
// Returns the count, NET_HOST_UNKNOWN, NET_LOOKUP_TIMEOUT, or NET_CANCELLED.
int32_t NetResolveAll(const char* host, PlatAddress* out, int32_t capacity, int32_t timeout);

// Connects to each address in turn, at networkPort, until one connection stands; within timeout
// seconds in all (0: without limit), shared so that every address gets its turn: each but the
// last may take its part of the time left, the last all of it. The connected and registered
// socket in *socketVar (-1 on failure). NET_OK, NET_CANCELLED, NET_NO_SOCKET, NET_TIMEOUT
// (every attempt ran out of time) or NET_CONNECT_FAILED.
int32_t NetConnectAny(int32_t* socketVar, const PlatAddress* addresses, int32_t count,
                      uint16_t networkPort, int32_t timeout);
// NetConnectAny within totalMs milliseconds (< 0: without limit; 0: the time is up already,
// NET_TIMEOUT without an attempt).
int32_t NetConnectAnyWithin(int32_t* socketVar, const PlatAddress* addresses, int32_t count,
                            uint16_t networkPort, int32_t totalMs);
