// TCP operations: resolve, connect, listen, accept with a time-out, send a whole block, receive
// one chunk with a time-out, and the two small text helpers of the layer. Every socket opened
// here is registered with its kind, so that TcpClose can take the closing steps the kind needs.

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "net.h"
#include "socket_registry.h"
#include "socket_steps.h"
#include "tls_stream.h"

namespace {

constexpr int32_t MAX_WAIT_SECONDS = INT32_MAX / 1000;

uint16_t PortToHostOrder(uint16_t port) {
    unsigned char bytes[2];
    memcpy(bytes, &port, sizeof bytes);
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

// Text for a trace argument that may be absent.
const char* TraceText(const char* text, const char* absent) {
    return text != nullptr ? text : absent;
}

// The port to use: the service's, when a service is named and known, else *port (host order).
// Returned in network order.
uint16_t ChoosePort(const char* service, uint16_t port) {
    if (service != nullptr) {
        NetTrace(TRACE_LOOKUP, "getservbyname %s/tcp", service);
        uint16_t servicePort = 0;
        if (PlatLookupService(service, &servicePort) == 0) {
            return servicePort;
        }
    }
    return NetPortToNetworkOrder(port);
}

// The receive of ReceiveChunk on a socket with TLS: the same results and trace lines, with
// decrypted data; a readiness test waits until a decrypted byte is there or the stream ended.
int32_t ReceiveTls(PlatTls* tls, int32_t s, char* into, int32_t want, int32_t waitMs) {
    const int32_t received = PlatTlsRecv(tls, into, want, 0, waitMs);
    if (received > 0 || (want == 0 && received == 0)) {
        return want == 0 ? NET_OK : received;
    }
    if (received == PLAT_TLS_TIMEOUT) {
        NetTrace(TRACE_ERROR, "select on socket %d: Timeout", s);
        return NET_TIMEOUT;
    }
    if (want == 0 && received == PLAT_TLS_TRUNCATED) {
        return NET_OK;  // ready: the receive that follows reports the truncation
    }
    if (received == 0) {
        NetTrace(TRACE_ERROR, "socket %d: Host has closed connection", s);
        return NET_CLOSED;
    }
    if (received == PLAT_TLS_TRUNCATED) {
        NetTrace(TRACE_ERROR, "socket %d: connection ended without TLS close_notify", s);
        return NET_TLS_TRUNCATED;
    }
    NetTrace(TRACE_ERROR, "recv socket %d", s);
    return NetTlsResult(received);
}

// waitMs as for the platform's waits: < 0 without limit, 0 not at all.
int32_t ReceiveChunk(int32_t s, void* buffer, uint32_t size, int32_t waitMs, int32_t logFile,
                     bool dump) {
    if (s == -1) {
        return NET_ERROR;
    }
    NetTrace(TRACE_CALL, "select on socket %d", s);
    PlatTls* const tls = NetTlsOf(s);
    if (buffer == nullptr || size == 0) {
        if (tls != nullptr) {
            return ReceiveTls(tls, s, nullptr, 0, waitMs);
        }
        // Only a readiness test.
        const int32_t ready = PlatWaitReadable(s, waitMs);
        if (ready < 0) {
            const int32_t failure = NetFailureCode();
            NetTrace(TRACE_ERROR, "select on socket %d", s);
            return failure;
        }
        if (ready == 0) {
            NetTrace(TRACE_ERROR, "select on socket %d: Timeout", s);
            return NET_TIMEOUT;
        }
        return NET_OK;
    }

    // recv writes only the bytes that came, and nothing when it fails, so a writable buffer
    // takes them directly. A buffer that cannot take them gets them through scratch space, so
    // that they still leave the socket and reach the log file before NET_BAD_POINTER.
    const int32_t want = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    const bool direct = PlatIsWritable(buffer, static_cast<size_t>(want));
    std::unique_ptr<char[]> scratch;
    if (!direct) {
        scratch.reset(new (std::nothrow) char[static_cast<size_t>(want)]());
        if (!scratch) {
            return NET_NO_MEMORY;
        }
    }
    char* into = direct ? static_cast<char*>(buffer) : scratch.get();
    // The wait and the one receive in a single step: data that is already there is taken at
    // once, without a separate readiness call per block. Results and trace lines are those of
    // the wait followed by the receive.
    int32_t received;
    if (tls != nullptr) {
        received = ReceiveTls(tls, s, into, want, waitMs);
        if (received <= 0) {
            return received;
        }
    } else {
        received = PlatRecvWithin(s, into, want, waitMs);
        if (received == PLAT_RECV_TIMEOUT) {
            NetTrace(TRACE_ERROR, "select on socket %d: Timeout", s);
            return NET_TIMEOUT;
        }
        if (received == PLAT_RECV_WAIT_FAILED) {
            const int32_t failure = NetFailureCode();
            NetTrace(TRACE_ERROR, "select on socket %d", s);
            return failure;
        }
        NetTrace(TRACE_CALL, "recv socket %d, buffer %d bytes", s, want);
        if (received < 0) {
            const int32_t failure = NetFailureCode();
            NetTrace(TRACE_ERROR, "recv socket %d", s);
            return failure;
        }
        if (received == 0) {
            NetTrace(TRACE_ERROR, "socket %d: Host has closed connection", s);
            return NET_CLOSED;
        }
    }
    if (logFile != -1) {
        PlatFileWrite(logFile, into, static_cast<uint32_t>(received));
    }
    if (!direct) {
        if (!PlatIsWritable(buffer, static_cast<size_t>(received))) {
            return NET_BAD_POINTER;
        }
        memcpy(buffer, into, static_cast<size_t>(received));
    }
    if (dump) {
        NetDump(buffer, received, "<");
    }
    return received;
}

// Sends all length bytes; each wait for room lasts at most waitMs (< 0: without limit).
int32_t SendAll(int32_t s, const char* data, uint32_t length, int32_t urgent, int32_t logFile,
                int32_t waitMs = -1) {
    if (s == -1) {
        return NET_ERROR;
    }
    PlatTls* const tls = NetTlsOf(s);
    if (tls != nullptr && urgent != 0) {
        NetTrace(TRACE_ERROR, "send on socket %d: no urgent data under TLS", s);
        return NET_ERROR;
    }
    if (logFile != -1) {
        PlatFileWrite(logFile, data, length);
    }
    uint32_t sent = 0;
    while (sent < length) {
        const uint32_t left = length - sent;
        const int32_t chunk = left > INT32_MAX ? INT32_MAX : static_cast<int32_t>(left);
        NetTrace(TRACE_CALL, "send on socket %d. %d bytes to be sent", s, chunk);
        if (tls != nullptr) {
            // The whole chunk goes out or the send fails: the time-out bounds the whole chunk.
            const int32_t result = PlatTlsSend(tls, data + sent, chunk, waitMs);
            if (result != PLAT_TLS_OK) {
                NetTrace(TRACE_ERROR, "send on socket %d.", s);
                return NetTlsResult(result);
            }
            sent += static_cast<uint32_t>(chunk);
            continue;
        }
        const int32_t result =
            PlatSendWithin(s, data + sent, chunk, urgent != 0 ? PLAT_MSG_OOB : 0, waitMs);
        if (result == PLAT_SEND_TIMEOUT) {
            NetTrace(TRACE_ERROR, "send on socket %d.", s);
            return NET_TIMEOUT;
        }
        if (result <= 0) {
            const int32_t failure = NetFailureCode();
            NetTrace(TRACE_ERROR, "send on socket %d.", s);
            return failure;
        }
        sent += static_cast<uint32_t>(result);
    }
    return NET_OK;
}

int32_t DumpLength(uint32_t length) {
    return length > INT32_MAX ? INT32_MAX : static_cast<int32_t>(length);
}

}  // namespace

uint16_t NetPortToNetworkOrder(uint16_t port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port & 0xFF)};
    uint16_t result;
    memcpy(&result, bytes, sizeof result);
    return result;
}

int32_t NetFailureCode() {
    return PlatLastSocketError() == NET_INTERRUPTED_ERROR ? NET_CANCELLED : NET_ERROR;
}

int32_t NetWaitMilliseconds(int32_t seconds) {
    if (seconds == 0) {
        return -1;
    }
    if (seconds < 0) {
        return 0;
    }
    return (seconds > MAX_WAIT_SECONDS ? MAX_WAIT_SECONDS : seconds) * 1000;
}

int32_t TcpRecvStep(int32_t s, void* buffer, uint32_t size, int32_t timeout, int32_t logFile) {
    return TcpRecvStepMs(s, buffer, size, NetWaitMilliseconds(timeout), logFile);
}

int32_t TcpRecvStepMs(int32_t s, void* buffer, uint32_t size, int32_t waitMs, int32_t logFile) {
    const int32_t result = ReceiveChunk(s, buffer, size, waitMs, logFile, false);
    NetTrace(TRACE_EXIT, "TcpRecv");
    return result;
}

int32_t TcpSendStep(int32_t s, const char* data, uint32_t length, int32_t urgent, int32_t logFile,
                    int32_t waitMs) {
    const int32_t result = SendAll(s, data, length, urgent, logFile, waitMs);
    NetTrace(TRACE_EXIT, "TcpSend");
    return result;
}

int32_t TcpConnect(int32_t* socketVar, const char* host, const char* service, uint16_t* portVar,
                   int32_t timeout) {
    NetTrace(TRACE_ENTER, "TcpConnect. Host %s, service %s, port %u", TraceText(host, "(null)"),
             TraceText(service, "none"), portVar != nullptr ? *portVar : 0xFFFFFFFFu);
    const bool socketVarWritable = PlatIsWritable(socketVar, sizeof *socketVar);
    if (socketVarWritable) {
        *socketVar = -1;
    }
    uint16_t localPort = 0;
    uint16_t* port = portVar != nullptr ? portVar : &localPort;

    const uint16_t networkPort = ChoosePort(service, *port);
    if (networkPort == 0) {
        return NET_BAD_PORT;
    }
    // A dotted IPv4 address is connected to exactly as it always was; anything else may name
    // addresses of both families.
    if (host != nullptr && PlatInetAddr(host) == PLAT_INADDR_NONE) {
        // One time-out for the look-up and the connect together: the connect gets what the
        // look-up left.
        PlatAddress addresses[PLAT_MAX_ADDRESSES];
        const uint32_t start = PlatTickCount();
        const int32_t count = NetResolveAll(host, addresses, PLAT_MAX_ADDRESSES, timeout);
        int32_t totalMs = -1;
        if (timeout > 0) {
            const uint32_t spent = PlatTickCount() - start;
            const uint32_t limit = static_cast<uint32_t>(NetWaitMilliseconds(timeout));
            totalMs = spent >= limit ? 0 : static_cast<int32_t>(limit - spent);
        }
        int32_t s = -1;
        int32_t result = count > 0 ? NetConnectAnyWithin(&s, addresses, count, networkPort, totalMs)
                         : count == NET_CANCELLED || count == NET_LOOKUP_TIMEOUT ? count
                                                                                 : NET_HOST_UNKNOWN;
        if (result == NET_HOST_UNKNOWN || result == NET_LOOKUP_TIMEOUT) {
            return result;
        }
        if (PlatIsWritable(port, sizeof *port)) {
            *port = PortToHostOrder(networkPort);
        }
        if (!socketVarWritable) {
            NetTrace(TRACE_ERROR, "TcpConnect: invalid pointer");
            TcpClose(&s);
            return NET_BAD_POINTER;
        }
        *socketVar = s;
        NetTrace(TRACE_EXIT, "TcpConnect");
        return result;
    }
    const uint32_t address = NetGetIPAddr(host);
    if (address == PLAT_INADDR_NONE) {
        return NET_HOST_UNKNOWN;
    }

    NetTrace(TRACE_CALL, "socket PF_INET, SOCK_STREAM");
    int32_t s = PlatSocketCreate();
    if (s == -1) {
        NetTrace(TRACE_ERROR, "socket");
        return NET_NO_SOCKET;
    }
    char dotted[16];
    PlatInetNtoa(address, dotted);
    NetTrace(TRACE_CALL, "connect on host %s", dotted);
    int32_t result = NET_OK;
    if (PlatConnect(s, address, networkPort, timeout > 0 ? NetWaitMilliseconds(timeout) : -1) !=
        0) {
        // A cancelled connect is reported as NET_CANCELLED, not NET_CONNECT_FAILED, so that
        // cancelling a client also ends its connection attempt as an abort.
        const int32_t failure = NetFailureCode();
        result = failure == NET_CANCELLED ? NET_CANCELLED
                 : timeout > 0 && PlatLastSocketError() == PLAT_WSAETIMEDOUT ? NET_TIMEOUT
                                                                             : NET_CONNECT_FAILED;
        NetTrace(TRACE_ERROR, "connect");
        PlatSocketClose(s);
        s = -1;
    } else {
        NetRegisterSocket(s, SOCKET_KIND_CONNECTED);
    }

    if (PlatIsWritable(port, sizeof *port)) {
        *port = PortToHostOrder(networkPort);
    }
    if (!socketVarWritable) {
        NetTrace(TRACE_ERROR, "TcpConnect: invalid pointer");
        return NET_BAD_POINTER;
    }
    *socketVar = s;
    NetTrace(TRACE_EXIT, "TcpConnect");
    return result;
}

int32_t TcpGetListenSocket(int32_t* socketVar, const char* service, uint16_t* portVar,
                           int32_t backlog, int32_t family) {
    NetTrace(TRACE_ENTER, "TcpGetListenSocket on service %s, port %u", TraceText(service, "none"),
             portVar != nullptr ? *portVar : 0u);
    const bool socketVarWritable = PlatIsWritable(socketVar, sizeof *socketVar);
    if (socketVarWritable) {
        *socketVar = -1;
    }
    uint16_t localPort = 0;
    uint16_t* port = portVar != nullptr ? portVar : &localPort;
    const uint16_t networkPort = ChoosePort(service, *port);

    const bool v6 = family == PLAT_AF_INET6;
    NetTrace(TRACE_CALL, v6 ? "socket AF_INET6, SOCK_STREAM" : "socket AF_INET, SOCK_STREAM");
    int32_t s = v6 ? PlatSocketCreateFor(PLAT_AF_INET6) : PlatSocketCreate();
    if (s == -1) {
        NetTrace(TRACE_ERROR, "socket");
        return NET_NO_SOCKET;
    }
    NetTrace(TRACE_CALL, "setsockopt SO_REUSEADDR on sock %d", s);
    PlatSetReuseAddr(s, true);
    NetTrace(TRACE_CALL, "setsockopt SO_LINGER on sock %d", s);
    PlatSetLinger(s, true, 0);

    char wildcard[16];
    PlatInetNtoa(0, wildcard);
    NetTrace(TRACE_CALL, "bind socket %d to %s", s, v6 ? "::" : wildcard);
    PlatAddress any6;
    any6.family = PLAT_AF_INET6;
    // Any port of IPv4: chosen by the platform, which is quicker than the system's own choice
    // with many sockets in TIME_WAIT.
    const bool anyPort = networkPort == 0;
    bool bound = (v6        ? PlatBindTo(s, any6, networkPort)
                  : anyPort ? PlatBindListeningPort(s, 0)
                            : PlatBind(s, 0, networkPort)) == 0;
    if (bound) {
        NetTrace(TRACE_CALL, "listen on socket %d. %d pendind connections", s, backlog);
        bound = PlatListen(s, backlog) == 0;
    }
    if (!bound) {
        NetTrace(TRACE_ERROR, "bind or listen on socket %d", s);
        PlatSocketClose(s);
        return NET_BIND_FAILED;
    }

    NetTrace(TRACE_LOOKUP, "getsockname on socket %d", s);
    uint16_t boundPort = 0;
    const int32_t named = v6 ? PlatGetSockAddress(s, nullptr, &boundPort)
                             : PlatGetSockName(s, nullptr, &boundPort);
    if (named == 0 && PlatIsWritable(port, sizeof *port)) {
        *port = PortToHostOrder(boundPort);
    }
    NetRegisterSocket(s, SOCKET_KIND_LISTEN);

    if (!socketVarWritable) {
        NetTrace(TRACE_ERROR, "TcpGetListenSocket: invalid pointer");
        return NET_BAD_POINTER;
    }
    *socketVar = s;
    NetTrace(TRACE_EXIT, "TcpGetListenSocket");
    return NET_OK;
}

int32_t TcpAccept(int32_t* acceptedVar, int32_t listenSocket, int32_t timeout) {
    NetTrace(TRACE_ENTER, "TcpAccept. Listen socket %d, Timeout %d", listenSocket, timeout);
    NetTrace(TRACE_CALL, "select on socket %d", listenSocket);
    const int32_t ready = PlatWaitReadable(listenSocket, NetWaitMilliseconds(timeout));
    if (ready < 0) {
        const int32_t failure = NetFailureCode();
        NetTrace(TRACE_ERROR, "select on socket %d", listenSocket);
        return failure;
    }
    if (ready == 0) {
        NetTrace(TRACE_ERROR, "select on socket %d: Timeout", listenSocket);
        return NET_TIMEOUT;
    }

    NetTrace(TRACE_CALL, "accept on listen socket %d", listenSocket);
    int32_t s = PlatAccept(listenSocket, nullptr, nullptr);
    if (s == -1) {
        const int32_t failure = NetFailureCode();
        NetTrace(TRACE_ERROR, "accept on socket %d", listenSocket);
        return failure;
    }
    NetRegisterSocket(s, SOCKET_KIND_ACCEPTED);
    // Linger off, which also undoes the listening socket's zero linger that the accepted socket
    // inherits (a close would reset the connection). A lingering close sends the same bytes but
    // holds the caller until the peer has taken everything: seconds against a peer that stopped
    // reading, far beyond the time-out the caller works within.
    NetTrace(TRACE_CALL, "setsockopt SOL_LINGER on socket %d", s);
    PlatSetLinger(s, false, 0);

    if (!PlatIsWritable(acceptedVar, sizeof *acceptedVar)) {
        NetTrace(TRACE_ERROR, "TcpAccept. invalid pointer");
        TcpClose(&s);
        return NET_BAD_POINTER;
    }
    *acceptedVar = s;
    NetTrace(TRACE_EXIT, "TcpAccept");
    return NET_OK;
}

int32_t TcpSend(int32_t s, const void* data, uint32_t length, int32_t urgent, int32_t logFile) {
    return TcpSendWithin(s, data, length, urgent, logFile, 0);
}

int32_t TcpSendWithin(int32_t s, const void* data, uint32_t length, int32_t urgent,
                      int32_t logFile, int32_t timeout) {
    NetTrace(TRACE_ENTER, "TcpSend on socket %d. %d bytes to be sent", s, DumpLength(length));
    int32_t result = NET_ERROR;
    if (s != -1 && (data != nullptr || length == 0)) {
        // Sent straight from the caller's block: a copy would change nothing on the wire.
        const char* bytes = length > 0 ? static_cast<const char*>(data) : "";
        result = SendAll(s, bytes, length, urgent, logFile, NetWaitMilliseconds(timeout));
        if (result == NET_OK) {
            NetDump(bytes, DumpLength(length), ">");
        }
    }
    NetTrace(TRACE_EXIT, "TcpSend");
    return result;
}

int32_t TcpRecv(int32_t s, void* buffer, uint32_t size, int32_t timeout, int32_t logFile) {
    NetTrace(TRACE_ENTER, "TcpRecv on socket %d. Timeout %d, bufsize %d", s, timeout,
             DumpLength(size));
    const int32_t result =
        ReceiveChunk(s, buffer, size, NetWaitMilliseconds(timeout), logFile, true);
    NetTrace(TRACE_EXIT, "TcpRecv");
    return result;
}

int32_t TcpWaitWritable(int32_t s, int32_t timeout) {
    NetTrace(TRACE_ENTER, "TcpWaitWritable on socket %d. Timeout %d", s, timeout);
    int32_t result = NET_ERROR;
    if (s != -1) {
        NetTrace(TRACE_CALL, "select on socket %d", s);
        const int32_t ready = PlatWaitWritable(s, NetWaitMilliseconds(timeout));
        if (ready < 0) {
            result = NetFailureCode();
            NetTrace(TRACE_ERROR, "select on socket %d", s);
        } else if (ready == 0) {
            result = NET_TIMEOUT;
            NetTrace(TRACE_ERROR, "select on socket %d: Timeout", s);
        } else {
            result = NET_OK;
        }
    }
    NetTrace(TRACE_EXIT, "TcpWaitWritable");
    return result;
}

uint32_t NetGetIPAddr(const char* host) {
    NetTrace(TRACE_INTERNAL, "NetGetIPAddr host %s", TraceText(host, "(null)"));
    if (host == nullptr) {
        return PLAT_INADDR_NONE;
    }
    const uint32_t dotted = PlatInetAddr(host);
    if (dotted != PLAT_INADDR_NONE) {
        return dotted;
    }
    NetTrace(TRACE_CALL, "gethostbyname host %s", host);
    uint32_t address = PLAT_INADDR_NONE;
    if (PlatLookupHost(host, &address) != 0) {
        NetTrace(TRACE_ERROR, "gethostbyname host %s", host);
        return PLAT_INADDR_NONE;
    }
    return address;
}

int32_t NetAtoi(const char* text) {
    NetTrace(TRACE_INTERNAL, "NetAtoi");
    if (text == nullptr) {
        return 0;
    }
    // Unsigned arithmetic wraps by definition; the conversion back keeps the low 32 bits.
    uint32_t value = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10u + static_cast<uint32_t>(*p - '0');
    }
    return static_cast<int32_t>(value);
}

int32_t TcpShutdown(int32_t s, int32_t timeout) {
    NetTrace(TRACE_ENTER, "TcpShutdown socket %d", s);
    if (s == -1) {
        return NET_ERROR;
    }
    // One limit for the close_notify and the wait for the peer's end, so that a peer that
    // stopped costs the time-out once.
    const uint32_t start = PlatTickCount();
    const uint32_t limitMs = static_cast<uint32_t>(NetWaitMilliseconds(timeout));
    if (PlatTls* tls = NetTlsOf(s)) {
        PlatTlsShutdown(tls, NetWaitMilliseconds(timeout));
    }
    PlatShutdownSend(s);
    char scratch[4096];
    int32_t result;
    for (;;) {
        const uint32_t elapsed = PlatTickCount() - start;
        if (elapsed >= limitMs) {
            result = NET_TIMEOUT;
            break;
        }
        // In milliseconds: whole seconds rounded up would overrun the limit by up to one.
        const int32_t left = static_cast<int32_t>(limitMs - elapsed);
        result = TcpRecvStepMs(s, scratch, sizeof scratch, left, -1);
        if (result <= 0) {
            break;
        }
    }
    NetTrace(TRACE_EXIT, "TcpShutdown : return code %d", result);
    return result == NET_CLOSED ? NET_OK : result;
}
