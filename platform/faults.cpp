// The test seams, shared by every backend: counters that make the next calls of a kind fail.

#include "faults.h"

#include <atomic>

#include "platform.h"
#include "threads.h"

namespace {

std::atomic<int32_t> faults[8];
std::atomic<int32_t> sendsToPass{0};

bool TakeOne(std::atomic<int32_t>& counter) {
    int32_t current = counter.load();
    while (current > 0) {
        if (counter.compare_exchange_weak(current, current - 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool PlatTakeFault(PlatFault kind) {
    if (kind == PlatFault::Send && faults[0].load() > 0 && TakeOne(sendsToPass)) {
        return false;  // this send still goes through
    }
    return TakeOne(faults[static_cast<int>(kind)]);
}

void PlatSetFaults(const PlatFaults& f) {
    faults[static_cast<int>(PlatFault::Send)] = f.failSends;
    sendsToPass = f.sendsToPass;
    faults[static_cast<int>(PlatFault::ShortFileWrite)] = f.shortFileWrites;
    faults[static_cast<int>(PlatFault::FileRead)] = f.failFileReads;
    faults[static_cast<int>(PlatFault::FileCreate)] = f.failFileCreates;
    faults[static_cast<int>(PlatFault::WindowCreate)] = f.failWindowCreates;
    faults[static_cast<int>(PlatFault::ClassRegister)] = f.failClassRegisters;
    faults[static_cast<int>(PlatFault::SlowLookup)] = f.slowLookups;
}

void PlatSetThreadCreateFailures(int32_t count) {
    faults[static_cast<int>(PlatFault::ThreadCreate)] = count;
}
