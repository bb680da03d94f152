// Sessions: creation, lookup, destruction, counters and the engine's trace line.
//
// The session list is shared between the thread that creates and destroys sessions and the
// worker threads that run operations, so it is guarded by one lock, held briefly and never across
// a network call. The list holds shared references; an operation in progress holds one more, so
// a session destroyed meanwhile stays readable until the operation has noticed (through
// FtpSessionIsValid) and returned.

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "session_internal.h"

namespace {

std::mutex listLock;
std::vector<FtpSessionRef>& SessionList() {
    static std::vector<FtpSessionRef> list;  // in creation order
    return list;
}
// Creation and destruction run one at a time (a failed creation destroys its half-made session,
// hence recursive); the list lock is not held across them.
std::recursive_mutex lifecycleLock;
// The length of the list, readable on every block of a transfer without taking the lock.
std::atomic<int32_t> sessionCount{0};

FtpSessionRef FindLocked(int32_t key) {
    for (const FtpSessionRef& s : SessionList()) {
        if (s->sessionKey == key) {
            return s;
        }
    }
    return nullptr;
}

}  // namespace

FtpSession::~FtpSession() {
    // A session still listed when the module goes away takes its window with it.
    if (hiddenWindow != nullptr) {
        PlatWindowDestroy(hiddenWindow);
    }
    if (cancelTarget != nullptr) {
        PlatCancelTargetDestroy(cancelTarget);
    }
}

FtpSessionRef FtpAcquireSession(int32_t key) {
    std::lock_guard<std::mutex> guard(listLock);
    return FindLocked(key);
}

bool FtpSessionIsValid(const FtpSession* session) {
    // The caller holds a reference, so the record itself is still readable.
    return session != nullptr && session->linked.load();
}

bool FtpOtherSessionsExist() { return sessionCount.load() > 1; }

FtpSession* FtpFindSession(int32_t key) { return FtpAcquireSession(key).get(); }

int32_t FtpSessionKeys(int32_t* keys, int32_t capacity) {
    std::lock_guard<std::mutex> guard(listLock);
    int32_t count = 0;
    for (const FtpSessionRef& s : SessionList()) {
        if (keys != nullptr && count < capacity) {
            keys[count] = s->sessionKey;
        }
        ++count;
    }
    return count;
}

int32_t FtpCreateSession(PlatWindow parentWindow, int32_t key) {
    std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock);
    if (FtpAcquireSession(key) != nullptr) {
        return FTP_SESSION_IN_USE;
    }
    if (NetInit() != NET_OK) {
        return FTP_WINSOCK_REQUIRED;
    }

    FtpSessionRef session(new (std::nothrow) FtpSession());
    PlatCancelTarget* target = session ? PlatCancelTargetCreate() : nullptr;
    if (target == nullptr) {
        // The network layer stays started, as for any failed allocation at creation.
        return FTP_NO_MEMORY;
    }
    session->cancelTarget = target;
    FtpApplyDefaultOptions(session.get());
    session->moduleInstance = PlatWindowInstance(parentWindow);
    session->sessionKey = key;
    bool alone;
    {
        std::lock_guard<std::mutex> guard(listLock);
        SessionList().push_back(session);
        session->linked = true;
        sessionCount = static_cast<int32_t>(SessionList().size());
        alone = SessionList().size() == 1;
    }

    if (alone && PlatWindowClassRegister(session->moduleInstance) != 0) {
        FtpDestroySession(key);
        return FTP_NO_RESOURCES;
    }
    PlatWindow window = PlatWindowCreate(parentWindow, session->moduleInstance);
    if (window == nullptr) {
        FtpDestroySession(key);
        return FTP_NO_RESOURCES;
    }
    session->hiddenWindow = window;
    session->parentWindow = parentWindow;
    return FTP_OK;
}

int32_t FtpDestroySession(int32_t key) {
    std::lock_guard<std::recursive_mutex> lifecycle(lifecycleLock);
    FtpSessionRef session = FtpAcquireSession(key);
    if (session == nullptr) {
        return FTP_NO_ACTIVE_SESSION;
    }
    {
        // The network layer refuses to shut down while a call of this session is blocked, and
        // cancels that call; binding the session's target lets it see and reach that call.
        PlatCancelScope scope(session->cancelTarget);
        if (NetCleanup() != NET_OK) {
            return FTP_SESSION_STILL_ACTIVE;
        }
    }
    if (session->hiddenWindow != nullptr) {
        PlatWindowDestroy(session->hiddenWindow);
        session->hiddenWindow = nullptr;
    }
    std::lock_guard<std::mutex> guard(listLock);
    auto& list = SessionList();
    if (list.size() == 1) {
        PlatWindowClassUnregister(session->moduleInstance);
    }
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == session) {
            list.erase(it);
            break;
        }
    }
    session->linked = false;
    sessionCount = static_cast<int32_t>(list.size());
    return FTP_OK;
}

int64_t FtpBytesTransferred(int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (!session) {
        return 0;
    }
    const int64_t count = session->bytesTransferred.load();
    const int64_t floor = session->progressFloor.load();
    return count > floor ? count : floor;
}

int64_t FtpBytesToBeTransferred(int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    return session ? session->bytesToBeTransferred.load() : 0;
}

void FtpResetCounters(int32_t key) {
    FtpSessionRef session = FtpAcquireSession(key);
    if (session) {
        session->bytesTransferred = 0;
        session->bytesToBeTransferred = 0;
        session->progressFloor = 0;
    }
}

void FtpTrace(const char* format, ...) {
    char line[512];
    int prefix = snprintf(line, sizeof line, "%ld: Proc %d\t", static_cast<long>(PlatTickCount()),
                          static_cast<int>(PlatCurrentThreadId()));
    if (prefix < 0) {
        return;
    }
    va_list args;
    va_start(args, format);
    vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix) - 2, format, args);
    va_end(args);
    strcat(line, "\r\n");
    PlatDebugOutput(line);
}

bool FtpHasLineBreak(const char* text) {
    return text != nullptr && strpbrk(text, "\r\n") != nullptr;
}

void FtpCopyText(char* output, int32_t capacity, const char* text) {
    if (output == nullptr || capacity <= 0) {
        return;
    }
    size_t n = 0;
    if (text != nullptr) {
        n = strnlen(text, static_cast<size_t>(capacity - 1));
        memcpy(output, text, n);
    }
    output[n] = '\0';
}

const char* FtpReplyTail(const char* replyText) {
    return strnlen(replyText, 4) < 4 ? "" : replyText + 4;
}
