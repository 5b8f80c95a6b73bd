// Power of a reader. It is the bottom of its stack, so it answers every power request itself;
// its state follows the device power state: D0 is Started, anything else NotStarted.
#include <ntddk.h>
#include "reader/reader_device.h"

// How the bottom of the stack answers each power request, by minor code:
//
// | Minor code            | Completed with      | Page                                               |
// |-----------------------|---------------------|----------------------------------------------------|
// | IRP_MN_SET_POWER      | STATUS_SUCCESS      | Handling a System Set-Power IRP in a Bus Driver;   |
// |                       |                     | Handling IRP_MN_SET_POWER for Device Power States  |
// | IRP_MN_QUERY_POWER    | STATUS_SUCCESS      | Handling a System Query-Power IRP in a Bus Driver  |
// | IRP_MN_WAIT_WAKE      | STATUS_NOT_SUPPORTED| IRP_MN_WAIT_WAKE: "the device does not support     |
// |                       |                     | wake-up"; never held pending                       |
// | IRP_MN_POWER_SEQUENCE | STATUS_NOT_IMPLEMENTED | IRP_MN_POWER_SEQUENCE: a bus driver that keeps  |
// |                       |                     | no power sequence count                            |
// | any other             | the status it came  | none documented: like an unhandled Plug and Play   |
// |                       | with                | request, its status is left as it is               |
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
    case IRP_MN_WAIT_WAKE:
        status = STATUS_NOT_SUPPORTED;
        break;
    case IRP_MN_POWER_SEQUENCE:
        status = STATUS_NOT_IMPLEMENTED;
        break;
    default:
        status = Irp->IoStatus.Status;
        break;
    }
    return CompleteIrpWith(Irp, status);
}

NTSTATUS ReaderDevice::OnSetPower(PIRP Irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const POWER_STATE_TYPE type = stack->Parameters.Power.Type;
    const POWER_STATE state = stack->Parameters.Power.State;
    // A system state is the power manager's own ("PoSetPowerState function": drivers report device
    // states only), so a system set-power is simply accepted; the device request that follows it
    // from the stack's power policy owner is what moves the reader.
    if (type == DevicePowerState) {
        PoSetPowerState(m_DeviceObject, DevicePowerState, state);
        ReaderRoster::ChildPowered(this, state.DeviceState);
    }
    return STATUS_SUCCESS;
}
