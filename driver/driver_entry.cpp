// The driver's entry and unload routines, its per-driver context and its version text.
#include <ntddk.h>
#include "driver/driver_entry.h"
#include "driver/device_object_base.h"
#include "registry/device_list.h"
#include "control/control_device.h"
#include "control/control_requests.h"
#include "bus/bus_device.h"
#include "driver/diagnostics.h"

DeviceList* g_BusRegistry = nullptr;
POOL_TYPE g_NonPagedPoolType = NonPagedPool;

namespace {

constexpr ULONG BUS_REGISTRY_TAG = MakePoolTag("ansl");
static_assert(BUS_REGISTRY_TAG == 0x6C736E61, "pool tag of the bus registry");
static_assert(DEVICE_LIST_ENTRY_TAG == 0x6C737061, "pool tag of list entries");
static_assert(sizeof(DriverObjectContext) == 8, "the driver-object extension holds one pointer");

void FreeBusRegistry()
{
    g_BusRegistry->Clear();
    g_BusRegistry->~DeviceList();
    ExFreePoolWithTag(g_BusRegistry, BUS_REGISTRY_TAG);
    g_BusRegistry = nullptr;
}

} // namespace

bool ParseDriverVersionText(const char* Text, DriverVersion* Version)
{
    if (Text[0] == '\0') {
        return false;
    }
    ULONG separators = 0;
    for (const char* c = Text; *c != '\0'; ++c) {
        if (*c == '.') {
            ++separators;
        } else if (*c < '0' || *c > '9') {
            return false;
        }
    }
    if (separators != 3) {
        return false;
    }

    // Validation is over: from here on the output is written.
    USHORT components[4] = {0, 0, 0, 0};
    ULONG index = 0;
    for (const char* c = Text; *c != '\0'; ++c) {
        if (*c == '.') {
            ++index;
        } else {
            components[index] = static_cast<USHORT>(components[index] * 10 + (*c - '0'));
        }
    }
    for (ULONG i = 0; i < 4; ++i) {
        Version->Elements[3 - i] = components[i];
    }
    return true;
}

bool ParseDriverVersion(DriverVersion* Version)
{
    return ParseDriverVersionText(DRIVER_VERSION_STRING, Version);
}

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
        PVOID memory = ExAllocatePoolWithTag(g_NonPagedPoolType, sizeof(DeviceList), BUS_REGISTRY_TAG);
        if (memory == nullptr) {
            return STATUS_UNSUCCESSFUL;
        }
        g_BusRegistry = new (memory, InPlace) DeviceList(TRUE, PagedPool, DEVICE_LIST_ENTRY_TAG);
        registryCreatedHere = true;
    }

    if (g_ControlDevice == nullptr) {
        InitializeHandleTag();
        const NTSTATUS status = CreateControlDevice(m_DriverObject);
        if (!NT_SUCCESS(status)) {
            // A driver that fails to load leaves nothing behind.
            if (registryCreatedHere) {
                FreeBusRegistry();
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
        FreeBusRegistry();
    }
}
