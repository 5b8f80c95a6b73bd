// Remove locks: acquisitions remembered by tag, so each way of getting them wrong is named, and a
// request passed down only under an acquisition for it.
#include <memory>
#include <string>

#include "kernel_test_driver.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/testing.h"

namespace {

namespace rules = simk::verifier::rules;

class RemoveLocks : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        m_Owner = std::make_unique<ktest::InProcessDriver>(u"LockOwner");
    }

    // A device whose extension is its remove lock, as a function driver keeps one.
    PIO_REMOVE_LOCK NewLock()
    {
        m_Device = m_Owner->CreateDevice(nullptr, sizeof(IO_REMOVE_LOCK));
        auto* lock = static_cast<PIO_REMOVE_LOCK>(m_Device->DeviceExtension);
        IoInitializeRemoveLock(lock, simk::Tag("rlck"), 0, 0);
        return lock;
    }

    // The device's removal: IRP_MN_REMOVE_DEVICE, whose handling drops the acquisition `tag` and
    // waits for the rest.
    void Remove(PIO_REMOVE_LOCK lock, void* tag)
    {
        m_Owner->OnDispatch([=](PDEVICE_OBJECT, PIRP irp) {
            IoReleaseRemoveLockAndWait(lock, tag);
            return ktest::CompleteIrp(irp, STATUS_SUCCESS);
        });
        PIRP irp = IoAllocateIrp(1, FALSE);
        PIO_STACK_LOCATION sl = IoGetNextIrpStackLocation(irp);
        sl->MajorFunction = IRP_MJ_PNP;
        sl->MinorFunction = IRP_MN_REMOVE_DEVICE;
        IoCallDriver(m_Device, irp);
        IoFreeIrp(irp);
    }

    PDEVICE_OBJECT m_Device = nullptr;

    std::unique_ptr<ktest::InProcessDriver> m_Owner;
};

int g_TagA, g_TagB, g_TagNeverUsed;

TEST_F(RemoveLocks, ReleasesMustMatchAnAcquisitionByTag)
{
    PIO_REMOVE_LOCK lock = NewLock();
    ASSERT_EQ(IoAcquireRemoveLock(lock, &g_TagA), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(lock, &g_TagA), STATUS_SUCCESS);
    SIMK_EXPECT_VIOLATION(rules::RemoveLockWrongTag, IoReleaseRemoveLock(lock, &g_TagNeverUsed));
    IoReleaseRemoveLock(lock, &g_TagA);
    IoReleaseRemoveLock(lock, &g_TagA);
    // The count the wrong release would have taken is still there for the removal.
    SIMK_EXPECT_VIOLATION(rules::RemoveLockUnbalanced, IoReleaseRemoveLock(lock, &g_TagA));
    ASSERT_EQ(IoAcquireRemoveLock(lock, &g_TagB), STATUS_SUCCESS);
    Remove(lock, &g_TagB);
    EXPECT_EQ(IoAcquireRemoveLock(lock, &g_TagA), STATUS_DELETE_PENDING);
}

TEST_F(RemoveLocks, RemovalThatWouldWaitForEverNamesTheTagsStillHeld)
{
    simk::pnp::SetPendingIrpTimeout(std::chrono::milliseconds(50));
    PIO_REMOVE_LOCK lock = NewLock();
    ASSERT_EQ(IoAcquireRemoveLock(lock, &g_TagA), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(lock, &g_TagB), STATUS_SUCCESS);
    simk::verifier::Expect expect(rules::RemoveLockNeverReleased);
    Remove(lock, &g_TagA);
    ASSERT_EQ(expect.Count(), 1u);
    const std::string details = expect.Captured()[0].details;
    char held[32];
    std::snprintf(held, sizeof held, "%p", static_cast<void*>(&g_TagB));
    EXPECT_NE(details.find(held), std::string::npos) << details;
    IoReleaseRemoveLock(lock, &g_TagB);
}

// Only the removal waits, and a device keeps one lock.
TEST_F(RemoveLocks, WaitingOutsideTheRemovalOrKeepingTwoLocksIsCaught)
{
    PDEVICE_OBJECT device = m_Owner->CreateDevice(nullptr, 2 * sizeof(IO_REMOVE_LOCK));
    auto* locks = static_cast<PIO_REMOVE_LOCK>(device->DeviceExtension);
    IoInitializeRemoveLock(&locks[0], simk::Tag("rlck"), 0, 0);
    SIMK_EXPECT_VIOLATION(rules::MultRemoveLock, IoInitializeRemoveLock(&locks[1], simk::Tag("rlck"), 0, 0));
    ASSERT_EQ(IoAcquireRemoveLock(&locks[0], &g_TagA), STATUS_SUCCESS);
    SIMK_EXPECT_VIOLATION(rules::RemoveLockWaitOutsideRemove, IoReleaseRemoveLockAndWait(&locks[0], &g_TagA));
}

TEST_F(RemoveLocks, InitialisingALiveLockOrUsingAnUninitialisedOneIsCaught)
{
    PIO_REMOVE_LOCK lock = NewLock();
    SIMK_EXPECT_VIOLATION(rules::LockInitializedTwice, IoInitializeRemoveLock(lock, simk::Tag("rlck"), 0, 0));
    IO_REMOVE_LOCK never;
    SIMK_EXPECT_VIOLATION(rules::LockNotInitialized, EXPECT_FALSE(NT_SUCCESS(IoAcquireRemoveLock(&never, &g_TagA))));
}

// A device that keeps a remove lock passes a request down only holding it for that request; the
// removal itself goes down after IoReleaseRemoveLockAndWait, with the lock no longer held.
TEST_F(RemoveLocks, ForwardingARequestNeedsAnAcquisitionForIt)
{
    ktest::InProcessDriver below(u"Below");
    PDEVICE_OBJECT lower = below.CreateDevice();
    PDEVICE_OBJECT upper = m_Owner->CreateDevice(nullptr, sizeof(IO_REMOVE_LOCK));
    auto* lock = static_cast<PIO_REMOVE_LOCK>(upper->DeviceExtension);
    IoInitializeRemoveLock(lock, simk::Tag("rlck"), 0, 0);
    bool acquire = true;
    bool removal = false;
    m_Owner->OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        if (acquire)
            IoAcquireRemoveLock(lock, irp);
        if (removal)
            IoReleaseRemoveLockAndWait(lock, irp);
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(lower, irp);
        if (acquire && !removal)
            IoReleaseRemoveLock(lock, irp);
        return status;
    });
    auto send = [&] {
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
        IoGetNextIrpStackLocation(irp)->MinorFunction = removal ? IRP_MN_REMOVE_DEVICE : IRP_MN_QUERY_CAPABILITIES;
        IoCallDriver(upper, irp);
        IoFreeIrp(irp);
    };
    send();
    acquire = false;
    SIMK_EXPECT_VIOLATION(rules::RemoveLockForward, send());
    acquire = removal = true;
    send();
}

} // namespace
