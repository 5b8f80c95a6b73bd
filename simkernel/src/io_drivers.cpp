// The I/O manager's driver objects: their creation for the loader, the calls of DriverEntry and
// AddDevice with the verifier's checks around them, the checks when a driver goes away, and the
// driver object extensions. A driver object lives from its load to the end of its last device.
#include <cstdlib>
#include <cstring>

#include "io_state.h"
#include "pnp_internal.h"
#include "simkernel/registry.h"

namespace simk::detail {
namespace {
namespace rules = simk::verifier::rules;
} // namespace

PDRIVER_OBJECT CreateDriverObject(const std::u16string& service, PDRIVER_INITIALIZE entry, void* image,
                                  NTSTATUS* status)
{
    std::u16string name = u"\\Driver\\" + service;
    size_t size = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    void* memory = std::aligned_alloc(16, (size + 15) & ~size_t(15));
    std::memset(memory, 0, size);
    auto* driver = static_cast<PDRIVER_OBJECT>(memory);
    auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);

    NameEntry entryName;
    entryName.kind = NameKind::Driver;
    entryName.name = name;
    entryName.object = driver;
    if (!InsertName(entryName)) {
        std::free(memory);
        *status = STATUS_OBJECT_NAME_COLLISION;
        return nullptr;
    }

    Guard guard(State().lock);
    DriverRec& rec = State().drivers[driver];
    rec.info.service = service;
    rec.info.image = image;
    rec.name = name;
    rec.service = service;
    rec.registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    rec.hardwareDatabase = u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM";
    auto counted = [](std::u16string& text, UNICODE_STRING& s) {
        s.Buffer = reinterpret_cast<PWSTR>(text.data());
        s.Length = (USHORT)(text.size() * sizeof(WCHAR));
        s.MaximumLength = (USHORT)(s.Length + sizeof(WCHAR));
    };
    counted(rec.registryPath, rec.registryPathString);
    counted(rec.hardwareDatabase, rec.hardwareDatabaseString);

    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    counted(rec.name, driver->DriverName);
    driver->HardwareDatabase = &rec.hardwareDatabaseString;
    driver->DriverInit = entry;
    driver->DriverStart = image ? image : (PVOID)entry;
    for (auto& dispatch : driver->MajorFunction)
        dispatch = InvalidDeviceRequest;
    extension->DriverObject = driver;
    counted(rec.service, extension->ServiceKeyName);
    *status = STATUS_SUCCESS;
    return driver;
}

NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver)
{
    PUNICODE_STRING registryPath;
    {
        Guard guard(State().lock);
        registryPath = &FindDriver(driver)->registryPathString;
    }
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "DriverEntry");
    KIRQL irql = ThreadIrql();
    ULONG regions = ThreadCriticalRegionDepth();
    NTSTATUS status;
    {
        DriverScope scope(driver);
        status = driver->DriverInit(driver, registryPath);
    }
    CheckRoutineReturn("DriverEntry", nullptr, irql, regions);
    return status;
}

void RunUnloadChecks(PDRIVER_OBJECT driver, const char* when)
{
    auto leaked = PoolOwnedBy(driver);
    if (!leaked.empty())
        rule::PoolLeakOnUnload(driver, leaked, when);

    std::vector<PDEVICE_OBJECT> remaining;
    std::vector<std::pair<PDEVICE_OBJECT, LONG_PTR>> referenced;
    {
        Guard guard(State().lock);
        for (const auto& [p, rec] : State().devices) {
            if (rec.driver != driver || rec.freed)
                continue;
            if (!rec.deleted) {
                remaining.push_back(rec.device);
            } else {
                referenced.push_back({rec.device, rec.references});
            }
        }
    }
    if (!remaining.empty())
        rule::DeviceObjectLeakOnUnload(driver, remaining, when);
    for (const auto& [device, count] : referenced) {
        rule::ObjectReferenceImbalance(device, DescribeDevice(device) + " is deleted but " + std::to_string(count) +
                                                   " reference(s) to it remain at unload");
    }

    std::vector<std::u16string> links;
    for (const auto& entry : NamesCreatedBy(driver, NameKind::SymbolicLink))
        links.push_back(entry.name);
    if (!links.empty())
        rule::SymbolicLinkLeakOnUnload(driver, links, when);

    simk::registry::CheckHandlesAtUnload(driver); // registry key handles (rule HandleLeak)
    simk::pnp::detail::CheckNotificationsAtUnload(driver, when);
}

bool DriverHasDeviceMemory(PDRIVER_OBJECT driver)
{
    Guard guard(State().lock);
    return DriverHasDevicesLocked(driver);
}

void MarkDriverUnloaded(PDRIVER_OBJECT driver)
{
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(driver);
    if (!rec)
        return;
    rec->info.unloaded = true;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) {
        d->DeviceObjectExtension->ExtensionFlags |= DOE_UNLOAD_PENDING;
    }
}

void DestroyDriverObject(PDRIVER_OBJECT driver)
{
    std::vector<PVOID> extensions;
    std::u16string name;
    {
        Guard guard(State().lock);
        DriverRec* rec = FindDriver(driver);
        if (!rec)
            return;
        for (auto& [id, memory] : rec->extensions)
            extensions.push_back(memory);
        name = rec->name;
        State().drivers.erase(driver);
    }
    for (PVOID memory : extensions)
        FreeKernelPool(memory);
    RemoveName(name, NameKind::Driver);
    std::memset(driver, kFreedFill, sizeof(DRIVER_OBJECT));
    std::free(driver);
}

bool GetDriverInfo(PDRIVER_OBJECT driver, DriverInfo* info)
{
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(driver);
    if (!rec)
        return false;
    if (info)
        *info = rec->info;
    return true;
}

std::vector<PDRIVER_OBJECT> AllDrivers()
{
    Guard guard(State().lock);
    std::vector<PDRIVER_OBJECT> result;
    for (const auto& [driver, rec] : State().drivers)
        result.push_back(driver);
    return result;
}

std::string DriverNameForMessages(PDRIVER_OBJECT driver)
{
    if (!driver)
        return "(kernel)";
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(driver);
    return rec ? simk::Narrow(rec->name) : Hex((uintptr_t)driver);
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject)
{
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "AddDevice");
    KIRQL irql = ThreadIrql();
    ULONG regions = ThreadCriticalRegionDepth();
    NTSTATUS status;
    {
        DriverScope scope(driver);
        status = driver->DriverExtension->AddDevice(driver, physicalDeviceObject);
    }
    CheckRoutineReturn("AddDevice", physicalDeviceObject, irql, regions);
    return status;
}

} // namespace simk::detail

using namespace simk::detail;

extern "C" {

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension)
{
    *DriverObjectExtension = nullptr;
    NTSTATUS status;
    if (ShouldFail(simk::Call::IoAllocateDriverObjectExtension, &status))
        return status;
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(DriverObject);
    if (!rec) {
        rule::ObjectReferenceUnknown(DriverObject, "IoAllocateDriverObjectExtension");
        return STATUS_INVALID_PARAMETER;
    }
    if (rec->extensions.count(ClientIdentificationAddress))
        return STATUS_OBJECT_NAME_COLLISION;
    PVOID memory =
        AllocateKernelPool(NonPagedPool, DriverObjectExtensionSize ? DriverObjectExtensionSize : 1, simk::Tag("IoDx"));
    if (!memory)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory, 0, DriverObjectExtensionSize);
    rec->extensions[ClientIdentificationAddress] = memory;
    *DriverObjectExtension = memory;
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress)
{
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(DriverObject);
    if (!rec)
        return nullptr;
    auto it = rec->extensions.find(ClientIdentificationAddress);
    return it == rec->extensions.end() ? nullptr : it->second;
}

} // extern "C"
