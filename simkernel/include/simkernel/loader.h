// The loader of the simulated kernel: driver images (shared modules) and in-process driver entry
// points become driver objects named \Driver\<service>; unloading runs the verifier's unload checks.
#pragma once

#include <wdm.h>

#include <string>

namespace simk {

struct LoadResult {
    NTSTATUS status;             // DriverEntry's status, or the loader's own failure
    PDRIVER_OBJECT driverObject; // null unless DriverEntry succeeded
    std::string error;           // the loader's reason when the image could not be loaded
};

// dlopen(RTLD_NOW | RTLD_LOCAL) the image, find "DriverEntry", create \Driver\<serviceName> with the
// registry path \Registry\Machine\System\CurrentControlSet\Services\<serviceName> and call
// DriverEntry at PASSIVE_LEVEL. A failed DriverEntry runs the leak checks, frees the driver object
// and closes the image.
LoadResult LoadDriver(const char* imagePath, const char16_t* serviceName);

// The same for an entry point linked into the test itself.
LoadResult LoadDriverEntry(PDRIVER_INITIALIZE entry, const char16_t* serviceName);

// Calls DriverUnload at PASSIVE_LEVEL, then checks that the driver left no pool, device objects,
// symbolic links or references behind. Without an unload routine the driver cannot be unloaded:
// STATUS_INVALID_DEVICE_REQUEST and nothing happens. A Plug and Play driver (AddDevice set) that
// still has a device object is not unloaded either, as Windows unloads such a driver only once its
// devices are gone: STATUS_DEVICE_BUSY, DriverUnload is not called and the driver stays loaded
// (ResetKernel frees it without calling DriverUnload). The image is closed once no device object of
// the driver remains (as Windows keeps an image while its device objects exist; the rest goes at
// ResetKernel).
NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject);

bool IsDriverLoaded(PDRIVER_OBJECT driverObject); // a driver object that has not been unloaded
PDRIVER_OBJECT FindDriver(const char16_t* serviceName);
// A symbol of the driver's image (null for in-process drivers or unknown names).
void* ImageSymbol(PDRIVER_OBJECT driverObject, const char* name);

} // namespace simk
