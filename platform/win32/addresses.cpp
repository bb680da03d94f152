// Sockets of either address family on Win32, the name look-up that gives both, and TCP
// keepalive, through the Winsock 2 calls (getaddrinfo, getnameinfo, WSAIoctl) of WS2_32.DLL,
// present since Windows XP. The sockets are non-blocking like the IPv4 ones of sockets.cpp, and
// a connect waits in Win32Wait so that it can be cancelled.

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform.h"
#include "threads.h"
#include "win32/wait.h"

#include <mstcpip.h>

namespace {

SOCKET Native(PlatSocket s) {
    return static_cast<SOCKET>(static_cast<uint32_t>(s));
}

// The system's socket address for addr:port; its length, 0 for an address without a family.
int ToSystem(const PlatAddress& addr, uint16_t port, sockaddr_storage* out) {
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

// The address of a system socket address; false for a family other than the two.
bool FromSystem(const sockaddr* sa, size_t length, PlatAddress* addr, uint16_t* port) {
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

using NameFunction = int(WSAAPI*)(SOCKET, sockaddr*, int*);

int32_t NameOf(NameFunction function, PlatSocket s, PlatAddress* addr, uint16_t* port) {
    sockaddr_storage ss{};
    int length = sizeof ss;
    if (function(Native(s), reinterpret_cast<sockaddr*>(&ss), &length) != 0) {
        return Win32FailFromWinsock();
    }
    if (!FromSystem(reinterpret_cast<sockaddr*>(&ss), static_cast<size_t>(length), addr, port)) {
        PlatSetLastSocketError(PLAT_WSAEOPNOTSUPP);
        return -1;
    }
    return 0;
}

int32_t CopyAddresses(const addrinfo* list, PlatAddress* out, int32_t capacity) {
    int32_t count = 0;
    for (const addrinfo* it = list; it != nullptr && count < capacity; it = it->ai_next) {
        if (FromSystem(it->ai_addr, it->ai_addrlen, &out[count], nullptr)) {
            ++count;
        }
    }
    return count;
}

// One look-up, shared between the caller and the thread that runs getaddrinfo: whoever leaves
// last frees it, so a caller that gave up leaves the thread a live record to finish into.
struct Lookup {
    std::string name;
    std::mutex lock;
    bool done = false;
    int32_t count = 0;
    PlatAddress found[PLAT_MAX_ADDRESSES];
};

uint32_t RunLookup(void* parameter) {
    std::unique_ptr<std::shared_ptr<Lookup>> holder(
        static_cast<std::shared_ptr<Lookup>*>(parameter));
    const std::shared_ptr<Lookup>& lookup = *holder;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    PlatAddress found[PLAT_MAX_ADDRESSES];
    int32_t count = 0;
    if (getaddrinfo(lookup->name.c_str(), nullptr, &hints, &list) == 0) {
        count = CopyAddresses(list, found, PLAT_MAX_ADDRESSES);
        freeaddrinfo(list);
    }
    std::lock_guard<std::mutex> guard(lookup->lock);
    memcpy(lookup->found, found, sizeof found);
    lookup->count = count;
    lookup->done = true;
    return 0;
}

// How often a waiting caller looks whether the look-up has ended.
constexpr int32_t LOOKUP_POLL_MS = 10;

}  // namespace

bool PlatSameAddress(const PlatAddress& a, const PlatAddress& b) {
    if (a.family != b.family || a.family == 0) {
        return false;
    }
    return memcmp(a.bytes, b.bytes, a.family == PLAT_AF_INET ? 4 : 16) == 0;
}

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
    const int length = ToSystem(addr, port, &ss);
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
    const int length = ToSystem(addr, port, &ss);
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

int32_t PlatParseAddress(const char* text, PlatAddress* addr) {
    if (text == nullptr || *text == '\0' || addr == nullptr) {
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* list = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &list) != 0) {
        return -1;
    }
    const int32_t count = CopyAddresses(list, addr, 1);
    freeaddrinfo(list);
    return count == 1 ? 0 : -1;
}

bool PlatFormatAddress(const PlatAddress& addr, char* out, int32_t size) {
    if (out == nullptr || size <= 0) {
        return false;
    }
    out[0] = '\0';
    sockaddr_storage ss{};
    PlatAddress bare = addr;
    bare.scopeId = 0;  // the text carries no zone
    const int length = ToSystem(bare, 0, &ss);
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
