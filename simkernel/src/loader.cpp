// The loader: driver images opened with dlopen (each load starts from the image's initial globals),
// in-process entry points for tests, DriverEntry and DriverUnload, and the unload-time leak checks.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "internal.h"
#include "simkernel/loader.h"

namespace simk::detail {
namespace {
namespace rules = simk::verifier::rules;

struct ImageRange {
    PDRIVER_OBJECT driver;
    uintptr_t begin, end;
};

struct LoaderState {
    std::mutex lock;
    std::vector<ImageRange> ranges;
    std::vector<void*> handles; // every image still open
    std::vector<PDRIVER_OBJECT> pendingFinish;
};

LoaderState& State()
{
    static LoaderState* state = new LoaderState;
    return *state;
}

struct RangeSearch {
    uintptr_t base;
    uintptr_t begin = 0, end = 0;
};

int FindRange(struct dl_phdr_info* info, size_t, void* data)
{
    auto* search = static_cast<RangeSearch*>(data);
    if (info->dlpi_addr != search->base)
        return 0;
    uintptr_t lo = UINTPTR_MAX, hi = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        lo = std::min<uintptr_t>(lo, info->dlpi_addr + ph.p_vaddr);
        hi = std::max<uintptr_t>(hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
    }
    if (hi == 0)
        return 0;
    search->begin = lo;
    search->end = hi;
    return 1;
}

void RegisterImage(PDRIVER_OBJECT driver, void* handle)
{
    struct link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return;
    RangeSearch search{(uintptr_t)map->l_addr};
    dl_iterate_phdr(FindRange, &search);
    if (search.end == 0)
        return;
    driver->DriverStart = (PVOID)search.begin;
    driver->DriverSize = (ULONG)(search.end - search.begin);
    std::lock_guard<std::mutex> guard(State().lock);
    State().ranges.push_back({driver, search.begin, search.end});
    State().handles.push_back(handle);
}

void CloseImage(PDRIVER_OBJECT driver, void* handle)
{
    {
        std::lock_guard<std::mutex> guard(State().lock);
        auto& ranges = State().ranges;
        for (auto it = ranges.begin(); it != ranges.end();)
            it = it->driver == driver ? ranges.erase(it) : std::next(it);
        auto& handles = State().handles;
        for (auto it = handles.begin(); it != handles.end(); ++it) {
            if (*it == handle) {
                handles.erase(it);
                break;
            }
        }
    }
    if (handle)
        dlclose(handle);
}

// The driver object goes, and with it the image, once nothing of the driver is left to call into.
void Finish(PDRIVER_OBJECT driver)
{
    DriverInfo info;
    if (!GetDriverInfo(driver, &info))
        return;
    DestroyDriverObject(driver);
    CloseImage(driver, info.image);
}

void RetireDriver(PDRIVER_OBJECT driver, const char* when)
{
    MarkDriverUnloaded(driver);
    RunUnloadChecks(driver, when);
    if (!DriverHasDeviceMemory(driver))
        Finish(driver);
}

simk::LoadResult Start(PDRIVER_OBJECT driver)
{
    NTSTATUS status = CallDriverEntry(driver);
    if (!NT_SUCCESS(status)) {
        RetireDriver(driver, "failed DriverEntry");
        return {status, nullptr, {}};
    }
    return {status, driver, {}};
}

} // namespace

PDRIVER_OBJECT DriverOfAddress(const void* address)
{
    uintptr_t a = (uintptr_t)address;
    std::lock_guard<std::mutex> guard(State().lock);
    for (const auto& range : State().ranges) {
        if (a >= range.begin && a < range.end)
            return range.driver;
    }
    return nullptr;
}

void DriverDevicesGone(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().pendingFinish.push_back(driver);
}

void FinishPendingUnloads()
{
    std::vector<PDRIVER_OBJECT> pending;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        pending.swap(State().pendingFinish);
    }
    for (PDRIVER_OBJECT driver : pending) {
        DriverInfo info;
        if (GetDriverInfo(driver, &info) && info.unloaded && !DriverHasDeviceMemory(driver))
            Finish(driver);
    }
}

void ResetLoader()
{
    std::vector<void*> handles;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        handles.swap(State().handles);
        State().ranges.clear();
        State().pendingFinish.clear();
    }
    for (void* handle : handles)
        dlclose(handle);
}

} // namespace simk::detail

namespace simk {
using namespace simk::detail;

LoadResult LoadDriver(const char* imagePath, const char16_t* serviceName)
{
    FinishPendingUnloads();
    void* handle = dlopen(imagePath, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* error = dlerror();
        NTSTATUS status = access(imagePath, F_OK) == 0 ? STATUS_INVALID_IMAGE_FORMAT : STATUS_OBJECT_NAME_NOT_FOUND;
        return {status, nullptr, error ? error : "dlopen failed"};
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    if (!entry) {
        dlclose(handle);
        return {STATUS_PROCEDURE_NOT_FOUND, nullptr, "the image exports no DriverEntry"};
    }
    NTSTATUS status;
    PDRIVER_OBJECT driver = CreateDriverObject(serviceName, entry, handle, &status);
    if (!driver) {
        dlclose(handle);
        return {status, nullptr, "a driver with this service name is loaded"};
    }
    RegisterImage(driver, handle);
    return Start(driver);
}

LoadResult LoadDriverEntry(PDRIVER_INITIALIZE entry, const char16_t* serviceName)
{
    FinishPendingUnloads();
    NTSTATUS status;
    PDRIVER_OBJECT driver = CreateDriverObject(serviceName, entry, nullptr, &status);
    if (!driver)
        return {status, nullptr, "a driver with this service name is loaded"};
    return Start(driver);
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driverObject)
{
    FinishPendingUnloads();
    DriverInfo info;
    if (!GetDriverInfo(driverObject, &info) || info.unloaded)
        return STATUS_INVALID_PARAMETER;
    // Windows refuses to unload a driver that installed no unload routine.
    if (!driverObject->DriverUnload)
        return STATUS_INVALID_DEVICE_REQUEST;
    // A Plug and Play driver (one with AddDevice) is unloaded only once all its devices are gone
    // ("PnP Driver's Unload Routine": the Unload routine "can be called at any time after all the
    // driver's devices have been removed"). A device object it created itself, such as a control
    // device, keeps it loaded: the request is refused and DriverUnload is not called. A driver
    // without AddDevice is a legacy driver, whose Unload deletes its own devices ("A Non-PnP
    // Driver's Unload Routine"), so it is called with them present.
    if (driverObject->DriverExtension && driverObject->DriverExtension->AddDevice && driverObject->DeviceObject) {
        return STATUS_DEVICE_BUSY;
    }
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "DriverUnload");
    KIRQL irql = ThreadIrql();
    ULONG regions = ThreadCriticalRegionDepth();
    {
        DriverScope scope(driverObject);
        driverObject->DriverUnload(driverObject);
    }
    if (ThreadIrql() != irql)
        rule::DispatchIrqlChanged("DriverUnload", nullptr, irql, ThreadIrql());
    if (ThreadCriticalRegionDepth() != regions) {
        rule::CriticalRegions("DriverUnload", nullptr, regions, ThreadCriticalRegionDepth());
    }
    RetireDriver(driverObject, "unloaded");
    return STATUS_SUCCESS;
}

bool IsDriverLoaded(PDRIVER_OBJECT driverObject)
{
    DriverInfo info;
    return GetDriverInfo(driverObject, &info) && !info.unloaded;
}

PDRIVER_OBJECT FindDriver(const char16_t* serviceName)
{
    std::u16string wanted = UpcaseName(serviceName);
    for (PDRIVER_OBJECT driver : AllDrivers()) {
        DriverInfo info;
        if (GetDriverInfo(driver, &info) && !info.unloaded && UpcaseName(info.service) == wanted)
            return driver;
    }
    return nullptr;
}

void* ImageSymbol(PDRIVER_OBJECT driverObject, const char* name)
{
    DriverInfo info;
    if (!GetDriverInfo(driverObject, &info) || !info.image)
        return nullptr;
    return dlsym(info.image, name);
}

} // namespace simk
