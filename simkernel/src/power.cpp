// The power manager: the power states drivers report, the PoStartNextPowerIrp bookkeeping the I/O
// manager checks at completion, and power requests sent on a test's behalf.
#include "simkernel/power.h"

#include "internal.h"
#include "pnp_internal.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

namespace {

struct DeviceStates {
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE system = PowerSystemUnspecified;
};

std::mutex g_mutex;
std::vector<simk::power::SetPowerStateCall> g_setCalls;
std::vector<IRP*> g_startNextCalls;
std::map<const DEVICE_OBJECT*, DeviceStates> g_states;
// IRPs named by PoStartNextPowerIrp and not yet seen back by SendPowerIrp.
std::set<IRP*> g_startedNext;
// Device set-power requests asked for with PoRequestPowerIrp, by the PDO of the stack.
std::map<const DEVICE_OBJECT*, size_t> g_deviceSetsRequested;

} // namespace

namespace simk::power {

std::vector<SetPowerStateCall> SetPowerStateCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_setCalls;
}

std::vector<SetPowerStateCall> SetPowerStateCallsFor(const DEVICE_OBJECT* device)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<SetPowerStateCall> out;
    std::copy_if(g_setCalls.begin(), g_setCalls.end(), std::back_inserter(out),
                 [&](const SetPowerStateCall& call) { return call.device == device; });
    return out;
}

DEVICE_POWER_STATE DevicePowerStateOf(const DEVICE_OBJECT* device)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_states.find(device);
    return it == g_states.end() ? PowerDeviceUnspecified : it->second.device;
}

SYSTEM_POWER_STATE SystemPowerStateOf(const DEVICE_OBJECT* device)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_states.find(device);
    return it == g_states.end() ? PowerSystemUnspecified : it->second.system;
}

std::vector<IRP*> StartNextPowerIrpCalls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_startNextCalls;
}

void ClearRecords()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_setCalls.clear();
    g_startNextCalls.clear();
}

PowerIrpResult SendPowerIrp(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                            POWER_ACTION action)
{
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "simk::power::SendPowerIrp");
    bool startNextSeen = false;
    auto result = simk::pnp::detail::SendAndWait(
        device, IRP_MJ_POWER, minor,
        [&](IO_STACK_LOCATION* sl) {
            sl->Parameters.Power.SystemContext = 0;
            sl->Parameters.Power.Type = type;
            sl->Parameters.Power.State = state;
            sl->Parameters.Power.ShutdownType = action;
        },
        [&](IRP* irp) {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_startedNext.erase(irp); // a stale entry of an earlier IRP at this address
        },
        [&](IRP* irp) {
            std::lock_guard<std::mutex> lock(g_mutex);
            startNextSeen = g_startedNext.erase(irp) > 0;
        });
    PowerIrpResult out;
    out.status = result.status;
    out.information = result.information;
    out.completed = result.completed;
    out.startNextBeforeCompletion = startNextSeen;
    return out;
}

PowerIrpResult SetDevicePower(DEVICE_OBJECT* device, DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    return SendPowerIrp(device, IRP_MN_SET_POWER, DevicePowerState, s);
}

PowerIrpResult SetSystemPower(DEVICE_OBJECT* device, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    POWER_STATE s;
    s.SystemState = state;
    return SendPowerIrp(device, IRP_MN_SET_POWER, SystemPowerState, s, action);
}

PowerIrpResult QueryDevicePower(DEVICE_OBJECT* device, DEVICE_POWER_STATE state)
{
    POWER_STATE s;
    s.DeviceState = state;
    return SendPowerIrp(device, IRP_MN_QUERY_POWER, DevicePowerState, s);
}

PowerIrpResult QuerySystemPower(DEVICE_OBJECT* device, SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    POWER_STATE s;
    s.SystemState = state;
    return SendPowerIrp(device, IRP_MN_QUERY_POWER, SystemPowerState, s, action);
}

} // namespace simk::power

namespace simk::detail {

size_t DeviceSetPowerRequestsFor(const DEVICE_OBJECT* pdo)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_deviceSetsRequested.find(pdo);
    return it == g_deviceSetsRequested.end() ? 0 : it->second;
}

NTSTATUS CallPowerDriver(PDEVICE_OBJECT target, PIRP irp)
{
    // "The power manager sends this IRP at IRQL = PASSIVE_LEVEL to device stacks that set the
    // DO_POWER_PAGABLE flag"; to any other it may send it at DISPATCH_LEVEL, and does here, but
    // for a device set-power that leaves D0: PoSetPowerState, which every driver of the stack must
    // call before its device leaves D0, may run at DISPATCH_LEVEL only to report D0, so the
    // power-down reaches even a non-pageable stack at PASSIVE_LEVEL.
    const IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    const bool powerDown = next->MinorFunction == IRP_MN_SET_POWER && next->Parameters.Power.Type == DevicePowerState &&
                           next->Parameters.Power.State.DeviceState != PowerDeviceD0;
    if (powerDown && KeGetCurrentIrql() > PASSIVE_LEVEL) {
        // Requested from a completion routine at DISPATCH_LEVEL: Windows queues the request to its
        // own thread, which sends it at PASSIVE_LEVEL.
        simk::ScopedIrql passive(PASSIVE_LEVEL);
        return PoCallDriver(target, irp);
    }
    if ((target->Flags & DO_POWER_PAGABLE) || powerDown)
        return PoCallDriver(target, irp);
    KIRQL previous;
    KeRaiseIrql(DISPATCH_LEVEL, &previous);
    const NTSTATUS status = PoCallDriver(target, irp);
    KeLowerIrql(previous);
    return status;
}

void ResetPower()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_deviceSetsRequested.clear();
    g_setCalls.clear();
    g_startNextCalls.clear();
    g_states.clear();
    g_startedNext.clear();
}

} // namespace simk::detail

extern "C" {

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    // "PoSetPowerState function": drivers specify DevicePowerState and a DEVICE_POWER_STATE value;
    // the system state is the power manager's to track, never a driver's to report.
    if (Type != DevicePowerState || State.DeviceState < PowerDeviceD0 || State.DeviceState > PowerDeviceD3) {
        simk::detail::rule::PoSetPowerStateType(DeviceObject, Type, static_cast<ULONG>(State.DeviceState));
    } else {
        // "Callers of PoSetPowerState must be running at IRQL <= APC_LEVEL except when setting the
        // state to D0", which may be done at DISPATCH_LEVEL (a power-up's completion routine).
        const KIRQL irql = KeGetCurrentIrql();
        const bool d0AtDispatch = irql == DISPATCH_LEVEL && State.DeviceState == PowerDeviceD0;
        if (irql > APC_LEVEL && !d0AtDispatch)
            simk::detail::rule::IrqlPoSetPowerState(DeviceObject, State.DeviceState, irql);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    DeviceStates& states = g_states[DeviceObject];
    POWER_STATE previous;
    if (Type == DevicePowerState) {
        previous.DeviceState = states.device;
        states.device = State.DeviceState;
    } else {
        previous.SystemState = states.system;
        states.system = State.SystemState;
    }
    g_setCalls.push_back({DeviceObject, Type, State, previous});
    return previous;
}

VOID PoStartNextPowerIrp(PIRP Irp)
{
    simk::detail::RequireIrql(DISPATCH_LEVEL, simk::verifier::rules::IrqlIoDispatch, "PoStartNextPowerIrp");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_startNextCalls.push_back(Irp);
        g_startedNext.insert(Irp);
    }
    simk::detail::NotePoStartNextPowerIrp(Irp);
}

// PoRequestPowerIrp: allocates a device power IRP, sends it to the top of the stack that holds
// DeviceObject and, once every driver has completed it, calls the requester's completion function.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp)
{
    simk::detail::RequireIrql(DISPATCH_LEVEL, simk::verifier::rules::IrqlIoDispatch, "PoRequestPowerIrp");
    if (Irp)
        *Irp = nullptr;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(DeviceObject);
    IRP* irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DEVICE_OBJECT* pdo = DeviceObject;
    while (pdo->DeviceObjectExtension->AttachedTo)
        pdo = pdo->DeviceObjectExtension->AttachedTo;
    if (MinorFunction == IRP_MN_SET_POWER) {
        std::lock_guard<std::mutex> lock(g_mutex);
        ++g_deviceSetsRequested[pdo];
    }
    struct Request {
        PDEVICE_OBJECT device;
        PDEVICE_OBJECT top;
        UCHAR minor;
        POWER_STATE state;
        PREQUEST_POWER_COMPLETE completion;
        PVOID context;
        size_t logIndex;
    };
    auto* request =
        new Request{DeviceObject,
                    top,
                    MinorFunction,
                    PowerState,
                    CompletionFunction,
                    Context,
                    simk::pnp::detail::LogIrp(pdo, top, IRP_MJ_POWER, MinorFunction, PowerState.DeviceState)};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IO_STACK_LOCATION* sl = IoGetNextIrpStackLocation(irp);
    sl->MajorFunction = IRP_MJ_POWER;
    sl->MinorFunction = MinorFunction;
    sl->Parameters.Power.Type = DevicePowerState;
    sl->Parameters.Power.State = PowerState;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID context) -> NTSTATUS {
            auto* r = static_cast<Request*>(context);
            simk::pnp::detail::LogIrpResult(r->logIndex, done->IoStatus.Status, done->IoStatus.Information);
            IO_STATUS_BLOCK status = done->IoStatus;
            if (r->completion)
                r->completion(r->device, r->minor, r->state, r->context, &status);
            IoFreeIrp(done);
            ObDereferenceObject(r->top);
            delete r;
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        request, TRUE, TRUE, TRUE);
    if (Irp)
        *Irp = irp;
    simk::detail::CallPowerDriver(top, irp);
    return STATUS_PENDING;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    // Since Windows Vista power requests travel like any other; only the bookkeeping differs.
    return IofCallDriver(DeviceObject, Irp);
}

} // extern "C"
