// The verify option: after a transfer, the server's size of the remote file (SIZE, or MLST) and,
// at level 2, its checksum of it (HASH, or XSHA256, XSHA1, XMD5, XCRC) compared with ours.
#pragma once

#include <cstdint>

struct FtpSession;

// What the remote file must be once the transfer is done.
struct FtpVerifyTarget {
    const char* remote = nullptr;
    int64_t size = -1;  // its size in bytes; -1 when not known (nothing to compare)
    // The local file whose bytes from localOffset on, size of them, are the remote file's; null
    // when no local copy of the whole remote file is at hand (no checksum then).
    const char* localPath = nullptr;
    int64_t localOffset = 0;
};

// Checks target at the session's verify level and says in the result message which checks ran
// ("OK, verified by SIZE and SHA-256"). FTP_OK when every check that could run agreed;
// FTP_VERIFY_FAILED, with both values in the message, when one did not; the failure of an
// exchange otherwise. On the operation's thread, with the control connection in step.
int32_t FtpVerifyTransfer(FtpSession* session, const FtpVerifyTarget& target);

// The size of remote as the server has it: SIZE in binary type, or the size fact of MLST when
// SIZE is not understood and FEAT offers MLST. FTP_OK with *size; FTP_ACTION_NOT_TAKEN when
// there is no such file; FTP_COMMAND_NOT_EXECUTED when the server can tell no size; the
// exchange's failure otherwise.
int32_t FtpServerSize(FtpSession* session, const char* remote, int64_t* size);
