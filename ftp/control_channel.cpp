// The control connection's traffic: sending a command line, reading a reply, and keeping the two
// in step, so that a reply is never taken as the answer to a command it does not belong to.

#include <cstring>

#include "session_internal.h"

namespace {

// The longest a NOOP that brings the connection back in step may wait for its reply, stale
// replies before it included. A server that needs longer loses its connection instead.
constexpr uint32_t STEP_LIMIT_SECONDS = 10;
// Stale replies dropped at most before the NOOP's own; more and the connection is closed.
constexpr int32_t STEP_MAX_STALE = 16;

bool ReplyOfNoop(int32_t code, bool uncertain) {
    if (code == 200) {
        return true;
    }
    // A server may refuse NOOP (not logged in yet, say). While stale replies of an aborted
    // transfer may come, a 5xx could be one of them (an ABOR the server did not understand).
    return !uncertain && code >= 500 && code <= 599;
}

}  // namespace

uint32_t FtpBoundSeconds(const FtpConnection& connection, uint32_t limit) {
    uint32_t seconds = connection.timeoutSeconds;
    return seconds == 0 || seconds > limit ? limit : seconds;
}

int32_t FtpSecondsLeft(uint32_t start, uint32_t limitSeconds) {
    const uint32_t elapsed = PlatTickCount() - start;
    const uint32_t limitMs = limitSeconds * 1000u;
    if (elapsed >= limitMs) {
        return 0;
    }
    return static_cast<int32_t>((limitMs - elapsed + 999) / 1000);
}

namespace {

// Reads one reply into replyText, waiting up to seconds (0: without limit) for each arrival.
// Returns the reader's result, and the code in *code when it is 1 (a complete reply).
int32_t ReadOne(FtpConnection* connection, int32_t seconds, int32_t* code) {
    memset(connection->replyText, 0, sizeof connection->replyText);
    int32_t result = TnReadMultiLine(connection->controlSocket, connection->replyText,
                                     FTP_REPLY_SIZE, seconds, connection->logFile);
    if (result == 1) {
        *code = NetAtoi(connection->replyText);
        {
            std::lock_guard<std::mutex> guard(connection->lastReplyLock);
            memcpy(connection->lastReply, connection->replyText, sizeof connection->lastReply);
        }
        if (connection->traceEnabled) {
            PlatDebugOutput(connection->replyText);
            PlatDebugOutput("\r\n");
        }
    }
    return result;
}

}  // namespace

int32_t FtpReadReplyWithin(FtpConnection* connection, int32_t seconds, int32_t* code) {
    if (seconds <= 0) {
        memset(connection->replyText, 0, sizeof connection->replyText);
        return NET_TIMEOUT;  // the time is up; 0 would mean "without limit" to the reader
    }
    return ReadOne(connection, seconds, code);
}

int32_t FtpSendLine(int32_t socket, const char* line, int32_t urgent, int32_t logFile,
                    int32_t key) {
    int32_t result = TnSend(socket, line, urgent, logFile);
    FtpSessionRef session = FtpAcquireSession(key);
    if (session && session->connection.traceEnabled) {
        PlatDebugOutput(line);
        PlatDebugOutput("\r\n");
    }
    return result;
}

int32_t FtpReadReply(FtpConnection* connection, int32_t key) {
    (void)key;
    int32_t code = 0;
    int32_t result =
        ReadOne(connection, static_cast<int32_t>(connection->timeoutSeconds), &code);
    if (result == 1) {
        return code;
    }
    // A closed connection owes nothing; any other end without the whole reply leaves it (or its
    // rest) on its way, to be dropped before the next command.
    if (result != NET_CLOSED) {
        ++connection->repliesOwed;
    }
    return result;
}

bool FtpInStep(const FtpConnection& connection) {
    return connection.repliesOwed == 0 && !connection.stepUncertain;
}

namespace {

// Sends NOOP and reads up to its reply: first the replies owed, whatever they are, then every
// reply that cannot be the NOOP's. FTP_OK when in step again; FTP_ABORTED when cancelled (the
// NOOP's reply is owed then); otherwise the connection is closed and FTP_NOT_CONNECTED.
int32_t BringInStep(FtpSession* session) {
    FtpConnection& c = session->connection;
    const int32_t key = session->sessionKey;
    if (c.traceEnabled) {
        FtpTrace("bringing the control connection in step, %d replies owed%s",
                 static_cast<int>(c.repliesOwed), c.stepUncertain ? ", more uncertain" : "");
    }
    if (FtpSendLine(c.controlSocket, "NOOP", 0, c.logFile, key) != NET_OK) {
        FtpCloseControl(session);
        return FTP_NOT_CONNECTED;
    }
    const uint32_t limit = FtpBoundSeconds(c, STEP_LIMIT_SECONDS);
    const uint32_t start = PlatTickCount();
    int32_t stale = 0;
    while (stale <= c.repliesOwed + STEP_MAX_STALE) {
        int32_t code = 0;
        int32_t result = FtpReadReplyWithin(&c, FtpSecondsLeft(start, limit), &code);
        if (result == NET_CANCELLED) {
            c.repliesOwed = c.repliesOwed - (stale < c.repliesOwed ? stale : c.repliesOwed) + 1;
            return FTP_ABORTED;
        }
        if (result != 1) {
            break;
        }
        if (stale >= c.repliesOwed && ReplyOfNoop(code, c.stepUncertain)) {
            c.repliesOwed = 0;
            c.stepUncertain = false;
            return FTP_OK;
        }
        ++stale;
    }
    FtpCloseControl(session);
    return FTP_NOT_CONNECTED;
}

}  // namespace

int32_t FtpSendCommand(FtpSession* session, const char* line) {
    FtpConnection& c = session->connection;
    if (c.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    if (FtpAbortWanted(session)) {
        return FTP_ABORTED;  // cancelled before it went out: it never goes
    }
    if (!FtpInStep(c)) {
        int32_t result = BringInStep(session);
        if (result != FTP_OK) {
            return result;
        }
    }
    return FtpSendLine(c.controlSocket, line, 0, c.logFile, session->sessionKey) == NET_OK
               ? FTP_OK
               : FTP_SEND_FAILED;
}
