// The control channel of a session: the one owner of "a command is answered by its reply".
// Every command goes out through it and every reply is read through it. Sending a command
// records that its final reply is owed; reading reads up to that final reply, handing a
// preliminary (1xx) reply to a caller that waits for one (the 150 of a transfer) and absorbing
// it otherwise. Replies owed for reads that ended early (a cancellation), and the unknown number
// of replies an abort may leave, are dealt with before the next command goes out: NOOP, and
// everything before its answer (200, or a refusal of NOOP) is dropped. A reply that cannot be
// the waiting command's is dealt with the same way while its command waits. A 421 reply, a server that closed or reset the
// connection, a reply that never ends (1 MB) and a reply that never came (the time-out) close
// the connection: later commands get FTP_NOT_CONNECTED and nothing more is sent.
//
// All of it runs on the thread of the session's operation.
#pragma once

#include <cstdint>
#include <mutex>

struct FtpSession;

inline constexpr int32_t FTP_REPLY_SIZE = 2048;

// What the channel keeps of a connection's conversation. It lives in the session's connection,
// and only the channel's functions below change it; the rest of the engine reads the reply
// through replyText() and ftpLastReply through copyLastReply().
class FtpChannelState {
public:
    // The reply the channel read last (the waiting command's, after FtpChannelReply), as it
    // came, CR LF between its lines; valid until the next read.
    const char* replyText() const { return s_.replyText; }
    // Copies the last complete reply, for ftpLastReply; any thread may ask.
    void copyLastReply(char* output, int32_t capacity);

private:
    friend struct FtpChannelAccess;  // the channel's functions, in control_channel.cpp
    struct State {
        // Final replies the server owes for the commands sent (the greeting after a connect).
        // One still owed when the next command goes out was cut short (a cancellation): it is
        // read and dropped first.
        int32_t repliesOwed = 0;
        // Replies of an aborted transfer may still come, in a number nobody knows; none of
        // them is a 200, so the next command first sends NOOP and drops what comes before its
        // 200.
        bool stepUncertain = false;
        // Keep-alive NOOPs sent during a transfer whose replies have not been read. They may
        // come before or after the transfer's final reply, and always before the reply of any
        // NOOP sent after them.
        int32_t keepalivesOwed = 0;
        // NOOPs sent to bring the connection back in step whose replies have not been read
        // (their read was cancelled): the next attempt waits for all of them.
        int32_t noopsOwed = 0;
        // The server has answered a NOOP with 200 on this connection: from then on only a 200
        // answers a probe, and a 500 to 502 that comes instead is a stray reply (of the Telnet
        // bytes before an ABOR, say), not the probe's refusal.
        bool noopAnswered = false;
        // An abort went out and no command has taken a reply since: a reply that a transfer or
        // its abort leaves (226, 426, ...) and that the waiting command could not have been
        // given is taken for a late one of theirs.
        bool abortUnconfirmed = false;
        // ABOR went out and neither 225 nor 226 has come since: a 500 to 502 that comes before
        // the NOOP's reply may still be ABOR's refusal rather than NOOP's.
        bool aborUnanswered = false;
        // The command whose final reply is awaited: its verb in capitals ("" when unknown or
        // too long), its command table entry (-1: none), and whether its read has re-synced
        // already (at most once per command). They decide which replies cannot be its answer.
        char pendingVerb[8] = {};
        int32_t pendingEntry = -1;
        bool pendingResynced = false;
        uint32_t lastControlTick = 0;  // when a line last went out or a reply came in
        char replyText[FTP_REPLY_SIZE] = {};
        // The last complete reply, for ftpLastReply; read from the script thread, hence the
        // lock.
        std::mutex lastReplyLock;
        char lastReply[FTP_REPLY_SIZE] = {};
    };
    State s_;
};

// How FtpChannelReply treats preliminary replies.
inline constexpr int32_t FTP_REPLY_FINAL = 0;        // read past them to the final reply
inline constexpr int32_t FTP_REPLY_PRELIMINARY = 1;  // return a 1xx; its final reply stays owed

// Sends line (CR LF appended), first bringing the channel in step when replies are owed or
// uncertain. From now on the command's final reply is owed. FTP_OK; FTP_ABORTED, with nothing
// sent, when the operation was cancelled; FTP_NOT_CONNECTED when there is no connection or it
// could not be brought in step (then closed); FTP_SEND_FAILED when the line could not go out
// within the time-out (the connection is closed).
int32_t FtpChannelSend(FtpSession* session, const char* line);
// FtpChannelSend for a command of the command table: entry's list of replies tells the reply
// reader which replies cannot be the command's (see FtpReplyCannotAnswer).
int32_t FtpChannelSendFor(FtpSession* session, const char* line, int32_t entry);

// Reads replies up to the final reply of the command sent last (or to the greeting after a
// connect), within the connection's time-out in all. A final reply that cannot be the command's
// (FtpReplyCannotAnswer) proves the channel out of step: it is dropped, a NOOP goes out, and
// the next final reply is taken as the command's, the NOOP's answer read after it; at most once
// per command. FTP_OK with the reply's code in *code and
// its text in connection.replyText; FTP_ABORTED when cancelled (the reply stays owed);
// FTP_NO_ANSWER when no reply came in time or it never ended, FTP_NOT_CONNECTED when the server
// closed or reset the connection (both close it).
int32_t FtpChannelReply(FtpSession* session, int32_t flags, int32_t* code);

// FtpChannelReply within at most limitMs (< 0: the time-out; never longer than it), for reads
// that share a deadline with what went before them.
int32_t FtpChannelReplyWithin(FtpSession* session, int32_t flags, int32_t* code, int32_t limitMs);

// FtpChannelSend, then FtpChannelReply for its final reply.
int32_t FtpChannelExchange(FtpSession* session, const char* line, int32_t* code);

// During a transfer: sends a keep-alive NOOP when keepaliveSeconds have passed without control
// traffic; its reply is read whenever it comes (before or after the transfer's final reply).
void FtpChannelKeepalive(FtpSession* session);

// A new control connection: its greeting is owed.
void FtpChannelOpened(FtpSession* session);
// Closes the control connection (TLS included) and forgets what it owed. The data side is left.
void FtpChannelClose(FtpSession* session);
// FtpChannelClose for a connection whose server is gone (closed, reset, or taking nothing):
// close_notify goes out only if there is room now, so that the close costs no wait.
void FtpChannelDrop(FtpSession* session);
// True when nothing is owed and nothing uncertain.
bool FtpChannelInStep(const FtpSession* session);

// Ends the session with QUIT, waiting at most limitMs for its 221 (among replies still owed,
// if any). FTP_OK when the server said goodbye or closed; FTP_UNEXPECTED_ANSWER when it
// refused, the connection still open; FTP_NO_ANSWER (the connection closed) when no goodbye
// came in time.
int32_t FtpChannelQuit(FtpSession* session, int32_t limitMs);

// The abort of a transfer. FtpChannelSendAbort tells the server to stop: the Telnet interrupt
// with its urgent Synch (plain connections only), then ABOR, each send bounded by the abort's
// limit. FtpChannelAbortReplies reads the replies that end the transfer and answer ABOR until
// limitMs have passed since startTick; what has not come by then leaves the step uncertain.
// Neither is cancellable.
bool FtpChannelSendAbort(FtpSession* session, int32_t limitMs, uint32_t startTick);
void FtpChannelAbortReplies(FtpSession* session, bool sent, int32_t limitMs, uint32_t startTick);
