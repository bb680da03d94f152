// Dynamic libraries, the program's directory and the host's window stand-in on POSIX.

#include "library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// What the host hands out as its window: any object of its own does, since the platform's
// windows here are stand-ins that only remember their owner's instance.
struct HostWindow {
    char unused;
};

}  // namespace

PlatLibrary* PlatLibraryLoad(const char* path, char* error, uint32_t capacity) {
    void* handle = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (handle == nullptr && error != nullptr && capacity > 0) {
        const char* reason = path != nullptr ? dlerror() : "no path";
        snprintf(error, capacity, "%s", reason != nullptr ? reason : "unknown error");
    }
    return static_cast<PlatLibrary*>(handle);
}

void* PlatLibrarySymbol(PlatLibrary* library, const char* name) {
    if (library == nullptr || name == nullptr) {
        return nullptr;
    }
    return dlsym(library, name);
}

void PlatLibraryFree(PlatLibrary* library) {
    if (library != nullptr) {
        dlclose(library);
    }
}

uint32_t PlatProgramDirectory(char* buffer, uint32_t capacity) {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return 0;
    }
    path[length] = '\0';
    char* slash = strrchr(path, '/');
    if (slash == nullptr) {
        return 0;
    }
    slash[1] = '\0';
    const size_t size = strlen(path);
    if (buffer == nullptr || size + 1 > capacity) {
        return static_cast<uint32_t>(size + 1);
    }
    memcpy(buffer, path, size + 1);
    return static_cast<uint32_t>(size);
}

PlatWindow PlatHostWindowCreate() {
    return new (std::nothrow) HostWindow{};
}

void PlatHostWindowDestroy(PlatWindow window) {
    delete static_cast<HostWindow*>(window);
}
