#include "script_instance.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "ftp.h"

namespace {

// Object numbers: each `new` takes the current value as its session key. Never reset, so keys
// are not reused while the module stays loaded.
std::atomic<int32_t> instanceCounter{0};

// Sessions made by `new` and not yet destroyed by `forget`.
std::atomic<int32_t> liveSessions{0};

// The listing files of objects that have not been forgotten or released. Whatever is left when
// the module goes (a host that ends without releasing its objects) is deleted then, so that no
// listing file outlives the process that wrote it.
class ListingFiles {
  public:
    ~ListingFiles() {
        for (const std::string& path : paths_) {
            PlatFileDelete(path.c_str());
        }
    }
    void Add(const char* path) {
        std::lock_guard<std::mutex> guard(lock_);
        paths_.emplace_back(path);
    }
    // Deletes the file and forgets it.
    void Remove(const char* path) {
        PlatFileDelete(path);
        std::lock_guard<std::mutex> guard(lock_);
        auto found = std::find(paths_.begin(), paths_.end(), path);
        if (found != paths_.end()) {
            paths_.erase(found);
        }
    }

  private:
    std::mutex lock_;
    std::vector<std::string> paths_;
};

ListingFiles listingFiles;

// Fills self->listingPath: the private directory, a separator unless it already ends in one,
// "FTPDir", the process id, "-" and the object's number (at least three digits). The directory is
// shared by every process of the user, and object numbers start again in each process, so the
// process id keeps two processes from writing, reading and deleting each other's listing; the
// number is not cut to three digits, so that the thousandth object does not share the first
// one's file. False when there is no usable directory or the path would not fit.
bool MakeListingPath(ScriptInstance* self, uint32_t number) {
    char directory[SCRIPT_LISTING_PATH_SIZE];
    uint32_t length = PlatPrivateDirectory(directory, sizeof directory);
    if (length == 0 || length >= sizeof directory) {
        return false;
    }
    const char separator[2] = {PLAT_PATH_SEPARATOR, '\0'};
    bool endsInSeparator = directory[length - 1] == PLAT_PATH_SEPARATOR;
    int written =
        snprintf(self->listingPath, sizeof self->listingPath, "%s%sFTPDir%u-%03u", directory,
                 endsInSeparator ? "" : separator, static_cast<unsigned>(PlatProcessId()), number);
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
    listingFiles.Add(self->listingPath);
    return FTP_OK;
}

void ScriptDeleteListingFile(ScriptInstance* self) {
    if (self->listingPath[0] != '\0') {
        listingFiles.Remove(self->listingPath);
    }
}

void ScriptInstanceShutdown(ScriptInstance* self) {
    StopWorker(self);
    ScriptDeleteListingFile(self);
}

bool ScriptModuleBusy() {
    return liveSessions.load() > 0 || PlatThreadLiveCount() > 0;
}

void ScriptCountSession(int32_t change) {
    liveSessions.fetch_add(change);
}
