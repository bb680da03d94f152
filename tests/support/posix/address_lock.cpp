#include "address_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ktest {

bool AddressLock::acquire(const std::string& address, uint16_t port,
                          std::chrono::milliseconds timeout, std::string* why) {
    release();
    // Mode 1777 like /tmp itself, so that tests of any user can share the locks.
    const char* directory = "/tmp/kestrel-ftp-locks";
    if (::mkdir(directory, 01777) == 0) {
        ::chmod(directory, 01777);  // past the umask
    }
    std::string path = std::string(directory) + "/" + address + "-" + std::to_string(port) +
                       ".lock";
    // Read-only is enough for flock, and works on a file that another user created.
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        *why = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *why = "cannot lock " + path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *why = "another test kept " + address + ":" + std::to_string(port) + " for " +
                   std::to_string(timeout.count()) + " ms";
            ::close(fd);
            return false;
        }
        // flock has no timed wait: look again shortly.
        ::poll(nullptr, 0, 20);
    }
    fd_ = fd;
    return true;
}

void AddressLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);  // drops the lock
        fd_ = -1;
    }
}

}  // namespace ktest
