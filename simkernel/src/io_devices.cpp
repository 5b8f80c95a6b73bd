// The I/O manager's device objects: creation with their names, deletion (held while a device above
// is still attached, freed at the last reference), device stacks (attach, detach, the top of a
// stack), and the object references on every I/O object, whose last release frees a deleted
// device or closes a file object. Also the I/O manager's reset and its test-facing queries.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io_state.h"
#include "pnp_internal.h"

namespace simk::detail {
namespace {
constexpr size_t kDeviceQuarantine = 4096; // freed device objects kept to recognise late use

void FreeDeviceMemory(DeviceRec& rec)
{
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

} // namespace

bool DriverHasDevicesLocked(PDRIVER_OBJECT driver)
{
    for (const auto& [p, rec] : State().devices) {
        if (rec.driver == driver && !rec.freed)
            return true;
    }
    return false;
}

// Drops one object reference from a device; frees it when deleted and unreferenced. Lock held.
// Returns the driver whose last device went when that driver is already unloaded.
PDRIVER_OBJECT DropDeviceReference(DeviceRec& rec)
{
    rec.references--;
    if (rec.references > 0 || !rec.deleted)
        return nullptr;
    PDRIVER_OBJECT driver = rec.driver;
    FreeDeviceMemory(rec);
    DriverRec* d = FindDriver(driver);
    if (d && d->info.unloaded && !DriverHasDevicesLocked(driver))
        return driver;
    return nullptr;
}

std::string DescribeDevice(PDEVICE_OBJECT device)
{
    if (!device)
        return "(no device)";
    Guard guard(State().lock);
    DeviceRec* rec = FindDevice(device);
    if (!rec)
        return "device " + Hex((uintptr_t)device);
    std::string text = "device " + Hex((uintptr_t)device);
    if (!rec->name.empty())
        text += " (" + simk::Narrow(rec->name) + ")";
    text += " of " + simk::Narrow(rec->driverName);
    return text;
}

void ResetIo()
{
    std::vector<void*> memory;
    std::vector<PDRIVER_OBJECT> drivers;
    {
        Guard guard(State().lock);
        auto& s = State();
        for (auto& [file, rec] : s.files)
            memory.push_back(file);
        s.files.clear();
        for (auto& [irp, rec] : s.irps)
            memory.push_back(rec->memory);
        s.irps.clear();
        s.irpQuarantine.clear();
        for (auto& [p, rec] : s.devices)
            memory.push_back(rec.memory);
        s.devices.clear();
        s.deviceQuarantine.clear();
        for (auto& [driver, rec] : s.drivers)
            drivers.push_back(driver);
        s.passSeq = 0;
        s.autoNameCounter = 0;
    }
    for (PDRIVER_OBJECT driver : drivers)
        DestroyDriverObject(driver);
    for (void* p : memory)
        std::free(p);
    ResetNames();
}

// A request `device` sent down with a completion routine that has not run yet: the routine would
// be called for a deleted device. The lock is held.
PIRP RequestStillBelow(PDEVICE_OBJECT device)
{
    // From the records only: the requests themselves belong to whichever thread has them now.
    for (const auto& [irp, rec] : State().irps) {
        if (rec->freed || rec->completed)
            continue;
        for (const LocationRec& location : rec->locations) {
            if (location.routineOwner == device)
                return irp;
        }
    }
    return nullptr;
}

PDEVICE_OBJECT DeviceContaining(const void* address)
{
    const char* a = static_cast<const char*>(address);
    Guard guard(State().lock);
    for (const auto& [p, rec] : State().devices) {
        const char* begin = static_cast<const char*>(rec.memory);
        if (!rec.freed && a >= begin && a < begin + rec.memorySize)
            return rec.device;
    }
    return nullptr;
}

} // namespace simk::detail

// ---- Test-facing queries ------------------------------------------------------------------------
namespace simk {
using namespace simk::detail;

bool IsDeviceObject(const void* object)
{
    Guard guard(State().lock);
    return LiveDevice(object) != nullptr;
}

bool IsDeviceDeleted(PDEVICE_OBJECT device)
{
    Guard guard(State().lock);
    DeviceRec* rec = FindDevice(device);
    return rec && rec->deleted;
}

std::u16string DeviceName(PDEVICE_OBJECT device)
{
    Guard guard(State().lock);
    DeviceRec* rec = FindDevice(device);
    return rec ? rec->name : std::u16string();
}

LONG_PTR ObjectReferenceCount(const void* object)
{
    Guard guard(State().lock);
    if (DeviceRec* rec = LiveDevice(object))
        return rec->references - (rec->deleted && !rec->heldByUpper ? 0 : 1);
    auto file = State().files.find((PFILE_OBJECT)object);
    if (file != State().files.end())
        return file->second.references;
    if (DriverRec* rec = FindDriver((PDRIVER_OBJECT)object))
        return rec->references;
    return -1;
}

std::vector<PDEVICE_OBJECT> DevicesOfDriver(PDRIVER_OBJECT driver)
{
    Guard guard(State().lock);
    std::vector<PDEVICE_OBJECT> result;
    if (!FindDriver(driver))
        return result;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice)
        result.push_back(d);
    return result;
}

size_t LiveDeviceCount()
{
    Guard guard(State().lock);
    size_t n = 0;
    for (const auto& [p, rec] : State().devices)
        n += rec.freed ? 0 : 1;
    return n;
}

KIRQL CurrentIrql() { return ThreadIrql(); }
ULONG CriticalRegionDepth() { return ThreadCriticalRegionDepth(); }

} // namespace simk

// ---- Kernel routines ----------------------------------------------------------------------------
using namespace simk::detail;
namespace rules = simk::verifier::rules;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject)
{
    RequireIrql(PASSIVE_LEVEL, rules::IrqlIoPassive, "IoCreateDevice");
    *DeviceObject = nullptr;
    NTSTATUS status;
    if (CallBefore(simk::Call::IoCreateDevice, DriverObject, 0, &status))
        return status;
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
        if (!NT_SUCCESS(status))
            return status;
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

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
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
        if (PIRP below = RequestStillBelow(DeviceObject))
            rule::DeleteDeviceRequestBelow(DeviceObject, below);
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
    if (lower)
        rule::DeleteDeviceStillAttached(DeviceObject, lower);
    if (!name.empty())
        RemoveName(name, NameKind::Device);
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
    if (gone)
        DriverDevicesGone(gone);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    Guard guard(State().lock);
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    return top;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    Guard guard(State().lock);
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

NTSTATUS IoAttachDeviceToDeviceStackSafe(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice,
                                         PDEVICE_OBJECT* AttachedToDeviceObject)
{
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

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    PDEVICE_OBJECT attachedTo = nullptr;
    NTSTATUS status = IoAttachDeviceToDeviceStackSafe(SourceDevice, TargetDevice, &attachedTo);
    return NT_SUCCESS(status) ? attachedTo : nullptr;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
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
    if (gone)
        DriverDevicesGone(gone);
}
LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    Guard guard(State().lock);
    if (DeviceRec* rec = LiveDevice(Object))
        return ++rec->references;
    auto file = State().files.find((PFILE_OBJECT)Object);
    if (file != State().files.end())
        return ++file->second.references;
    if (DriverRec* rec = FindDriver((PDRIVER_OBJECT)Object))
        return ++rec->references;
    rule::ObjectReferenceUnknown(Object, "ObfReferenceObject");
    return 0;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
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
            if (result == 0)
                closing = file->first;
        } else if (DriverRec* rec = FindDriver((PDRIVER_OBJECT)Object)) {
            if (rec->references <= 1) {
                rule::ObjectReferenceImbalance(Object,
                                               "ObDereferenceObject on a driver object below the loader's reference");
                return rec->references;
            }
            result = --rec->references;
        } else {
            rule::ObjectReferenceUnknown(Object, "ObfDereferenceObject");
            return 0;
        }
    }
    if (gone)
        DriverDevicesGone(gone);
    if (closing)
        CloseFileObject(closing);
    return result;
}

} // extern "C"
