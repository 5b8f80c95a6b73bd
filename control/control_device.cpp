// The control device: its creation with the symbolic link, and the exclusive open.
#include <ntddk.h>
#include "control/control_device.h"

ControlDevice* g_ControlDevice = nullptr;

namespace {

constexpr WCHAR CONTROL_DEVICE_NAME[] = L"\\Device\\MicroSDSmartCardControl";
constexpr WCHAR CONTROL_LINK_NAME[] = L"\\DosDevices\\MicroSDSmartCardControl";

} // namespace

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, CONTROL_DEVICE_NAME);
    PDEVICE_OBJECT deviceObject = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ControlDevice), &deviceName, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    g_ControlDevice = static_cast<ControlDevice*>(deviceObject->DeviceExtension);
    new (deviceObject->DeviceExtension, InPlace) ControlDevice(DriverObject, deviceObject);
    status = g_ControlDevice->Start();
    if (!NT_SUCCESS(status)) {
        g_ControlDevice->Delete();
        g_ControlDevice = nullptr;
    }
    return status;
}

void DeleteControlDevice()
{
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&linkName);
    g_ControlDevice->Delete();
    g_ControlDevice = nullptr;
}

ControlDevice::ControlDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject)
    : DeviceObjectBase(DriverObject, DeviceObject), m_BusReady(false), m_Opened(false)
{
    ExInitializeFastMutex(&m_Mutex);
}

ControlDevice::~ControlDevice() {}

NTSTATUS ControlDevice::Start()
{
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, CONTROL_LINK_NAME);
    const NTSTATUS status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // No buffering flag: the device takes no reads or writes, and its control codes name their
    // own buffering method.
    m_DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS ControlDevice::DispatchCreate(PIRP Irp)
{
    NTSTATUS status;
    {
        MutexGuard guard(&m_Mutex);
        // An open handle refuses the next open whatever the buses do.
        if (m_Opened) {
            status = STATUS_ACCESS_DENIED;
        } else if (!m_BusReady) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else {
            m_Opened = true;
            status = STATUS_SUCCESS;
        }
    }
    return CompleteIrpWith(Irp, status);
}

NTSTATUS ControlDevice::DispatchClose(PIRP Irp)
{
    // The exclusive open ends with the handle's cleanup, not here.
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}
