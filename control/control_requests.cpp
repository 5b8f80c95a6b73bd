// The control device's device-control and cleanup requests. Until the reader management
// requests exist, both get the default answer.
#include <ntddk.h>
#include "control/control_device.h"

NTSTATUS ControlDevice::DispatchDeviceControl(PIRP Irp)
{
    return DeviceObjectBase::DispatchDeviceControl(Irp);
}

NTSTATUS ControlDevice::DispatchCleanup(PIRP Irp)
{
    return DeviceObjectBase::DispatchCleanup(Irp);
}
