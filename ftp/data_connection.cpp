// The data connection: listen, announce with PORT, send the transfer command, accept.

#include "data_connection.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "command_table.h"
#include "session_internal.h"

bool FtpFormatPort(char* out, size_t size, uint32_t address, uint16_t port) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    int n = snprintf(out, size, "PORT %u,%u,%u,%u,%u,%u", b[0], b[1], b[2], b[3],
                     static_cast<unsigned>(port >> 8), static_cast<unsigned>(port & 0xFF));
    return n > 0 && static_cast<size_t>(n) < size;
}

bool FtpFormatEprt(char* out, size_t size, const PlatAddress& address, uint16_t port) {
    char text[PLAT_ADDRESS_TEXT_SIZE];
    if (address.family != PLAT_AF_INET && address.family != PLAT_AF_INET6) {
        return false;
    }
    if (!PlatFormatAddress(address, text, sizeof text)) {
        return false;
    }
    int n = snprintf(out, size, "EPRT |%d|%s|%u|", address.family == PLAT_AF_INET6 ? 2 : 1, text,
                     static_cast<unsigned>(port));
    return n > 0 && static_cast<size_t>(n) < size;
}

int32_t FtpListenAndPort(FtpSession* session, int32_t* listening) {
    FtpConnection* connection = &session->connection;
    int32_t listenSocket = -1;
    uint16_t port = 0;
    *listening = -1;
    // The data connection's family is the control connection's: EPRT on IPv6, PORT on IPv4.
    PlatAddress local;
    if (PlatGetSockAddress(connection->controlSocket, &local, nullptr) != 0) {
        return FTP_DATA_CONNECTION_FAILED;
    }
    if (TcpGetListenSocket(&listenSocket, nullptr, &port, 1, local.family) != NET_OK) {
        return FTP_DATA_CONNECTION_FAILED;
    }
    // The server connects to the address this host has on the control connection.
    uint32_t address = 0;
    char line[96];
    const bool formatted =
        local.family == PLAT_AF_INET6
            ? FtpFormatEprt(line, sizeof line, local, port)
            : PlatGetSockName(connection->controlSocket, &address, nullptr) == 0 &&
                  FtpFormatPort(line, sizeof line, address, port);
    if (!formatted) {
        TcpClose(&listenSocket);
        return FTP_DATA_CONNECTION_FAILED;
    }
    int32_t code = 0;
    const int32_t result = FtpExchange(session, line, &code);
    if (result == FTP_OK && code == 200) {
        *listening = listenSocket;
        return FTP_OK;
    }
    TcpClose(&listenSocket);
    // A reply that never came or a closed connection is reported as such, not as a refusal.
    return result == FTP_OK ? FTP_UNEXPECTED_ANSWER : result;
}

namespace {

int32_t OpenLocalFile(const char* path, int32_t mode) {
    switch (mode) {
        case LOCAL_OPEN_CREATE: return PlatFileCreate(path);
        case LOCAL_OPEN_READ: return PlatFileOpen(path, PLAT_OF_READ);
        case LOCAL_OPEN_APPEND: {
            int32_t file = PlatFileOpen(path, PLAT_OF_WRITE);
            if (file == -1) {
                return PlatFileCreate(path);
            }
            if (PlatFileSeek(file, 0, PLAT_FILE_END) == -1) {
                PlatFileClose(file);
                return -1;
            }
            return file;
        }
        default: return -1;
    }
}

void CloseFile(int32_t* file) {
    if (*file != -1) {
        PlatFileClose(*file);
        *file = -1;
    }
}

// How often the wait for the server's data connection looks at the control connection.
constexpr int32_t CONTROL_LOOK_MS = 50;

// True when a reply waits on the control connection within waitMs (0: only what is there now).
// Only looks: the reply stays for the channel. A control connection that the server closed
// counts as no reply here; the wait it interrupts goes on as before and reports its own end.
bool ControlSpoke(FtpSession* session, int32_t waitMs) {
    const int32_t control = session->connection.controlSocket;
    const uint32_t start = PlatTickCount();
    for (;;) {
        if (TcpIsDataAvail(control) == 1) {
            return true;
        }
        const uint32_t elapsed = PlatTickCount() - start;
        if (elapsed >= static_cast<uint32_t>(waitMs)) {
            return false;
        }
        const int32_t left = waitMs - static_cast<int32_t>(elapsed);
        // Raw bytes that make no TLS data yet would wake the wait at once: a short pause then.
        const int32_t ready =
            PlatWaitReadable(control, left < CONTROL_LOOK_MS ? left : CONTROL_LOOK_MS);
        if (ready < 0 || (ready > 0 && PlatPause(5) != 0)) {
            return false;  // cancelled
        }
    }
}

// Reads the final reply that came on the control connection instead of the data connection
// into *reply. FTP_OK, or what the read gave (no answer, not connected, aborted).
int32_t ReadFinalInstead(FtpSession* session, int32_t* reply) {
    int32_t code = 0;
    const int32_t read = FtpChannelReply(session, FTP_REPLY_FINAL, &code);
    if (read == FTP_OK) {
        *reply = code;
    }
    return read;
}

// Accepts the server's data connection within the session's time-out. Anyone can connect to an
// announced port first, so unless the dataPeer option allows any address, a connection from
// another address than the control connection's peer is closed and the wait goes on. A server
// that gives up on the transfer (150, then 450) never connects: the control connection is
// watched too, and a final reply there ends the wait with its code in *reply. FTP_OK with
// *accepted; the final reply's read result with *reply; FTP_ABORTED; or
// FTP_DATA_CONNECTION_FAILED (the time-out, or a failed accept).
int32_t AcceptFromServer(FtpSession* session, int32_t listenSocket, int32_t* accepted,
                         int32_t* reply) {
    const FtpConnection& c = session->connection;
    *accepted = -1;
    *reply = 0;
    PlatAddress serverAddress;
    const bool checkPeer =
        c.dataPeer == 0 && PlatGetPeerAddress(c.controlSocket, &serverAddress, nullptr) == 0;
    std::string refused;  // the address of the last connection refused
    auto noteRefused = [&] {
        if (!refused.empty()) {
            FtpSetDetail(session, "data connection from " + refused +
                                      " refused: not the server's address");
        }
    };
    const uint32_t limitMs = c.timeoutSeconds * 1000u;
    const uint32_t start = PlatTickCount();
    for (;;) {
        int32_t slice = CONTROL_LOOK_MS;
        if (c.timeoutSeconds != 0) {
            const uint32_t elapsed = PlatTickCount() - start;
            if (elapsed >= limitMs) {
                noteRefused();
                return FTP_DATA_CONNECTION_FAILED;
            }
            if (limitMs - elapsed < static_cast<uint32_t>(slice)) {
                slice = static_cast<int32_t>(limitMs - elapsed);
            }
        }
        const int32_t ready = PlatWaitReadable(listenSocket, slice);
        if (ready < 0) {
            return FtpAbortWanted(session) ? FTP_ABORTED : FTP_DATA_CONNECTION_FAILED;
        }
        if (ready == 0) {
            if (ControlSpoke(session, 0)) {
                const int32_t read = ReadFinalInstead(session, reply);
                noteRefused();
                return read;
            }
            continue;
        }
        const int32_t result = TcpAccept(accepted, listenSocket, -1);
        if (result == NET_TIMEOUT) {
            continue;  // the connection went away before it was taken
        }
        if (result != NET_OK) {
            *accepted = -1;
            return result == NET_CANCELLED || FtpAbortWanted(session) ? FTP_ABORTED
                                                                      : FTP_DATA_CONNECTION_FAILED;
        }
        PlatAddress peer;
        const bool known = PlatGetPeerAddress(*accepted, &peer, nullptr) == 0;
        if (!checkPeer || (known && PlatSameAddress(peer, serverAddress))) {
            return FTP_OK;
        }
        // One whose address cannot be read was reset before it was taken: closed, not named.
        char text[PLAT_ADDRESS_TEXT_SIZE];
        if (known && PlatFormatAddress(peer, text, sizeof text)) {
            refused = text;
            if (c.traceEnabled) {
                FtpTrace("data connection from %s refused: not the server's address", text);
            }
        }
        TcpClose(accepted);
    }
}

// Closes a listening socket; at full speed without the pause that goes before it.
void CloseListening(const FtpSession* session, int32_t* listenSocket) {
    if (session->throttle) {
        TcpClose(listenSocket);
    } else {
        TcpCloseWithoutPause(listenSocket);
    }
}

// Asks for a passive data port: EPSV, or on IPv4 PASV when the server refuses EPSV (PASV
// speaks of IPv4 addresses only). The port in *port; *extended tells which command gave it.
int32_t AskPassivePort(FtpSession* session, bool ipv6, uint16_t* port, bool* extended) {
    FtpConnection& c = session->connection;
    int32_t code = 0;
    *extended = !c.epsvRefused || ipv6;
    if (*extended) {
        const int32_t result = FtpExchange(session, "EPSV", &code);
        if (result != FTP_OK) {
            return result;
        }
        if (code == 229) {
            return FtpParseEpsvPort(c.channel.replyText(), port) ? FTP_OK : FTP_NO_PASSIVE_MODE;
        }
        if (code < 500 || code > 599 || ipv6) {
            return FTP_NO_PASSIVE_MODE;
        }
        c.epsvRefused = true;
        *extended = false;
    }
    const int32_t result = FtpExchange(session, "PASV", &code);
    if (result != FTP_OK) {
        return result;
    }
    if (code == 227) {
        return FtpParsePasvPort(c.channel.replyText(), port) ? FTP_OK : FTP_NO_PASSIVE_MODE;
    }
    return FTP_NO_PASSIVE_MODE;
}

}  // namespace

int32_t FtpOpenPassive(FtpSession* session, int32_t* dataSocket) {
    FtpConnection& c = session->connection;
    *dataSocket = -1;
    // The family from the local end, which stays known after the peer has gone: a connection
    // that the server closed is reported by the exchange below, as such.
    PlatAddress local;
    const bool ipv6 = PlatGetSockAddress(c.controlSocket, &local, nullptr) == 0 &&
                      local.family == PLAT_AF_INET6;
    const uint32_t start = PlatTickCount();
    const int32_t timeout = static_cast<int32_t>(c.timeoutSeconds);
    for (;;) {
        uint16_t port = 0;
        bool extended = false;
        const int32_t result = AskPassivePort(session, ipv6, &port, &extended);
        if (result != FTP_OK) {
            return result;
        }
        // Always the control connection's peer: the address inside a 227 reply is not followed,
        // so neither the server nor anyone between can point the client at another host.
        PlatAddress address;
        if (PlatGetPeerAddress(c.controlSocket, &address, nullptr) != 0) {
            return FTP_DATA_CONNECTION_FAILED;
        }
        // An EPSV port that cannot be reached (a firewall that lets the control connection
        // through but not the port) leaves PASV to try, within the same time-out: the EPSV
        // attempt takes half of it at most, PASV what is left.
        const bool fallback = extended && !ipv6;
        int32_t limit = timeout;
        if (fallback && timeout > 1) {
            limit = timeout / 2;
        } else if (!extended && timeout > 0) {
            limit = FtpSecondsLeft(start, static_cast<uint32_t>(timeout));
            if (limit <= 0) {
                limit = 1;
            }
        }
        const int32_t connected = TcpConnectAddress(dataSocket, address, port, limit);
        if (connected == NET_OK) {
            return FTP_OK;
        }
        *dataSocket = -1;
        if (connected == NET_CANCELLED || FtpAbortWanted(session)) {
            return FTP_ABORTED;
        }
        if (!fallback || (connected != NET_CONNECT_FAILED && connected != NET_TIMEOUT)) {
            return FTP_DATA_CONNECTION_FAILED;
        }
        if (c.traceEnabled) {
            FtpTrace("EPSV port %u unreachable: PASV from now on", static_cast<unsigned>(port));
        }
        c.epsvRefused = true;
    }
}

bool FtpParseEpsvPort(const char* text, uint16_t* port) {
    // "229 Entering Extended Passive Mode (|||6446|)": the character after '(' delimits.
    const char* open = strchr(text, '(');
    if (open == nullptr || open[1] == '\0') {
        return false;
    }
    const char d = open[1];
    if (open[2] != d || open[3] != d) {
        return false;
    }
    uint32_t value = 0;
    const char* p = open + 4;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        if (value > 65535) {
            return false;
        }
    }
    if (p == open + 4 || *p != d || value == 0) {
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when six comma-separated numbers of 0 to 255 start at p; they go to numbers.
bool ReadSixNumbers(const char* p, uint32_t numbers[6]) {
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && *p++ != ',') {
            return false;
        }
        if (!IsDigit(*p)) {
            return false;
        }
        uint32_t value = 0;
        for (; IsDigit(*p); ++p) {
            value = value * 10 + static_cast<uint32_t>(*p - '0');
            if (value > 255) {
                return false;
            }
        }
        numbers[i] = value;
    }
    return true;
}

}  // namespace

bool FtpParsePasvPort(const char* text, uint16_t* port) {
    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)", with or without the parentheses: the
    // first run of six comma-separated numbers after the code.
    const char* p = FtpReplyTail(text);
    for (; *p != '\0'; ++p) {
        uint32_t numbers[6];
        if (IsDigit(*p) && !IsDigit(p[-1]) && ReadSixNumbers(p, numbers)) {
            const uint32_t value = numbers[4] * 256 + numbers[5];
            if (value == 0) {
                return false;
            }
            *port = static_cast<uint16_t>(value);
            return true;
        }
    }
    return false;
}

int32_t FtpTransferRefusalResult(int32_t code) {
    // 425: the server could not open the data connection; 426: it was closed under it; 522: the
    // server wants TLS on it other than it was offered; 500 to 504: not understood or not
    // implemented, as for every other command.
    return code == 550                                 ? FTP_CANNOT_OPEN_REMOTE
           : code == 553                               ? FTP_TRANSFER_REFUSED
           : code == 425 || code == 426 || code == 522 ? FTP_DATA_CONNECTION_FAILED
           : code >= 500 && code <= 504                ? FTP_COMMAND_NOT_EXECUTED
           : code == 421                               ? FTP_NOT_CONNECTED
                                                       : FTP_UNEXPECTED_ANSWER;
}

namespace {

// Reads the reply that starts a transfer: the 125 or 150 comes to the caller, other preliminary
// replies (120) are passed over, a final reply is the command's answer. FTP_OK with *code, or
// the read's failure with *code NET_CANCELLED or NET_ERROR.
int32_t ReadPreliminary(FtpSession* session, int32_t* code) {
    int32_t read;
    do {
        read = FtpChannelReply(session, FTP_REPLY_PRELIMINARY, code);
    } while (read == FTP_OK && *code >= 100 && *code <= 199 && *code != 125 && *code != 150);
    if (read != FTP_OK) {
        *code = read == FTP_ABORTED ? NET_CANCELLED : NET_ERROR;
    }
    return read;
}

// How long a failed data handshake after a 150 looks for the final reply of a server that gave
// up on the transfer; such a server sent it before it closed the data connection.
constexpr int32_t REFUSAL_LOOK_MS = 250;

// After a 150 and a failed handshake on the data connection: true when the server's final reply
// is there, read, with *result the outcome (a 4xx or 5xx as the refusal of the command, else
// failure); false when none came, the transfer still to be stopped.
bool FinalReplyAfterFailure(FtpSession* session, int32_t failure, int32_t* result) {
    if (!ControlSpoke(session, REFUSAL_LOOK_MS)) {
        return false;
    }
    int32_t code = 0;
    *result = ReadFinalInstead(session, &code);
    if (*result == FTP_OK) {
        *result = code >= 400 ? FtpTransferRefusalResult(code) : failure;
    }
    return true;
}

}  // namespace

namespace {

// The end of a set-up step: FTP_ABORTED when an abort came, whatever the step gave.
int32_t Failed(const FtpSession* session, int32_t result) {
    return FtpAbortWanted(session) ? FTP_ABORTED : result;
}

// A marker left by a resumed transfer that an abort cut short would make the server start a
// whole-file transfer at that offset: REST 0 puts it back, in binary type, since some servers
// refuse REST in ASCII. A server that refuses it outright has no marker. FTP_OK, or how the
// set-up ends.
int32_t ClearRestartMarker(FtpSession* session, int64_t restartPosition) {
    FtpConnection& c = session->connection;
    if (!c.restartPending || restartPosition > 0) {
        return FTP_OK;
    }
    const int32_t key = session->sessionKey;
    int32_t result = FtpSelectType('I', key);
    if (result == FTP_OK) {
        result = FtpExecCommand(CMD_REST, "0", key);
    }
    if (result == FTP_ABORTED || FtpAbortWanted(session) ||
        (result != FTP_RESTART_OK && result != FTP_COMMAND_NOT_EXECUTED &&
         result != FTP_UNEXPECTED_ANSWER)) {
        return Failed(session, result);
    }
    c.restartPending = false;
    return FTP_OK;
}

// REST for a resumed transfer, pending until a transfer starts, since the server keeps the marker
// until one does. FTP_OK, or the command's result.
int32_t SendRestartMarker(FtpSession* session, int64_t restartPosition) {
    if (restartPosition <= 0) {
        return FTP_OK;
    }
    session->connection.restartPending = true;
    const int32_t result = FtpSendRestart(restartPosition, session->sessionKey);
    if (result == FTP_COMMAND_NOT_EXECUTED || result == FTP_UNEXPECTED_ANSWER) {
        session->connection.restartPending = false;  // refused: the server set no marker
    }
    return result == FTP_RESTART_OK ? FTP_OK : result;
}

// What a transfer's set-up holds between its steps.
struct TransferSetUp {
    int32_t file = -1;            // a local file to read, opened before the data connection
    int32_t listenSocket = -1;    // active: the socket announced with PORT
    int32_t passiveSocket = -1;   // passive: the connection made to the server's port
    bool earlyHandshake = false;  // passive over TLS: the handshake went before the reply
    int32_t handshake = FTP_OK;   // its result
    int32_t read = FTP_OK;        // the read of the reply that starts the transfer
    int32_t code = 0;             // that reply's code
    bool started = false;         // it was 125 or 150
    int32_t accepted = -1;        // the data connection
    int32_t instead = 0;          // a final reply that came instead of the server's connection
    int32_t waited = FTP_OK;      // the wait for the server's connection
    bool running = false;         // a transfer the server may still run, which an abort stops
};

void CloseEndpoints(const FtpSession* session, TransferSetUp& s) {
    CloseListening(session, &s.listenSocket);
    TcpClose(&s.passiveSocket);
}

// After the transfer command: the early handshake (passive over TLS), the reply that starts the
// transfer, and the server's data connection.
void AwaitServer(FtpSession* session, TransferSetUp& s) {
    FtpConnection& c = session->connection;
    // Passive over TLS: the handshake starts at once, before the reply is read. Some servers
    // (ftp-srv) answer the command only once its data connection is secured; the others send
    // their 150 first and find the handshake waiting. Not before the command: a server may drop
    // a data connection on which bytes arrive before the command that uses it.
    s.earlyHandshake = s.passiveSocket != -1 && c.tlsActive;
    s.handshake = s.earlyHandshake ? FtpSecureDataConnection(session, s.passiveSocket) : FTP_OK;
    s.read = ReadPreliminary(session, &s.code);
    s.started = s.code == 125 || s.code == 150;
    if (s.started) {
        c.restartPending = false;  // this transfer takes the marker
    }
    if (s.started && s.passiveSocket != -1) {
        s.accepted = s.passiveSocket;
        s.passiveSocket = -1;
    } else if (s.started) {
        s.waited = AcceptFromServer(session, s.listenSocket, &s.accepted, &s.instead);
    }
    s.running = (s.started && s.instead == 0) || s.code < 100;
}

// Aborted before the reply to the command or the server's connection came, under TLS: the
// server may be in its handshake on the passive connection, or on one it made to us (vsftpd
// connects before its 150); it is taken if it is there, without waiting.
void TakeConnectionOfAbort(FtpSession* session, TransferSetUp& s) {
    if (!FtpAbortWanted(session) || !session->connection.tlsActive || !s.running ||
        s.accepted != -1) {
        return;
    }
    if (s.passiveSocket != -1) {
        s.accepted = s.passiveSocket;
        s.passiveSocket = -1;
    } else if (s.listenSocket != -1) {
        PlatCancelScope uncancellable(nullptr);
        if (TcpAccept(&s.accepted, s.listenSocket, -1) != NET_OK) {
            s.accepted = -1;
        }
    }
}

// An abort during the set-up: a transfer the server may run is stopped; a final reply to the
// command means there is none. FTP_ABORTED.
int32_t AbortSetUp(FtpSession* session, TransferSetUp& s) {
    FtpConnection& c = session->connection;
    CloseFile(&s.file);
    if (!s.running) {
        TcpClose(&s.accepted);
        return FTP_ABORTED;
    }
    if (s.accepted != -1 && c.tlsActive && !s.earlyHandshake) {
        // The server is in its handshake already: it ends (briefly, despite the abort) before
        // the data connection is closed, since a server whose handshake is cut off may end the
        // whole session.
        FtpSecureDataConnection(session, s.accepted);
    }
    c.dataSocket = s.accepted;
    FtpAbortTransfer(session, ABORT_DURING_SET_UP);
    return FTP_ABORTED;
}

// The TLS handshake on the data connection (active: the server has begun its side with the
// 150). True when it failed, which ends the set-up with *result: a failed one still leaves a
// transfer to stop, unless the server gave up on it (150, then 450, and the data connection
// closed): then its final reply says why.
bool HandshakeFailed(FtpSession* session, TransferSetUp& s, int32_t* result) {
    const int32_t secured =
        s.earlyHandshake ? s.handshake : FtpSecureDataConnection(session, s.accepted);
    if (secured == FTP_OK) {
        return false;
    }
    int32_t ended = FTP_OK;
    if (!FtpAbortWanted(session) && FinalReplyAfterFailure(session, secured, &ended)) {
        CloseFile(&s.file);
        TcpClose(&s.accepted);
        *result = ended;
        return true;
    }
    CloseFile(&s.file);
    session->connection.dataSocket = s.accepted;
    const bool wanted = FtpAbortWanted(session);
    FtpAbortTransfer(session, ABORT_DURING_SET_UP);
    *result = wanted ? FTP_ABORTED : secured;
    return true;
}

// The data connection and the local file become the session's. A file to write is made now;
// when it cannot be after all, the server is sending already, so the transfer is ended as any
// other that cannot be written.
int32_t HandOver(FtpSession* session, TransferSetUp& s, const char* localPath, int32_t mode,
                 bool writesFile) {
    session->connection.dataSocket = s.accepted;
    if (writesFile && (s.file = OpenLocalFile(localPath, mode)) == -1) {
        FtpAbortTransfer(session, ABORT_RECV_DISK_FULL);
        return FTP_CANNOT_OPEN_FILE;
    }
    session->localFile = s.file;
    return FTP_OK;
}

// The result of a set-up that got no data connection.
int32_t NoDataConnection(const TransferSetUp& s) {
    if (s.instead != 0) {
        // The server ended the transfer before it connected: a refusal after its 150.
        return s.instead >= 400 ? FtpTransferRefusalResult(s.instead) : FTP_DATA_CONNECTION_FAILED;
    }
    if (s.started) {
        // The server still owes the transfer's final reply (425, say); the channel reads it
        // before the next command. A read of it that failed says so instead.
        return s.waited == FTP_OK || s.waited == FTP_DATA_CONNECTION_FAILED
                   ? FTP_DATA_CONNECTION_FAILED
                   : s.waited;
    }
    return s.read != FTP_OK ? s.read : FtpTransferRefusalResult(s.code);
}

}  // namespace

int32_t FtpStartTransfer(FtpSession* session, const char* localPath, int32_t mode, char type,
                         int64_t restartPosition, const char* commandLine) {
    PlatCancelScope scope(session->cancelTarget);
    FtpConnection& c = session->connection;
    CloseFile(&session->localFile);
    // An abort at any step of the set-up ends it with FTP_ABORTED; what the server still owes
    // for a step cut short is read before the next command.
    int32_t result = ClearRestartMarker(session, restartPosition);
    if (result != FTP_OK) {
        return result;
    }
    if (type == 'I' || type == 'A' || type == 'L') {
        result = FtpSelectType(type, session->sessionKey);
        if (result != FTP_OK) {
            return Failed(session, result);
        }
    }
    // A file to read is opened now. A file to write is only checked now, so that 1004 still
    // comes before PORT and the transfer command; it is created, emptied or appended to once the
    // server has accepted the transfer, so that a refusal leaves it as it was and makes no file.
    TransferSetUp s;
    const bool writesFile =
        localPath != nullptr && (mode == LOCAL_OPEN_CREATE || mode == LOCAL_OPEN_APPEND);
    if (localPath != nullptr && (writesFile ? !PlatFileCanWrite(localPath)
                                            : (s.file = OpenLocalFile(localPath, mode)) == -1)) {
        return FTP_CANNOT_OPEN_FILE;
    }
    // Active: a listening socket announced with PORT. Passive: a connection already made to the
    // port that the server announced.
    result = c.passive ? FtpOpenPassive(session, &s.passiveSocket)
                       : FtpListenAndPort(session, &s.listenSocket);
    if (result != FTP_OK) {
        CloseFile(&s.file);
        return Failed(session, result);
    }
    // Nothing is sent after an abort; once the command has gone out, the abort stops the
    // transfer it may have started.
    result = SendRestartMarker(session, restartPosition);
    if (result == FTP_OK && !FtpAbortWanted(session)) {
        result = FtpChannelSend(session, commandLine);
    } else if (result == FTP_OK) {
        result = FTP_ABORTED;
    }
    if (result != FTP_OK) {
        CloseFile(&s.file);
        CloseEndpoints(session, s);
        return Failed(session, result);
    }
    AwaitServer(session, s);
    TakeConnectionOfAbort(session, s);
    CloseEndpoints(session, s);
    if (FtpAbortWanted(session)) {
        return AbortSetUp(session, s);
    }
    if (s.accepted != -1 && c.tlsActive && HandshakeFailed(session, s, &result)) {
        return result;
    }
    if (s.accepted != -1) {
        return HandOver(session, s, localPath, mode, writesFile);
    }
    CloseFile(&s.file);
    return NoDataConnection(s);
}
