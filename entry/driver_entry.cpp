// The driver's entry and unload routines: what the driver builds when it loads (its context, the
// bus registry, the control device) and takes down when it unloads.
#include <ntddk.h>
#include "entry/driver_entry.h"
#include "driver/device_object_base.h"
#include "driver/diagnostics.h"
#include "driver/driver_globals.h"
#include "driver/driver_version.h"
#include "registry/bus_registry.h"
#include "control/control_device.h"
#include "bus/bus_device.h"

POOL_TYPE NonPagedPoolTypeFor(ULONG MajorVersion, ULONG MinorVersion)
{
    const bool hasNx = MajorVersion > 6 || (MajorVersion == 6 && MinorVersion >= 2);
    return hasNx ? NonPagedPoolNx : NonPagedPool;
}

NTSTATUS DriverObjectContext::Initialize()
{
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        m_DriverObject->MajorFunction[major] = DispatchIrp;
    }
    m_DriverObject->DriverExtension->AddDevice = AddDevice;

    bool registryCreatedHere = false;
    if (g_BusRegistry == nullptr) {
        if (!BusRegistry::Create()) {
            return STATUS_UNSUCCESSFUL;
        }
        registryCreatedHere = true;
    }

    if (g_ControlDevice == nullptr) {
        const NTSTATUS status = CreateControlDevice(m_DriverObject);
        if (!NT_SUCCESS(status)) {
            // A driver that fails to load leaves nothing behind.
            if (registryCreatedHere) {
                BusRegistry::Free();
            }
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS InitializeDriver(PDRIVER_OBJECT DriverObject)
{
    RTL_OSVERSIONINFOW versionInfo;
    RtlZeroMemory(&versionInfo, sizeof(versionInfo));
    versionInfo.dwOSVersionInfoSize = sizeof(versionInfo);
    RtlGetVersion(&versionInfo);
    // Windows XP (5.1) is the oldest system the driver runs on; build and service pack do not matter.
    if (versionInfo.dwMajorVersion < 5 || (versionInfo.dwMajorVersion == 5 && versionInfo.dwMinorVersion < 1)) {
        return STATUS_UNSUCCESSFUL;
    }
    g_NonPagedPoolType = NonPagedPoolTypeFor(versionInfo.dwMajorVersion, versionInfo.dwMinorVersion);

    PVOID memory = nullptr;
    const NTSTATUS status =
        IoAllocateDriverObjectExtension(DriverObject, DriverObjectContextId(), sizeof(DriverObjectContext), &memory);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DriverObjectContext* context = new (memory, InPlace) DriverObjectContext(DriverObject);
    const NTSTATUS initializeStatus = context->Initialize();
    if (!NT_SUCCESS(initializeStatus)) {
        return initializeStatus;
    }
    return status;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverVersion version;
    const NTSTATUS status = ParseDriverVersion(&version) ? InitializeDriver(DriverObject) : STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) {
        // The only trace a failed load leaves where no debugger asked for the driver's messages.
        MSDSC_FAILED("the driver did not load (%08X)", StatusCode(status));
        return status;
    }
    // Installed last, so that a driver that failed to load has no unload routine.
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

void NTAPI DriverUnload(PDRIVER_OBJECT)
{
    // Plug and Play has removed every bus before the driver can unload, so only what the entry
    // built is left.
    if (g_ControlDevice != nullptr) {
        DeleteControlDevice();
    }
    if (g_BusRegistry != nullptr) {
        BusRegistry::Free();
    }
}
