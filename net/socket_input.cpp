// What waits on a socket without being read yet: whether data (TLS: decrypted data) or urgent
// data has arrived, whether the peer has gone, and discarding what has already arrived.

#include "net.h"
#include "socket_registry.h"
#include "socket_steps.h"
#include "tls_stream.h"

namespace {

constexpr int32_t FLUSH_CHUNK_SIZE = 64;
// TCP keeps one urgent byte at a time, so a few reads take whatever was waiting when the flush
// began; the bound keeps a peer that sends urgent data without pause from holding it.
constexpr int MAX_URGENT_READS = 16;

}  // namespace

int32_t TcpFlush(int32_t s) {
    NetTrace(TRACE_ENTER, "TcpFlush on socket %d", s);
    if (s == -1) {
        return NET_ERROR;
    }
    int32_t lastResult = -1;
    char chunk[FLUSH_CHUNK_SIZE];

    // Only what was waiting when the flush began is discarded: a peer that keeps sending must
    // not keep the caller here for ever.
    uint32_t budget = 0;
    if (PlatBytesWaiting(s, &budget) != 0) {
        budget = 0;
    }
    if (PlatTls* tls = NetTlsOf(s)) {
        // Decrypted bytes held by TLS count too; the raw bytes waiting decrypt to no more than
        // their own number, so the budget still ends the loop.
        budget += static_cast<uint32_t>(PlatTlsPending(tls));
        while (budget > 0) {
            const int32_t want =
                budget < FLUSH_CHUNK_SIZE ? static_cast<int32_t>(budget) : FLUSH_CHUNK_SIZE;
            const int32_t got = PlatTlsRecv(tls, chunk, want, 0, 0);
            if (got <= 0) {
                // Nothing more without waiting is not a failure of the flush.
                if (got != PLAT_TLS_TIMEOUT) {
                    lastResult = NetTlsResult(got);
                }
                break;
            }
            lastResult = got;
            NetDump(chunk, got, "Flushed");
            budget -= static_cast<uint32_t>(got);
        }
        budget = 0;
    }
    while (budget > 0 && TcpIsDataAvail(s) == 1) {
        const int32_t want =
            budget < FLUSH_CHUNK_SIZE ? static_cast<int32_t>(budget) : FLUSH_CHUNK_SIZE;
        lastResult = PlatRecv(s, chunk, want, 0);
        if (lastResult <= 0) {
            break;
        }
        NetDump(chunk, lastResult, "Flushed");
        budget -= static_cast<uint32_t>(lastResult);
    }

    for (int round = 0; round < MAX_URGENT_READS && TcpIsOOBDataAvail(s) == 1; ++round) {
        lastResult = PlatRecv(s, chunk, FLUSH_CHUNK_SIZE, PLAT_MSG_OOB);
        if (lastResult <= 0) {
            break;
        }
        NetDump(chunk, lastResult, "Flushed");
    }

    NetTrace(TRACE_EXIT, "TcpFlush");
    if (lastResult > 0) {
        return 1;
    }
    if (lastResult < -1) {
        return lastResult;  // a TLS receive's own result
    }
    return lastResult == 0 ? NET_CLOSED : NetFailureCode();
}

int32_t TcpIsDataAvail(int32_t s) {
    NetTrace(TRACE_ENTER, "TcpIsDataAvail on socket %d", s);
    NetTrace(TRACE_CALL, "Ioctl FIONREAD on socket %d", s);
    uint32_t count = 0;
    bool waiting = PlatBytesWaiting(s, &count) == 0 && count > 0;
    if (PlatTls* tls = NetTlsOf(s)) {
        // What counts is decrypted data: bytes held by TLS, or waiting bytes that make at least
        // one byte of data (they may be only a protocol message, or part of a record).
        waiting = PlatTlsPending(tls) > 0 || (waiting && PlatTlsRecv(tls, nullptr, 0, 0, 0) == 1);
    }
    NetTrace(TRACE_EXIT, "TcpIsDataAvail");
    return waiting ? 1 : 0;
}

int32_t TcpIsOOBDataAvail(int32_t s) {
    NetTrace(TRACE_ENTER, "TcpIsOOBDataAvail on socket %d", s);
    bool noUrgentData = true;
    const bool waiting = PlatAtMark(s, &noUrgentData) == 0 && !noUrgentData;
    NetTrace(TRACE_EXIT, "TcpIsOOBDataAvail");
    return waiting ? 1 : 0;
}

int32_t TcpPeerGone(int32_t s) {
    // Readable without data means the end of the stream or an error; only then is the peek
    // needed, so a standing connection costs one poll.
    if (s == -1 || PlatWaitReadable(s, 0) != 1) {
        return 0;
    }
    char byte = 0;
    const int32_t peeked = NetPeek(s, &byte, 1);
    return peeked == NET_CLOSED || peeked == NET_TLS_TRUNCATED || peeked == NET_ERROR ? 1 : 0;
}
