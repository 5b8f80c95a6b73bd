// Hooks at kernel routines: a gate that holds one thread at a chosen call, what the other thread
// is seen doing meanwhile, and the call points that fault injection shares with the hooks.
#include <stdexcept>
#include <vector>

#include "simkernel/faults.h"
#include "simkernel/hooks.h"
#include "simkernel/testing.h"

namespace {

using simk::Call;
using simk::When;
using simk::hooks::At;
using simk::hooks::Gate;
using simk::hooks::Hook;
using simk::hooks::Point;
using simk::hooks::RaceThread;

class Hooks : public simk::testing::KernelTest
{};

void Lock(PFAST_MUTEX mutex)
{
    KeEnterCriticalRegion();
    ExAcquireFastMutexUnsafe(mutex);
}

void Unlock(PFAST_MUTEX mutex)
{
    ExReleaseFastMutexUnsafe(mutex);
    KeLeaveCriticalRegion();
}

// The gate holds its thread at the second acquisition made on that thread, after the call: with
// the mutex taken. Another thread's acquisitions are not counted, and it is seen waiting for the
// mutex until the held thread is let go.
TEST_F(Hooks, AGateHoldsItsThreadAtTheNthCallWhileAnotherWaitsForItsLock)
{
    FAST_MUTEX first, second;
    ExInitializeFastMutex(&first);
    ExInitializeFastMutex(&second);
    std::vector<int> order;
    std::mutex orderLock;
    auto note = [&](int step) {
        std::lock_guard<std::mutex> guard(orderLock);
        order.push_back(step);
    };

    RaceThread held([&] {
        Lock(&first);
        Unlock(&first);
        Lock(&second);
        note(1);
        Unlock(&second);
    });
    Gate gate(At(Call::ExAcquireFastMutexUnsafe, When::After, 2, held.KernelThread()));
    // The test thread's own acquisition does not count towards the held thread's second.
    Lock(&second);
    Unlock(&second);
    held.Go();
    ASSERT_TRUE(gate.WaitHeld());
    EXPECT_EQ(gate.Where().object, &second);
    EXPECT_EQ(gate.Where().thread, held.KernelThread());
    EXPECT_TRUE(simk::hooks::IsWaiting(held.KernelThread()));

    RaceThread racer([&] {
        Lock(&second);
        note(2);
        Unlock(&second);
    });
    racer.Go();
    ASSERT_TRUE(racer.WaitDoneOrWaiting());
    EXPECT_FALSE(racer.Done()) << "the racer got a mutex the held thread owns";
    gate.Release();
    EXPECT_FALSE(simk::hooks::IsWaiting(held.KernelThread()));
    ASSERT_TRUE(held.Join());
    ASSERT_TRUE(racer.Join());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(gate.TimedOut());
}

// A point that is never reached leaves the thread alone; a hook with nth 0 sees every matching
// call, and `match` picks calls by their object.
TEST_F(Hooks, PointsCountOnlyTheCallsTheyMatch)
{
    FAST_MUTEX watched, other;
    ExInitializeFastMutex(&watched);
    ExInitializeFastMutex(&other);
    unsigned seen = 0;
    Point point = At(Call::ExReleaseFastMutexUnsafe, When::Before, 0);
    point.match = [&](const simk::CallSite& site) { return site.object == &watched; };
    Hook every(point, [&](const simk::CallSite&) { ++seen; });
    Gate never(At(Call::IoDeleteDevice, When::Before));
    for (int i = 0; i < 3; ++i) {
        Lock(&watched);
        Unlock(&watched);
        Lock(&other);
        Unlock(&other);
    }
    EXPECT_EQ(seen, 3u);
    EXPECT_TRUE(every.Fired());
    EXPECT_FALSE(never.Reached());
}

// Fault injection goes through the same call points: a hook before an armed call runs, and the
// call still fails. Routines that cannot fail refuse to be armed.
TEST_F(Hooks, FaultInjectionSharesTheCallPoints)
{
    bool hooked = false;
    Hook hook(At(Call::ExAllocatePoolWithTag, When::Before, 2),
              [&](const simk::CallSite& site) { hooked = site.tag == simk::Tag("hook"); });
    simk::faults::FailNth(Call::ExAllocatePoolWithTag, 2);
    PVOID first = ExAllocatePoolWithTag(PagedPool, 8, simk::Tag("hook"));
    PVOID second = ExAllocatePoolWithTag(PagedPool, 8, simk::Tag("hook"));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(hooked);
    EXPECT_EQ(simk::faults::CallCount(Call::ExAllocatePoolWithTag), 2u);
    ExFreePool(first);
    EXPECT_THROW(simk::faults::FailNth(Call::ExAcquireFastMutexUnsafe, 1), std::invalid_argument);
}

} // namespace
