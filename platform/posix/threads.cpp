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
};

namespace {

std::atomic<int32_t> liveThreads{0};

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
        std::lock_guard<std::mutex> guard(thread->lock);
        // Counted down before the end becomes visible, so that whoever sees the end also sees the
        // count without this thread.
        liveThreads.fetch_sub(1);
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
    thread->routine = routine;
    thread->parameter = parameter;
    liveThreads.fetch_add(1);
    pthread_t id;
    if (pthread_create(&id, nullptr, Trampoline, thread) != 0) {
        liveThreads.fetch_sub(1);
        delete thread;
        return nullptr;
    }
    // Nobody joins: the end is learnt through the record, as with a Windows thread handle.
    pthread_detach(id);
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
    return liveThreads.load();
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
