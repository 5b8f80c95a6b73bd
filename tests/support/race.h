// Forced interleavings of two requests for scenario tests: one request is held at a boundary of its
// locked sections while the other runs until it finishes or has to wait, then the first goes on.
// Swept over the 1st, 2nd, ... boundary, this tries every point where the second request can slip
// in between two sections of the first, without naming the driver's locks.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "simkernel/hooks.h"

namespace msdsc::testing {

// The lock boundaries a sweep tries at most; a path that reaches more is reported.
inline constexpr unsigned MAX_LOCK_BOUNDARIES = 80;

// Runs `held` on a thread of its own and holds it at its nth lock boundary; then runs `racer` on
// another thread until it finishes or waits in the kernel; then lets `held` go and waits for both.
// With `racerInFlight`, the racer is started first and held at its own first boundary, so that it
// is a request already inside the driver when `held` begins. Returns false when `held` finished
// without reaching its nth boundary (the racer then ran after it).
inline bool RaceAtLockBoundary(unsigned nth, const std::function<void()>& held, const std::function<void()>& racer,
                               bool racerInFlight = false)
{
    using namespace simk::hooks;
    RaceThread racerThread(racer);
    std::unique_ptr<Gate> entry;
    if (racerInFlight) {
        entry = std::make_unique<Gate>(LockBoundary(1, racerThread.KernelThread()));
        racerThread.Go();
        EXPECT_TRUE(WaitUntil([&] { return entry->Held() || racerThread.Done(); }))
            << "the racing request neither entered the driver nor finished";
    }
    RaceThread heldThread(held);
    Gate gate(LockBoundary(nth, heldThread.KernelThread()));
    heldThread.Go();
    EXPECT_TRUE(WaitUntil([&] { return gate.Held() || heldThread.Done(); }))
        << "the held request neither reached boundary " << nth << " nor finished";
    const bool reached = gate.Reached();
    if (entry) {
        entry->Release();
    } else {
        racerThread.Go();
    }
    EXPECT_TRUE(racerThread.WaitDoneOrWaiting())
        << "the racing request neither finished nor waited in the kernel while the other was held";
    gate.Release();
    EXPECT_TRUE(heldThread.Join()) << "the held request did not finish once let go";
    EXPECT_TRUE(racerThread.Join()) << "the racing request did not finish";
    EXPECT_FALSE(gate.TimedOut());
    return reached;
}

} // namespace msdsc::testing
