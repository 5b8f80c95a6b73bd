// The base behaviour of every device class: construction, Start, Delete, the default handlers,
// request completion and the routing of every request. The fast-I/O defaults are in fast_io.cpp.
#include <ntddk.h>
#include "driver/device_object_base.h"

void CompleteIrp(PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

namespace {

using Handler = NTSTATUS (DeviceObjectBase::*)(PIRP);

// Indexed by major function code; codes above IRP_MJ_PNP go to DispatchOther.
constexpr Handler MAJOR_FUNCTION_HANDLERS[] = {
    &DeviceObjectBase::DispatchCreate,
    &DeviceObjectBase::DispatchCreateNamedPipe,
    &DeviceObjectBase::DispatchClose,
    &DeviceObjectBase::DispatchRead,
    &DeviceObjectBase::DispatchWrite,
    &DeviceObjectBase::DispatchQueryInformation,
    &DeviceObjectBase::DispatchSetInformation,
    &DeviceObjectBase::DispatchQueryEa,
    &DeviceObjectBase::DispatchSetEa,
    &DeviceObjectBase::DispatchFlushBuffers,
    &DeviceObjectBase::DispatchQueryVolumeInformation,
    &DeviceObjectBase::DispatchSetVolumeInformation,
    &DeviceObjectBase::DispatchDirectoryControl,
    &DeviceObjectBase::DispatchFileSystemControl,
    &DeviceObjectBase::DispatchDeviceControl,
    &DeviceObjectBase::DispatchInternalDeviceControl,
    &DeviceObjectBase::DispatchShutdown,
    &DeviceObjectBase::DispatchLockControl,
    &DeviceObjectBase::DispatchCleanup,
    &DeviceObjectBase::DispatchCreateMailslot,
    &DeviceObjectBase::DispatchQuerySecurity,
    &DeviceObjectBase::DispatchSetSecurity,
    &DeviceObjectBase::DispatchPower,
    &DeviceObjectBase::DispatchSystemControl,
    &DeviceObjectBase::DispatchDeviceChange,
    &DeviceObjectBase::DispatchQueryQuota,
    &DeviceObjectBase::DispatchSetQuota,
    &DeviceObjectBase::DispatchPnp,
};

static_assert(sizeof(MAJOR_FUNCTION_HANDLERS) / sizeof(MAJOR_FUNCTION_HANDLERS[0]) == IRP_MJ_MAXIMUM_FUNCTION + 1,
              "one handler per major function code");

} // namespace

NTSTATUS NTAPI DispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceObjectBase* object = static_cast<DeviceObjectBase*>(DeviceObject->DeviceExtension);
    const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        return object->DispatchOther(Irp);
    }
    return (object->*MAJOR_FUNCTION_HANDLERS[major])(Irp);
}

DeviceObjectBase::DeviceObjectBase(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject)
    : m_DriverObject(DriverObject), m_DeviceObject(DeviceObject), m_Deleted(false)
{}

DeviceObjectBase::~DeviceObjectBase() {}

NTSTATUS DeviceObjectBase::Start()
{
    m_DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void DeviceObjectBase::Delete()
{
    PDEVICE_OBJECT deviceObject = nullptr;
    if (m_DeviceObject != nullptr && !m_Deleted) {
        deviceObject = m_DeviceObject;
        m_Deleted = true;
    }
    this->~DeviceObjectBase();
    // The object lives in the device extension, which may be freed right here: nothing of the
    // object is touched after this call.
    if (deviceObject != nullptr) {
        IoDeleteDevice(deviceObject);
    }
}

NTSTATUS CompleteIrpWith(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    CompleteIrp(Irp);
    return Status;
}

NTSTATUS DeviceObjectBase::CompleteNotImplemented(PIRP Irp) { return CompleteIrpWith(Irp, STATUS_NOT_IMPLEMENTED); }

NTSTATUS DeviceObjectBase::DispatchCreate(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchCreateNamedPipe(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchClose(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchRead(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchWrite(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchQueryInformation(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchSetInformation(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchQueryEa(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchSetEa(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchFlushBuffers(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchQueryVolumeInformation(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchSetVolumeInformation(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchDirectoryControl(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchFileSystemControl(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchDeviceControl(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchInternalDeviceControl(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchShutdown(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchLockControl(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchCleanup(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchCreateMailslot(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchQuerySecurity(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchSetSecurity(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchPower(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchSystemControl(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchDeviceChange(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchQueryQuota(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchSetQuota(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchPnp(PIRP Irp) { return CompleteNotImplemented(Irp); }
NTSTATUS DeviceObjectBase::DispatchOther(PIRP Irp) { return CompleteNotImplemented(Irp); }
