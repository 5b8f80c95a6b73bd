// The verifier of the simulated kernel: every rule the kernel checks reports through here, under
// the rule's name. By default a violation prints "VERIFIER VIOLATION <rule>: <details>" and aborts;
// tests install a handler, or capture an expected violation with Expect.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace simk::verifier {

// Every rule the kernel checks, by name; the kernel's verifier layer (src/verifier.cpp) words each
// through a function of its own, and nothing reports a rule that is not listed here.
namespace rules {
// IRQL
constexpr const char* IrqlIoPassive = "IrqlIoPassive1";     // I/O manager routines at PASSIVE_LEVEL only
constexpr const char* IrqlIoDispatch = "IrqlIoDispatchLte"; // IofCallDriver / IofCompleteRequest above DISPATCH_LEVEL
constexpr const char* IrqlZwPassive = "IrqlZwPassive";      // Zw* and registry keys at PASSIVE_LEVEL only
constexpr const char* IrqlPagedPool = "IrqlPagedPool";      // paged pool above APC_LEVEL
constexpr const char* IrqlExAllocatePool = "IrqlExAllocatePool"; // any pool above DISPATCH_LEVEL
constexpr const char* IrqlFastMutex = "IrqlExApcLte1";           // ExAcquire/ReleaseFastMutex above APC_LEVEL
constexpr const char* FastMutexUnsafeApcsEnabled = "FastMutexUnsafeApcsEnabled"; // ExAcquireFastMutexUnsafe, APCs on
constexpr const char* IrqlKeWait = "IrqlKeWaitForSingleObject"; // waiting at DISPATCH_LEVEL with a non-zero timeout
constexpr const char* IrqlKeRaise = "IrqlKeRaiseIrql";          // KeRaiseIrql to a lower level
constexpr const char* IrqlKeLower = "IrqlKeLowerIrql";          // KeLowerIrql to a higher level
constexpr const char* IrqlSpinLock = "IrqlKeDispatchLte";       // spin lock acquired above DISPATCH_LEVEL
constexpr const char* IrqlSpinLockRelease = "IrqlKeReleaseSpinLock"; // release not at DISPATCH_LEVEL
constexpr const char* DispatchIrqlChanged =
    "DispatchIrqlChanged";                                 // dispatch/completion routine returned at another IRQL
constexpr const char* CriticalRegions = "CriticalRegions"; // dispatch routine left critical regions unbalanced
// IRPs
constexpr const char* IrpDoubleComplete = "IrpDoubleComplete";
constexpr const char* IrpUseAfterComplete = "IrpUseAfterComplete";
constexpr const char* IrpCompleteWithPending = "IrpCompleteStatusPending";
constexpr const char* DispatchStatusMismatch = "DispatchStatusMismatch";
constexpr const char* MarkIrpPending = "MarkIrpPending";   // returned STATUS_PENDING without IoMarkIrpPending
constexpr const char* MarkIrpPending2 = "MarkIrpPending2"; // marked pending, returned another status
constexpr const char* PowerIrpNoStartNext = "PowerIrpNoStartNext";
constexpr const char* BadIrpFree = "BadIrpFree";                   // IoFreeIrp of an IRP in flight or freed twice
constexpr const char* InvalidDeviceObject = "InvalidDeviceObject"; // call to a freed or unknown device object
constexpr const char* BufferedIoOverrun = "BufferedIoOverrun";     // Information beyond the output buffer
// Pool
constexpr const char* PoolFreeWrongTag = "PoolFreeWrongTag";
constexpr const char* PoolFreeUnknown = "PoolFreeUnknown"; // freeing memory that is not a live allocation
constexpr const char* PoolZeroSize = "PoolZeroSizeAllocation";
constexpr const char* BadPoolCaller = "BadPoolCaller"; // a pool type the running system does not have
// A driver opened a handle without OBJ_KERNEL_HANDLE: it lands in the current process's table.
constexpr const char* ObjectHandleNotKernel = "KernelHandleRequired";
constexpr const char* PoolOverrun = "PoolOverrun";           // bytes written past the end of an allocation
constexpr const char* PoolFreeHeldLock = "PoolFreeHeldLock"; // freeing memory that holds an acquired lock
// Locks
constexpr const char* FastMutexRecursion = "FastMutexRecursion";
constexpr const char* FastMutexWrongOwner = "FastMutexWrongOwner";
constexpr const char* FastMutexMismatchedRelease = "FastMutexMismatchedRelease"; // safe/unsafe forms mixed
constexpr const char* DeadlockLockOrder = "DeadlockLockOrder";
constexpr const char* InvalidDispatcherObject = "InvalidDispatcherObject";
// Objects and devices
constexpr const char* DeleteDeviceTwice = "DeleteDeviceTwice";
constexpr const char* IrpToDeletedDevice = "IoCallDriverDeletedDevice"; // a request sent to a deleted device object
constexpr const char* RemoveLockUnbalanced = "RemoveLockUnbalanced";    // released more often than acquired
// Plug and Play
constexpr const char* PdoDeletedWhileReported = "PnpPdoDeletedWhileReported";   // before its final removal
constexpr const char* PdoChangedAnsweredStatus = "PnpPdoChangedAnsweredStatus"; // overwrote an upper driver's answer
// Completed a request nobody answered, which it does not handle, with a status of its own.
constexpr const char* PdoChangedUnansweredStatus = "PnpPdoChangedUnansweredStatus";
constexpr const char* PowerPagableInconsistent = "PowerPagableInconsistent";   // non-pageable above pageable
constexpr const char* DeleteDeviceStillAttached = "DeleteDeviceStillAttached"; // not detached from its lower device
// Not reported: deleting a PDO while the function device is still attached is the normal removal order.
constexpr const char* DeleteDeviceWithAttachedDevice = "DeleteDeviceWithAttachedDevice";
constexpr const char* DetachNotAttached = "DetachNotAttached";
constexpr const char* ObjectReferenceImbalance = "ObjectReferenceImbalance";
constexpr const char* ObjectReferenceUnknown = "ObReferenceBadObject";
// Plug and Play requests the manager sends (the manager's own checks, no Driver Verifier names)
constexpr const char* DuplicateRelation = "PnpDuplicateRelation"; // a relations reply lists one device twice
constexpr const char* ForeignRelation = "PnpForeignRelation";     // bus relations list another bus's child
constexpr const char* DuplicateDeviceInstance = "PnpDuplicateDeviceInstance"; // two devices, one instance path
// IRP_MN_QUERY_DEVICE_RELATIONS: for TargetDeviceRelation the bus driver returns the PDO alone.
constexpr const char* InvalidTargetRelation = "PnpInvalidTargetRelation";
// IoInvalidateDeviceRelations on a device object that is not a PDO (Windows: PNP_DETECTED_FATAL_ERROR).
constexpr const char* InvalidPdo = "PnpInvalidPdo";
constexpr const char* IrpNeverCompleted = "PnpIrpNeverCompleted";   // held past the manager's timeout
constexpr const char* RootDeviceCreation = "PnpRootDeviceCreation"; // the kernel's own fault: no root PDO
// Requests Windows does not let a driver fail.
constexpr const char* IrpFailedRemoveDevice = "PnpIrpFailedRemoveDevice";
constexpr const char* IrpFailedCancelRemove = "PnpIrpFailedCancelRemove";
constexpr const char* IrpFailedSurpriseRemoval = "PnpIrpFailedSurpriseRemoval";
constexpr const char* IrpFailedStopDevice = "PnpIrpFailedStopDevice";
constexpr const char* IrpFailedCancelStop = "PnpIrpFailedCancelStop";
constexpr const char* PowerSystemSetFailed = "PowerSystemSetFailed"; // IRP_MN_SET_POWER for a system state
// Power requests as the power manager sends them, and a stack's power policy owner (Static Driver
// Verifier's names where it has one)
// A system power IRP held past the power manager's watchdog (Windows: DRIVER_POWER_STATE_FAILURE 0x3).
constexpr const char* SystemPowerIrpTimeout = "DriverPowerStateFailure";
// The power policy owner completed a system set-power to a sleeping state, or to S0, without asking
// for its device's set-power (MarkPowerDown, and MarkPower / MarkDevicePower for S0).
constexpr const char* MarkPowerDown = "MarkPowerDown";
constexpr const char* MarkDevicePower = "MarkDevicePower";
// A function or filter driver allocated pool while handling a system set-power to a sleeping state.
constexpr const char* PowerDownAllocate = "PowerDownAllocate";
// A routine callable only at PASSIVE_LEVEL, called while handling IRP_MN_SET_POWER.
constexpr const char* PowerIrpDDIs = "PowerIrpDDIs";
// Registry and kernel handles
constexpr const char* HandleLeak = "HandleLeak"; // a driver unloads with a registry key handle open
// ZwClose of a handle that is not open (Windows stops with INVALID_KERNEL_HANDLE).
constexpr const char* InvalidKernelHandle = "InvalidKernelHandle";
// Unload
constexpr const char* PoolLeakOnUnload = "PoolLeakOnUnload";
constexpr const char* DeviceObjectLeakOnUnload = "DeviceObjectLeakOnUnload";
constexpr const char* SymbolicLinkLeakOnUnload = "SymbolicLinkLeakOnUnload";
// A Plug and Play notification registration left behind; its callback would run in a gone image.
constexpr const char* NotificationLeakOnUnload = "PnpNotificationLeakOnUnload";
// IoUnregisterPlugPlayNotification(Ex) of an entry not registered, or already unregistered.
constexpr const char* NotificationEntryUnknown = "PnpNotificationEntryUnknown";
// Remove locks, the power state a driver reports, and the I/O rules around them. Named as Static
// Driver Verifier or Driver Verifier names the rule where one does; the rest are this kernel's.
// IoReleaseRemoveLock with a tag no acquisition of that lock is holding (never acquired with it).
constexpr const char* RemoveLockWrongTag = "RemoveLockReleaseWrongTag";
// IoReleaseRemoveLockAndWait that would wait for ever: the tags still held are named.
constexpr const char* RemoveLockNeverReleased = "RemoveLockNeverReleased";
// IoCallDriver of a request the caller received, by a device whose remove lock holds nothing for it.
constexpr const char* RemoveLockForward = "RemoveLockForward";
// IoReleaseRemoveLockAndWait anywhere but in the handling of IRP_MN_REMOVE_DEVICE.
constexpr const char* RemoveLockWaitOutsideRemove = "IoReleaseRemoveLockAndWaitOutsideRemoveDevice";
constexpr const char* MultRemoveLock = "MultRemoveLock"; // a second remove lock in one device's memory
// A remove lock, fast mutex or spin lock initialised again while it is in use.
constexpr const char* LockInitializedTwice = "LockInitializedTwice";
// A remove lock or fast mutex used without ever being initialised.
constexpr const char* LockNotInitialized = "LockNotInitialized";
constexpr const char* PoSetPowerStateType = "PoSetPowerStateDeviceStateOnly"; // a system state, or no D0..D3
constexpr const char* IrqlPoSetPowerState = "IrqlPoSetPowerState"; // above APC_LEVEL, or DISPATCH_LEVEL but not D0
// A device is not pageable for power below a parent device that is (Driver Verifier checks the flags).
constexpr const char* CheckDeviceObjectFlags = "CheckDeviceObjectFlags";
// IoDeleteDevice while a request the device sent down will still call its completion routine.
constexpr const char* DeleteDeviceRequestBelow = "DeleteDevice";
constexpr const char* ForwardedAtBadIrql = "ForwardedAtBadIrql"; // IoCallDriver at DISPATCH_LEVEL, not power/I-O
constexpr const char* SpinLockSafe = "SpinLockSafe";             // IoCompleteRequest with a spin lock held
constexpr const char* IrqlCriticalRegion = "IrqlKeApcLte2";      // Ke(Enter|Leave)CriticalRegion above APC_LEVEL
} // namespace rules

struct Violation {
    std::string rule;
    std::string details;
};

using Handler = std::function<void(const Violation&)>;

// Installs the handler for violations no Expect captures; an empty handler restores the default
// (print and abort). Returns the previous handler.
Handler SetHandler(Handler handler);

// Where every rule's report arrives; the kernel itself reports only through its rule functions.
void Report(const char* rule, const std::string& details);

// While alive, violations of `rule` (from any thread) are captured here instead of reaching the
// handler. Scopes nest; the innermost matching one captures.
class Expect
{
public:
    explicit Expect(std::string rule);
    ~Expect();
    Expect(const Expect&) = delete;
    Expect& operator=(const Expect&) = delete;

    size_t Count() const;
    bool Seen() const { return Count() > 0; }
    std::vector<Violation> Captured() const;
    const std::string& Rule() const { return m_Rule; }

private:
    std::string m_Rule;
};

// Installs a handler that records every violation not captured by an Expect; restores the previous
// handler on destruction.
class Recorder
{
public:
    Recorder();
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;
    std::vector<Violation> Take();

    struct Store;

private:
    Handler m_Previous;
    std::shared_ptr<Store> m_Store;
};

// Every violation reported since the last reset (captured or not), for diagnostics.
std::vector<Violation> History();

} // namespace simk::verifier
