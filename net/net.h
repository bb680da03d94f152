// The network layer: TCP sockets with time-outs, line and reply reading for a command
// connection, a registry of the sockets it opens, and a diagnostic trace. Free functions on plain
// socket handles; every fallible operation returns one of the NET_ codes below and none throws.
// It knows lines, codes and time-outs, nothing of any particular protocol's commands.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "tls.h"

// ---------------------------------------------------------------------------------------------
// Result codes

inline constexpr int32_t NET_OK = 1;
inline constexpr int32_t NET_CLOSED = 0;          // the peer closed the connection
inline constexpr int32_t NET_ERROR = -1;          // a socket call failed (not cancelled)
inline constexpr int32_t NET_TIMEOUT = -2;        // nothing became ready in time
inline constexpr int32_t NET_BAD_POINTER = -3;    // an output location is not writable
inline constexpr int32_t NET_HOST_UNKNOWN = -4;   // the host neither parses nor resolves
inline constexpr int32_t NET_NO_SOCKET = -5;      // no socket could be made
inline constexpr int32_t NET_CONNECT_FAILED = -6; // the connection attempt failed
inline constexpr int32_t NET_BIND_FAILED = -8;    // bind or listen failed
inline constexpr int32_t NET_OVERFLOW = -9;       // the buffer filled before the delimiter came
inline constexpr int32_t NET_CANCELLED = -11;     // a blocking call was cancelled
inline constexpr int32_t NET_NO_MEMORY = -12;     // a scratch buffer could not be allocated
inline constexpr int32_t NET_BAD_PORT = -13;      // no non-zero port from service or number
inline constexpr int32_t NET_REPLY_OVERFLOW = 2;  // a reply line did not fit (reply readers)
// TLS (TcpStartTls and the operations on a socket with TLS):
inline constexpr int32_t NET_TLS_FAILED = -14;        // the handshake failed
inline constexpr int32_t NET_TLS_UNTRUSTED = -15;     // the server's certificate is not trusted
inline constexpr int32_t NET_TLS_NAME_MISMATCH = -16; // the certificate is not for that host
inline constexpr int32_t NET_TLS_TRUNCATED = -17;     // the stream ended without close_notify
// TcpConnect:
inline constexpr int32_t NET_LOOKUP_TIMEOUT = -18;    // the host name's look-up ran out of time

// The socket error that marks an interrupted (cancelled) blocking call.
inline constexpr int32_t NET_INTERRUPTED_ERROR = PLAT_WSAEINTR;

// ---------------------------------------------------------------------------------------------
// Socket registry

inline constexpr int32_t SOCKET_KIND_LISTEN = 12;
inline constexpr int32_t SOCKET_KIND_CONNECTED = 13;
inline constexpr int32_t SOCKET_KIND_ACCEPTED = 14;
inline constexpr int SOCKET_TABLE_SIZE = 512;

struct SocketTableEntry {
    int32_t socket;  // -1 = free
    int32_t kind;
    uint32_t ownerThread;
    // The cancel target bound when s was registered: the session whose operation opened it;
    // null outside any session.
    const PlatCancelTarget* ownerTarget;
};

// Records s with its kind and its owner (the calling thread and its bound cancel target); a full
// table leaves s unregistered.
void NetRegisterSocket(int32_t s, int32_t kind);
// Copies the entry of s into *entry. Returns false when s is not registered.
bool NetLookupSocket(int32_t s, SocketTableEntry* entry);
// Frees the entry of s, if any.
void NetReleaseSocket(int32_t s);
// Number of registered sockets (for tests and diagnostics).
int NetRegisteredSocketCount();

// ---------------------------------------------------------------------------------------------
// Trace

inline constexpr uint32_t TRACE_CALL = 1;
inline constexpr uint32_t TRACE_LOOKUP = 2;
inline constexpr uint32_t TRACE_INTERNAL = 8;
inline constexpr uint32_t TRACE_ENTER = 16;
inline constexpr uint32_t TRACE_EXIT = 64;
inline constexpr uint32_t TRACE_DUMP = 0x4000;
inline constexpr uint32_t TRACE_ERROR = 0x8000;

// Category mask of the trace, 0 at load. Nothing in the product sets it; tests may, while other
// threads trace, hence atomic.
extern std::atomic<uint32_t> traceMask;

// Writes one trace line "Proc <thread>\t<prefix><message>\r\n" when category is selected.
void NetTrace(uint32_t category, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Writes a hex dump of length bytes, 16 to a line, labelled, when TRACE_DUMP is selected.
void NetDump(const void* data, int32_t length, const char* label);

// ---------------------------------------------------------------------------------------------
// Start-up, closing, pending data

// Starts the socket library once more; readies the registry on first use. NET_OK or NET_ERROR.
int32_t NetInit();
// Cancels a blocking call of the calling thread's cancel target and returns NET_ERROR if there is
// one; otherwise closes the sockets that the calling thread registered for the same session (under
// the cancel target bound now; with none bound, those it registered outside any session), ends
// one start of the socket library and returns NET_OK.
int32_t NetCleanup();
// Closes *socketVar (registered kinds get their closing steps) and stores -1 there.
int32_t TcpClose(int32_t* socketVar);
// Ends the sending side of s so that the peer sees a complete stream: close_notify under TLS,
// then the end of the TCP stream; then waits up to timeout seconds for the peer to end its side
// too, discarding what arrives meanwhile, so that the close that follows finds nothing unread
// (which would reset the connection and could cost the peer the last bytes). NET_OK when the
// peer ended its side, else the failure code (NET_TIMEOUT, ...). s stays open.
int32_t TcpShutdown(int32_t s, int32_t timeout);
// TcpClose without the pause that goes before closing a listening socket.
int32_t TcpCloseWithoutPause(int32_t* socketVar);
// TcpCloseWithoutPause whose close_notify (TLS) waits at most waitMs for room (0: goes out only
// if there is room now; < 0: the usual wait): for a connection that failed or an operation
// whose time is up, where a peer that takes nothing must not hold the close.
int32_t TcpCloseWithin(int32_t* socketVar, int32_t waitMs);
// True (1) when the peer has ended the stream on s or reset it and nothing unread waits before
// that end (TLS: no decrypted data); 0 while the connection stands or data waits. Never waits.
int32_t TcpPeerGone(int32_t s);
// Discards what has already arrived on s, normal and urgent data, without waiting: at most what
// was waiting when it began, so a peer that keeps sending cannot hold it. 1 when the last read
// took data, NET_CLOSED when it met the end, else the failure code (also when nothing was there).
int32_t TcpFlush(int32_t s);
// 1 when unread normal data is waiting on s, else 0.
int32_t TcpIsDataAvail(int32_t s);
// 1 when an unread urgent byte is waiting on s, else 0.
int32_t TcpIsOOBDataAvail(int32_t s);

// ---------------------------------------------------------------------------------------------
// Socket operations. Time-outs are whole seconds; 0 waits without limit. logFile (-1 = none)
// receives a copy of every byte moved.

// Connects to host (name or dotted address) on the service's port, or *portVar when service is
// null or unknown; writes the port used back to *portVar. NET_OK, NET_BAD_PORT (checked before
// the host is resolved), NET_HOST_UNKNOWN, NET_NO_SOCKET, NET_CONNECT_FAILED, NET_BAD_POINTER,
// NET_CANCELLED when the look-up or connect was cancelled, or NET_TIMEOUT when timeout seconds
// (0: without limit) passed first; NET_LOOKUP_TIMEOUT when they passed in the name's look-up.
// The look-up and the connect share the one time-out.
int32_t TcpConnect(int32_t* socketVar, const char* host, const char* service, uint16_t* portVar,
                   int32_t timeout = 0);
// Connects to address at port (host order), within timeout seconds (0: without limit). The
// results of TcpConnect, but for NET_HOST_UNKNOWN.
int32_t TcpConnectAddress(int32_t* socketVar, const PlatAddress& address, uint16_t port,
                          int32_t timeout);
// Opens a listening socket on the wildcard address of family (PLAT_AF_INET or PLAT_AF_INET6);
// writes the bound port to *portVar.
int32_t TcpGetListenSocket(int32_t* socketVar, const char* service, uint16_t* portVar,
                           int32_t backlog, int32_t family = PLAT_AF_INET);
// Waits up to timeout seconds (0: without limit; negative: not at all) for a connection on
// listenSocket and accepts it. NET_OK, NET_TIMEOUT, NET_BAD_POINTER or the failure code.
int32_t TcpAccept(int32_t* acceptedVar, int32_t listenSocket, int32_t timeout);
// Sends all length bytes (urgent: as out-of-band data).
int32_t TcpSend(int32_t s, const void* data, uint32_t length, int32_t urgent, int32_t logFile);
// Waits for data (timeout -1, or any negative value: not at all) and receives one chunk of at
// most size bytes. Returns the count received, or NET_CLOSED, NET_TIMEOUT or a failure code. A
// null buffer or size 0 only tests readiness (NET_OK).
int32_t TcpRecv(int32_t s, void* buffer, uint32_t size, int32_t timeout, int32_t logFile);
// TcpSend whose every wait for room lasts at most timeout seconds (0: without limit, negative:
// not at all): NET_TIMEOUT when the peer takes nothing for that long. What went out before
// stays sent.
int32_t TcpSendWithin(int32_t s, const void* data, uint32_t length, int32_t urgent,
                      int32_t logFile, int32_t timeout);
// Waits up to timeout seconds (0: without limit; negative: not at all) until s can take data
// without blocking. NET_OK, NET_TIMEOUT or a failure code. Cancellable like every wait here.
int32_t TcpWaitWritable(int32_t s, int32_t timeout);
// ---------------------------------------------------------------------------------------------
// TLS. After TcpStartTls the same socket operations (TcpSend, TcpSendWithin, TcpRecv,
// TcpRecvUntilStr, TnSend, the reply readers, TcpIsDataAvail, TcpFlush) carry their data through
// TLS; a plain socket works exactly as before. Urgent sends on a TLS socket are refused
// (NET_ERROR): urgent data cannot travel inside TLS. A receive that meets the end of the stream
// without the peer's close_notify returns NET_TLS_TRUNCATED instead of NET_CLOSED. TcpClose sends
// close_notify (waiting briefly for room) before it closes.

// What the handshake checks: hostName (the name or dotted address the user gave), verify (off is
// insecure), caFile (PEM file of trusted certificates instead of the system's, or null).
using NetTlsConfig = PlatTlsConfig;

// Runs a TLS client handshake on the connected socket s, within timeout seconds in all (0: without
// limit; negative: no waiting). resumeFromSocket, unless -1, is a socket that already has TLS (the
// control connection of a data connection): its session is offered for resumption. NET_OK,
// NET_TLS_FAILED, NET_TLS_UNTRUSTED, NET_TLS_NAME_MISMATCH, NET_TIMEOUT, NET_CANCELLED,
// NET_NO_MEMORY, or NET_ERROR (s is -1, config is null, s has TLS already, or resumeFromSocket
// has none). On failure s stays open and plain; the caller closes it. The protocol and cipher
// are traced under TRACE_INTERNAL.
int32_t TcpStartTls(int32_t s, const NetTlsConfig* config, int32_t resumeFromSocket,
                    int32_t timeout);
// Writes the TLS description of s into buffer ("TLSv1.3 TLS_AES_256_GCM_SHA384", " resumed"
// appended when the session was resumed; at most size - 1 characters and a NUL). NET_OK, or
// NET_ERROR when s has no TLS (buffer then holds an empty text).
int32_t TcpTlsDescribe(int32_t s, char* buffer, uint32_t size);

// Parses or resolves host; the IPv4 address in network order, or all ones.
uint32_t NetGetIPAddr(const char* host);
// The value of the leading decimal digits of text (0 if none), wrapping in 32 bits.
int32_t NetAtoi(const char* text);

// ---------------------------------------------------------------------------------------------
// Delimited receive and reply reading

inline constexpr int32_t NET_COMPARE_EXACT = 1;
inline constexpr int32_t NET_COMPARE_FOLDED = 0;

// Receives from s into buffer up to the delimiter (length L); *lengthVar holds the capacity on
// entry and the count of data bytes stored on return. No byte after the delimiter leaves s.
int32_t TcpRecvUntilStr(int32_t s, char* buffer, uint32_t* lengthVar, const char* delimiter,
                        int32_t L, int32_t mode, int32_t timeout, int32_t logFile);
// Searches chunk for the delimiter, continuing a partial match from the previous chunk.
int32_t FindDelimiter(const char* chunk, int32_t n, const char* delimiter, int32_t L,
                      int32_t* partialMatch, int32_t mode);
// Sends line followed by CR LF (urgent: as out-of-band data). A line holding CR or LF is refused
// with NET_ERROR. NET_OK, NET_ERROR or NET_NO_MEMORY.
int32_t TnSend(int32_t s, const char* line, int32_t urgent, int32_t logFile);
// TnSend whose every wait for room lasts at most waitMs (< 0: without limit), NET_TIMEOUT when
// it passed. When hideFrom is 0 or more, the bytes of line from that offset on (a password)
// appear as "****" in logFile and in the dump; the peer gets them all.
int32_t TnSendLine(int32_t s, const char* line, int32_t urgent, int32_t logFile, int32_t waitMs,
                   int32_t hideFrom);
// Sends the Telnet interrupt that goes before a command meant to stop what the peer is doing:
// IP (IAC IP) as normal data, then the Synch, IAC as urgent (out-of-band) data followed by DM.
// The command line itself follows with TnSend as normal data. NET_OK or NET_ERROR.
// Each wait for room lasts at most waitMs (< 0: without limit).
int32_t TnSendInterrupt(int32_t s, int32_t logFile, int32_t waitMs = -1);
// Reads one LF-ended line into buffer (NUL-terminated, without CR LF).
int32_t TnReadReplyLine(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile);
// The most one reply may take out of the socket; a longer one is taken for a reply that never ends.
inline constexpr uint32_t NET_REPLY_MAX_BYTES = 1024 * 1024;
// Reads one numbered reply, single- or multi-line, to its end, within timeoutMs in all (< 0:
// without limit; 0: only what has arrived). A multi-line reply ("nnn-" first) ends only at a
// line of its own code followed by a space; any other reply at its first line that begins with
// a digit. The lines, without CR LF and without empty lines, are joined by LF, the text of each
// ending at its first zero byte; as much of the beginning as fits stays in buffer
// (NUL-terminated), the rest is read and dropped. No byte after the reply's last LF leaves s. Returns 1, 0 (closed), NET_REPLY_OVERFLOW (the reply went past
// NET_REPLY_MAX_BYTES; its rest stays in s), NET_TIMEOUT, NET_CANCELLED or NET_ERROR (also for a
// buffer without room for text).
int32_t TnReadReply(int32_t s, char* buffer, int32_t size, int32_t timeoutMs, int32_t logFile);
// TnReadReply within timeout seconds (0: without limit; negative: only what has arrived).
int32_t TnReadMultiLine(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile);
// Reads one reply and returns its code, or TnReadMultiLine's result when that is not 1.
int32_t TnReadAnswerCode(int32_t s, char* buffer, int32_t size, int32_t timeout, int32_t logFile);
