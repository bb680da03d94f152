#include "script_instance.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "dispatcher.h"
#include "ftp.h"

namespace {

// Object numbers: each `new` takes the current value as its session key. Never reset, so keys
// are not reused while the module stays loaded.
std::atomic<int32_t> instanceCounter{0};

// Sessions made by `new` and not yet destroyed by `forget`.
std::atomic<int32_t> liveSessions{0};

// Fills self->listingPath: the private directory, a separator unless it already ends in one,
// "FTPDir" and three digits. False when there is no usable directory or the path would not fit.
bool MakeListingPath(ScriptInstance* self, uint32_t digits) {
    char directory[SCRIPT_LISTING_PATH_SIZE];
    uint32_t length = PlatPrivateDirectory(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory) {
        return false;
    }
    const char separator[2] = {PLAT_PATH_SEPARATOR, '\0'};
    bool endsInSeparator = directory[length - 1] == PLAT_PATH_SEPARATOR;
    int written = snprintf(self->listingPath, sizeof self->listingPath, "%s%sFTPDir%03u", directory,
                           endsInSeparator ? "" : separator, digits % 1000u);
    if (written < 0 || written >= int(sizeof self->listingPath)) {
        self->listingPath[0] = '\0';
        return false;
    }
    return true;
}

}  // namespace

int32_t ScriptNew(ScriptInstance* self) {
    void* first = nullptr;
    void* second = nullptr;
    if (self->valueInterface != nullptr) {
        self->valueInterface->ops->GetHostWindows(self->valueInterface, &first, &second);
    }
    // fetch_add wraps instead of overflowing after 2^31 objects.
    self->sessionKey = instanceCounter.fetch_add(1);
    int32_t result = FtpCreateSession(static_cast<PlatWindow>(second), self->sessionKey);
    if (result != FTP_OK) {
        return result;
    }
    ScriptCountSession(+1);
    uint32_t number = static_cast<uint32_t>(self->sessionKey) + 1u;
    if (!MakeListingPath(self, number)) {
        return FTP_NO_MEMORY;
    }
    return FTP_OK;
}

void ScriptInstanceShutdown(ScriptInstance* self) {
    StopWorker(self);
}

bool ScriptModuleBusy() {
    return liveSessions.load() > 0 || PlatThreadLiveCount() > 0;
}

void ScriptCountSession(int32_t change) {
    liveSessions.fetch_add(change);
}
