// Power of the bus, its stack's power policy owner: a system set-power goes down the stack and is
// answered with the device set-power its state maps to; the bus's own device set-power is reported
// to the power manager. Everything else is passed down.
#include <ntddk.h>
#include "bus/bus_device.h"

namespace {

// "Most devices enter the D0 state when the system enters the S0 state" and D3 in any sleeping
// state (Determining the Correct Device Power State); the bus has no wake-up to keep.
DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE System)
{
    return System == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

} // namespace

NTSTATUS BusDevice::DispatchPower(PIRP Irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction != IRP_MN_SET_POWER) {
        return AttachedDevice::DispatchPower(Irp);
    }
    // Held until the request is done, in the completion routines below when it goes on after the
    // dispatch routine: no removal tears the bus down under a power request.
    const NTSTATUS held = IoAcquireRemoveLock(&m_RemoveLock, Irp);
    if (!NT_SUCCESS(held)) {
        return CompleteIrpWith(Irp, held);
    }
    if (stack->Parameters.Power.Type == SystemPowerState) {
        return OnSystemSetPower(Irp);
    }
    return OnDeviceSetPower(Irp);
}

// Sending a Device Set-Power IRP in Response to a System Set-Power IRP: "The device power policy
// owner must send a device set-power IRP for each system set-power IRP, even if the device is
// already in the correct device power state." The bus has no hardware, yet it owns its stack's
// policy, and the drivers below it hear of the sleep only through that request. Nothing here
// allocates: the request is the power manager's (PoRequestPowerIrp).
NTSTATUS BusDevice::OnSystemSetPower(PIRP Irp)
{
    IoMarkIrpPending(Irp);
    CallLowerWithCompletion(m_LowerDeviceObject, Irp, OnSystemSetPowerPassed, this);
    return STATUS_PENDING;
}

NTSTATUS NTAPI BusDevice::OnSystemSetPowerPassed(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* bus = static_cast<BusDevice*>(Context);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        POWER_STATE state;
        state.DeviceState = DeviceStateFor(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState);
        // The power manager sends one system request to a stack at a time.
        bus->m_SystemPowerIrp = Irp;
        if (NT_SUCCESS(PoRequestPowerIrp(bus->m_PhysicalDeviceObject, IRP_MN_SET_POWER, state, OnDeviceSetPowerDone,
                                         bus, nullptr))) {
            // OnDeviceSetPowerDone completes it.
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        bus->m_SystemPowerIrp = nullptr;
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&bus->m_RemoveLock, Irp);
    return STATUS_CONTINUE_COMPLETION;
}

VOID NTAPI BusDevice::OnDeviceSetPowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK)
{
    auto* bus = static_cast<BusDevice*>(Context);
    const PIRP systemIrp = bus->m_SystemPowerIrp;
    bus->m_SystemPowerIrp = nullptr;
    // A system set-power is never failed; the device request's outcome changes nothing above.
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&bus->m_RemoveLock, systemIrp);
}

// Handling IRP_MN_SET_POWER for Device Power States: going down, the new state is reported before
// the request passes down; going up, once the drivers below have powered the device.
NTSTATUS BusDevice::OnDeviceSetPower(PIRP Irp)
{
    const POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
    if (state.DeviceState == PowerDeviceD0) {
        return CallLowerWithCompletion(m_LowerDeviceObject, Irp, OnDevicePoweredUp, this);
    }
    PoSetPowerState(m_DeviceObject, DevicePowerState, state);
    const NTSTATUS status = PassIrpDown(m_LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&m_RemoveLock, Irp);
    return status;
}

NTSTATUS NTAPI BusDevice::OnDevicePoweredUp(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* bus = static_cast<BusDevice*>(Context);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        PoSetPowerState(bus->m_DeviceObject, DevicePowerState,
                        IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State);
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&bus->m_RemoveLock, Irp);
    return STATUS_CONTINUE_COMPLETION;
}
