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

struct FtpSession;

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
