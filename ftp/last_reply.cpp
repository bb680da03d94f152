// The server's last reply as a script reads it (ftpLastReply): the text the control channel
// keeps of the final reply it read last, copied out under its lock.

#include "session_internal.h"

int32_t FtpLastReply(char* output, int32_t capacity, int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (!session) {
        FtpCopyText(output, capacity, "");
        return FTP_NOT_INITIALIZED;
    }
    session->connection.channel.copyLastReply(output, capacity);
    return FTP_OK;
}
