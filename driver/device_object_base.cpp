// The base behaviour of every device class: construction, Start, Delete, the default handlers
// and fast-I/O results, request completion and the routing of every request.
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
{
}

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

NTSTATUS DeviceObjectBase::CompleteNotImplemented(PIRP Irp)
{
    return CompleteIrpWith(Irp, STATUS_NOT_IMPLEMENTED);
}

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

// The driver installs no fast-I/O table, so these are reachable only through the class; the
// defaults say "not done this way" in each result type.

BOOLEAN DeviceObjectBase::FastIoCheckIfPossible(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, BOOLEAN,
                                                PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoRead(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID,
                                     PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoWrite(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, BOOLEAN, ULONG, PVOID,
                                      PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoQueryBasicInfo(struct _FILE_OBJECT*, BOOLEAN, struct _FILE_BASIC_INFORMATION*,
                                               PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoQueryStandardInfo(struct _FILE_OBJECT*, BOOLEAN, struct _FILE_STANDARD_INFORMATION*,
                                                  PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoLock(struct _FILE_OBJECT*, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG, BOOLEAN,
                                     BOOLEAN, PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoUnlockSingle(struct _FILE_OBJECT*, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS, ULONG,
                                             PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoUnlockAll(struct _FILE_OBJECT*, PEPROCESS, PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoUnlockAllByKey(struct _FILE_OBJECT*, PVOID, ULONG, PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoDeviceControl(struct _FILE_OBJECT*, BOOLEAN, PVOID, ULONG, PVOID, ULONG, ULONG,
                                              PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

void DeviceObjectBase::AcquireFileForNtCreateSection(struct _FILE_OBJECT*) {}

void DeviceObjectBase::ReleaseFileForNtCreateSection(struct _FILE_OBJECT*) {}

void DeviceObjectBase::FastIoDetachDevice(PDEVICE_OBJECT, PDEVICE_OBJECT) {}

BOOLEAN DeviceObjectBase::FastIoQueryNetworkOpenInfo(struct _FILE_OBJECT*, BOOLEAN,
                                                     struct _FILE_NETWORK_OPEN_INFORMATION*, PIO_STATUS_BLOCK,
                                                     PDEVICE_OBJECT)
{
    return FALSE;
}

NTSTATUS DeviceObjectBase::AcquireForModWrite(struct _FILE_OBJECT*, PLARGE_INTEGER, struct _ERESOURCE**,
                                              PDEVICE_OBJECT)
{
    return STATUS_UNSUCCESSFUL;
}

BOOLEAN DeviceObjectBase::MdlRead(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, ULONG, PMDL*, PIO_STATUS_BLOCK,
                                  PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::MdlReadComplete(struct _FILE_OBJECT*, PMDL, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::PrepareMdlWrite(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, ULONG, PMDL*,
                                          PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::MdlWriteComplete(struct _FILE_OBJECT*, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoReadCompressed(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, ULONG, PVOID, PMDL*,
                                               PIO_STATUS_BLOCK, struct _COMPRESSED_DATA_INFO*, ULONG,
                                               PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoWriteCompressed(struct _FILE_OBJECT*, PLARGE_INTEGER, ULONG, ULONG, PVOID, PMDL*,
                                                PIO_STATUS_BLOCK, struct _COMPRESSED_DATA_INFO*, ULONG,
                                                PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::MdlReadCompleteCompressed(struct _FILE_OBJECT*, PMDL, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::MdlWriteCompleteCompressed(struct _FILE_OBJECT*, PLARGE_INTEGER, PMDL, PDEVICE_OBJECT)
{
    return FALSE;
}

BOOLEAN DeviceObjectBase::FastIoQueryOpen(PIRP, struct _FILE_NETWORK_OPEN_INFORMATION*, PDEVICE_OBJECT)
{
    return FALSE;
}

NTSTATUS DeviceObjectBase::ReleaseForModWrite(struct _FILE_OBJECT*, struct _ERESOURCE*, PDEVICE_OBJECT)
{
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS DeviceObjectBase::AcquireForCcFlush(struct _FILE_OBJECT*, PDEVICE_OBJECT)
{
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS DeviceObjectBase::ReleaseForCcFlush(struct _FILE_OBJECT*, PDEVICE_OBJECT)
{
    return STATUS_UNSUCCESSFUL;
}
