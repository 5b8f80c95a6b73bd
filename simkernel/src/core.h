// Private interfaces between the managers this library implements itself (executive, I/O manager,
// object manager, loader, user-mode side) and the verifier layer's rule functions.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

#include "internal.h"
#include "simkernel/kernel.h"
#include "simkernel/pool.h"

namespace simk::detail {

// ---- Threads (sync.cpp) --------------------------------------------------------------------------
KIRQL ThreadIrql();
void SetThreadIrql(KIRQL irql);  // no rule checks: for the kernel's own transitions
ULONG ThreadCriticalRegionDepth();
// Waits for a KEVENT without the verifier's IRQL rule (for the kernel's own waits). timeoutMs < 0
// waits for ever. Returns true when the event was signalled.
bool WaitKernelEvent(PKEVENT event, long long timeoutMs);
// Fast mutexes and spin locks held by any thread whose memory lies in [begin, begin+size).
bool AnyLockHeldIn(const void* begin, size_t size);
// The calling thread waits for something another thread must do (a fast mutex, an event, a gate)
// while at least one of these is alive; ThreadWaiting tells whether a thread is in one now.
class WaitingScope {
public:
    WaitingScope();
    ~WaitingScope();
    WaitingScope(const WaitingScope&) = delete;
    WaitingScope& operator=(const WaitingScope&) = delete;
};
bool ThreadWaiting(HANDLE thread);

// ---- Pool (pool.cpp) -----------------------------------------------------------------------------
std::vector<simk::pool::Allocation> PoolOwnedBy(PDRIVER_OBJECT driver);

// ---- Loader (loader.cpp) -------------------------------------------------------------------------
PDRIVER_OBJECT DriverOfAddress(const void* address);  // the loaded image containing `address`
void DriverDevicesGone(PDRIVER_OBJECT driver);         // the last device object of an unloaded driver went
void FinishPendingUnloads();                            // closes images whose driver is fully gone

// ---- I/O manager (io.cpp) ------------------------------------------------------------------------
struct DriverInfo {
    std::u16string service;
    void* image = nullptr;  // dlopen handle, null for in-process drivers
    bool unloaded = false;
};
PDRIVER_OBJECT CreateDriverObject(const std::u16string& service, PDRIVER_INITIALIZE entry, void* image,
                                  NTSTATUS* status);
// Runs DriverEntry at PASSIVE_LEVEL in the driver's scope.
NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver);
// The verifier's checks for a driver that is going away (after DriverUnload or a failed DriverEntry).
void RunUnloadChecks(PDRIVER_OBJECT driver, const char* when);
bool DriverHasDeviceMemory(PDRIVER_OBJECT driver);  // device objects of the driver not yet freed
void MarkDriverUnloaded(PDRIVER_OBJECT driver);
void DestroyDriverObject(PDRIVER_OBJECT driver);     // frees the object and its extensions
bool GetDriverInfo(PDRIVER_OBJECT driver, DriverInfo* info);
std::vector<PDRIVER_OBJECT> AllDrivers();

// Resolves a path a user-mode caller opens to the named device object (through symbolic links).
// With `remaining`, a path that goes on below the device resolves to it and the rest ("\\x") is
// returned, as the I/O manager passes it to the driver in the file object's name.
NTSTATUS ResolveDevicePath(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remaining = nullptr);
// Checks whether a device can be opened (IopCheckDeviceAndDriver) and counts the open.
NTSTATUS ReferenceDeviceForOpen(PDEVICE_OBJECT device);
void DereferenceDeviceForClose(PDEVICE_OBJECT device);
// File objects: created with one reference; the last dereference sends IRP_MJ_CLOSE.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, bool readAccess, bool writeAccess);
void FreeUnopenedFileObject(PFILE_OBJECT file);  // a create that failed: no close is sent

// IRPs the I/O manager itself originates: completion sets UserIosb and UserEvent; the caller waits
// and frees. Returns the final status, or the dispatch status when the driver returned without
// completing.
PIRP AllocateIoManagerIrp(PDEVICE_OBJECT target, PFILE_OBJECT file);
NTSTATUS SendIoManagerIrp(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* iosb, bool* abandoned = nullptr);
void ReleaseIoManagerIrp(PIRP irp);

// Object namespace (object.cpp)
std::u16string NormalizeObjectName(const std::u16string& name);
std::u16string UpcaseName(const std::u16string& name);
// Validates an absolute object name; STATUS_SUCCESS or the status creating it would fail with.
NTSTATUS ValidateObjectName(const std::u16string& normalized);
enum class NameKind { Device, SymbolicLink, Driver };
struct NameEntry {
    NameKind kind;
    std::u16string name;    // normalised, original case
    std::u16string target;  // symbolic links
    void* object = nullptr;  // device or driver object
    PDRIVER_OBJECT creator = nullptr;  // symbolic links: the driver that created it
};
bool InsertName(const NameEntry& entry);  // false on collision
bool LookupName(const std::u16string& normalized, NameEntry* entry);
bool RemoveName(const std::u16string& normalized, NameKind kind);
std::vector<NameEntry> NamesCreatedBy(PDRIVER_OBJECT driver, NameKind kind);
std::vector<NameEntry> AllNames(NameKind kind);
void ResetNames();

// User-mode side (user.cpp)
void ResetUser();

// Object security (security.cpp)
// Whether the current caller may open `device` with `desired` access, and what the open is granted.
struct AccessCheckResult {
    NTSTATUS status = STATUS_ACCESS_DENIED;
    ACCESS_MASK granted = 0;
    ULONG privilegeFlags = 0;  // TOKEN_HAS_BACKUP_PRIVILEGE and TOKEN_HAS_RESTORE_PRIVILEGE as used
};
AccessCheckResult CheckDeviceAccess(PDEVICE_OBJECT device, ACCESS_MASK desired, bool backupIntent);
void ForgetObjectSecurity(const void* object);  // the object is being deleted
void ResetSecurity();

// ---- Strings (rtl.cpp) -----------------------------------------------------------------------------
std::u16string FromUnicodeString(PCUNICODE_STRING s);
std::string Hex(unsigned long long value);
std::string StatusText(NTSTATUS status);  // "0xC000009A"
std::string DescribeDevice(PDEVICE_OBJECT device);  // "device 0x... (\Device\X) of \Driver\Y"
std::string DescribeIrp(PIRP irp);

// ---- Verifier rules (verifier.cpp): one function per rule -----------------------------------------
namespace rule {
void IrqlTooHigh(const char* rule, const char* function, KIRQL current, KIRQL maximum);
void IrqlRaiseToLower(KIRQL current, KIRQL requested);
void IrqlLowerToHigher(KIRQL current, KIRQL requested);
void SpinLockReleaseIrql(KIRQL current);
void DispatchIrqlChanged(const char* routine, PDEVICE_OBJECT device, KIRQL before, KIRQL after);
void CriticalRegions(const char* routine, PDEVICE_OBJECT device, ULONG before, ULONG after);
void IrpDoubleComplete(PIRP irp);
void IrpUseAfterComplete(PIRP irp, const char* function);
void IrpCompleteWithPending(PIRP irp);
void DispatchStatusMismatch(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor, NTSTATUS returned,
                            NTSTATUS completed);
void DispatchReturnedWithoutCompleting(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor,
                                       NTSTATUS returned);
void MarkIrpPending(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor);
void MarkIrpPending2(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor, NTSTATUS returned);
void PowerIrpNoStartNext(PDEVICE_OBJECT device, PIRP irp, UCHAR minor);
void BadIrpFree(PIRP irp, const char* why);
void InvalidDeviceObject(const void* device, const char* function);
void IrpToDeletedDevice(PDEVICE_OBJECT device, UCHAR major, UCHAR minor);
void RemoveLockUnbalanced(const void* lock, const char* function);
void BufferedIoOverrun(PDEVICE_OBJECT device, ULONG code, ULONG_PTR information, ULONG outputLength);
void PoolFreeWrongTag(const void* address, ULONG tag, ULONG expected);
void PoolFreeUnknown(const void* address);
void PoolZeroSize(ULONG tag);
void PoolTypeUnknownToSystem(POOL_TYPE type, ULONG tag);
void ObjectHandleNotKernel(const char* function);
void PoolOverrun(const void* address, ULONG tag, size_t size);
void PoolFreeHeldLock(const void* address, ULONG tag);
void FastMutexRecursion(const void* mutex);
void FastMutexWrongOwner(const void* mutex, bool owned);
void FastMutexMismatchedRelease(const void* mutex, bool acquiredUnsafe);
void FastMutexUnsafeApcsEnabled(const void* mutex);
void DeadlockLockOrder(const void* held, const void* acquiring);
void InvalidDispatcherObject(const void* object, const char* function);
void DeleteDeviceTwice(PDEVICE_OBJECT device);
void DeleteDeviceStillAttached(PDEVICE_OBJECT device, PDEVICE_OBJECT lower);
void DeleteDeviceWithAttachedDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT upper);
void DetachNotAttached(PDEVICE_OBJECT device);
void ObjectReferenceImbalance(const void* object, const std::string& what);
void ObjectReferenceUnknown(const void* object, const char* function);
void PoolLeakOnUnload(PDRIVER_OBJECT driver, const std::vector<simk::pool::Allocation>& leaked, const char* when);
void DeviceObjectLeakOnUnload(PDRIVER_OBJECT driver, const std::vector<PDEVICE_OBJECT>& devices, const char* when);
void SymbolicLinkLeakOnUnload(PDRIVER_OBJECT driver, const std::vector<std::u16string>& links, const char* when);
}  // namespace rule

}  // namespace simk::detail
