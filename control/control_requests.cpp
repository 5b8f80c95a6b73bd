// The client's requests to the control device: the driver version, adding and removing a reader,
// and the cleanup that removes every reader of every bus when the client's handle closes.
#include <ntddk.h>
#include "control/control_device.h"
#include "control/control_requests.h"
#include "driver/diagnostics.h"
#include "driver/driver_globals.h"
#include "driver/driver_version.h"
#include "bus/bus_device.h"
#include "registry/bus_registry.h"

namespace {

NTSTATUS OnGetVersion(PIRP Irp, const IO_STACK_LOCATION* Stack)
{
    if (!g_BusRegistry->HasBus()) {
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

NTSTATUS OnAddReader(PIRP Irp, const IO_STACK_LOCATION* Stack)
{
    if (!g_BusRegistry->HasBus()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    if (buffer == nullptr || Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ReaderConfig) ||
        Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BusReaderHandle)) {
        return STATUS_INVALID_PARAMETER;
    }
    // METHOD_BUFFERED: the configuration and the reply share the system buffer.
    const NTSTATUS status = AddReader(static_cast<const ReaderConfig*>(buffer), static_cast<BusReaderHandle*>(buffer));
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
    // The handle's halves are only compared with list keys.
    ListHold registryHold(g_BusRegistry->m_Buses);
    BusDevice* bus = g_BusRegistry->Find(request.BusHandle);
    if (bus == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const NTSTATUS status = bus->RemoveReader(request.ReaderHandle);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

// Why a control request was refused, for the debugger: each status has one meaning per code.
const char* RefusalReason(ULONG Code, NTSTATUS Status)
{
    switch (Status) {
    case STATUS_FILE_CLOSED:
        return "its session has ended";
    case STATUS_INVALID_PARAMETER:
        return "a buffer is missing or too small";
    case STATUS_INVALID_DEVICE_REQUEST:
        return "unknown control code";
    case STATUS_INVALID_DEVICE_STATE:
        return Code == IOCTL_BUS_ADD_READER ? "no bus is started" : "no bus is registered";
    case STATUS_INSUFFICIENT_RESOURCES:
        return "out of pool";
    case STATUS_UNSUCCESSFUL:
        return Code == IOCTL_BUS_REMOVE_READER ? "the handle names no reader of this load" : "the request failed";
    default:
        return "the request failed";
    }
}

} // namespace

NTSTATUS AddReader(const ReaderConfig* Config, BusReaderHandle* Handle)
{
    // The configuration is consumed before the reply is written: the two may share memory.
    const ReaderConfig config = *Config;

    // Held across the bus's CreateReader, not just while the bus is picked: a bus's removal looks
    // the bus up in the registry before it deletes it, so it waits for this hold. The bus takes its
    // own locks inside it (the order is in driver/kernel_support.h).
    ListHold registryHold(g_BusRegistry->m_Buses);
    const ULONG count = g_BusRegistry->Count();
    const ULONG picked = g_BusRegistry->StartRound();

    // A bus that is not started (pulled but held open, stopped for a rebalance, its removal
    // queried) refuses, and the next one in registry order is asked, each once. Only a started
    // bus's own failure is the client's answer.
    for (ULONG tried = 0; tried < count; ++tried) {
        const ULONG index = (picked + tried) % count;
        BusDevice* bus = g_BusRegistry->At(index);
        if (bus == nullptr) {
            return STATUS_UNSUCCESSFUL;
        }
        ULONG64 readerHandle = 0;
        const NTSTATUS status = bus->CreateReader(&config, &readerHandle);
        if (status == STATUS_INVALID_DEVICE_STATE) {
            continue;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (tried != 0) {
            g_BusRegistry->RoundTakenAt(index);
        }
        Handle->BusHandle = bus->m_Handle;
        Handle->ReaderHandle = readerHandle;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS ControlDevice::DispatchDeviceControl(PIRP Irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    // A request that reaches us after its handle's cleanup (another thread closed the handle while
    // it was on its way) would create readers no session owns.
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (!EnterSessionRequest(stack->FileObject)) {
        MSDSC_REFUSED("control code %08X refused (%08X): %s", static_cast<unsigned>(code),
                      StatusCode(STATUS_FILE_CLOSED), RefusalReason(code, STATUS_FILE_CLOSED));
        return CompleteIrpWith(Irp, STATUS_FILE_CLOSED);
    }
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_BUS_GET_VERSION:
        status = OnGetVersion(Irp, stack);
        break;
    case IOCTL_BUS_ADD_READER:
        status = OnAddReader(Irp, stack);
        break;
    case IOCTL_BUS_REMOVE_READER:
        status = OnRemoveReader(Irp, stack);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    LeaveSessionRequest();
    if (!NT_SUCCESS(status)) {
        MSDSC_REFUSED("control code %08X refused (%08X): %s", static_cast<unsigned>(code), StatusCode(status),
                      RefusalReason(code, status));
    }
    // Information was set only by the two requests that hand a reply back.
    return CompleteIrpWith(Irp, status);
}

NTSTATUS ControlDevice::DispatchCleanup(PIRP Irp)
{
    EndSession(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

void ControlDevice::EndSession(PFILE_OBJECT FileObject)
{
    bool wait;
    {
        MutexGuard guard(&m_Mutex);
        // A refused open's file object, or a close after the cleanup: nothing of ours to end.
        if (!m_Opened || m_SessionEnding || FileObject != m_Session) {
            return;
        }
        m_SessionEnding = true;
        wait = m_RequestsUnderWay != 0;
        if (wait) {
            KeClearEvent(&m_RequestsDone);
        }
    }
    // From here on no request of the session is admitted, and the ones under way (an add that
    // started before the end) finish first, so the walk below sees every reader they made.
    if (wait) {
        KeWaitForSingleObject(&m_RequestsDone, Executive, KernelMode, FALSE, nullptr);
    }
    {
        // The whole walk under one hold, so no bus is deleted halfway through it.
        ListHold registryHold(g_BusRegistry->m_Buses);
        g_BusRegistry->ForEach([](BusDevice* Bus) { Bus->UnplugEveryReader(); });
    }
    // After the registry's hold has ended: the mutex comes first in the order (driver/kernel_support.h).
    MutexGuard guard(&m_Mutex);
    m_Opened = false;
    m_SessionEnding = false;
    m_Session = nullptr;
}
