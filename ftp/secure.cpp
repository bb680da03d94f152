// FTP over TLS: securing the control connection (implicitly from the first byte, or with AUTH TLS
// after the greeting), protecting the data connections (PBSZ 0, PROT P), and the TLS handshake on
// each data connection, which resumes the control connection's session. Nothing here ever lets a
// command go out in clear once TLS was asked for: every failure closes the control connection.

#include "session_internal.h"

namespace {

constexpr int32_t DATA_HANDSHAKE_GRACE_MS = 200;

NetTlsConfig ConfigOf(const FtpConnection& c) {
    NetTlsConfig config;
    config.hostName = c.tlsHost.c_str();
    config.verify = c.tlsVerify;
    config.caFile = c.caFile.empty() ? nullptr : c.caFile.c_str();
    return config;
}

int32_t ResultOfHandshake(int32_t net) {
    switch (net) {
        case NET_OK: return FTP_OK;
        case NET_TLS_UNTRUSTED: return FTP_TLS_UNTRUSTED;
        case NET_TLS_NAME_MISMATCH: return FTP_TLS_NAME_MISMATCH;
        case NET_TIMEOUT: return FTP_TIMEOUT;
        case NET_CANCELLED: return FTP_ABORTED;
        case NET_NO_MEMORY: return FTP_NO_MEMORY;
        default: return FTP_TLS_HANDSHAKE_FAILED;
    }
}

void TraceTls(const FtpConnection& c, int32_t socket, const char* which) {
    if (!c.traceEnabled) {
        return;
    }
    char description[128];
    if (TcpTlsDescribe(socket, description, sizeof description) == NET_OK) {
        FtpTrace("TLS on the %s connection: %s", which, description);
    }
}

// Sends one command of the TLS set-up: FTP_OK when its reply has the expected code, the
// channel's failure (no answer, closed, aborted) as it is, else FTP_TLS_REFUSED.
int32_t Exchange(FtpSession* session, const char* line, int32_t expected) {
    int32_t code = 0;
    const int32_t result = FtpExchange(session, line, &code);
    if (result != FTP_OK) {
        return result;
    }
    return code == expected ? FTP_OK : FTP_TLS_REFUSED;
}

}  // namespace

int32_t FtpSecureControl(FtpSession* session, bool askFirst) {
    FtpConnection& c = session->connection;
    if (askFirst) {
        const int32_t asked = Exchange(session, "AUTH TLS", 234);
        if (asked != FTP_OK) {
            return asked;
        }
    }
    const NetTlsConfig config = ConfigOf(c);
    int32_t result = ResultOfHandshake(
        TcpStartTls(c.controlSocket, &config, -1, static_cast<int32_t>(c.timeoutSeconds)));
    if (result != FTP_OK) {
        return result;
    }
    c.tlsActive = true;
    TraceTls(c, c.controlSocket, "control");
    return FTP_OK;
}

int32_t FtpProtectDataChannel(FtpSession* session, bool beforeLogin) {
    FtpConnection& c = session->connection;
    int32_t code = 0;
    const int32_t result = FtpChannelExchange(session, "PBSZ 0", &code);
    c.protectionAfterLogin = result == FTP_OK && beforeLogin && (code == 503 || code == 530);
    if (result != FTP_OK || c.protectionAfterLogin) {
        return result;
    }
    return code != 200 ? FTP_TLS_REFUSED : Exchange(session, "PROT P", 200);
}

int32_t FtpSecureDataConnection(FtpSession* session, int32_t dataSocket) {
    FtpConnection& c = session->connection;
    NetTlsConfig config = ConfigOf(c);
    // An abort during the handshake lets it finish first, briefly: a server whose handshake is
    // cut off may end the whole session (vsftpd does), while a finished one is stopped as any
    // other transfer, with ABOR and close_notify.
    config.cancelGraceMs = DATA_HANDSHAKE_GRACE_MS;
    int32_t result = ResultOfHandshake(TcpStartTls(dataSocket, &config, c.controlSocket,
                                                   static_cast<int32_t>(c.timeoutSeconds)));
    if (result == FTP_OK) {
        TraceTls(c, dataSocket, "data");
    }
    return result;
}
