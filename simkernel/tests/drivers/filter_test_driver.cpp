// A WDM filter driver image for the Plug and Play manager's tests, installed as an upper or lower
// filter (device or class) like any other product's filter. It forwards every request by the
// documented rules for filters (remove lock held across each request, the removal passed down
// before it detaches and deletes its device) and can fail one request on its way up.
#include <wdm.h>

namespace {

constexpr ULONG FILTER_TAG = 0x746C6946; // "Filt"

struct FilterExtension {
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
};

// What a test asked for: one request (major, minor) the filter fails on its way up.
UCHAR g_FailMajor = 0xFF;
UCHAR g_FailMinor = 0xFF;
NTSTATUS g_FailStatus = STATUS_SUCCESS;
LONG g_Devices = 0;
LONG g_Detaches = 0;
// Set: the filter takes on DO_POWER_PAGABLE from the device below, as filters do; clear: it stays
// callable at DISPATCH_LEVEL, as a driver in the paging path must.
BOOLEAN g_PowerPagable = TRUE;
// The highest IRQL a power request reached the filter at.
KIRQL g_HighestPowerIrql = PASSIVE_LEVEL;

bool FailsOnWayUp(PIO_STACK_LOCATION sl)
{
    return g_FailStatus != STATUS_SUCCESS && sl->MajorFunction == g_FailMajor && sl->MinorFunction == g_FailMinor;
}

NTSTATUS OnWayBack(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    // The dispatch routine waits for the request and finishes it there.
    if (irp->PendingReturned)
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Forward(FilterExtension* ext, PIRP irp)
{
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    if (FailsOnWayUp(sl)) {
        // A driver that changes the status on the way up completes the request itself, with the
        // status its dispatch routine returns.
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, OnWayBack, &event, TRUE, TRUE, TRUE);
        if (IoCallDriver(ext->lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }
        if (NT_SUCCESS(irp->IoStatus.Status)) {
            irp->IoStatus.Status = g_FailStatus;
            // Plug and Play reads nothing from a failed request: the relations the drivers below
            // handed up, and the references in them, are the failing driver's to release.
            auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
            if (sl->MajorFunction == IRP_MJ_PNP && sl->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && relations) {
                for (ULONG i = 0; i < relations->Count; ++i)
                    ObDereferenceObject(relations->Objects[i]);
                ExFreePool(relations);
                irp->IoStatus.Information = 0;
            }
        }
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoReleaseRemoveLock(&ext->removeLock, irp);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(ext->lower, irp);
    IoReleaseRemoveLock(&ext->removeLock, irp);
    return status;
}

NTSTATUS DispatchPnp(FilterExtension* ext, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
        // Handling an IRP_MN_REMOVE_DEVICE request: pass it down first, then wait out the requests
        // under way, detach from the device below and delete the filter's own device object.
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(ext->lower, irp);
        IoReleaseRemoveLockAndWait(&ext->removeLock, irp);
        PDEVICE_OBJECT lower = ext->lower;
        PDEVICE_OBJECT self = ext->self;
        IoDetachDevice(lower);
        InterlockedIncrement(&g_Detaches);
        IoDeleteDevice(self);
        InterlockedDecrement(&g_Devices);
        return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        // Passing PnP IRPs down the device stack: a driver that has nothing against the request
        // sets success before passing it down.
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Forward(ext, irp);
    default:
        return Forward(ext, irp);
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    const NTSTATUS locked = IoAcquireRemoveLock(&ext->removeLock, irp);
    if (!NT_SUCCESS(locked)) {
        if (sl->MajorFunction == IRP_MJ_POWER)
            PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = locked;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return locked;
    }
    if (sl->MajorFunction == IRP_MJ_PNP)
        return DispatchPnp(ext, irp);
    if (sl->MajorFunction == IRP_MJ_POWER) {
        const KIRQL irql = KeGetCurrentIrql();
        if (irql > g_HighestPowerIrql)
            g_HighestPowerIrql = irql;
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = PoCallDriver(ext->lower, irp);
        IoReleaseRemoveLock(&ext->removeLock, irp);
        return status;
    }
    return Forward(ext, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    ext->self = device;
    IoInitializeRemoveLock(&ext->removeLock, FILTER_TAG, 0, 0);
    status = IoAttachDeviceToDeviceStackSafe(device, pdo, &ext->lower);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    // A filter takes on the I/O and power flags of the device it sits on.
    device->Flags |= ext->lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | (g_PowerPagable ? DO_POWER_PAGABLE : 0));
    device->DeviceType = ext->lower->DeviceType;
    device->Characteristics = ext->lower->Characteristics;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    InterlockedIncrement(&g_Devices);
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

} // namespace

// For tests: the one request the filter fails on its way up (STATUS_SUCCESS: none), and what it did.
extern "C" void FilterTestFailOnWayUp(UCHAR major, UCHAR minor, NTSTATUS status)
{
    g_FailMajor = major;
    g_FailMinor = minor;
    g_FailStatus = status;
}
extern "C" void FilterTestPowerPagable(BOOLEAN pagable) { g_PowerPagable = pagable; }
extern "C" KIRQL FilterTestHighestPowerIrql() { return g_HighestPowerIrql; }
extern "C" LONG FilterTestDeviceCount() { return g_Devices; }
extern "C" LONG FilterTestDetachCount() { return g_Detaches; }

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driver->MajorFunction[i] = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
