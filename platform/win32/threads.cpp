// Worker threads with exit codes, and the module's private directory, on Win32.

#include "faults.h"
#include "threads.h"

#include <atomic>
#include <new>

#include "win32/wait.h"

// The handle is all a thread record needs: Windows keeps the exit code with the thread object
// until the last handle is closed, and closing the handle of a running thread lets it run on.
struct PlatThread {
    HANDLE handle;
};

namespace {

std::atomic<int32_t> liveThreads{0};

// What the new thread needs to start; it frees this itself.
struct StartBlock {
    PlatThreadRoutine routine;
    void* parameter;
};

DWORD WINAPI Trampoline(LPVOID argument) {
    auto* start = static_cast<StartBlock*>(argument);
    PlatThreadRoutine routine = start->routine;
    void* parameter = start->parameter;
    delete start;
    uint32_t code = routine(parameter);
    // Counted down before the thread object is signalled, so that whoever sees the end also sees
    // the count without this thread.
    liveThreads.fetch_sub(1);
    return code;
}

}  // namespace

PlatThread* PlatThreadCreate(PlatThreadRoutine routine, void* parameter) {
    if (routine == nullptr || PlatTakeFault(PlatFault::ThreadCreate)) {
        return nullptr;
    }
    auto* thread = new (std::nothrow) PlatThread{nullptr};
    auto* start = new (std::nothrow) StartBlock{routine, parameter};
    if (thread == nullptr || start == nullptr) {
        delete thread;
        delete start;
        return nullptr;
    }
    liveThreads.fetch_add(1);
    DWORD id = 0;
    thread->handle = CreateThread(nullptr, 0, Trampoline, start, 0, &id);
    if (thread->handle == nullptr) {
        liveThreads.fetch_sub(1);
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

bool PlatThreadIsRunning(PlatThread* thread) {
    if (thread == nullptr) {
        return false;
    }
    return WaitForSingleObject(thread->handle, 0) == WAIT_TIMEOUT;
}

bool PlatThreadExitCode(PlatThread* thread, uint32_t* code) {
    if (thread == nullptr || code == nullptr) {
        return false;
    }
    DWORD value = 0;
    if (!GetExitCodeThread(thread->handle, &value)) {
        return false;
    }
    *code = value;  // STILL_ACTIVE (259) while the thread runs
    return true;
}

int32_t PlatThreadWait(PlatThread* thread, uint32_t timeoutMs) {
    if (thread == nullptr) {
        return PLAT_WAIT_ENDED;
    }
    return WaitForSingleObject(thread->handle, timeoutMs) == WAIT_TIMEOUT ? PLAT_WAIT_TIMEOUT
                                                                          : PLAT_WAIT_ENDED;
}

void PlatThreadClose(PlatThread* thread) {
    if (thread != nullptr) {
        CloseHandle(thread->handle);
        delete thread;
    }
}

int32_t PlatThreadLiveCount() {
    return liveThreads.load();
}

uint32_t PlatPrivateDirectory(char* buffer, uint32_t capacity) {
    // The Windows directory, with GetWindowsDirectoryA's own results for a short buffer.
    char scratch[1];
    return GetWindowsDirectoryA(buffer != nullptr ? buffer : scratch,
                                buffer != nullptr ? capacity : 0);
}
