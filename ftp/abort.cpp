// Ending a transfer early, and the cancellation request from another thread.

#include "session_internal.h"

namespace {

// A server that answers every ABOR with 500 must not keep the abort going for ever.
constexpr int kMaxAborSends = 5;

void SendAbor(FtpConnection& c) {
    // The command line itself, with its CR LF, is the urgent data; no Telnet interrupt precedes.
    TnSend(c.controlSocket, "ABOR", 1, c.logFile);
}

}  // namespace

void FtpAbortTransfer(FtpSession* session, bool drain, int32_t position) {
    if (!FtpSessionIsValid(session)) {
        return;
    }
    PlatCancelScope scope(session->cancelTarget);
    FtpConnection& c = session->connection;
    const int32_t key = session->sessionKey;
    if (c.traceEnabled) {
        FtpTrace("entering AbortAction, Debug pos %d", static_cast<int>(position));
    }
    session->abortRequested = 0;

    SendAbor(c);
    int sends = 1;
    while (FtpReadReply(&c, key) == 500 && sends < kMaxAborSends) {
        SendAbor(c);
        ++sends;
    }
    // A server that was transferring answers twice: for the broken transfer, then for ABOR.
    FtpReadReply(&c, key);

    FtpCloseDataChannel(session, drain);
    TcpFlush(c.controlSocket);
}

int32_t FtpCancel(int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (!session) {
        return 0;
    }
    if (session->connection.dataSocket != -1) {
        // Set before the interruption, so that a loop woken by it already sees the flag.
        session->abortRequested = 1;
    }
    // Reaches the session's blocked call whatever it is: a reply read, an accept, a transfer
    // block, or a connect that has no control socket yet.
    PlatCancelBlockingCall(session->cancelTarget);
    return 1;
}
