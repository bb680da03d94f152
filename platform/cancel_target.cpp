// The cancel target's bookkeeping, shared by both backends (see cancel_target.h).

#include "cancel_target.h"

#include <algorithm>
#include <new>

namespace {

thread_local PlatCancelTarget* tlsTarget = nullptr;

// Marks every waiter of target and has the backend wake them. Call with the lock held and at
// least one waiter listed.
void MarkAndWake(PlatCancelTarget* target) {
    for (CancelWaiter* w : target->waiters) {
        w->cancelled = true;
    }
    CancelWakeWaiters(target);
}

}  // namespace

PlatCancelTarget::~PlatCancelTarget() {
    CancelWakeFree(wake);
}

PlatCancelTarget* PlatCancelTargetCreate() {
    return new (std::nothrow) PlatCancelTarget();
}

void PlatCancelTargetDestroy(PlatCancelTarget* target) {
    delete target;
}

PlatCancelTarget* PlatBindCancelTarget(PlatCancelTarget* target) {
    PlatCancelTarget* previous = tlsTarget;
    tlsTarget = target;
    return previous;
}

PlatCancelTarget* PlatBoundCancelTarget() {
    return tlsTarget;
}

int32_t PlatCancelBlockingCall(PlatCancelTarget* target) {
    if (target == nullptr) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    std::lock_guard<std::mutex> guard(target->lock);
    if (target->waiters.empty()) {
        PlatSetLastSocketError(PLAT_WSAEINVAL);
        return -1;
    }
    MarkAndWake(target);
    return 0;
}

void PlatCancelTargetRaise(PlatCancelTarget* target) {
    if (target == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(target->lock);
    target->raised = true;
    if (!target->waiters.empty()) {
        MarkAndWake(target);
    }
}

void PlatCancelTargetLower(PlatCancelTarget* target) {
    if (target != nullptr) {
        target->raised = false;
    }
}

bool PlatIsBlocking(PlatCancelTarget* target) {
    if (target == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> guard(target->lock);
    return !target->waiters.empty();
}

bool CancelTargetRaised(PlatCancelTarget* target) {
    if (target != nullptr && target->raised.load()) {
        PlatSetLastSocketError(PLAT_WSAEINTR);
        return true;
    }
    return false;
}

bool CancelTargetEnter(PlatCancelTarget* target, CancelWaiter* self) {
    std::lock_guard<std::mutex> guard(target->lock);
    if (target->raised.load()) {
        PlatSetLastSocketError(PLAT_WSAEINTR);
        return false;
    }
    if (!CancelWakeReady(target)) {
        return false;
    }
    target->waiters.push_back(self);
    return true;
}

bool CancelTargetLeave(PlatCancelTarget* target, CancelWaiter* self) {
    std::lock_guard<std::mutex> guard(target->lock);
    auto& ws = target->waiters;
    auto it = std::find(ws.begin(), ws.end(), self);
    if (it != ws.end()) {
        ws.erase(it);
    }
    if (self->cancelled && !CancelTargetAnyMarked(target)) {
        CancelWakeSettled(target);
    }
    return self->cancelled;
}

bool CancelTargetAnyMarked(const PlatCancelTarget* target) {
    return std::any_of(target->waiters.begin(), target->waiters.end(),
                       [](const CancelWaiter* w) { return w->cancelled; });
}
