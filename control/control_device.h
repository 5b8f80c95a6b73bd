// The driver's one named device: the client's way in. One open handle at a time, and only while
// a bus is registered.
#pragma once
#include <ntddk.h>
#include "driver/device_object_base.h"
#include "driver/kernel_support.h"
#include "registry/bus_registry.h"
#include "driver/driver_globals.h"

class ControlDevice : public DeviceObjectBase
{
public:
    ControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject);
    ~ControlDevice() override;

    // Restricts who may open the device, then creates the symbolic link the client opens.
    NTSTATUS Start() override;

    NTSTATUS DispatchCreate(PIRP Irp) override;
    NTSTATUS DispatchClose(PIRP Irp) override;
    NTSTATUS DispatchDeviceControl(PIRP Irp) override;
    NTSTATUS DispatchCleanup(PIRP Irp) override;

    // A request of the open session runs between these two; false (and nothing to leave) when
    // FileObject is not the session's or its session is ending.
    bool EnterSessionRequest(PFILE_OBJECT FileObject) EXCLUDES(m_Mutex);
    void LeaveSessionRequest() EXCLUDES(m_Mutex);
    // Ends the session of FileObject once: no request of it is admitted any more, the ones under
    // way finish, then every reader of every bus is removed and the device can be opened again.
    // The handle's cleanup calls it, and its close too, for a system (Wine) that sends no cleanup.
    void EndSession(PFILE_OBJECT FileObject) EXCLUDES(m_Mutex);

    // m_Opened: a handle is open, from a successful create until its session has ended; m_Session:
    // that handle's file object, which owns every reader; m_SessionEnding: its end has begun;
    // m_RequestsUnderWay: its requests between enter and leave. Whether a bus is registered is the
    // registry's answer alone (BusRegistry::HasBus), so the two can never disagree.
    bool m_Opened GUARDED_BY(m_Mutex);
    bool m_SessionEnding GUARDED_BY(m_Mutex);
    PFILE_OBJECT m_Session GUARDED_BY(m_Mutex);
    LONG m_RequestsUnderWay GUARDED_BY(m_Mutex);
    // The outermost lock (the order is in driver/kernel_support.h).
    DriverMutex m_Mutex ACQUIRED_BEFORE(g_BusRegistry->m_Buses);
    // Signalled when the last request under way leaves an ending session.
    KEVENT m_RequestsDone;
};

// Gives the control device a DACL that admits only the system and administrators.
NTSTATUS ProtectControlDevice(PDEVICE_OBJECT DeviceObject);

// Creates the control device and its symbolic link and sets g_ControlDevice; on failure nothing
// is left and g_ControlDevice is null.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject);

// Removes the symbolic link and the control device when the driver unloads; g_ControlDevice is
// null afterwards.
void DeleteControlDevice();
