// The two transfer loops and the expected size of a download.

#include <cctype>
#include <cstring>
#include <string>

#include "command_table.h"
#include "data_connection.h"
#include "session_internal.h"
#include "zero_copy.h"

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

// Runs wait(seconds) for up to timeout seconds (0: without limit); wait returns timedOut when its
// time runs out. With keep-alive on, the wait is cut into slices so that the control connection
// gets its NOOP on time even while the data connection is quiet.
template <typename Wait>
int32_t WaitWithKeepalive(FtpSession* session, int32_t timeout, int32_t timedOut, Wait wait) {
    const FtpConnection& c = session->connection;
    if (c.keepaliveSeconds == 0) {
        return wait(timeout);
    }
    const uint32_t start = PlatTickCount();
    for (;;) {
        FtpChannelKeepalive(session);
        int32_t slice = static_cast<int32_t>(c.keepaliveSeconds);
        if (timeout > 0) {
            const int32_t left = FtpSecondsLeft(start, static_cast<uint32_t>(timeout));
            if (left <= 0) {
                return timedOut;
            }
            slice = left < slice ? left : slice;
        }
        const int32_t n = wait(slice);
        if (n != timedOut) {
            return n;
        }
    }
}

// Receives one block from the data connection, waiting up to timeout seconds for it (0: without
// limit), in slices when keep-alive is on.
int32_t RecvBlock(FtpSession* session, const Block& block, int32_t timeout) {
    return WaitWithKeepalive(session, timeout, NET_TIMEOUT, [&](int32_t seconds) {
        return TcpRecv(session->connection.dataSocket, block.data,
                       static_cast<uint32_t>(block.size), seconds, -1);
    });
}

// How long an upload over TLS waits for the server to end its side of the data connection.
constexpr uint32_t TLS_CLOSE_LIMIT_SECONDS = 5;

// Ends a transfer normally: close the data side, then read the server's completion reply.
int32_t FinishTransfer(FtpSession* session, bool upload) {
    FtpConnection& c = session->connection;
    int32_t replyLimitMs = -1;  // the time-out
    if (upload && c.tlsActive) {
        // The server takes the upload as complete only after our close_notify; a close with
        // its reply still unread would reset the connection under it.
        const uint32_t start = PlatTickCount();
        const uint32_t limit = FtpBoundSeconds(c, TLS_CLOSE_LIMIT_SECONDS);
        if (TcpShutdown(c.dataSocket, static_cast<int32_t>(limit)) != NET_OK && limit != 0) {
            // The server did not end its side: it has not moved since the last block, and its
            // reply gets what is left of the time-out, not a time-out of its own.
            const uint32_t spent = PlatTickCount() - start;
            const uint32_t timeoutMs = c.timeoutSeconds * 1000u;
            replyLimitMs = c.timeoutSeconds == 0 ? -1
                           : spent >= timeoutMs ? 0
                                                : static_cast<int32_t>(timeoutMs - spent);
        }
    }
    FtpCloseDataChannel(session);
    if (!FtpSessionIsValid(session)) {
        return FTP_NOT_INITIALIZED;
    }
    int32_t code = 0;
    int32_t result = FtpChannelReplyWithin(session, FTP_REPLY_FINAL, &code, replyLimitMs);
    if (result == FTP_OK) {
        result = FtpMapReply(CMD_TRANSFER_END, code);
        if (result == FTP_UNEXPECTED_ANSWER && code >= 400) {
            // A server that gives up after its 150 (proftpd: 150, then 450 for a missing path)
            // means what the same refusal without the 150 would mean.
            result = FtpTransferRefusalResult(code);
        }
    }
    // An abort while the completion reply was awaited still ends the operation as aborted; the
    // reply is owed and read before the next command.
    return result != FTP_OK && FtpAbortWanted(session) ? FTP_ABORTED : result;
}

// How often a download looks at the control connection.
constexpr uint32_t CONTROL_WATCH_MS = 200;

// True when the server closed or reset the control connection during a download: the server is
// gone, and the data it sent before may still take seconds to drain at a paced rate before the
// data connection's end would show it. Looks once per CONTROL_WATCH_MS; *lastLook is its tick.
// The transfer then cannot be confirmed: the caller ends it with FTP_NOT_CONNECTED.
bool ServerGone(FtpSession* session, uint32_t* lastLook) {
    const uint32_t now = PlatTickCount();
    if (now - *lastLook < CONTROL_WATCH_MS) {
        return false;
    }
    *lastLook = now;
    return TcpPeerGone(session->connection.controlSocket) == 1;
}

// Ends a download whose server is gone: both connections closed at once.
int32_t EndWithServerGone(FtpSession* session) {
    if (session->connection.traceEnabled) {
        FtpTrace("the server closed the control connection during the transfer");
    }
    FtpCloseDataChannelWithin(session, 0);
    FtpChannelDrop(session);
    return FTP_NOT_CONNECTED;
}

// At full speed over a plain data connection a download goes from socket to file inside the
// system, where it can do that, instead of through the block buffer. Paced transfers (which
// count blocks and pause), TLS (whose bytes must pass through its stream) and traced runs (whose
// trace shows every receive) keep the block loop, and so does a file or system that cannot do
// it. Uploads keep theirs (see zero_copy.h).
constexpr int32_t USE_BLOCK_LOOP = INT32_MIN;
// The most one call moves: aborts and progress are looked at between calls.
constexpr uint32_t DIRECT_CHUNK_BYTES = 1u << 20;

bool DirectCopyFits(const FtpSession* session) {
    return !session->throttle && !session->connection.tlsActive && traceMask.load() == 0;
}

class DirectCopy {
public:
    DirectCopy() : copy_(PlatFileCopyOpen()) {}
    ~DirectCopy() { PlatFileCopyClose(copy_); }
    DirectCopy(const DirectCopy&) = delete;
    DirectCopy& operator=(const DirectCopy&) = delete;
    PlatFileCopy* get() const { return copy_; }

private:
    PlatFileCopy* copy_;
};

// Milliseconds of a time-out in seconds (0: without limit, which is -1 here).
int32_t WaitMilliseconds(int32_t seconds) { return seconds > 0 ? seconds * 1000 : -1; }

// One receive into the file, waiting up to timeout seconds (0: without limit), in slices when
// keep-alive is on.
int32_t DirectRecvChunk(FtpSession* session, PlatFileCopy* copy, int32_t timeout) {
    return WaitWithKeepalive(session, timeout, PLAT_COPY_TIMEOUT, [&](int32_t seconds) {
        return PlatFileCopyRecv(copy, session->connection.dataSocket, session->localFile,
                                DIRECT_CHUNK_BYTES, WaitMilliseconds(seconds));
    });
}

// The download loop without the block buffer; USE_BLOCK_LOOP when the block loop has to take
// over (from the file's position, with the counters as they stand).
int32_t DirectRecvLoop(FtpSession* session) {
    if (!DirectCopyFits(session)) {
        return USE_BLOCK_LOOP;
    }
    DirectCopy copy;
    if (copy.get() == nullptr) {
        return USE_BLOCK_LOOP;
    }
    const int32_t timeout = static_cast<int32_t>(session->connection.timeoutSeconds);
    uint32_t lastLook = PlatTickCount();
    for (;;) {
        int32_t n = PLAT_COPY_SOCKET_FAILED;
        if (!FtpAbortWanted(session)) {
            n = DirectRecvChunk(session, copy.get(), timeout);
        }
        if (FtpAbortWanted(session)) {
            FtpAbortTransfer(session, ABORT_RECV_REQUESTED);
            return FTP_ABORTED;
        }
        if (n == PLAT_COPY_UNSUPPORTED) {
            return USE_BLOCK_LOOP;
        }
        if (n == 0) {
            return FinishTransfer(session, false);
        }
        if (n == PLAT_COPY_FILE_FAILED) {
            FtpAbortTransfer(session, ABORT_RECV_DISK_FULL);
            return FTP_CANNOT_WRITE_FILE;
        }
        if (n < 0) {
            FtpAbortTransfer(session, ABORT_RECV_FAILED);
            return FTP_DATA_CONNECTION_FAILED;
        }
        session->bytesTransferred.fetch_add(n);
        if (ServerGone(session, &lastLook)) {
            return EndWithServerGone(session);
        }
        PauseRhythm(session);  // counts the block; nothing pauses at full speed
    }
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
    if (const int32_t direct = DirectRecvLoop(session); direct != USE_BLOCK_LOOP) {
        return direct;
    }
    const int32_t timeout = static_cast<int32_t>(session->connection.timeoutSeconds);
    const Block block = BlockOf(session);
    uint32_t lastLook = PlatTickCount();
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
        if (ServerGone(session, &lastLook)) {
            return EndWithServerGone(session);
        }
        PauseRhythm(session);
    }
}

int64_t FtpParseSizeText(const char* reply) {
    if (strncmp(reply, "150", 3) != 0 && strncmp(reply, "125", 3) != 0) {
        return 0;
    }
    std::string lowered = reply;
    for (char& ch : lowered) {
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
    }
    const char* text = lowered.c_str();
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
    return session ? FtpParseSizeText(session->connection.channel.replyText()) : 0;
}
