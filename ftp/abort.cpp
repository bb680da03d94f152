// Ending a transfer early, and the cancellation request from another thread.

#include "session_internal.h"

namespace {

// A server that answers every ABOR with 500 must not keep the abort going for ever.
constexpr int kMaxAborSends = 5;
// The longest the abort waits for the server's replies, all of them together. A server that
// answers later is dealt with before the next command (see FtpSendCommand).
constexpr uint32_t ABORT_LIMIT_SECONDS = 2;

// Tells the server to stop: the Telnet interrupt with its urgent Synch, then the ABOR line as
// ordinary data, so that a server reading urgent data apart from the stream still gets a whole
// command line. Urgent data cannot travel inside TLS: there ABOR goes alone, as a command.
bool SendAbortSequence(FtpSession* session) {
    FtpConnection& c = session->connection;
    return (c.tlsActive || TnSendInterrupt(c.controlSocket, c.logFile) == NET_OK) &&
           FtpSendLine(c.controlSocket, "ABOR", 0, c.logFile, session->sessionKey) == NET_OK;
}

// Reads the replies of the abort: the transfer's own final reply when the server sends one
// (426, 451, or 226 for a transfer that had ended), then the one that answers ABOR (225 or
// 226). Returns true when the exchange is known to be complete.
bool ReadAbortReplies(FtpSession* session) {
    FtpConnection& c = session->connection;
    const uint32_t limit = FtpBoundSeconds(c, ABORT_LIMIT_SECONDS);
    const uint32_t start = PlatTickCount();
    bool transferReplySeen = false;
    int sends = 1;
    for (;;) {
        int32_t code = 0;
        if (FtpReadReplyWithin(&c, FtpSecondsLeft(start, limit), &code) != 1) {
            return false;
        }
        if (code == 225) {
            return true;
        }
        if (code == 226) {
            // After the transfer's failure reply this answers ABOR. Alone it may answer ABOR
            // (RFC 959: the transfer had ended) or be the transfer's end with the answer to ABOR
            // still to come.
            return transferReplySeen;
        }
        if (code == 500 || code == 501 || code == 502) {
            // The server did not take the line as ABOR (the Telnet bytes may have confused it):
            // once more as a plain line.
            if (sends >= kMaxAborSends ||
                FtpSendLine(c.controlSocket, "ABOR", 0, c.logFile, session->sessionKey) !=
                    NET_OK) {
                return false;
            }
            ++sends;
            continue;
        }
        if (code >= 100 && code <= 199) {
            continue;  // the preliminary reply of a transfer whose start was interrupted
        }
        transferReplySeen = true;  // 426, 451 or another failure of the transfer itself
    }
}

}  // namespace

void FtpAbortTransfer(FtpSession* session, int32_t position) {
    if (!FtpSessionIsValid(session)) {
        return;
    }
    // Not cancellable: a second ftpAbort, or forget's cancellation, must not cut the abort's own
    // exchange short and leave its replies to the next command. It is bounded instead.
    PlatCancelScope scope(nullptr);
    FtpConnection& c = session->connection;
    if (c.traceEnabled) {
        FtpTrace("entering AbortAction, Debug pos %d", static_cast<int>(position));
    }
    session->abortRequested = 0;
    // Replies owed for the transfer command are among those read here; none of them can be
    // taken for a NOOP's, so what is not read here is left to the uncertain step.
    c.repliesOwed = 0;

    const bool sent = SendAbortSequence(session);
    // Stop reading and close the data side at once: a server that ignores the interrupt still
    // sees its transfer end.
    FtpCloseDataChannel(session);
    if (!sent || !ReadAbortReplies(session)) {
        c.stepUncertain = true;
    }
}

void FtpOpenOperation(FtpSession* session) {
    session->abortRequested = 0;
    PlatCancelTargetLower(session->cancelTarget);
    session->operationOpen = true;
}

void FtpBeginOperation(int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (session) {
        FtpOpenOperation(session.get());
    }
}

void FtpEndOperation(int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (session) {
        session->operationOpen = false;
    }
}

int32_t FtpCancel(int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (!session) {
        return 0;
    }
    if (session->operationOpen.load()) {
        // Set before the interruption, so that a loop woken by it already sees the flag. The
        // raised target fails every wait of the operation from now on, so a cancellation that
        // finds no call blocked at this instant is not lost.
        session->abortRequested = 1;
        PlatCancelTargetRaise(session->cancelTarget);
    }
    return 1;
}
