// Time, thread identity, debugger output, writability, hidden windows and test seams on Win32.

#include <atomic>
#include <mutex>

#include "platform.h"
#include "win32/wait.h"

namespace {

const char WINDOW_CLASS_NAME[] = "Kestrel Xtra";

std::mutex sinkLock;
PlatDebugSink sink = nullptr;
void* sinkContext = nullptr;


// The instance a class is registered for: the one given, or for none the module that holds this
// code (the DLL when it is linked into one), so that a session without a host window still gets
// a class and a window of its own module.
HINSTANCE ClassInstance(PlatInstance instance) {
    if (instance != nullptr) {
        return static_cast<HINSTANCE>(instance);
    }
    HMODULE self = nullptr;
    GetModuleHandleExA(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCSTR>(&ClassInstance), &self);
    return self;
}

}  // namespace

uint32_t PlatTickCount() {
    return GetTickCount();
}

uint32_t PlatCurrentThreadId() {
    return GetCurrentThreadId();
}

void PlatDebugOutput(const char* text) {
    if (text == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(sinkLock);
    if (sink != nullptr) {
        sink(text, sinkContext);
        return;
    }
    OutputDebugStringA(text);
}

void PlatSetDebugSink(PlatDebugSink newSink, void* context) {
    std::lock_guard<std::mutex> guard(sinkLock);
    sink = newSink;
    sinkContext = context;
}

// IsBadWritePtr is not used: it probes by rewriting a byte of every page, which races with any
// other thread writing there, and it can take away a thread's stack guard page. Callers pass the
// addresses of their own variables; a null one is what this guards against.
bool PlatIsWritable(const void* p, size_t) {
    return p != nullptr;
}

PlatInstance PlatWindowInstance(PlatWindow window) {
    if (window == nullptr) {
        return nullptr;
    }
    // Zero for a handle that is not a window; the class functions then use this module's own.
    return reinterpret_cast<PlatInstance>(
        GetWindowLongPtrA(static_cast<HWND>(window), GWLP_HINSTANCE));
}

int32_t PlatWindowClassRegister(PlatInstance instance) {
    if (PlatTakeFault(PlatFault::ClassRegister)) {
        return -1;
    }
    WNDCLASSA windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = DefWindowProcA;  // every message gets the default treatment
    windowClass.hInstance = ClassInstance(instance);
    windowClass.lpszClassName = WINDOW_CLASS_NAME;
    return RegisterClassA(&windowClass) != 0 ? 0 : -1;
}

int32_t PlatWindowClassUnregister(PlatInstance instance) {
    return UnregisterClassA(WINDOW_CLASS_NAME, ClassInstance(instance)) ? 0 : -1;
}

PlatWindow PlatWindowCreate(PlatWindow parent, PlatInstance instance) {
    if (PlatTakeFault(PlatFault::WindowCreate)) {
        return nullptr;
    }
    // No WS_VISIBLE: the window is never shown. With a parent it is owned by that window.
    HWND window = CreateWindowA(WINDOW_CLASS_NAME, "", 0, 0, 0, 0, 0, static_cast<HWND>(parent),
                                nullptr, ClassInstance(instance), nullptr);
    return window;
}

void PlatWindowDestroy(PlatWindow window) {
    if (window != nullptr) {
        DestroyWindow(static_cast<HWND>(window));
    }
}
