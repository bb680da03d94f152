#include "request_worker.h"

#include <cstring>

#include "ftp.h"

namespace {

// The transfer-type character: the low 8 bits of the script's TransferType, passed on unchanged.
char TypeCharacter(int32_t option) {
    return static_cast<char>(option & 0xFF);
}

// True when the file at path exists and holds no bytes.
bool IsEmptyFile(const char* path) {
    int32_t file = PlatFileOpen(path, PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return false;
    }
    int64_t size = PlatFileSeek(file, 0, PLAT_FILE_END);
    PlatFileClose(file);
    return size == 0;
}

// Moves file to a restart position ("auto": its end). FTP_OK; FTP_BAD_PARAMETERS for a position
// beyond the file's end, from which no resume can start (the engine refuses it too, but the file
// system may not even seek that far); FTP_CANNOT_OPEN_FILE when the file cannot be measured or
// moved. The file stays open either way.
int32_t SeekToRestart(int32_t file, int64_t* position) {
    const int64_t end = PlatFileSeek(file, 0, PLAT_FILE_END);
    if (*position == FTP_POSITION_AUTO) {
        *position = end;
    }
    if (end < 0 || *position < 0) {
        return FTP_CANNOT_OPEN_FILE;
    }
    if (*position > end) {
        return FTP_BAD_PARAMETERS;
    }
    return PlatFileSeek(file, *position, PLAT_FILE_BEGIN) == -1 ? FTP_CANNOT_OPEN_FILE : FTP_OK;
}

// Restart of a download: open the local file for writing (keeping its contents), or create it,
// and move to the restart position ("auto": the file's end). The engine takes the handle over,
// with the path, so that a retry can open the file again.
int32_t RestartRecv(const WorkerRequest& r) {
    bool created = false;
    int32_t file = PlatFileOpen(r.text2, PLAT_OF_WRITE);
    if (file == PLAT_FILE_ERROR) {
        file = PlatFileCreate(r.text2);
        created = file != PLAT_FILE_ERROR;
    }
    if (file == PLAT_FILE_ERROR) {
        return FTP_CANNOT_OPEN_FILE;
    }
    int64_t position = r.position;
    int32_t result = SeekToRestart(file, &position);
    if (result != FTP_OK) {
        PlatFileClose(file);
    } else {
        result = FtpRestartRecvFileFrom(r.text1, file, r.text2, TypeCharacter(r.option), position,
                                        r.sessionKey);
    }
    // A file made here for a download that failed before anything was written into it is
    // removed again: a refused download leaves no new file behind.
    if (created && result != FTP_OK && IsEmptyFile(r.text2)) {
        PlatFileDelete(r.text2);
    }
    return result;
}

// Restart of an upload: open the local file for reading and move to the restart position; the
// engine finds an "auto" position from the server's size of the remote file.
int32_t RestartSend(const WorkerRequest& r) {
    int32_t file = PlatFileOpen(r.text1, PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return FTP_CANNOT_OPEN_FILE;
    }
    int64_t position = r.position;
    const int32_t sought = position != FTP_POSITION_AUTO ? SeekToRestart(file, &position) : FTP_OK;
    if (sought != FTP_OK) {
        PlatFileClose(file);
        return sought;
    }
    return FtpRestartSendFileFrom(file, r.text1, r.text2, TypeCharacter(r.option), r.position,
                                  r.sessionKey);
}

int32_t RunRequest(WorkerRequest& r) {
    const int32_t key = r.sessionKey;
    switch (r.kind) {
        case REQUEST_LOGIN:
            return FtpLogin(r.text1, r.text2, r.text3, key);
        case REQUEST_DIR:
            return FtpDir(r.text1, r.text2, r.option, key);
        case REQUEST_RECV_FILE:
            return FtpRecvFile(r.text1, r.text2, TypeCharacter(r.option), key);
        case REQUEST_SEND_FILE:
            return FtpSendFile(r.text1, r.text2, TypeCharacter(r.option), key);
        case REQUEST_DELETE_FILE:
            return FtpDeleteFile(r.text1, key);
        case REQUEST_CDUP:
            return FtpCDUp(key);
        case REQUEST_CWD:
            return FtpCWD(r.text1, key);
        case REQUEST_PWD:
            return FtpPWD(r.text1, SCRIPT_RESULT_TEXT_SIZE, key);
        case REQUEST_DELETE_DIRECTORY:
            return FtpDeleteDirectory(r.text1, key);
        case REQUEST_HELP:
            return FtpHelp(r.text1, r.text2, SCRIPT_RESULT_TEXT_SIZE, key);
        case REQUEST_COMMAND:
            return FtpCommand(r.text1, r.text2, SCRIPT_RESULT_TEXT_SIZE, key);
        case REQUEST_CREATE_DIRECTORY:
            return FtpCreateDirectory(r.text1, nullptr, 0, key);
        case REQUEST_APPEND_TO_LOCAL_FILE:
            return FtpAppendToLocalFile(r.text1, r.text2, TypeCharacter(r.option), key);
        case REQUEST_APPEND_TO_REMOTE_FILE:
            return FtpAppendToRemoteFile(r.text1, r.text2, TypeCharacter(r.option), key);
        case REQUEST_RESTART_RECV_FILE:
            return RestartRecv(r);
        case REQUEST_RESTART_SEND_FILE:
            return RestartSend(r);
        case REQUEST_RENAME_FILE:
            return FtpRenameFile(r.text1, r.text2, key);
        case REQUEST_FILE_INFO:
            return FtpFileInfo(r.text1, r.text2, SCRIPT_RESULT_TEXT_SIZE, key);
        default:
            return FTP_BAD_PARAMETERS;  // the dispatcher builds no other kind
    }
}

}  // namespace

void FreeWorkerRequest(WorkerRequest* request) {
    if (request == nullptr) {
        return;
    }
    // A field that points into the request's own result buffer is not a heap copy.
    for (char** field : {&request->text1, &request->text2, &request->text3}) {
        if (*field != request->resultBuffer) {
            delete[] * field;
        }
        *field = nullptr;
    }
    delete request;
}

uint32_t RequestWorker(void* parameter) {
    auto* request = static_cast<WorkerRequest*>(parameter);
    int32_t result = RunRequest(*request);
    // From here a cancellation has nothing left to reach.
    FtpEndOperation(request->sessionKey);
    if (request->owner != nullptr) {
        char message[SCRIPT_MESSAGE_SIZE];
        FtpResultDetail(message, sizeof message, request->sessionKey);
        ScriptInstance* owner = request->owner;
        std::lock_guard<std::mutex> guard(owner->resultLock);
        memcpy(owner->resultMessage, message, sizeof message);
    }
    if (request->kind == REQUEST_PWD || request->kind == REQUEST_HELP ||
        request->kind == REQUEST_COMMAND || request->kind == REQUEST_FILE_INFO) {
        ScriptInstance* owner = request->owner;
        std::lock_guard<std::mutex> guard(owner->resultLock);
        memcpy(owner->resultText, request->resultBuffer, SCRIPT_RESULT_TEXT_SIZE);
        owner->resultText[SCRIPT_RESULT_TEXT_SIZE - 1] = '\0';
    }
    FreeWorkerRequest(request);
    return static_cast<uint32_t>(result);
}
