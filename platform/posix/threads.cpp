// Worker threads with exit codes, and the private per-user directory, on POSIX.

#include "faults.h"
#include "threads.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// Every thread made here until it has been joined. A thread that has returned from its routine
// still runs the module's code on its way out (the end of Trampoline, the unlocking, freeing its
// record), so the module may go only once each one has been joined: pthread_join returns when
// the thread has left every function of the module.
struct Joinable {
    pthread_t id{};
    pid_t process = 0;      // the process the thread runs in; a forked child has none of them
    bool finished = false;  // the routine has returned; joining now waits only for the exit
    Joinable* next = nullptr;
};

// A plain pointer and a mutex without a destructor: nothing here is torn down at exit while a
// thread might still be on its way out.
std::mutex joinableLock;
Joinable* joinables = nullptr;

// Joins every thread whose routine has returned and returns the number of threads not joined.
// Never joins the calling thread: a thread is marked finished only after its routine has
// returned, and it calls nothing of this layer's interface afterwards. In a child forked from
// the process that made them the threads do not exist: their entries are dropped unjoined.
int32_t JoinFinished() {
    Joinable* finished = nullptr;
    int32_t remaining = 0;
    const pid_t process = getpid();
    {
        std::lock_guard<std::mutex> guard(joinableLock);
        for (Joinable** link = &joinables; *link != nullptr;) {
            Joinable* entry = *link;
            if (entry->process != process) {
                *link = entry->next;
                delete entry;
            } else if (entry->finished) {
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

// Threads that have ended since the last question are joined when this code goes (at unload or
// at the end of the process), so that none is left unjoined.
struct JoinWhenUnloaded {
    ~JoinWhenUnloaded() { JoinFinished(); }
} joinWhenUnloaded;

}  // namespace

// One record per thread, shared by the handle and the running thread; whichever lets go last
// frees it, so closing the handle of a running thread is safe (as CloseHandle is on Windows).
struct PlatThread {
    std::mutex lock;
    std::condition_variable ended;
    bool running = true;
    uint32_t exitCode = PLAT_STILL_ACTIVE;
    int references = 2;  // the handle and the thread
    PlatThreadRoutine routine = nullptr;
    void* parameter = nullptr;
    Joinable* joinable = nullptr;
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

void* Trampoline(void* argument) {
    auto* thread = static_cast<PlatThread*>(argument);
    uint32_t code = thread->routine(thread->parameter);
    {
        // Marked before the end becomes visible, so that whoever sees the end can join the
        // thread at once; what is left of it runs without waiting on anything.
        std::lock_guard<std::mutex> guard(joinableLock);
        thread->joinable->finished = true;
    }
    {
        std::lock_guard<std::mutex> guard(thread->lock);
        thread->exitCode = code;
        thread->running = false;
        thread->ended.notify_all();
    }
    Unreference(thread);
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
    auto* joinable = new (std::nothrow) Joinable;
    if (joinable == nullptr) {
        delete thread;
        return nullptr;
    }
    thread->routine = routine;
    thread->parameter = parameter;
    thread->joinable = joinable;
    joinable->process = getpid();
    // Threads that have ended are joined here too, so that they do not pile up between two
    // questions of PlatThreadLiveCount.
    JoinFinished();
    // The list is locked across the creation so that the new thread cannot mark its entry
    // finished before the entry is in the list.
    std::lock_guard<std::mutex> guard(joinableLock);
    if (pthread_create(&joinable->id, nullptr, Trampoline, thread) != 0) {
        delete joinable;
        delete thread;
        return nullptr;
    }
    joinable->next = joinables;
    joinables = joinable;
    return thread;
}

bool PlatThreadIsRunning(PlatThread* thread) {
    if (thread == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(thread->lock);
    return thread->running;
}

bool PlatThreadExitCode(PlatThread* thread, uint32_t* code) {
    if (thread == nullptr || code == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(thread->lock);
    *code = thread->running ? PLAT_STILL_ACTIVE : thread->exitCode;
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
    return JoinFinished();
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
