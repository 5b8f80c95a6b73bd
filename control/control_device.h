// The driver's one named device: the client's way in. One open handle at a time, and only while
// a bus is registered.
#pragma once
#include <ntddk.h>
#include "driver/device_object_base.h"

class ControlDevice : public DeviceObjectBase
{
public:
    ControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject);
    ~ControlDevice() override;

    // Creates the symbolic link the client opens.
    NTSTATUS Start() override;

    NTSTATUS DispatchCreate(PIRP Irp) override;
    NTSTATUS DispatchClose(PIRP Irp) override;
    NTSTATUS DispatchDeviceControl(PIRP Irp) override;
    NTSTATUS DispatchCleanup(PIRP Irp) override;

    // Both flags are read and written only under m_Mutex. m_BusReady: a bus is registered
    // (AddDevice sets it, bus removal clears it); m_Opened: a handle is open, from a successful
    // create until that handle's cleanup.
    bool m_BusReady;
    bool m_Opened;
    FAST_MUTEX m_Mutex;
};

// Creates the control device and its symbolic link and sets g_ControlDevice; on failure nothing
// is left and g_ControlDevice is null.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject);

// Removes the symbolic link and the control device when the driver unloads; g_ControlDevice is
// null afterwards.
void DeleteControlDevice();

// The lock order across the driver starts here: m_Mutex before the bus registry's lock.
extern ControlDevice* g_ControlDevice;
