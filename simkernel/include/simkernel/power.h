// The simulated power manager: PoSetPowerState, PoStartNextPowerIrp and PoCallDriver with a record
// of what drivers reported, and helpers for tests to send power requests to a device.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <vector>

namespace simk::power {

struct SetPowerStateCall {
    DEVICE_OBJECT* device = nullptr;
    POWER_STATE_TYPE type = DevicePowerState;
    POWER_STATE state{};
    POWER_STATE previous{}; // what PoSetPowerState returned
};

// Every PoSetPowerState call, in order, or those for one device.
std::vector<SetPowerStateCall> SetPowerStateCalls();
std::vector<SetPowerStateCall> SetPowerStateCallsFor(const DEVICE_OBJECT* device);
// The last state reported for a device; PowerDeviceUnspecified / PowerSystemUnspecified before any.
DEVICE_POWER_STATE DevicePowerStateOf(const DEVICE_OBJECT* device);
SYSTEM_POWER_STATE SystemPowerStateOf(const DEVICE_OBJECT* device);

// PoStartNextPowerIrp calls, in order (the IRPs they named).
std::vector<IRP*> StartNextPowerIrpCalls();
void ClearRecords();

struct PowerIrpResult {
    NTSTATUS status = STATUS_NOT_SUPPORTED; // what the IRP was completed with
    ULONG_PTR information = 0;
    bool completed = false;                 // false: still pending after the manager's timeout (reported)
    bool startNextBeforeCompletion = false; // PoStartNextPowerIrp was called for it before it came back
};

// Sends a new IRP_MJ_POWER request to `device` itself (not to the top of its stack), as the power
// manager does: an IRP with the device's stack size, IoStatus.Status STATUS_NOT_SUPPORTED, sent with
// PoCallDriver at PASSIVE_LEVEL, waited for.
PowerIrpResult SendPowerIrp(DEVICE_OBJECT* device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                            POWER_ACTION action = PowerActionNone);
PowerIrpResult SetDevicePower(DEVICE_OBJECT* device, DEVICE_POWER_STATE state);
PowerIrpResult SetSystemPower(DEVICE_OBJECT* device, SYSTEM_POWER_STATE state, POWER_ACTION action = PowerActionSleep);
PowerIrpResult QueryDevicePower(DEVICE_OBJECT* device, DEVICE_POWER_STATE state);
PowerIrpResult QuerySystemPower(DEVICE_OBJECT* device, SYSTEM_POWER_STATE state,
                                POWER_ACTION action = PowerActionSleep);

} // namespace simk::power
