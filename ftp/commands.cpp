// Connection, login, logout and the commands that need only the control connection.

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_table.h"
#include "retry.h"
#include "session_internal.h"

bool FtpQuotedPath(const char* replyText, std::string* path) {
    const char* p = FtpReplyTail(replyText);
    if (*p != '"') {
        return false;
    }
    std::string text;
    for (++p; *p != '\0' && *p != '\r' && *p != '\n'; ++p) {
        if (*p == '"') {
            if (p[1] != '"') {
                *path = text;
                return true;
            }
            ++p;  // a doubled quote stands for one
        }
        text += *p;
    }
    return false;
}

void FtpCloseControl(FtpSession* session) {
    FtpCloseDataChannel(session);
    FtpChannelClose(session);
}

namespace {

// Reads the server's greeting and maps it through the table. A 1xx greeting ("120 Service ready
// in 2 minutes") is preliminary: the channel reads on to the final reply, which decides.
int32_t ReadGreeting(FtpSession* session) {
    int32_t code = 0;
    const int32_t result = FtpChannelReply(session, FTP_REPLY_FINAL, &code);
    return result != FTP_OK ? result : FtpMapReply(CMD_GREETING, code);
}

}  // namespace

int32_t FtpConnectSession(FtpSession* session, const char* host, const PlatAddress* address) {
    FtpConnection& c = session->connection;
    if (c.controlSocket != -1) {
        // A session that is still connected (after a refused login, say) would otherwise leak
        // its old control connection.
        FtpCloseControl(session);
    }
    // Implicit TLS has a port of its own, unless the caller gave one.
    const bool implicitTls = c.tlsMode == 2;
    uint16_t port = implicitTls && !c.portGiven ? 990 : c.port;
    int32_t control = -1;
    const int32_t timeout = static_cast<int32_t>(c.timeoutSeconds);
    int32_t result =
        address != nullptr
            ? TcpConnectAddress(&control, *address, port, timeout)
            : TcpConnect(&control, host, port == 21 ? "ftp" : nullptr, &port, timeout);
    if (!implicitTls || c.portGiven) {
        c.port = port;
    }
    c.controlSocket = control;
    switch (result) {
        case NET_OK: break;
        case NET_CANCELLED: return FTP_ABORTED;
        case NET_CONNECT_FAILED: return FTP_NO_SERVER;
        case NET_NO_SOCKET: return FTP_NO_SOCKET;
        case NET_HOST_UNKNOWN: return FTP_HOST_UNRESOLVED;
        case NET_LOOKUP_TIMEOUT: return FTP_LOOKUP_TIMEOUT;
        case NET_TIMEOUT: return FTP_TIMEOUT;
        default: return FTP_CONNECT_ERROR;
    }
    c.currentType = 'A';
    FtpChannelOpened(session);
    c.epsvRefused = false;
    c.featuresKnown = c.featureMlst = c.featureSize = c.featureMdtm = c.featureUtf8 = false;
    c.featureText.clear();
    c.tlsActive = false;
    c.protectionAfterLogin = false;
    c.tlsHost = host;
    if (c.tlsHost.size() > 2 && c.tlsHost.front() == '[' && c.tlsHost.back() == ']') {
        c.tlsHost = c.tlsHost.substr(1, c.tlsHost.size() - 2);  // "[::1]": the address inside
    }
    if (PlatGetPeerAddress(control, &session->loginAddress, nullptr) != 0) {
        session->loginAddress = PlatAddress{};
    }
    if (c.keepaliveSeconds > 0) {
        // The system's own probes keep a quiet control connection known to middleboxes even
        // between operations, when no NOOP goes out.
        PlatSetKeepAlive(control, c.keepaliveSeconds);
    }

    if (implicitTls && (result = FtpSecureControl(session, false)) != FTP_OK) {
        FtpCloseControl(session);
        return result;
    }
    result = ReadGreeting(session);
    if (result != FTP_OK || c.tlsMode == 0) {
        return result;
    }
    // Never a command in clear once TLS was asked for: any failure ends the connection.
    if (!implicitTls) {
        result = FtpSecureControl(session, true);
    }
    if (result == FTP_OK) {
        result = FtpProtectDataChannel(session, true);
    }
    if (result != FTP_OK) {
        FtpCloseControl(session);
    }
    return result;
}

int32_t FtpConnect(const char* host, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    return FtpConnectSession(op.get(), host, nullptr);
}

int32_t FtpLoginSession(FtpSession* session, const char* user, const char* password) {
    const int32_t key = session->sessionKey;
    int32_t result = FTP_OK;
    if (user != nullptr) {
        result = FtpExecCommand(CMD_USER, user, key);
    }
    if (result == FTP_PASSWORD_REQUIRED && password != nullptr) {
        result = FtpExecCommand(CMD_PASS, password, key);
    }
    if (result == FTP_OK && session->connection.protectionAfterLogin &&
        (result = FtpProtectDataChannel(session, false)) != FTP_OK) {
        FtpCloseControl(session);  // no data connection in clear once TLS was asked for
    }
    if (result == FTP_OK && session->connection.featuresWanted) {
        result = FtpFeaturesAfterLogin(session);
    }
    return result;
}

int32_t FtpLogin(const char* host, const char* user, const char* password, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    if (host == nullptr) {
        return FTP_BAD_PARAMETERS;
    }
    // Refuse what cannot be sent before connecting at all.
    char line[FTP_COMMAND_SIZE];
    if ((user != nullptr && FtpBuildCommandLine(line, CommandTable[CMD_USER].format, user) != 0) ||
        (password != nullptr &&
         FtpBuildCommandLine(line, CommandTable[CMD_PASS].format, password) != 0)) {
        return FTP_BAD_PARAMETERS;
    }
    FtpSession* session = op.get();
    session->loginHost = host;
    session->loginUser = user != nullptr ? user : "";
    session->loginPassword = password != nullptr ? password : "";
    session->directoryMoved = false;
    session->directory.clear();
    int32_t result = FtpConnectWithRetries(session, host);
    if (result == FTP_OK) {
        result = FtpLoginSession(session, user, password);
    }
    return result;
}

int32_t FtpLogout(int32_t key) { return FtpLogoutWithin(FTP_QUIT_LIMIT_MS, key); }

int32_t FtpLogoutWithin(int32_t limitMs, int32_t key) {
    int32_t result;
    {
        FtpOperation op(key);
        if (!op) {
            return FTP_NOT_INITIALIZED;
        }
        result = FtpChannelQuit(op.get(), limitMs);
    }
    if (result == FTP_OK) {
        FtpDisconnect(key);
    }
    return result;
}

int32_t FtpDisconnect(int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    FtpCloseControl(op.get());
    const FtpConnection& c = op->connection;
    return c.controlSocket == -1 && c.dataSocket == -1 ? FTP_OK : FTP_CLOSE_FAILED;
}

void FtpCloseDataChannel(FtpSession* session) { FtpCloseDataChannelWithin(session, -1); }

void FtpCloseDataChannelWithin(FtpSession* session, int32_t waitMs) {
    if (session->localFile != -1) {
        PlatFileClose(session->localFile);
        session->localFile = -1;
    }
    int32_t data = session->connection.dataSocket;
    if (waitMs < 0) {
        TcpClose(&data);
    } else {
        TcpCloseWithin(&data, waitMs);
    }
    session->connection.dataSocket = data;
}

int32_t FtpHelp(const char* topic, char* output, int32_t capacity, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    int32_t result = topic != nullptr ? FtpExecCommand(CMD_HELP_TOPIC, topic, key)
                                      : FtpExecCommand(CMD_HELP, nullptr, key);
    if (result != FTP_OK) {
        return result;
    }
    std::string reply = op->connection.channel.replyText();
    const size_t lastCr = reply.rfind('\r');
    if (lastCr != std::string::npos) {
        reply.resize(lastCr);
    }
    FtpCopyText(output, capacity, FtpReplyTail(reply.c_str()));
    return FTP_OK;
}

int32_t FtpDeleteFile(const char* name, int32_t key) { return FtpExecCommand(CMD_DELE, name, key); }

namespace {

// A command that may have moved the session to another directory: the one to return to after a
// lost connection is asked again before it is needed.
int32_t MaybeMoved(int32_t result, int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (session) {
        session->directoryMoved = true;
        session->directory.clear();
    }
    return result;
}

}  // namespace

int32_t FtpCWD(const char* path, int32_t key) {
    return MaybeMoved(FtpExecCommand(CMD_CWD, path, key), key);
}

int32_t FtpCDUp(int32_t key) { return MaybeMoved(FtpExecCommand(CMD_CDUP, nullptr, key), key); }

int32_t FtpDeleteDirectory(const char* name, int32_t key) {
    return FtpExecCommand(CMD_RMD, name, key);
}

int32_t FtpCreateDirectory(const char* name, char* output, int32_t capacity, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    int32_t result = FtpExecCommand(CMD_MKD, name, key);
    if (result != FTP_OK) {
        return result;
    }
    std::string path;
    FtpQuotedPath(op->connection.channel.replyText(), &path);
    FtpCopyText(output, capacity, path.c_str());
    return FTP_OK;
}

int32_t FtpPWD(char* output, int32_t capacity, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    int32_t result = FtpExecCommand(CMD_PWD, nullptr, key);
    if (result != FTP_OK) {
        return result;
    }
    std::string path;
    if (FtpQuotedPath(op->connection.channel.replyText(), &path)) {
        FtpCopyText(output, capacity, path.c_str());
        return FTP_OK;
    }
    FtpCopyText(output, capacity, FtpReplyTail(op->connection.channel.replyText()));
    return FTP_PWD_NO_DIRECTORY;
}

int32_t FtpSelectType(char type, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    if (type == op->connection.currentType) {
        return FTP_OK;
    }
    char argument[4] = {type, '\0'};
    if (type == 'L') {
        strcpy(argument, "L 8");
    }
    int32_t result = FtpExecCommand(CMD_TYPE, argument, key);
    if (result == FTP_OK) {
        op->connection.currentType = type;
    } else if (result != FTP_UNEXPECTED_ANSWER && result != FTP_TYPE_REJECTED &&
               result != FTP_COMMAND_NOT_EXECUTED) {
        // No reply (an abort, a time-out): the TYPE may still have taken effect, so the
        // server's type is unknown and the next transfer states its own again. A refusal
        // changed nothing.
        op->connection.currentType = 0;
    }
    return result;
}

int32_t FtpSendRestart(int64_t position, int32_t key) {
    if (position <= 0) {
        return FTP_RESTART_OK;
    }
    char text[24];
    snprintf(text, sizeof text, "%" PRId64, position);
    return FtpExecCommand(CMD_REST, text, key);
}

int32_t FtpRenameFile(const char* oldName, const char* newName, int32_t key) {
    // Both names are checked before RNFR goes out, so that a refused new name leaves no rename
    // half begun on the server.
    char line[FTP_COMMAND_SIZE];
    if (FtpAcquireSession(key) != nullptr &&
        (FtpBuildCommandLine(line, CommandTable[CMD_RNFR].format, oldName) != FTP_OK ||
         FtpBuildCommandLine(line, CommandTable[CMD_RNTO].format, newName) != FTP_OK)) {
        return FTP_BAD_PARAMETERS;
    }
    int32_t result = FtpExecCommand(CMD_RNFR, oldName, key);
    if (result != FTP_OK) {
        return result;
    }
    return FtpExecCommand(CMD_RNTO, newName, key);
}

namespace {

// True when line is the command verb, in any letter case after any blanks, with no argument when
// argument is "", any when it is null, else that one word in any letter case.
bool IsRawCommand(const char* line, const char* verb, const char* argument) {
    const auto sameWord = [](const char* text, const char* word) {
        const size_t n = strlen(word);
        for (size_t i = 0; i < n; ++i) {
            if (toupper(static_cast<unsigned char>(text[i])) != word[i]) {
                return false;
            }
        }
        return text[n] == '\0' || text[n] == ' ';
    };
    const char* at = line + strspn(line, " ");
    if (!sameWord(at, verb)) {
        return false;
    }
    at += strlen(verb);
    at += strspn(at, " ");
    return argument == nullptr || (sameWord(at, argument) && at[strlen(argument)] == '\0');
}

// Why the raw line is not sent, or null: commands whose effect the engine could not follow. AUTH
// would want a TLS handshake the engine never starts, PROT changes the protection of the data
// connections that the tls option decides, REIN ends the login that a retry repeats, and after
// EPSV ALL the server refuses the PORT and PASV the engine may send.
const char* RefusedRawCommand(const char* line) {
    if (IsRawCommand(line, "AUTH", nullptr) || IsRawCommand(line, "PROT", nullptr)) {
        return "not sent by ftpCommand: the tls option secures the connection and its data";
    }
    if (IsRawCommand(line, "REIN", "")) {
        return "REIN is not sent by ftpCommand: ftpLogin starts a new session";
    }
    if (IsRawCommand(line, "EPSV", "ALL")) {
        return "EPSV ALL is not sent by ftpCommand: the passive option chooses the data "
               "connections";
    }
    return nullptr;
}

}  // namespace

int32_t FtpCommand(const char* line, char* output, int32_t capacity, int32_t key) {
    FtpOperation op(key);
    if (!op || line == nullptr) {
        return FTP_NOT_INITIALIZED;
    }
    FtpConnection& c = op->connection;
    if (c.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    if (FtpHasLineBreak(line) || strlen(line) >= static_cast<size_t>(FTP_COMMAND_SIZE)) {
        return FTP_BAD_PARAMETERS;
    }
    if (const char* refusal = RefusedRawCommand(line)) {
        FtpSetDetail(op.get(), refusal);
        return FTP_BAD_PARAMETERS;
    }
    int32_t sent = FtpChannelSend(op.get(), line);
    // The raw line may have changed the type (TYPE, REIN) or the directory behind the engine's
    // back; the next transfer must state its type again.
    c.currentType = 0;
    op->directoryMoved = true;
    op->directory.clear();
    if (sent != FTP_OK) {
        return sent;
    }
    // A REST leaves a marker that the next transfer would start at: the next whole-file one
    // sends REST 0 first, unless the server refused this one.
    const bool rest = IsRawCommand(line, "REST", nullptr);
    const bool restBefore = c.restartPending;
    c.restartPending = c.restartPending || rest;
    // Preliminary replies (150 to a raw RETR, say) come first in the text, each on lines of its
    // own; the code returned is the final reply's.
    std::string text;
    for (;;) {
        int32_t code = 0;
        const int32_t read = FtpChannelReply(op.get(), FTP_REPLY_PRELIMINARY, &code);
        if (read != FTP_OK) {
            return read;
        }
        if (!text.empty()) {
            text += '\n';
        }
        text += c.channel.replyText();
        if (code < 100 || code > 199) {
            FtpCopyText(output, capacity, text.c_str());
            if (rest && code >= 400 && code <= 599) {
                c.restartPending = restBefore;
            }
            // A code outside 100 to 599 is no reply code, and must not pass for a result of the
            // engine's (0 "OK", 1003, ...).
            return code >= 200 && code <= 599 ? code : FTP_UNEXPECTED_ANSWER;
        }
    }
}
