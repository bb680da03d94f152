// Trying again after a lost connection.

#include "retry.h"

#include <string>

#include "command_table.h"
#include "session_internal.h"

namespace {

// The longest wait between two attempts.
constexpr int64_t RETRY_DELAY_LIMIT_MS = 60000;

// The code of the reply read last, 0 when its text starts with no code.
int32_t LastReplyCode(const FtpSession* session) {
    const char* text = session->connection.channel.replyText();
    for (int i = 0; i < 3; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
    }
    return (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
}

// The transient replies: service closing (421), no data connection (425), transfer broken (426),
// file busy (450), local error on the server (451).
bool IsTransientReply(int32_t code) {
    return code == 421 || code == 425 || code == 426 || code == 450 || code == 451;
}

// Results that a reply of the server decided.
bool IsReplyResult(int32_t result) {
    return result == FTP_ACTION_NOT_TAKEN || result == FTP_TEMPORARY_ERROR ||
           result == FTP_UNEXPECTED_ANSWER || result == FTP_CANNOT_OPEN_REMOTE ||
           result == FTP_TRANSFER_REFUSED || result == FTP_COMMAND_NOT_EXECUTED;
}

// Failures of a connect that a later one may not meet.
bool IsConnectRetryable(const FtpSession* session, int32_t result) {
    switch (result) {
        case FTP_NO_SERVER:
        case FTP_TIMEOUT:
        case FTP_CONNECT_ERROR:
        case FTP_LOOKUP_TIMEOUT:
        case FTP_NO_ANSWER:
        case FTP_NOT_CONNECTED:
            return true;
        default:
            return IsReplyResult(result) && LastReplyCode(session) == 421;
    }
}

// Waits the delay before try number attempt + 1: retryDelay, doubled for each try before.
// False when the wait was cancelled.
bool WaitBeforeRetry(FtpSession* session, int32_t attempt) {
    int64_t delay = session->retryDelayMs;
    for (int32_t i = 1; i < attempt && delay < RETRY_DELAY_LIMIT_MS; ++i) {
        delay *= 2;
    }
    if (delay > RETRY_DELAY_LIMIT_MS) {
        delay = RETRY_DELAY_LIMIT_MS;
    }
    if (delay > 0 && PlatPause(static_cast<uint32_t>(delay)) != 0) {
        return false;
    }
    return !FtpAbortWanted(session);
}

// Learns the directory to come back to, when the script moved since the login and it is not
// known yet. A failure is not the operation's: it only leaves the directory unknown.
void LearnDirectory(FtpSession* session) {
    if (!session->directoryMoved || !session->directory.empty()) {
        return;
    }
    int32_t code = 0;
    if (FtpChannelExchange(session, "PWD", &code) == FTP_OK && code == 257) {
        FtpQuotedPath(session->connection.channel.replyText(), &session->directory);
    }
}

// Brings the session back to where the failed attempt began: the same control connection when
// it is still open and in step and only the transfer failed, else a new one made as the login's
// was, the same login and the same directory. FTP_OK, or the failure of the step that failed.
int32_t Reconnect(FtpSession* session, int32_t failure, FtpAttempt& attempt) {
    FtpConnection& c = session->connection;
    const bool transferOnly = IsReplyResult(failure) || failure == FTP_DATA_CONNECTION_FAILED ||
                              failure == FTP_TRANSFER_SHORT;
    if (c.controlSocket != -1 && FtpChannelInStep(session) && transferOnly) {
        return FTP_OK;
    }
    if (session->directoryMoved && session->directory.empty()) {
        attempt.stop = true;  // a new login would start in another directory
        return failure;
    }
    FtpCloseControl(session);
    const PlatAddress* address =
        session->loginAddress.family != 0 ? &session->loginAddress : nullptr;
    int32_t result = FtpConnectSession(session, session->loginHost.c_str(), address);
    if (result == FTP_OK) {
        result = FtpLoginSession(session,
                                 session->loginUser.empty() ? nullptr : session->loginUser.c_str(),
                                 session->loginPassword.c_str());
    }
    if (result == FTP_OK && session->directoryMoved) {
        result = FtpExecCommand(CMD_CWD, session->directory.c_str(), session->sessionKey);
    }
    return result;
}

}  // namespace

void FtpNoteAttempts(FtpSession* session, int32_t result, int32_t attempts) {
    if (attempts <= 1) {
        return;
    }
    std::string text;
    {
        std::lock_guard<std::mutex> guard(session->detailLock);
        text = session->resultDetail;
    }
    if (text.empty()) {
        text = FtpErrorMessage(result);
    }
    FtpSetDetail(session, text + " (" + std::to_string(attempts) + " attempts)");
}

bool FtpRetryable(const FtpSession* session, int32_t result) {
    if (result == FTP_OK || FtpAbortWanted(session)) {
        return false;
    }
    switch (result) {
        case FTP_NO_ANSWER:
        case FTP_SEND_FAILED:
        case FTP_NOT_CONNECTED:
        case FTP_TRANSFER_SHORT:
            return true;
        case FTP_DATA_CONNECTION_FAILED: {
            // 522 and the like: the server wants the data connection otherwise, every time.
            const int32_t code = LastReplyCode(session);
            return code < 500 || code > 599;
        }
        case FTP_TLS_HANDSHAKE_FAILED:
            // A handshake on a data connection cut together with the control connection.
            return session->connection.controlSocket == -1;
        default:
            return IsReplyResult(result) && IsTransientReply(LastReplyCode(session));
    }
}

int32_t FtpRunWithRetries(FtpSession* session, const std::function<int32_t(FtpAttempt&)>& attempt,
                          int32_t* attemptsMade) {
    FtpAttempt state;
    if (session->retries > 0) {
        LearnDirectory(session);
    }
    int32_t result = attempt(state);
    int32_t attempts = 1;
    bool reconnectFailed = false;
    while (
        !state.stop && attempts <= session->retries &&
        (reconnectFailed ? IsConnectRetryable(session, result) : FtpRetryable(session, result))) {
        if (!WaitBeforeRetry(session, attempts)) {
            result = FTP_ABORTED;
            break;
        }
        if (session->connection.traceEnabled) {
            FtpTrace("attempt %d failed with %d: trying again", static_cast<int>(attempts),
                     static_cast<int>(result));
        }
        ++attempts;
        const int32_t back = Reconnect(session, result, state);
        reconnectFailed = back != FTP_OK;
        if (reconnectFailed) {
            // Counted as an attempt; a connect refused or timed out is tried again like a lost
            // transfer, a refused login is not.
            result = back;
            continue;
        }
        state.number = attempts;
        result = attempt(state);
    }
    if (attemptsMade != nullptr) {
        *attemptsMade = attempts;
    } else {
        FtpNoteAttempts(session, result, attempts);
    }
    return result;
}

int32_t FtpConnectWithRetries(FtpSession* session, const char* host) {
    int32_t result = FtpConnectSession(session, host, nullptr);
    int32_t attempts = 1;
    while (attempts <= session->retries && !FtpAbortWanted(session) &&
           IsConnectRetryable(session, result)) {
        if (!WaitBeforeRetry(session, attempts)) {
            result = FTP_ABORTED;
            break;
        }
        ++attempts;
        result = FtpConnectSession(session, host, nullptr);
    }
    FtpNoteAttempts(session, result, attempts);
    return result;
}
