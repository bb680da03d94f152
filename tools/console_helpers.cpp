#include "console_helpers.h"

#include <cctype>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "console.h"
#include "platform.h"

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool FileExists(const std::string& path) {
    for (int32_t mode : {PLAT_OF_READ, PLAT_OF_WRITE}) {
        int32_t file = PlatFileOpen(path.c_str(), mode);
        if (file != PLAT_FILE_ERROR) {
            PlatFileClose(file);
            return true;
        }
    }
    return false;
}

int64_t FileLength(const std::string& path) {
    int32_t file = PlatFileOpen(path.c_str(), PLAT_OF_READ);
    if (file == PLAT_FILE_ERROR) {
        return -1;
    }
    int64_t length = PlatFileSeek(file, 0, PLAT_FILE_END);
    PlatFileClose(file);
    return length;
}

bool InterruptTaken(bool interactive) {
    int32_t pending = PlatInterruptPending();
    if (pending == 0) {
        return true;
    }
    if (interactive && pending == PLAT_INTERRUPT) {
        PlatInterruptClear();
        return true;
    }
    return false;
}

void RunWithinLimit(std::chrono::milliseconds limit, const std::function<void()>& work,
                    const std::function<void()>& tooLong) {
    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!ended.wait_for(guard, limit, [&] { return finished; })) {
            tooLong();
        }
    });
    work();
    {
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
    }
    ended.notify_one();
    watchdog.join();
}
