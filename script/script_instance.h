// The script class as scripts see it: the per-object record, the method `new`, and the module-wide
// state of the script side. Every function here runs on the host's calling thread unless it says
// otherwise.
#pragma once

#include <cstdint>
#include <mutex>

#include "host_abi.h"
#include "threads.h"

inline constexpr int32_t SCRIPT_LISTING_PATH_SIZE = 300;
inline constexpr int32_t SCRIPT_RESULT_TEXT_SIZE = 2048;
inline constexpr int32_t SCRIPT_MESSAGE_SIZE = 256;

// What ftpResult returns, named by the last of the operations that produce a result.
inline constexpr int32_t RESULT_KIND_NONE = 0;
inline constexpr int32_t RESULT_KIND_LISTING = 1;    // ftpDir
inline constexpr int32_t RESULT_KIND_DIRECTORY = 2;  // ftpPWD
inline constexpr int32_t RESULT_KIND_HELP = 3;       // ftpHelp
inline constexpr int32_t RESULT_KIND_COMMAND = 4;    // ftpCommand
inline constexpr int32_t RESULT_KIND_FILE_INFO = 5;  // ftpFileInfo

struct WorkerRequest;

// One script object. It lives inside the host's instance record, after the host's header; the
// script class's constructor builds it and its destructor takes it down.
struct ScriptInstance {
    HostValues* valueInterface = nullptr;  // every argument and result conversion
    HostLists* listInterface = nullptr;    // the listing result of ftpResult
    // The last worker started; kept after it ends so that its exit code stays readable.
    PlatThread* workerThread = nullptr;
    // The request most recently built; owned by its worker once the thread runs, never read here.
    WorkerRequest* currentRequest = nullptr;
    int32_t sessionKey = 0;
    int32_t resultKind = RESULT_KIND_NONE;
    char listingPath[SCRIPT_LISTING_PATH_SIZE] = {};
    // Text result of ftpPWD, ftpHelp, ftpCommand and ftpFileInfo. A worker delivers into it and
    // ftpResult reads it, each under resultLock.
    char resultText[SCRIPT_RESULT_TEXT_SIZE] = {};
    // The last worker's result message when the engine said more than the catalogue; "" else.
    char resultMessage[SCRIPT_MESSAGE_SIZE] = {};
    std::mutex resultLock;
};

// Method `new`: takes the next object number as session key, creates the engine session under
// the host's window and fixes the listing-file path. Returns 0 or the failure code (the engine's,
// or 5003 when there is no usable private directory or the path would not fit).
int32_t ScriptNew(ScriptInstance* self);

// Deletes the object's listing file, if it has one.
void ScriptDeleteListingFile(ScriptInstance* self);

// Ends the object's running worker, if any, before the record goes: cancels the operation and
// waits for the thread as StopWorker does, then closes the handle; then deletes the listing file,
// which nothing can read any more. The session and its connection are left as they are.
void ScriptInstanceShutdown(ScriptInstance* self);

// True while a session made by `new` has not been destroyed by `forget`, or a worker still runs:
// the module's code is still needed then. Any thread.
bool ScriptModuleBusy();

// Counts a session created (+1) or destroyed (-1) by this side.
void ScriptCountSession(int32_t change);
