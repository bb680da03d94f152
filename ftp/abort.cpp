// Ending a transfer early, and the cancellation request from another thread.

#include "session_internal.h"

namespace {

// The longest an abort takes, from its start to the end of its reply reads: the interrupt and
// ABOR, the close of the data side, and the wait for the replies that end the transfer. A server
// that answers later (or never answers ABOR) is dealt with by the channel before the next
// command.
constexpr int32_t ABORT_LIMIT_MS = 800;
// The same after the data connection failed (a time-out, a reset): the failure has used up the
// time-out already, and the whole operation must end within a second of it.
constexpr int32_t FAILURE_ABORT_LIMIT_MS = 500;

bool IsDataFailure(int32_t position) {
    return position == ABORT_RECV_FAILED || position == ABORT_SEND_FAILED;
}

// Milliseconds left of limitMs since start (0 when none).
int32_t LeftOf(uint32_t start, int32_t limitMs) {
    const uint32_t elapsed = PlatTickCount() - start;
    return elapsed >= static_cast<uint32_t>(limitMs) ? 0
                                                     : limitMs - static_cast<int32_t>(elapsed);
}

}  // namespace

void FtpAbortTransfer(FtpSession* session, int32_t position) {
    if (!FtpSessionIsValid(session)) {
        return;
    }
    FtpConnection& c = session->connection;
    if (c.traceEnabled) {
        FtpTrace("entering AbortAction, Debug pos %d", static_cast<int>(position));
    }
    const bool requested = session->abortRequested.load() != 0;
    session->abortRequested = 0;
    const int32_t bound = IsDataFailure(position) ? FAILURE_ABORT_LIMIT_MS : ABORT_LIMIT_MS;
    const int32_t limit =
        c.timeoutSeconds != 0 && c.timeoutSeconds * 1000u < static_cast<uint32_t>(bound)
            ? static_cast<int32_t>(c.timeoutSeconds * 1000u)
            : bound;
    // The limit counts from the caller's request: what it took to get here (a data handshake
    // let finish) is part of the abort.
    uint32_t start = PlatTickCount();
    if (requested) {
        const uint32_t since = start - session->abortRequestTick.load();
        start -= since < static_cast<uint32_t>(limit) / 2 ? since : static_cast<uint32_t>(limit) / 2;
    }
    const bool sent = c.controlSocket != -1 && FtpChannelSendAbort(session, limit, start);
    // Stop reading and close the data side at once: a server that ignores the interrupt still
    // sees its transfer end. Its close_notify (TLS) waits for room only within the abort's
    // limit, and not at all after a failure: a data connection that took nothing for the
    // time-out will not take it now.
    FtpCloseDataChannelWithin(session, IsDataFailure(position) ? 0 : LeftOf(start, limit));
    if (c.controlSocket != -1) {
        FtpChannelAbortReplies(session, sent, limit, start);
    }
}

void FtpOpenOperation(FtpSession* session) {
    FtpSetDetail(session, "");
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
        session->abortRequestTick = PlatTickCount();
        session->abortRequested = 1;
        PlatCancelTargetRaise(session->cancelTarget);
    }
    return 1;
}
