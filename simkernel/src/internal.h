// The private interface between the managers of the simulated kernel (threads, pool, loader, I/O,
// object namespace, security, registry, faults) and the verifier layer's rule functions. Not part
// of the test-facing interface; the Plug and Play manager keeps its own in pnp_internal.h.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "simkernel/faults.h"
#include "simkernel/kernel.h"
#include "simkernel/pool.h"
#include "simkernel/verifier.h"

namespace simk::detail {

// ---- Threads (sync.cpp) -------------------------------------------------------------------------
KIRQL ThreadIrql();
void SetThreadIrql(KIRQL irql); // no rule checks: for the kernel's own transitions
ULONG ThreadCriticalRegionDepth();
// Waits for a KEVENT without the verifier's IRQL rule (for the kernel's own waits). timeoutMs < 0
// waits for ever. Returns true when the event was signalled.
bool WaitKernelEvent(PKEVENT event, long long timeoutMs);
// Fast mutexes and spin locks held by any thread whose memory lies in [begin, begin+size).
bool AnyLockHeldIn(const void* begin, size_t size);
// Called by the pool and the I/O manager when memory goes away, so lock-order state about locks in
// that memory is forgotten.
void ForgetLocksIn(const void* begin, size_t size);
// remove_lock.cpp: the memory of remove locks being freed, and the reset between tests.
void ForgetRemoveLocksIn(const void* begin, size_t size);
void ResetRemoveLocks();
// A remove lock in `device`'s memory that is live and holds no acquisition tagged with `irp`.
const void* RemoveLockNotHeldFor(PDEVICE_OBJECT device, PIRP irp);
// io_devices.cpp: the live device object whose memory (object and extension) holds `address`.
PDEVICE_OBJECT DeviceContaining(const void* address);
// io_requests.cpp: whether the innermost dispatch routine on this thread handles IRP_MN_REMOVE_DEVICE.
bool DispatchingRemoveDevice();
// sync.cpp: whether the calling thread holds a spin lock.
bool ThreadHoldsSpinLock();
// The calling thread waits for something another thread must do (a fast mutex, an event, a gate)
// while at least one of these is alive; ThreadWaiting tells whether a thread is in one now.
class WaitingScope
{
public:
    WaitingScope();
    ~WaitingScope();
    WaitingScope(const WaitingScope&) = delete;
    WaitingScope& operator=(const WaitingScope&) = delete;
};
bool ThreadWaiting(HANDLE thread);
// Reports `rule` when the calling thread's IRQL is above `maxIrql`; returns true when it is not.
bool RequireIrql(KIRQL maxIrql, const char* rule, const char* function);

// ---- Driver attribution (sync.cpp) --------------------------------------------------------------
// While alive, pool allocations and objects created on this thread are attributed to `driver`
// (used around DriverEntry, AddDevice, dispatch and completion routines, DriverUnload).
class DriverScope
{
public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    PDRIVER_OBJECT m_Previous;
};
PDRIVER_OBJECT CurrentDriver();

// While alive, this thread runs a dispatch routine handling IRP_MN_SET_POWER for `device`;
// `sleeping`: a system set-power to a sleeping state reaching a function or filter device. Nested
// scopes (the request passed down) replace the outer one until they end.
class SetPowerScope
{
public:
    SetPowerScope(PDEVICE_OBJECT device, bool sleeping);
    ~SetPowerScope();
    SetPowerScope(const SetPowerScope&) = delete;
    SetPowerScope& operator=(const SetPowerScope&) = delete;

private:
    PDEVICE_OBJECT m_PreviousDevice;
    bool m_PreviousSleeping;
};
// The device whose set-power the thread is handling, or null; whether it is a sleep's.
PDEVICE_OBJECT SetPowerDevice();
bool HandlingSleepSetPower();

// ---- Pool (pool.cpp) ----------------------------------------------------------------------------
std::vector<simk::pool::Allocation> PoolOwnedBy(PDRIVER_OBJECT driver);
// Pool owned by the kernel itself: counted in the pool accounting, never failed by fault injection,
// never attributed to a driver.
PVOID AllocateKernelPool(POOL_TYPE type, SIZE_T size, ULONG tag);
void FreeKernelPool(PVOID p);

// ---- Loader (loader.cpp) ------------------------------------------------------------------------
PDRIVER_OBJECT DriverOfAddress(const void* address); // the loaded image containing `address`
void DriverDevicesGone(PDRIVER_OBJECT driver);       // the last device object of an unloaded driver went
void FinishPendingUnloads();                         // closes images whose driver is fully gone

// ---- I/O manager: driver objects (io_drivers.cpp) -----------------------------------------------
struct DriverInfo {
    std::u16string service;
    void* image = nullptr; // dlopen handle, null for in-process drivers
    bool unloaded = false;
};
PDRIVER_OBJECT CreateDriverObject(const std::u16string& service, PDRIVER_INITIALIZE entry, void* image,
                                  NTSTATUS* status);
// Runs DriverEntry at PASSIVE_LEVEL in the driver's scope.
NTSTATUS CallDriverEntry(PDRIVER_OBJECT driver);
// Calls AddDevice at PASSIVE_LEVEL in the driver's scope, with the verifier's IRQL check on return.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDeviceObject);
// The verifier's checks for a driver that is going away (after DriverUnload or a failed DriverEntry).
void RunUnloadChecks(PDRIVER_OBJECT driver, const char* when);
bool DriverHasDeviceMemory(PDRIVER_OBJECT driver); // device objects of the driver not yet freed
void MarkDriverUnloaded(PDRIVER_OBJECT driver);
void DestroyDriverObject(PDRIVER_OBJECT driver); // frees the object and its extensions
bool GetDriverInfo(PDRIVER_OBJECT driver, DriverInfo* info);
std::vector<PDRIVER_OBJECT> AllDrivers();
std::string DriverNameForMessages(PDRIVER_OBJECT driver); // "\Driver\X" or "(kernel)"

// ---- I/O manager: device objects (io_devices.cpp) -----------------------------------------------
std::string DescribeDevice(PDEVICE_OBJECT device); // "device 0x... (\Device\X) of \Driver\Y"

// ---- I/O manager: requests (io_requests.cpp) ----------------------------------------------------
// IRPs the I/O manager itself originates: completion sets UserIosb and UserEvent; the caller waits
// and frees. Returns the final status, or the dispatch status when the driver returned without
// completing.
PIRP AllocateIoManagerIrp(PDEVICE_OBJECT target, PFILE_OBJECT file);
NTSTATUS SendIoManagerIrp(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* iosb, bool* abandoned = nullptr);
void ReleaseIoManagerIrp(PIRP irp);
// PoStartNextPowerIrp (power manager) notes the IRP at its current stack location; IofCompleteRequest
// checks that a power IRP's completer did so.
void NotePoStartNextPowerIrp(PIRP irp);
std::string DescribeIrp(PIRP irp); // "IRP 0x..."

// ---- I/O manager: user-mode opens (io_handles.cpp) ----------------------------------------------
// Resolves a path a user-mode caller opens to the named device object (through symbolic links).
// With `remaining`, a path that goes on below the device resolves to it and the rest ("\\x") is
// returned, as the I/O manager passes it to the driver in the file object's name.
NTSTATUS ResolveDevicePath(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remaining = nullptr);
// Checks whether a device can be opened (IopCheckDeviceAndDriver) and counts the open.
NTSTATUS ReferenceDeviceForOpen(PDEVICE_OBJECT device);
void DereferenceDeviceForClose(PDEVICE_OBJECT device);
// File objects: created with one reference; the last dereference sends IRP_MJ_CLOSE.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, bool readAccess, bool writeAccess);
void FreeUnopenedFileObject(PFILE_OBJECT file); // a create that failed: no close is sent

// ---- Object namespace (object.cpp) --------------------------------------------------------------
std::u16string NormalizeObjectName(const std::u16string& name);
std::u16string UpcaseName(const std::u16string& name);
// Validates an absolute object name; STATUS_SUCCESS or the status creating it would fail with.
NTSTATUS ValidateObjectName(const std::u16string& normalized);
enum class NameKind { Device, SymbolicLink, Driver };
struct NameEntry {
    NameKind kind;
    std::u16string name;              // normalised, original case
    std::u16string target;            // symbolic links
    void* object = nullptr;           // device or driver object
    PDRIVER_OBJECT creator = nullptr; // symbolic links: the driver that created it
};
bool InsertName(const NameEntry& entry); // false on collision
bool LookupName(const std::u16string& normalized, NameEntry* entry);
bool RemoveName(const std::u16string& normalized, NameKind kind);
std::vector<NameEntry> NamesCreatedBy(PDRIVER_OBJECT driver, NameKind kind);
std::vector<NameEntry> AllNames(NameKind kind);
void ResetNames();

// ---- Object security and object handles (security.cpp) ------------------------------------------
// Whether the current caller may open `device` with `desired` access, and what the open is granted.
struct AccessCheckResult {
    NTSTATUS status = STATUS_ACCESS_DENIED;
    ACCESS_MASK granted = 0;
    ULONG privilegeFlags = 0; // TOKEN_HAS_BACKUP_PRIVILEGE and TOKEN_HAS_RESTORE_PRIVILEGE as used
};
AccessCheckResult CheckDeviceAccess(PDEVICE_OBJECT device, ACCESS_MASK desired, bool backupIntent);
void ForgetObjectSecurity(const void* object); // the object is being deleted
// ZwClose of a handle ObOpenObjectByPointer gave; false when it is not such a handle.
bool CloseObjectHandle(HANDLE handle);

// ---- Registry (registry.cpp) --------------------------------------------------------------------
// Used by the Plug and Play manager when it gives a new device node its hardware key.
void EnsureDeviceHardwareKey(const std::u16string& instancePath);

// ---- Call points (faults.cpp) -------------------------------------------------------------------
// Counts a call of a hookable routine and runs what is armed before it; true (with *status set)
// when fault injection makes the call fail. `object` is the routine's first argument.
bool CallBefore(Call call, const void* object, ULONG tag, NTSTATUS* status);
// Runs what is armed after the call.
void CallAfter(Call call, const void* object);
inline bool ShouldFail(Call call, NTSTATUS* status) { return CallBefore(call, nullptr, 0, status); }
// Runs what is armed after the call when the routine returns, on every path.
class AfterCall
{
public:
    AfterCall(Call call, const void* object) : m_Call(call), m_Object(object) {}
    ~AfterCall() { CallAfter(m_Call, m_Object); }
    AfterCall(const AfterCall&) = delete;
    AfterCall& operator=(const AfterCall&) = delete;

private:
    Call m_Call;
    const void* m_Object;
};

// What is armed at a call point: the Nth matching call (every one when nth is 0) at one of the
// sites, on one thread (any when null), with one pool tag (any when 0), accepted by `match`.
struct ArmPlan {
    std::vector<std::pair<Call, When>> sites;
    unsigned nth = 0;
    HANDLE thread = nullptr;
    ULONG tag = 0;
    std::function<bool(const CallSite&)> match;
    bool fails = false; // fault injection: the call fails with `status`
    NTSTATUS status = STATUS_SUCCESS;
    std::function<void(const CallSite&)> run; // a hook: runs on the calling thread, outside any kernel lock
    bool fault = false;                       // armed through the fault-injection interface (DisarmAll removes it)
};
unsigned long long AddArm(ArmPlan plan);
void RemoveArm(unsigned long long id);

// ---- Strings (rtl.cpp) --------------------------------------------------------------------------
std::u16string FromUnicodeString(PCUNICODE_STRING s);
std::string Hex(unsigned long long value);
std::string StatusText(NTSTATUS status); // "0xC000009A"

// ---- Power manager (power.cpp) --------------------------------------------------------------------
// Device set-power requests asked for with PoRequestPowerIrp for the stack of this PDO so far.
size_t DeviceSetPowerRequestsFor(const DEVICE_OBJECT* pdo);
// PoCallDriver as the power manager calls a stack: at PASSIVE_LEVEL when `target` is
// DO_POWER_PAGABLE, at DISPATCH_LEVEL otherwise.
NTSTATUS CallPowerDriver(PDEVICE_OBJECT target, PIRP irp);

// ---- Reset of every manager ---------------------------------------------------------------------
// ResetKernel calls the Plug and Play, power and registry managers' first, before the I/O manager
// frees device objects.
void ResetPnp();
void ResetRegistry();
void ResetPower();
void ResetIo(); // device objects, files, IRPs, names, driver objects (loader drops images after)
void ResetLoader();
void ResetPool();
void ResetSync(); // lock graph, per-thread lock state of the resetting thread
void ResetRtl();
void ResetFaults();
void ResetVerifier();
void ResetUser();
void ResetSecurity();

// ---- Verifier rules (verifier.cpp) --------------------------------------------------------------
// One function per rule, each reporting the rule of its name in simkernel/verifier.h and wording
// what the reader needs (which driver, which object); the kernel reports through nothing else.
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
void DispatchReturnedWithoutCompleting(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor, NTSTATUS returned);
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
void NotificationLeakOnUnload(PDRIVER_OBJECT driver, size_t registrations, const char* when);
void NotificationEntryUnknown(const void* entry, const char* function);
void CriticalRegionLeftUnentered(); // KeLeaveCriticalRegion without KeEnterCriticalRegion
void SpinLockAtDpcLevelTooLow();    // KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL
void HandleLeak(PDRIVER_OBJECT driver, const std::u16string& keyPath);
void InvalidKernelHandle(HANDLE handle);
// Plug and Play and power managers: `node` is the device as the manager describes it.
void PdoDeletedWhileReported(const std::string& node);
void PdoChangedAnsweredStatus(UCHAR major, UCHAR minor, NTSTATUS completed, NTSTATUS answered);
void PdoChangedUnansweredStatus(UCHAR major, UCHAR minor, NTSTATUS completed);
void PowerPagableInconsistent(const std::string& node, PDEVICE_OBJECT upper, PDEVICE_OBJECT lower);
void DuplicateRelation(const std::string& node);
void ForeignRelation(const std::string& node);
void DuplicateDeviceInstance(const std::u16string& instancePath);
void InvalidTargetRelation(const std::string& node);
void InvalidPdo(const char* function);
void IrpNeverCompleted(UCHAR major, UCHAR minor, NTSTATUS returned);
void RootDeviceCreation();
// The requests a driver may not fail; `after` names what the manager was tearing down, if anything.
void IrpFailedRemoveDevice(const std::string& node, NTSTATUS status, const char* after = nullptr);
void IrpFailedCancelRemove(const std::string& node, NTSTATUS status, const char* after = nullptr);
void IrpFailedSurpriseRemoval(const std::string& node, NTSTATUS status, const char* after = nullptr);
void IrpFailedStopDevice(const std::string& node, NTSTATUS status, const char* after = nullptr);
void IrpFailedCancelStop(const std::string& node, NTSTATUS status, const char* after = nullptr);
void PowerSystemSetFailed(const std::string& node, SYSTEM_POWER_STATE state, NTSTATUS status);
// Power requests and the power policy owner (verifier_power.cpp).
void SystemPowerIrpTimeout(const std::string& node, PDEVICE_OBJECT holder, UCHAR minor, SYSTEM_POWER_STATE state);
void PolicyOwnerAskedNoDevicePower(const std::string& node, PDEVICE_OBJECT owner, SYSTEM_POWER_STATE state);
void PowerDownAllocate(PDEVICE_OBJECT device, SIZE_T bytes, ULONG tag);
void PowerIrpDDIs(const char* function);
// Remove locks: `tags` lists the acquisitions still held, as "tag (count)".
void RemoveLockWrongTag(const void* lock, const void* tag, const std::string& held);
void RemoveLockDoubleRelease(const void* lock, const void* tag, const char* function);
void RemoveLockNeverReleased(const void* lock, const std::string& held);
void RemoveLockWaitOutsideRemove(const void* lock);
void MultRemoveLock(PDEVICE_OBJECT device, const void* lock, const void* other);
void RemoveLockForward(PDEVICE_OBJECT device, const void* lock, PIRP irp, UCHAR major, UCHAR minor);
void LockInitializedTwice(const char* kind, const void* lock, const char* why);
void LockNotInitialized(const char* kind, const void* lock, const char* function);
void PoSetPowerStateType(PDEVICE_OBJECT device, POWER_STATE_TYPE type, ULONG value);
void IrqlPoSetPowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state, KIRQL irql);
void CheckDeviceObjectFlags(const std::string& node, PDEVICE_OBJECT child, PDEVICE_OBJECT parent);
void DeleteDeviceRequestBelow(PDEVICE_OBJECT device, PIRP irp);
void ForwardedAtBadIrql(PDEVICE_OBJECT target, UCHAR major, KIRQL irql);
void SpinLockSafe(PIRP irp);
void IrqlCriticalRegion(const char* function, KIRQL irql);
} // namespace rule

} // namespace simk::detail
