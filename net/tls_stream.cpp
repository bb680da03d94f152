// TLS streams on sockets: starting TLS on a connected socket, and the registry that tells the
// socket operations which sockets carry TLS. The operations themselves stay the same functions;
// they ask NetTlsOf once per call and take the TLS path when it answers.

#include <atomic>
#include <cstdio>
#include <mutex>

#include "net.h"
#include "socket_steps.h"

namespace {

struct TlsEntry {
    int32_t socket;  // -1 = free
    PlatTls* tls;
};

// One entry per socket with TLS; as many as the socket table can hold. netTlsSocketCount counts
// them, so that plain traffic skips the look-up while no socket has TLS.
struct TlsRegistry {
    std::mutex lock;
    TlsEntry entries[SOCKET_TABLE_SIZE];

    TlsRegistry() {
        for (TlsEntry& entry : entries) {
            entry = TlsEntry{-1, nullptr};
        }
    }
};

TlsRegistry& Registry() {
    static TlsRegistry registry;
    return registry;
}

bool Attach(int32_t s, PlatTls* tls) {
    TlsRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (TlsEntry& entry : registry.entries) {
        if (entry.socket == -1) {
            entry = TlsEntry{s, tls};
            netTlsSocketCount.fetch_add(1, std::memory_order_release);
            return true;
        }
    }
    return false;
}

}  // namespace

std::atomic<int32_t> netTlsSocketCount{0};

PlatTls* NetTlsLookup(int32_t s) {
    if (s == -1) {
        return nullptr;
    }
    TlsRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (const TlsEntry& entry : registry.entries) {
        if (entry.socket == s) {
            return entry.tls;
        }
    }
    return nullptr;
}

PlatTls* NetTlsDetach(int32_t s) {
    if (netTlsSocketCount.load(std::memory_order_acquire) == 0 || s == -1) {
        return nullptr;
    }
    TlsRegistry& registry = Registry();
    std::lock_guard<std::mutex> guard(registry.lock);
    for (TlsEntry& entry : registry.entries) {
        if (entry.socket == s) {
            PlatTls* tls = entry.tls;
            entry = TlsEntry{-1, nullptr};
            netTlsSocketCount.fetch_sub(1, std::memory_order_release);
            return tls;
        }
    }
    return nullptr;
}

int32_t NetTlsResult(int32_t platResult) {
    switch (platResult) {
        case PLAT_TLS_TIMEOUT:
            return NET_TIMEOUT;
        case PLAT_TLS_CANCELLED:
            return NET_CANCELLED;
        case PLAT_TLS_UNTRUSTED:
            return NET_TLS_UNTRUSTED;
        case PLAT_TLS_NAME_MISMATCH:
            return NET_TLS_NAME_MISMATCH;
        case PLAT_TLS_TRUNCATED:
            return NET_TLS_TRUNCATED;
        case PLAT_TLS_NO_MEMORY:
            return NET_NO_MEMORY;
        case 0:
            return NET_CLOSED;
        default:
            return NET_ERROR;
    }
}

int32_t NetPeek(int32_t s, char* buffer, int32_t len) {
    if (PlatTls* tls = NetTlsOf(s)) {
        const int32_t peeked = PlatTlsRecv(tls, buffer, len, PLAT_TLS_PEEK, 0);
        return peeked > 0 ? peeked : NetTlsResult(peeked);
    }
    const int32_t peeked = PlatRecv(s, buffer, len, PLAT_MSG_PEEK);
    if (peeked < 0) {
        return NetFailureCode();
    }
    return peeked;
}

int32_t TcpStartTls(int32_t s, const NetTlsConfig* config, int32_t resumeFromSocket,
                    int32_t timeout) {
    NetTrace(TRACE_ENTER, "TcpStartTls on socket %d, host %s", s,
             config != nullptr && config->hostName != nullptr ? config->hostName : "none");
    PlatTls* resumeFrom = resumeFromSocket != -1 ? NetTlsOf(resumeFromSocket) : nullptr;
    if (s == -1 || config == nullptr || NetTlsOf(s) != nullptr ||
        (resumeFromSocket != -1 && resumeFrom == nullptr)) {
        NetTrace(TRACE_ERROR, "TcpStartTls on socket %d: not possible", s);
        return NET_ERROR;
    }

    PlatTls* tls = nullptr;
    char errorText[256];
    const int32_t result = PlatTlsConnect(s, *config, resumeFrom, NetWaitMilliseconds(timeout),
                                          &tls, errorText, sizeof errorText);
    if (result != PLAT_TLS_OK) {
        NetTrace(TRACE_ERROR, "TLS handshake on socket %d: %s", s, errorText);
        const int32_t code = NetTlsResult(result);
        // A handshake that got nowhere is a failed handshake, whatever the socket said.
        return code == NET_CLOSED || code == NET_ERROR || code == NET_TLS_TRUNCATED ? NET_TLS_FAILED
                                                                                    : code;
    }
    if (!Attach(s, tls)) {
        PlatTlsFree(tls);
        NetTrace(TRACE_ERROR, "TcpStartTls on socket %d: no room", s);
        return NET_NO_MEMORY;
    }
    char description[128];
    PlatTlsDescribe(tls, description, sizeof description);
    NetTrace(TRACE_INTERNAL, "TLS on socket %d: %s", s, description);
    NetTrace(TRACE_EXIT, "TcpStartTls");
    return NET_OK;
}

int32_t TcpTlsDescribe(int32_t s, char* buffer, uint32_t size) {
    if (buffer == nullptr || size == 0) {
        return NET_ERROR;
    }
    PlatTls* tls = NetTlsOf(s);
    if (tls == nullptr) {
        buffer[0] = '\0';
        return NET_ERROR;
    }
    PlatTlsDescribe(tls, buffer, size);
    return NET_OK;
}
