#include "status_methods.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "dispatcher.h"
#include "ftp.h"
#include "method_table.h"
#include "text_line_reader.h"

namespace {

// The state of the last operation as the status methods report it.
struct WorkerState {
    bool started;  // an operation was started and its handle is kept
    bool running;  // its thread still runs
    int32_t code;  // its exit code once it has ended
};

// Whether the worker runs is asked of the thread; the exit code is read only once it has ended,
// and then reported as it is, 259 included.
WorkerState ReadWorkerState(ScriptInstance* self) {
    WorkerState state{self->workerThread != nullptr, false, 0};
    if (!state.started) {
        return state;
    }
    state.running = PlatThreadIsRunning(self->workerThread);
    if (!state.running) {
        uint32_t code = 0;
        PlatThreadExitCode(self->workerThread, &code);
        state.code = static_cast<int32_t>(code);
    }
    return state;
}

// A byte count as the host's 32-bit integer: exact while it fits, 2147483647 beyond, so that a
// count never turns negative or goes backwards; ftpProgress gives the exact figure.
int32_t ScriptCount(int64_t count) {
    return count < 0 ? 0 : count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

void StoreListing(ScriptInstance* self, HostCallRecord* call) {
    if (self->listInterface == nullptr || self->valueInterface == nullptr) {
        return;
    }
    HostLists* lists = self->listInterface;
    HostValues* values = self->valueInterface;
    lists->ops->NewList(lists, &call->result);
    int32_t file = PlatFileOpen(self->listingPath, PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return;
    }
    char line[SCRIPT_LINE_SIZE];
    while (ReadTextLine(file, line, sizeof line)) {
        HostValue item{};
        values->ops->StringToValue(values, line, &item);
        lists->ops->AppendToList(lists, &call->result, &item);
        values->ops->ReleaseValue(values, &item);
    }
    PlatFileClose(file);
}

void StoreResultText(ScriptInstance* self, HostCallRecord* call) {
    // Copied under the lock, so a worker delivering its text meanwhile is never read half-way.
    char text[SCRIPT_RESULT_TEXT_SIZE];
    {
        std::lock_guard<std::mutex> guard(self->resultLock);
        memcpy(text, self->resultText, sizeof text);
    }
    text[sizeof text - 1] = '\0';
    StoreTextResult(self, call, text);
}

}  // namespace

int32_t ScriptAbort(ScriptInstance* self) {
    if (self->workerThread == nullptr || !PlatThreadIsRunning(self->workerThread)) {
        return 0;
    }
    return FtpCancel(self->sessionKey);
}

void ScriptStatusMethod(ScriptInstance* self, int32_t method, HostCallRecord* call) {
    switch (method) {
        case METHOD_BYTES_TRANSFERRED:
            StoreIntegerResult(self, call, ScriptCount(FtpBytesTransferred(self->sessionKey)));
            break;
        case METHOD_BYTES_TO_BE_TRANSFERRED:
            StoreIntegerResult(self, call, ScriptCount(FtpBytesToBeTransferred(self->sessionKey)));
            break;
        case METHOD_PROGRESS: {
            char text[48];
            snprintf(text, sizeof text, "%" PRId64 " %" PRId64,
                     FtpBytesTransferred(self->sessionKey),
                     FtpBytesToBeTransferred(self->sessionKey));
            StoreTextResult(self, call, text);
            break;
        }
        case METHOD_DONE: {
            WorkerState state = ReadWorkerState(self);
            StoreIntegerResult(self, call, state.running ? 0 : 1);
            break;
        }
        case METHOD_ERROR_CODE: {
            WorkerState state = ReadWorkerState(self);
            StoreIntegerResult(self, call, state.started && !state.running ? state.code : 0);
            break;
        }
        case METHOD_ERROR_MESSAGE: {
            WorkerState state = ReadWorkerState(self);
            char message[SCRIPT_MESSAGE_SIZE] = {};
            if (state.started && !state.running) {
                std::lock_guard<std::mutex> guard(self->resultLock);
                memcpy(message, self->resultMessage, sizeof message);
                message[sizeof message - 1] = '\0';
            }
            StoreTextResult(self, call,
                            state.running              ? ""
                            : message[0] != '\0' ? message
                                                       : FtpErrorMessage(state.code));
            break;
        }
        case METHOD_RESULT:
            switch (self->resultKind) {
                case RESULT_KIND_LISTING:
                    StoreListing(self, call);
                    break;
                case RESULT_KIND_DIRECTORY:
                case RESULT_KIND_HELP:
                case RESULT_KIND_COMMAND:
                case RESULT_KIND_FILE_INFO:
                    StoreResultText(self, call);
                    break;
                default:
                    break;  // nothing started yet: the host's empty result stays
            }
            break;
        default:
            break;
    }
}
