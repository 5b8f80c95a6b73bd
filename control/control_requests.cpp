// The client's requests to the control device: the driver version, adding and removing a reader,
// and the cleanup that removes every reader of every bus when the client's handle closes.
#include <ntddk.h>
#include "control/control_device.h"
#include "control/control_requests.h"
#include "bus/bus_device.h"
#include "reader/reader_device.h"
#include "registry/device_list.h"

ULONG g_NextBusIndex = 0;

namespace {

bool IsBusReady(ControlDevice* Control)
{
    MutexGuard guard(&Control->m_Mutex);
    return Control->m_BusReady;
}

NTSTATUS OnGetVersion(ControlDevice* Control, PIRP Irp, const IO_STACK_LOCATION* Stack)
{
    if (!IsBusReady(Control)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    if (buffer == nullptr || Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(DriverVersion)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!ParseDriverVersion(static_cast<DriverVersion*>(buffer))) {
        return STATUS_UNSUCCESSFUL;
    }
    Irp->IoStatus.Information = sizeof(DriverVersion);
    return STATUS_SUCCESS;
}

NTSTATUS OnAddReader(ControlDevice* Control, PIRP Irp, const IO_STACK_LOCATION* Stack)
{
    if (!IsBusReady(Control)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    if (buffer == nullptr || Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ReaderConfig) ||
        Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BusReaderHandle)) {
        return STATUS_INVALID_PARAMETER;
    }
    // METHOD_BUFFERED: the configuration and the reply share the system buffer.
    const NTSTATUS status =
        AddReader(static_cast<const ReaderConfig*>(buffer), static_cast<BusReaderHandle*>(buffer));
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = sizeof(BusReaderHandle);
    }
    return status;
}

NTSTATUS OnRemoveReader(PIRP Irp, const IO_STACK_LOCATION* Stack)
{
    // No bus-ready test: a client may always try to remove what it was given.
    const BusReaderHandle* handle = static_cast<const BusReaderHandle*>(Irp->AssociatedIrp.SystemBuffer);
    if (handle == nullptr || Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BusReaderHandle)) {
        return STATUS_INVALID_PARAMETER;
    }
    const BusReaderHandle request = *handle;

    // The registry stays held until the bus has answered: a bus's removal looks the bus up in the
    // registry before it deletes it, so it waits here and cannot delete the bus under the call.
    // The handle's halves are only compared with list keys until a match is found.
    ListHold registryHold(*g_BusRegistry);
    PVOID payload = nullptr;
    if (g_BusRegistry->Find(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(request.BusHandle)), &payload) != Ok) {
        return STATUS_UNSUCCESSFUL;
    }
    BusDevice* bus = static_cast<BusDevice*>(payload);
    const NTSTATUS status =
        bus->RemoveReader(reinterpret_cast<PDEVICE_OBJECT>(static_cast<ULONG_PTR>(request.ReaderHandle)));
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

// Takes every reader off one bus and tells Plug and Play, which then removes them. The caller
// holds the bus registry, so the bus cannot go away meanwhile.
void UnplugEveryReader(BusDevice* Bus)
{
    Bus->UnplugEveryReader();
}

} // namespace

NTSTATUS AddReader(const ReaderConfig* Config, BusReaderHandle* Handle)
{
    // The configuration is consumed before the reply is written: the two may share memory.
    const ReaderConfig config = *Config;

    // Held across the bus's CreateReader, not just while the bus is picked: a bus's removal looks
    // the bus up in the registry before it deletes it, so it waits for this hold. Lock order: the
    // registry's hold, then the bus's mutex, then its reader list's lock.
    ListHold registryHold(*g_BusRegistry);
    const ULONG count = g_BusRegistry->Count();
    ULONG index = 0;
    if (g_NextBusIndex < count) {
        index = g_NextBusIndex++;
    } else {
        // Wrapping sets the position to 0, not 1, so after a wrap the first bus is picked twice.
        g_NextBusIndex = 0;
    }
    PVOID busKey = nullptr;
    PVOID payload = nullptr;
    if (g_BusRegistry->GetAt(static_cast<LONG>(index), &busKey, &payload) != Ok) {
        return STATUS_UNSUCCESSFUL;
    }

    // A bus that refuses is not replaced by another: the client sees that bus's answer.
    BusDevice* bus = static_cast<BusDevice*>(payload);
    PDEVICE_OBJECT readerKey = nullptr;
    const NTSTATUS status = bus->CreateReader(&config, &readerKey);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Handle->BusHandle = reinterpret_cast<ULONG_PTR>(busKey);
    Handle->ReaderHandle = reinterpret_cast<ULONG_PTR>(readerKey);
    return STATUS_SUCCESS;
}

NTSTATUS ControlDevice::DispatchDeviceControl(PIRP Irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BUS_GET_VERSION:
        status = OnGetVersion(this, Irp, stack);
        break;
    case IOCTL_BUS_ADD_READER:
        status = OnAddReader(this, Irp, stack);
        break;
    case IOCTL_BUS_REMOVE_READER:
        status = OnRemoveReader(Irp, stack);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    // Information was set only by the two requests that hand a reply back.
    return CompleteIrpWith(Irp, status);
}

NTSTATUS ControlDevice::DispatchCleanup(PIRP Irp)
{
    {
        // The whole walk under one hold, so no bus is deleted halfway through it. A reader that
        // another thread adds to a bus after that bus's turn survives the cleanup.
        ListHold registryHold(*g_BusRegistry);
        PVOID key = nullptr;
        PVOID payload = nullptr;
        for (LONG index = 0; g_BusRegistry->GetAt(index, &key, &payload) == Ok; ++index) {
            UnplugEveryReader(static_cast<BusDevice*>(payload));
        }
    }
    // Lock order: the control device's mutex only after the registry's hold has ended.
    {
        MutexGuard guard(&m_Mutex);
        m_Opened = false;
    }
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}
