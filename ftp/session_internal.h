// Engine internals shared by the engine's own files: reference-counted access to sessions and
// small helpers. Not for callers outside ftp/.
#pragma once

#include <cstdint>
#include <memory>

#include "ftp.h"

using FtpSessionRef = std::shared_ptr<FtpSession>;

// The session of key with a reference that keeps its memory alive, or null.
FtpSessionRef FtpAcquireSession(int32_t key);
// The validity probe: true while session is still linked in the session list. An operation
// that has blocked checks this before it touches the session's connection again.
bool FtpSessionIsValid(const FtpSession* session);
// True when more than one session exists (the transfer loops then pause more often).
bool FtpOtherSessionsExist();

// One engine operation on the calling thread: holds the session and binds the thread's blocking
// calls to the session's cancel target, so that FtpCancel reaches them and no other session's.
class FtpOperation {
public:
    explicit FtpOperation(int32_t key)
        : session_(FtpAcquireSession(key)),
          scope_(session_ ? session_->cancelTarget : PlatBoundCancelTarget()) {}
    explicit operator bool() const { return session_ != nullptr; }
    FtpSession* operator->() const { return session_.get(); }
    FtpSession* get() const { return session_.get(); }

private:
    FtpSessionRef session_;
    PlatCancelScope scope_;
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
