// The control device: its creation with the symbolic link, and the exclusive open.
#include <ntddk.h>
#include "control/control_device.h"
#include "driver/diagnostics.h"
#include "driver/driver_globals.h"
#include "registry/bus_registry.h"
#include "msdscnames.h"

namespace {

constexpr WCHAR CONTROL_DEVICE_NAME[] = MSDSC_WIDE(MSDSC_CONTROL_DEVICE_NAME);
constexpr WCHAR CONTROL_LINK_NAME[] = MSDSC_WIDE(MSDSC_CONTROL_LINK_NAME);

// What a session's handle must have been granted: the control codes are FILE_ANY_ACCESS, which
// existing clients rely on, so the open is where a handle without these rights is turned away.
constexpr ACCESS_MASK SESSION_ACCESS = FILE_READ_DATA | FILE_WRITE_DATA;

// STATUS_SUCCESS when the create is a plain open of the device itself, read and write, or the
// status it is refused with. What IRP_MJ_CREATE carries (IO_SECURITY_CONTEXT, ACCESS_STATE):
// - a name below the device, or one relative to an open file of it: the device has no namespace,
//   and a name there is not found (FILE_DEVICE_SECURE_OPEN only makes the I/O manager check the
//   device's DACL for such names; answering them is the driver's part);
// - extended attributes: the device keeps none;
// - FILE_OPEN_FOR_BACKUP_INTENT: a backup operator's privileges pass the access check without the
//   DACL (ZwCreateFile), and nothing here is backed up or restored;
// - a disposition other than FILE_OPEN: nothing can be created, replaced or overwritten;
// - an access state that granted less than read and write: the DACL admitted the caller, but the
//   handle was opened for less (SYNCHRONIZE alone, say).
// Windows always passes the security context. Wine 8.0 passes none, and its options lack the
// disposition: there the DACL alone has decided, and the disposition cannot be told.
NTSTATUS CheckSessionOpen(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    if (fileObject != nullptr && (fileObject->FileName.Length != 0 || fileObject->RelatedFileObject != nullptr)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (stack->Parameters.Create.EaLength != 0) {
        return STATUS_EAS_NOT_SUPPORTED;
    }
    const ULONG options = stack->Parameters.Create.Options;
    if ((options & FILE_OPEN_FOR_BACKUP_INTENT) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    PIO_SECURITY_CONTEXT security = stack->Parameters.Create.SecurityContext;
    if (security == nullptr) {
        return STATUS_SUCCESS;
    }
    if ((options >> 24) != FILE_OPEN) {
        return STATUS_INVALID_PARAMETER;
    }
    if (security->AccessState != nullptr &&
        (security->AccessState->PreviouslyGrantedAccess & SESSION_ACCESS) != SESSION_ACCESS) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, CONTROL_DEVICE_NAME);
    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ControlDevice), &deviceName, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    g_ControlDevice = static_cast<ControlDevice*>(deviceObject->DeviceExtension);
    new (deviceObject->DeviceExtension, InPlace) ControlDevice(DriverObject, deviceObject);
    status = g_ControlDevice->Start();
    if (!NT_SUCCESS(status)) {
        g_ControlDevice->Delete();
        g_ControlDevice = nullptr;
    }
    return status;
}

void DeleteControlDevice()
{
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&linkName);
    g_ControlDevice->Delete();
    g_ControlDevice = nullptr;
}

ControlDevice::ControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject)
    : DeviceObjectBase(DriverObject, DeviceObject), m_Opened(false), m_SessionEnding(false), m_Session(nullptr),
      m_RequestsUnderWay(0)
{
    KeInitializeEvent(&m_RequestsDone, NotificationEvent, FALSE);
}

ControlDevice::~ControlDevice() {}

NTSTATUS ControlDevice::Start()
{
    // Before the link exists: no one may reach the device with the default security, which lets
    // every local user in. A device that cannot be protected is not offered at all.
    NTSTATUS status = ProtectControlDevice(m_DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, CONTROL_LINK_NAME);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // No buffering flag: the device takes no reads or writes, and its control codes name their
    // own buffering method.
    m_DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS ControlDevice::DispatchCreate(PIRP Irp)
{
    // What the open asks for is judged before whether the device is free: a malformed open never
    // learns that a session exists.
    NTSTATUS status = CheckSessionOpen(Irp);
    if (!NT_SUCCESS(status)) {
        MSDSC_REFUSED("open refused (%08X): not a plain read and write open of the device", StatusCode(status));
        return CompleteIrpWith(Irp, status);
    }
    {
        MutexGuard guard(&m_Mutex);
        // The registry is asked inside the mutex (the order is in driver/kernel_support.h): a bus
        // that leaves now either left before this open, which is refused, or after it.
        ListHold registryHold(g_BusRegistry->m_Buses);
        // An open handle refuses the next open whatever the buses do. A sharing violation, not
        // access denied: the I/O manager already answers that for a caller who is not an
        // administrator, and the client tells the two apart.
        if (m_Opened) {
            status = STATUS_SHARING_VIOLATION;
        } else if (!g_BusRegistry->HasBus()) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else {
            m_Opened = true;
            m_SessionEnding = false;
            m_Session = IoGetCurrentIrpStackLocation(Irp)->FileObject;
            status = STATUS_SUCCESS;
        }
    }
    if (status == STATUS_SHARING_VIOLATION) {
        MSDSC_REFUSED("open refused (%08X): another session holds the control device", StatusCode(status));
    } else if (!NT_SUCCESS(status)) {
        MSDSC_REFUSED("open refused (%08X): no bus is registered", StatusCode(status));
    } else {
        MSDSC_EVENT("session opened");
    }
    return CompleteIrpWith(Irp, status);
}

NTSTATUS ControlDevice::DispatchClose(PIRP Irp)
{
    // Windows has sent the cleanup already and this finds the session over; Wine sends none.
    EndSession(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

bool ControlDevice::EnterSessionRequest(PFILE_OBJECT FileObject)
{
    // One section with the session's end: a request is either counted before the end begins, and
    // the end waits for it, or refused.
    MutexGuard guard(&m_Mutex);
    if (!m_Opened || m_SessionEnding || FileObject != m_Session) {
        return false;
    }
    ++m_RequestsUnderWay;
    return true;
}

void ControlDevice::LeaveSessionRequest()
{
    MutexGuard guard(&m_Mutex);
    if (--m_RequestsUnderWay == 0 && m_SessionEnding) {
        KeSetEvent(&m_RequestsDone, IO_NO_INCREMENT, FALSE);
    }
}
