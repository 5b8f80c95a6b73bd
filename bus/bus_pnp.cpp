// Plug and Play of the bus. For now every Plug and Play request travels down the bus's stack
// like any other request.
#include <ntddk.h>
#include "bus/bus_device.h"

NTSTATUS BusDevice::DispatchPnp(PIRP Irp)
{
    return AttachedDevice::DispatchPnp(Irp);
}
