// Downloads, uploads, their append and restart forms, and directory listings.

#include <cstring>

#include "session_internal.h"

namespace {

enum class Direction { Download, Upload };

struct TransferSpec {
    const char* verbFormat;  // "RETR %s", "STOR %s", "APPE %s"
    Direction direction;
    const char* localPath;   // null for the restart forms, which bring an open file
    int32_t openMode;
    int32_t callerFile;      // the restart forms' open file, -1 otherwise
    int64_t position;        // restart position, 0 for none
};

void CloseCallerFile(int32_t file) {
    if (file != -1) {
        PlatFileClose(file);
    }
}

// The size of an upload from the file's current position to its end, leaving the position
// where it was. -1 when the file cannot be measured.
int64_t RemainingSize(int32_t file) {
    int64_t here = PlatFileSeek(file, 0, PLAT_FILE_CURRENT);
    int64_t end = PlatFileSeek(file, 0, PLAT_FILE_END);
    if (here < 0) {
        return -1;
    }
    PlatFileSeek(file, here, PLAT_FILE_BEGIN);
    if (end < 0) {
        return -1;
    }
    return end > here ? end - here : 0;
}

// True when position lies beyond the end of the file; the file's position stays where it was.
bool IsBeyondEnd(int32_t file, int64_t position) {
    int64_t here = PlatFileSeek(file, 0, PLAT_FILE_CURRENT);
    int64_t end = PlatFileSeek(file, 0, PLAT_FILE_END);
    if (here >= 0) {
        PlatFileSeek(file, here, PLAT_FILE_BEGIN);
    }
    return end >= 0 && position > end;
}

// The course every file transfer shares: checks, the command line, the data connection, the
// counters and the loop. A restart form's file is taken over and closed exactly once.
int32_t RunTransfer(const TransferSpec& t, const char* remote, char type, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        CloseCallerFile(t.callerFile);
        return FTP_NOT_INITIALIZED;
    }
    FtpSession* session = op.get();
    if (session->connection.controlSocket == -1) {
        CloseCallerFile(t.callerFile);
        return FTP_NOT_CONNECTED;
    }
    char line[FTP_COMMAND_SIZE];
    if (FtpBuildCommandLine(line, t.verbFormat, remote) != FTP_OK ||
        (t.callerFile != -1 && IsBeyondEnd(t.callerFile, t.position))) {
        // A resume from beyond the end of the local file would leave a gap of NUL bytes in the
        // remote file (upload) or in the local one (download): refused before anything is sent.
        CloseCallerFile(t.callerFile);
        return FTP_BAD_PARAMETERS;
    }
    int32_t result = FtpStartTransfer(session, t.localPath, t.openMode, type, t.position, line);
    if (result != FTP_OK) {
        CloseCallerFile(t.callerFile);
        return result;
    }
    if (t.callerFile != -1) {
        session->localFile = t.callerFile;
    }

    session->bytesTransferred = 0;
    if (t.direction == Direction::Download) {
        int64_t announced = FtpParseTransferSize(key);
        if (t.position > 0) {
            // What is left after the restart position; a size that does not reach beyond the
            // position says nothing usable, and the expected count is never negative.
            announced = announced > t.position ? announced - t.position : 0;
        }
        session->bytesToBeTransferred = announced;
        return FtpRecvLoop(session);
    }
    const int64_t size = RemainingSize(session->localFile);
    session->bytesToBeTransferred = size > 0 ? size : 0;
    session->sendSize = size;
    result = FtpSendLoop(session);
    session->sendSize = -1;
    return result;
}

}  // namespace

int32_t FtpRecvFile(const char* remote, const char* local, char type, int32_t key) {
    return RunTransfer({"RETR %s", Direction::Download, local, LOCAL_OPEN_CREATE, -1, 0}, remote,
                       type, key);
}

int32_t FtpAppendToLocalFile(const char* remote, const char* local, char type, int32_t key) {
    return RunTransfer({"RETR %s", Direction::Download, local, LOCAL_OPEN_APPEND, -1, 0}, remote,
                       type, key);
}

int32_t FtpRestartRecvFile(const char* remote, int32_t file, char type, int64_t position,
                           int32_t key) {
    return RunTransfer({"RETR %s", Direction::Download, nullptr, 0, file, position}, remote, type,
                       key);
}

int32_t FtpSendFile(const char* local, const char* remote, char type, int32_t key) {
    return RunTransfer({"STOR %s", Direction::Upload, local, LOCAL_OPEN_READ, -1, 0}, remote, type,
                       key);
}

int32_t FtpAppendToRemoteFile(const char* local, const char* remote, char type, int32_t key) {
    return RunTransfer({"APPE %s", Direction::Upload, local, LOCAL_OPEN_READ, -1, 0}, remote, type,
                       key);
}

int32_t FtpRestartSendFile(int32_t file, const char* remote, char type, int64_t position,
                           int32_t key) {
    return RunTransfer({"STOR %s", Direction::Upload, nullptr, 0, file, position}, remote, type,
                       key);
}

int32_t FtpDir(const char* filter, const char* localPath, int32_t moreDetails, int32_t key) {
    FtpOperation op(key);
    if (!op) {
        return FTP_NOT_INITIALIZED;
    }
    FtpSession* session = op.get();
    if (session->connection.controlSocket == -1) {
        return FTP_NOT_CONNECTED;
    }
    if (localPath == nullptr) {
        return FTP_BAD_PARAMETERS;
    }
    const char* verb = moreDetails != 0 ? "LIST" : "NLST";
    char line[FTP_COMMAND_SIZE];
    int32_t built = filter != nullptr && filter[0] != '\0'
                        ? FtpBuildCommandLine(line, moreDetails != 0 ? "LIST %s" : "NLST %s", filter)
                        : FtpBuildCommandLine(line, verb, nullptr);
    if (built != FTP_OK) {
        return built;
    }
    int32_t result = FtpStartTransfer(session, localPath, LOCAL_OPEN_CREATE, 'A', 0, line);
    if (result != FTP_OK) {
        return result;
    }
    session->bytesTransferred = 0;
    session->bytesToBeTransferred = 0;
    return FtpRecvLoop(session);
}
