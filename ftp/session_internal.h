// Engine internals shared by the engine's own files: reference-counted access to sessions and
// small helpers. Not for callers outside ftp/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control_channel.h"
#include "ftp.h"
#include "listing_parser.h"

using FtpSessionRef = std::shared_ptr<FtpSession>;

// The session of key with a reference that keeps its memory alive, or null.
FtpSessionRef FtpAcquireSession(int32_t key);
// The validity probe: true while session is still linked in the session list. An operation
// that has blocked checks this before it touches the session's connection again.
bool FtpSessionIsValid(const FtpSession* session);
// Where an abort was decided; the abort's trace line shows it.
inline constexpr int32_t ABORT_DURING_SET_UP = 5;
inline constexpr int32_t ABORT_SEND_BEFORE_BLOCK = 6;
inline constexpr int32_t ABORT_SEND_PAUSE = 7;
inline constexpr int32_t ABORT_RECV_REQUESTED = 8;
inline constexpr int32_t ABORT_RECV_DISK_FULL = 9;
inline constexpr int32_t ABORT_RECV_FAILED = 10;
inline constexpr int32_t ABORT_SEND_READ_FAILED = 11;
inline constexpr int32_t ABORT_SEND_FAILED = 12;

// TLS. Each returns FTP_OK or the failure (4001 to 4004, 2007, -1, 5003); the caller closes
// the connection on failure.
// Starts TLS on the control connection, after AUTH TLS when askFirst (explicit mode).
int32_t FtpSecureControl(FtpSession* session, bool askFirst);
// PBSZ 0 and PROT P: data connections are protected too. Before the login, a server that
// answers PBSZ with 503 or 530 (log in first) is left for FtpLoginSession to ask again, and the
// result is FTP_OK.
int32_t FtpProtectDataChannel(FtpSession* session, bool beforeLogin);
// The TLS handshake on a data connection, resuming the control connection's session.
int32_t FtpSecureDataConnection(FtpSession* session, int32_t dataSocket);
// Gives session the default of every option.
void FtpApplyDefaultOptions(FtpSession* session);
// Sets the running operation's result message (see FtpResultDetail); "" clears it.
void FtpSetDetail(FtpSession* session, const std::string& text);
// Starts an operation of session: clears what a cancellation of an earlier one left behind.
void FtpOpenOperation(FtpSession* session);
// True when the running operation was cancelled or its session destroyed.
inline bool FtpAbortWanted(const FtpSession* session) {
    return !FtpSessionIsValid(session) || session->abortRequested.load() != 0;
}
// Asks FEAT once per connection and keeps what it offers in the connection. FTP_OK when it was
// answered or refused; what the exchange gave when it failed (no answer, not connected, -1).
int32_t FtpAskFeatures(FtpSession* session);
// True when the FEAT reply of the connection has a line for feature (capitals, e.g.
// "XSHA256"), in any letter case.
bool FtpFeatureOffered(const FtpConnection& connection, const char* feature);
// After a login, with the features option: FEAT, then OPTS UTF8 ON when offered. Refusals are
// not failures; FTP_OK or what an exchange gave when it failed.
int32_t FtpFeaturesAfterLogin(FtpSession* session);
// SIZE of remote in binary type: FTP_OK with *size, or the refusal's result (the type is left
// at binary); the exchange's failure otherwise.
int32_t FtpRemoteSize(FtpSession* session, const char* remote, uint64_t* size);
// MDTM of remote: FTP_OK with the UTC stamp YYYYMMDDHHMMSS in *stamp, or "" when the server
// refused or gave no time; the exchange's failure otherwise.
int32_t FtpRemoteTime(FtpSession* session, const char* remote, std::string* stamp);
// MLST of name: FTP_OK with its facts; the refusal's result (FtpRefusalResult), 3001 for a reply
// without an entry, FTP_BAD_PARAMETERS for a name that cannot be sent, or the exchange's failure.
int32_t FtpAskMlst(FtpSession* session, const char* name, FtpFacts* facts);
// FtpChannelExchange for a command whose reply code the caller reads: a 421 (the server closing
// the connection, which the channel has closed) is FTP_NOT_CONNECTED, as any lost connection.
int32_t FtpExchange(FtpSession* session, const char* line, int32_t* code);
// True for results that leave the connection unusable or the operation cancelled, as opposed
// to a refusal that the next command can live with.
inline bool FtpIsExchangeFailure(int32_t result) {
    return result == FTP_ABORTED || result == FTP_NO_ANSWER || result == FTP_NOT_CONNECTED ||
           result == FTP_SEND_FAILED;
}
// The result of a refusing reply code: 450, 550, 553 as FTP_ACTION_NOT_TAKEN, 500 to 504 as
// FTP_COMMAND_NOT_EXECUTED, anything else as FTP_UNEXPECTED_ANSWER.
int32_t FtpRefusalResult(int32_t code);
// Connects session's control connection to host by name, or to *address when given (the same
// server again; host still names it for TLS), reads the greeting and starts TLS as the options
// say. The results of FtpConnect.
int32_t FtpConnectSession(FtpSession* session, const char* host, const PlatAddress* address);
// USER, PASS when asked for, and what the features option adds after a login. The results of
// FtpLogin after its connect.
int32_t FtpLoginSession(FtpSession* session, const char* user, const char* password);
// FtpCloseDataChannel whose close_notify (TLS) waits at most waitMs for room (< 0: the usual
// wait).
void FtpCloseDataChannelWithin(FtpSession* session, int32_t waitMs);
// Closes the data side and the control connection of session, without QUIT.
void FtpCloseControl(FtpSession* session);
// The smaller of the connection's time-out and limit, in seconds (limit when there is none).
uint32_t FtpBoundSeconds(const FtpConnection& connection, uint32_t limit);
// Whole seconds left of limitSeconds since the tick count start, rounded up; 0 when none.
int32_t FtpSecondsLeft(uint32_t start, uint32_t limitSeconds);
// True when more than one session exists (the transfer loops then pause more often).
bool FtpOtherSessionsExist();

// One engine operation on the calling thread: holds the session and binds the thread's blocking
// calls to the session's cancel target, so that FtpCancel reaches them and no other session's.
// Opens the session's operation when none is open yet (a direct engine call) and ends it again.
class FtpOperation {
public:
    explicit FtpOperation(int32_t key)
        : session_(FtpAcquireSession(key)),
          scope_(session_ ? session_->cancelTarget : PlatBoundCancelTarget()) {
        if (session_ && !session_->operationOpen.load()) {
            FtpOpenOperation(session_.get());
            owner_ = true;
        }
    }
    ~FtpOperation() {
        if (owner_ && session_ != nullptr) {
            session_->operationOpen = false;
        }
    }
    FtpOperation(const FtpOperation&) = delete;
    FtpOperation& operator=(const FtpOperation&) = delete;
    explicit operator bool() const { return session_ != nullptr; }
    FtpSession* operator->() const { return session_.get(); }
    FtpSession* get() const { return session_.get(); }

private:
    FtpSessionRef session_;
    PlatCancelScope scope_;
    bool owner_ = false;
};

// Builds a command line of at most FTP_COMMAND_SIZE - 1 characters from format (with at most one
// "%s") and argument. FTP_BAD_PARAMETERS, with nothing to send, for an argument that holds a line
// break, one that would not fit, or a missing argument where the format wants one.
int32_t FtpBuildCommandLine(char* line, const char* format, const char* argument);

// True when text holds a CR or LF, which would end a command line early and start another.
bool FtpHasLineBreak(const char* text);
// Copies at most capacity - 1 characters of text and a NUL into output (nothing when output is
// null or capacity is not positive).
void FtpCopyText(char* output, int32_t capacity, const char* text);
// The text of the first reply line after its code and separator: from character 4 on, or an
// empty text for a reply shorter than that.
const char* FtpReplyTail(const char* replyText);
// The path of a 257 reply (PWD, MKD): the text of its first line between the quote at character
// 4 and the quote that closes it, a doubled quote standing for one (RFC 959: "a""b" is a"b).
// False, with *path untouched, when the reply has no such pair.
bool FtpQuotedPath(const char* replyText, std::string* path);
