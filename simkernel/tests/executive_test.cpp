// The executive and kernel services drivers use directly: tagged pool with its accounting and
// rules, IRQL, events and waits, fast mutexes and spin locks, and stopping the system.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "kernel_test_driver.h"
#include "simkernel/pool.h"
#include "simkernel/testing.h"

namespace {

namespace rules = simk::verifier::rules;
using simk::Tag;

class Pool : public simk::testing::KernelTest
{};

TEST_F(Pool, AllocationsAreCountedByTagAndOwnerUntilFreed)
{
    simk::pool::Snapshot before;
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 24, Tag("ansl"));
    PVOID b = ExAllocatePoolWithTag(PagedPool, 100, Tag("apsl"));
    PVOID c = ExAllocatePoolWithTag(PagedPool, 7, Tag("apsl"));
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ((uintptr_t)a % 16, 0u);
    EXPECT_EQ(simk::pool::OutstandingCount(), 3u);
    EXPECT_EQ(simk::pool::OutstandingBytes(), 131u);
    EXPECT_EQ(simk::pool::OutstandingCount(Tag("apsl")), 2u);
    EXPECT_EQ(simk::pool::OutstandingBytes(Tag("apsl")), 107u);
    simk::pool::Allocation info{};
    ASSERT_TRUE(simk::pool::IsOutstanding(b, &info));
    EXPECT_EQ(info.type, PagedPool);
    EXPECT_EQ(simk::TagText(info.tag), "apsl");
    EXPECT_EQ(before.CountChangeByTag(), (std::map<ULONG, long>{{Tag("ansl"), 1}, {Tag("apsl"), 2}}));

    ExFreePoolWithTag(b, Tag("apsl"));
    ExFreePool(a); // no tag: nothing to compare
    EXPECT_EQ(simk::pool::OutstandingCount(), 1u);
    EXPECT_EQ(before.NewSince().size(), 1u);
    EXPECT_EQ(before.NewSince()[0].address, c);
    ExFreePoolWithTag(c, Tag("apsl"));
    EXPECT_TRUE(before.Unchanged());
}

TEST_F(Pool, AllocationsAreAttributedToTheDriverThatMadeThem)
{
    PVOID fromDriver = nullptr;
    ktest::InProcessDriver driver(u"PoolOwner");
    PDEVICE_OBJECT device = driver.CreateDevice();
    driver.OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        fromDriver = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("mine"));
        return ktest::CompleteIrp(irp, STATUS_SUCCESS);
    });
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(device, irp);
    IoFreeIrp(irp);
    PVOID fromTest = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("test"));
    EXPECT_EQ(simk::pool::OutstandingCount(driver.Driver()), 1u);
    simk::pool::Allocation info{};
    ASSERT_TRUE(simk::pool::IsOutstanding(fromDriver, &info));
    EXPECT_EQ(info.owner, driver.Driver());
    ASSERT_TRUE(simk::pool::IsOutstanding(fromTest, &info));
    EXPECT_EQ(info.owner, nullptr);
    ExFreePool(fromDriver);
    ExFreePool(fromTest);
    IoDeleteDevice(device);
}

TEST_F(Pool, FreeingMistakesAreCaught)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, Tag("good"));
    SIMK_EXPECT_VIOLATION(rules::PoolFreeWrongTag, ExFreePoolWithTag(p, Tag("evil")));
    EXPECT_FALSE(simk::pool::IsOutstanding(p));
    SIMK_EXPECT_VIOLATION(rules::PoolFreeUnknown, ExFreePool(p));
    int onStack = 0;
    SIMK_EXPECT_VIOLATION(rules::PoolFreeUnknown, ExFreePool(&onStack));

    char* q = static_cast<char*>(ExAllocatePoolWithTag(PagedPool, 10, Tag("over")));
    q[10] = 'x'; // one byte past the end
    SIMK_EXPECT_VIOLATION(rules::PoolOverrun, ExFreePoolWithTag(q, Tag("over")));

    PVOID none = nullptr;
    SIMK_EXPECT_VIOLATION(rules::PoolZeroSize, none = ExAllocatePoolWithTag(NonPagedPool, 0, Tag("zero")));
    ExFreePool(none);
}

TEST_F(Pool, FreshPoolIsNotZeroed)
{
    // Drivers must initialise what they allocate, as on Windows.
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 32, Tag("junk")));
    unsigned char zeros[32] = {};
    EXPECT_NE(std::memcmp(p, zeros, sizeof zeros), 0);
    ExFreePool(p);
}

TEST_F(Pool, PagedPoolAboveApcLevelIsCaught)
{
    simk::ScopedIrql raised(DISPATCH_LEVEL);
    PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("okay"));
    EXPECT_NE(nonPaged, nullptr);
    ExFreePool(nonPaged);
    PVOID paged = nullptr;
    SIMK_EXPECT_VIOLATION(rules::IrqlPagedPool, paged = ExAllocatePoolWithTag(PagedPool, 8, Tag("page")));
    SIMK_EXPECT_VIOLATION(rules::IrqlPagedPool, ExFreePool(paged));
}

// Any pool above DISPATCH_LEVEL, and a no-execute pool on a Windows older than 8.
TEST_F(Pool, AllocationsTheSystemCannotServeAreCaught)
{
    PVOID p = nullptr;
    {
        simk::ScopedIrql high(HIGH_LEVEL);
        SIMK_EXPECT_VIOLATION(rules::IrqlExAllocatePool, p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("high")));
        SIMK_EXPECT_VIOLATION(rules::IrqlExAllocatePool, ExFreePool(p));
    }
    simk::SetOsVersion(6, 1, 7601);
    SIMK_EXPECT_VIOLATION(rules::BadPoolCaller, p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, Tag("nx61")));
    ExFreePool(p);
}

class Irql : public simk::testing::KernelTest
{};

TEST_F(Irql, SpinLocksAndCriticalRegionsAtTheWrongIrqlAreCaught)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    {
        simk::ScopedIrql high(HIGH_LEVEL);
        SIMK_EXPECT_VIOLATION(rules::IrqlSpinLock, KeAcquireSpinLock(&lock, &old));
        KeReleaseSpinLockFromDpcLevel(&lock);
        SIMK_EXPECT_VIOLATION(rules::IrqlCriticalRegion, KeEnterCriticalRegion());
        SIMK_EXPECT_VIOLATION(rules::IrqlCriticalRegion, KeLeaveCriticalRegion());
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        SIMK_EXPECT_VIOLATION(rules::IrqlIoDispatch, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    }
    SIMK_EXPECT_VIOLATION(rules::IrqlSpinLock, KeAcquireSpinLockAtDpcLevel(&lock));
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeAcquireSpinLock(&lock, &old);
    KIRQL dispatch;
    KeRaiseIrql(HIGH_LEVEL, &dispatch);
    SIMK_EXPECT_VIOLATION(rules::IrqlSpinLockRelease, KeReleaseSpinLock(&lock, old));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// A lock initialised again while a thread holds it, or used without ever being initialised.
TEST_F(Irql, LocksInitialisedWhileHeldOrNeverAreCaught)
{
    KSPIN_LOCK spin;
    KeInitializeSpinLock(&spin);
    KIRQL old;
    KeAcquireSpinLock(&spin, &old);
    SIMK_EXPECT_VIOLATION(rules::LockInitializedTwice, KeInitializeSpinLock(&spin));
    KeReleaseSpinLock(&spin, old);

    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    SIMK_EXPECT_VIOLATION(rules::LockInitializedTwice, ExInitializeFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);

    auto* junk = static_cast<PFAST_MUTEX>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FAST_MUTEX), Tag("junk")));
    SIMK_EXPECT_VIOLATION(rules::LockNotInitialized, ExAcquireFastMutex(junk));
    ExReleaseFastMutex(junk);
    ExFreePool(junk);
}

TEST_F(Irql, RaiseAndLowerOnlyInTheirDirection)
{
    KIRQL old = 0xFF;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    SIMK_EXPECT_VIOLATION(rules::IrqlKeRaise, KeRaiseIrql(PASSIVE_LEVEL, &old));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    SIMK_EXPECT_VIOLATION(rules::IrqlKeLower, KeLowerIrql(DISPATCH_LEVEL));
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // IRQL belongs to the thread.
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL other = 0xFF;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    KeLowerIrql(old);
}

TEST_F(Irql, SpinLockRunsItsHolderAtDispatchLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        KIRQL o;
        KeAcquireSpinLock(&lock, &o);
        acquired = true;
        KeReleaseSpinLock(&lock, o);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(acquired);
    KeReleaseSpinLock(&lock, old);
    other.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

class Events : public simk::testing::KernelTest
{};

TEST_F(Events, NotificationStaysSignalledSynchronizationWakesOneAndResets)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);

    std::atomic<int> woken{0};
    auto waiter = [&] {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -2000000; // 200 ms, relative
        if (KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS)
            woken++;
    };
    std::thread w1(waiter), w2(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    w1.join();
    w2.join();
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

TEST_F(Events, WaitingAtDispatchLevelIsCaughtUnlessItOnlyPolls)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    simk::ScopedIrql raised(DISPATCH_LEVEL);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    SIMK_EXPECT_VIOLATION(rules::IrqlKeWait, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
}

TEST_F(Events, WaitingOnWhatIsNotAnEventIsCaught)
{
    KEVENT notAnEvent;
    std::memset(&notAnEvent, 0xFF, sizeof notAnEvent);
    SIMK_EXPECT_VIOLATION(
        rules::InvalidDispatcherObject,
        EXPECT_EQ(KeWaitForSingleObject(&notAnEvent, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER));
}

class FastMutexes : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ExInitializeFastMutex(&a);
        ExInitializeFastMutex(&b);
    }
    FAST_MUTEX a, b;
};

TEST_F(FastMutexes, AcquireRaisesToApcLevelAndExcludesOtherThreads)
{
    ExAcquireFastMutex(&a);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(a.Count, 0);
    EXPECT_NE(a.Owner, nullptr);
    std::atomic<bool> entered{false};
    std::thread other([&] {
        ExAcquireFastMutex(&a);
        entered = true;
        ExReleaseFastMutex(&a);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered);
    ExReleaseFastMutex(&a);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    other.join();
    EXPECT_TRUE(entered);
    EXPECT_EQ(a.Count, 1);
    EXPECT_EQ(a.Owner, nullptr);
    EXPECT_EQ(a.Contention, 1u);
}

TEST_F(FastMutexes, RecursionAndReleaseByAnotherThreadAreCaught)
{
    ExAcquireFastMutex(&a);
    SIMK_EXPECT_VIOLATION(rules::FastMutexRecursion, ExAcquireFastMutex(&a));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    // The second acquisition is ignored: one release frees the mutex, a second one is caught.
    ExReleaseFastMutex(&a);
    EXPECT_EQ(a.Count, 1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    {
        simk::verifier::Expect notAtApcLevel(rules::IrqlFastMutex);
        SIMK_EXPECT_VIOLATION(rules::FastMutexWrongOwner, ExReleaseFastMutex(&a));
    }

    ExAcquireFastMutex(&a);
    {
        simk::verifier::Expect wrongOwner(rules::FastMutexWrongOwner);
        simk::verifier::Expect wrongIrql(rules::IrqlFastMutex); // the other thread is not at APC_LEVEL
        std::thread([&] { ExReleaseFastMutex(&a); }).join();
        EXPECT_TRUE(wrongOwner.Seen());
    }
    SIMK_EXPECT_VIOLATION(rules::FastMutexWrongOwner, ExReleaseFastMutex(&a)); // not held any more
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(FastMutexes, TakingTwoMutexesInBothOrdersIsCaught)
{
    ExAcquireFastMutex(&a);
    ExAcquireFastMutex(&b);
    ExReleaseFastMutex(&b);
    ExReleaseFastMutex(&a);
    // The same order again is fine.
    ExAcquireFastMutex(&a);
    ExAcquireFastMutex(&b);
    ExReleaseFastMutex(&b);
    ExReleaseFastMutex(&a);

    ExAcquireFastMutex(&b);
    SIMK_EXPECT_VIOLATION(rules::DeadlockLockOrder, ExAcquireFastMutex(&a));
    ExReleaseFastMutex(&a);
    ExReleaseFastMutex(&b);
}

TEST_F(FastMutexes, LockOrderIsTransitiveAndForgottenWithTheMemory)
{
    auto* c = static_cast<PFAST_MUTEX>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FAST_MUTEX), Tag("fmtx")));
    ExInitializeFastMutex(c);
    ExAcquireFastMutex(&a);
    ExAcquireFastMutex(&b);
    ExReleaseFastMutex(&b);
    ExReleaseFastMutex(&a);
    ExAcquireFastMutex(&b);
    ExAcquireFastMutex(c);
    ExReleaseFastMutex(c);
    ExReleaseFastMutex(&b);
    // a -> b -> c was seen; c then a closes a cycle.
    ExAcquireFastMutex(c);
    SIMK_EXPECT_VIOLATION(rules::DeadlockLockOrder, ExAcquireFastMutex(&a));
    ExReleaseFastMutex(&a);
    ExReleaseFastMutex(c);

    // Memory reused for a new mutex starts without history.
    ExFreePool(c);
    auto* d = static_cast<PFAST_MUTEX>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FAST_MUTEX), Tag("fmtx")));
    ExInitializeFastMutex(d);
    ExAcquireFastMutex(d);
    ExAcquireFastMutex(&a);
    ExReleaseFastMutex(&a);
    ExReleaseFastMutex(d);
    ExFreePool(d);
}

TEST_F(FastMutexes, UnsafeFormsNeedApcsDisabled)
{
    SIMK_EXPECT_VIOLATION(rules::FastMutexUnsafeApcsEnabled, ExAcquireFastMutexUnsafe(&a));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL); // the unsafe form leaves the IRQL alone
    ExReleaseFastMutexUnsafe(&a);

    KeEnterCriticalRegion();
    EXPECT_TRUE(KeAreApcsDisabled());
    ExAcquireFastMutexUnsafe(&b);
    {
        simk::verifier::Expect notAtApcLevel(rules::IrqlFastMutex);
        SIMK_EXPECT_VIOLATION(rules::FastMutexMismatchedRelease, ExReleaseFastMutex(&b));
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeLeaveCriticalRegion();
    EXPECT_FALSE(KeAreApcsDisabled());
    SIMK_EXPECT_VIOLATION(rules::CriticalRegions, KeLeaveCriticalRegion());
}

TEST_F(FastMutexes, FreeingMemoryWithAHeldMutexIsCaught)
{
    auto* m = static_cast<PFAST_MUTEX>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FAST_MUTEX), Tag("fmtx")));
    ExInitializeFastMutex(m);
    ExAcquireFastMutex(m);
    SIMK_EXPECT_VIOLATION(rules::PoolFreeHeldLock, ExFreePool(m));
    KeLowerIrql(PASSIVE_LEVEL);
}

class Stops : public simk::testing::KernelTest
{};

TEST_F(Stops, BugCheckAndRaisedStatusStopTheSystemWithTheirCode)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(KeBugCheckEx(0x121, 1, 2, 3, 4), "STOP: 0x00000121 \\(0x0*1,0x0*2,0x0*3,0x0*4\\)");
    EXPECT_DEATH(KeBugCheck(0x44), "STOP: 0x00000044");
    EXPECT_DEATH(ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES), "STOP: 0x0000001E \\(0x0*C000009A");
}

TEST_F(Stops, AnUncaughtViolationStopsTheTestRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            simk::verifier::SetHandler(nullptr);
            FAST_MUTEX m;
            ExInitializeFastMutex(&m);
            ExAcquireFastMutex(&m);
            ExAcquireFastMutex(&m);
        },
        "VERIFIER VIOLATION FastMutexRecursion");
}

TEST(Interlocked, OperationsReturnWhatWindowsReturns)
{
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9);
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 11), 12); // no match: unchanged
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 12), 12);
    EXPECT_EQ(value, 1);
}

TEST(Threads, ThreadIdsAreStablePerThreadAndDistinct)
{
    HANDLE mine = PsGetCurrentThreadId();
    EXPECT_NE(mine, nullptr);
    EXPECT_EQ(PsGetCurrentThreadId(), mine);
    HANDLE other = nullptr;
    std::thread([&] { other = PsGetCurrentThreadId(); }).join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, mine);
}

} // namespace
