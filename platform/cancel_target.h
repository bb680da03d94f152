// Internal to the platform backends: the bookkeeping of a cancel target that both share.
//
// A cancel target keeps the list of threads blocked on it right now. Cancelling (or raising) it
// marks each of them and has the backend wake them; a thread that finds itself marked when its
// wait ends reports PLAT_WSAEINTR. A request that finds nobody blocked is dropped. The list, its
// lock, the raised flag and the thread's binding live here, once; how a blocked thread is woken
// (an eventfd per thread on POSIX, a wake-up datagram per target on Win32) is the backend's part,
// behind the three CancelWake functions below.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform.h"

// One thread blocked on a target. A backend whose waiters carry more (their own wake-up
// descriptor) derives from it.
struct CancelWaiter {
    bool cancelled = false;  // marked by a cancellation; written and read under the target's lock
};

// The backend's wake-up state of one target (Win32: the wake-up socket), made on the first wait
// through CancelWakeReady; the POSIX backend keeps none.
struct CancelWake;

struct PlatCancelTarget {
    std::mutex lock;
    std::vector<CancelWaiter*> waiters;
    // Set by PlatCancelTargetRaise; read without the lock on every wait, set and checked again
    // under it when a waiter registers, so a raise never misses a wait that is about to start.
    std::atomic<bool> raised{false};
    CancelWake* wake = nullptr;

    ~PlatCancelTarget();
};

// True (and PLAT_WSAEINTR set) when target is raised, so that a wait ends before it starts.
// target may be null (never raised).
bool CancelTargetRaised(PlatCancelTarget* target);

// Lists self as blocked on target. False, with the last socket error set, when target was raised
// meanwhile (PLAT_WSAEINTR) or the backend cannot wake a waiter (CancelWakeReady failed).
bool CancelTargetEnter(PlatCancelTarget* target, CancelWaiter* self);

// Takes self off target's list. Returns whether self was cancelled; when self was the last
// marked waiter to leave, CancelWakeSettled runs first.
bool CancelTargetLeave(PlatCancelTarget* target, CancelWaiter* self);

// True when a waiter of target is marked. Call with target's lock held.
bool CancelTargetAnyMarked(const PlatCancelTarget* target);

// --- The backend's part, one definition in each of posix/cancel.cpp and win32/cancel.cpp. ---

// Makes target's wake-up state if the backend needs one and there is none yet. Called with the
// lock held before a waiter is listed. False (last socket error set) when it cannot be made.
bool CancelWakeReady(PlatCancelTarget* target);
// Wakes every waiter of target (all are marked). Called with the lock held, waiters not empty.
void CancelWakeWaiters(PlatCancelTarget* target);
// The last marked waiter has left: clears what still signals the cancellation to the target's
// waits. Called with the lock held.
void CancelWakeSettled(PlatCancelTarget* target);
// Frees target's wake-up state (null: none was made).
void CancelWakeFree(CancelWake* wake);
