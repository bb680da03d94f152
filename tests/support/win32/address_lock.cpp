// The Windows suites reach their scripted servers on ports the system chooses and start no real
// server on a fixed port, so there is nothing to take turns on: a fixed port is refused, with
// the reason, rather than locked by a mechanism that no Windows test uses.
#include "address_lock.h"

namespace ktest {

bool AddressLock::acquire(const std::string& address, uint16_t port, std::chrono::milliseconds,
                          std::string* why) {
    release();
    *why = "no fixed port (" + address + ":" + std::to_string(port) +
           ") in the Windows suites: listen on port 0";
    return false;
}

void AddressLock::release() {
    fd_ = -1;
}

}  // namespace ktest
