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

// Each handler runs once the request's row has admitted it (a bus registered if it needs one, the
// buffer there and long enough for its records) and writes its reply, if any, into Buffer.
NTSTATUS OnGetVersion(PVOID Buffer)
{
    return ParseDriverVersion(static_cast<DriverVersion*>(Buffer)) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS OnAddReader(PVOID Buffer)
{
    // METHOD_BUFFERED: the configuration and the reply share the system buffer.
    return AddReader(static_cast<const ReaderConfig*>(Buffer), static_cast<BusReaderHandle*>(Buffer));
}

NTSTATUS OnRemoveReader(PVOID Buffer)
{
    const BusReaderHandle request = *static_cast<const BusReaderHandle*>(Buffer);

    // The registry stays held until the bus has answered: a bus's removal takes the bus out of the
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

// The reader's bus asks Plug and Play to query the reader, which then reports DeviceState.
NTSTATUS ReportReaderState(PVOID Buffer, ULONG DeviceState)
{
    const BusReaderHandle request = *static_cast<const BusReaderHandle*>(Buffer);
    // Held as for a removal: the bus cannot be deleted under the call.
    ListHold registryHold(g_BusRegistry->m_Buses);
    BusDevice* bus = g_BusRegistry->Find(request.BusHandle);
    if (bus == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return bus->ReportReaderState(request.ReaderHandle, DeviceState);
}

NTSTATUS OnRebalanceReader(PVOID Buffer) { return ReportReaderState(Buffer, PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED); }

NTSTATUS OnFailReader(PVOID Buffer) { return ReportReaderState(Buffer, PNP_DEVICE_FAILED); }

// The handler of each row of CONTROL_REQUESTS, with what its own two failures mean, for the debugger.
struct ControlHandler {
    ULONG Code;
    NTSTATUS (*Handle)(PVOID Buffer);
    const char* NotReady;
    const char* Failed;
};

constexpr ControlHandler CONTROL_HANDLERS[] = {
    {IOCTL_BUS_GET_VERSION, OnGetVersion, "no bus is registered", "the request failed"},
    {IOCTL_BUS_ADD_READER, OnAddReader, "no bus is started", "the request failed"},
    {IOCTL_BUS_REMOVE_READER, OnRemoveReader, "no bus is registered", "the handle names no reader of this load"},
    {IOCTL_BUS_REBALANCE_READER, OnRebalanceReader, "the reader is not started",
     "the handle names no reader of this session"},
    {IOCTL_BUS_FAIL_READER, OnFailReader, "the reader is not started", "the handle names no reader of this session"},
};

constexpr const ControlHandler* HandlerOf(ULONG Code)
{
    for (const ControlHandler& handler : CONTROL_HANDLERS) {
        if (handler.Code == Code) {
            return &handler;
        }
    }
    return nullptr;
}

constexpr bool EveryRequestHasAHandler()
{
    for (const ControlRequest& request : CONTROL_REQUESTS) {
        if (HandlerOf(request.Code) == nullptr) {
            return false;
        }
    }
    return sizeof(CONTROL_HANDLERS) / sizeof(CONTROL_HANDLERS[0]) == CONTROL_REQUEST_COUNT;
}

static_assert(EveryRequestHasAHandler(), "each control request has one handler, and each handler a request");

// The row's admission: a registered bus if the request needs one, then its records' room.
NTSTATUS Admit(const ControlRequest& Request, PIRP Irp, const IO_STACK_LOCATION* Stack)
{
    if (Request.NeedsBus && !g_BusRegistry->HasBus()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const bool needsBuffer = Request.InputSize != 0 || Request.OutputSize != 0;
    if ((needsBuffer && Irp->AssociatedIrp.SystemBuffer == nullptr) ||
        Stack->Parameters.DeviceIoControl.InputBufferLength < Request.InputSize ||
        Stack->Parameters.DeviceIoControl.OutputBufferLength < Request.OutputSize) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS HandleControlRequest(PIRP Irp, const IO_STACK_LOCATION* Stack)
{
    const ULONG code = Stack->Parameters.DeviceIoControl.IoControlCode;
    const ControlRequest* request = FindControlRequest(code);
    if (request == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = Admit(*request, Irp, Stack);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = HandlerOf(code)->Handle(Irp->AssociatedIrp.SystemBuffer);
    if (NT_SUCCESS(status) && request->OutputSize != 0) {
        Irp->IoStatus.Information = request->OutputSize;
    }
    return status;
}

// Why a control request was refused, for the debugger: each status has one meaning per code.
const char* RefusalReason(ULONG Code, NTSTATUS Status)
{
    const ControlHandler* handler = HandlerOf(Code);
    switch (Status) {
    case STATUS_FILE_CLOSED:
        return "its session has ended";
    case STATUS_INVALID_PARAMETER:
        return "a buffer is missing or too small";
    case STATUS_INVALID_DEVICE_REQUEST:
        return "unknown control code";
    case STATUS_INVALID_DEVICE_STATE:
        return handler != nullptr ? handler->NotReady : "no bus is registered";
    case STATUS_INSUFFICIENT_RESOURCES:
        return "out of pool";
    case STATUS_UNSUCCESSFUL:
        return handler != nullptr ? handler->Failed : "the request failed";
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
    const ULONG picked = g_BusRegistry->StartRound(count);

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
    const NTSTATUS status = HandleControlRequest(Irp, stack);
    LeaveSessionRequest();
    if (!NT_SUCCESS(status)) {
        MSDSC_REFUSED("control code %08X refused (%08X): %s", static_cast<unsigned>(code), StatusCode(status),
                      RefusalReason(code, status));
    }
    // Information was set only by a success that hands a reply back.
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
