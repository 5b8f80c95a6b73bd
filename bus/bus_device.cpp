// The bus device object: its layout, creation over the physical device, and its registration
// by AddDevice.
#include <ntddk.h>
#include "bus/bus_device.h"
#include "driver/diagnostics.h"

BusDevice::BusDevice(DriverObjectContext* Context, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDeviceObject)
    : AttachedDevice(Context->m_DriverObject, DeviceObject, PhysicalDeviceObject), m_DriverContext(Context),
      m_Handle(0), m_Roster(this), m_Started(false)
{}

BusDevice::~BusDevice() {}

NTSTATUS BusDevice::Start() { return AttachedDevice::Start(); }

void BusDevice::Delete() { AttachedDevice::Delete(); }

NTSTATUS BusDevice::Create(DriverObjectContext* Context, PDEVICE_OBJECT PhysicalDeviceObject, BusDevice** Bus)
{
    *Bus = nullptr;
    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status =
        IoCreateDevice(Context->m_DriverObject, sizeof(BusDevice), nullptr, PhysicalDeviceObject->DeviceType,
                       PhysicalDeviceObject->Characteristics & FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // An assignment: the bus takes no buffering flag from anywhere, and its paging flag only from
    // the device it attaches to.
    deviceObject->Flags = DO_DEVICE_INITIALIZING;

    BusDevice* bus =
        new (deviceObject->DeviceExtension, InPlace) BusDevice(Context, deviceObject, PhysicalDeviceObject);
    DeleteOnFailure deleteOnFailure(bus);
    status = bus->Start();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    deleteOnFailure.Dismiss();
    *Bus = bus;
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    DriverObjectContext* context =
        static_cast<DriverObjectContext*>(IoGetDriverObjectExtension(DriverObject, DriverObjectContextId()));
    if (context == nullptr) {
        MSDSC_FAILED("a bus could not be added: AddDevice was called for another driver object");
        return STATUS_UNSUCCESSFUL;
    }

    BusDevice* bus = nullptr;
    const NTSTATUS status = BusDevice::Create(context, PhysicalDeviceObject, &bus);
    if (!NT_SUCCESS(status)) {
        MSDSC_FAILED("a bus could not be added (%08X)", StatusCode(status));
        return status;
    }
    // A bus that cannot be registered is detached and deleted again, after the registry has let go
    // of its lock.
    DeleteOnFailure deleteOnFailure(bus);
    if (!g_BusRegistry->Register(bus, &bus->m_Handle)) {
        MSDSC_FAILED("a bus could not be registered");
        return STATUS_UNSUCCESSFUL;
    }
    deleteOnFailure.Dismiss();
    MSDSC_EVENT("bus %u added", static_cast<unsigned>(bus->Serial()));
    return STATUS_SUCCESS;
}
