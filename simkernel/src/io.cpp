// The I/O manager: driver objects and their extensions, device objects and device stacks, file
// objects, IRPs with their stack locations, IofCallDriver and the completion walk of
// IofCompleteRequest, and the object references on all of them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "internal.h"
#include "pnp_internal.h"
#include "simkernel/registry.h"

namespace simk::detail {
namespace {
namespace rules = simk::verifier::rules;

constexpr unsigned char kFreedFill = 0xDB;
constexpr size_t kDeviceQuarantine = 4096;  // freed device objects kept to recognise late use
constexpr size_t kIrpQuarantine = 1024;
constexpr long long kIoManagerWaitMs = 120000;

struct DeviceRec {
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::u16string name;
    std::u16string driverName;
    bool deleted = false;
    bool freed = false;
    // Deleted while a device was still attached above it: kept until that device detaches.
    bool heldByUpper = false;
    LONG_PTR references = 1;  // the creation reference, dropped by IoDeleteDevice
    void* memory = nullptr;
    size_t memorySize = 0;
};

struct DriverRec {
    DriverInfo info;
    std::u16string name;
    std::u16string service;
    std::u16string registryPath;
    std::u16string hardwareDatabase;
    UNICODE_STRING registryPathString{};
    UNICODE_STRING hardwareDatabaseString{};
    std::map<PVOID, PVOID> extensions;  // identification address -> kernel pool
    LONG_PTR references = 1;
};

struct FileRec {
    LONG_PTR references = 1;
};

struct LocationRec {
    unsigned long long passSeq = 0;  // bumped each time the completion walk processes the location
    NTSTATUS statusAtPass = 0;
    bool pendingAtPass = false;
    bool returnedPending = false;  // a dispatch routine returned STATUS_PENDING before the walk got here
    PDEVICE_OBJECT pendingDevice = nullptr;
    UCHAR major = 0, minor = 0;
    std::vector<PDEVICE_OBJECT> startNextNoted;  // devices that called PoStartNextPowerIrp here
};

struct IrpRec {
    std::vector<LocationRec> locations;
    bool freed = false;
    bool completed = false;
    bool ioManager = false;
    bool abandoned = false;  // returned without completion: the I/O manager must not free it
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    void* memory = nullptr;
};

struct IoState {
    std::recursive_mutex lock;
    std::map<const void*, DeviceRec> devices;  // live and recently freed (tombstones)
    std::deque<const void*> deviceQuarantine;
    std::map<PDRIVER_OBJECT, DriverRec> drivers;
    std::map<PFILE_OBJECT, FileRec> files;
    std::map<PIRP, std::shared_ptr<IrpRec>> irps;
    std::deque<PIRP> irpQuarantine;
    unsigned long long passSeq = 0;
    ULONG autoNameCounter = 0;
};

IoState& State() {
    static IoState* state = new IoState;
    return *state;
}

using Guard = std::lock_guard<std::recursive_mutex>;

DeviceRec* FindDevice(const void* device) {
    auto it = State().devices.find(device);
    return it == State().devices.end() ? nullptr : &it->second;
}

DeviceRec* LiveDevice(const void* device) {
    DeviceRec* rec = FindDevice(device);
    return rec && !rec->freed ? rec : nullptr;
}

DriverRec* FindDriver(PDRIVER_OBJECT driver) {
    auto it = State().drivers.find(driver);
    return it == State().drivers.end() ? nullptr : &it->second;
}

std::shared_ptr<IrpRec> FindIrp(PIRP irp) {
    auto it = State().irps.find(irp);
    return it == State().irps.end() ? nullptr : it->second;
}

// IRPs the I/O manager did not allocate (initialised by a driver in its own memory) get a record
// when they first reach the I/O manager.
std::shared_ptr<IrpRec> IrpRecord(PIRP irp) {
    auto rec = FindIrp(irp);
    if (!rec) {
        rec = std::make_shared<IrpRec>();
        rec->locations.resize(irp->StackCount > 0 ? irp->StackCount : 0);
        State().irps[irp] = rec;
    }
    return rec;
}

void FreeDeviceMemory(DeviceRec& rec) {
    ForgetLocksIn(rec.memory, rec.memorySize);
    std::memset(rec.memory, kFreedFill, rec.memorySize);
    rec.freed = true;
    State().deviceQuarantine.push_back(rec.device);
    while (State().deviceQuarantine.size() > kDeviceQuarantine) {
        const void* old = State().deviceQuarantine.front();
        State().deviceQuarantine.pop_front();
        auto it = State().devices.find(old);
        if (it != State().devices.end() && it->second.freed) {
            std::free(it->second.memory);
            State().devices.erase(it);
        }
    }
}

bool DriverHasDevicesLocked(PDRIVER_OBJECT driver) {
    for (const auto& [p, rec] : State().devices) {
        if (rec.driver == driver && !rec.freed) return true;
    }
    return false;
}

// Drops one object reference from a device; frees it when deleted and unreferenced. Lock held.
// Returns the driver whose last device went when that driver is already unloaded.
PDRIVER_OBJECT DropDeviceReference(DeviceRec& rec) {
    rec.references--;
    if (rec.references > 0 || !rec.deleted) return nullptr;
    PDRIVER_OBJECT driver = rec.driver;
    FreeDeviceMemory(rec);
    DriverRec* d = FindDriver(driver);
    if (d && d->info.unloaded && !DriverHasDevicesLocked(driver)) return driver;
    return nullptr;
}

void FreeIrpMemory(PIRP irp, IrpRec& rec) {
    std::memset(rec.memory, kFreedFill, sizeof(IRP) + rec.locations.size() * sizeof(IO_STACK_LOCATION));
    rec.freed = true;
    State().irpQuarantine.push_back(irp);
    while (State().irpQuarantine.size() > kIrpQuarantine) {
        PIRP old = State().irpQuarantine.front();
        State().irpQuarantine.pop_front();
        auto it = State().irps.find(old);
        if (it != State().irps.end() && it->second->freed) {
            std::free(it->second->memory);
            State().irps.erase(it);
        }
    }
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) NotePoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void CheckRoutineReturn(const char* routine, PDEVICE_OBJECT device, KIRQL irql, ULONG regions) {
    if (ThreadIrql() != irql) rule::DispatchIrqlChanged(routine, device, irql, ThreadIrql());
    if (ThreadCriticalRegionDepth() != regions) {
        rule::CriticalRegions(routine, device, regions, ThreadCriticalRegionDepth());
    }
}

// The verifier's view of what a dispatch routine returned, once it has returned. Lock not held.
void CheckDispatchResult(const std::shared_ptr<IrpRec>& rec, PIRP irp, int index, unsigned long long seqBefore,
                         NTSTATUS status, PDEVICE_OBJECT device, UCHAR major, UCHAR minor) {
    enum { None, Mismatch, NotCompleted, NotMarked, MarkedButNotPending } verdict = None;
    NTSTATUS completed = 0;
    {
        Guard guard(State().lock);
        LocationRec& loc = rec->locations[index];
        bool passed = loc.passSeq != seqBefore;
        if (status == STATUS_PENDING) {
            if (passed) {
                if (!loc.pendingAtPass) verdict = NotMarked;
            } else {
                // Checked when the completion walk reaches this location.
                loc.returnedPending = true;
                loc.pendingDevice = device;
                loc.major = major;
                loc.minor = minor;
            }
        } else if (!passed) {
            verdict = NotCompleted;
        } else if (loc.statusAtPass != status) {
            verdict = Mismatch;
            completed = loc.statusAtPass;
        } else if (loc.pendingAtPass) {
            verdict = MarkedButNotPending;
        }
    }
    switch (verdict) {
    case Mismatch: rule::DispatchStatusMismatch(device, irp, major, minor, status, completed); break;
    case NotCompleted: rule::DispatchReturnedWithoutCompleting(device, irp, major, minor, status); break;
    case NotMarked: rule::MarkIrpPending(device, irp, major, minor); break;
    case MarkedButNotPending: rule::MarkIrpPending2(device, irp, major, minor, status); break;
    case None: break;
    }
}

void ClearStackLocation(PIO_STACK_LOCATION sp) {
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control &= SL_ERROR_RETURNED;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
}

}  // namespace

// ---- Driver objects -----------------------------------------------------------------------------

PDRIVER_OBJECT CreateDriverObject(const std::u16string& service, PDRIVER_INITIALIZE entry, void* image,
                                  NTSTATUS* status) {
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
    for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
    extension->DriverObject = driver;
    counted(rec.service, extension->ServiceKeyName);
    *status = STATUS_SUCCESS;
    return driver;
}

NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver) {
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

void RunUnloadChecks(PDRIVER_OBJECT driver, const char* when) {
    auto leaked = PoolOwnedBy(driver);
    if (!leaked.empty()) rule::PoolLeakOnUnload(driver, leaked, when);

    std::vector<PDEVICE_OBJECT> remaining;
    std::vector<std::pair<PDEVICE_OBJECT, LONG_PTR>> referenced;
    {
        Guard guard(State().lock);
        for (const auto& [p, rec] : State().devices) {
            if (rec.driver != driver || rec.freed) continue;
            if (!rec.deleted) {
                remaining.push_back(rec.device);
            } else {
                referenced.push_back({rec.device, rec.references});
            }
        }
    }
    if (!remaining.empty()) rule::DeviceObjectLeakOnUnload(driver, remaining, when);
    for (const auto& [device, count] : referenced) {
        rule::ObjectReferenceImbalance(device, DescribeDevice(device) + " is deleted but " + std::to_string(count) +
                                                   " reference(s) to it remain at unload");
    }

    std::vector<std::u16string> links;
    for (const auto& entry : NamesCreatedBy(driver, NameKind::SymbolicLink)) links.push_back(entry.name);
    if (!links.empty()) rule::SymbolicLinkLeakOnUnload(driver, links, when);

    simk::registry::CheckHandlesAtUnload(driver);  // registry key handles (rule HandleLeak)
}

bool DriverHasDeviceMemory(PDRIVER_OBJECT driver) {
    Guard guard(State().lock);
    return DriverHasDevicesLocked(driver);
}

void MarkDriverUnloaded(PDRIVER_OBJECT driver) {
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(driver);
    if (!rec) return;
    rec->info.unloaded = true;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) {
        d->DeviceObjectExtension->ExtensionFlags |= DOE_UNLOAD_PENDING;
    }
}

void DestroyDriverObject(PDRIVER_OBJECT driver) {
    std::vector<PVOID> extensions;
    std::u16string name;
    {
        Guard guard(State().lock);
        DriverRec* rec = FindDriver(driver);
        if (!rec) return;
        for (auto& [id, memory] : rec->extensions) extensions.push_back(memory);
        name = rec->name;
        State().drivers.erase(driver);
    }
    for (PVOID memory : extensions) FreeKernelPool(memory);
    RemoveName(name, NameKind::Driver);
    std::memset(driver, kFreedFill, sizeof(DRIVER_OBJECT));
    std::free(driver);
}

bool GetDriverInfo(PDRIVER_OBJECT driver, DriverInfo* info) {
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(driver);
    if (!rec) return false;
    if (info) *info = rec->info;
    return true;
}

std::vector<PDRIVER_OBJECT> AllDrivers() {
    Guard guard(State().lock);
    std::vector<PDRIVER_OBJECT> result;
    for (const auto& [driver, rec] : State().drivers) result.push_back(driver);
    return result;
}

std::string DriverNameForMessages(PDRIVER_OBJECT driver) {
    if (!driver) return "(kernel)";
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(driver);
    return rec ? simk::Narrow(rec->name) : Hex((uintptr_t)driver);
}

std::string DescribeDevice(PDEVICE_OBJECT device) {
    if (!device) return "(no device)";
    Guard guard(State().lock);
    DeviceRec* rec = FindDevice(device);
    if (!rec) return "device " + Hex((uintptr_t)device);
    std::string text = "device " + Hex((uintptr_t)device);
    if (!rec->name.empty()) text += " (" + simk::Narrow(rec->name) + ")";
    text += " of " + simk::Narrow(rec->driverName);
    return text;
}

std::string DescribeIrp(PIRP irp) { return "IRP " + Hex((uintptr_t)irp); }

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject) {
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

// ---- Opens and file objects ---------------------------------------------------------------------

NTSTATUS ResolveDevicePath(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remaining) {
    std::u16string name = path;
    if (name.rfind(u"\\\\.\\", 0) == 0 || name.rfind(u"\\\\?\\", 0) == 0) name = u"\\??\\" + name.substr(4);
    if (remaining) remaining->clear();
    for (int hops = 0; hops < 32; ++hops) {
        name = NormalizeObjectName(name);
        if (name.empty() || name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        // As the object manager parses: the longest leading part that names an object decides, and
        // what follows it is handed on (reparsed after a link, or to the device as its file name).
        NameEntry entry;
        size_t end = name.size();
        bool found = false;
        while (end > 0) {
            if (LookupName(name.substr(0, end), &entry)) {
                found = true;
                break;
            }
            end = name.rfind(u'\\', end - 1);
            if (end == std::u16string::npos || end == 0) break;
        }
        if (!found) {
            NTSTATUS status = ValidateObjectName(name);
            return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
        }
        const std::u16string rest = name.substr(end);
        if (entry.kind == NameKind::SymbolicLink) {
            name = entry.target + rest;
            continue;
        }
        if (entry.kind != NameKind::Device) return STATUS_OBJECT_TYPE_MISMATCH;
        // Without a caller that takes a file name, a name below a device does not exist.
        if (!rest.empty() && !remaining) return STATUS_OBJECT_PATH_NOT_FOUND;
        if (remaining) *remaining = rest;
        *device = static_cast<PDEVICE_OBJECT>(entry.object);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

// An open of a device that is deleted but still referenced is refused, and the device goes when
// its last reference does ("IoDeleteDevice function": with references outstanding the I/O manager
// marks the device object "delete pending" and deletes it when they are released).
NTSTATUS ReferenceDeviceForOpen(PDEVICE_OBJECT device) {
    Guard guard(State().lock);
    DeviceRec* rec = LiveDevice(device);
    if (!rec || rec->deleted) return STATUS_NO_SUCH_DEVICE;
    const ULONG gone = DOE_UNLOAD_PENDING | DOE_DELETE_PENDING | DOE_REMOVE_PENDING | DOE_REMOVE_PROCESSED;
    if ((device->DeviceObjectExtension->ExtensionFlags & gone) || (device->Flags & DO_DEVICE_INITIALIZING)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
    device->ReferenceCount++;
    rec->references++;
    return STATUS_SUCCESS;
}

void DereferenceDeviceForClose(PDEVICE_OBJECT device) {
    PDRIVER_OBJECT gone = nullptr;
    bool lastOpen;
    {
        Guard guard(State().lock);
        DeviceRec* rec = LiveDevice(device);
        if (!rec) return;
        lastOpen = --device->ReferenceCount == 0;
        gone = DropDeviceReference(*rec);
    }
    // Outside the lock (the manager takes its own locks, which come before this one). A device
    // the manager still knows keeps the manager's reference, so it is not freed yet; any other is
    // only compared.
    if (lastOpen) simk::pnp::detail::NoteLastHandleClosed(device);
    if (gone) DriverDevicesGone(gone);
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, bool readAccess, bool writeAccess) {
    auto* file = static_cast<PFILE_OBJECT>(std::aligned_alloc(16, (sizeof(FILE_OBJECT) + 15) & ~size_t(15)));
    std::memset(file, 0, sizeof(FILE_OBJECT));
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = readAccess ? TRUE : FALSE;
    file->WriteAccess = writeAccess ? TRUE : FALSE;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    InitializeListHead(&file->IrpList);
    Guard guard(State().lock);
    State().files[file] = FileRec{};
    return file;
}

void FreeUnopenedFileObject(PFILE_OBJECT file) {
    {
        Guard guard(State().lock);
        State().files.erase(file);
    }
    std::memset(file, kFreedFill, sizeof(FILE_OBJECT));
    std::free(file);
}

namespace {

// The last reference to a file object is gone: the driver hears IRP_MJ_CLOSE, then the open's hold
// on the device is released.
void CloseFileObject(PFILE_OBJECT file) {
    PDEVICE_OBJECT device = file->DeviceObject;
    PDEVICE_OBJECT target = IoGetAttachedDevice(device);
    PIRP irp = AllocateIoManagerIrp(target, file);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_CLOSE;
    irp->Flags |= IRP_CLOSE_OPERATION;
    IO_STATUS_BLOCK iosb;
    SendIoManagerIrp(target, irp, &iosb);
    ReleaseIoManagerIrp(irp);
    FreeUnopenedFileObject(file);
    DereferenceDeviceForClose(device);
}

}  // namespace

// ---- IRPs the I/O manager sends ----------------------------------------------------------------

PIRP AllocateIoManagerIrp(PDEVICE_OBJECT target, PFILE_OBJECT file) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    {
        Guard guard(State().lock);
        auto rec = FindIrp(irp);
        rec->ioManager = true;
        KeInitializeEvent(&rec->done, NotificationEvent, FALSE);
        irp->UserIosb = &rec->iosb;
        irp->UserEvent = &rec->done;
    }
    irp->RequestorMode = UserMode;
    irp->Flags = IRP_SYNCHRONOUS_API;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = (PETHREAD)PsGetCurrentThreadId();
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    return irp;
}

NTSTATUS SendIoManagerIrp(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* iosb, bool* abandoned) {
    if (abandoned) *abandoned = false;
    std::shared_ptr<IrpRec> rec;
    {
        Guard guard(State().lock);
        rec = FindIrp(irp);
    }
    NTSTATUS status = IofCallDriver(target, irp);
    bool completed;
    {
        Guard guard(State().lock);
        completed = rec->completed;
        if (status != STATUS_PENDING && !completed) rec->abandoned = true;
    }
    if (status != STATUS_PENDING && !completed) {
        // The driver kept the IRP although it said it was done (reported by the verifier); the
        // caller goes on with the returned status.
        if (abandoned) *abandoned = true;
        iosb->Status = status;
        iosb->Information = 0;
        return status;
    }
    if (!WaitKernelEvent(&rec->done, kIoManagerWaitMs)) {
        std::fprintf(stderr, "*** STOP: a request sent to %s was never completed\n", DescribeDevice(target).c_str());
        std::abort();
    }
    *iosb = rec->iosb;
    return iosb->Status;
}

void ReleaseIoManagerIrp(PIRP irp) {
    Guard guard(State().lock);
    auto rec = FindIrp(irp);
    if (!rec || rec->abandoned || rec->freed) return;
    FreeIrpMemory(irp, *rec);
}

void NotePoStartNextPowerIrp(PIRP irp) {
    Guard guard(State().lock);
    auto rec = FindIrp(irp);
    if (!rec || rec->freed) return;
    int index = irp->CurrentLocation - 1;
    if (index < 0 || index >= (int)rec->locations.size()) return;
    rec->locations[index].startNextNoted.push_back(irp->Tail.Overlay.CurrentStackLocation->DeviceObject);
}

void ResetIo() {
    std::vector<void*> memory;
    std::vector<PDRIVER_OBJECT> drivers;
    {
        Guard guard(State().lock);
        auto& s = State();
        for (auto& [file, rec] : s.files) memory.push_back(file);
        s.files.clear();
        for (auto& [irp, rec] : s.irps) memory.push_back(rec->memory);
        s.irps.clear();
        s.irpQuarantine.clear();
        for (auto& [p, rec] : s.devices) memory.push_back(rec.memory);
        s.devices.clear();
        s.deviceQuarantine.clear();
        for (auto& [driver, rec] : s.drivers) drivers.push_back(driver);
        s.passSeq = 0;
        s.autoNameCounter = 0;
    }
    for (PDRIVER_OBJECT driver : drivers) DestroyDriverObject(driver);
    for (void* p : memory) std::free(p);
    ResetNames();
}

}  // namespace simk::detail

// ---- Test-facing queries ------------------------------------------------------------------------
namespace simk {
using namespace simk::detail;

bool IsDeviceObject(const void* object) {
    Guard guard(State().lock);
    return LiveDevice(object) != nullptr;
}

bool IsDeviceDeleted(PDEVICE_OBJECT device) {
    Guard guard(State().lock);
    DeviceRec* rec = FindDevice(device);
    return rec && rec->deleted;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
    Guard guard(State().lock);
    DeviceRec* rec = FindDevice(device);
    return rec ? rec->name : std::u16string();
}

LONG_PTR ObjectReferenceCount(const void* object) {
    Guard guard(State().lock);
    if (DeviceRec* rec = LiveDevice(object)) return rec->references - (rec->deleted && !rec->heldByUpper ? 0 : 1);
    auto file = State().files.find((PFILE_OBJECT)object);
    if (file != State().files.end()) return file->second.references;
    if (DriverRec* rec = FindDriver((PDRIVER_OBJECT)object)) return rec->references;
    return -1;
}

std::vector<PDEVICE_OBJECT> DevicesOfDriver(PDRIVER_OBJECT driver) {
    Guard guard(State().lock);
    std::vector<PDEVICE_OBJECT> result;
    if (!FindDriver(driver)) return result;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) result.push_back(d);
    return result;
}

size_t LiveDeviceCount() {
    Guard guard(State().lock);
    size_t n = 0;
    for (const auto& [p, rec] : State().devices) n += rec.freed ? 0 : 1;
    return n;
}

KIRQL CurrentIrql() { return ThreadIrql(); }
ULONG CriticalRegionDepth() { return ThreadCriticalRegionDepth(); }

namespace io {

PIRP BuildIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, NTSTATUS initialStatus) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(target);
    CCHAR stackSize = top->StackSize > target->StackSize ? top->StackSize : target->StackSize;
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (!irp) return nullptr;
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = 0;
    irp->Tail.Overlay.Thread = (PETHREAD)PsGetCurrentThreadId();
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    return irp;
}

namespace {
struct SendContext {
    KEVENT done;
};

NTSTATUS OriginatorCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(&static_cast<SendContext*>(Context)->done, IO_NO_INCREMENT, FALSE);
    // The originator frees the IRP after its wait.
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* iosb, NTSTATUS* dispatchStatus) {
    SendContext context;
    KeInitializeEvent(&context.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, OriginatorCompletion, &context, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(target, irp);
    if (dispatchStatus) *dispatchStatus = status;
    if (status != STATUS_PENDING && KeReadStateEvent(&context.done) == 0) {
        // Returned without completing (the verifier has reported it): nothing to wait for.
        if (iosb) {
            iosb->Status = status;
            iosb->Information = 0;
        }
        return status;
    }
    if (!WaitKernelEvent(&context.done, kIoManagerWaitMs)) {
        std::fprintf(stderr, "*** STOP: a request sent to %s was never completed\n", DescribeDevice(target).c_str());
        std::abort();
    }
    if (iosb) *iosb = irp->IoStatus;
    return irp->IoStatus.Status;
}

bool IsIrpCompleted(PIRP irp) {
    Guard guard(State().lock);
    auto rec = FindIrp(irp);
    if (!rec) return false;
    if (rec->completed) return true;
    return !rec->locations.empty() && rec->locations.back().passSeq != 0;
}

bool PowerStartNextNoted(PIRP irp, int locationIndex) {
    Guard guard(State().lock);
    auto rec = FindIrp(irp);
    if (!rec || locationIndex < 0 || locationIndex >= (int)rec->locations.size()) return false;
    return !rec->locations[locationIndex].startNextNoted.empty();
}

int CurrentLocationIndex(PIRP irp) { return irp->CurrentLocation - 1; }

}  // namespace io
}  // namespace simk

// ---- Kernel routines ----------------------------------------------------------------------------
using namespace simk::detail;
namespace rules = simk::verifier::rules;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "IoCreateDevice");
    *DeviceObject = nullptr;
    NTSTATUS status;
    if (CallBefore(simk::Call::IoCreateDevice, DriverObject, 0, &status)) return status;
    AfterCall after(simk::Call::IoCreateDevice, DriverObject);

    std::u16string name;
    bool named = false;
    if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        char buffer[32];
        {
            Guard guard(State().lock);
            std::snprintf(buffer, sizeof buffer, "\\Device\\%08x", ++State().autoNameCounter);
        }
        name = simk::Widen(buffer);
        named = true;
    } else if (DeviceName && DeviceName->Length) {
        name = NormalizeObjectName(FromUnicodeString(DeviceName));
        named = true;
    }
    if (named) {
        status = ValidateObjectName(name);
        if (!NT_SUCCESS(status)) return status;
    }

    {
        Guard guard(State().lock);
        if (!FindDriver(DriverObject)) {
            rule::ObjectReferenceUnknown(DriverObject, "IoCreateDevice");
            return STATUS_INVALID_PARAMETER;
        }
    }

    size_t extension = ((size_t)DeviceExtensionSize + 15) & ~size_t(15);
    size_t size = sizeof(DEVICE_OBJECT) + extension + sizeof(DEVOBJ_EXTENSION);
    void* memory = std::aligned_alloc(16, (size + 15) & ~size_t(15));
    std::memset(memory, 0, size);
    auto* device = static_cast<PDEVICE_OBJECT>(memory);
    auto* doe = reinterpret_cast<PDEVOBJ_EXTENSION>(static_cast<char*>(memory) + sizeof(DEVICE_OBJECT) + extension);

    if (named) {
        NameEntry entry;
        entry.kind = NameKind::Device;
        entry.name = name;
        entry.object = device;
        entry.creator = DriverObject;
        if (!InsertName(entry)) {
            std::free(memory);
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }

    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (named ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? static_cast<char*>(memory) + sizeof(DEVICE_OBJECT) : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    InitializeListHead(&device->Queue.ListEntry);
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    device->DeviceObjectExtension = doe;
    doe->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    doe->Size = sizeof(DEVOBJ_EXTENSION);
    doe->DeviceObject = device;

    {
        Guard guard(State().lock);
        DeviceRec& rec = State().devices[device];
        rec = DeviceRec{};
        rec.device = device;
        rec.driver = DriverObject;
        rec.name = named ? name : std::u16string();
        rec.driverName = FindDriver(DriverObject)->name;
        rec.memory = memory;
        rec.memorySize = size;
        // New device objects go to the head of the driver's list, as the I/O manager links them.
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "IoDeleteDevice");
    CallBefore(simk::Call::IoDeleteDevice, DeviceObject, 0, nullptr);
    AfterCall after(simk::Call::IoDeleteDevice, DeviceObject);
    PDRIVER_OBJECT gone = nullptr;
    PDEVICE_OBJECT lower = nullptr, upper = nullptr;
    std::u16string name;
    {
        Guard guard(State().lock);
        DeviceRec* rec = FindDevice(DeviceObject);
        if (!rec) {
            rule::InvalidDeviceObject(DeviceObject, "IoDeleteDevice");
            return;
        }
        if (rec->deleted) {
            rule::DeleteDeviceTwice(DeviceObject);
            return;
        }
        lower = DeviceObject->DeviceObjectExtension->AttachedTo;
        upper = DeviceObject->AttachedDevice;
        rec->deleted = true;
        DeviceObject->DeviceObjectExtension->ExtensionFlags |= DOE_DELETE_PENDING;
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
        name = rec->name;
    }
    simk::pnp::detail::NoteDeviceDeleted(DeviceObject);
    if (lower) rule::DeleteDeviceStillAttached(DeviceObject, lower);
    if (!name.empty()) RemoveName(name, NameKind::Device);
    ForgetObjectSecurity(DeviceObject);
    {
        Guard guard(State().lock);
        DeviceRec* rec = FindDevice(DeviceObject);
        // Handling an IRP_MN_REMOVE_DEVICE Request: a driver passes the removal down before it
        // detaches, so the devices below it (a filter, the PDO) are deleted while it is still
        // attached. Windows keeps such a device until the one above detaches (IoDetachDevice
        // completes the deletion), so that detach is legal.
        if (upper) {
            rec->heldByUpper = true;
        } else {
            gone = DropDeviceReference(*rec);
        }
    }
    if (gone) DriverDevicesGone(gone);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    Guard guard(State().lock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice) top = top->AttachedDevice;
    return top;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    Guard guard(State().lock);
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT* AttachedToDeviceObject) {
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "IoAttachDeviceToDeviceStackSafe");
    NTSTATUS status;
    if (ShouldFail(simk::Call::IoAttachDeviceToDeviceStackSafe, &status)) {
        *AttachedToDeviceObject = nullptr;
        return status;
    }
    Guard guard(State().lock);
    if (!LiveDevice(SourceDevice) || !LiveDevice(TargetDevice)) {
        rule::InvalidDeviceObject(LiveDevice(SourceDevice) ? TargetDevice : SourceDevice,
                                  "IoAttachDeviceToDeviceStackSafe");
        *AttachedToDeviceObject = nullptr;
        return STATUS_NO_SUCH_DEVICE;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    const ULONG gone = DOE_UNLOAD_PENDING | DOE_DELETE_PENDING | DOE_REMOVE_PENDING | DOE_REMOVE_PROCESSED;
    if (top->DeviceObjectExtension->ExtensionFlags & gone) {
        *AttachedToDeviceObject = nullptr;
        return STATUS_NO_SUCH_DEVICE;
    }
    // The caller's pointer to the lower device is written before the new device becomes visible on
    // the stack, so a request arriving at once already finds where to pass it.
    *AttachedToDeviceObject = top;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    __atomic_store_n(&top->AttachedDevice, SourceDevice, __ATOMIC_SEQ_CST);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    PDEVICE_OBJECT attachedTo = nullptr;
    NTSTATUS status = IoAttachDeviceToDeviceStackSafe(SourceDevice, TargetDevice, &attachedTo);
    return NT_SUCCESS(status) ? attachedTo : nullptr;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "IoDetachDevice");
    PDRIVER_OBJECT gone = nullptr;
    {
        Guard guard(State().lock);
        DeviceRec* rec = LiveDevice(TargetDevice);
        if (!rec) {
            rule::InvalidDeviceObject(TargetDevice, "IoDetachDevice");
            return;
        }
        PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
        if (!upper) {
            rule::DetachNotAttached(TargetDevice);
            return;
        }
        upper->DeviceObjectExtension->AttachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
        // The deletion IoDeleteDevice left pending for the device above completes now.
        if (rec->heldByUpper) {
            rec->heldByUpper = false;
            gone = DropDeviceReference(*rec);
        }
    }
    if (gone) DriverDevicesGone(gone);
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress,
                                         ULONG DriverObjectExtensionSize, PVOID* DriverObjectExtension) {
    *DriverObjectExtension = nullptr;
    NTSTATUS status;
    if (ShouldFail(simk::Call::IoAllocateDriverObjectExtension, &status)) return status;
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(DriverObject);
    if (!rec) {
        rule::ObjectReferenceUnknown(DriverObject, "IoAllocateDriverObjectExtension");
        return STATUS_INVALID_PARAMETER;
    }
    if (rec->extensions.count(ClientIdentificationAddress)) return STATUS_OBJECT_NAME_COLLISION;
    PVOID memory = AllocateKernelPool(NonPagedPool, DriverObjectExtensionSize ? DriverObjectExtensionSize : 1,
                                      simk::Tag("IoDx"));
    if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory, 0, DriverObjectExtensionSize);
    rec->extensions[ClientIdentificationAddress] = memory;
    *DriverObjectExtension = memory;
    return STATUS_SUCCESS;
}

PVOID IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject, PVOID ClientIdentificationAddress) {
    Guard guard(State().lock);
    DriverRec* rec = FindDriver(DriverObject);
    if (!rec) return nullptr;
    auto it = rec->extensions.find(ClientIdentificationAddress);
    return it == rec->extensions.end() ? nullptr : it->second;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    RequireIrql(DISPATCH_LEVEL, rules::IrqlIoDispatch, "IoAllocateIrp");
    if (StackSize < 1) return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    void* memory = std::aligned_alloc(16, ((size_t)size + 15) & ~size_t(15));
    auto* irp = static_cast<PIRP>(memory);
    IoInitializeIrp(irp, size, StackSize);
    Guard guard(State().lock);
    auto rec = std::make_shared<IrpRec>();
    rec->locations.resize(StackSize);
    rec->memory = memory;
    State().irps[irp] = rec;
    return irp;
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

VOID IoFreeIrp(PIRP Irp) {
    Guard guard(State().lock);
    auto rec = FindIrp(Irp);
    if (!rec || !rec->memory) {
        rule::BadIrpFree(Irp, "not an IRP from IoAllocateIrp");
        return;
    }
    if (rec->freed) {
        rule::BadIrpFree(Irp, "already freed");
        return;
    }
    if (!rec->completed && Irp->CurrentLocation <= Irp->StackCount) {
        rule::BadIrpFree(Irp, "it is still with a driver (sent and not completed back)");
        return;
    }
    FreeIrpMemory(Irp, *rec);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrql(DISPATCH_LEVEL, rules::IrqlIoDispatch, "IofCallDriver");
    std::shared_ptr<IrpRec> rec;
    {
        Guard guard(State().lock);
        if (!LiveDevice(DeviceObject)) {
            rule::InvalidDeviceObject(DeviceObject, "IofCallDriver");
            return STATUS_NO_SUCH_DEVICE;
        }
        auto existing = FindIrp(Irp);
        if (existing && (existing->freed || existing->completed)) {
            rule::IrpUseAfterComplete(Irp, "IofCallDriver");
            return STATUS_INVALID_PARAMETER;
        }
        rec = IrpRecord(Irp);
    }
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0) KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)Irp, 0, 0, 0);
    PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    int index = Irp->CurrentLocation - 1;
    UCHAR major = sp->MajorFunction, minor = sp->MinorFunction;
    unsigned long long seqBefore;
    bool deleted;
    {
        Guard guard(State().lock);
        DeviceRec* device = LiveDevice(DeviceObject);
        deleted = device && device->deleted;
        seqBefore = rec->locations[index].passSeq;
        rec->locations[index].startNextNoted.clear();
    }
    // The handles of a deleted device still get their cleanup and close; nothing else may reach it.
    if (deleted && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) rule::IrpToDeletedDevice(DeviceObject, major, minor);
    simk::pnp::detail::NoteIrpArrival(DeviceObject, Irp, major);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
    if (!dispatch) dispatch = InvalidDeviceRequest;

    KIRQL irql = ThreadIrql();
    ULONG regions = ThreadCriticalRegionDepth();
    NTSTATUS status;
    {
        DriverScope scope(driver);
        status = dispatch(DeviceObject, Irp);
    }
    CheckRoutineReturn("the dispatch routine", DeviceObject, irql, regions);
    CheckDispatchResult(rec, Irp, index, seqBefore, status, DeviceObject, major, minor);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    RequireIrql(DISPATCH_LEVEL, rules::IrqlIoDispatch, "IofCompleteRequest");
    std::shared_ptr<IrpRec> rec;
    {
        Guard guard(State().lock);
        rec = FindIrp(Irp);
        if (rec && rec->freed) {
            rule::IrpUseAfterComplete(Irp, "IoCompleteRequest");
            return;
        }
        if (!rec || rec->completed || Irp->CurrentLocation > Irp->StackCount) {
            rule::IrpDoubleComplete(Irp);
            return;
        }
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) rule::IrpCompleteWithPending(Irp);

    PIO_STACK_LOCATION stackPtr = IoGetCurrentIrpStackLocation(Irp);
    simk::pnp::detail::CheckPdoCompletion(stackPtr->DeviceObject, Irp);
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
    if (stackPtr->MajorFunction == IRP_MJ_POWER &&
        (stackPtr->MinorFunction == IRP_MN_SET_POWER || stackPtr->MinorFunction == IRP_MN_QUERY_POWER)) {
        bool noted;
        {
            Guard guard(State().lock);
            const auto& list = rec->locations[stackPtr - first].startNextNoted;
            noted = std::find(list.begin(), list.end(), stackPtr->DeviceObject) != list.end();
        }
        if (!noted) rule::PowerIrpNoStartNext(stackPtr->DeviceObject, Irp, stackPtr->MinorFunction);
    }

    // The walk back up the stack, as the I/O manager does it: each location's completion routine
    // (set by the driver above) runs according to its SL_INVOKE_* bits, PendingReturned follows each
    // location's SL_PENDING_RETURNED, and STATUS_MORE_PROCESSING_REQUIRED stops the walk.
    IoSkipCurrentIrpStackLocation(Irp);
    do {
        int index = (int)(stackPtr - first);
        bool pending = (stackPtr->Control & SL_PENDING_RETURNED) != 0;
        bool pendingNotMarked = false;
        LocationRec deferred;
        {
            Guard guard(State().lock);
            LocationRec& loc = rec->locations[index];
            loc.passSeq = ++State().passSeq;
            loc.statusAtPass = Irp->IoStatus.Status;
            loc.pendingAtPass = pending;
            if (loc.returnedPending && !pending) {
                pendingNotMarked = true;
                deferred = loc;
            }
            loc.returnedPending = false;
            loc.startNextNoted.clear();
        }
        if (pendingNotMarked) rule::MarkIrpPending(deferred.pendingDevice, Irp, deferred.major, deferred.minor);

        Irp->PendingReturned = pending ? TRUE : FALSE;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stackPtr->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (stackPtr->Control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (stackPtr->Control & SL_INVOKE_ON_CANCEL));
        if (invoke && stackPtr->CompletionRoutine) {
            PIO_COMPLETION_ROUTINE routine = stackPtr->CompletionRoutine;
            PVOID context = stackPtr->Context;
            ClearStackLocation(stackPtr);
            PDEVICE_OBJECT device =
                Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PDRIVER_OBJECT owner = device ? device->DriverObject : DriverOfAddress((const void*)routine);
            KIRQL irql = ThreadIrql();
            ULONG regions = ThreadCriticalRegionDepth();
            NTSTATUS result;
            {
                DriverScope scope(owner);
                result = routine(device, Irp, context);
            }
            CheckRoutineReturn("a completion routine", device, irql, regions);
            // The IRP may be gone already: whoever stopped the walk owns it now.
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else {
            if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) IoMarkIrpPending(Irp);
            ClearStackLocation(stackPtr);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        stackPtr++;
    } while (Irp->CurrentLocation <= Irp->StackCount + 1);

    bool ioManager;
    {
        Guard guard(State().lock);
        rec->completed = true;
        ioManager = rec->ioManager;
    }
    if (ioManager) {
        if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
        if (Irp->UserEvent) KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    Guard guard(State().lock);
    if (DeviceRec* rec = LiveDevice(Object)) return ++rec->references;
    auto file = State().files.find((PFILE_OBJECT)Object);
    if (file != State().files.end()) return ++file->second.references;
    if (DriverRec* rec = FindDriver((PDRIVER_OBJECT)Object)) return ++rec->references;
    rule::ObjectReferenceUnknown(Object, "ObfReferenceObject");
    return 0;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    PDRIVER_OBJECT gone = nullptr;
    PFILE_OBJECT closing = nullptr;
    LONG_PTR result = 0;
    {
        Guard guard(State().lock);
        if (DeviceRec* rec = LiveDevice(Object)) {
            // Until IoDeleteDevice the I/O manager's own reference is not the driver's to drop.
            if (rec->references <= (rec->deleted ? 0 : 1)) {
                rule::ObjectReferenceImbalance(Object, "ObDereferenceObject without a matching reference on " +
                                                           DescribeDevice(rec->device));
                return rec->references;
            }
            result = rec->references - 1;
            gone = DropDeviceReference(*rec);
        } else if (auto file = State().files.find((PFILE_OBJECT)Object); file != State().files.end()) {
            if (file->second.references <= 0) {
                rule::ObjectReferenceImbalance(Object, "ObDereferenceObject below zero on a file object");
                return 0;
            }
            result = --file->second.references;
            if (result == 0) closing = file->first;
        } else if (DriverRec* rec = FindDriver((PDRIVER_OBJECT)Object)) {
            if (rec->references <= 1) {
                rule::ObjectReferenceImbalance(Object, "ObDereferenceObject on a driver object below the loader's reference");
                return rec->references;
            }
            result = --rec->references;
        } else {
            rule::ObjectReferenceUnknown(Object, "ObfDereferenceObject");
            return 0;
        }
    }
    if (gone) DriverDevicesGone(gone);
    if (closing) CloseFileObject(closing);
    return result;
}

}  // extern "C"
