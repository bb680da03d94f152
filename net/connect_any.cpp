// Connections to a host of either address family: the look-up of every address of a name, and
// the attempts that try them in turn within one time-out.

#include <cstring>

#include "net.h"
#include "socket_steps.h"

namespace {

// Puts the families in turns (first family, other family, first, ...), keeping the order within
// each, so that a family whose every address fails costs one attempt at a time.
void Interleave(PlatAddress* list, int32_t count) {
    PlatAddress first[PLAT_MAX_ADDRESSES];
    PlatAddress other[PLAT_MAX_ADDRESSES];
    int32_t firstCount = 0;
    int32_t otherCount = 0;
    for (int32_t i = 0; i < count && i < PLAT_MAX_ADDRESSES; ++i) {
        if (list[i].family == list[0].family) {
            first[firstCount++] = list[i];
        } else {
            other[otherCount++] = list[i];
        }
    }
    int32_t out = 0;
    for (int32_t i = 0; i < firstCount || i < otherCount; ++i) {
        if (i < firstCount) list[out++] = first[i];
        if (i < otherCount) list[out++] = other[i];
    }
}

// One attempt on one address within waitMs (< 0: without limit). NET_OK with the socket in *s,
// or the failure.
int32_t Attempt(const PlatAddress& address, uint16_t networkPort, int32_t waitMs, int32_t* s) {
    char text[PLAT_ADDRESS_TEXT_SIZE];
    PlatFormatAddress(address, text, sizeof text);
    NetTrace(TRACE_CALL, "socket %s, SOCK_STREAM",
             address.family == PLAT_AF_INET6 ? "PF_INET6" : "PF_INET");
    *s = PlatSocketCreateFor(address.family);
    if (*s == -1) {
        NetTrace(TRACE_ERROR, "socket");
        return NET_NO_SOCKET;
    }
    NetTrace(TRACE_CALL, "connect on host %s", text);
    if (PlatConnectTo(*s, address, networkPort, waitMs) != 0) {
        const int32_t failure = NetFailureCode();
        const bool timedOut = PlatLastSocketError() == PLAT_WSAETIMEDOUT;
        NetTrace(TRACE_ERROR, "connect");
        PlatSocketClose(*s);
        *s = -1;
        return failure == NET_CANCELLED ? NET_CANCELLED
               : timedOut               ? NET_TIMEOUT
                                        : NET_CONNECT_FAILED;
    }
    NetRegisterSocket(*s, SOCKET_KIND_CONNECTED);
    return NET_OK;
}

}  // namespace

int32_t NetResolveAll(const char* host, PlatAddress* out, int32_t capacity, int32_t timeout) {
    if (host == nullptr || capacity <= 0) {
        return NET_HOST_UNKNOWN;
    }
    // "[::1]": the brackets that set an IPv6 address apart in URLs and host:port texts.
    char bare[PLAT_ADDRESS_TEXT_SIZE];
    const size_t length = strlen(host);
    if (length >= 2 && host[0] == '[' && host[length - 1] == ']') {
        if (length - 2 >= sizeof bare) {
            return NET_HOST_UNKNOWN;
        }
        memcpy(bare, host + 1, length - 2);
        bare[length - 2] = '\0';
        PlatAddress literal;
        if (PlatParseAddress(bare, &literal) != 0 || literal.family != PLAT_AF_INET6) {
            return NET_HOST_UNKNOWN;
        }
        out[0] = literal;
        return 1;
    }
    if (PlatParseAddress(host, &out[0]) == 0) {
        return 1;
    }
    NetTrace(TRACE_CALL, "getaddrinfo host %s", host);
    const int32_t count = PlatResolveHost(host, out, capacity, NetWaitMilliseconds(timeout));
    if (count <= 0) {
        NetTrace(TRACE_ERROR, "getaddrinfo host %s", host);
        const int32_t error = PlatLastSocketError();
        return error == NET_INTERRUPTED_ERROR ? NET_CANCELLED
               : error == PLAT_WSAETIMEDOUT   ? NET_LOOKUP_TIMEOUT
                                              : NET_HOST_UNKNOWN;
    }
    Interleave(out, count);
    return count;
}

int32_t NetConnectAny(int32_t* socketVar, const PlatAddress* addresses, int32_t count,
                      uint16_t networkPort, int32_t timeout) {
    return NetConnectAnyWithin(socketVar, addresses, count, networkPort,
                               timeout > 0 ? NetWaitMilliseconds(timeout) : -1);
}

int32_t NetConnectAnyWithin(int32_t* socketVar, const PlatAddress* addresses, int32_t count,
                            uint16_t networkPort, int32_t totalMs) {
    *socketVar = -1;
    const uint32_t start = PlatTickCount();
    bool allTimedOut = true;
    int32_t result = NET_CONNECT_FAILED;
    for (int32_t i = 0; i < count; ++i) {
        int32_t waitMs = -1;
        if (totalMs >= 0) {
            const uint32_t elapsed = PlatTickCount() - start;
            if (elapsed >= static_cast<uint32_t>(totalMs)) {
                break;
            }
            const int32_t left = totalMs - static_cast<int32_t>(elapsed);
            waitMs = left / (count - i);
        }
        result = Attempt(addresses[i], networkPort, waitMs, socketVar);
        if (result == NET_OK || result == NET_CANCELLED) {
            return result;
        }
        allTimedOut = allTimedOut && result == NET_TIMEOUT;
    }
    if (result == NET_NO_SOCKET) {
        return result;
    }
    return totalMs >= 0 && allTimedOut ? NET_TIMEOUT : NET_CONNECT_FAILED;
}

int32_t TcpConnectAddress(int32_t* socketVar, const PlatAddress& address, uint16_t port,
                          int32_t timeout) {
    NetTrace(TRACE_ENTER, "TcpConnectAddress. port %u", port);
    if (!PlatIsWritable(socketVar, sizeof *socketVar)) {
        return NET_BAD_POINTER;
    }
    const int32_t result =
        NetConnectAny(socketVar, &address, 1, NetPortToNetworkOrder(port), timeout);
    NetTrace(TRACE_EXIT, "TcpConnectAddress");
    return result;
}
