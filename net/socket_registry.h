// Internal to the network layer: the registry's view of a socket's TLS stream. Every socket the
// layer opens has one entry in the registry (net.h: kind, owner); a socket that carries TLS has
// its stream on that same entry, found with the same look-up under the same lock. Not for
// callers outside net/.
#pragma once

#include <atomic>
#include <cstdint>

#include "tls.h"

// Count of sockets with TLS: while it is 0, a socket operation knows without a look-up that its
// socket is plain.
extern std::atomic<int32_t> netTlsSocketCount;

// The TLS stream on s's entry, found under the registry's lock; null when s has none or is not
// registered.
PlatTls* NetTlsLookup(int32_t s);

// The TLS stream of s, or null for a plain socket. A plain socket costs one atomic load while no
// socket has TLS, and one short look-up under a lock otherwise.
inline PlatTls* NetTlsOf(int32_t s) {
    return netTlsSocketCount.load(std::memory_order_acquire) == 0 ? nullptr : NetTlsLookup(s);
}

// Puts tls on s's entry. False when s is not registered (a full table) or has TLS already.
bool NetTlsAttach(int32_t s, PlatTls* tls);

// Takes the TLS stream off s's entry and returns it (null when there was none); the caller shuts
// it down and frees it.
PlatTls* NetTlsDetach(int32_t s);
