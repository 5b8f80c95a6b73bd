// Plug and Play of the sample reader driver: the start that reads the reader's configuration once
// the reader below has written it, the device interface's life, and the removal that waits for
// every request still inside.
#include <ntddk.h>

#include "msdscnames.h"
#include "sample/sample_device.h"
#include "sample/sample_faults.h"

namespace {

// The values in the order the reader writes them; "Exists" last, so 1 there means the three before
// it are this reader's.
struct ValueToRead {
    const WCHAR* Name;
    ULONG SampleConfiguration::*Field;
};
const ValueToRead VALUES_TO_READ[] = {
    {MSDSC_WIDE(MSDSC_VALUE_NUMBER), &SampleConfiguration::Number},
    {MSDSC_WIDE(MSDSC_VALUE_DRIVE), &SampleConfiguration::Drive},
    {MSDSC_WIDE(MSDSC_VALUE_LOG), &SampleConfiguration::Log},
    {MSDSC_WIDE(MSDSC_VALUE_EXISTS), &SampleConfiguration::Exists},
};
constexpr ULONG READER_EXISTS = 1;

// One REG_DWORD. A missing value keeps the registry's own status (STATUS_OBJECT_NAME_NOT_FOUND);
// any other type or size is the reader's configuration gone wrong.
NTSTATUS ReadDword(HANDLE Key, const WCHAR* Name, ULONG* Value)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    union {
        KEY_VALUE_PARTIAL_INFORMATION Information;
        UCHAR Bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } reply;
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, &reply, sizeof(reply), &length);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (!NT_SUCCESS(status))
        return status;
    if (reply.Information.Type != REG_DWORD || reply.Information.DataLength != sizeof(ULONG)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    RtlCopyMemory(Value, reply.Information.Data, sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    // The request goes back to the waiting dispatch routine, which completes it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassDown(SampleDevice* Device, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Device->Lower, Irp);
}

// The link exists only while a client can read the values through it.
void DisableInterface(SampleDevice* Device)
{
    if (!Device->InterfaceEnabled || SampleHasFault(SampleFault::InterfaceLeftEnabled))
        return;
    IoSetDeviceInterfaceState(&Device->InterfaceName, FALSE);
    Device->InterfaceEnabled = FALSE;
}

// The reader writes its values in its own start, which runs below ours: only once it has succeeded
// are they there to read.
NTSTATUS OnStartDevice(SampleDevice* Device, PIRP Irp)
{
    if (SampleHasFault(SampleFault::StartNeverCompletes)) {
        IoMarkIrpPending(Irp);
        return STATUS_PENDING;
    }
    NTSTATUS status = SampleForwardAndWait(Device, Irp);
    if (NT_SUCCESS(status) && SampleFaultRefusesStart(Device->Pdo))
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        status = SampleReadConfiguration(Device);
    if (NT_SUCCESS(status)) {
        // Started before the interface appears: a client told of its arrival opens it at once.
        const SampleState before = Device->State;
        Device->State = SampleState::Started;
        if (!Device->InterfaceEnabled) {
            status = IoSetDeviceInterfaceState(&Device->InterfaceName, TRUE);
            if (NT_SUCCESS(status)) {
                Device->InterfaceEnabled = TRUE;
            } else {
                Device->State = before;
            }
        }
    }
    if (NT_SUCCESS(status)) {
        // A started device is in D0; the power manager learns it here, without a power request of
        // the driver's own.
        POWER_STATE working;
        working.DeviceState = PowerDeviceD0;
        Device->DevicePower = PowerDeviceD0;
        PoSetPowerState(Device->Self, DevicePowerState, working);
    } else {
        SAMPLE_DIAGNOSTIC(DPFLTR_ERROR_LEVEL, "start failed (%08X)", static_cast<unsigned>(status));
    }
    return SampleCompleteRequest(Irp, status);
}

// The power policy needs the device state the reader can be in for each system state, which the
// bus driver fills in on the way up.
NTSTATUS OnQueryCapabilities(SampleDevice* Device, PIRP Irp)
{
    const PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    const NTSTATUS status = SampleForwardAndWait(Device, Irp);
    if (NT_SUCCESS(status)) {
        for (ULONG state = 0; state < POWER_SYSTEM_MAXIMUM; ++state) {
            Device->DeviceStateFor[state] = capabilities->DeviceState[state];
        }
    }
    return SampleCompleteRequest(Irp, status);
}

NTSTATUS OnRemoveDevice(SampleDevice* Device, PIRP Irp, SampleRemoveLockHold& Hold)
{
    SampleFaultNoteRemoval(Device->Pdo, Device->State == SampleState::SurpriseRemoved);
    Device->State = SampleState::Removed;
    DisableInterface(Device);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    // Every request still inside the driver ends before the device goes.
    Hold.ReleaseAndWait();
    const NTSTATUS status = PassDown(Device, Irp);
    IoDetachDevice(Device->Lower);
    if (!SampleHasFault(SampleFault::LeakOnRemoval))
        RtlFreeUnicodeString(&Device->InterfaceName);
    IoDeleteDevice(Device->Self);
    return status;
}

} // namespace

NTSTATUS SampleForwardAndWait(SampleDevice* Device, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Device->Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return Irp->IoStatus.Status;
}

NTSTATUS SampleReadConfiguration(SampleDevice* Device)
{
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(Device->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        SAMPLE_DIAGNOSTIC(DPFLTR_ERROR_LEVEL, "the hardware key does not open (%08X)", static_cast<unsigned>(status));
        return status;
    }
    SampleConfiguration read = {};
    for (const ValueToRead& value : VALUES_TO_READ) {
        status = ReadDword(key, value.Name, &(read.*value.Field));
        if (!NT_SUCCESS(status)) {
            SAMPLE_DIAGNOSTIC(DPFLTR_ERROR_LEVEL, "value %ws is missing or not one REG_DWORD (%08X)", value.Name,
                              static_cast<unsigned>(status));
            break;
        }
    }
    ZwClose(key);
    if (!NT_SUCCESS(status))
        return status;
    if (read.Exists != READER_EXISTS) {
        SAMPLE_DIAGNOSTIC(DPFLTR_ERROR_LEVEL, "value Exists is %u, not 1", static_cast<unsigned>(read.Exists));
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    read.SampleVersion = SAMPLE_VERSION;
    Device->Configuration = read;
    return STATUS_SUCCESS;
}

NTSTATUS SampleDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SampleDevice* device = static_cast<SampleDevice*>(DeviceObject->DeviceExtension);
    SampleRemoveLockHold hold(device, Irp);
    if (!hold.Held())
        return SampleCompleteRequest(Irp, hold.Status());

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return OnStartDevice(device, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return OnQueryCapabilities(device, Irp);
    // Nothing to hold back or undo: the sample keeps no request queued and no hardware state.
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (SampleHasFault(SampleFault::VetoQueryRemove))
            return SampleCompleteRequest(Irp, STATUS_UNSUCCESSFUL);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, Irp);
    // The interface stays through a stop; the control request refuses until the start after it
    // has read the values again.
    case IRP_MN_STOP_DEVICE:
        device->State = SampleState::Stopped;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        device->State = SampleState::SurpriseRemoved;
        DisableInterface(device);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return OnRemoveDevice(device, Irp, hold);
    default:
        return PassDown(device, Irp);
    }
}
