// Attachment over a lower device stack, the pass-down defaults and the ways of handing a request
// to the lower driver. The forwarding of fast I/O is in fast_io.cpp.
#include <ntddk.h>
#include "driver/attached_device.h"

NTSTATUS PassIrpDown(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        // The power manager sends the next power request only once this driver says so.
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(LowerDevice, Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerDevice, Irp);
}

NTSTATUS CallLowerWithCompletion(PDEVICE_OBJECT LowerDevice, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                 PVOID Context)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, TRUE, TRUE, TRUE);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        return PoCallDriver(LowerDevice, Irp);
    }
    return IoCallDriver(LowerDevice, Irp);
}

NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = CallLowerWithCompletion(LowerDevice, Irp, ForwardIrpAndWaitCompletion, &event);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS NTAPI ForwardIrpAndWaitCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    // Only a request that went pending has a waiter; the event lives on that waiter's stack.
    if (Irp->PendingReturned) {
        KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    }
    // Stops completion here so the request cannot be freed before the waiter reads its status.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

namespace {

constexpr ULONG ATTACHED_REMOVE_LOCK_TAG = MakePoolTag("msrl");

} // namespace

AttachedDevice::AttachedDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                               PDEVICE_OBJECT PhysicalDeviceObject)
    : DeviceObjectBase(DriverObject, DeviceObject), m_PhysicalDeviceObject(PhysicalDeviceObject),
      m_LowerDeviceObject(nullptr)
{
    IoInitializeRemoveLock(&m_RemoveLock, ATTACHED_REMOVE_LOCK_TAG, 0, 0);
}

AttachedDevice::~AttachedDevice() {}

NTSTATUS AttachedDevice::Start()
{
    const NTSTATUS status =
        IoAttachDeviceToDeviceStackSafe(m_DeviceObject, m_PhysicalDeviceObject, &m_LowerDeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A device above a pageable one must be pageable too, or the power manager would call it at
    // DISPATCH_LEVEL in a stack it believes it may page.
    m_DeviceObject->Flags |= m_LowerDeviceObject->Flags & DO_POWER_PAGABLE;
    m_DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS AttachedDevice::PassDownHeld(PIRP Irp)
{
    const NTSTATUS held = IoAcquireRemoveLock(&m_RemoveLock, Irp);
    if (!NT_SUCCESS(held)) {
        return CompleteIrpWith(Irp, held);
    }
    const NTSTATUS status = PassIrpDown(m_LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&m_RemoveLock, Irp);
    return status;
}

void AttachedDevice::Delete()
{
    if (m_LowerDeviceObject != nullptr) {
        IoDetachDevice(m_LowerDeviceObject);
        m_LowerDeviceObject = nullptr;
    }
    DeviceObjectBase::Delete();
}

NTSTATUS AttachedDevice::DispatchCreate(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchCreateNamedPipe(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchClose(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchRead(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchWrite(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQueryInformation(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetInformation(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQueryEa(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetEa(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchFlushBuffers(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQueryVolumeInformation(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetVolumeInformation(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchDirectoryControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchFileSystemControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchDeviceControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchInternalDeviceControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchShutdown(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchLockControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchCleanup(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchCreateMailslot(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQuerySecurity(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetSecurity(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchPower(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSystemControl(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchDeviceChange(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchQueryQuota(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchSetQuota(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchPnp(PIRP Irp) { return PassDownHeld(Irp); }
NTSTATUS AttachedDevice::DispatchOther(PIRP Irp) { return PassDownHeld(Irp); }
