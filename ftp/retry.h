// Trying a transfer, a listing or a login's connect again after the connection was lost: which
// failures are worth another try, the growing wait before it, and the way back to where the
// session was (a new connection made as the first one was, the same login, the same directory).
// Only sessions whose "retries" option is above 0 try anything again.
#pragma once

#include <cstdint>
#include <functional>

struct FtpSession;

// True when result, the failure of an attempt, may be cured by trying again: the connection lost,
// reset or silent past the time-out, a transfer that ended short, a connect refused or timed out,
// or a reply of 421, 425, 426, 450 or 451. Never after an abort, a local file's failure, a refused
// login or another permanent (5xx) reply.
bool FtpRetryable(const FtpSession* session, int32_t result);

// What an attempt tells the loop besides its result.
struct FtpAttempt {
    int32_t number = 1;  // 1 for the first
    bool stop = false;   // set by the attempt: no other attempt can do better
};

// Runs attempt, and again after each retryable failure while the session's retries last: waits
// the delay (doubling from retryDelay, at most a minute; cancellable), makes the connection again
// when the old one is gone or out of step, logs in again and returns to the directory. The
// result message then counts the attempts, or, when attemptsMade is given, the caller says them
// with FtpNoteAttempts after what it does next. On the calling operation's thread.
int32_t FtpRunWithRetries(FtpSession* session, const std::function<int32_t(FtpAttempt&)>& attempt,
                          int32_t* attemptsMade = nullptr);

// Adds "(N attempts)" to the result message (the catalogue's when there is none) when more than
// one attempt was made.
void FtpNoteAttempts(FtpSession* session, int32_t result, int32_t attempts);

// ftpLogin's connect: FtpConnectSession by host name, tried again after a refused or timed-out
// connect or a server that was not ready (421), while the retries last.
int32_t FtpConnectWithRetries(FtpSession* session, const char* host);
