// The pace of a loop that polls for something another thread brings about (an operation's end):
// back to back, yielding the processor, for the first moments, so that a short operation's end is
// seen within microseconds; then sleeps that double up to a ceiling, so that a long wait costs no
// more than polling at the ceiling would.
#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

class PollPacer {
  public:
    using Clock = std::chrono::steady_clock;

    explicit PollPacer(Clock::duration eager = std::chrono::milliseconds(2),
                       Clock::duration ceiling = std::chrono::milliseconds(20))
        : eagerUntil_(Clock::now() + eager), ceiling_(ceiling) {}

    // Pauses before the next poll, called by the polling thread.
    void Pause() {
        if (Clock::now() < eagerUntil_) {
            std::this_thread::yield();
            return;
        }
        std::this_thread::sleep_for(sleep_);
        sleep_ = std::min<Clock::duration>(sleep_ * 2, ceiling_);
    }

  private:
    Clock::time_point eagerUntil_;
    Clock::duration ceiling_;
    Clock::duration sleep_ = std::chrono::microseconds(100);
};
