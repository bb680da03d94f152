// Internal to the network layer: what the socket operations share with the TLS stream's own
// functions (tls_stream.cpp). Not for callers outside net/.
#pragma once

#include <cstdint>

// Result of a TLS failure (PLAT_TLS_*) as a network-layer code.
int32_t NetTlsResult(int32_t platResult);

// Looks at up to len bytes that have arrived on s without taking them out, without waiting
// (TLS: decrypted bytes). Returns the count, NET_CLOSED at the end of the stream,
// NET_TLS_TRUNCATED, or the failure code.
int32_t NetPeek(int32_t s, char* buffer, int32_t len);
