// Power of the sample reader driver, as the device's power policy owner: a system set-power goes
// down first, then the driver asks for the device state its capabilities map that system state to,
// and completes the system request once that device request is done. No device request is asked for
// at any other time, start and removal included.
#include <ntddk.h>

#include "sample/sample_device.h"

namespace {

SampleDevice* DeviceOf(PIRP Irp)
{
    return static_cast<SampleDevice*>(IoGetCurrentIrpStackLocation(Irp)->DeviceObject->DeviceExtension);
}

// The end of a system request: its status is the device request's.
VOID OnDeviceSetPowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    const PIRP systemIrp = static_cast<PIRP>(Context);
    SampleDevice* device = DeviceOf(systemIrp);
    SampleCompleteRequest(systemIrp, IoStatus->Status);
    IoReleaseRemoveLock(&device->RemoveLock, systemIrp);
}

NTSTATUS OnSystemSetPowerDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    SampleDevice* device = static_cast<SampleDevice*>(Context);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        const SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
        POWER_STATE wanted;
        wanted.DeviceState = system < POWER_SYSTEM_MAXIMUM ? device->DeviceStateFor[system] : PowerDeviceD3;
        const NTSTATUS status =
            PoRequestPowerIrp(device->Pdo, IRP_MN_SET_POWER, wanted, OnDeviceSetPowerDone, Irp, nullptr);
        if (NT_SUCCESS(status)) {
            // OnDeviceSetPowerDone completes the system request.
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        Irp->IoStatus.Status = status;
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&device->RemoveLock, Irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS OnDevicePowerUpDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    SampleDevice* device = static_cast<SampleDevice*>(Context);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        const POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
        device->DevicePower = state.DeviceState;
        PoSetPowerState(device->Self, DevicePowerState, state);
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&device->RemoveLock, Irp);
    return STATUS_CONTINUE_COMPLETION;
}

// A request the sample has nothing to do with, or a device power-down: the next power request may
// come, and this one goes on down.
NTSTATUS PassPowerDown(SampleDevice* Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Device->Lower, Irp);
}

// The lower drivers see the request before the sample acts on it; the remove lock goes with the
// request to its completion routine.
NTSTATUS PassPowerDownWithCompletion(SampleDevice* Device, PIRP Irp, PIO_COMPLETION_ROUTINE Routine,
                                     SampleRemoveLockHold& Hold)
{
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Routine, Device, TRUE, TRUE, TRUE);
    Hold.Keep();
    PoCallDriver(Device->Lower, Irp);
    return STATUS_PENDING;
}

} // namespace

NTSTATUS SampleDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SampleDevice* device = static_cast<SampleDevice*>(DeviceObject->DeviceExtension);
    SampleRemoveLockHold hold(device, Irp);
    if (!hold.Held())
        return SampleCompleteRequest(Irp, hold.Status());

    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction != IRP_MN_SET_POWER)
        return PassPowerDown(device, Irp);

    if (stack->Parameters.Power.Type == SystemPowerState) {
        // A device that never started has no device state to change.
        if (device->State != SampleState::Started)
            return PassPowerDown(device, Irp);
        return PassPowerDownWithCompletion(device, Irp, OnSystemSetPowerDone, hold);
    }
    const DEVICE_POWER_STATE wanted = stack->Parameters.Power.State.DeviceState;
    if (wanted == PowerDeviceD0 || wanted < device->DevicePower) {
        // Powering up: the device is in the new state only once the drivers below have got it there.
        return PassPowerDownWithCompletion(device, Irp, OnDevicePowerUpDone, hold);
    }
    // Powering down: the power manager learns of it before the drivers below take the power away.
    device->DevicePower = wanted;
    PoSetPowerState(device->Self, DevicePowerState, stack->Parameters.Power.State);
    return PassPowerDown(device, Irp);
}

NTSTATUS SampleCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    // Before XP's successors, a power request must free the way for the next before it completes.
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
