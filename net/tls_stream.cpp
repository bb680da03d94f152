// TLS streams on sockets: starting TLS on a connected socket and describing it. The stream hangs
// on the socket's registry entry; the socket operations stay the same functions, ask NetTlsOf
// once per call and take the TLS path when it answers.

#include "net.h"
#include "socket_registry.h"
#include "socket_steps.h"
#include "tls_stream.h"

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
    if (!NetTlsAttach(s, tls)) {
        PlatTlsFree(tls);
        NetTrace(TRACE_ERROR, "TcpStartTls on socket %d: not registered", s);
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
