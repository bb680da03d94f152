// Internal to the platform backends: the conversions between PlatAddress and the system's socket
// addresses, and the address look-up through getaddrinfo, which Winsock 2 and POSIX share.
#pragma once

#ifdef _WIN32
#include "win32/wait.h"  // the Winsock 2 headers, in the order they need
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform.h"

// The system's socket address for addr:port (port in network order); its length, 0 for an
// address without a family.
socklen_t PlatToSystemAddress(const PlatAddress& addr, uint16_t port, sockaddr_storage* out);

// The address and port (network order) of a system socket address; either may be null. False
// for a family other than the two.
bool PlatFromSystemAddress(const sockaddr* sa, size_t length, PlatAddress* addr, uint16_t* port);

// The stream addresses of both families that getaddrinfo gives for text with flags (AI_...), at
// most capacity of them; 0 when the look-up fails.
int32_t PlatSystemAddresses(const char* text, int flags, PlatAddress* out, int32_t capacity);

// The PlatAddress of an IPv4 address in network order.
inline PlatAddress PlatIpv4Address(uint32_t addr) {
    PlatAddress result;
    result.family = PLAT_AF_INET;
    memcpy(result.bytes, &addr, 4);
    return result;
}
