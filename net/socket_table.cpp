// The registry of the sockets the network layer opens (with their kind and owner thread), and
// the operations that read or change it: the start-up and shut-down of the socket library
// (NetInit readies the registry, NetCleanup closes the calling thread's registered sockets) and
// closing a socket with the steps its kind needs (it looks the socket's entry up and frees it).
// What waits on a socket (data, urgent data, the peer's end) and discarding it are in
// socket_input.cpp.

#include <mutex>

#include "net.h"
#include "socket_registry.h"
#include "socket_steps.h"
#include "tls_stream.h"

namespace {

constexpr uint32_t LISTEN_CLOSE_PAUSE_MS = 100;
// How long a close waits for room to send close_notify: a peer that takes nothing more does not
// hold the close for longer.
constexpr int32_t CLOSE_NOTIFY_WAIT_MS = 1000;

// The registry. One lock, held only while entries are read or written, never across a socket
// call, so that registrations from different threads never take the same free entry. A socket's
// TLS stream lives on its entry.
struct Slot {
    SocketTableEntry entry;
    PlatTls* tls;
};

struct SocketTable {
    std::mutex lock;
    Slot slots[SOCKET_TABLE_SIZE];
    bool tableReady = false;

    SocketTable() {
        // Free from the start, so that nothing is found before the first NetInit.
        for (Slot& slot : slots) {
            slot = Slot{SocketTableEntry{-1, 0, 0, nullptr}, nullptr};
        }
    }

    // The slot holding s, or null. The lock must be held.
    Slot* FindLocked(int32_t s) {
        for (Slot& slot : slots) {
            if (slot.entry.socket == s) {
                return &slot;
            }
        }
        return nullptr;
    }
};

SocketTable& Table() {
    static SocketTable table;
    return table;
}

// A slot whose socket is being closed: neither free nor found under any socket number.
constexpr int32_t SLOT_CLOSING = -2;

// Moves slot from holding s to `to` (SLOT_CLOSING before the close, -1 after it, s again when
// the close failed), if it holds `from`. A socket must be out of the registry before its number
// is given back: a socket opened meanwhile on another thread may get the same number, and must
// not find this one's entry and take its kind, owner or TLS stream for its own.
void MoveSlot(Slot* slot, int32_t from, int32_t to) {
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (slot->entry.socket != from) {
        return;
    }
    slot->entry.socket = to;
    if (to == -1 && slot->tls != nullptr) {
        slot->tls = nullptr;  // detached before the close; never left behind on a free slot
        netTlsSocketCount.fetch_sub(1, std::memory_order_release);
    }
}

// Whether the caller owns entry: the calling thread registered it, for the same session (the
// cancel target bound then and now). Another session's sockets, and those a worker thread opened
// and may still be using, are never the caller's to close.
bool OwnedByCaller(const SocketTableEntry& entry) {
    return entry.ownerThread == PlatCurrentThreadId() &&
           entry.ownerTarget == PlatBoundCancelTarget();
}

}  // namespace

void NetRegisterSocket(int32_t s, int32_t kind) {
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    // An entry that still holds this number belongs to a socket closed without TcpClose: it is
    // stale, and the new socket takes it over, never its TLS stream.
    Slot* slot = table.FindLocked(s);
    if (slot != nullptr && slot->tls != nullptr) {
        netTlsSocketCount.fetch_sub(1, std::memory_order_release);
    }
    if (slot == nullptr) {
        slot = table.FindLocked(-1);
    }
    if (slot != nullptr) {
        *slot = Slot{SocketTableEntry{s, kind, PlatCurrentThreadId(), PlatBoundCancelTarget()},
                     nullptr};
    }
}

bool NetLookupSocket(int32_t s, SocketTableEntry* entry) {
    if (s == -1) {
        return false;
    }
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    const Slot* slot = table.FindLocked(s);
    if (slot == nullptr) {
        return false;
    }
    if (entry != nullptr) {
        *entry = slot->entry;
    }
    return true;
}

void NetReleaseSocket(int32_t s) {
    if (s == -1) {
        return;
    }
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    if (Slot* slot = table.FindLocked(s)) {
        if (slot->tls != nullptr) {
            netTlsSocketCount.fetch_sub(1, std::memory_order_release);
        }
        slot->entry.socket = -1;
        slot->tls = nullptr;
    }
}

std::atomic<int32_t> netTlsSocketCount{0};

PlatTls* NetTlsLookup(int32_t s) {
    if (s == -1) {
        return nullptr;
    }
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    const Slot* slot = table.FindLocked(s);
    return slot != nullptr ? slot->tls : nullptr;
}

bool NetTlsAttach(int32_t s, PlatTls* tls) {
    if (s == -1 || tls == nullptr) {
        return false;
    }
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    Slot* slot = table.FindLocked(s);
    if (slot == nullptr || slot->tls != nullptr) {
        return false;
    }
    slot->tls = tls;
    netTlsSocketCount.fetch_add(1, std::memory_order_release);
    return true;
}

PlatTls* NetTlsDetach(int32_t s) {
    if (netTlsSocketCount.load(std::memory_order_acquire) == 0 || s == -1) {
        return nullptr;
    }
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    Slot* slot = table.FindLocked(s);
    if (slot == nullptr || slot->tls == nullptr) {
        return nullptr;
    }
    PlatTls* tls = slot->tls;
    slot->tls = nullptr;
    netTlsSocketCount.fetch_sub(1, std::memory_order_release);
    return tls;
}

int NetRegisteredSocketCount() {
    SocketTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    int count = 0;
    for (const Slot& slot : table.slots) {
        count += slot.entry.socket != -1 ? 1 : 0;
    }
    return count;
}

int32_t NetInit() {
    NetTrace(TRACE_ENTER, "NetInit");
    {
        SocketTable& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        table.tableReady = true;
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
            for (Slot& slot : table.slots) {
                int32_t s;
                {
                    std::lock_guard<std::mutex> guard(table.lock);
                    if (slot.entry.socket == -1 || !OwnedByCaller(slot.entry)) {
                        continue;
                    }
                    s = slot.entry.socket;
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

    Slot* slot;
    int32_t kind = 0;
    {
        SocketTable& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        slot = table.FindLocked(s);
        if (slot != nullptr) {
            kind = slot->entry.kind;
        }
    }
    if (slot != nullptr) {
        if (kind == SOCKET_KIND_LISTEN) {
            if (pauseBeforeListenClose) {
                PlatPause(LISTEN_CLOSE_PAUSE_MS);
            }
        } else {
            // Unread input would turn the close into a reset that the peer sees as an error.
            TcpFlush(s);
        }
    }
    if (PlatTls* tls = NetTlsDetach(s)) {
        // The peer learns that the stream ended here and was not cut off. Whether the
        // close_notify got out changes nothing for the close.
        NetTrace(TRACE_CALL, "TLS close_notify on socket %d", s);
        PlatTlsShutdown(tls, closeNotifyWaitMs);
        PlatTlsFree(tls);
    }

    NetTrace(TRACE_CALL, "closesocket socket %d", s);
    if (slot != nullptr) {
        MoveSlot(slot, s, SLOT_CLOSING);
    }
    if (PlatSocketClose(s) != 0) {
        NetTrace(TRACE_ERROR, "closesocket socket %d", s);
        if (slot != nullptr) {
            MoveSlot(slot, SLOT_CLOSING, s);  // still open: still registered
        }
        return NET_ERROR;
    }
    if (slot != nullptr) {
        MoveSlot(slot, SLOT_CLOSING, -1);
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
