// Power of a reader. It is the bottom of its stack, so it answers every power request itself;
// its state follows the device power state: D0 is Started, anything else NotStarted.
#include <ntddk.h>
#include "reader/reader_device.h"

NTSTATUS ReaderDevice::DispatchPower(PIRP Irp)
{
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
        status = OnSetPower(Irp);
        break;
    case IRP_MN_QUERY_POWER:
        // Nothing keeps the reader from any state.
        status = STATUS_SUCCESS;
        break;
    default:
        // No wake signal and no power sequence: never leave one pending.
        status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    return CompleteIrpWith(Irp, status);
}

NTSTATUS ReaderDevice::OnSetPower(PIRP Irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    const POWER_STATE state = stack->Parameters.Power.State;
    // Reported for system requests too, so the power manager's view of the reader is complete.
    PoSetPowerState(m_DeviceObject, type, state);
    if (type == DevicePowerState) {
        // This overwrites whatever the removal protocol left, Unplugged included; the removal
        // of a reader that is off its bus does not depend on that state.
        ChangeState(state.DeviceState == PowerDeviceD0 ? ReaderState::Started : ReaderState::NotStarted);
    }
    return STATUS_SUCCESS;
}
