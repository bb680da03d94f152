// The address handling that every backend does the same way, through the socket addresses and
// getaddrinfo that Winsock 2 and POSIX have in common.

#include "socket_addresses.h"

#include <cstring>

socklen_t PlatToSystemAddress(const PlatAddress& addr, uint16_t port, sockaddr_storage* out) {
    memset(out, 0, sizeof *out);
    if (addr.family == PLAT_AF_INET) {
        auto* sa = reinterpret_cast<sockaddr_in*>(out);
        sa->sin_family = AF_INET;
        memcpy(&sa->sin_addr, addr.bytes, 4);
        sa->sin_port = port;
        return sizeof *sa;
    }
    if (addr.family == PLAT_AF_INET6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(out);
        sa->sin6_family = AF_INET6;
        memcpy(&sa->sin6_addr, addr.bytes, 16);
        sa->sin6_scope_id = addr.scopeId;
        sa->sin6_port = port;
        return sizeof *sa;
    }
    return 0;
}

bool PlatFromSystemAddress(const sockaddr* sa, size_t length, PlatAddress* addr, uint16_t* port) {
    PlatAddress result;
    uint16_t resultPort = 0;
    if (sa->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        result.family = PLAT_AF_INET;
        memcpy(result.bytes, &in->sin_addr, 4);
        resultPort = in->sin_port;
    } else if (sa->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        result.family = PLAT_AF_INET6;
        memcpy(result.bytes, &in6->sin6_addr, 16);
        result.scopeId = in6->sin6_scope_id;
        resultPort = in6->sin6_port;
    } else {
        return false;
    }
    if (addr != nullptr) *addr = result;
    if (port != nullptr) *port = resultPort;
    return true;
}

int32_t PlatSystemAddresses(const char* text, int flags, PlatAddress* out, int32_t capacity) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &list) != 0) {
        return 0;
    }
    int32_t count = 0;
    for (const addrinfo* it = list; it != nullptr && count < capacity; it = it->ai_next) {
        if (PlatFromSystemAddress(it->ai_addr, it->ai_addrlen, &out[count], nullptr)) {
            ++count;
        }
    }
    freeaddrinfo(list);
    return count;
}

bool PlatSameAddress(const PlatAddress& a, const PlatAddress& b) {
    if (a.family != b.family || a.family == 0) {
        return false;
    }
    return memcmp(a.bytes, b.bytes, a.family == PLAT_AF_INET ? 4 : 16) == 0;
}

int32_t PlatParseAddress(const char* text, PlatAddress* addr) {
    if (text == nullptr || *text == '\0' || addr == nullptr) {
        return -1;
    }
    return PlatSystemAddresses(text, AI_NUMERICHOST, addr, 1) == 1 ? 0 : -1;
}
