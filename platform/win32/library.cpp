// Dynamic libraries, the program's directory and the host's hidden window on Win32.

#include "library.h"

#include <cstdio>
#include <cstring>

#include "win32/wait.h"

namespace {

const char HOST_WINDOW_CLASS_NAME[] = "Kestrel Host";

}  // namespace

PlatLibrary* PlatLibraryLoad(const char* path, char* error, uint32_t capacity) {
    HMODULE module = path != nullptr ? LoadLibraryA(path) : nullptr;
    if (module == nullptr && error != nullptr && capacity > 0) {
        const DWORD code = path != nullptr ? GetLastError() : ERROR_INVALID_PARAMETER;
        char text[256];
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, text, sizeof text, nullptr);
        while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                              text[length - 1] == ' ' || text[length - 1] == '.')) {
            --length;
        }
        text[length] = '\0';
        snprintf(error, capacity, "error %lu%s%s", static_cast<unsigned long>(code),
                 length > 0 ? ": " : "", text);
    }
    return reinterpret_cast<PlatLibrary*>(module);
}

void* PlatLibrarySymbol(PlatLibrary* library, const char* name) {
    if (library == nullptr || name == nullptr) {
        return nullptr;
    }
    FARPROC address = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
    void* result;
    static_assert(sizeof result == sizeof address);
    std::memcpy(&result, &address, sizeof result);  // a function address handed on as data
    return result;
}

void PlatLibraryFree(PlatLibrary* library) {
    if (library != nullptr) {
        FreeLibrary(reinterpret_cast<HMODULE>(library));
    }
}

uint32_t PlatProgramDirectory(char* buffer, uint32_t capacity) {
    char path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return 0;  // no name, or one cut short
    }
    char* separator = strrchr(path, '\\');
    if (separator == nullptr) {
        return 0;
    }
    separator[1] = '\0';
    const size_t size = strlen(path);
    if (buffer == nullptr || size + 1 > capacity) {
        return static_cast<uint32_t>(size + 1);
    }
    memcpy(buffer, path, size + 1);
    return static_cast<uint32_t>(size);
}

PlatWindow PlatHostWindowCreate() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = HOST_WINDOW_CLASS_NAME;
    if (RegisterClassA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return nullptr;
    }
    // A real top-level window that is never shown (no WS_VISIBLE).
    return CreateWindowA(HOST_WINDOW_CLASS_NAME, "Kestrel host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                         nullptr);
}

void PlatHostWindowDestroy(PlatWindow window) {
    if (window != nullptr) {
        DestroyWindow(static_cast<HWND>(window));
    }
}
