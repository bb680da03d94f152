// A time limit for a whole call that waits several times, measured from its start: what the
// TLS backends give each wait of a handshake, a send or a receive. For the backends only.
#pragma once

#include <cstdint>

#include "platform.h"

class PlatDeadline {
public:
    // timeoutMs < 0: without limit; 0: no waiting at all.
    explicit PlatDeadline(int32_t timeoutMs) : timeoutMs_(timeoutMs), start_(PlatTickCount()) {}
    // What is left for the next wait: < 0 without limit, 0 when the time is up.
    int32_t Left() const {
        if (timeoutMs_ <= 0) {
            return timeoutMs_;
        }
        const uint32_t elapsed = PlatTickCount() - start_;
        return elapsed >= static_cast<uint32_t>(timeoutMs_)
                   ? 0
                   : timeoutMs_ - static_cast<int32_t>(elapsed);
    }

private:
    int32_t timeoutMs_;
    uint32_t start_;
};
