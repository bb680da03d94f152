// TLS client connections with OpenSSL 3.
//
// OpenSSL talks to the socket through a BIO of our own that sends and receives with the
// platform's non-blocking socket calls (sends never raise SIGPIPE, and the send fault seam
// applies), and reports "would block" as a retry. Every wait happens here, in
// PlatWaitReadable / PlatWaitWritable, so a handshake or a read is cancellable like any other
// socket wait.
//
// Session reuse: every session the server hands out on a connection is kept, by the new-session
// callback, in a store shared by the connection and every connection resumed from it. TLS 1.3
// tickets arrive after the handshake, with the first reads that follow it, and TLS 1.2 sessions
// during it; either way a session is there when a data connection asks for one. Each data
// connection offers the newest stored session, as a copy: OpenSSL changes a TLS 1.3 session that
// a connection resumed, and does not offer it again the same way, so that the server (vsftpd,
// proftpd) would see a full handshake and refuse the data connection. A server of OpenSSL drops
// the session of a connection that it did not end with its close_notify (an aborted transfer),
// so the tickets a data connection gets join the store only when the server ended it properly.
// A connection reads in what has arrived before its close_notify goes out (after that OpenSSL
// drops it), so that the tickets of a data connection that only sends are not lost.

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>
#include <mutex>
#include <new>

#include "deadline.h"
#include "tls.h"

namespace {

// The sessions a server gave to a connection and to those resumed from it: those of the first
// connection, and those of later ones that the server closed with its close_notify. One
// reference each.
struct SessionStore {
    static constexpr size_t kMaxKept = 8;
    std::vector<SSL_SESSION*> kept;  // oldest first

    ~SessionStore() {
        for (SSL_SESSION* session : kept) {
            SSL_SESSION_free(session);
        }
    }
    void Keep(SSL_SESSION* session) {
        if (kept.size() == kMaxKept) {
            SSL_SESSION_free(kept.front());
            kept.erase(kept.begin());
        }
        kept.push_back(session);
    }
    // A copy of the newest session, to offer (the caller's reference), or null; *original is
    // the stored session it copies.
    SSL_SESSION* Take(SSL_SESSION** original) {
        *original = kept.empty() ? nullptr : kept.back();
        return *original != nullptr ? SSL_SESSION_dup(*original) : nullptr;
    }
    // Forgets session, which a server may have dropped, unless it is the only one left.
    void Forget(SSL_SESSION* session) {
        for (auto it = kept.begin(); it != kept.end() && kept.size() > 1; ++it) {
            if (*it == session) {
                SSL_SESSION_free(session);
                kept.erase(it);
                return;
            }
        }
    }
};

}  // namespace

struct PlatTls {
    PlatSocket socket = PLAT_NO_SOCKET;
    SSL_CTX* context = nullptr;  // one reference; shared with the connections resumed from here
    SSL* ssl = nullptr;
    // Shared with the connections resumed from this one (or with the one this one resumed).
    std::shared_ptr<SessionStore> sessions;
    bool resumedFrom = false;  // connected with the sessions of another connection
    // The stored session this connection offered (one reference), and the sessions the server
    // gave on it, which join the store only when the server ends the connection properly.
    SSL_SESSION* offered = nullptr;
    std::vector<SSL_SESSION*> received;
    bool endOfStream = false;        // the socket reported the end of the stream
    bool broken = false;             // a fatal error happened: no close_notify may follow
};

namespace {

// The ex-data index of SSL objects that points back to their PlatTls.
int TlsIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int BioWrite(BIO* bio, const char* data, int len) {
    BIO_clear_retry_flags(bio);
    auto* tls = static_cast<PlatTls*>(BIO_get_data(bio));
    const int32_t sent = PlatSendWithin(tls->socket, data, len, 0, 0);
    if (sent > 0) {
        return sent;
    }
    // A cancelled wait (the socket was not ready) is a retry too: the cancellation then ends
    // the caller's own wait, and OpenSSL's state stays good for a handshake that goes on.
    if (sent == PLAT_SEND_TIMEOUT || PlatLastSocketError() == PLAT_WSAEINTR) {
        BIO_set_retry_write(bio);
    }
    return -1;
}

int BioRead(BIO* bio, char* out, int len) {
    BIO_clear_retry_flags(bio);
    auto* tls = static_cast<PlatTls*>(BIO_get_data(bio));
    const int32_t received = PlatRecvWithin(tls->socket, out, len, 0);
    if (received > 0) {
        return received;
    }
    if (received == 0) {
        tls->endOfStream = true;
        return 0;
    }
    if (received == PLAT_RECV_TIMEOUT ||
        (received == PLAT_RECV_WAIT_FAILED && PlatLastSocketError() == PLAT_WSAEINTR)) {
        BIO_set_retry_read(bio);
    }
    return -1;
}

long BioControl(BIO* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;
        case BIO_CTRL_EOF:
            // OpenSSL asks this when a read gives nothing: an end of stream without close_notify
            // is then reported as such (SSL_R_UNEXPECTED_EOF_WHILE_READING).
            return static_cast<PlatTls*>(BIO_get_data(bio))->endOfStream ? 1 : 0;
        default:
            return 0;
    }
}

// Made once, and freed when the module goes: a host that unloads and loads the module again
// must not lose one method each time.
struct SocketBio {
    BIO_METHOD* method;
    SocketBio() : method(BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kestrel socket")) {
        if (method != nullptr) {
            BIO_meth_set_write(method, BioWrite);
            BIO_meth_set_read(method, BioRead);
            BIO_meth_set_ctrl(method, BioControl);
        }
    }
    ~SocketBio() { BIO_meth_free(method); }
    SocketBio(const SocketBio&) = delete;
    SocketBio& operator=(const SocketBio&) = delete;
};

const BIO_METHOD* SocketBioMethod() {
    static const SocketBio bio;
    return bio.method;
}

int KeepNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* tls = static_cast<PlatTls*>(SSL_get_ex_data(ssl, TlsIndex()));
    if (tls == nullptr) {
        return 0;  // not kept: OpenSSL frees it
    }
    if (tls->resumedFrom) {
        tls->received.push_back(session);
    } else {
        tls->sessions->Keep(session);
    }
    return 1;  // the reference is ours now
}

void SetText(char* out, size_t size, const char* text) {
    if (out != nullptr && size > 0) {
        snprintf(out, size, "%s", text);
    }
}

// The text of the oldest queued OpenSSL error, or fallback.
void SetOpenSslText(char* out, size_t size, const char* fallback) {
    const unsigned long code = ERR_peek_error();
    if (code == 0) {
        SetText(out, size, fallback);
        return;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    SetText(out, size, text);
}

// AfterCall's "the socket is ready now, call again".
constexpr int32_t CALL_AGAIN = 1;

// After an SSL call returned result <= 0: waits when OpenSSL wants the socket, and says whether
// to call again (CALL_AGAIN) or how the call ends (0 for close_notify, or a failure).
int32_t AfterCall(PlatTls* tls, int result, const PlatDeadline& deadline) {
    const int error = SSL_get_error(tls->ssl, result);
    int32_t ready;
    switch (error) {
        case SSL_ERROR_WANT_READ:
            ready = PlatWaitReadable(tls->socket, deadline.Left());
            break;
        case SSL_ERROR_WANT_WRITE:
            ready = PlatWaitWritable(tls->socket, deadline.Left());
            break;
        case SSL_ERROR_ZERO_RETURN:
            return 0;  // close_notify
        case SSL_ERROR_SSL:
            tls->broken = true;
            if (ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
                return PLAT_TLS_TRUNCATED;
            }
            return PLAT_TLS_FAILED;
        default:  // SSL_ERROR_SYSCALL: the socket call failed, its error is the last socket error
            tls->broken = true;
            if (tls->endOfStream) {
                return PLAT_TLS_TRUNCATED;
            }
            return PlatLastSocketError() == PLAT_WSAEINTR ? PLAT_TLS_CANCELLED : PLAT_TLS_FAILED;
    }
    if (ready == 0) {
        return PLAT_TLS_TIMEOUT;
    }
    if (ready < 0) {
        return PlatLastSocketError() == PLAT_WSAEINTR ? PLAT_TLS_CANCELLED : PLAT_TLS_FAILED;
    }
    return CALL_AGAIN;
}

// The context of a new connection: the one of the connection it resumes from, or a new one with
// the trusted certificates of config.
SSL_CTX* MakeContext(const PlatTlsConfig& config, PlatTls* resumeFrom, char* errorText,
                     size_t errorSize, int32_t* failure) {
    if (resumeFrom != nullptr) {
        SSL_CTX_up_ref(resumeFrom->context);
        return resumeFrom->context;
    }
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        *failure = PLAT_TLS_NO_MEMORY;
        SetOpenSslText(errorText, errorSize, "SSL_CTX_new");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, KeepNewSession);
    const bool loaded = config.caFile != nullptr
                            ? SSL_CTX_load_verify_locations(context, config.caFile, nullptr) == 1
                            : SSL_CTX_set_default_verify_paths(context) == 1;
    if (!loaded && config.verify) {
        // Nothing can be trusted without the certificates the caller named.
        *failure = PLAT_TLS_UNTRUSTED;
        SetOpenSslText(errorText, errorSize, "cannot load the trusted certificates");
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

// Sets what the handshake checks and sends for config on ssl. Returns false when it cannot.
bool SetPeerChecks(SSL* ssl, const PlatTlsConfig& config) {
    // An IPv6 address ("::1") is an address too: checked against the IP entries, never sent
    // as a name.
    PlatAddress literal;
    const bool ipv6 = config.hostName != nullptr &&
                      PlatParseAddress(config.hostName, &literal) == 0 &&
                      literal.family == PLAT_AF_INET6;
    if (!config.verify) {
        SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
        if (config.hostName != nullptr && !ipv6 &&
            PlatInetAddr(config.hostName) == PLAT_INADDR_NONE) {
            SSL_set_tlsext_host_name(ssl, config.hostName);
        }
        return true;
    }
    if (config.hostName == nullptr) {
        return false;
    }
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    if (ipv6) {
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), config.hostName) == 1;
    }
    const uint32_t address = PlatInetAddr(config.hostName);
    if (address != PLAT_INADDR_NONE) {
        // An address is checked against the certificate's IP address entries, in the dotted
        // form of the address the connection went to (inet_aton also takes forms like 127.1).
        // It is not a name, so it is not sent for virtual hosting.
        char dotted[16];
        PlatInetNtoa(address, dotted);
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), dotted) == 1;
    }
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set_tlsext_host_name(ssl, config.hostName) == 1 &&
           SSL_set1_host(ssl, config.hostName) == 1;
}

// What a failed handshake means, from the certificate check's result.
int32_t HandshakeFailure(PlatTls* tls, int32_t result, char* errorText, size_t errorSize) {
    const long verified = SSL_get_verify_result(tls->ssl);
    if (verified != X509_V_OK && SSL_get_verify_mode(tls->ssl) != SSL_VERIFY_NONE) {
        SetText(errorText, errorSize, X509_verify_cert_error_string(verified));
        switch (verified) {
            case X509_V_ERR_HOSTNAME_MISMATCH:
            case X509_V_ERR_IP_ADDRESS_MISMATCH:
            case X509_V_ERR_EMAIL_MISMATCH:
                return PLAT_TLS_NAME_MISMATCH;
            default:
                return PLAT_TLS_UNTRUSTED;
        }
    }
    switch (result) {
        case PLAT_TLS_TIMEOUT:
            SetText(errorText, errorSize, "time-out");
            return PLAT_TLS_TIMEOUT;
        case PLAT_TLS_CANCELLED:
            SetText(errorText, errorSize, "cancelled");
            return PLAT_TLS_CANCELLED;
        case 0:
        case PLAT_TLS_TRUNCATED:
            SetText(errorText, errorSize, "the server closed the connection");
            return PLAT_TLS_FAILED;
        default:
            SetOpenSslText(errorText, errorSize, "socket failure");
            return PLAT_TLS_FAILED;
    }
}

// Reads in the records that have arrived, without taking application data, so that the tickets
// among them reach the store.
void TakeInSessions(PlatTls* tls) {
    char probe;
    size_t got = 0;
    if (SSL_peek_ex(tls->ssl, &probe, 1, &got) != 1) {
        ERR_clear_error();  // nothing there, or a failure that the close reports
    }
}

}  // namespace

int32_t PlatTlsConnect(PlatSocket s, const PlatTlsConfig& config, PlatTls* resumeFrom,
                       int32_t timeoutMs, PlatTls** out, char* errorText, size_t errorSize) {
    SetText(errorText, errorSize, "");
    if (out == nullptr) {
        return PLAT_TLS_FAILED;
    }
    *out = nullptr;
    ERR_clear_error();
    const BIO_METHOD* method = SocketBioMethod();
    PlatTls* tls = new (std::nothrow) PlatTls();
    if (tls == nullptr || method == nullptr || TlsIndex() < 0) {
        delete tls;
        SetText(errorText, errorSize, "out of memory");
        return PLAT_TLS_NO_MEMORY;
    }
    tls->socket = s;
    int32_t failure = PLAT_TLS_NO_MEMORY;
    tls->context = MakeContext(config, resumeFrom, errorText, errorSize, &failure);
    if (tls->context == nullptr) {
        delete tls;
        return failure;
    }
    tls->ssl = SSL_new(tls->context);
    BIO* bio = tls->ssl != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        SetOpenSslText(errorText, errorSize, "out of memory");
        PlatTlsFree(tls);
        return PLAT_TLS_NO_MEMORY;
    }
    BIO_set_data(bio, tls);
    BIO_set_init(bio, 1);
    SSL_set_bio(tls->ssl, bio, bio);  // the SSL object owns the BIO now
    SSL_set_ex_data(tls->ssl, TlsIndex(), tls);
    if (!SetPeerChecks(tls->ssl, config)) {
        SetText(errorText, errorSize, "no usable host name to check the certificate against");
        PlatTlsFree(tls);
        return PLAT_TLS_FAILED;
    }
    tls->sessions = resumeFrom != nullptr
                        ? resumeFrom->sessions
                        : std::shared_ptr<SessionStore>(new (std::nothrow) SessionStore());
    if (!tls->sessions) {
        SetText(errorText, errorSize, "out of memory");
        PlatTlsFree(tls);
        return PLAT_TLS_NO_MEMORY;
    }
    if (resumeFrom != nullptr) {
        tls->resumedFrom = true;
        SSL_SESSION* original = nullptr;
        if (SSL_SESSION* session = tls->sessions->Take(&original)) {
            SSL_set_session(tls->ssl, session);  // takes a reference of its own
            SSL_SESSION_free(session);
            SSL_SESSION_up_ref(original);
            tls->offered = original;
        }
    }

    PlatDeadline deadline(timeoutMs);
    int32_t result;
    bool graceTaken = false;
    PlatCancelTarget* const cancelTarget = PlatBoundCancelTarget();
    for (;;) {
        const int done = SSL_connect(tls->ssl);
        if (done == 1) {
            if (graceTaken) {
                PlatBindCancelTarget(cancelTarget);
            }
            *out = tls;
            return PLAT_TLS_OK;
        }
        result = AfterCall(tls, done, deadline);
        if (result == PLAT_TLS_CANCELLED && !graceTaken && config.cancelGraceMs > 0) {
            // A cancelled wait leaves OpenSSL's state as it was: the handshake goes on from
            // there, with waits that nothing cancels and a short limit of their own.
            graceTaken = true;
            tls->broken = false;
            PlatBindCancelTarget(nullptr);
            const int32_t left = deadline.Left();
            deadline = PlatDeadline(left >= 0 && left < config.cancelGraceMs ? left
                                                                            : config.cancelGraceMs);
            result = left == 0 ? PLAT_TLS_TIMEOUT : CALL_AGAIN;
        }
        if (result != CALL_AGAIN) {
            break;
        }
    }
    if (graceTaken) {
        PlatBindCancelTarget(cancelTarget);
        result = PLAT_TLS_CANCELLED;  // the handshake that could not finish was cancelled
    }
    result = HandshakeFailure(tls, result, errorText, errorSize);
    tls->broken = true;
    PlatTlsFree(tls);
    return result;
}

int32_t PlatTlsSend(PlatTls* tls, const void* data, int32_t len, int32_t timeoutMs) {
    if (tls == nullptr || len < 0 || (data == nullptr && len > 0) || tls->broken) {
        return PLAT_TLS_FAILED;
    }
    if (len == 0) {
        return PLAT_TLS_OK;
    }
    ERR_clear_error();
    const PlatDeadline deadline(timeoutMs);
    for (;;) {
        // Without partial writes, a retried write continues the same records: it is called
        // again with the same block until all of it is out.
        size_t written = 0;
        const int done = SSL_write_ex(tls->ssl, data, static_cast<size_t>(len), &written);
        if (done == 1) {
            return PLAT_TLS_OK;
        }
        const int32_t result = AfterCall(tls, done, deadline);
        if (result != CALL_AGAIN) {
            return result == 0 || result == PLAT_TLS_TRUNCATED ? PLAT_TLS_FAILED : result;
        }
    }
}

int32_t PlatTlsRecv(PlatTls* tls, void* buffer, int32_t len, int32_t flags, int32_t timeoutMs) {
    if (tls == nullptr || len < 0 || (buffer == nullptr && len > 0)) {
        return PLAT_TLS_FAILED;
    }
    if (tls->broken) {
        return tls->endOfStream ? PLAT_TLS_TRUNCATED : PLAT_TLS_FAILED;
    }
    char probe;
    const bool peek = (flags & PLAT_TLS_PEEK) != 0 || len == 0;
    void* into = len == 0 ? &probe : buffer;
    const size_t want = len == 0 ? 1 : static_cast<size_t>(len);
    ERR_clear_error();
    const PlatDeadline deadline(timeoutMs);
    for (;;) {
        size_t got = 0;
        const int done = peek ? SSL_peek_ex(tls->ssl, into, want, &got)
                              : SSL_read_ex(tls->ssl, into, want, &got);
        if (done == 1) {
            return static_cast<int32_t>(got);
        }
        const int32_t result = AfterCall(tls, done, deadline);
        if (result != CALL_AGAIN) {
            return result;
        }
    }
}

int32_t PlatTlsPending(PlatTls* tls) {
    return tls != nullptr ? SSL_pending(tls->ssl) : 0;
}

int32_t PlatTlsShutdown(PlatTls* tls, int32_t timeoutMs) {
    if (tls == nullptr || tls->broken) {
        return PLAT_TLS_FAILED;
    }
    ERR_clear_error();
    if (!tls->endOfStream) {
        TakeInSessions(tls);
        ERR_clear_error();
    }
    const PlatDeadline deadline(timeoutMs);
    for (;;) {
        // 0: ours went out, the peer's has not come (we do not wait for it); 1: both.
        const int done = SSL_shutdown(tls->ssl);
        if (done >= 0) {
            return PLAT_TLS_OK;
        }
        const int32_t result = AfterCall(tls, done, deadline);
        if (result != CALL_AGAIN) {
            return result == 0 ? PLAT_TLS_OK : result;
        }
    }
}

void PlatTlsFree(PlatTls* tls) {
    if (tls == nullptr) {
        return;
    }
    // A server drops the sessions of a connection that it did not end with its close_notify
    // (OpenSSL's servers do): a ticket it gave there, or, when it gave none yet, the session
    // the connection resumed.
    const bool endedWell =
        tls->ssl != nullptr && (SSL_get_shutdown(tls->ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
    for (SSL_SESSION* session : tls->received) {
        if (endedWell && tls->sessions) {
            tls->sessions->Keep(session);
        } else {
            SSL_SESSION_free(session);
        }
    }
    if (tls->offered != nullptr) {
        if (!endedWell && tls->received.empty() && tls->sessions) {
            tls->sessions->Forget(tls->offered);
        }
        SSL_SESSION_free(tls->offered);
    }
    if (tls->ssl != nullptr) {
        SSL_free(tls->ssl);  // sends nothing: close_notify is PlatTlsShutdown's
    }
    if (tls->context != nullptr) {
        SSL_CTX_free(tls->context);
    }
    delete tls;
}

void PlatTlsDescribe(PlatTls* tls, char* out, size_t size) {
    if (tls == nullptr || tls->ssl == nullptr) {
        SetText(out, size, "");
        return;
    }
    const SSL_CIPHER* cipher = SSL_get_current_cipher(tls->ssl);
    if (out != nullptr && size > 0) {
        snprintf(out, size, "%s %s%s", SSL_get_version(tls->ssl),
                 cipher != nullptr ? SSL_CIPHER_standard_name(cipher) : "(no cipher)",
                 SSL_session_reused(tls->ssl) == 1 ? " resumed" : "");
    }
}
