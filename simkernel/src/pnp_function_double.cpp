// The child function-driver double: a minimal WDM function driver that the Plug and Play manager
// loads over enumerated children, so a PDO sees what a real function driver above it sends.
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/power.h"

#include "internal.h"
#include "pnp_internal.h"

#include <atomic>
#include <mutex>

namespace {

struct FdoExtension {
    DEVICE_OBJECT* self;
    DEVICE_OBJECT* lower;
    DEVICE_OBJECT* pdo;
    BOOLEAN poweredDown;
    // The device state for each system state, from the capabilities the bus reported.
    DEVICE_POWER_STATE deviceStates[POWER_SYSTEM_MAXIMUM];
};

std::mutex g_mutex;
simk::pnp::ChildFunctionDriverOptions g_options;
bool g_enabled;
DRIVER_OBJECT* g_driver;
std::atomic<size_t> g_deviceCount{0};

simk::pnp::ChildFunctionDriverOptions Options()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_options;
}

std::u16string Fold(std::u16string s)
{
    for (auto& c : s)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 0x20);
    return s;
}

NTSTATUS PassDown(FdoExtension* ext, IRP* irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->lower, irp);
}

NTSTATUS OnForwardedComplete(DEVICE_OBJECT*, IRP* irp, void* context)
{
    // The IRP comes back to the dispatch routine that waits for it; it completes it there.
    if (irp->PendingReturned)
        KeSetEvent(static_cast<KEVENT*>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(FdoExtension* ext, IRP* irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnForwardedComplete, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(ext->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

// As a function driver does before its device goes away: the device is put into D3 first, with a
// power request of its own sent to the PDO.
void PowerDown(FdoExtension* ext)
{
    if (ext->poweredDown)
        return;
    ext->poweredDown = TRUE;
    const size_t index = simk::pnp::detail::LogIrp(ext->pdo, ext->lower, IRP_MJ_POWER, IRP_MN_SET_POWER, PowerDeviceD3);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    auto result =
        simk::pnp::detail::SendAndWait(ext->lower, IRP_MJ_POWER, IRP_MN_SET_POWER, [&](IO_STACK_LOCATION* sl) {
            sl->Parameters.Power.Type = DevicePowerState;
            sl->Parameters.Power.State = state;
        });
    simk::pnp::detail::LogIrpResult(index, result.status, result.information);
    if (result.completed && NT_SUCCESS(result.status))
        PoSetPowerState(ext->self, DevicePowerState, state);
}

NTSTATUS FdoPnp(FdoExtension* ext, IRP* irp)
{
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    switch (sl->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
        // The power policy owner keeps the DeviceState table the bus filled in on the way up.
        NTSTATUS status = ForwardAndWait(ext, irp);
        if (NT_SUCCESS(status)) {
            const DEVICE_CAPABILITIES* caps = sl->Parameters.DeviceCapabilities.Capabilities;
            for (int s = 0; s < POWER_SYSTEM_MAXIMUM; ++s)
                ext->deviceStates[s] = caps->DeviceState[s];
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_START_DEVICE: {
        // The PDO starts first; only then may the function driver use the device.
        NTSTATUS status = ForwardAndWait(ext, irp);
        if (NT_SUCCESS(status))
            ext->poweredDown = FALSE;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, irp);
    case IRP_MN_SURPRISE_REMOVAL:
        if (Options().powerDownOnSurpriseRemoval)
            PowerDown(ext);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext, irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (Options().powerDownOnRemove)
            PowerDown(ext);
        irp->IoStatus.Status = STATUS_SUCCESS;
        DEVICE_OBJECT* self = ext->self;
        DEVICE_OBJECT* lower = ext->lower;
        const NTSTATUS status = PassDown(ext, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(self);
        --g_deviceCount;
        return status;
    }
    default: {
        // An answer of the function driver's own, which the PDO below must keep.
        const auto options = Options();
        auto answer = options.pnpAnswers.find(sl->MinorFunction);
        if (answer != options.pnpAnswers.end()) {
            irp->IoStatus.Status = answer->second.status;
            irp->IoStatus.Information = answer->second.information;
        }
        return PassDown(ext, irp);
    }
    }
}

// Handling a System Set-Power IRP in a Device Power Policy Owner: the S-IRP goes down first; on
// its way back the owner asks for the D-IRP its DeviceState table maps the system state to
// (Determining the Correct Device Power State) and completes the S-IRP once that D-IRP is done.
struct SystemPowerRequest {
    FdoExtension* ext;
    IRP* systemIrp;
};

VOID OnDevicePowerDone(DEVICE_OBJECT*, UCHAR, POWER_STATE, PVOID context, IO_STATUS_BLOCK* status)
{
    auto* request = static_cast<SystemPowerRequest*>(context);
    IRP* systemIrp = request->systemIrp;
    if (!NT_SUCCESS(status->Status))
        systemIrp->IoStatus.Status = status->Status;
    delete request;
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS OnSystemPowerPassed(DEVICE_OBJECT*, IRP* irp, void* context)
{
    auto* ext = static_cast<FdoExtension*>(context);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    const SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    DEVICE_POWER_STATE device = system < POWER_SYSTEM_MAXIMUM ? ext->deviceStates[system] : PowerDeviceD3;
    if (device == PowerDeviceUnspecified)
        device = system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    POWER_STATE state;
    state.DeviceState = device;
    const NTSTATUS requested = PoRequestPowerIrp(ext->pdo, IRP_MN_SET_POWER, state, OnDevicePowerDone,
                                                 new SystemPowerRequest{ext, irp}, nullptr);
    if (!NT_SUCCESS(requested)) {
        PoStartNextPowerIrp(irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FdoPower(FdoExtension* ext, IRP* irp)
{
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    if (sl->MinorFunction == IRP_MN_SET_POWER && sl->Parameters.Power.Type == SystemPowerState) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, OnSystemPowerPassed, ext, TRUE, TRUE, TRUE);
        PoCallDriver(ext->lower, irp);
        return STATUS_PENDING;
    }
    if (sl->MinorFunction == IRP_MN_SET_POWER && sl->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(ext->self, DevicePowerState, sl->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS FdoDispatch(DEVICE_OBJECT* device, IRP* irp)
{
    auto* ext = static_cast<FdoExtension*>(device->DeviceExtension);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return FdoPnp(ext, irp);
    case IRP_MJ_POWER:
        return FdoPower(ext, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        // Handles on the device are the function driver's; the PDO never sees them.
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case IRP_MJ_SYSTEM_CONTROL: {
        const auto options = Options();
        if (options.wmiAnswer)
            irp->IoStatus.Status = *options.wmiAnswer;
        return PassDown(ext, irp);
    }
    default:
        return PassDown(ext, irp);
    }
}

NTSTATUS FdoAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo)
{
    const NTSTATUS configured = Options().addDeviceStatus;
    if (!NT_SUCCESS(configured))
        return configured;
    DEVICE_OBJECT* fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    auto* ext = static_cast<FdoExtension*>(fdo->DeviceExtension);
    ext->self = fdo;
    ext->pdo = pdo;
    for (auto& state : ext->deviceStates)
        state = PowerDeviceUnspecified;
    status = IoAttachDeviceToDeviceStackSafe(fdo, pdo, &ext->lower);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    // As every driver above another must: pageable exactly when the device below is.
    fdo->Flags |= ext->lower->Flags & DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ++g_deviceCount;
    return STATUS_SUCCESS;
}

NTSTATUS FunctionDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*)
{
    for (auto& entry : driver->MajorFunction)
        entry = FdoDispatch;
    driver->DriverExtension->AddDevice = FdoAddDevice;
    return STATUS_SUCCESS;
}

} // namespace

namespace simk::pnp {

// The double is installed as any driver is: for its hardware ID, through the install table, so
// its FDOs are added by the one routine that builds every stack.
void SetChildFunctionDriver(const ChildFunctionDriverOptions& options)
{
    DRIVER_OBJECT* driver;
    bool replaces;
    std::u16string previous;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        replaces = g_enabled && Fold(g_options.hardwareId) != Fold(options.hardwareId);
        previous = g_options.hardwareId;
        g_options = options;
        g_enabled = true;
        if (!g_driver)
            g_driver = simk::LoadDriverEntry(FunctionDriverEntry, u"ChildFunction").driverObject;
        driver = g_driver;
    }
    if (replaces)
        UninstallDriverPackage(previous);
    InstallDriver(options.hardwareId, driver);
}

void ClearChildFunctionDriver()
{
    std::u16string hardwareId;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_enabled)
            return;
        g_enabled = false;
        hardwareId = g_options.hardwareId;
    }
    UninstallDriverPackage(hardwareId);
}

DRIVER_OBJECT* ChildFunctionDriver()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_driver;
}

size_t ChildFunctionDeviceCount() { return g_deviceCount; }

} // namespace simk::pnp

namespace simk::pnp::detail {

void ResetFunctionDouble()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_options = {};
    g_enabled = false;
    g_driver = nullptr;
    g_deviceCount = 0;
}

} // namespace simk::pnp::detail
