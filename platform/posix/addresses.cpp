// Sockets of either address family on POSIX, the name look-up that gives both, and TCP
// keepalive. The sockets are non-blocking like the IPv4 ones of sockets.cpp, and a connect waits
// in PosixWait so that it can be cancelled.

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "faults.h"
#include "platform.h"
#include "socket_addresses.h"
#include "threads.h"
#include "posix/wait.h"

namespace {

int32_t Fail(int err) {
    PosixSetSocketErrorFromErrno(err);
    return -1;
}

using NameFunction = int (*)(int, sockaddr*, socklen_t*);

int32_t NameOf(NameFunction function, PlatSocket s, PlatAddress* addr, uint16_t* port) {
    sockaddr_storage ss{};
    socklen_t length = sizeof ss;
    if (function(s, reinterpret_cast<sockaddr*>(&ss), &length) != 0) {
        return Fail(errno);
    }
    if (!PlatFromSystemAddress(reinterpret_cast<sockaddr*>(&ss), length, addr, port)) {
        PlatSetLastSocketError(PLAT_WSAEOPNOTSUPP);
        return -1;
    }
    return 0;
}

// One look-up, shared between the caller and the thread that runs getaddrinfo: whoever leaves
// last frees it, so a caller that gave up (time-out, cancellation) leaves the thread a live
// record to finish into.
struct Lookup {
    std::string name;
    uint32_t delayMs = 0;  // the test seam's slow look-up
    int wakeFd = -1;  // eventfd, written once the look-up has ended
    std::mutex lock;
    bool done = false;
    int32_t count = 0;
    PlatAddress found[PLAT_MAX_ADDRESSES];
    ~Lookup() {
        if (wakeFd >= 0) {
            close(wakeFd);
        }
    }
};

// The routine of the look-up's thread; parameter is a heap copy of the shared reference.
uint32_t RunLookup(void* parameter) {
    std::unique_ptr<std::shared_ptr<Lookup>> holder(static_cast<std::shared_ptr<Lookup>*>(parameter));
    const std::shared_ptr<Lookup>& lookup = *holder;
    if (lookup->delayMs > 0) {
        PlatPause(lookup->delayMs);
    }
    PlatAddress found[PLAT_MAX_ADDRESSES];
    const int32_t count =
        PlatSystemAddresses(lookup->name.c_str(), AI_ADDRCONFIG, found, PLAT_MAX_ADDRESSES);
    std::lock_guard<std::mutex> guard(lookup->lock);
    memcpy(lookup->found, found, sizeof found);
    lookup->count = count;
    lookup->done = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(lookup->wakeFd, &one, sizeof one);
    return 0;
}

}  // namespace

PlatSocket PlatSocketCreateFor(int32_t family) {
    if (family != PLAT_AF_INET && family != PLAT_AF_INET6) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    const int domain = family == PLAT_AF_INET ? AF_INET : AF_INET6;
    int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        return Fail(errno == EAFNOSUPPORT ? EOPNOTSUPP : errno);
    }
    return fd;
}

int32_t PlatConnectTo(PlatSocket s, const PlatAddress& addr, uint16_t port, int32_t timeoutMs) {
    sockaddr_storage ss{};
    const socklen_t length = PlatToSystemAddress(addr, port, &ss);
    if (length == 0) {
        return Fail(EINVAL);
    }
    if (connect(s, reinterpret_cast<sockaddr*>(&ss), length) == 0) {
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return Fail(errno);
    }
    const int32_t ready = PosixWait(s, POLLOUT, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0) {
        return -1;
    }
    if (ready == 0) {
        PlatSetLastSocketError(PLAT_WSAETIMEDOUT);
        return -1;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        return Fail(errno);
    }
    return err == 0 ? 0 : Fail(err);
}

int32_t PlatBindTo(PlatSocket s, const PlatAddress& addr, uint16_t port) {
    sockaddr_storage ss{};
    const socklen_t length = PlatToSystemAddress(addr, port, &ss);
    if (length == 0) {
        return Fail(EINVAL);
    }
    if (addr.family == PLAT_AF_INET6) {
        // Only IPv6 peers: an IPv4-mapped connection is never the peer an IPv6 socket expects.
        int on = 1;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    return bind(s, reinterpret_cast<sockaddr*>(&ss), length) == 0 ? 0 : Fail(errno);
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
    const int family = addr.family == PLAT_AF_INET ? AF_INET
                       : addr.family == PLAT_AF_INET6 ? AF_INET6
                                                      : -1;
    return family != -1 && inet_ntop(family, addr.bytes, out, static_cast<socklen_t>(size)) != nullptr;
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
    lookup->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (lookup->wakeFd < 0) {
        return Fail(errno);
    }
    // getaddrinfo cannot be interrupted, so it runs on a thread of its own while the caller
    // waits in a cancellable wait; a caller that stops waiting leaves it to finish alone. A
    // thread of the module's own, so that the module is not unloaded under it.
    auto* holder = new (std::nothrow) std::shared_ptr<Lookup>(lookup);
    PlatThread* thread = holder != nullptr ? PlatThreadCreate(RunLookup, holder) : nullptr;
    if (thread == nullptr) {
        delete holder;
        PlatSetLastSocketError(PLAT_WSAENOBUFS);
        return -1;
    }
    PlatThreadClose(thread);
    const int32_t ready = PosixWait(lookup->wakeFd, POLLIN, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0) {
        return -1;
    }
    if (ready == 0) {
        PlatSetLastSocketError(PLAT_WSAETIMEDOUT);
        return -1;
    }
    std::lock_guard<std::mutex> guard(lookup->lock);
    const int32_t count = lookup->count < capacity ? lookup->count : capacity;
    if (!lookup->done || count == 0) {
        PlatSetLastSocketError(PLAT_WSAHOST_NOT_FOUND);
        return -1;
    }
    memcpy(out, lookup->found, sizeof(PlatAddress) * static_cast<size_t>(count));
    return count;
}

int32_t PlatSetKeepAlive(PlatSocket s, uint32_t seconds) {
    if (seconds == 0 || seconds > 0x7FFF) {
        return Fail(EINVAL);
    }
    const int on = 1;
    const int interval = static_cast<int>(seconds);
    const int probes = 4;
    if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &interval, sizeof interval) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0) {
        return Fail(errno);
    }
    return 0;
}
