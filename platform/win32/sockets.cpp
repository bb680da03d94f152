// IPv4 sockets on Win32 with the Winsock 1.1 calls (through WS2_32.DLL). Every socket is non-blocking underneath (FIONBIO); the calls
// that block in Winsock (connect, accept, send, recv) wait in Win32Wait instead, so that another
// thread can cancel them.

#include <atomic>
#include <cstring>

#include "platform.h"
#include "socket_addresses.h"
#include "win32/wait.h"

namespace {

// Kept apart from WSAGetLastError, which is the thread's GetLastError slot: any later system
// call (a lock, a thread-local lookup) may overwrite that before the caller reads it.
thread_local int32_t tlsLastError = 0;
std::atomic<int32_t> startCount{0};

SOCKET Native(PlatSocket s) {
    return static_cast<SOCKET>(static_cast<uint32_t>(s));
}

bool SetNonBlocking(SOCKET s, bool on) {
    u_long value = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &value) == 0;
}

bool WouldBlock(int32_t error) {
    return error == PLAT_WSAEWOULDBLOCK || error == PLAT_WSAEINPROGRESS;
}

}  // namespace

int32_t Win32FailFromWinsock() {
    tlsLastError = WSAGetLastError();
    return -1;
}

bool Win32PrivateWinsockStarted() {
    // Never ended: the backend's own sockets must survive the last cleanup of the layers above,
    // and the process end releases Winsock anyway.
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(0x0101, &data) == 0;
    }();
    return started;
}

int32_t PlatLastSocketError() {
    return tlsLastError;
}
void PlatSetLastSocketError(int32_t error) {
    tlsLastError = error;
}

int32_t PlatSocketStartup() {
    WSADATA data;
    int result = WSAStartup(0x0101, &data);
    if (result != 0) {
        tlsLastError = result;  // WSAStartup returns its error instead of setting it
        return result;
    }
    startCount.fetch_add(1);
    return 0;
}

int32_t PlatSocketCleanup() {
    int32_t current = startCount.load();
    while (current > 0) {
        if (startCount.compare_exchange_weak(current, current - 1)) {
            WSACleanup();
            return 0;
        }
    }
    PlatSetLastSocketError(PLAT_WSANOTINITIALISED);
    return -1;
}

int32_t PlatSocketStartCount() {
    return startCount.load();
}

PlatSocket PlatSocketCreate() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return Win32FailFromWinsock();
    }
    if (!SetNonBlocking(s, true)) {
        Win32FailFromWinsock();
        closesocket(s);
        return -1;
    }
    return static_cast<PlatSocket>(s);
}

int32_t PlatSocketClose(PlatSocket s) {
    if (s < 0) {
        PlatSetLastSocketError(PLAT_WSAENOTSOCK);
        return -1;
    }
    if (closesocket(Native(s)) == 0) {
        return 0;
    }
    // A non-blocking socket with a linger time refuses to close while unsent data remains. The
    // lingering close is meant to wait for it, as it does on a blocking socket: make this one
    // blocking and close again.
    if (WSAGetLastError() == WSAEWOULDBLOCK && SetNonBlocking(Native(s), false) &&
        closesocket(Native(s)) == 0) {
        return 0;
    }
    return Win32FailFromWinsock();
}

int32_t PlatConnect(PlatSocket s, uint32_t addr, uint16_t port, int32_t timeoutMs) {
    return PlatConnectTo(s, PlatIpv4Address(addr), port, timeoutMs);
}

int32_t PlatBind(PlatSocket s, uint32_t addr, uint16_t port) {
    return PlatBindTo(s, PlatIpv4Address(addr), port);
}

// Winsock's SO_REUSEADDR would let the bind take a port that another socket is using: the
// system chooses.
int32_t PlatBindListeningPort(PlatSocket s, uint32_t addr) { return PlatBind(s, addr, 0); }

int32_t PlatListen(PlatSocket s, int32_t backlog) {
    return listen(Native(s), backlog) == 0 ? 0 : Win32FailFromWinsock();
}

PlatSocket PlatAccept(PlatSocket s, uint32_t* peerAddr, uint16_t* peerPort) {
    for (;;) {
        // Room for an IPv6 peer too: Winsock refuses an accept whose address does not fit.
        sockaddr_storage ss{};
        int len = sizeof ss;
        SOCKET accepted = accept(Native(s), reinterpret_cast<sockaddr*>(&ss), &len);
        const sockaddr_in& sa = *reinterpret_cast<const sockaddr_in*>(&ss);
        if (accepted != INVALID_SOCKET) {
            // Winsock hands the listening socket's modes on, but say it rather than rely on it.
            if (!SetNonBlocking(accepted, true)) {
                Win32FailFromWinsock();
                closesocket(accepted);
                return -1;
            }
            const bool v4 = ss.ss_family == AF_INET;
            if (peerAddr != nullptr)
                *peerAddr = v4 ? sa.sin_addr.s_addr : 0;
            if (peerPort != nullptr)
                *peerPort = v4 ? sa.sin_port : 0;
            return static_cast<PlatSocket>(accepted);
        }
        Win32FailFromWinsock();
        if (tlsLastError == PLAT_WSAECONNRESET || tlsLastError == PLAT_WSAECONNABORTED) {
            continue;  // a client that gave up before it was accepted
        }
        if (!WouldBlock(tlsLastError)) {
            return -1;
        }
        if (Win32Wait(Native(s), Win32WaitFor::Read, -1) < 0) {
            return -1;
        }
    }
}

int32_t PlatGetSockName(PlatSocket s, uint32_t* addr, uint16_t* port) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(Native(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return Win32FailFromWinsock();
    }
    if (addr != nullptr)
        *addr = sa.sin_addr.s_addr;
    if (port != nullptr)
        *port = sa.sin_port;
    return 0;
}

int32_t PlatGetPeerName(PlatSocket s, uint32_t* addr, uint16_t* port) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getpeername(Native(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return Win32FailFromWinsock();
    }
    if (addr != nullptr)
        *addr = sa.sin_addr.s_addr;
    if (port != nullptr)
        *port = sa.sin_port;
    return 0;
}

int32_t PlatSetReuseAddr(PlatSocket s, bool on) {
    BOOL value = on ? TRUE : FALSE;
    return setsockopt(Native(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
               ? 0
               : Win32FailFromWinsock();
}

int32_t PlatSetLinger(PlatSocket s, bool on, uint16_t seconds) {
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = seconds;
    return setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
               ? 0
               : Win32FailFromWinsock();
}

int32_t PlatShutdownSend(PlatSocket s) {
    return shutdown(Native(s), 1 /* SD_SEND */) == 0 ? 0 : Win32FailFromWinsock();
}

int32_t PlatWaitReadable(PlatSocket s, int32_t timeoutMs) {
    if (s < 0) {
        PlatSetLastSocketError(PLAT_WSAENOTSOCK);
        return -1;
    }
    return Win32Wait(Native(s), Win32WaitFor::Read, timeoutMs);
}

int32_t PlatWaitWritable(PlatSocket s, int32_t timeoutMs) {
    if (s < 0) {
        PlatSetLastSocketError(PLAT_WSAENOTSOCK);
        return -1;
    }
    return Win32Wait(Native(s), Win32WaitFor::Write, timeoutMs);
}

int32_t PlatPause(uint32_t timeoutMs) {
    uint32_t capped = timeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeoutMs;
    return Win32Wait(INVALID_SOCKET, Win32WaitFor::Read, static_cast<int32_t>(capped)) < 0 ? -1 : 0;
}

int32_t PlatSend(PlatSocket s, const void* data, int32_t len, int32_t flags) {
    return PlatSendWithin(s, data, len, flags, -1);
}

int32_t PlatSendWithin(PlatSocket s, const void* data, int32_t len, int32_t flags,
                       int32_t timeoutMs) {
    if (len < 0) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    if (PlatTakeFault(PlatFault::Send)) {
        PlatSetLastSocketError(PLAT_WSAECONNRESET);
        return -1;
    }
    // Winsock sends raise no signal when the peer has gone; there is nothing to suppress.
    const int sysFlags = (flags & PLAT_MSG_OOB) != 0 ? MSG_OOB : 0;
    // A receive or send that would block is no failure: the last socket error stays what it
    // was, as it does when select only waits.
    const int32_t errorBefore = tlsLastError;
    for (;;) {
        int n = send(Native(s), static_cast<const char*>(data), len, sysFlags);
        if (n != SOCKET_ERROR) {
            return n;
        }
        Win32FailFromWinsock();
        if (tlsLastError != PLAT_WSAEWOULDBLOCK) {
            return -1;
        }
        tlsLastError = errorBefore;
        int32_t ready = Win32Wait(Native(s), Win32WaitFor::Write, timeoutMs);
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
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    int sysFlags = 0;
    if ((flags & PLAT_MSG_PEEK) != 0)
        sysFlags |= MSG_PEEK;
    if ((flags & PLAT_MSG_OOB) != 0)
        sysFlags |= MSG_OOB;
    for (;;) {
        int n = recv(Native(s), static_cast<char*>(buffer), len, sysFlags);
        if (n != SOCKET_ERROR) {
            return n;
        }
        Win32FailFromWinsock();
        if ((flags & PLAT_MSG_OOB) != 0 || tlsLastError != PLAT_WSAEWOULDBLOCK) {
            return -1;
        }
        if (Win32Wait(Native(s), Win32WaitFor::Read, -1) < 0) {
            return -1;
        }
    }
}

int32_t PlatRecvWithin(PlatSocket s, void* buffer, int32_t len, int32_t timeoutMs) {
    if (len < 0) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return PLAT_RECV_FAILED;
    }
    // A receive or send that would block is no failure: the last socket error stays what it
    // was, as it does when select only waits.
    const int32_t errorBefore = tlsLastError;
    for (;;) {
        int n = recv(Native(s), static_cast<char*>(buffer), len, 0);
        if (n != SOCKET_ERROR) {
            return n;
        }
        Win32FailFromWinsock();
        if (tlsLastError != PLAT_WSAEWOULDBLOCK) {
            return PLAT_RECV_FAILED;
        }
        tlsLastError = errorBefore;
        int32_t ready = Win32Wait(Native(s), Win32WaitFor::Read, timeoutMs);
        if (ready < 0) {
            return PLAT_RECV_WAIT_FAILED;
        }
        if (ready == 0) {
            return PLAT_RECV_TIMEOUT;
        }
    }
}

int32_t PlatBytesWaiting(PlatSocket s, uint32_t* count) {
    u_long value = 0;
    if (ioctlsocket(Native(s), FIONREAD, &value) != 0) {
        return Win32FailFromWinsock();
    }
    *count = static_cast<uint32_t>(value);
    return 0;
}

int32_t PlatAtMark(PlatSocket s, bool* noUrgentData) {
    // Winsock's SIOCATMARK has the meaning wanted (non-zero when no urgent byte waits), but Wine
    // answers it in the BSD meaning, "the read position is at the mark": "none" while normal data
    // still stands before a waiting urgent byte, "waiting" after the urgent byte has been read.
    // A peek at the urgent byte answers the question itself on every Winsock. The socket is
    // non-blocking, so the peek never waits.
    char c;
    int n = recv(Native(s), &c, 1, MSG_OOB | MSG_PEEK);
    if (n == 1) {
        *noUrgentData = false;
        return 0;
    }
    if (n == SOCKET_ERROR) {
        const int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK && err != WSAEINVAL) {
            return Win32FailFromWinsock();
        }
    }
    *noUrgentData = true;
    return 0;
}

int32_t PlatLookupService(const char* name, uint16_t* port) {
    if (name == nullptr) {
        return -1;
    }
    // Winsock keeps the entry in storage of the calling thread, so this is thread-safe.
    const servent* found = getservbyname(name, "tcp");
    if (found == nullptr) {
        return -1;
    }
    *port = static_cast<uint16_t>(found->s_port);
    return 0;
}

uint32_t PlatInetAddr(const char* text) {
    // Older Winsocks read an empty text as 0.0.0.0; it is no address.
    if (text == nullptr || text[0] == '\0') {
        return PLAT_INADDR_NONE;
    }
    return inet_addr(text);
}

int32_t PlatLookupHost(const char* name, uint32_t* addr) {
    if (name == nullptr) {
        PlatSetLastSocketError(PLAT_WSAHOST_NOT_FOUND);
        return -1;
    }
    // Per-thread storage in Winsock, as for getservbyname.
    const hostent* entry = gethostbyname(name);
    if (entry == nullptr) {
        return Win32FailFromWinsock();
    }
    // Only an IPv4 address of exactly four bytes is taken.
    if (entry->h_addrtype != AF_INET || entry->h_length != 4 || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr) {
        PlatSetLastSocketError(PLAT_WSAHOST_NOT_FOUND);
        return -1;
    }
    std::memcpy(addr, entry->h_addr_list[0], 4);
    return 0;
}

void PlatInetNtoa(uint32_t addr, char* out) {
    in_addr a{};
    a.s_addr = addr;
    // inet_ntoa's buffer belongs to the calling thread; copy it before the next call.
    const char* text = inet_ntoa(a);
    if (text == nullptr) {
        out[0] = '\0';
        return;
    }
    size_t length = std::strlen(text);
    if (length > 15) {
        length = 15;
    }
    std::memcpy(out, text, length);
    out[length] = '\0';
}
