// The I/O manager's own state, shared by its flows: driver objects (io_drivers.cpp), device objects
// and the references on every I/O object (io_devices.cpp), requests and their completion
// (io_requests.cpp), and the opens and file objects of user-mode handles (io_handles.cpp). One
// recursive lock guards it all; the kernel-wide private interface is internal.h.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"

namespace simk::detail {

constexpr unsigned char kFreedFill = 0xDB; // what freed I/O objects are overwritten with

struct DeviceRec {
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::u16string name;
    std::u16string driverName;
    bool deleted = false;
    bool freed = false;
    // Deleted while a device was still attached above it: kept until that device detaches.
    bool heldByUpper = false;
    LONG_PTR references = 1; // the creation reference, dropped by IoDeleteDevice
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
    std::map<PVOID, PVOID> extensions; // identification address -> kernel pool
    LONG_PTR references = 1;
};

struct FileRec {
    LONG_PTR references = 1;
};

struct LocationRec {
    unsigned long long passSeq = 0; // bumped each time the completion walk processes the location
    NTSTATUS statusAtPass = 0;
    bool pendingAtPass = false;
    bool returnedPending = false; // a dispatch routine returned STATUS_PENDING before the walk got here
    PDEVICE_OBJECT pendingDevice = nullptr;
    UCHAR major = 0, minor = 0;
    std::vector<PDEVICE_OBJECT> startNextNoted; // devices that called PoStartNextPowerIrp here
    // The device whose completion routine this location holds, until the walk passes it.
    PDEVICE_OBJECT routineOwner = nullptr;
};

struct IrpRec {
    std::vector<LocationRec> locations;
    bool freed = false;
    bool completed = false;
    bool ioManager = false;
    bool abandoned = false; // returned without completion: the I/O manager must not free it
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    void* memory = nullptr;
};

struct IoState {
    std::recursive_mutex lock;
    std::map<const void*, DeviceRec> devices; // live and recently freed (tombstones)
    std::deque<const void*> deviceQuarantine;
    std::map<PDRIVER_OBJECT, DriverRec> drivers;
    std::map<PFILE_OBJECT, FileRec> files;
    std::map<PIRP, std::shared_ptr<IrpRec>> irps;
    std::deque<PIRP> irpQuarantine;
    unsigned long long passSeq = 0;
    ULONG autoNameCounter = 0;
};

inline IoState& State()
{
    static IoState* state = new IoState;
    return *state;
}

using Guard = std::lock_guard<std::recursive_mutex>;

// Lookups; the lock is held.
inline DeviceRec* FindDevice(const void* device)
{
    auto it = State().devices.find(device);
    return it == State().devices.end() ? nullptr : &it->second;
}

inline DeviceRec* LiveDevice(const void* device)
{
    DeviceRec* rec = FindDevice(device);
    return rec && !rec->freed ? rec : nullptr;
}

inline DriverRec* FindDriver(PDRIVER_OBJECT driver)
{
    auto it = State().drivers.find(driver);
    return it == State().drivers.end() ? nullptr : &it->second;
}

inline std::shared_ptr<IrpRec> FindIrp(PIRP irp)
{
    auto it = State().irps.find(irp);
    return it == State().irps.end() ? nullptr : it->second;
}

// Helpers one flow defines for the others; the lock is held where they say so.
// io_devices.cpp:
bool DriverHasDevicesLocked(PDRIVER_OBJECT driver); // lock held
// Drops one object reference from a device; frees it when deleted and unreferenced. Lock held.
// Returns the driver whose last device went when that driver is already unloaded.
PDRIVER_OBJECT DropDeviceReference(DeviceRec& rec);
// A request the device sent down whose completion routine for it has not run yet. Lock held.
PIRP RequestStillBelow(PDEVICE_OBJECT device);
// io_requests.cpp:
// The dispatch routine of every major function a driver leaves unset.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// The verifier's checks on a driver routine that returned: the IRQL and critical regions it was called with.
void CheckRoutineReturn(const char* routine, PDEVICE_OBJECT device, KIRQL irql, ULONG regions);
// io_handles.cpp:
// The last reference to a file object is gone: the driver hears IRP_MJ_CLOSE, then the open's hold
// on the device is released.
void CloseFileObject(PFILE_OBJECT file);

} // namespace simk::detail
