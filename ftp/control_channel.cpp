// The control channel: sending commands, reading their replies, and keeping the two in step, so
// that a reply is never taken as the answer to a command it does not belong to.

#include "control_channel.h"

#include <cstring>
#include <mutex>
#include <string>

#include "command_table.h"
#include "code_pages.h"
#include "session_internal.h"

// The channel's own access to its state.
struct FtpChannelAccess {
    static FtpChannelState::State& Of(FtpSession* session) { return session->connection.channel.s_; }
    static const FtpChannelState::State& Of(const FtpSession* session) {
        return session->connection.channel.s_;
    }
    static FtpChannelState::State& Of(FtpChannelState& channel) { return channel.s_; }
};

void FtpChannelState::copyLastReply(char* output, int32_t capacity) {
    std::lock_guard<std::mutex> guard(s_.lastReplyLock);
    FtpCopyText(output, capacity, s_.lastReply);
}

namespace {

auto& Channel(FtpSession* session) { return FtpChannelAccess::Of(session); }
const auto& Channel(const FtpSession* session) { return FtpChannelAccess::Of(session); }

// The longest a NOOP that brings the connection back in step may wait for its reply, stale
// replies before it included. A server that needs longer loses its connection instead.
constexpr int32_t STEP_LIMIT_MS = 10000;
// Stale replies dropped at most before the NOOP's own; more and the connection is closed.
constexpr int32_t STEP_MAX_STALE = 16;

bool IsPreliminary(int32_t code) { return code >= 100 && code <= 199; }

// The longest a send that failed on a TLS connection waits for the server's last words.
constexpr int32_t LAST_WORDS_MS = 200;

bool ReplyOfNoop(int32_t code, bool uncertain) {
    if (code == 200) {
        return true;
    }
    // A server may refuse NOOP (not logged in yet, say). While stale replies of an aborted
    // transfer may come, a 5xx could be one of them (an ABOR the server did not understand).
    return !uncertain && code >= 500 && code <= 599;
}

// The connection's time-out in milliseconds: < 0 without limit.
int32_t TimeoutMs(const FtpConnection& c) {
    constexpr uint32_t MAX_SECONDS = INT32_MAX / 1000;
    if (c.timeoutSeconds == 0) {
        return -1;
    }
    return static_cast<int32_t>((c.timeoutSeconds > MAX_SECONDS ? MAX_SECONDS : c.timeoutSeconds) *
                                1000u);
}

// The smaller of two limits in milliseconds, where < 0 means none.
int32_t Smaller(int32_t a, int32_t b) {
    if (a < 0) {
        return b;
    }
    return b < 0 || a < b ? a : b;
}

// Milliseconds left of limitMs since start: < 0 without limit, 0 when the time is up.
int32_t Left(uint32_t start, int32_t limitMs) {
    if (limitMs < 0) {
        return -1;
    }
    const uint32_t elapsed = PlatTickCount() - start;
    return elapsed >= static_cast<uint32_t>(limitMs) ? 0
                                                     : limitMs - static_cast<int32_t>(elapsed);
}

// Where the secret of a command line begins (the argument of PASS or ACCT), or -1.
int32_t SecretOffset(const char* line) {
    size_t i = strspn(line, " ");
    const char* verb = line + i;
    for (const char* secret : {"PASS ", "ACCT "}) {
        bool same = true;
        for (size_t k = 0; k < 5 && same; ++k) {
            char c = verb[k];
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
            same = c == secret[k];
        }
        if (same) {
            return static_cast<int32_t>(i + 5);
        }
    }
    return -1;
}

// Writes a sent line to the debugger output, its secret as asterisks.
void EchoLine(const char* line, int32_t hideFrom) {
    std::string shown(line, hideFrom < 0 ? strlen(line) : static_cast<size_t>(hideFrom));
    if (hideFrom >= 0) {
        shown += "****";
    }
    shown += "\r\n";
    PlatDebugOutput(shown.c_str());
}

// Sends one line, every wait for room at most waitMs, and echoes it when the session traces.
// Not cancellable: a line cut in half (or a TLS record) would leave the connection useless.
bool SendLine(FtpSession* session, const char* line, int32_t waitMs) {
    PlatCancelScope uncancellable(nullptr);
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    const int32_t hideFrom = SecretOffset(line);
    const int32_t result = TnSendLine(c.controlSocket, line, 0, c.logFile, waitMs, hideFrom);
    if (c.traceEnabled) {
        EchoLine(line, hideFrom);
    }
    ch.lastControlTick = PlatTickCount();
    return result == NET_OK;
}

// Reads one reply, whatever it is, within waitMs, into replyText. The reader's result, and the
// code in *code when it is 1 (a complete reply).
int32_t ReadRaw(FtpSession* session, int32_t waitMs, int32_t* code) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    const int32_t result =
        TnReadReply(c.controlSocket, ch.replyText, FTP_REPLY_SIZE, waitMs, c.logFile);
    if (result == 1) {
        if (c.featureUtf8 && !PlatHostTextIsUtf8()) {
            // Names in replies (PWD, MKD, MLST) reach the host in its own code page.
            const std::string host = PlatUtf8ToHost(ch.replyText);
            FtpCopyText(ch.replyText, FTP_REPLY_SIZE, host.c_str());
        }
        *code = NetAtoi(ch.replyText);
        ch.lastControlTick = PlatTickCount();
        {
            std::lock_guard<std::mutex> guard(ch.lastReplyLock);
            memcpy(ch.lastReply, ch.replyText, sizeof ch.lastReply);
        }
        if (c.traceEnabled) {
            PlatDebugOutput(ch.replyText);
            PlatDebugOutput("\r\n");
        }
    }
    return result;
}

// Whether code answers a probe NOOP: 200, or, from a server that has not answered NOOP with 200
// on this connection, any other final reply (its refusal of NOOP). A 200 teaches the channel that
// this server takes NOOP.
bool AnswersProbe(FtpSession* session, int32_t code) {
    auto& ch = Channel(session);
    if (code == 200) {
        ch.noopAnswered = true;
        return true;
    }
    return !ch.noopAnswered;
}

// After an abort, whether code is one of the replies the transfer and the abort may still owe
// (the transfer's end, ABOR's answer or refusal) rather than the answer to a NOOP, which is 200
// or the server's refusal of NOOP (500, 502, 530, ...). A 500 to 502 is ABOR's refusal only while
// ABOR has had no answer.
bool LeftByAbort(FtpSession* session, int32_t code) {
    auto& ch = Channel(session);
    if (code == 225 || code == 226) {
        ch.aborUnanswered = false;
        return true;
    }
    if (ch.aborUnanswered && code >= 500 && code <= 502) {
        ch.aborUnanswered = false;
        return true;
    }
    return code == 250 || (code >= 400 && code <= 499) || (code >= 550 && code <= 553);
}

// A send failed on a TLS connection: the server may have closed it after a last reply (421 on
// its idle time-out) that has not been read, since the failure came first. It is read, within
// a short bound, so that ftpLastReply shows it. True when the server is known to be gone (the
// reply was 421, or the stream ended).
bool ReadLastWords(FtpSession* session) {
    FtpConnection& c = session->connection;
    if (!c.tlsActive || c.controlSocket == -1) {
        return false;
    }
    PlatCancelScope uncancellable(nullptr);
    const uint32_t start = PlatTickCount();
    for (int32_t i = 0; i < STEP_MAX_STALE; ++i) {
        int32_t code = 0;
        const int32_t result = ReadRaw(session, Left(start, LAST_WORDS_MS), &code);
        if (result != 1) {
            return result == NET_CLOSED || result == NET_TLS_TRUNCATED;
        }
        if (code == 421) {
            return true;
        }
    }
    return false;
}

// A command or probe line could not be sent: the connection is closed. FTP_NOT_CONNECTED when
// the server had gone (a plain connection shows it the same way: its 421 is read before the
// send), else failure.
int32_t SendFailed(FtpSession* session, int32_t failure) {
    const bool gone = ReadLastWords(session);
    FtpChannelClose(session);
    return gone ? FTP_NOT_CONNECTED : failure;
}

// Sends NOOP and reads up to its reply. The replies come in the server's order: first those owed
// for commands whose reads were cut short (any code), then the replies of NOOPs sent before
// (keep-alives, earlier attempts of this one), then this NOOP's. After an abort an unknown number
// of the transfer's replies comes first, none of them an answer to NOOP. Any final reply that is
// not owed otherwise answers the NOOP: 200, or the refusal of a server that does not take NOOP
// (502, 500), which is in step all the same. FTP_OK when in step again; FTP_ABORTED when
// cancelled (what is still owed is kept); otherwise the connection is closed and
// FTP_NOT_CONNECTED.
int32_t BringInStep(FtpSession* session) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    if (c.traceEnabled) {
        FtpTrace("bringing the control connection in step, %d replies and %d NOOPs owed%s",
                 static_cast<int>(ch.repliesOwed), static_cast<int>(ch.noopsOwed + ch.keepalivesOwed),
                 ch.stepUncertain ? ", more uncertain" : "");
    }
    if (ch.keepalivesOwed > 0 && ch.repliesOwed > 0) {
        // Keep-alive replies may have come before or after the transfer's final reply: which
        // reply is the owed one can no longer be told by counting.
        ch.stepUncertain = true;
        ch.repliesOwed = 0;
    }
    const int32_t limit = Smaller(TimeoutMs(c), STEP_LIMIT_MS);
    const uint32_t start = PlatTickCount();
    if (!SendLine(session, "NOOP", limit)) {
        return SendFailed(session, FTP_NOT_CONNECTED);
    }
    ++ch.noopsOwed;
    int32_t dropped = 0;
    while (dropped <= STEP_MAX_STALE + ch.repliesOwed) {
        int32_t code = 0;
        const int32_t result = ReadRaw(session, Left(start, limit), &code);
        if (result == NET_CANCELLED) {
            return FTP_ABORTED;
        }
        if (result != 1 || code == 421) {
            break;
        }
        if (IsPreliminary(code)) {
            continue;  // the start of a transfer whose final reply is among those owed
        }
        if (!ch.stepUncertain && ch.repliesOwed > 0) {
            --ch.repliesOwed;  // a reply to a command whose read was cut short
            continue;
        }
        if (ch.stepUncertain && LeftByAbort(session, code)) {
            ++dropped;
            continue;
        }
        if (!AnswersProbe(session, code)) {
            ++dropped;  // a stray refusal from a server known to answer NOOP with 200
            continue;
        }
        if (ch.keepalivesOwed > 0) {
            // A keep-alive's answer. Keep-alives went out before this NOOP, so theirs come
            // first; they say nothing of what an abort left.
            --ch.keepalivesOwed;
            continue;
        }
        // A NOOP's answer. Everything an abort left came before the first one.
        ch.stepUncertain = false;
        ch.aborUnanswered = false;
        if (--ch.noopsOwed == 0) {
            return FTP_OK;
        }
    }
    FtpChannelClose(session);
    return FTP_NOT_CONNECTED;
}

// Reads the replies of keep-alive NOOPs that came after the transfer's final reply. True when
// all were the NOOPs' own (200, or a refusal); anything else leaves the step uncertain.
bool ReadKeepaliveReplies(FtpSession* session) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    const int32_t limit = TimeoutMs(c);
    const uint32_t start = PlatTickCount();
    while (ch.keepalivesOwed > 0) {
        int32_t code = 0;
        const int32_t result = ReadRaw(session, Left(start, limit), &code);
        if (result != 1 || !ReplyOfNoop(code, false) || !AnswersProbe(session, code)) {
            if (result == 1) {
                --ch.keepalivesOwed;  // read, though not the expected one
            }
            ch.stepUncertain = true;
            return false;
        }
        --ch.keepalivesOwed;
    }
    return true;
}

// Reads and drops replies that came while none was owed, such as the late final reply of a
// transfer that an abort ended (pyftpdlib may send its 226 after the 225 of ABOR and after the
// NOOP that followed): otherwise the next command would take it for its own. A 421 among them
// still ends the session. FTP_OK, or FTP_NOT_CONNECTED with the connection closed.
int32_t DropUnsolicited(FtpSession* session) {
    FtpConnection& c = session->connection;
    for (int32_t dropped = 0; TcpIsDataAvail(c.controlSocket) == 1; ++dropped) {
        int32_t code = 0;
        const int32_t result = dropped < STEP_MAX_STALE
                                   ? ReadRaw(session, Smaller(TimeoutMs(c), STEP_LIMIT_MS), &code)
                                   : NET_ERROR;
        if (result == NET_CANCELLED) {
            return FTP_ABORTED;
        }
        if (result != 1 || code == 421) {
            FtpChannelClose(session);
            return FTP_NOT_CONNECTED;
        }
        if (c.traceEnabled) {
            FtpTrace("dropped a reply that no command was owed");
        }
    }
    return FTP_OK;
}

}  // namespace

void FtpChannelOpened(FtpSession* session) {
    auto& ch = Channel(session);
    ch.repliesOwed = 1;
    ch.noopAnswered = false;
    ch.stepUncertain = false;
    ch.keepalivesOwed = 0;
    ch.noopsOwed = 0;
    session->connection.restartPending = false;
    ch.abortUnconfirmed = false;
    ch.aborUnanswered = false;
    ch.pendingVerb[0] = '\0';
    ch.pendingEntry = -1;
    ch.lastControlTick = PlatTickCount();
}

void FtpChannelKeepalive(FtpSession* session) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    if (c.keepaliveSeconds == 0 || c.controlSocket == -1 ||
        PlatTickCount() - ch.lastControlTick < c.keepaliveSeconds * 1000u) {
        return;
    }
    if (!SendLine(session, "NOOP", TimeoutMs(c))) {
        FtpChannelClose(session);
        return;
    }
    ++ch.keepalivesOwed;
}

namespace {

// Closes the control connection, close_notify waiting at most waitMs for room (< 0: the usual
// wait), and forgets what it owed.
void CloseControl(FtpSession* session, int32_t waitMs) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    int32_t control = c.controlSocket;
    TcpCloseWithin(&control, waitMs);
    c.controlSocket = control;
    ch.repliesOwed = 0;
    ch.stepUncertain = false;
    ch.keepalivesOwed = 0;
    ch.noopsOwed = 0;
    ch.abortUnconfirmed = false;
    ch.aborUnanswered = false;
    c.tlsActive = false;
}

}  // namespace

void FtpChannelClose(FtpSession* session) { CloseControl(session, -1); }

void FtpChannelDrop(FtpSession* session) { CloseControl(session, 0); }

bool FtpChannelInStep(const FtpSession* session) {
    const auto& ch = Channel(session);
    return ch.repliesOwed == 0 && !ch.stepUncertain && ch.keepalivesOwed == 0 && ch.noopsOwed == 0;
}

namespace {

// Notes the verb of line in capitals, "" when it does not fit (no known verb is that long).
void NotePendingVerb(FtpSession* session, const char* line) {
    auto& ch = Channel(session);
    const char* verb = line + strspn(line, " ");
    size_t n = strcspn(verb, " ");
    if (n >= sizeof ch.pendingVerb) {
        n = 0;
    }
    for (size_t i = 0; i < n; ++i) {
        const char letter = verb[i];
        ch.pendingVerb[i] =
            letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
    }
    ch.pendingVerb[n] = '\0';
}

}  // namespace

int32_t FtpChannelSend(FtpSession* session, const char* line) {
    return FtpChannelSendFor(session, line, -1);
}

int32_t FtpChannelSendFor(FtpSession* session, const char* line, int32_t entry) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    if (c.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    if (FtpAbortWanted(session)) {
        return FTP_ABORTED;  // cancelled before it went out: it never goes
    }
    if (ch.keepalivesOwed > 0 && ch.repliesOwed == 0 && ch.noopsOwed == 0 && !ch.stepUncertain) {
        ReadKeepaliveReplies(session);
    }
    const int32_t step = FtpChannelInStep(session) ? DropUnsolicited(session) : BringInStep(session);
    if (step != FTP_OK) {
        return step;
    }
    // A server that speaks UTF-8 gets the host's names in UTF-8.
    const std::string wire =
        c.featureUtf8 && !PlatHostTextIsUtf8() ? PlatHostToUtf8(line) : std::string(line);
    if (!SendLine(session, wire.c_str(), TimeoutMs(c))) {
        return SendFailed(session, FTP_SEND_FAILED);
    }
    ++ch.repliesOwed;
    NotePendingVerb(session, line);
    ch.pendingEntry = entry;
    ch.pendingResynced = false;
    return FTP_OK;
}

int32_t FtpChannelReply(FtpSession* session, int32_t flags, int32_t* code) {
    return FtpChannelReplyWithin(session, flags, code, -1);
}

namespace {

// A reply that cannot answer the command waiting for it came: the channel is out of step, as
// after a time-out. The reply is dropped and a NOOP probe goes out; the server answers the
// command first and the probe after it, so the next final reply is the command's own. Nothing
// is sent again. FTP_OK, or FTP_NOT_CONNECTED with the connection closed.
int32_t Resync(FtpSession* session, int32_t waitMs) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    if (c.traceEnabled) {
        FtpTrace("dropped a reply that %s cannot be given; bringing the control connection in step",
                 ch.pendingVerb);
    }
    ch.pendingResynced = true;
    if (!SendLine(session, "NOOP", waitMs)) {
        return SendFailed(session, FTP_NOT_CONNECTED);
    }
    ++ch.noopsOwed;
    return FTP_OK;
}

// Reads the answer of the probe that Resync sent, after the command's own reply: any final reply
// (200, or a refusal of NOOP). The command's reply stays in replyText and in ftpLastReply. An
// answer that does not come in time stays owed, for the NOOP before the next command.
void ReadProbeAnswer(FtpSession* session, int32_t waitMs) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    const uint32_t start = PlatTickCount();
    const int32_t limit = Smaller(waitMs, STEP_LIMIT_MS);
    char answer[FTP_REPLY_SIZE];
    while (ch.noopsOwed > 0) {
        const int32_t result =
            TnReadReply(c.controlSocket, answer, FTP_REPLY_SIZE, Left(start, limit), c.logFile);
        if (result != 1) {
            if (result != NET_TIMEOUT && result != NET_CANCELLED) {
                FtpChannelClose(session);  // closed or reset: nothing more will come
            }
            return;
        }
        ch.lastControlTick = PlatTickCount();
        if (c.traceEnabled) {
            PlatDebugOutput(answer);
            PlatDebugOutput("\r\n");
        }
        const int32_t code = NetAtoi(answer);
        if (code == 421) {
            FtpChannelClose(session);
            return;
        }
        if (!IsPreliminary(code) && AnswersProbe(session, code)) {
            --ch.noopsOwed;
        }
    }
}

}  // namespace

int32_t FtpChannelReplyWithin(FtpSession* session, int32_t flags, int32_t* code, int32_t limitMs) {
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    if (c.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    const int32_t limit = Smaller(TimeoutMs(c), limitMs);
    const uint32_t start = PlatTickCount();
    for (;;) {
        int32_t reply = 0;
        const int32_t result = ReadRaw(session, Left(start, limit), &reply);
        if (result == 1) {
            if (reply == 200 && (ch.keepalivesOwed > 0 || strcmp(ch.pendingVerb, "NOOP") == 0)) {
                ch.noopAnswered = true;
            }
            if (reply == 200 && ch.keepalivesOwed > 0) {
                --ch.keepalivesOwed;  // a keep-alive NOOP answered before the final reply
                continue;
            }
            if (IsPreliminary(reply)) {
                if ((flags & FTP_REPLY_PRELIMINARY) != 0) {
                    *code = reply;
                    return FTP_OK;
                }
                continue;
            }
            if (ch.repliesOwed > 0 && !ch.pendingResynced &&
                FtpReplyCannotAnswer(ch.pendingEntry, ch.pendingVerb, reply, ch.abortUnconfirmed)) {
                const int32_t resynced = Resync(session, Left(start, limit));
                if (resynced != FTP_OK) {
                    return resynced;
                }
                continue;
            }
            if (ch.repliesOwed > 0) {
                --ch.repliesOwed;
            }
            ch.abortUnconfirmed = false;
            *code = reply;
            if (reply == 421) {
                // The server is closing the connection: nothing more may be sent on it.
                FtpChannelClose(session);
            } else if (ch.pendingResynced && ch.noopsOwed > 0) {
                ReadProbeAnswer(session, Left(start, limit));
            }
            return FTP_OK;
        }
        if (result == NET_CANCELLED) {
            return FTP_ABORTED;  // the reply is still owed, and read before the next command
        }
        FtpChannelClose(session);
        return result == NET_TIMEOUT || result == NET_REPLY_OVERFLOW ? FTP_NO_ANSWER
                                                                     : FTP_NOT_CONNECTED;
    }
}

int32_t FtpChannelExchange(FtpSession* session, const char* line, int32_t* code) {
    const int32_t sent = FtpChannelSend(session, line);
    return sent != FTP_OK ? sent : FtpChannelReply(session, FTP_REPLY_FINAL, code);
}

int32_t FtpChannelQuit(FtpSession* session, int32_t limitMs) {
    FtpConnection& c = session->connection;
    if (c.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    const int32_t limit = Smaller(TimeoutMs(c), limitMs);
    const uint32_t start = PlatTickCount();
    // No NOOP first: the session ends anyway, so what is owed is read and dropped up to the 221.
    const bool inStep = FtpChannelInStep(session);
    if (!SendLine(session, "QUIT", limit)) {
        return FTP_SEND_FAILED;
    }
    for (;;) {
        int32_t code = 0;
        const int32_t result = ReadRaw(session, Left(start, limit), &code);
        if (result == NET_CLOSED || (result == 1 && code == 221)) {
            return FTP_OK;
        }
        if (result == NET_CANCELLED) {
            return FTP_ABORTED;
        }
        if (result != 1) {
            // No goodbye in time: its late reply must not answer anything, so the connection
            // goes now.
            FtpChannelClose(session);
            return FTP_NO_ANSWER;
        }
        if (inStep && !IsPreliminary(code)) {
            // The answer to QUIT itself: 200 and 220 are taken as goodbye too.
            return code == 200 || code == 220 ? FTP_OK : FTP_UNEXPECTED_ANSWER;
        }
    }
}

bool FtpChannelSendAbort(FtpSession* session, int32_t limitMs, uint32_t startTick) {
    PlatCancelScope uncancellable(nullptr);
    FtpConnection& c = session->connection;
    auto& ch = Channel(session);
    // The replies still owed for the transfer command are read with those of the abort.
    ch.repliesOwed = 0;
    ch.abortUnconfirmed = true;
    ch.aborUnanswered = true;
    // Urgent data cannot travel inside TLS: there ABOR goes alone, as a command.
    const bool sent =
        (c.tlsActive || TnSendInterrupt(c.controlSocket, c.logFile, Left(startTick, limitMs)) ==
                            NET_OK) &&
        SendLine(session, "ABOR", Left(startTick, limitMs));
    if (!sent) {
        ch.stepUncertain = true;
    }
    return sent;
}

void FtpChannelAbortReplies(FtpSession* session, bool sent, int32_t limitMs, uint32_t startTick) {
    // A second ftpAbort, or forget's cancellation, must not cut the abort's own exchange short
    // and leave its replies to the next command. It is bounded instead.
    PlatCancelScope uncancellable(nullptr);
    auto& ch = Channel(session);
    if (!sent) {
        // Closed, reset, or no room for a short line: the server is gone or takes nothing, and
        // part of the line may have left. Waiting for replies, or a NOOP before the next
        // command, would only spend the time-out again.
        FtpChannelDrop(session);
        return;
    }
    constexpr int MAX_ABOR_SENDS = 5;  // a server that answers every ABOR with 500
    bool complete = false;
    bool transferReplySeen = false;
    int sends = 1;
    while (!complete) {
        int32_t code = 0;
        const int32_t read = ReadRaw(session, Left(startTick, limitMs), &code);
        if (read != 1) {
            if (read != NET_TIMEOUT) {
                FtpChannelDrop(session);  // closed or reset: nothing more will come
                return;
            }
            break;
        }
        if (code == 200 && ch.keepalivesOwed > 0) {
            ch.noopAnswered = true;
            --ch.keepalivesOwed;
        } else if (code == 225) {
            complete = true;
            ch.aborUnanswered = false;
        } else if (code == 226) {
            ch.aborUnanswered = false;
            // After the transfer's failure reply this answers ABOR. Alone it may answer ABOR
            // (the transfer had ended) or be the transfer's end with the answer still to come.
            complete = transferReplySeen;
            if (!complete) {
                break;
            }
        } else if (code == 500 || code == 501 || code == 502) {
            // The server did not take the line as ABOR (the Telnet bytes may have confused it):
            // once more as a plain line.
            if (sends >= MAX_ABOR_SENDS || !SendLine(session, "ABOR", Left(startTick, limitMs))) {
                break;
            }
            ++sends;
        } else if (code == 421) {
            FtpChannelClose(session);
            return;
        } else if (!IsPreliminary(code)) {
            transferReplySeen = true;  // 426, 451 or another failure of the transfer itself
        }
    }
    ch.repliesOwed = 0;
    // A 225 that came before any reply of the transfer leaves it open whether the transfer's
    // own (a 426) is still on its way: pyftpdlib sends it after the 225 at times. The NOOP
    // before the next command finds out.
    ch.stepUncertain = !complete || !transferReplySeen;
}

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
