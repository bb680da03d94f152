// Worker threads with exit codes, and the private per-user directory, on POSIX.

#include "faults.h"
#include "threads.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// A thread whose routine has returned waits this long for the next routine before it exits. The
// scheduler starts a new thread behind every thread that is already running, while a thread that
// waits and is woken runs at once: on a busy machine short operations, one thread each, are many
// times quicker when the thread of the last one takes the next.
constexpr auto kIdleTime = std::chrono::seconds(5);

// Every thread made here until it has been joined. A thread that has returned from its routine
// still runs the module's code on its way out (the end of Trampoline, the unlocking, freeing its
// record), so the module may go only once each one has been joined: pthread_join returns when
// the thread has left every function of the module.
struct Joinable {
    pthread_t id{};
    pid_t process = 0;      // the process the thread runs in; a forked child has none of them
    bool finished = false;  // the thread runs no routine and takes none; joining waits only for
                            // the exit
    bool idle = false;      // between two routines: may be given the next one, or retired
    bool retired = false;   // told to exit instead of waiting for a routine
    PlatThread* given = nullptr;  // the routine handed over while idle
    std::condition_variable wake;  // waited on under joinableLock
    Joinable* next = nullptr;
};

// A plain pointer and a mutex without a destructor: nothing here is torn down at exit while a
// thread might still be on its way out.
std::mutex joinableLock;
Joinable* joinables = nullptr;

// Joins every thread that has finished, and, when retireIdle is set, first tells the idle ones
// to exit and joins them too. Returns the number of threads not joined. Never joins the calling
// thread: a thread is marked finished or idle only after its routine has returned, and it calls
// nothing of this layer's interface afterwards. In a child forked from the process that made them
// the threads do not exist: their entries are dropped unjoined (and not freed).
int32_t JoinFinished(bool retireIdle) {
    Joinable* finished = nullptr;
    int32_t remaining = 0;
    const pid_t process = getpid();
    {
        std::lock_guard<std::mutex> guard(joinableLock);
        for (Joinable** link = &joinables; *link != nullptr;) {
            Joinable* entry = *link;
            if (entry->process != process) {
                // Left to leak: the entry's condition variable may show a waiter, its thread in
                // the parent, and destroying it would wait for that waiter for ever.
                *link = entry->next;
                continue;
            }
            if (entry->idle && retireIdle) {
                entry->idle = false;
                entry->retired = true;
                entry->finished = true;
                entry->wake.notify_one();
            }
            if (entry->finished) {
                *link = entry->next;
                entry->next = finished;
                finished = entry;
            } else {
                ++remaining;
                link = &entry->next;
            }
        }
    }
    while (finished != nullptr) {
        Joinable* entry = finished;
        finished = entry->next;
        pthread_join(entry->id, nullptr);
        delete entry;
    }
    return remaining;
}

// Threads that have ended since the last question, and those waiting for a routine, are joined
// when this code goes (at unload or at the end of the process), so that none is left running it.
struct JoinWhenUnloaded {
    ~JoinWhenUnloaded() { JoinFinished(true); }
} joinWhenUnloaded;

}  // namespace

// One record per routine run, shared by the handle and the running thread; whichever lets go last
// frees it, so closing the handle of a running thread is safe (as CloseHandle is on Windows).
struct PlatThread {
    std::mutex lock;
    std::condition_variable ended;
    // Read without the lock, so that a caller polling for the end never holds up the thread that
    // is ending; exitCode is written before running turns false and read only after it has.
    std::atomic<bool> running{true};
    uint32_t exitCode = PLAT_STILL_ACTIVE;
    int references = 2;  // the handle and the thread
    PlatThreadRoutine routine = nullptr;
    void* parameter = nullptr;
};

namespace {

// Drops one reference; frees the record with the last one.
void Unreference(PlatThread* thread) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        last = --thread->references == 0;
    }
    if (last) {
        delete thread;
    }
}

// Waits, idle, for the next routine. Returns it, or null when the thread is to exit: retired, or
// nothing came in time (the thread then marks itself finished, to be joined by the next caller).
PlatThread* WaitForRoutine(Joinable* self) {
    std::unique_lock<std::mutex> guard(joinableLock);
    self->wake.wait_for(guard, kIdleTime,
                        [self] { return self->given != nullptr || self->retired; });
    PlatThread* given = self->given;
    self->given = nullptr;
    if (given == nullptr && !self->retired) {
        self->idle = false;
        self->finished = true;
    }
    return given;
}

struct Start {
    PlatThread* thread;
    Joinable* self;
};

void* Trampoline(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    for (PlatThread* thread = start.thread; thread != nullptr;
         thread = WaitForRoutine(start.self)) {
        uint32_t code = thread->routine(thread->parameter);
        {
            // Idle before the end becomes visible, so that whoever sees the end finds the thread
            // able to take the next routine or to be retired and joined at once; what is left of
            // this routine runs without waiting on anything.
            std::lock_guard<std::mutex> guard(joinableLock);
            start.self->idle = true;
        }
        {
            std::lock_guard<std::mutex> guard(thread->lock);
            thread->exitCode = code;
            thread->running.store(false, std::memory_order_release);
            thread->ended.notify_all();
        }
        Unreference(thread);
    }
    return nullptr;
}

}  // namespace

PlatThread* PlatThreadCreate(PlatThreadRoutine routine, void* parameter) {
    if (routine == nullptr || PlatTakeFault(PlatFault::ThreadCreate)) {
        return nullptr;
    }
    auto* thread = new (std::nothrow) PlatThread;
    if (thread == nullptr) {
        return nullptr;
    }
    thread->routine = routine;
    thread->parameter = parameter;
    // Threads that have ended are joined here too, so that they do not pile up between two
    // questions of PlatThreadLiveCount.
    JoinFinished(false);

    std::unique_lock<std::mutex> guard(joinableLock);
    const pid_t process = getpid();
    for (Joinable* entry = joinables; entry != nullptr; entry = entry->next) {
        if (entry->idle && entry->process == process) {
            entry->idle = false;
            entry->given = thread;
            // Woken after the unlock, so that it does not wake only to wait for the lock. The
            // entry stays: its thread exits only after it has taken the routine.
            guard.unlock();
            entry->wake.notify_one();
            return thread;
        }
    }
    auto* joinable = new (std::nothrow) Joinable;
    auto* start = new (std::nothrow) Start{thread, joinable};
    // The list is locked across the creation so that the new thread cannot mark its entry idle
    // before the entry is in the list.
    if (joinable == nullptr || start == nullptr ||
        pthread_create(&joinable->id, nullptr, Trampoline, start) != 0) {
        delete start;
        delete joinable;
        delete thread;
        return nullptr;
    }
    joinable->process = process;
    joinable->next = joinables;
    joinables = joinable;
    return thread;
}

bool PlatThreadIsRunning(PlatThread* thread) {
    if (thread == nullptr) {
        return false;
    }
    return thread->running.load(std::memory_order_acquire);
}

bool PlatThreadExitCode(PlatThread* thread, uint32_t* code) {
    if (thread == nullptr || code == nullptr) {
        return false;
    }
    *code = thread->running.load(std::memory_order_acquire) ? PLAT_STILL_ACTIVE : thread->exitCode;
    return true;
}

int32_t PlatThreadWait(PlatThread* thread, uint32_t timeoutMs) {
    if (thread == nullptr) {
        return PLAT_WAIT_ENDED;
    }
    std::unique_lock<std::mutex> guard(thread->lock);
    bool ended = thread->ended.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                        [thread] { return !thread->running; });
    return ended ? PLAT_WAIT_ENDED : PLAT_WAIT_TIMEOUT;
}

void PlatThreadClose(PlatThread* thread) {
    if (thread != nullptr) {
        Unreference(thread);
    }
}

int32_t PlatThreadLiveCount() {
    return JoinFinished(true);
}

uint32_t PlatProcessId() {
    return static_cast<uint32_t>(getpid());
}

uint32_t PlatPrivateDirectory(char* buffer, uint32_t capacity) {
    char path[4096];
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] != '\0') {
        if (runtime[0] != '/' || snprintf(path, sizeof path, "%s", runtime) >= int(sizeof path)) {
            return 0;
        }
    } else {
        snprintf(path, sizeof path, "/tmp/kestrel-%u", static_cast<unsigned>(geteuid()));
        if (mkdir(path, 0700) != 0 && errno != EEXIST) {
            return 0;
        }
    }
    // lstat, not stat: a symbolic link planted under the expected name is refused, not followed.
    struct stat info {};
    if (lstat(path, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return 0;
    }
    size_t length = strlen(path);
    if (buffer == nullptr || length + 1 > capacity) {
        return static_cast<uint32_t>(length + 1);
    }
    memcpy(buffer, path, length + 1);
    return static_cast<uint32_t>(length);
}
