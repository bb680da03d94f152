// The registry of the sockets the network layer opens (with their kind and owner thread), and
// the operations that read or change it: the start-up and shut-down of the socket library
// (NetInit readies the registry, NetCleanup closes the calling thread's registered sockets) and
// closing a socket with the steps its kind needs (it looks the socket's entry up and frees it).
// What waits on a socket (data, urgent data, the peer's end) and discarding it are in
// socket_input.cpp.

#include <mutex>

#include "net.h"
#include "socket_steps.h"

namespace {

constexpr uint32_t LISTEN_CLOSE_PAUSE_MS = 100;
// How long a close waits for room to send close_notify: a peer that takes nothing more does not
// hold the close for longer.
constexpr int32_t CLOSE_NOTIFY_WAIT_MS = 1000;

// The registry. One lock, held only while entries are read or written, never across a socket
// call, so that registrations from different threads never take the same free entry.
struct SocketTable {
    std::mutex lock;
    SocketTableEntry entries[SOCKET_TABLE_SIZE];
    bool tableReady = false;

    SocketTable() {
        // Free from the start, so that nothing is found before the first NetInit.
        for (SocketTableEntry& entry : entries) {
            entry = SocketTableEntry{-1, 0, 0};
        }
    }

    // Index of the first entry holding s, or -1. The lock must be held.
    int FindLocked(int32_t s) const {
        for (int i = 0; i < SOCKET_TABLE_SIZE; ++i) {
            if (entries[i].socket == s) {
                return i;
            }
        }
        return -1;
    }
};

SocketTable& Table() {
    static SocketTable table;
    return table;
}

// Frees entry index if it still holds s (the entry that TcpClose looked up before closing).
void ReleaseEntry(int index, int32_t s) {
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (table.entries[index].socket == s) {
        table.entries[index].socket = -1;
    }
}

}  // namespace

void NetRegisterSocket(int32_t s, int32_t kind) {
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    int index = table.FindLocked(-1);
    if (index >= 0) {
        table.entries[index] = SocketTableEntry{s, kind, PlatCurrentThreadId()};
    }
}

bool NetLookupSocket(int32_t s, SocketTableEntry* entry) {
    if (s == -1) {
        return false;
    }
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    int index = table.FindLocked(s);
    if (index < 0) {
        return false;
    }
    if (entry != nullptr) {
        *entry = table.entries[index];
    }
    return true;
}

void NetReleaseSocket(int32_t s) {
    if (s == -1) {
        return;
    }
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    int index = table.FindLocked(s);
    if (index >= 0) {
        table.entries[index].socket = -1;
    }
}

int NetRegisteredSocketCount() {
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    int count = 0;
    for (const SocketTableEntry& entry : table.entries) {
        count += entry.socket != -1 ? 1 : 0;
    }
    return count;
}

int32_t NetInit() {
    NetTrace(TRACE_ENTER, "NetInit");
    {
        SocketTable& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        if (!table.tableReady) {
            for (SocketTableEntry& entry : table.entries) {
                entry.socket = -1;
            }
            table.tableReady = true;
        }
    }
    NetTrace(TRACE_CALL, "WSAStartup, Winsock 1.1 required");
    const int32_t started = PlatSocketStartup();
    NetTrace(TRACE_EXIT, "NetInit");
    return started == 0 ? NET_OK : NET_ERROR;
}

int32_t NetCleanup() {
    NetTrace(TRACE_ENTER, "NetCleanup");
    SocketTable& table = Table();
    bool ready;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        ready = table.tableReady;
    }
    int32_t result = NET_OK;
    if (ready) {
        // A call blocked on this thread's cancel target belongs to a worker of the same client:
        // cancel it and refuse, so that nothing is closed under its feet.
        PlatCancelTarget* target = PlatBoundCancelTarget();
        if (PlatIsBlocking(target)) {
            PlatCancelBlockingCall(target);
            result = NET_ERROR;
        } else {
            const uint32_t self = PlatCurrentThreadId();
            for (int i = 0; i < SOCKET_TABLE_SIZE; ++i) {
                int32_t s;
                {
                    std::lock_guard<std::mutex> guard(table.lock);
                    const SocketTableEntry& entry = table.entries[i];
                    if (entry.socket == -1 || entry.ownerThread != self) {
                        continue;
                    }
                    s = entry.socket;
                }
                // A close that fails leaves its entry; the others are still closed.
                TcpClose(&s);
            }
            PlatSocketCleanup();
        }
    }
    NetTrace(TRACE_EXIT, "NetCleanup");
    return result;
}

namespace {

int32_t CloseSocket(int32_t* socketVar, bool pauseBeforeListenClose, int32_t closeNotifyWaitMs) {
    if (socketVar == nullptr) {
        NetTrace(TRACE_ERROR, "TcpClose: Invalid pointer");
        return NET_ERROR;
    }
    const int32_t s = *socketVar;
    NetTrace(TRACE_ENTER, "TcpClose socket %d", s);
    if (s == -1) {
        return NET_OK;
    }

    int index;
    int32_t kind = 0;
    {
        SocketTable& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        index = table.FindLocked(s);
        if (index >= 0) {
            kind = table.entries[index].kind;
        }
    }
    PlatTls* tls = NetTlsOf(s);
    if (index >= 0) {
        if (kind == SOCKET_KIND_LISTEN) {
            if (pauseBeforeListenClose) {
                PlatPause(LISTEN_CLOSE_PAUSE_MS);
            }
        } else {
            // Unread input would turn the close into a reset that the peer sees as an error.
            TcpFlush(s);
        }
    }
    if (tls != nullptr) {
        // The peer learns that the stream ended here and was not cut off. Whether the
        // close_notify got out changes nothing for the close.
        NetTrace(TRACE_CALL, "TLS close_notify on socket %d", s);
        PlatTlsShutdown(tls, closeNotifyWaitMs);
        PlatTlsFree(NetTlsDetach(s));
    }

    NetTrace(TRACE_CALL, "closesocket socket %d", s);
    if (PlatSocketClose(s) != 0) {
        NetTrace(TRACE_ERROR, "closesocket socket %d", s);
        return NET_ERROR;
    }
    if (index >= 0) {
        ReleaseEntry(index, s);
    }
    if (PlatIsWritable(socketVar, sizeof *socketVar)) {
        *socketVar = -1;
    } else {
        NetTrace(TRACE_ERROR, "TcpClose: Invalid pointer");
    }
    NetTrace(TRACE_EXIT, "TcpClose");
    return NET_OK;
}

}  // namespace

int32_t TcpClose(int32_t* socketVar) { return CloseSocket(socketVar, true, CLOSE_NOTIFY_WAIT_MS); }

int32_t TcpCloseWithoutPause(int32_t* socketVar) {
    return CloseSocket(socketVar, false, CLOSE_NOTIFY_WAIT_MS);
}

int32_t TcpCloseWithin(int32_t* socketVar, int32_t waitMs) {
    const int32_t wait =
        waitMs < 0 || waitMs > CLOSE_NOTIFY_WAIT_MS ? CLOSE_NOTIFY_WAIT_MS : waitMs;
    return CloseSocket(socketVar, false, wait);
}
