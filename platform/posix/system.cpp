// Time, thread identity, debugger output, writability, hidden windows and test seams on POSIX.

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <set>

#include "platform.h"
#include "posix/wait.h"

namespace {

std::mutex sinkLock;
PlatDebugSink sink = nullptr;
void* sinkContext = nullptr;

// Hidden windows stand in as small objects that remember their owner's instance.
struct Window {
    PlatWindow parent;
    PlatInstance instance;
};

std::mutex classLock;
std::set<PlatInstance>& RegisteredClasses() {
    static std::set<PlatInstance> classes;
    return classes;
}

}  // namespace

uint32_t PlatTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint32_t PlatCurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

void PlatDebugOutput(const char* text) {
    if (text == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(sinkLock);
    if (sink != nullptr) {
        sink(text, sinkContext);
        return;
    }
    fputs(text, stderr);
}

void PlatSetDebugSink(PlatDebugSink newSink, void* context) {
    std::lock_guard<std::mutex> guard(sinkLock);
    sink = newSink;
    sinkContext = context;
}

bool PlatIsWritable(const void* p, size_t) { return p != nullptr; }

PlatInstance PlatWindowInstance(PlatWindow window) {
    if (window == nullptr) {
        return nullptr;
    }
    // A host window that this layer did not make is its own instance stand-in.
    return window;
}

int32_t PlatWindowClassRegister(PlatInstance instance) {
    if (PlatTakeFault(PlatFault::ClassRegister)) {
        return -1;
    }
    std::lock_guard<std::mutex> guard(classLock);
    return RegisteredClasses().insert(instance).second ? 0 : -1;
}

int32_t PlatWindowClassUnregister(PlatInstance instance) {
    std::lock_guard<std::mutex> guard(classLock);
    return RegisteredClasses().erase(instance) == 1 ? 0 : -1;
}

PlatWindow PlatWindowCreate(PlatWindow parent, PlatInstance instance) {
    if (PlatTakeFault(PlatFault::WindowCreate)) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(classLock);
        if (RegisteredClasses().count(instance) == 0) {
            return nullptr;
        }
    }
    return new (std::nothrow) Window{parent, instance};
}

void PlatWindowDestroy(PlatWindow window) { delete static_cast<Window*>(window); }
