// Routing of every request to the handler of its major function, the default handlers and
// fast-I/O results, Start and Delete of the base class.
#include <ntddk.h>
#include <gtest/gtest.h>

#include <vector>

#include "driver/device_object_base.h"
#include "simkernel/io.h"
#include "simkernel/kernel.h"
#include "simkernel/power.h"
#include "simkernel/testing.h"
#include "support/in_process_driver.h"

namespace {

using msdsc::testing::CreateDeviceWith;
using msdsc::testing::LoadRoutingDriver;

constexpr ULONG_PTR UNTOUCHED = 0x5A5A5A5A;
constexpr UCHAR OTHER = 0xFF;

// Overrides every handler slot and reports in Information which one ran.
class RecordingDevice : public DeviceObjectBase
{
public:
    RecordingDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) : DeviceObjectBase(driver, device) {}

    std::vector<UCHAR> calls;

    NTSTATUS Handle(UCHAR slot, PIRP Irp)
    {
        calls.push_back(slot);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0x1000 + slot;
        CompleteIrp(Irp);
        return STATUS_SUCCESS;
    }

    NTSTATUS DispatchCreate(PIRP Irp) override { return Handle(IRP_MJ_CREATE, Irp); }
    NTSTATUS DispatchCreateNamedPipe(PIRP Irp) override { return Handle(IRP_MJ_CREATE_NAMED_PIPE, Irp); }
    NTSTATUS DispatchClose(PIRP Irp) override { return Handle(IRP_MJ_CLOSE, Irp); }
    NTSTATUS DispatchRead(PIRP Irp) override { return Handle(IRP_MJ_READ, Irp); }
    NTSTATUS DispatchWrite(PIRP Irp) override { return Handle(IRP_MJ_WRITE, Irp); }
    NTSTATUS DispatchQueryInformation(PIRP Irp) override { return Handle(IRP_MJ_QUERY_INFORMATION, Irp); }
    NTSTATUS DispatchSetInformation(PIRP Irp) override { return Handle(IRP_MJ_SET_INFORMATION, Irp); }
    NTSTATUS DispatchQueryEa(PIRP Irp) override { return Handle(IRP_MJ_QUERY_EA, Irp); }
    NTSTATUS DispatchSetEa(PIRP Irp) override { return Handle(IRP_MJ_SET_EA, Irp); }
    NTSTATUS DispatchFlushBuffers(PIRP Irp) override { return Handle(IRP_MJ_FLUSH_BUFFERS, Irp); }
    NTSTATUS DispatchQueryVolumeInformation(PIRP Irp) override { return Handle(IRP_MJ_QUERY_VOLUME_INFORMATION, Irp); }
    NTSTATUS DispatchSetVolumeInformation(PIRP Irp) override { return Handle(IRP_MJ_SET_VOLUME_INFORMATION, Irp); }
    NTSTATUS DispatchDirectoryControl(PIRP Irp) override { return Handle(IRP_MJ_DIRECTORY_CONTROL, Irp); }
    NTSTATUS DispatchFileSystemControl(PIRP Irp) override { return Handle(IRP_MJ_FILE_SYSTEM_CONTROL, Irp); }
    NTSTATUS DispatchDeviceControl(PIRP Irp) override { return Handle(IRP_MJ_DEVICE_CONTROL, Irp); }
    NTSTATUS DispatchInternalDeviceControl(PIRP Irp) override { return Handle(IRP_MJ_INTERNAL_DEVICE_CONTROL, Irp); }
    NTSTATUS DispatchShutdown(PIRP Irp) override { return Handle(IRP_MJ_SHUTDOWN, Irp); }
    NTSTATUS DispatchLockControl(PIRP Irp) override { return Handle(IRP_MJ_LOCK_CONTROL, Irp); }
    NTSTATUS DispatchCleanup(PIRP Irp) override { return Handle(IRP_MJ_CLEANUP, Irp); }
    NTSTATUS DispatchCreateMailslot(PIRP Irp) override { return Handle(IRP_MJ_CREATE_MAILSLOT, Irp); }
    NTSTATUS DispatchQuerySecurity(PIRP Irp) override { return Handle(IRP_MJ_QUERY_SECURITY, Irp); }
    NTSTATUS DispatchSetSecurity(PIRP Irp) override { return Handle(IRP_MJ_SET_SECURITY, Irp); }
    NTSTATUS DispatchPower(PIRP Irp) override { return Handle(IRP_MJ_POWER, Irp); }
    NTSTATUS DispatchSystemControl(PIRP Irp) override { return Handle(IRP_MJ_SYSTEM_CONTROL, Irp); }
    NTSTATUS DispatchDeviceChange(PIRP Irp) override { return Handle(IRP_MJ_DEVICE_CHANGE, Irp); }
    NTSTATUS DispatchQueryQuota(PIRP Irp) override { return Handle(IRP_MJ_QUERY_QUOTA, Irp); }
    NTSTATUS DispatchSetQuota(PIRP Irp) override { return Handle(IRP_MJ_SET_QUOTA, Irp); }
    NTSTATUS DispatchPnp(PIRP Irp) override { return Handle(IRP_MJ_PNP, Irp); }
    NTSTATUS DispatchOther(PIRP Irp) override { return Handle(OTHER, Irp); }
};

// Overrides nothing but reports its destruction.
class PlainDevice : public DeviceObjectBase
{
public:
    PlainDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT device, int* destroyed = nullptr,
                bool* deviceAliveAtDestruction = nullptr)
        : DeviceObjectBase(driver, device), m_Destroyed(destroyed), m_AliveAtDestruction(deviceAliveAtDestruction)
    {}
    ~PlainDevice() override
    {
        if (m_Destroyed != nullptr) {
            ++*m_Destroyed;
        }
        if (m_AliveAtDestruction != nullptr) {
            *m_AliveAtDestruction = !simk::IsDeviceDeleted(m_DeviceObject);
        }
    }

private:
    int* m_Destroyed;
    bool* m_AliveAtDestruction;
};

// A Start that fails, as a creation over a vanished lower stack would.
class FailingStartDevice : public PlainDevice
{
public:
    using PlainDevice::PlainDevice;
    NTSTATUS Start() override { return STATUS_NO_SUCH_DEVICE; }
};

// Sends a request to `device` through the I/O manager; Information starts as UNTOUCHED.
struct Sent {
    NTSTATUS dispatchStatus;
    IO_STATUS_BLOCK iosb;
};

Sent Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0)
{
    PIRP irp = simk::io::BuildIrp(device, major, minor);
    irp->IoStatus.Information = UNTOUCHED;
    Sent sent{};
    simk::io::SendAndWait(device, irp, &sent.iosb, &sent.dispatchStatus);
    IoFreeIrp(irp);
    return sent;
}

// Codes above IRP_MJ_PNP never come through the I/O manager's table, so DispatchIrp is called
// the way the table would call it.
Sent SendDirect(PDEVICE_OBJECT device, UCHAR major)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = UNTOUCHED;
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->DeviceObject = device;
    Sent sent{};
    sent.dispatchStatus = DispatchIrp(device, irp);
    sent.iosb = irp->IoStatus;
    IoFreeIrp(irp);
    return sent;
}

class DeviceRoutingTest : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        m_Driver = LoadRoutingDriver();
        ASSERT_NE(m_Driver, nullptr);
    }

    PDRIVER_OBJECT m_Driver = nullptr;
};

TEST_F(DeviceRoutingTest, EveryMajorFunctionReachesItsOwnHandler)
{
    RecordingDevice* object = CreateDeviceWith<RecordingDevice>(m_Driver, FILE_DEVICE_UNKNOWN);
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(object->Start(), STATUS_SUCCESS);

    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        object->calls.clear();
        const Sent sent = Send(object->m_DeviceObject, major);
        ASSERT_EQ(object->calls, std::vector<UCHAR>{major}) << "major function " << int(major);
        EXPECT_EQ(sent.iosb.Information, 0x1000u + major);
        EXPECT_EQ(sent.dispatchStatus, STATUS_SUCCESS);
    }
    for (UCHAR major : {UCHAR(IRP_MJ_MAXIMUM_FUNCTION + 1), UCHAR(0x40), UCHAR(0xFF)}) {
        object->calls.clear();
        SendDirect(object->m_DeviceObject, major);
        EXPECT_EQ(object->calls, std::vector<UCHAR>{OTHER}) << "major function " << int(major);
    }
    object->Delete();
}

TEST_F(DeviceRoutingTest, UnhandledRequestsCompleteNotImplementedWithInformationUntouched)
{
    PlainDevice* object = CreateDeviceWith<PlainDevice>(m_Driver, FILE_DEVICE_UNKNOWN);
    ASSERT_NE(object, nullptr);
    object->Start();

    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (major == IRP_MJ_POWER) {
            continue; // sent by the power manager below
        }
        const Sent sent = Send(object->m_DeviceObject, major);
        EXPECT_EQ(sent.dispatchStatus, STATUS_NOT_IMPLEMENTED) << "major function " << int(major);
        EXPECT_EQ(sent.iosb.Status, STATUS_NOT_IMPLEMENTED) << "major function " << int(major);
        EXPECT_EQ(sent.iosb.Information, UNTOUCHED) << "major function " << int(major);
    }
    const Sent other = SendDirect(object->m_DeviceObject, 0x30);
    EXPECT_EQ(other.dispatchStatus, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(other.iosb.Information, UNTOUCHED);
    object->Delete();
}

TEST_F(DeviceRoutingTest, PowerRequestAtADefaultHandlerLetsTheNextOneGoBeforeCompletion)
{
    PlainDevice* object = CreateDeviceWith<PlainDevice>(m_Driver, FILE_DEVICE_UNKNOWN);
    ASSERT_NE(object, nullptr);
    object->Start();

    const simk::power::PowerIrpResult result = simk::power::SetDevicePower(object->m_DeviceObject, PowerDeviceD0);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED);
    EXPECT_TRUE(result.startNextBeforeCompletion);
    object->Delete();
}

TEST_F(DeviceRoutingTest, StartClearsOnlyTheInitializingFlag)
{
    PlainDevice* object = CreateDeviceWith<PlainDevice>(m_Driver, FILE_DEVICE_UNKNOWN);
    ASSERT_NE(object, nullptr);
    PDEVICE_OBJECT device = object->m_DeviceObject;
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    const ULONG characteristics = device->Characteristics;
    ASSERT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);

    EXPECT_EQ(object->Start(), STATUS_SUCCESS);
    EXPECT_EQ(device->Flags, ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(device->Characteristics, characteristics);
    object->Delete();
}

TEST_F(DeviceRoutingTest, DeleteDestroysTheObjectThenDeletesItsDeviceOnce)
{
    int destroyed = 0;
    bool aliveAtDestruction = false;
    PlainDevice* object = CreateDeviceWith<PlainDevice>(m_Driver, FILE_DEVICE_UNKNOWN, &destroyed, &aliveAtDestruction);
    ASSERT_NE(object, nullptr);
    PDEVICE_OBJECT device = object->m_DeviceObject;
    object->Start();

    object->Delete();
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(aliveAtDestruction) << "the device object was deleted before the object was destroyed";
    EXPECT_FALSE(simk::IsDeviceObject(device));
    EXPECT_TRUE(simk::DevicesOfDriver(m_Driver).empty());
}

TEST_F(DeviceRoutingTest, FailedStartLeavesACreationPathThatDeletesTheDeviceOnce)
{
    int destroyed = 0;
    FailingStartDevice* object = CreateDeviceWith<FailingStartDevice>(m_Driver, FILE_DEVICE_UNKNOWN, &destroyed);
    ASSERT_NE(object, nullptr);
    PDEVICE_OBJECT device = object->m_DeviceObject;
    {
        DeleteOnFailure deleteOnFailure(object);
        ASSERT_EQ(object->Start(), STATUS_NO_SUCH_DEVICE);
        EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_FALSE(simk::IsDeviceObject(device));

    // A dismissed guard leaves a started object alone.
    PlainDevice* kept = CreateDeviceWith<PlainDevice>(m_Driver, FILE_DEVICE_UNKNOWN, &destroyed);
    {
        DeleteOnFailure deleteOnFailure(kept);
        kept->Start();
        deleteOnFailure.Dismiss();
    }
    EXPECT_EQ(destroyed, 1);
    EXPECT_TRUE(simk::IsDeviceObject(kept->m_DeviceObject));
    kept->Delete();
}

TEST_F(DeviceRoutingTest, FastIoDefaultsRefuseByResultType)
{
    PlainDevice* object = CreateDeviceWith<PlainDevice>(m_Driver, FILE_DEVICE_UNKNOWN);
    ASSERT_NE(object, nullptr);
    object->Start();
    PDEVICE_OBJECT device = object->m_DeviceObject;
    DeviceObjectBase* base = object;
    LARGE_INTEGER offset{};
    IO_STATUS_BLOCK iosb{};
    iosb.Status = 0x1234;
    PMDL mdl = nullptr;
    char buffer[16] = {};

    EXPECT_FALSE(base->FastIoCheckIfPossible(nullptr, &offset, 16, TRUE, 0, TRUE, &iosb, device));
    EXPECT_FALSE(base->FastIoRead(nullptr, &offset, 16, TRUE, 0, buffer, &iosb, device));
    EXPECT_FALSE(base->FastIoWrite(nullptr, &offset, 16, TRUE, 0, buffer, &iosb, device));
    EXPECT_FALSE(base->FastIoQueryBasicInfo(nullptr, TRUE, nullptr, &iosb, device));
    EXPECT_FALSE(base->FastIoQueryStandardInfo(nullptr, TRUE, nullptr, &iosb, device));
    EXPECT_FALSE(base->FastIoLock(nullptr, &offset, &offset, nullptr, 0, FALSE, TRUE, &iosb, device));
    EXPECT_FALSE(base->FastIoUnlockSingle(nullptr, &offset, &offset, nullptr, 0, &iosb, device));
    EXPECT_FALSE(base->FastIoUnlockAll(nullptr, nullptr, &iosb, device));
    EXPECT_FALSE(base->FastIoUnlockAllByKey(nullptr, nullptr, 0, &iosb, device));
    EXPECT_FALSE(base->FastIoDeviceControl(nullptr, TRUE, buffer, 4, buffer, 4, 0x222000, &iosb, device));
    EXPECT_FALSE(base->FastIoQueryNetworkOpenInfo(nullptr, TRUE, nullptr, &iosb, device));
    EXPECT_FALSE(base->MdlRead(nullptr, &offset, 16, 0, &mdl, &iosb, device));
    EXPECT_FALSE(base->MdlReadComplete(nullptr, mdl, device));
    EXPECT_FALSE(base->PrepareMdlWrite(nullptr, &offset, 16, 0, &mdl, &iosb, device));
    EXPECT_FALSE(base->MdlWriteComplete(nullptr, &offset, mdl, device));
    EXPECT_FALSE(base->FastIoReadCompressed(nullptr, &offset, 16, 0, buffer, &mdl, &iosb, nullptr, 0, device));
    EXPECT_FALSE(base->FastIoWriteCompressed(nullptr, &offset, 16, 0, buffer, &mdl, &iosb, nullptr, 0, device));
    EXPECT_FALSE(base->MdlReadCompleteCompressed(nullptr, mdl, device));
    EXPECT_FALSE(base->MdlWriteCompleteCompressed(nullptr, &offset, mdl, device));
    EXPECT_FALSE(base->FastIoQueryOpen(nullptr, nullptr, device));
    EXPECT_EQ(base->AcquireForModWrite(nullptr, &offset, nullptr, device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(base->ReleaseForModWrite(nullptr, nullptr, device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(base->AcquireForCcFlush(nullptr, device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(base->ReleaseForCcFlush(nullptr, device), STATUS_UNSUCCESSFUL);
    base->AcquireFileForNtCreateSection(nullptr);
    base->ReleaseFileForNtCreateSection(nullptr);
    // The base has nothing to detach from: its device object stays.
    base->FastIoDetachDevice(device, nullptr);
    EXPECT_TRUE(simk::IsDeviceObject(device));
    EXPECT_FALSE(simk::IsDeviceDeleted(device));
    EXPECT_EQ(iosb.Status, 0x1234) << "a refused fast-I/O call wrote the status block";
    object->Delete();
}

} // namespace
