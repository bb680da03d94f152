// Worker threads with exit codes, and the module's private directory, on Win32.

#include "faults.h"
#include "threads.h"

#include <mutex>
#include <new>

#include "win32/wait.h"

// The handle is all a thread record needs: Windows keeps the exit code with the thread object
// until the last handle is closed, and closing the handle of a running thread lets it run on.
struct PlatThread {
    HANDLE handle;
};

namespace {

// Every thread made here until it has ended completely. A thread that has returned from its
// routine still runs the module's code on its way out (the end of Trampoline, and the module's
// thread-detach notification), so the module may go only once each one has ended; a thread
// object is signalled only then. Each entry holds a handle of its own, since the caller may
// close the one it was given while the thread runs.
struct Running {
    HANDLE handle;
    Running* next;
};

// A plain pointer and a mutex without a destructor: nothing here is torn down at exit while a
// thread might still be on its way out.
std::mutex runningLock;
Running* running = nullptr;

// Forgets the threads that have ended and returns the number of those that have not.
int32_t ForgetEnded() {
    std::lock_guard<std::mutex> guard(runningLock);
    int32_t remaining = 0;
    for (Running** link = &running; *link != nullptr;) {
        Running* entry = *link;
        if (WaitForSingleObject(entry->handle, 0) == WAIT_OBJECT_0) {
            *link = entry->next;
            CloseHandle(entry->handle);
            delete entry;
        } else {
            ++remaining;
            link = &entry->next;
        }
    }
    return remaining;
}

// The handles of threads that have ended since the last question are closed when this code goes.
struct ForgetWhenUnloaded {
    ~ForgetWhenUnloaded() { ForgetEnded(); }
} forgetWhenUnloaded;

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
    return routine(parameter);
}

}  // namespace

PlatThread* PlatThreadCreate(PlatThreadRoutine routine, void* parameter) {
    if (routine == nullptr || PlatTakeFault(PlatFault::ThreadCreate)) {
        return nullptr;
    }
    auto* thread = new (std::nothrow) PlatThread{nullptr};
    auto* start = new (std::nothrow) StartBlock{routine, parameter};
    auto* entry = new (std::nothrow) Running{nullptr, nullptr};
    if (thread == nullptr || start == nullptr || entry == nullptr) {
        delete thread;
        delete start;
        delete entry;
        return nullptr;
    }
    // Threads that have ended are forgotten here too, so that their handles do not pile up
    // between two questions of PlatThreadLiveCount.
    ForgetEnded();
    // Made suspended, so that the thread does not run before it is in the list.
    DWORD id = 0;
    thread->handle = CreateThread(nullptr, 0, Trampoline, start, CREATE_SUSPENDED, &id);
    const HANDLE self = GetCurrentProcess();
    if (thread->handle == nullptr ||
        !DuplicateHandle(self, thread->handle, self, &entry->handle, SYNCHRONIZE, FALSE, 0)) {
        if (thread->handle != nullptr) {
            // Never started: it ends without running the routine, and the start block is ours.
            TerminateThread(thread->handle, 0);
            CloseHandle(thread->handle);
        }
        delete start;
        delete thread;
        delete entry;
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(runningLock);
        entry->next = running;
        running = entry;
    }
    ResumeThread(thread->handle);
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
    return ForgetEnded();
}

uint32_t PlatProcessId() {
    return GetCurrentProcessId();
}

uint32_t PlatPrivateDirectory(char* buffer, uint32_t capacity) {
    // The Windows directory, with GetWindowsDirectoryA's own results for a short buffer.
    char scratch[1];
    return GetWindowsDirectoryA(buffer != nullptr ? buffer : scratch,
                                buffer != nullptr ? capacity : 0);
}
