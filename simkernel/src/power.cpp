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

}  // namespace

namespace simk::power {

std::vector<SetPowerStateCall> SetPowerStateCalls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_setCalls;
}

std::vector<SetPowerStateCall> SetPowerStateCallsFor(const DEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<SetPowerStateCall> out;
    std::copy_if(g_setCalls.begin(), g_setCalls.end(), std::back_inserter(out),
                 [&](const SetPowerStateCall& call) { return call.device == device; });
    return out;
}

DEVICE_POWER_STATE DevicePowerStateOf(const DEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_states.find(device);
    return it == g_states.end() ? PowerDeviceUnspecified : it->second.device;
}

SYSTEM_POWER_STATE SystemPowerStateOf(const DEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_states.find(device);
    return it == g_states.end() ? PowerSystemUnspecified : it->second.system;
}

std::vector<IRP*> StartNextPowerIrpCalls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_startNextCalls;
}

void ClearRecords() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_setCalls.clear();
    g_startNextCalls.clear();
}

PowerIrpResult SendPowerIrp(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                            POWER_ACTION action) {
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
            g_startedNext.erase(irp);  // a stale entry of an earlier IRP at this address
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

PowerIrpResult SetDevicePower(DEVICE_OBJECT* device, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return SendPowerIrp(device, IRP_MN_SET_POWER, DevicePowerState, s);
}

PowerIrpResult SetSystemPower(DEVICE_OBJECT* device, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    POWER_STATE s;
    s.SystemState = state;
    return SendPowerIrp(device, IRP_MN_SET_POWER, SystemPowerState, s, action);
}

PowerIrpResult QueryDevicePower(DEVICE_OBJECT* device, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return SendPowerIrp(device, IRP_MN_QUERY_POWER, DevicePowerState, s);
}

PowerIrpResult QuerySystemPower(DEVICE_OBJECT* device, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    POWER_STATE s;
    s.SystemState = state;
    return SendPowerIrp(device, IRP_MN_QUERY_POWER, SystemPowerState, s, action);
}

}  // namespace simk::power

namespace simk::detail {

void ResetPower() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_setCalls.clear();
    g_startNextCalls.clear();
    g_states.clear();
    g_startedNext.clear();
}

}  // namespace simk::detail

extern "C" {

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    simk::detail::RequireIrql(DISPATCH_LEVEL, simk::verifier::rules::IrqlIoDispatch, "PoSetPowerState");
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

VOID PoStartNextPowerIrp(PIRP Irp) {
    simk::detail::RequireIrql(DISPATCH_LEVEL, simk::verifier::rules::IrqlIoDispatch, "PoStartNextPowerIrp");
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_startNextCalls.push_back(Irp);
        g_startedNext.insert(Irp);
    }
    simk::detail::NotePoStartNextPowerIrp(Irp);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // Since Windows Vista power requests travel like any other; only the bookkeeping differs.
    return IofCallDriver(DeviceObject, Irp);
}

}  // extern "C"
