// Sockets on POSIX. Every socket is non-blocking underneath; the calls that block in Winsock
// (connect, accept, send, recv) wait in PosixWait instead, so that another thread can cancel
// them. Sends pass MSG_NOSIGNAL: a peer that has gone must give an error, not end the process.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "platform.h"
#include "socket_addresses.h"
#include "posix/wait.h"

namespace {

thread_local int32_t tlsLastError = 0;
std::atomic<int32_t> startCount{0};

int32_t WinsockFromErrno(int err) {
    switch (err) {
        case EINTR: return PLAT_WSAEINTR;
        case EBADF: return PLAT_WSAENOTSOCK;
        case EACCES: case EPERM: return PLAT_WSAEACCES;
        case EFAULT: return PLAT_WSAEFAULT;
        case EINVAL: return PLAT_WSAEINVAL;
        case EMFILE: case ENFILE: return PLAT_WSAEMFILE;
        case EAGAIN: return PLAT_WSAEWOULDBLOCK;
        case EINPROGRESS: case EALREADY: return PLAT_WSAEINPROGRESS;
        case ENOTSOCK: return PLAT_WSAENOTSOCK;
        case EMSGSIZE: return PLAT_WSAEMSGSIZE;
        case EOPNOTSUPP: return PLAT_WSAEOPNOTSUPP;
        case EADDRINUSE: return PLAT_WSAEADDRINUSE;
        case EADDRNOTAVAIL: return PLAT_WSAEADDRNOTAVAIL;
        case ENETDOWN: return PLAT_WSAENETDOWN;
        case ENETUNREACH: return PLAT_WSAENETUNREACH;
        case ECONNABORTED: return PLAT_WSAECONNABORTED;
        case ECONNRESET: case EPIPE: return PLAT_WSAECONNRESET;
        case ENOBUFS: case ENOMEM: return PLAT_WSAENOBUFS;
        case ENOTCONN: return PLAT_WSAENOTCONN;
        case ESHUTDOWN: return PLAT_WSAESHUTDOWN;
        case ETIMEDOUT: return PLAT_WSAETIMEDOUT;
        case ECONNREFUSED: return PLAT_WSAECONNREFUSED;
        case EHOSTUNREACH: return PLAT_WSAEHOSTUNREACH;
        default: return PLAT_WSAEINVAL;
    }
}

int32_t Fail(int err) {
    PosixSetSocketErrorFromErrno(err);
    return -1;
}

}  // namespace

void PosixSetSocketErrorFromErrno(int err) { tlsLastError = WinsockFromErrno(err); }

int32_t PlatLastSocketError() { return tlsLastError; }
void PlatSetLastSocketError(int32_t error) { tlsLastError = error; }

int32_t PlatSocketStartup() {
    startCount.fetch_add(1);
    return 0;
}

int32_t PlatSocketCleanup() {
    int32_t current = startCount.load();
    while (current > 0) {
        if (startCount.compare_exchange_weak(current, current - 1)) {
            return 0;
        }
    }
    PlatSetLastSocketError(PLAT_WSANOTINITIALISED);
    return -1;
}

int32_t PlatSocketStartCount() { return startCount.load(); }

PlatSocket PlatSocketCreate() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        return Fail(errno);
    }
    return fd;
}

int32_t PlatSocketClose(PlatSocket s) {
    if (s < 0) {
        return Fail(EBADF);
    }
    // A lingering close waits in the kernel even on a non-blocking socket, as in Winsock.
    if (close(s) != 0 && errno != EINTR) {
        return Fail(errno);
    }
    return 0;
}

int32_t PlatConnect(PlatSocket s, uint32_t addr, uint16_t port, int32_t timeoutMs) {
    return PlatConnectTo(s, PlatIpv4Address(addr), port, timeoutMs);
}

int32_t PlatBind(PlatSocket s, uint32_t addr, uint16_t port) {
    return PlatBindTo(s, PlatIpv4Address(addr), port);
}

namespace {

// The ephemeral range and the reserved ports in it, as the kernel gives them out to bind with
// port 0 (read once; the defaults when /proc cannot be read).
struct PortRange {
    uint32_t low = 32768;
    uint32_t high = 60999;
    std::vector<std::pair<uint32_t, uint32_t>> reserved;

    bool isReserved(uint32_t port) const {
        for (const auto& r : reserved) {
            if (port >= r.first && port <= r.second) {
                return true;
            }
        }
        return false;
    }
};

PortRange ReadPortRange() {
    PortRange range;
    if (FILE* f = fopen("/proc/sys/net/ipv4/ip_local_port_range", "re")) {
        unsigned low = 0, high = 0;
        if (fscanf(f, "%u %u", &low, &high) == 2 && low > 0 && low <= high && high <= 65535) {
            range.low = low;
            range.high = high;
        }
        fclose(f);
    }
    // "a,b-c,...": single ports and ranges.
    if (FILE* f = fopen("/proc/sys/net/ipv4/ip_local_reserved_ports", "re")) {
        unsigned first = 0, last = 0;
        char separator = 0;
        while (fscanf(f, "%u", &first) == 1) {
            last = first;
            if (fscanf(f, "%c", &separator) == 1 && separator == '-' &&
                fscanf(f, "%u%c", &last, &separator) < 1) {
                break;
            }
            range.reserved.emplace_back(first, last);
            if (separator != ',') {
                break;
            }
        }
        fclose(f);
    }
    return range;
}

// Ports already tried before the system is left to search.
constexpr int kChosenPortAttempts = 8;

}  // namespace

int32_t PlatBindListeningPort(PlatSocket s, uint32_t addr) {
    // The kernel's search for a port (bind with port 0) costs milliseconds per call once
    // connections in TIME_WAIT hold most of the range. A port named here is checked against its
    // own holders only, and SO_REUSEADDR lets a listener share it with connections in TIME_WAIT
    // (never with another listener). Ports are taken in turn from a random start, so that the
    // one just used, whose connection may still be in TIME_WAIT, comes back last.
    static const PortRange range = ReadPortRange();
    static std::atomic<uint32_t> next{static_cast<uint32_t>(std::random_device{}())};
    const uint32_t size = range.high - range.low + 1;
    for (int attempt = 0; attempt < kChosenPortAttempts; ++attempt) {
        const uint32_t port = range.low + next.fetch_add(1) % size;
        if (range.isReserved(port)) {
            continue;
        }
        if (PlatBind(s, addr, htons(static_cast<uint16_t>(port))) == 0) {
            return 0;
        }
        if (PlatLastSocketError() != PLAT_WSAEADDRINUSE) {
            return -1;
        }
    }
    return PlatBind(s, addr, 0);
}

int32_t PlatListen(PlatSocket s, int32_t backlog) {
    return listen(s, backlog) == 0 ? 0 : Fail(errno);
}

PlatSocket PlatAccept(PlatSocket s, uint32_t* peerAddr, uint16_t* peerPort) {
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        int fd = accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            if (peerAddr != nullptr) *peerAddr = sa.sin_addr.s_addr;
            if (peerPort != nullptr) *peerPort = sa.sin_port;
            return fd;
        }
        if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return Fail(errno);
        }
        if (PosixWait(s, POLLIN, -1) < 0) {
            return -1;
        }
    }
}

int32_t PlatGetSockName(PlatSocket s, uint32_t* addr, uint16_t* port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return Fail(errno);
    }
    if (addr != nullptr) *addr = sa.sin_addr.s_addr;
    if (port != nullptr) *port = sa.sin_port;
    return 0;
}

int32_t PlatGetPeerName(PlatSocket s, uint32_t* addr, uint16_t* port) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getpeername(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return Fail(errno);
    }
    if (addr != nullptr) *addr = sa.sin_addr.s_addr;
    if (port != nullptr) *port = sa.sin_port;
    return 0;
}

int32_t PlatSetReuseAddr(PlatSocket s, bool on) {
    int value = on ? 1 : 0;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) == 0 ? 0 : Fail(errno);
}

int32_t PlatSetLinger(PlatSocket s, bool on, uint16_t seconds) {
    linger value{on ? 1 : 0, seconds};
    return setsockopt(s, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0 ? 0 : Fail(errno);
}

int32_t PlatShutdownSend(PlatSocket s) {
    return shutdown(s, SHUT_WR) == 0 ? 0 : Fail(errno);
}

int32_t PlatWaitReadable(PlatSocket s, int32_t timeoutMs) {
    if (s < 0) {
        return Fail(EBADF);
    }
    return PosixWait(s, POLLIN, timeoutMs);
}

int32_t PlatWaitWritable(PlatSocket s, int32_t timeoutMs) {
    if (s < 0) {
        return Fail(EBADF);
    }
    return PosixWait(s, POLLOUT, timeoutMs);
}

int32_t PlatPause(uint32_t timeoutMs) {
    uint32_t capped = timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeoutMs;
    return PosixWait(-1, 0, static_cast<int32_t>(capped)) < 0 ? -1 : 0;
}

int32_t PlatSend(PlatSocket s, const void* data, int32_t len, int32_t flags) {
    return PlatSendWithin(s, data, len, flags, -1);
}

int32_t PlatSendWithin(PlatSocket s, const void* data, int32_t len, int32_t flags,
                       int32_t timeoutMs) {
    if (len < 0) {
        return Fail(EINVAL);
    }
    if (PlatTakeFault(PlatFault::Send)) {
        PlatSetLastSocketError(PLAT_WSAECONNRESET);
        return -1;
    }
    int sysFlags = MSG_NOSIGNAL | MSG_DONTWAIT | ((flags & PLAT_MSG_OOB) != 0 ? MSG_OOB : 0);
    for (;;) {
        ssize_t n = send(s, data, static_cast<size_t>(len), sysFlags);
        if (n >= 0) {
            return static_cast<int32_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return Fail(errno);
        }
        int32_t ready = PosixWait(s, POLLOUT, timeoutMs);
        if (ready < 0) {
            return -1;
        }
        if (ready == 0) {
            return PLAT_SEND_TIMEOUT;
        }
    }
}

int32_t PlatRecv(PlatSocket s, void* buffer, int32_t len, int32_t flags) {
    if (len < 0) {
        return Fail(EINVAL);
    }
    int sysFlags = MSG_DONTWAIT;
    if ((flags & PLAT_MSG_PEEK) != 0) sysFlags |= MSG_PEEK;
    if ((flags & PLAT_MSG_OOB) != 0) sysFlags |= MSG_OOB;
    for (;;) {
        ssize_t n = recv(s, buffer, static_cast<size_t>(len), sysFlags);
        if (n >= 0) {
            return static_cast<int32_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if ((flags & PLAT_MSG_OOB) != 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return Fail(errno);
        }
        if (PosixWait(s, POLLIN, -1) < 0) {
            return -1;
        }
    }
}

int32_t PlatRecvWithin(PlatSocket s, void* buffer, int32_t len, int32_t timeoutMs) {
    if (len < 0) {
        Fail(EINVAL);
        return PLAT_RECV_FAILED;
    }
    for (;;) {
        ssize_t n = recv(s, buffer, static_cast<size_t>(len), MSG_DONTWAIT);
        if (n >= 0) {
            return static_cast<int32_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(errno);
            return PLAT_RECV_FAILED;
        }
        int32_t ready = PosixWait(s, POLLIN, timeoutMs);
        if (ready < 0) {
            return PLAT_RECV_WAIT_FAILED;
        }
        if (ready == 0) {
            return PLAT_RECV_TIMEOUT;
        }
    }
}

int32_t PlatBytesWaiting(PlatSocket s, uint32_t* count) {
    int value = 0;
    if (ioctl(s, FIONREAD, &value) != 0) {
        return Fail(errno);
    }
    *count = value > 0 ? static_cast<uint32_t>(value) : 0;
    return 0;
}

int32_t PlatAtMark(PlatSocket s, bool* noUrgentData) {
    // Winsock reports "no urgent byte waiting"; the BSD ioctl of the same name reports "the read
    // position is at the mark", which is something else. Peek at the urgent byte instead.
    char c;
    ssize_t n = recv(s, &c, 1, MSG_OOB | MSG_PEEK | MSG_DONTWAIT);
    if (n == 1) {
        *noUrgentData = false;
        return 0;
    }
    if (n < 0 && errno != EINVAL && errno != EAGAIN && errno != EWOULDBLOCK) {
        return Fail(errno);
    }
    *noUrgentData = true;
    return 0;
}

int32_t PlatLookupService(const char* name, uint16_t* port) {
    if (name == nullptr) {
        return -1;
    }
    servent entry{};
    servent* found = nullptr;
    char scratch[1024];
    if (getservbyname_r(name, "tcp", &entry, scratch, sizeof scratch, &found) != 0 ||
        found == nullptr) {
        return -1;
    }
    *port = static_cast<uint16_t>(found->s_port);
    return 0;
}

uint32_t PlatInetAddr(const char* text) {
    if (text == nullptr) {
        return PLAT_INADDR_NONE;
    }
    in_addr a{};
    if (inet_aton(text, &a) == 0) {
        return PLAT_INADDR_NONE;
    }
    return a.s_addr;
}

int32_t PlatLookupHost(const char* name, uint32_t* addr) {
    if (name == nullptr) {
        PlatSetLastSocketError(PLAT_WSAHOST_NOT_FOUND);
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) {
        PlatSetLastSocketError(PLAT_WSAHOST_NOT_FOUND);
        return -1;
    }
    int32_t result = -1;
    for (addrinfo* it = list; it != nullptr; it = it->ai_next) {
        // Only an IPv4 address of exactly four bytes is taken.
        if (it->ai_family == AF_INET && it->ai_addrlen >= sizeof(sockaddr_in)) {
            *addr = reinterpret_cast<sockaddr_in*>(it->ai_addr)->sin_addr.s_addr;
            result = 0;
            break;
        }
    }
    freeaddrinfo(list);
    if (result != 0) {
        PlatSetLastSocketError(PLAT_WSAHOST_NOT_FOUND);
    }
    return result;
}

void PlatInetNtoa(uint32_t addr, char* out) {
    in_addr a{};
    a.s_addr = addr;
    inet_ntop(AF_INET, &a, out, 16);
}
