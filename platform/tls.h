// TLS on a connected socket, as a client: one small interface that sits between the network
// layer's socket operations and the sockets. platform/posix/tls_openssl.cpp implements it with
// OpenSSL 3; platform/win32/tls_schannel.cpp with SChannel through SSPI.
//
// A PlatTls belongs to one socket and is used by one thread at a time (the thread that uses the
// socket). Every wait inside these calls goes through PlatWaitReadable / PlatWaitWritable, so it
// can be cancelled through the calling thread's cancel target like any other socket wait, and
// the socket stays non-blocking underneath. Time-outs are in milliseconds: < 0 waits without
// limit, 0 does not wait at all, and each call's time-out bounds the whole call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

struct PlatTls;

// What a client connection checks.
struct PlatTlsConfig {
    // The server's name as the user gave it: sent for name-based virtual hosting (SNI) unless it
    // is a dotted IPv4 address, and checked against the certificate (an address against the
    // certificate's IP address entries, a name against its DNS names). May be null when verify
    // is false.
    const char* hostName = nullptr;
    // Check the chain against the trusted certificates and the name against the certificate.
    // Off is insecure: anyone on the path can read and change the traffic.
    bool verify = true;
    // A PEM file of trusted certificates used instead of the system's, or null.
    const char* caFile = nullptr;
    // When a wait of the handshake is cancelled, the handshake goes on, no longer cancellable,
    // for at most this long (and not past the time-out), so that the server does not see it cut
    // off (vsftpd ends the whole session then); when it completes, PlatTlsConnect succeeds as if
    // nothing had been cancelled. 0: a cancellation ends the handshake at once.
    int32_t cancelGraceMs = 0;
};

// Results. Counts are >= 0; failures are negative.
inline constexpr int32_t PLAT_TLS_OK = 0;
inline constexpr int32_t PLAT_TLS_FAILED = -1;         // protocol or socket failure
inline constexpr int32_t PLAT_TLS_TIMEOUT = -2;        // nothing usable came or went in time
inline constexpr int32_t PLAT_TLS_CANCELLED = -3;      // a wait was cancelled
inline constexpr int32_t PLAT_TLS_UNTRUSTED = -4;      // the chain does not end at a trusted root
inline constexpr int32_t PLAT_TLS_NAME_MISMATCH = -5;  // the certificate is not for hostName
inline constexpr int32_t PLAT_TLS_TRUNCATED = -6;      // the stream ended without close_notify
inline constexpr int32_t PLAT_TLS_NO_MEMORY = -7;

// Flag of PlatTlsRecv: leave the bytes where they are, the next receive returns them again.
inline constexpr int32_t PLAT_TLS_PEEK = 1;

// Runs a client handshake on the connected socket s. resumeFrom, when not null, is another
// connection to the same server (the control connection of a data connection): its session is
// offered for resumption, and its settings are shared. Returns PLAT_TLS_OK and stores the new
// connection in *tls (the caller owns it: PlatTlsFree), or a failure (PLAT_TLS_FAILED,
// PLAT_TLS_TIMEOUT, PLAT_TLS_CANCELLED, PLAT_TLS_UNTRUSTED, PLAT_TLS_NAME_MISMATCH,
// PLAT_TLS_NO_MEMORY) with *tls null. A failure text for the trace is left in errorText
// (errorSize bytes, may be null) on failure.
int32_t PlatTlsConnect(PlatSocket s, const PlatTlsConfig& config, PlatTls* resumeFrom,
                       int32_t timeoutMs, PlatTls** tls, char* errorText, size_t errorSize);

// Sends all len bytes, waiting for room at most timeoutMs in all. Returns PLAT_TLS_OK,
// PLAT_TLS_TIMEOUT, PLAT_TLS_CANCELLED or PLAT_TLS_FAILED (the last socket error tells a socket
// failure). What went out before a failure stays sent.
int32_t PlatTlsSend(PlatTls* tls, const void* data, int32_t len, int32_t timeoutMs);

// Receives up to len decrypted bytes (flags 0 or PLAT_TLS_PEEK), waiting at most timeoutMs for
// the first. Returns the count (>= 1), 0 when the peer closed with close_notify,
// PLAT_TLS_TRUNCATED when the connection ended without it, PLAT_TLS_TIMEOUT, PLAT_TLS_CANCELLED
// or PLAT_TLS_FAILED. len 0 only waits until a byte can be returned (then 1) or the stream ended.
int32_t PlatTlsRecv(PlatTls* tls, void* buffer, int32_t len, int32_t flags, int32_t timeoutMs);

// Count of decrypted bytes held inside the layer, which a readiness test of the socket cannot
// see. Never waits.
int32_t PlatTlsPending(PlatTls* tls);

// Reads in what has arrived without taking data (session tickets among it are kept for later
// connections), then sends close_notify, waiting for room at most timeoutMs; does not wait for
// the peer's.
// Returns PLAT_TLS_OK or a failure. The connection can no longer send afterwards.
int32_t PlatTlsShutdown(PlatTls* tls, int32_t timeoutMs);

// Frees the connection (the socket stays open: closing it is the caller's business). A
// connection that others resumed from may be freed before them.
void PlatTlsFree(PlatTls* tls);

// One line for the trace, such as "TLSv1.3 TLS_AES_256_GCM_SHA384", with " resumed" appended
// when the session was resumed. Never key material. Writes at most size - 1 characters and a NUL.
void PlatTlsDescribe(PlatTls* tls, char* out, size_t size);
