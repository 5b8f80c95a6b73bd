// A small driver image for the loader's tests. What DriverEntry does is chosen by the service name
// at the end of the registry path, so one image covers the clean and the leaking cases.
#include <wdm.h>

namespace {

constexpr ULONG LEAK_TAG = 0x6B61654C;  // "Leak"
constexpr ULONG IMAGE_TAG = 0x67616D49; // "Imag"

int g_Loads = 0; // 0 in every fresh copy of the image
PDEVICE_OBJECT g_Device = nullptr;
UNICODE_STRING g_Link = RTL_CONSTANT_STRING(L"\\DosDevices\\LoaderTest");
UNICODE_STRING g_Name = RTL_CONSTANT_STRING(L"\\Device\\LoaderTest");

bool ServiceIs(PUNICODE_STRING registryPath, const WCHAR* service)
{
    USHORT n = 0;
    while (service[n])
        ++n;
    USHORT chars = registryPath->Length / sizeof(WCHAR);
    if (chars < n + 1 || registryPath->Buffer[chars - n - 1] != L'\\')
        return false;
    for (USHORT i = 0; i < n; ++i) {
        if (registryPath->Buffer[chars - n + i] != service[i])
            return false;
    }
    return true;
}

VOID UnloadLeavingEverything(PDRIVER_OBJECT) {}

VOID UnloadCleanly(PDRIVER_OBJECT)
{
    IoDeleteSymbolicLink(&g_Link);
    IoDeleteDevice(g_Device);
}

NTSTATUS CreateNamedDevice(PDRIVER_OBJECT driver)
{
    NTSTATUS status = IoCreateDevice(driver, 0, &g_Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_Device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&g_Link, &g_Name);
    if (!NT_SUCCESS(status))
        IoDeleteDevice(g_Device);
    return status;
}

} // namespace

extern "C" int LoadCount() { return g_Loads; }

// Allocates outside any request, so only the image it runs in can tell whose pool it is.
extern "C" PVOID AllocateFromImage() { return ExAllocatePoolWithTag(NonPagedPool, 16, IMAGE_TAG); }

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ++g_Loads;
    if (ServiceIs(registryPath, L"Counter")) {
        driver->DriverUnload = UnloadLeavingEverything;
        return STATUS_SUCCESS;
    }
    if (ServiceIs(registryPath, L"LeakPool")) {
        if (!ExAllocatePoolWithTag(NonPagedPool, 32, LEAK_TAG))
            return STATUS_INSUFFICIENT_RESOURCES;
        driver->DriverUnload = UnloadLeavingEverything;
        return STATUS_SUCCESS;
    }
    if (ServiceIs(registryPath, L"LeakDevice") || ServiceIs(registryPath, L"CleanDevice")) {
        NTSTATUS status = CreateNamedDevice(driver);
        if (!NT_SUCCESS(status))
            return status;
        g_Device->Flags &= ~DO_DEVICE_INITIALIZING;
        driver->DriverUnload = ServiceIs(registryPath, L"CleanDevice") ? UnloadCleanly : UnloadLeavingEverything;
        return STATUS_SUCCESS;
    }
    if (ServiceIs(registryPath, L"FailLeaking")) {
        ExAllocatePoolWithTag(NonPagedPool, 8, LEAK_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (ServiceIs(registryPath, L"FailClean"))
        return STATUS_DEVICE_NOT_READY;
    if (ServiceIs(registryPath, L"NoUnload"))
        return STATUS_SUCCESS;
    return STATUS_NOT_SUPPORTED;
}
