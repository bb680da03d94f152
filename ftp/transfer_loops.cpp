// The two transfer loops and the expected size of a download.

#include <cctype>
#include <cstring>

#include "command_table.h"
#include "data_connection.h"
#include "session_internal.h"

namespace {

// Counts the block and pauses when the session's rhythm says so. Returns false when the pause
// was cut short (cancelled).
bool PauseRhythm(FtpSession* session) {
    ++session->blockCount;
    if (!session->throttle) {
        return true;
    }
    int32_t every = FtpOtherSessionsExist() ? session->blocksPerPauseShared
                                            : session->blocksPerPauseAlone;
    if (every <= 0 || session->pauseMilliseconds == 0 ||
        session->blockCount % static_cast<uint32_t>(every) != 0) {
        return true;
    }
    return PlatPause(session->pauseMilliseconds) == 0;
}

// The block buffer of the session's pace: the small fixed one when throttled, else the large one.
struct Block {
    char* data;
    int32_t size;
};
Block BlockOf(FtpSession* session) {
    if (!session->throttle && session->fastBuffer) {
        return {session->fastBuffer.get(), FTP_FAST_BLOCK_SIZE};
    }
    return {session->transferBuffer, FTP_BLOCK_SIZE};
}

// Receives one block from the data connection, waiting up to timeout seconds for it (0: without
// limit). With keep-alive on, the wait is cut into slices so that the control connection gets
// its NOOP on time even while the data connection is quiet.
int32_t RecvBlock(FtpSession* session, const Block& block, int32_t timeout) {
    const FtpConnection& c = session->connection;
    if (c.keepaliveSeconds == 0) {
        return TcpRecv(c.dataSocket, block.data, static_cast<uint32_t>(block.size), timeout, -1);
    }
    const uint32_t start = PlatTickCount();
    for (;;) {
        FtpChannelKeepalive(session);
        int32_t slice = static_cast<int32_t>(c.keepaliveSeconds);
        if (timeout > 0) {
            const int32_t left = FtpSecondsLeft(start, static_cast<uint32_t>(timeout));
            if (left <= 0) {
                return NET_TIMEOUT;
            }
            slice = left < slice ? left : slice;
        }
        const int32_t n =
            TcpRecv(c.dataSocket, block.data, static_cast<uint32_t>(block.size), slice, -1);
        if (n != NET_TIMEOUT) {
            return n;
        }
    }
}

// How long an upload over TLS waits for the server to end its side of the data connection.
constexpr uint32_t TLS_CLOSE_LIMIT_SECONDS = 5;

// Ends a transfer normally: close the data side, then read the server's completion reply.
int32_t FinishTransfer(FtpSession* session, bool upload) {
    FtpConnection& c = session->connection;
    if (upload && c.tlsActive) {
        // The server takes the upload as complete only after our close_notify; a close with
        // its reply still unread would reset the connection under it.
        TcpShutdown(c.dataSocket, static_cast<int32_t>(FtpBoundSeconds(c, TLS_CLOSE_LIMIT_SECONDS)));
    }
    FtpCloseDataChannel(session);
    int32_t result = FtpExecCommand(CMD_TRANSFER_END, nullptr, session->sessionKey);
    // An abort while the completion reply was awaited still ends the operation as aborted; the
    // reply is owed and read before the next command.
    return result != FTP_OK && FtpAbortWanted(session) ? FTP_ABORTED : result;
}

}  // namespace

int32_t FtpSendLoop(FtpSession* session) {
    PlatCancelScope scope(session->cancelTarget);
    const int32_t timeout = static_cast<int32_t>(session->connection.timeoutSeconds);
    const Block block = BlockOf(session);
    for (;;) {
        if (FtpAbortWanted(session)) {
            FtpAbortTransfer(session, ABORT_SEND_BEFORE_BLOCK);
            return FTP_ABORTED;
        }
        int32_t n = PlatFileRead(session->localFile, block.data, static_cast<uint32_t>(block.size));
        // A file that shrank or grew while it was read gives the server a file that never
        // existed locally: a failure like a failed read, not a success.
        const int64_t sent = session->bytesTransferred.load();
        const bool changed = session->sendSize >= 0 && (n == 0 ? sent != session->sendSize
                                                               : sent + n > session->sendSize);
        if (n == 0 && !changed) {
            return FinishTransfer(session, true);
        }
        if (n < 0 || changed) {
            // A failed read is not the end of the file: finishing normally would report a
            // truncated remote file as a success.
            FtpAbortTransfer(session, ABORT_SEND_READ_FAILED);
            return FTP_CANNOT_OPEN_FILE;
        }
        session->bytesTransferred.fetch_add(n);
        // A plain send has no time-out of its own; a server that stops reading would hold the
        // worker for ever. Every wait for room is bounded by the time-out, and cancellable.
        if (TcpSendWithin(session->connection.dataSocket, block.data, static_cast<uint32_t>(n), 0,
                          -1, timeout) != NET_OK) {
            // The server still thinks the transfer runs: the abort makes it say how it ended.
            const bool wanted = FtpAbortWanted(session);
            FtpAbortTransfer(session, wanted ? ABORT_SEND_BEFORE_BLOCK : ABORT_SEND_FAILED);
            return wanted ? FTP_ABORTED : FTP_SEND_FAILED;
        }
        if (!PauseRhythm(session) && FtpAbortWanted(session)) {
            FtpAbortTransfer(session, ABORT_SEND_PAUSE);
            return FTP_ABORTED;
        }
        FtpChannelKeepalive(session);
    }
}

int32_t FtpRecvLoop(FtpSession* session) {
    PlatCancelScope scope(session->cancelTarget);
    const int32_t timeout = static_cast<int32_t>(session->connection.timeoutSeconds);
    const Block block = BlockOf(session);
    for (;;) {
        int32_t n = NET_ERROR;
        if (!FtpAbortWanted(session)) {
            n = RecvBlock(session, block, timeout);
        }
        if (FtpAbortWanted(session)) {
            FtpAbortTransfer(session, ABORT_RECV_REQUESTED);
            return FTP_ABORTED;
        }
        if (n == 0) {
            return FinishTransfer(session, false);
        }
        if (n < 0) {
            FtpAbortTransfer(session, ABORT_RECV_FAILED);
            return FTP_DATA_CONNECTION_FAILED;
        }
        int32_t written = PlatFileWrite(session->localFile, block.data, static_cast<uint32_t>(n));
        if (written < n) {
            FtpAbortTransfer(session, ABORT_RECV_DISK_FULL);
            return FTP_CANNOT_WRITE_FILE;
        }
        session->bytesTransferred.fetch_add(n);
        PauseRhythm(session);
    }
}

int64_t FtpParseSizeText(char* text) {
    if (strncmp(text, "150", 3) != 0 && strncmp(text, "125", 3) != 0) {
        return 0;
    }
    for (char* p = text; *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z') {
            *p = static_cast<char>(*p - 'A' + 'a');
        }
    }
    const char* match = strstr(text, " bytes");
    if (match == nullptr) {
        return 0;
    }
    const char* first = match;
    while (first > text && first[-1] >= '0' && first[-1] <= '9') {
        --first;
    }
    if (first == match) {
        return 0;
    }
    int64_t value = 0;
    for (const char* p = first; p < match; ++p) {
        const int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) {
            return 0;  // a size beyond 63 bits is unknown, never a wrapped or negative one
        }
        value = value * 10 + digit;
    }
    return value;
}

int64_t FtpParseTransferSize(int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    return session ? FtpParseSizeText(session->connection.replyText) : 0;
}
