// Attachment over a lower stack and the ways a request goes down it: pass-down, forwarding with a
// completion routine, forward-and-wait over lower drivers that complete, pend or fail, and the
// fast-I/O forwarding rule.
#include <ntddk.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "driver/attached_device.h"
#include "simkernel/faults.h"
#include "simkernel/io.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/power.h"
#include "simkernel/testing.h"
#include "support/in_process_driver.h"

namespace {

using msdsc::testing::CreateDeviceWith;
using msdsc::testing::LoadRoutingDriver;
using simk::test::Action;
using simk::test::LowerDriver;
using simk::test::Response;

NTSTATUS NTAPI CountingCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    ++*static_cast<int*>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

// An attached device whose Plug and Play handler forwards and waits, as the bus does for a start,
// and whose power handler can use a completion routine instead of passing down.
class TestAttached : public AttachedDevice
{
public:
    TestAttached(PDRIVER_OBJECT driver, PDEVICE_OBJECT device, PDEVICE_OBJECT physicalDevice)
        : AttachedDevice(driver, device, physicalDevice)
    {}

    // Both pass the request down under the remove lock, as every request of the device goes.
    NTSTATUS DispatchPnp(PIRP Irp) override
    {
        IoAcquireRemoveLock(&m_RemoveLock, Irp);
        forwardStatus = ForwardIrpAndWait(m_LowerDeviceObject, Irp);
        IoReleaseRemoveLock(&m_RemoveLock, Irp);
        completedWhenBack = simk::io::IsIrpCompleted(Irp);
        statusWhenBack = Irp->IoStatus.Status;
        Irp->IoStatus.Status = forwardStatus;
        Irp->IoStatus.Information = 0x77;
        CompleteIrp(Irp);
        return forwardStatus;
    }

    NTSTATUS DispatchPower(PIRP Irp) override
    {
        if (!powerWithCompletion) {
            return AttachedDevice::DispatchPower(Irp);
        }
        IoAcquireRemoveLock(&m_RemoveLock, Irp);
        const NTSTATUS status = CallLowerWithCompletion(m_LowerDeviceObject, Irp, CountingCompletion, &completions);
        IoReleaseRemoveLock(&m_RemoveLock, Irp);
        return status;
    }

    NTSTATUS forwardStatus = STATUS_SUCCESS;
    bool completedWhenBack = true;
    NTSTATUS statusWhenBack = STATUS_SUCCESS;
    bool powerWithCompletion = false;
    int completions = 0;
};

class AttachedDeviceTest : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        m_Lower = std::make_unique<LowerDriver>();
        m_Pdo = m_Lower->CreateDevice();
        m_Driver = LoadRoutingDriver();
        ASSERT_NE(m_Driver, nullptr);
    }

    void TearDown() override
    {
        m_Lower->JoinThreads();
        KernelTest::TearDown();
        m_Lower.reset();
    }

    TestAttached* CreateAttached(PDEVICE_OBJECT over)
    {
        TestAttached* object = CreateDeviceWith<TestAttached>(m_Driver, FILE_DEVICE_BUS_EXTENDER, over);
        EXPECT_NE(object, nullptr);
        return object;
    }

    TestAttached* CreateStarted()
    {
        TestAttached* object = CreateAttached(m_Pdo);
        EXPECT_EQ(object->Start(), STATUS_SUCCESS);
        return object;
    }

    // Sends a request to the top of our stack and waits for it to come back to its originator.
    IO_STATUS_BLOCK Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS* dispatchStatus = nullptr,
                         ULONG readLength = 0)
    {
        PIRP irp = simk::io::BuildIrp(device, major, minor);
        if (major == IRP_MJ_READ) {
            IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = readLength;
        }
        IO_STATUS_BLOCK iosb{};
        simk::io::SendAndWait(device, irp, &iosb, dispatchStatus);
        IoFreeIrp(irp);
        return iosb;
    }

    std::unique_ptr<LowerDriver> m_Lower;
    PDEVICE_OBJECT m_Pdo = nullptr;
    PDRIVER_OBJECT m_Driver = nullptr;
};

TEST_F(AttachedDeviceTest, StartAttachesToTheTopOfTheStackAndCopiesNothing)
{
    LowerDriver filterDriver(u"SimkFilter");
    PDEVICE_OBJECT filter = filterDriver.CreateDevice();
    PDEVICE_OBJECT filterAttachedTo = nullptr;
    ASSERT_EQ(IoAttachDeviceToDeviceStackSafe(filter, m_Pdo, &filterAttachedTo), STATUS_SUCCESS);
    m_Pdo->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;

    TestAttached* object = CreateAttached(m_Pdo);
    PDEVICE_OBJECT device = object->m_DeviceObject;
    EXPECT_EQ(object->m_PhysicalDeviceObject, m_Pdo);
    EXPECT_EQ(object->m_LowerDeviceObject, nullptr);
    ASSERT_EQ(object->Start(), STATUS_SUCCESS);

    EXPECT_EQ(object->m_LowerDeviceObject, filter);
    EXPECT_EQ(filter->AttachedDevice, device);
    EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(device->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO), 0u);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));

    // Delete detaches from the device it attached to, not from the physical device.
    object->Delete();
    EXPECT_EQ(filter->AttachedDevice, nullptr);
    EXPECT_EQ(m_Pdo->AttachedDevice, filter);
    EXPECT_FALSE(simk::IsDeviceObject(device));
    filterDriver.JoinThreads();
}

TEST_F(AttachedDeviceTest, StartOverAVanishingStackFailsAndDeleteDetachesNothing)
{
    // A reference keeps the deleted device's memory, as a stack being torn down keeps it.
    ObReferenceObject(m_Pdo);
    IoDeleteDevice(m_Pdo);
    TestAttached* object = CreateAttached(m_Pdo);
    PDEVICE_OBJECT device = object->m_DeviceObject;

    const NTSTATUS status = object->Start();
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(object->m_LowerDeviceObject, nullptr);

    // The verifier would report a detach of something not attached.
    object->Delete();
    EXPECT_FALSE(simk::IsDeviceObject(device));
    ObDereferenceObject(m_Pdo);
}

TEST_F(AttachedDeviceTest, AttachmentFailureStatusComesBackUnchanged)
{
    simk::faults::FailNth(simk::Call::IoAttachDeviceToDeviceStackSafe, 1, STATUS_DELETE_PENDING);
    TestAttached* object = CreateAttached(m_Pdo);
    EXPECT_EQ(object->Start(), STATUS_DELETE_PENDING);
    EXPECT_EQ(m_Pdo->AttachedDevice, nullptr);
    object->Delete();
}

TEST_F(AttachedDeviceTest, RequestsPassDownWithTheSameStackLocation)
{
    TestAttached* object = CreateStarted();
    const int ourLocation = object->m_DeviceObject->StackSize - 1;
    m_Lower->SetResponse(IRP_MJ_READ, Response{Action::Complete, STATUS_INVALID_PARAMETER, 3});

    NTSTATUS dispatchStatus = STATUS_SUCCESS;
    const IO_STATUS_BLOCK iosb = Send(object->m_DeviceObject, IRP_MJ_READ, 0, &dispatchStatus, 123);
    EXPECT_EQ(dispatchStatus, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iosb.Information, 3u);

    const auto seen = m_Lower->Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].device, m_Pdo);
    EXPECT_EQ(seen[0].locationIndex, ourLocation) << "the stack location was copied instead of skipped";
    EXPECT_EQ(seen[0].location.MajorFunction, IRP_MJ_READ);
    EXPECT_EQ(seen[0].location.Parameters.Read.Length, 123u);

    // What the lower driver leaves pending is pending for the sender too.
    m_Lower->SetResponse(IRP_MJ_WRITE, Response{Action::PendAndCompleteOnThread, STATUS_SUCCESS, 0, 50});
    Send(object->m_DeviceObject, IRP_MJ_WRITE, 0, &dispatchStatus);
    EXPECT_EQ(dispatchStatus, STATUS_PENDING);
    object->Delete();
}

// What a power request looked like when it reached the device below, and whether the power
// manager had been told to start the next one by then.
struct PowerArrival {
    bool startNextBefore;
    int locationIndex;
    IO_STACK_LOCATION location;
};
std::vector<PowerArrival> g_PowerArrivals;

NTSTATUS NTAPI RecordPowerArrival(PDEVICE_OBJECT, PIRP Irp)
{
    const std::vector<IRP*> calls = simk::power::StartNextPowerIrpCalls();
    const bool before = std::find(calls.begin(), calls.end(), Irp) != calls.end();
    g_PowerArrivals.push_back(PowerArrival{before, Irp->CurrentLocation - 1, *IoGetCurrentIrpStackLocation(Irp)});
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS PowerRecorderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_POWER] = RecordPowerArrival;
    return STATUS_SUCCESS;
}

TEST_F(AttachedDeviceTest, PowerRequestPassedDownStartsTheNextOneFirst)
{
    g_PowerArrivals.clear();
    PDRIVER_OBJECT recorder = simk::LoadDriverEntry(PowerRecorderEntry, u"PowerRecorder").driverObject;
    ASSERT_NE(recorder, nullptr);
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(IoCreateDevice(recorder, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo), STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    TestAttached* object = CreateAttached(pdo);
    ASSERT_EQ(object->Start(), STATUS_SUCCESS);
    const int ourLocation = object->m_DeviceObject->StackSize - 1;

    const auto result = simk::power::SetDevicePower(object->m_DeviceObject, PowerDeviceD2);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_SUCCESS);

    ASSERT_EQ(g_PowerArrivals.size(), 1u);
    const PowerArrival& arrival = g_PowerArrivals[0];
    EXPECT_TRUE(arrival.startNextBefore) << "PoStartNextPowerIrp did not precede PoCallDriver";
    EXPECT_EQ(arrival.locationIndex, ourLocation) << "the stack location was copied instead of skipped";
    EXPECT_EQ(arrival.location.MajorFunction, IRP_MJ_POWER);
    EXPECT_EQ(arrival.location.MinorFunction, IRP_MN_SET_POWER);
    EXPECT_EQ(arrival.location.Parameters.Power.Type, DevicePowerState);
    EXPECT_EQ(arrival.location.Parameters.Power.State.DeviceState, PowerDeviceD2);
    object->Delete();
    IoDeleteDevice(pdo);
}

TEST_F(AttachedDeviceTest, PowerRequestSentWithACompletionRoutineDoesNotStartTheNextOne)
{
    TestAttached* object = CreateStarted();
    object->powerWithCompletion = true;
    const int ourLocation = object->m_DeviceObject->StackSize - 1;

    const auto result = simk::power::SetDevicePower(object->m_DeviceObject, PowerDeviceD3);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(object->completions, 1);

    const auto seen = m_Lower->Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].startNextNotedAbove);
    EXPECT_EQ(seen[0].locationIndex, ourLocation - 1) << "the stack location was skipped instead of copied";
    EXPECT_EQ(seen[0].location.Parameters.Power.State.DeviceState, PowerDeviceD3);
    EXPECT_EQ(seen[0].location.Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL),
              SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
    object->Delete();
}

struct ForwardCase {
    const char* name;
    Response lower;
    NTSTATUS expected;
};

class ForwardIrpAndWaitTest : public AttachedDeviceTest, public ::testing::WithParamInterface<ForwardCase>
{};

TEST_P(ForwardIrpAndWaitTest, GivesTheRequestBackUncompletedWithTheLowerStacksStatus)
{
    const ForwardCase& c = GetParam();
    TestAttached* object = CreateStarted();
    const int ourLocation = object->m_DeviceObject->StackSize - 1;
    m_Lower->SetResponse(IRP_MJ_PNP, c.lower);

    NTSTATUS dispatchStatus = STATUS_PENDING;
    const IO_STATUS_BLOCK iosb = Send(object->m_DeviceObject, IRP_MJ_PNP, IRP_MN_START_DEVICE, &dispatchStatus);

    EXPECT_EQ(object->forwardStatus, c.expected);
    EXPECT_FALSE(object->completedWhenBack) << "the request was completed before it came back";
    EXPECT_EQ(object->statusWhenBack, c.expected);
    // Completing it afterwards runs the rest of the stack's completion: the sender sees our reply.
    EXPECT_EQ(dispatchStatus, c.expected);
    EXPECT_EQ(iosb.Status, c.expected);
    EXPECT_EQ(iosb.Information, 0x77u);

    const auto seen = m_Lower->Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].locationIndex, ourLocation - 1);
    EXPECT_EQ(seen[0].location.MinorFunction, IRP_MN_START_DEVICE);
    // Our completion routine sits in the copied location, invoked on success, error and cancel.
    EXPECT_EQ(seen[0].location.CompletionRoutine, ForwardIrpAndWaitCompletion);
    EXPECT_EQ(seen[0].location.Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL),
              SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL);
    object->Delete();
}

INSTANTIATE_TEST_SUITE_P(
    LowerDrivers, ForwardIrpAndWaitTest,
    ::testing::Values(ForwardCase{"CompletesAtOnce", Response{Action::Complete, STATUS_SUCCESS, 5}, STATUS_SUCCESS},
                      ForwardCase{"FailsAtOnce", Response{Action::Complete, STATUS_INVALID_DEVICE_REQUEST, 0},
                                  STATUS_INVALID_DEVICE_REQUEST},
                      ForwardCase{"PendsThenSucceeds",
                                  Response{Action::PendAndCompleteOnThread, STATUS_SUCCESS, 0, 100}, STATUS_SUCCESS},
                      ForwardCase{"PendsThenFails",
                                  Response{Action::PendAndCompleteOnThread, STATUS_UNSUCCESSFUL, 0, 100},
                                  STATUS_UNSUCCESSFUL}),
    [](const ::testing::TestParamInfo<ForwardCase>& info) { return std::string(info.param.name); });

// The fast-I/O table of the lower driver: every routine notes its name and the device it was
// given.
struct FastIoCall {
    std::string name;
    PDEVICE_OBJECT device;
};
std::vector<FastIoCall> g_FastIoCalls;
PDEVICE_OBJECT g_QueryOpenSawInStack = nullptr;
BOOLEAN g_QueryOpenResult = TRUE;

#define NOTE_FAST_IO(Name)                                   \
    g_FastIoCalls.push_back(FastIoCall{Name, DeviceObject}); \
    return TRUE

BOOLEAN NTAPI LowerCheckIfPossible(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, BOOLEAN, PIO_STATUS_BLOCK,
                                   PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("CheckIfPossible");
}
BOOLEAN NTAPI LowerRead(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, ULONG Length, BOOLEAN Wait, ULONG LockKey,
                        PVOID Buffer, PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    // The one routine that checks every argument arrived unchanged.
    const bool unchanged = FileObject == reinterpret_cast<PFILE_OBJECT>(0xF11E) && FileOffset->QuadPart == 4096 &&
                           Length == 512 && Wait == TRUE && LockKey == 9 && Buffer == reinterpret_cast<PVOID>(0xB0F) &&
                           IoStatus == reinterpret_cast<PIO_STATUS_BLOCK>(0x10B);
    g_FastIoCalls.push_back(FastIoCall{unchanged ? "Read" : "Read with changed arguments", DeviceObject});
    return TRUE;
}
BOOLEAN NTAPI LowerWrite(PFILE_OBJECT, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID, PIO_STATUS_BLOCK,
                         PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("Write");
}
BOOLEAN NTAPI LowerQueryBasicInfo(PFILE_OBJECT, BOOLEAN, PFILE_BASIC_INFORMATION, PIO_STATUS_BLOCK,
                                  PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("QueryBasicInfo");
}
BOOLEAN NTAPI LowerQueryStandardInfo(PFILE_OBJECT, BOOLEAN, PFILE_STANDARD_INFORMATION, PIO_STATUS_BLOCK,
                                     PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("QueryStandardInfo");
}
BOOLEAN NTAPI LowerLock(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG, BOOLEAN, BOOLEAN,
                        PIO_STATUS_BLOCK, PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("Lock");
}
BOOLEAN NTAPI LowerUnlockSingle(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG, PIO_STATUS_BLOCK,
                                PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("UnlockSingle");
}
BOOLEAN NTAPI LowerUnlockAll(PFILE_OBJECT, PEPROCESS, PIO_STATUS_BLOCK, PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("UnlockAll");
}
BOOLEAN NTAPI LowerUnlockAllByKey(PFILE_OBJECT, PVOID, ULONG, PIO_STATUS_BLOCK, PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("UnlockAllByKey");
}
BOOLEAN NTAPI LowerDeviceControl(PFILE_OBJECT, BOOLEAN, PVOID, ULONG, PVOID, ULONG, ULONG, PIO_STATUS_BLOCK,
                                 PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("DeviceControl");
}
VOID NTAPI LowerAcquireFile(PFILE_OBJECT) { g_FastIoCalls.push_back(FastIoCall{"AcquireFile", nullptr}); }
VOID NTAPI LowerReleaseFile(PFILE_OBJECT) { g_FastIoCalls.push_back(FastIoCall{"ReleaseFile", nullptr}); }
VOID NTAPI LowerDetachDevice(PDEVICE_OBJECT, PDEVICE_OBJECT TargetDevice)
{
    g_FastIoCalls.push_back(FastIoCall{"DetachDevice", TargetDevice});
}
BOOLEAN NTAPI LowerQueryNetworkOpenInfo(PFILE_OBJECT, BOOLEAN, PFILE_NETWORK_OPEN_INFORMATION, PIO_STATUS_BLOCK,
                                        PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("QueryNetworkOpenInfo");
}
NTSTATUS NTAPI LowerAcquireForModWrite(PFILE_OBJECT, PLARGE_INTEGER, PERESOURCE*, PDEVICE_OBJECT DeviceObject)
{
    g_FastIoCalls.push_back(FastIoCall{"AcquireForModWrite", DeviceObject});
    return STATUS_SUCCESS;
}
BOOLEAN NTAPI LowerMdlRead(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK,
                           PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("MdlRead");
}
BOOLEAN NTAPI LowerMdlReadComplete(PFILE_OBJECT, PMDL, PDEVICE_OBJECT DeviceObject) { NOTE_FAST_IO("MdlReadComplete"); }
BOOLEAN NTAPI LowerPrepareMdlWrite(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK,
                                   PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("PrepareMdlWrite");
}
BOOLEAN NTAPI LowerMdlWriteComplete(PFILE_OBJECT, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("MdlWriteComplete");
}
BOOLEAN NTAPI LowerReadCompressed(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PVOID, PMDL*, PIO_STATUS_BLOCK,
                                  PCOMPRESSED_DATA_INFO, ULONG, PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("ReadCompressed");
}
BOOLEAN NTAPI LowerWriteCompressed(PFILE_OBJECT, PLARGE_INTEGER, ULONG, ULONG, PVOID, PMDL*, PIO_STATUS_BLOCK,
                                   PCOMPRESSED_DATA_INFO, ULONG, PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("WriteCompressed");
}
BOOLEAN NTAPI LowerMdlReadCompleteCompressed(PFILE_OBJECT, PMDL, PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("MdlReadCompleteCompressed");
}
BOOLEAN NTAPI LowerMdlWriteCompleteCompressed(PFILE_OBJECT, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT DeviceObject)
{
    NOTE_FAST_IO("MdlWriteCompleteCompressed");
}
BOOLEAN NTAPI LowerQueryOpen(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION, PDEVICE_OBJECT DeviceObject)
{
    g_QueryOpenSawInStack = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    g_FastIoCalls.push_back(FastIoCall{"QueryOpen", DeviceObject});
    return g_QueryOpenResult;
}
NTSTATUS NTAPI LowerReleaseForModWrite(PFILE_OBJECT, PERESOURCE, PDEVICE_OBJECT DeviceObject)
{
    g_FastIoCalls.push_back(FastIoCall{"ReleaseForModWrite", DeviceObject});
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI LowerAcquireForCcFlush(PFILE_OBJECT, PDEVICE_OBJECT DeviceObject)
{
    g_FastIoCalls.push_back(FastIoCall{"AcquireForCcFlush", DeviceObject});
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI LowerReleaseForCcFlush(PFILE_OBJECT, PDEVICE_OBJECT DeviceObject)
{
    g_FastIoCalls.push_back(FastIoCall{"ReleaseForCcFlush", DeviceObject});
    return STATUS_SUCCESS;
}

FAST_IO_DISPATCH FullLowerTable()
{
    FAST_IO_DISPATCH table{};
    table.SizeOfFastIoDispatch = sizeof(table);
    table.FastIoCheckIfPossible = LowerCheckIfPossible;
    table.FastIoRead = LowerRead;
    table.FastIoWrite = LowerWrite;
    table.FastIoQueryBasicInfo = LowerQueryBasicInfo;
    table.FastIoQueryStandardInfo = LowerQueryStandardInfo;
    table.FastIoLock = LowerLock;
    table.FastIoUnlockSingle = LowerUnlockSingle;
    table.FastIoUnlockAll = LowerUnlockAll;
    table.FastIoUnlockAllByKey = LowerUnlockAllByKey;
    table.FastIoDeviceControl = LowerDeviceControl;
    table.AcquireFileForNtCreateSection = LowerAcquireFile;
    table.ReleaseFileForNtCreateSection = LowerReleaseFile;
    table.FastIoDetachDevice = LowerDetachDevice;
    table.FastIoQueryNetworkOpenInfo = LowerQueryNetworkOpenInfo;
    table.AcquireForModWrite = LowerAcquireForModWrite;
    table.MdlRead = LowerMdlRead;
    table.MdlReadComplete = LowerMdlReadComplete;
    table.PrepareMdlWrite = LowerPrepareMdlWrite;
    table.MdlWriteComplete = LowerMdlWriteComplete;
    table.FastIoReadCompressed = LowerReadCompressed;
    table.FastIoWriteCompressed = LowerWriteCompressed;
    table.MdlReadCompleteCompressed = LowerMdlReadCompleteCompressed;
    table.MdlWriteCompleteCompressed = LowerMdlWriteCompleteCompressed;
    table.FastIoQueryOpen = LowerQueryOpen;
    table.ReleaseForModWrite = LowerReleaseForModWrite;
    table.AcquireForCcFlush = LowerAcquireForCcFlush;
    table.ReleaseForCcFlush = LowerReleaseForCcFlush;
    return table;
}

class FastIoForwardingTest : public AttachedDeviceTest
{
protected:
    void SetUp() override
    {
        AttachedDeviceTest::SetUp();
        g_FastIoCalls.clear();
        g_QueryOpenSawInStack = nullptr;
        g_QueryOpenResult = TRUE;
        m_Object = CreateStarted();
    }

    void TearDown() override
    {
        m_Lower->Driver()->FastIoDispatch = nullptr;
        AttachedDeviceTest::TearDown();
    }

    // Calls every fast-I/O operation of our object with `ours` as the device argument; returns
    // how many of the BOOLEAN ones said TRUE.
    int CallEveryOperation(PDEVICE_OBJECT ours)
    {
        DeviceObjectBase* object = m_Object;
        LARGE_INTEGER offset{};
        offset.QuadPart = 4096;
        IO_STATUS_BLOCK* iosb = reinterpret_cast<PIO_STATUS_BLOCK>(0x10B);
        PMDL mdl = nullptr;
        int yes = 0;
        yes += object->FastIoCheckIfPossible(nullptr, &offset, 1, TRUE, 0, TRUE, iosb, ours);
        yes += object->FastIoRead(reinterpret_cast<PFILE_OBJECT>(0xF11E), &offset, 512, TRUE, 9,
                                  reinterpret_cast<PVOID>(0xB0F), iosb, ours);
        yes += object->FastIoWrite(nullptr, &offset, 1, TRUE, 0, nullptr, iosb, ours);
        yes += object->FastIoQueryBasicInfo(nullptr, TRUE, nullptr, iosb, ours);
        yes += object->FastIoQueryStandardInfo(nullptr, TRUE, nullptr, iosb, ours);
        yes += object->FastIoLock(nullptr, &offset, &offset, nullptr, 0, FALSE, TRUE, iosb, ours);
        yes += object->FastIoUnlockSingle(nullptr, &offset, &offset, nullptr, 0, iosb, ours);
        yes += object->FastIoUnlockAll(nullptr, nullptr, iosb, ours);
        yes += object->FastIoUnlockAllByKey(nullptr, nullptr, 0, iosb, ours);
        yes += object->FastIoDeviceControl(nullptr, TRUE, nullptr, 0, nullptr, 0, 0x222000, iosb, ours);
        yes += object->FastIoQueryNetworkOpenInfo(nullptr, TRUE, nullptr, iosb, ours);
        yes += object->MdlRead(nullptr, &offset, 1, 0, &mdl, iosb, ours);
        yes += object->MdlReadComplete(nullptr, mdl, ours);
        yes += object->PrepareMdlWrite(nullptr, &offset, 1, 0, &mdl, iosb, ours);
        yes += object->MdlWriteComplete(nullptr, &offset, mdl, ours);
        yes += object->FastIoReadCompressed(nullptr, &offset, 1, 0, nullptr, &mdl, iosb, nullptr, 0, ours);
        yes += object->FastIoWriteCompressed(nullptr, &offset, 1, 0, nullptr, &mdl, iosb, nullptr, 0, ours);
        yes += object->MdlReadCompleteCompressed(nullptr, mdl, ours);
        yes += object->MdlWriteCompleteCompressed(nullptr, &offset, mdl, ours);
        // Left at the defaults whatever the lower driver offers.
        object->AcquireFileForNtCreateSection(nullptr);
        object->ReleaseFileForNtCreateSection(nullptr);
        EXPECT_EQ(object->AcquireForModWrite(nullptr, &offset, nullptr, ours), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(object->ReleaseForModWrite(nullptr, nullptr, ours), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(object->AcquireForCcFlush(nullptr, ours), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(object->ReleaseForCcFlush(nullptr, ours), STATUS_UNSUCCESSFUL);
        return yes;
    }

    TestAttached* m_Object = nullptr;
};

TEST_F(FastIoForwardingTest, LowerDriverWithoutATableGetsNothingAndTheAnswerIsFalse)
{
    ASSERT_EQ(m_Lower->Driver()->FastIoDispatch, nullptr);
    EXPECT_EQ(CallEveryOperation(m_Object->m_DeviceObject), 0);
    EXPECT_TRUE(g_FastIoCalls.empty());
    m_Object->Delete();
}

TEST_F(FastIoForwardingTest, LowerTableWithoutTheRoutineAnswersFalse)
{
    FAST_IO_DISPATCH empty{};
    empty.SizeOfFastIoDispatch = sizeof(empty);
    m_Lower->Driver()->FastIoDispatch = &empty;
    EXPECT_EQ(CallEveryOperation(m_Object->m_DeviceObject), 0);
    EXPECT_TRUE(g_FastIoCalls.empty());

    // SizeOfFastIoDispatch is not consulted: a table that claims no size still forwards.
    FAST_IO_DISPATCH sizeless = FullLowerTable();
    sizeless.SizeOfFastIoDispatch = 0;
    m_Lower->Driver()->FastIoDispatch = &sizeless;
    EXPECT_EQ(CallEveryOperation(m_Object->m_DeviceObject), 19);
    m_Object->Delete();
}

TEST_F(FastIoForwardingTest, EachForwardedOperationReachesItsOwnLowerRoutineWithTheLowerDevice)
{
    FAST_IO_DISPATCH table = FullLowerTable();
    m_Lower->Driver()->FastIoDispatch = &table;
    EXPECT_EQ(CallEveryOperation(m_Object->m_DeviceObject), 19);

    const std::vector<std::string> expected = {"CheckIfPossible",
                                               "Read",
                                               "Write",
                                               "QueryBasicInfo",
                                               "QueryStandardInfo",
                                               "Lock",
                                               "UnlockSingle",
                                               "UnlockAll",
                                               "UnlockAllByKey",
                                               "DeviceControl",
                                               "QueryNetworkOpenInfo",
                                               "MdlRead",
                                               "MdlReadComplete",
                                               "PrepareMdlWrite",
                                               "MdlWriteComplete",
                                               "ReadCompressed",
                                               "WriteCompressed",
                                               "MdlReadCompleteCompressed",
                                               "MdlWriteCompleteCompressed"};
    std::vector<std::string> names;
    for (const FastIoCall& call : g_FastIoCalls) {
        names.push_back(call.name);
        EXPECT_EQ(call.device, m_Pdo) << call.name << " got another device than the one attached to";
    }
    EXPECT_EQ(names, expected);
    m_Object->Delete();
}

TEST_F(FastIoForwardingTest, QueryOpenPointsTheStackAtTheLowerDeviceOnlyDuringTheCall)
{
    FAST_IO_DISPATCH table = FullLowerTable();
    m_Lower->Driver()->FastIoDispatch = &table;
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoSetNextIrpStackLocation(irp);
    PDEVICE_OBJECT ours = m_Object->m_DeviceObject;
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = ours;

    g_QueryOpenResult = 2; // any non-zero answer is TRUE
    EXPECT_EQ(m_Object->FastIoQueryOpen(irp, nullptr, ours), TRUE);
    EXPECT_EQ(g_QueryOpenSawInStack, m_Pdo);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, ours);

    g_QueryOpenResult = FALSE;
    g_QueryOpenSawInStack = nullptr;
    EXPECT_EQ(m_Object->FastIoQueryOpen(irp, nullptr, ours), FALSE);
    EXPECT_EQ(g_QueryOpenSawInStack, m_Pdo);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, ours);
    ASSERT_EQ(g_FastIoCalls.size(), 2u);
    EXPECT_EQ(g_FastIoCalls[0].device, m_Pdo);

    // Without a lower routine the stack location is not touched at all.
    table.FastIoQueryOpen = nullptr;
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = nullptr;
    EXPECT_EQ(m_Object->FastIoQueryOpen(irp, nullptr, ours), FALSE);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, nullptr);
    IoSkipCurrentIrpStackLocation(irp);
    IoFreeIrp(irp);
    m_Object->Delete();
}

TEST_F(FastIoForwardingTest, DetachFromBelowEndsTheObject)
{
    FAST_IO_DISPATCH table = FullLowerTable();
    m_Lower->Driver()->FastIoDispatch = &table;
    PDEVICE_OBJECT ours = m_Object->m_DeviceObject;
    m_Object->FastIoDetachDevice(reinterpret_cast<PDEVICE_OBJECT>(0x1), reinterpret_cast<PDEVICE_OBJECT>(0x2));
    EXPECT_TRUE(g_FastIoCalls.empty()) << "detach is not forwarded";
    EXPECT_EQ(m_Pdo->AttachedDevice, nullptr);
    EXPECT_FALSE(simk::IsDeviceObject(ours));
}

} // namespace
