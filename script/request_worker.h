// One FTP operation handed from the dispatcher to a background thread, and the thread's routine.
#pragma once

#include <cstdint>

#include "script_instance.h"

// Which engine operation a request runs.
enum RequestKind : int32_t {
    REQUEST_LOGIN = 1,
    REQUEST_DIR = 2,
    REQUEST_RECV_FILE = 3,
    REQUEST_SEND_FILE = 4,
    REQUEST_DELETE_FILE = 5,
    REQUEST_CDUP = 6,
    REQUEST_CWD = 7,
    REQUEST_PWD = 8,
    REQUEST_DELETE_DIRECTORY = 9,
    REQUEST_HELP = 10,
    REQUEST_COMMAND = 11,
    REQUEST_CREATE_DIRECTORY = 12,
    REQUEST_APPEND_TO_LOCAL_FILE = 13,
    REQUEST_APPEND_TO_REMOTE_FILE = 14,
    REQUEST_RESTART_RECV_FILE = 15,
    REQUEST_RESTART_SEND_FILE = 16,
    REQUEST_RENAME_FILE = 17,
    REQUEST_FILE_INFO = 18
};

// Built by the dispatcher on the calling thread, owned by the worker from the moment its thread
// starts; the worker frees the texts and the request. The texts are heap copies (new[]) of the
// script's strings, except the field that a text-result kind points at resultBuffer, which the
// worker clears before freeing.
struct WorkerRequest {
    int32_t kind = 0;
    char* text1 = nullptr;
    char* text2 = nullptr;
    char* text3 = nullptr;
    int32_t option = 0;    // ftpDir: MoreDetails; transfers: TransferType
    int64_t position = 0;  // restart position in bytes
    int32_t sessionKey = 0;
    // Kinds 8, 10, 11 and 18: the engine writes the text into resultBuffer, which the dispatcher
    // filled with the object's current resultText; when the engine call returns, the worker copies
    // it into owner->resultText under owner->resultLock. Every kind's result message goes to
    // owner->resultMessage the same way. The owner outlives the worker: every path that ends an
    // object waits for its worker first.
    ScriptInstance* owner = nullptr;
    char resultBuffer[SCRIPT_RESULT_TEXT_SIZE] = {};
};

// Thread routine: runs the request's engine operation, frees the request, and returns the
// operation's result (or 1004 when a restart's local file cannot be prepared) as exit code.
// Runs on the worker thread.
uint32_t RequestWorker(void* request);

// Frees the request's owned texts and the request itself.
void FreeWorkerRequest(WorkerRequest* request);
