// The sample reader driver's entry, AddDevice, and the requests a client sends it: create, close
// and cleanup, which the reader below refuses, and the one control request that hands back what
// the driver read at its start.
#include <ntddk.h>

#include "msdscnames.h"
#include "sample/sample_device.h"
#include "sample/sample_faults.h"

// 1.0.0.3, last component first; the target build reads it from here into the sample's INF.
const DriverVersion SAMPLE_VERSION = {{3, 0, 0, 1}};

namespace {

// {8302BC97-D194-4D29-987D-D15715FF25CB}: the sample's own interface. Never the smart-card reader
// interface: a resource manager would take the sample for a reader driver and talk to it as one.
const GUID SAMPLE_INTERFACE_GUID = MSDSC_SAMPLE_INTERFACE_GUID_INITIALIZER;

// "Msmp" in memory: what a debugger shows for the remove lock's tracking blocks.
constexpr ULONG SAMPLE_REMOVE_LOCK_TAG = 0x706D734D;

SampleDevice* DeviceOf(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<SampleDevice*>(DeviceObject->DeviceExtension);
}

// Create, close and cleanup: the handle has nothing of its own to keep. A create is refused until
// the configuration has been read, so every open handle can answer the control request.
NTSTATUS SampleDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SampleDevice* device = DeviceOf(DeviceObject);
    SampleRemoveLockHold hold(device, Irp);
    if (!hold.Held())
        return SampleCompleteRequest(Irp, hold.Status());
    const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (major == IRP_MJ_CREATE && device->State != SampleState::Started) {
        return SampleCompleteRequest(Irp, STATUS_DEVICE_NOT_READY);
    }
    if (major == IRP_MJ_CLEANUP) {
        if (const PIRP held = SampleFaultRelease(DeviceObject)) {
            SampleCompleteRequest(held, STATUS_CANCELLED);
            IoReleaseRemoveLock(&device->RemoveLock, held);
        }
    }
    return SampleCompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS SampleDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SampleDevice* device = DeviceOf(DeviceObject);
    SampleRemoveLockHold hold(device, Irp);
    if (!hold.Held())
        return SampleCompleteRequest(Irp, hold.Status());
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SAMPLE_GET_CONFIGURATION) {
        return SampleCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (device->State == SampleState::SurpriseRemoved && SampleHasFault(SampleFault::HangAfterSurpriseRemoval)) {
        IoMarkIrpPending(Irp);
        SampleFaultHold(DeviceObject, Irp);
        hold.Keep();
        return STATUS_PENDING;
    }
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SampleConfiguration)) {
        return SampleCompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL);
    }
    // A stop or a surprise removal since the open: the values may no longer be this reader's.
    if (device->State != SampleState::Started) {
        return SampleCompleteRequest(Irp, STATUS_DEVICE_NOT_READY);
    }
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &device->Configuration, sizeof(SampleConfiguration));
    return SampleCompleteRequest(Irp, STATUS_SUCCESS, sizeof(SampleConfiguration));
}

// WMI belongs to the drivers below; the sample is no provider.
NTSTATUS SampleDispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    SampleDevice* device = DeviceOf(DeviceObject);
    SampleRemoveLockHold hold(device, Irp);
    if (!hold.Held())
        return SampleCompleteRequest(Irp, hold.Status());
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(device->Lower, Irp);
}

NTSTATUS SampleDispatchUnsupported(PDEVICE_OBJECT, PIRP Irp)
{
    return SampleCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS SampleAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT deviceObject = nullptr;
    // No name: clients find the device by its interface. Secure open, so the security the INF
    // gives the device also guards every name below it.
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(SampleDevice), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
    if (!NT_SUCCESS(status))
        return status;

    SampleDevice* device = DeviceOf(deviceObject);
    RtlZeroMemory(device, sizeof(*device));
    device->Self = deviceObject;
    device->Pdo = Pdo;
    device->State = SampleState::NotStarted;
    device->DevicePower = PowerDeviceD3;
    // Until the capabilities say otherwise: working is D0, every sleeping state D3.
    for (ULONG state = 0; state < POWER_SYSTEM_MAXIMUM; ++state)
        device->DeviceStateFor[state] = PowerDeviceD3;
    device->DeviceStateFor[PowerSystemWorking] = PowerDeviceD0;
    IoInitializeRemoveLock(&device->RemoveLock, SAMPLE_REMOVE_LOCK_TAG, 0, 0);

    // Registered now, enabled at start: the link exists only while the values can be read.
    status = IoRegisterDeviceInterface(Pdo, &SAMPLE_INTERFACE_GUID, nullptr, &device->InterfaceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(deviceObject);
        return status;
    }
    // The plain attach: a function driver attaches in AddDevice, before any request can reach the
    // stack, so the safe form's guard against a racing removal buys nothing here.
    device->Lower = IoAttachDeviceToDeviceStack(deviceObject, Pdo);
    if (device->Lower == nullptr) {
        RtlFreeUnicodeString(&device->InterfaceName);
        IoDeleteDevice(deviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }
    deviceObject->Flags |= device->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    // The sample touches pageable code and paged pool only, so it takes power requests at PASSIVE_LEVEL.
    deviceObject->Flags |= DO_POWER_PAGABLE;
    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Nothing is driver-wide: each device ends with its removal, so the unload has nothing to undo.
VOID SampleUnload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
#ifdef MSDSC_SAMPLE_FAULTS
    const NTSTATUS chosen = SampleChooseFault(RegistryPath);
    if (!NT_SUCCESS(chosen))
        return chosen;
#else
    UNREFERENCED_PARAMETER(RegistryPath);
#endif
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        DriverObject->MajorFunction[major] = SampleDispatchUnsupported;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = SampleDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = SampleDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SampleDispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SampleDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SampleDispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = SampleDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = SampleDispatchPower;
    DriverObject->DriverExtension->AddDevice = SampleAddDevice;
    DriverObject->DriverUnload = SampleUnload;
    return STATUS_SUCCESS;
}
