// A lock on one listening address and port, shared by every test process on the machine, so
// that tests which must listen on a fixed port (a real server's 21, or a scripted server that a
// client reaches only on port 21) take turns instead of failing with "address in use" when
// ctest runs them in parallel. It is a lock file, /tmp/kestrel-ftp-locks/ADDRESS-PORT.lock,
// held with flock(2): the system releases it when its holder exits, however that happens.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ktest {

class AddressLock {
public:
    AddressLock() = default;
    ~AddressLock() { release(); }
    AddressLock(const AddressLock&) = delete;
    AddressLock& operator=(const AddressLock&) = delete;

    // Takes the lock for address:port, waiting up to `timeout` while another process (or
    // another AddressLock of this one) holds it. Returns false with the reason in `why`.
    bool acquire(const std::string& address, uint16_t port, std::chrono::milliseconds timeout,
                 std::string* why);
    void release();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace ktest
