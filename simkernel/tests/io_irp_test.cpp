// The I/O manager's handling of IRPs: stack locations, the completion walk with its routines and
// pending propagation, and the verifier rules about completing and returning.
#include <atomic>
#include <thread>

#include "kernel_test_driver.h"
#include "simkernel/io.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/testing.h"

namespace {

using simk::test::Action;
using simk::test::LowerDriver;
using simk::test::Response;
namespace rules = simk::verifier::rules;

struct RoutineRecord {
    std::atomic<int> calls{0};
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    HANDLE thread = nullptr;
    NTSTATUS status = 0;
    bool propagatePending = true;
    NTSTATUS result = STATUS_SUCCESS;
    KEVENT* signal = nullptr;
};

NTSTATUS RecordingCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* record = static_cast<RoutineRecord*>(context);
    record->device = device;
    record->pendingReturned = irp->PendingReturned;
    record->thread = PsGetCurrentThreadId();
    record->status = irp->IoStatus.Status;
    if (record->propagatePending && irp->PendingReturned)
        IoMarkIrpPending(irp);
    if (record->signal)
        KeSetEvent(record->signal, IO_NO_INCREMENT, FALSE);
    record->calls++;
    return record->result;
}

// An upper driver's device attached over a lower test driver's device.
class IrpFlow : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        lower = std::make_unique<LowerDriver>();
        upper = std::make_unique<ktest::InProcessDriver>(u"Upper");
        bottom = lower->CreateDevice();
        top = upper->CreateDevice();
        ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(top, bottom, &attachedTo), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        lower->JoinThreads();
        KernelTest::TearDown();
    }

    // The upper driver copies its location down, sets `record`'s completion routine and passes the IRP.
    void ForwardWithRoutine(RoutineRecord* record, bool onSuccess = true, bool onError = true)
    {
        upper->OnDispatch([=](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, RecordingCompletion, record, onSuccess, onError, TRUE);
            return IoCallDriver(attachedTo, irp);
        });
    }

    std::unique_ptr<LowerDriver> lower;
    std::unique_ptr<ktest::InProcessDriver> upper;
    PDEVICE_OBJECT bottom = nullptr, top = nullptr, attachedTo = nullptr;
};

TEST_F(IrpFlow, PendingLowerCompletesOnItsThreadAndTheRoutinePropagatesPending)
{
    Response later;
    later.action = Action::PendAndCompleteOnThread;
    later.delayMs = 10;
    later.information = 7;
    lower->SetDefaultResponse(later);
    RoutineRecord record;
    ForwardWithRoutine(&record);

    PIRP irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS dispatched = 0;
    EXPECT_EQ(simk::io::SendAndWait(top, irp, &iosb, &dispatched), STATUS_SUCCESS);
    lower->JoinThreads();

    EXPECT_EQ(dispatched, STATUS_PENDING);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.device, top); // the routine gets the device of the driver that set it
    EXPECT_TRUE(record.pendingReturned);
    EXPECT_NE(record.thread, PsGetCurrentThreadId());
    auto seen = lower->Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].device, bottom);
    EXPECT_EQ(seen[0].locationIndex, 0);
    EXPECT_EQ(seen[0].location.MajorFunction, IRP_MJ_READ);
    EXPECT_EQ(seen[0].location.DeviceObject, bottom);
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, ARoutineThatDropsThePendingMarkIsCaught)
{
    Response later;
    later.action = Action::PendAndCompleteOnThread;
    lower->SetDefaultResponse(later);
    RoutineRecord record;
    record.propagatePending = false;
    ForwardWithRoutine(&record);

    PIRP irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    SIMK_EXPECT_VIOLATION(rules::MarkIrpPending, simk::io::SendAndWait(top, irp));
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, StackLocationsMoveDownOnCallAndSkipReusesTheCallersLocation)
{
    PIRP fresh = IoAllocateIrp(3, FALSE);
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(fresh + 1);
    EXPECT_EQ(fresh->StackCount, 3);
    EXPECT_EQ(fresh->CurrentLocation, 4);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(fresh), first + 3);
    EXPECT_EQ(IoGetNextIrpStackLocation(fresh), first + 2);
    IoFreeIrp(fresh);

    EXPECT_EQ(top->StackSize, 2);
    int upperIndex = -1;
    upper->OnDispatch([&](PDEVICE_OBJECT device, PIRP irp) {
        upperIndex = irp->CurrentLocation - 1;
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(attachedTo, irp);
    });
    PIRP irp = simk::io::BuildIrp(top, IRP_MJ_WRITE);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(simk::io::SendAndWait(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(upperIndex, 1);
    ASSERT_EQ(lower->SeenCount(), 1u);
    EXPECT_EQ(lower->Seen()[0].locationIndex, 1);
    EXPECT_EQ(lower->Seen()[0].location.DeviceObject, bottom);
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, InvokeFlagsChooseWhetherTheRoutineRuns)
{
    struct Case {
        bool onSuccess, onError;
        NTSTATUS lowerStatus;
        int expectedCalls;
    };
    const Case cases[] = {{true, false, STATUS_UNSUCCESSFUL, 0},
                          {true, false, STATUS_SUCCESS, 1},
                          {false, true, STATUS_SUCCESS, 0},
                          {false, true, STATUS_INSUFFICIENT_RESOURCES, 1},
                          {false, true, STATUS_BUFFER_OVERFLOW, 1}}; // a warning is not NT_SUCCESS
    for (const Case& c : cases) {
        Response response;
        response.status = c.lowerStatus;
        lower->SetDefaultResponse(response);
        RoutineRecord record;
        ForwardWithRoutine(&record, c.onSuccess, c.onError);
        PIRP irp = simk::io::BuildIrp(top, IRP_MJ_READ);
        EXPECT_EQ(simk::io::SendAndWait(top, irp), c.lowerStatus);
        EXPECT_EQ(record.calls, c.expectedCalls) << "status " << std::hex << c.lowerStatus;
        IoFreeIrp(irp);
    }
}

TEST_F(IrpFlow, MoreProcessingRequiredHandsTheIrpBackToTheUpperDriver)
{
    Response response;
    response.information = 3;
    lower->SetDefaultResponse(response);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    RoutineRecord record;
    record.result = STATUS_MORE_PROCESSING_REQUIRED;
    record.signal = &done;
    record.propagatePending = false;
    upper->OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingCompletion, &record, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(attachedTo, irp);
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(irp->IoStatus.Information, 3u);
        return ktest::CompleteIrp(irp, STATUS_DEVICE_BUSY, 9);
    });
    PIRP irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(simk::io::SendAndWait(top, irp, &iosb), STATUS_DEVICE_BUSY);
    EXPECT_EQ(iosb.Information, 9u);
    EXPECT_EQ(record.calls, 1);
    EXPECT_EQ(record.status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, CompletionMistakesOfADispatchRoutineAreCaught)
{
    PIRP irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    upper->OnDispatch([](PDEVICE_OBJECT, PIRP irp) {
        ktest::CompleteIrp(irp, STATUS_SUCCESS);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    SIMK_EXPECT_VIOLATION(rules::IrpDoubleComplete, simk::io::SendAndWait(top, irp));
    IoFreeIrp(irp);

    irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    upper->OnDispatch([](PDEVICE_OBJECT, PIRP irp) {
        ktest::CompleteIrp(irp, STATUS_UNSUCCESSFUL);
        return STATUS_SUCCESS;
    });
    SIMK_EXPECT_VIOLATION(rules::DispatchStatusMismatch, simk::io::SendAndWait(top, irp));
    IoFreeIrp(irp);

    irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    upper->OnDispatch([](PDEVICE_OBJECT, PIRP irp) { return ktest::CompleteIrp(irp, STATUS_PENDING); });
    {
        simk::verifier::Expect unmarked(rules::MarkIrpPending); // it also returned STATUS_PENDING unmarked
        SIMK_EXPECT_VIOLATION(rules::IrpCompleteWithPending, simk::io::SendAndWait(top, irp));
        EXPECT_TRUE(unmarked.Seen());
    }
    IoFreeIrp(irp);

    irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    upper->OnDispatch([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        ktest::CompleteIrp(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    });
    SIMK_EXPECT_VIOLATION(rules::MarkIrpPending2, simk::io::SendAndWait(top, irp));
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, ReturningWithoutCompletingOrMarkingIsCaught)
{
    std::atomic<PIRP> kept{nullptr};
    upper->OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;
        return STATUS_SUCCESS;
    });
    PIRP irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    SIMK_EXPECT_VIOLATION(rules::DispatchStatusMismatch, EXPECT_EQ(simk::io::SendAndWait(top, irp), STATUS_SUCCESS));
    EXPECT_EQ(kept, irp);

    // Kept and answered later, but the dispatch routine never marked it pending.
    PIRP second = simk::io::BuildIrp(top, IRP_MJ_READ);
    upper->OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        kept = irp;
        return STATUS_PENDING;
    });
    NTSTATUS dispatched = 0;
    std::thread completer([&] {
        while (kept != second)
            std::this_thread::yield();
        ktest::CompleteIrp(second, STATUS_SUCCESS);
    });
    SIMK_EXPECT_VIOLATION(rules::MarkIrpPending, simk::io::SendAndWait(top, second, nullptr, &dispatched));
    completer.join();
    EXPECT_EQ(dispatched, STATUS_PENDING);
    IoFreeIrp(second);
}

TEST_F(IrpFlow, AnIrpCompletedBackToItsOriginatorCannotBeUsedAgain)
{
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_TRUE(simk::io::IsIrpCompleted(irp));
    SIMK_EXPECT_VIOLATION(rules::IrpUseAfterComplete, EXPECT_NE(IoCallDriver(top, irp), STATUS_SUCCESS));
    SIMK_EXPECT_VIOLATION(rules::IrpDoubleComplete, IoCompleteRequest(irp, IO_NO_INCREMENT));
    IoFreeIrp(irp);
    SIMK_EXPECT_VIOLATION(rules::BadIrpFree, IoFreeIrp(irp));
}

TEST_F(IrpFlow, FreeingAnIrpStillWithADriverIsCaught)
{
    Response hold;
    hold.action = Action::Pend;
    lower->SetDefaultResponse(hold);
    PIRP irp = simk::io::BuildIrp(bottom, IRP_MJ_READ);
    EXPECT_EQ(IoCallDriver(bottom, irp), STATUS_PENDING);
    SIMK_EXPECT_VIOLATION(rules::BadIrpFree, IoFreeIrp(irp));
    EXPECT_TRUE(lower->CompletePending(STATUS_SUCCESS));
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, ADispatchRoutineReturningAtAnotherIrqlIsCaught)
{
    upper->OnDispatch([](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return ktest::CompleteIrp(irp, STATUS_SUCCESS);
    });
    PIRP irp = simk::io::BuildIrp(top, IRP_MJ_READ);
    SIMK_EXPECT_VIOLATION(rules::DispatchIrqlChanged, simk::io::SendAndWait(top, irp));
    KeLowerIrql(PASSIVE_LEVEL);
    IoFreeIrp(irp);
}

// At DISPATCH_LEVEL only power, read, write and device control requests may be sent down, and no
// request is completed with a spin lock held.
TEST_F(IrpFlow, SendingAtDispatchLevelAndCompletingUnderASpinLockAreCaught)
{
    upper->OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(attachedTo, irp);
    });
    auto send = [&](UCHAR major) {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
        IoFreeIrp(irp);
    };
    {
        simk::ScopedIrql dispatch(DISPATCH_LEVEL);
        send(IRP_MJ_READ);
        send(IRP_MJ_POWER);
        SIMK_EXPECT_VIOLATION(rules::ForwardedAtBadIrql, send(IRP_MJ_PNP));
    }

    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    upper->OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        ktest::CompleteIrp(irp, STATUS_SUCCESS);
        KeReleaseSpinLock(&lock, old);
        return STATUS_SUCCESS;
    });
    SIMK_EXPECT_VIOLATION(rules::SpinLockSafe, send(IRP_MJ_READ));
}

// A device deleted while a request it sent down will still call its completion routine for it.
TEST_F(IrpFlow, DeletingADeviceWhoseRequestIsStillBelowIsCaught)
{
    RoutineRecord record;
    ForwardWithRoutine(&record, /*onSuccess=*/true, /*onError=*/false);
    Response pend;
    pend.action = Action::Pend;
    lower->SetResponse(IRP_MJ_READ, pend);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    IoDetachDevice(attachedTo);
    SIMK_EXPECT_VIOLATION(rules::DeleteDeviceRequestBelow, IoDeleteDevice(top));
    // Failed, so the routine of the deleted device does not run.
    ASSERT_TRUE(lower->CompletePending(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(record.calls, 0);
    IoFreeIrp(irp);
}

TEST_F(IrpFlow, CallsOnWhatIsNotAnObjectAreCaught)
{
    alignas(16) unsigned char junk[256] = {};
    PIRP irp = IoAllocateIrp(2, FALSE);
    SIMK_EXPECT_VIOLATION(rules::InvalidDeviceObject,
                          EXPECT_EQ(IoCallDriver(reinterpret_cast<PDEVICE_OBJECT>(junk), irp), STATUS_NO_SUCH_DEVICE));
    IoFreeIrp(irp);
    PDEVICE_OBJECT attachedTo = nullptr;
    SIMK_EXPECT_VIOLATION(
        rules::InvalidDeviceObject,
        EXPECT_EQ(IoAttachDeviceToDeviceStackSafe(reinterpret_cast<PDEVICE_OBJECT>(junk), top, &attachedTo),
                  STATUS_NO_SUCH_DEVICE));
    SIMK_EXPECT_VIOLATION(rules::ObjectReferenceUnknown, ObReferenceObject(junk));
}

TEST_F(IrpFlow, AnUnhandledMajorFunctionIsAnInvalidDeviceRequest)
{
    auto result = simk::LoadDriverEntry([](PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }, u"Bare");
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(result.driverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    PIRP irp = simk::io::BuildIrp(device, IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS);
    EXPECT_EQ(simk::io::SendAndWait(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
}

using IrpFlowDeathTest = IrpFlow;

TEST_F(IrpFlowDeathTest, PassingAnIrpWithoutALocationForTheLowerDriverStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            upper->OnDispatch([&](PDEVICE_OBJECT, PIRP irp) { return IoCallDriver(attachedTo, irp); });
            PIRP irp = IoAllocateIrp(1, FALSE); // one location short for a two-device stack
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoCallDriver(top, irp);
        },
        "STOP: 0x00000035");
}

} // namespace
