#include "dispatcher.h"

#include <cstring>
#include <memory>
#include <new>

#include "ftp.h"
#include "method_table.h"
#include "request_worker.h"
#include "status_methods.h"

namespace {

// How a worker method turns into a request. The script's texts fill text1, text2, text3 in
// order, its integers fill option, and a restart position fills position.
struct WorkerMethod {
    int32_t kind;
    // One letter per script argument: 's' text, 'i' integer, 'p' byte position (an integer, or
    // a text of decimal digits for positions beyond the host's 32-bit integers).
    const char* arguments;
    bool resetsCounters;    // listings and transfers report only their own progress
    int32_t resultKind;     // what ftpResult returns afterwards; NONE leaves it unchanged
};

const WorkerMethod* FindWorkerMethod(int32_t method) {
    static const WorkerMethod methods[] = {
        /* 2 ftpLogin */ {REQUEST_LOGIN, "sss", false, RESULT_KIND_NONE},
        /* 3 ftpLogout */ {0, "", false, RESULT_KIND_NONE},
        /* 4 ftpDir */ {REQUEST_DIR, "si", true, RESULT_KIND_LISTING},
        /* 5 */ {REQUEST_RECV_FILE, "ssi", true, RESULT_KIND_NONE},
        /* 6 */ {REQUEST_RESTART_RECV_FILE, "ssip", true, RESULT_KIND_NONE},
        /* 7 */ {REQUEST_APPEND_TO_LOCAL_FILE, "ssi", true, RESULT_KIND_NONE},
        /* 8 */ {REQUEST_SEND_FILE, "ssi", true, RESULT_KIND_NONE},
        /* 9 */ {REQUEST_RESTART_SEND_FILE, "ssip", true, RESULT_KIND_NONE},
        /* 10 */ {REQUEST_APPEND_TO_REMOTE_FILE, "ssi", true, RESULT_KIND_NONE},
        /* 11 */ {REQUEST_RENAME_FILE, "ss", false, RESULT_KIND_NONE},
        /* 12 */ {REQUEST_DELETE_FILE, "s", false, RESULT_KIND_NONE},
        /* 13 */ {REQUEST_DELETE_DIRECTORY, "s", false, RESULT_KIND_NONE},
        /* 14 */ {REQUEST_CREATE_DIRECTORY, "s", false, RESULT_KIND_NONE},
        /* 15 */ {REQUEST_CDUP, "", false, RESULT_KIND_NONE},
        /* 16 */ {REQUEST_CWD, "s", false, RESULT_KIND_NONE},
        /* 17 ftpPWD */ {REQUEST_PWD, "", false, RESULT_KIND_DIRECTORY},
        /* 18 ftpHelp */ {REQUEST_HELP, "s", false, RESULT_KIND_HELP},
        /* 19 ftpCommand */ {REQUEST_COMMAND, "s", false, RESULT_KIND_COMMAND},
    };
    static const WorkerMethod fileInfo = {REQUEST_FILE_INFO, "s", false, RESULT_KIND_FILE_INFO};
    if (method == METHOD_FILE_INFO) {
        return &fileInfo;
    }
    if (method < METHOD_LOGIN || method > METHOD_COMMAND || method == METHOD_LOGOUT) {
        return nullptr;
    }
    return &methods[method - METHOD_LOGIN];
}

constexpr int kMaxArguments = 4;

// The script arguments of one call, converted. Texts point into the host's memory and stay
// valid until the dispatcher returns.
struct Arguments {
    const char* texts[kMaxArguments] = {};
    int32_t integers[kMaxArguments] = {};
    int textCount = 0;
    int integerCount = 0;
    int64_t position = 0;
    // An argument the script cannot have meant: a text holding a zero byte (it would go out cut
    // short), a position below 0 or a position text that is not a decimal number of 63 bits.
    bool bad = false;
};

// A byte position written as decimal digits only; false for anything else (no sign, no blanks)
// and for a number beyond 63 bits.
bool ParsePosition(const char* text, int64_t* out) {
    int64_t value = 0;
    if (text[0] == '\0') {
        return false;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        const int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

// "auto" in any letter case: the restart forms find the position themselves.
bool IsAutoPosition(const char* text) {
    const char* word = "auto";
    for (; *word != '\0'; ++word, ++text) {
        if ((*text | 0x20) != *word) {
            return false;
        }
    }
    return *text == '\0';
}

// The text of a present value, or null when it converts to none; *bad is set when the text holds
// a zero byte.
const char* TextOf(HostValues* values, const HostValue* value, bool* bad) {
    const char* text = nullptr;
    const HostStatus status = values->ops->ValueToString(values, value, &text);
    if (status == HOST_E_TEXT_HAS_ZERO) {
        *bad = true;
    }
    return status == HOST_OK ? text : nullptr;
}

// Converts the call's arguments as the letters in types say, in argument order. Each output is
// set before its conversion; a failed or missing text becomes "", a failed or missing integer 0.
// Only the argumentCount items that the host supplied are read.
Arguments ConvertArguments(ScriptInstance* self, const HostCallRecord* call, const char* types) {
    Arguments out;
    HostValues* values = self->valueInterface;
    int32_t supplied = call->arguments == nullptr ? 0 : call->argumentCount;
    for (int i = 0; types[i] != '\0' && i < kMaxArguments; ++i) {
        int item = i + 1;  // item 0 is the object itself
        bool present = item < supplied && values != nullptr;
        if (types[i] == 's') {
            const char* text = present ? TextOf(values, &call->arguments[item], &out.bad) : nullptr;
            out.texts[out.textCount++] = text != nullptr ? text : "";
        } else if (types[i] == 'p') {
            // A value that converts to neither reads as 0, as a failed integer does; a negative
            // integer, and a text that is neither a position nor "auto", are refused.
            int32_t integer = 0;
            if (present &&
                values->ops->ValueToInteger(values, &call->arguments[item], &integer) == HOST_OK) {
                out.position = integer;
                out.bad = out.bad || integer < 0;
            } else if (const char* text =
                           present ? TextOf(values, &call->arguments[item], &out.bad) : nullptr) {
                if (IsAutoPosition(text)) {
                    out.position = FTP_POSITION_AUTO;
                } else if (!ParsePosition(text, &out.position)) {
                    out.position = 0;
                    out.bad = true;
                }
            }
        } else {
            int32_t integer = 0;
            if (present &&
                values->ops->ValueToInteger(values, &call->arguments[item], &integer) != HOST_OK) {
                integer = 0;
            }
            out.integers[out.integerCount++] = integer;
        }
    }
    return out;
}

// A heap copy of text with its NUL, or null when memory runs out.
char* CopyText(const char* text) {
    size_t length = strlen(text);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy != nullptr) {
        memcpy(copy, text, length + 1);
    }
    return copy;
}

int32_t StartWorkerMethod(ScriptInstance* self, const WorkerMethod& method, const Arguments& args) {
    // Busy rule: one operation at a time. Whether the last worker still runs is asked of its
    // thread, not read from its exit code.
    if (self->workerThread != nullptr) {
        if (PlatThreadIsRunning(self->workerThread)) {
            return FTP_SESSION_IN_USE;
        }
        PlatThreadClose(self->workerThread);
        self->workerThread = nullptr;
    }

    std::unique_ptr<WorkerRequest, void (*)(WorkerRequest*)> request(
        new (std::nothrow) WorkerRequest, FreeWorkerRequest);
    self->currentRequest = request.get();
    if (!request) {
        return FTP_NO_MEMORY;
    }
    request->kind = method.kind;
    char** fields[] = {&request->text1, &request->text2, &request->text3};
    for (int i = 0; i < args.textCount; ++i) {
        *fields[i] = CopyText(args.texts[i]);
        if (*fields[i] == nullptr) {
            self->currentRequest = nullptr;
            return FTP_NO_MEMORY;
        }
    }
    request->option = args.integerCount > 0 ? args.integers[0] : 0;
    request->position = args.position;
    request->sessionKey = self->sessionKey;
    request->owner = self;
    if (method.kind == REQUEST_DIR) {
        request->text2 = CopyText(self->listingPath);
        if (request->text2 == nullptr) {
            self->currentRequest = nullptr;
            return FTP_NO_MEMORY;
        }
    }
    if (method.resultKind != RESULT_KIND_NONE && method.kind != REQUEST_DIR) {
        // The engine writes into the request's buffer, which starts as the current text so that
        // an operation that fails before it writes leaves resultText as it was.
        {
            std::lock_guard<std::mutex> guard(self->resultLock);
            memcpy(request->resultBuffer, self->resultText, SCRIPT_RESULT_TEXT_SIZE);
        }
        (method.kind == REQUEST_PWD ? request->text1 : request->text2) = request->resultBuffer;
    }
    if (method.resetsCounters) {
        FtpResetCounters(self->sessionKey);
    }
    // Opened before the thread starts, so that an ftpAbort made at once already reaches it.
    FtpBeginOperation(self->sessionKey);
    PlatThread* thread = PlatThreadCreate(RequestWorker, request.get());
    if (thread == nullptr) {
        FtpEndOperation(self->sessionKey);
        self->currentRequest = nullptr;
        return FTP_NO_RESOURCES;
    }
    request.release();  // the worker owns it now
    self->workerThread = thread;
    if (method.resultKind != RESULT_KIND_NONE) {
        self->resultKind = method.resultKind;
    }
    return FTP_OK;
}

int32_t Logout(ScriptInstance* self) {
    StopWorker(self);
    int32_t result = FtpLogout(self->sessionKey);
    if (result == FTP_OK) {
        return FTP_OK;
    }
    return FtpDisconnect(self->sessionKey);
}

int32_t Forget(ScriptInstance* self) {
    // The host's thread waits here: the running operation's abort and the QUIT share one bound.
    const uint32_t start = PlatTickCount();
    StopWorker(self);
    const uint32_t spent = PlatTickCount() - start;
    const int32_t left = spent >= static_cast<uint32_t>(FTP_QUIT_LIMIT_MS)
                             ? 0
                             : FTP_QUIT_LIMIT_MS - static_cast<int32_t>(spent);
    if (FtpLogoutWithin(left, self->sessionKey) != FTP_OK) {
        FtpDisconnect(self->sessionKey);
    }
    if (FtpDestroySession(self->sessionKey) == FTP_OK) {
        ScriptCountSession(-1);
    }
    ScriptDeleteListingFile(self);
    return FTP_OK;
}

}  // namespace

void StoreIntegerResult(ScriptInstance* self, HostCallRecord* call, int32_t value) {
    if (self->valueInterface != nullptr) {
        self->valueInterface->ops->IntegerToValue(self->valueInterface, value, &call->result);
    }
}

void StoreTextResult(ScriptInstance* self, HostCallRecord* call, const char* text) {
    if (self->valueInterface != nullptr) {
        self->valueInterface->ops->StringToValue(self->valueInterface, text, &call->result);
    }
}

void StopWorker(ScriptInstance* self) {
    if (self->workerThread == nullptr) {
        return;
    }
    // One cancellation is enough: it stays in force until the operation ends, whatever call
    // the worker makes next. Repeating it could only cut short an abort's own reply reads.
    if (PlatThreadIsRunning(self->workerThread)) {
        FtpCancel(self->sessionKey);
    }
    while (PlatThreadIsRunning(self->workerThread)) {
        PlatThreadWait(self->workerThread, 100);
    }
    PlatThreadClose(self->workerThread);
    self->workerThread = nullptr;
}

HostStatus MethodDispatcher(ScriptInstance* self, HostCallRecord* call) {
    if (self == nullptr || call == nullptr) {
        return HOST_OK;
    }
    const int32_t method = call->methodNumber;
    int32_t result = FTP_OK;
    if (const WorkerMethod* worker = FindWorkerMethod(method)) {
        Arguments args = ConvertArguments(self, call, worker->arguments);
        // An object whose session is gone (forgotten, or never made) starts nothing: the call
        // itself says so, as every other method of such an object does.
        if (FtpFindSession(self->sessionKey) == nullptr) {
            result = FTP_NOT_INITIALIZED;
        } else {
            result = args.bad ? FTP_BAD_PARAMETERS : StartWorkerMethod(self, *worker, args);
        }
    } else {
        switch (method) {
            case METHOD_NEW:
                result = ScriptNew(self);
                if (result != FTP_OK) {
                    StoreIntegerResult(self, call, result);
                }
                return HOST_OK;
            case METHOD_FORGET:
                result = Forget(self);
                break;
            case METHOD_LOGOUT:
                result = Logout(self);
                break;
            case METHOD_ABORT:
                result = ScriptAbort(self);
                break;
            case METHOD_SET_OPTION: {
                // Options change what the next operation does, never the running one.
                Arguments args = ConvertArguments(self, call, "ss");
                result = self->workerThread != nullptr && PlatThreadIsRunning(self->workerThread)
                             ? FTP_SESSION_IN_USE
                         : args.bad ? FTP_BAD_PARAMETERS
                                    : FtpSetOption(args.texts[0], args.texts[1], self->sessionKey);
                break;
            }
            case METHOD_LAST_REPLY: {
                char text[FTP_REPLY_SIZE];
                FtpLastReply(text, sizeof text, self->sessionKey);
                StoreTextResult(self, call, text);
                return HOST_OK;
            }
            case METHOD_BYTES_TRANSFERRED:
            case METHOD_BYTES_TO_BE_TRANSFERRED:
            case METHOD_DONE:
            case METHOD_RESULT:
            case METHOD_ERROR_CODE:
            case METHOD_ERROR_MESSAGE:
            case METHOD_PROGRESS:
                ScriptStatusMethod(self, method, call);
                return HOST_OK;
            default:
                return HOST_OK;  // not a method of the table: no result
        }
    }
    StoreIntegerResult(self, call, result);
    return HOST_OK;
}
