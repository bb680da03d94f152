// Sockets of either address family on Win32, the name look-up that gives both, and TCP
// keepalive, through the Winsock 2 calls (getaddrinfo, getnameinfo, WSAIoctl) of WS2_32.DLL,
// present since Windows XP. The sockets are non-blocking like the IPv4 ones of sockets.cpp, and
// a connect waits in Win32Wait so that it can be cancelled.

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "faults.h"
#include "platform.h"
#include "socket_addresses.h"
#include "threads.h"
#include "win32/wait.h"

#include <mstcpip.h>

namespace {

SOCKET Native(PlatSocket s) {
    return static_cast<SOCKET>(static_cast<uint32_t>(s));
}

using NameFunction = int(WSAAPI*)(SOCKET, sockaddr*, int*);

int32_t NameOf(NameFunction function, PlatSocket s, PlatAddress* addr, uint16_t* port) {
    sockaddr_storage ss{};
    int length = sizeof ss;
    if (function(Native(s), reinterpret_cast<sockaddr*>(&ss), &length) != 0) {
        return Win32FailFromWinsock();
    }
    if (!PlatFromSystemAddress(reinterpret_cast<sockaddr*>(&ss), static_cast<size_t>(length), addr,
                               port)) {
        PlatSetLastSocketError(PLAT_WSAEOPNOTSUPP);
        return -1;
    }
    return 0;
}

// One look-up, shared between the caller and the thread that runs getaddrinfo: whoever leaves
// last frees it, so a caller that gave up leaves the thread a live record to finish into.
struct Lookup {
    std::string name;
    uint32_t delayMs = 0;  // the test seam's slow look-up
    std::mutex lock;
    bool done = false;
    int32_t count = 0;
    PlatAddress found[PLAT_MAX_ADDRESSES];
};

uint32_t RunLookup(void* parameter) {
    std::unique_ptr<std::shared_ptr<Lookup>> holder(
        static_cast<std::shared_ptr<Lookup>*>(parameter));
    const std::shared_ptr<Lookup>& lookup = *holder;
    if (lookup->delayMs > 0) {
        Sleep(lookup->delayMs);
    }
    PlatAddress found[PLAT_MAX_ADDRESSES];
    const int32_t count =
        PlatSystemAddresses(lookup->name.c_str(), AI_ADDRCONFIG, found, PLAT_MAX_ADDRESSES);
    std::lock_guard<std::mutex> guard(lookup->lock);
    memcpy(lookup->found, found, sizeof found);
    lookup->count = count;
    lookup->done = true;
    return 0;
}

// How often a waiting caller looks whether the look-up has ended.
constexpr int32_t LOOKUP_POLL_MS = 10;

}  // namespace

PlatSocket PlatSocketCreateFor(int32_t family) {
    if (family != PLAT_AF_INET && family != PLAT_AF_INET6) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    SOCKET s = socket(family == PLAT_AF_INET ? AF_INET : AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        Win32FailFromWinsock();
        if (PlatLastSocketError() == WSAEAFNOSUPPORT) {
            PlatSetLastSocketError(PLAT_WSAEOPNOTSUPP);
        }
        return -1;
    }
    u_long nonBlocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        Win32FailFromWinsock();
        closesocket(s);
        return -1;
    }
    return static_cast<PlatSocket>(s);
}

int32_t PlatConnectTo(PlatSocket s, const PlatAddress& addr, uint16_t port, int32_t timeoutMs) {
    sockaddr_storage ss{};
    const int length = PlatToSystemAddress(addr, port, &ss);
    if (length == 0) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    if (connect(Native(s), reinterpret_cast<sockaddr*>(&ss), length) == 0) {
        return 0;
    }
    Win32FailFromWinsock();
    const int32_t error = PlatLastSocketError();
    if (error != PLAT_WSAEWOULDBLOCK && error != PLAT_WSAEINPROGRESS) {
        return -1;
    }
    const int32_t ready =
        Win32Wait(Native(s), Win32WaitFor::Connect, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0) {
        return -1;
    }
    if (ready == 0) {
        PlatSetLastSocketError(PLAT_WSAETIMEDOUT);
        return -1;
    }
    int err = 0;
    int len = sizeof err;
    if (getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
        return Win32FailFromWinsock();
    }
    if (err != 0) {
        PlatSetLastSocketError(err);
        return -1;
    }
    return 0;
}

int32_t PlatBindTo(PlatSocket s, const PlatAddress& addr, uint16_t port) {
    sockaddr_storage ss{};
    const int length = PlatToSystemAddress(addr, port, &ss);
    if (length == 0) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    if (addr.family == PLAT_AF_INET6) {
        // Only IPv6 peers (the Windows default, said here rather than relied on).
        DWORD on = 1;
        setsockopt(Native(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on),
                   sizeof on);
    }
    return bind(Native(s), reinterpret_cast<sockaddr*>(&ss), length) == 0
               ? 0
               : Win32FailFromWinsock();
}

int32_t PlatGetSockAddress(PlatSocket s, PlatAddress* addr, uint16_t* port) {
    return NameOf(getsockname, s, addr, port);
}

int32_t PlatGetPeerAddress(PlatSocket s, PlatAddress* addr, uint16_t* port) {
    return NameOf(getpeername, s, addr, port);
}

bool PlatFormatAddress(const PlatAddress& addr, char* out, int32_t size) {
    if (out == nullptr || size <= 0) {
        return false;
    }
    out[0] = '\0';
    sockaddr_storage ss{};
    PlatAddress bare = addr;
    bare.scopeId = 0;  // the text carries no zone
    const int length = PlatToSystemAddress(bare, 0, &ss);
    if (length == 0) {
        return false;
    }
    // getnameinfo rather than inet_ntop, which Windows has only since Vista.
    return getnameinfo(reinterpret_cast<sockaddr*>(&ss), length, out, static_cast<DWORD>(size),
                       nullptr, 0, NI_NUMERICHOST) == 0;
}

int32_t PlatResolveHost(const char* name, PlatAddress* out, int32_t capacity, int32_t timeoutMs) {
    if (name == nullptr || *name == '\0' || out == nullptr || capacity <= 0) {
        PlatSetLastSocketError(PLAT_WSAHOST_NOT_FOUND);
        return -1;
    }
    std::shared_ptr<Lookup> lookup(new (std::nothrow) Lookup());
    if (lookup == nullptr) {
        PlatSetLastSocketError(PLAT_WSAENOBUFS);
        return -1;
    }
    lookup->name = name;
    lookup->delayMs = PlatTakeFault(PlatFault::SlowLookup) ? PLAT_SLOW_LOOKUP_MS : 0;
    // getaddrinfo cannot be interrupted: it runs on a thread of the module's own while the
    // caller waits in short cancellable waits; a caller that stops waiting leaves it to finish.
    auto* holder = new (std::nothrow) std::shared_ptr<Lookup>(lookup);
    PlatThread* thread = holder != nullptr ? PlatThreadCreate(RunLookup, holder) : nullptr;
    if (thread == nullptr) {
        delete holder;
        PlatSetLastSocketError(PLAT_WSAENOBUFS);
        return -1;
    }
    PlatThreadClose(thread);
    const DWORD start = GetTickCount();
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lookup->lock);
            if (lookup->done) {
                const int32_t count = lookup->count < capacity ? lookup->count : capacity;
                if (count == 0) {
                    PlatSetLastSocketError(PLAT_WSAHOST_NOT_FOUND);
                    return -1;
                }
                memcpy(out, lookup->found, sizeof(PlatAddress) * static_cast<size_t>(count));
                return count;
            }
        }
        int32_t slice = LOOKUP_POLL_MS;
        if (timeoutMs >= 0) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= static_cast<DWORD>(timeoutMs)) {
                PlatSetLastSocketError(PLAT_WSAETIMEDOUT);
                return -1;
            }
            const DWORD left = static_cast<DWORD>(timeoutMs) - elapsed;
            if (left < static_cast<DWORD>(slice)) {
                slice = static_cast<int32_t>(left);
            }
        }
        if (Win32Wait(INVALID_SOCKET, Win32WaitFor::Read, slice) < 0) {
            return -1;
        }
    }
}

int32_t PlatSetKeepAlive(PlatSocket s, uint32_t seconds) {
    if (seconds == 0 || seconds > 0x7FFF) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    // SIO_KEEPALIVE_VALS sets the idle time and the probe interval in milliseconds; the number of
    // probes is the system's (10 on current Windows).
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = seconds * 1000u;
    values.keepaliveinterval = seconds * 1000u;
    DWORD returned = 0;
    if (WSAIoctl(Native(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned,
                 nullptr, nullptr) != 0) {
        return Win32FailFromWinsock();
    }
    return 0;
}
