// Hooks at kernel routines, for tests that force one interleaving of two threads: hold a thread
// when the driver calls a chosen routine (before or after the call, on its n-th call, only on one
// thread if asked), let another thread send its request until it finishes or waits in the kernel,
// then let the first go. Every wait is bounded, so a deadlock fails the test instead of hanging it.
// Hooks count calls through the same call points as fault injection (simkernel/faults.h).
#pragma once

#include <wdm.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "simkernel/calls.h"

namespace simk::hooks {

// How long a test waits for a thread to reach a point, to finish or to wait in the kernel, and
// how long a held thread waits to be let go, before the wait counts as a deadlock.
inline constexpr std::chrono::milliseconds kBound{10000};

struct Site {
    Call call;
    When when;
};

// Where a hook fires: the `nth` (1-based) call, counted from the arming, that is at one of the
// sites, made on `thread` (any thread when null) and accepted by `match` (every call when empty).
// `match` runs inside the kernel's bookkeeping: it may look at the call, never call the kernel.
struct Point {
    std::vector<Site> sites;
    unsigned nth = 1;
    HANDLE thread = nullptr;
    std::function<bool(const CallSite&)> match;
};

// A point at one site: At(Call::IoDeleteDevice, When::Before) is the next call of IoDeleteDevice,
// just before it runs.
Point At(Call call, When when, unsigned nth = 1, HANDLE thread = nullptr);

// The boundaries of a thread's locked sections: before it takes a fast mutex and after it lets one
// go. Between two sections another thread's request can run to the end or to a lock it must wait for.
Point LockBoundary(unsigned nth, HANDLE thread);

// Runs `action` on the calling thread when the point is reached: once, or at every matching call
// when the point's nth is 0. Disarmed when destroyed.
class Hook
{
public:
    Hook(Point point, std::function<void(const CallSite&)> action);
    ~Hook();
    Hook(const Hook&) = delete;
    Hook& operator=(const Hook&) = delete;
    bool Fired() const;

private:
    unsigned long long m_Id;
    std::shared_ptr<std::atomic<bool>> m_Fired;
};

// Holds the one thread that reaches the point (an nth of 0 counts as 1) until Release. The held
// thread counts as waiting in the kernel. A held thread that is not let go within kBound goes on by itself and TimedOut is set.
class Gate
{
public:
    explicit Gate(Point point);
    ~Gate(); // disarms and lets a held thread go
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    bool Held() const;    // a thread is held now
    bool Reached() const; // a thread was held (and may have been let go since)
    bool WaitHeld(std::chrono::milliseconds bound = kBound) const;
    void Release(); // returns once a held thread has left the gate
    bool TimedOut() const;
    const CallSite& Where() const; // the call that was held (valid once Reached)

    struct State;

private:
    unsigned long long m_Id;
    std::shared_ptr<State> m_State;
};

// A thread for one side of a race. It exists (and has its kernel thread identity) from
// construction, so a hook can be armed for it, and runs `body` at Go. Destroying one that has not
// finished within kBound stops the process with a message: the test deadlocked.
class RaceThread
{
public:
    explicit RaceThread(std::function<void()> body);
    ~RaceThread();
    RaceThread(const RaceThread&) = delete;
    RaceThread& operator=(const RaceThread&) = delete;

    HANDLE KernelThread() const; // what PsGetCurrentThreadId returns on it
    void Go();
    bool Done() const;
    // True when the body has finished or the thread waits in the kernel (for a fast mutex, an event
    // or at a gate); false when neither happened within `bound`.
    bool WaitDoneOrWaiting(std::chrono::milliseconds bound = kBound) const;
    bool Join(std::chrono::milliseconds bound = kBound); // false: still running after `bound`

    struct State;

private:
    std::shared_ptr<State> m_State;
};

// True when `condition` holds within `bound` (polled).
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound = kBound);

// The kernel thread `thread` is waiting in the kernel now: for a fast mutex, an event, or at a gate.
bool IsWaiting(HANDLE thread);

} // namespace simk::hooks
