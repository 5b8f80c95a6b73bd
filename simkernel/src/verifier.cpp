// The verifier layer: how violations are reported and captured, and one function per rule that
// words the violation for the reader (which rule, which driver, which object).
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "internal.h"

namespace simk::verifier {
namespace {

struct ExpectEntry {
    const Expect* owner;
    std::vector<Violation> captured;
};

struct VerifierState {
    std::mutex lock;
    Handler handler;
    std::vector<ExpectEntry> expects; // innermost last
    std::vector<Violation> history;
};

VerifierState& State()
{
    static VerifierState* state = new VerifierState;
    return *state;
}

void DefaultHandler(const Violation& v)
{
    std::fflush(stdout);
    std::fprintf(stderr, "VERIFIER VIOLATION %s: %s\n", v.rule.c_str(), v.details.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace

struct Recorder::Store {
    std::mutex lock;
    std::vector<Violation> recorded;
};

Handler SetHandler(Handler handler)
{
    std::lock_guard<std::mutex> guard(State().lock);
    Handler previous = std::move(State().handler);
    State().handler = std::move(handler);
    return previous;
}

void Report(const char* rule, const std::string& details)
{
    Violation v{rule, details};
    PDRIVER_OBJECT driver = simk::detail::CurrentDriver();
    if (driver)
        v.details += " [in " + simk::detail::DriverNameForMessages(driver) + "]";
    Handler handler;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        State().history.push_back(v);
        for (auto it = State().expects.rbegin(); it != State().expects.rend(); ++it) {
            if (it->owner->Rule() == v.rule) {
                it->captured.push_back(v);
                return;
            }
        }
        handler = State().handler;
    }
    if (handler) {
        handler(v);
    } else {
        DefaultHandler(v);
    }
}

Expect::Expect(std::string rule) : m_Rule(std::move(rule))
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().expects.push_back({this, {}});
}

Expect::~Expect()
{
    std::lock_guard<std::mutex> guard(State().lock);
    auto& expects = State().expects;
    for (auto it = expects.begin(); it != expects.end(); ++it) {
        if (it->owner == this) {
            expects.erase(it);
            break;
        }
    }
}

size_t Expect::Count() const { return Captured().size(); }

std::vector<Violation> Expect::Captured() const
{
    std::lock_guard<std::mutex> guard(State().lock);
    for (const auto& entry : State().expects) {
        if (entry.owner == this)
            return entry.captured;
    }
    return {};
}

Recorder::Recorder() : m_Store(std::make_shared<Store>())
{
    std::shared_ptr<Store> store = m_Store;
    m_Previous = SetHandler([store](const Violation& v) {
        std::lock_guard<std::mutex> guard(store->lock);
        store->recorded.push_back(v);
    });
}

Recorder::~Recorder() { SetHandler(std::move(m_Previous)); }

std::vector<Violation> Recorder::Take()
{
    std::lock_guard<std::mutex> guard(m_Store->lock);
    std::vector<Violation> taken;
    taken.swap(m_Store->recorded);
    return taken;
}

std::vector<Violation> History()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().history;
}

} // namespace simk::verifier

namespace simk::detail {

void ResetVerifier()
{
    auto& state = simk::verifier::State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.history.clear();
}

namespace rule {
namespace {
namespace rules = simk::verifier::rules;
using simk::verifier::Report;

std::string MajorName(UCHAR major)
{
    static const char* const names[] = {"IRP_MJ_CREATE",
                                        "IRP_MJ_CREATE_NAMED_PIPE",
                                        "IRP_MJ_CLOSE",
                                        "IRP_MJ_READ",
                                        "IRP_MJ_WRITE",
                                        "IRP_MJ_QUERY_INFORMATION",
                                        "IRP_MJ_SET_INFORMATION",
                                        "IRP_MJ_QUERY_EA",
                                        "IRP_MJ_SET_EA",
                                        "IRP_MJ_FLUSH_BUFFERS",
                                        "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                        "IRP_MJ_SET_VOLUME_INFORMATION",
                                        "IRP_MJ_DIRECTORY_CONTROL",
                                        "IRP_MJ_FILE_SYSTEM_CONTROL",
                                        "IRP_MJ_DEVICE_CONTROL",
                                        "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                        "IRP_MJ_SHUTDOWN",
                                        "IRP_MJ_LOCK_CONTROL",
                                        "IRP_MJ_CLEANUP",
                                        "IRP_MJ_CREATE_MAILSLOT",
                                        "IRP_MJ_QUERY_SECURITY",
                                        "IRP_MJ_SET_SECURITY",
                                        "IRP_MJ_POWER",
                                        "IRP_MJ_SYSTEM_CONTROL",
                                        "IRP_MJ_DEVICE_CHANGE",
                                        "IRP_MJ_QUERY_QUOTA",
                                        "IRP_MJ_SET_QUOTA",
                                        "IRP_MJ_PNP"};
    if (major <= IRP_MJ_MAXIMUM_FUNCTION)
        return names[major];
    return "major " + Hex(major);
}

std::string Request(UCHAR major, UCHAR minor)
{
    std::string text = MajorName(major);
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER)
        text += " minor " + Hex(minor);
    return text;
}

} // namespace

void IrqlTooHigh(const char* rule, const char* function, KIRQL current, KIRQL maximum)
{
    std::ostringstream s;
    s << function << " called at IRQL " << (int)current << "; allowed up to " << (int)maximum;
    Report(rule, s.str());
}

void IrqlRaiseToLower(KIRQL current, KIRQL requested)
{
    std::ostringstream s;
    s << "KeRaiseIrql from IRQL " << (int)current << " to the lower IRQL " << (int)requested;
    Report(rules::IrqlKeRaise, s.str());
}

void IrqlLowerToHigher(KIRQL current, KIRQL requested)
{
    std::ostringstream s;
    s << "KeLowerIrql from IRQL " << (int)current << " to the higher IRQL " << (int)requested;
    Report(rules::IrqlKeLower, s.str());
}

void SpinLockReleaseIrql(KIRQL current)
{
    std::ostringstream s;
    s << "KeReleaseSpinLock called at IRQL " << (int)current << " instead of DISPATCH_LEVEL";
    Report(rules::IrqlSpinLockRelease, s.str());
}

void DispatchIrqlChanged(const char* routine, PDEVICE_OBJECT device, KIRQL before, KIRQL after)
{
    std::ostringstream s;
    s << routine << " for " << DescribeDevice(device) << " was called at IRQL " << (int)before
      << " and returned at IRQL " << (int)after;
    Report(rules::DispatchIrqlChanged, s.str());
}

void CriticalRegions(const char* routine, PDEVICE_OBJECT device, ULONG before, ULONG after)
{
    std::ostringstream s;
    s << routine << " for " << DescribeDevice(device) << " entered with " << before
      << " critical region(s) and returned with " << after;
    Report(rules::CriticalRegions, s.str());
}

void IrpDoubleComplete(PIRP irp)
{
    Report(rules::IrpDoubleComplete, "IoCompleteRequest on " + DescribeIrp(irp) + ", which is already completed");
}

void IrpUseAfterComplete(PIRP irp, const char* function)
{
    Report(rules::IrpUseAfterComplete,
           std::string(function) + " on " + DescribeIrp(irp) + " after it was completed or freed");
}

void IrpCompleteWithPending(PIRP irp)
{
    Report(rules::IrpCompleteWithPending,
           "IoCompleteRequest on " + DescribeIrp(irp) + " with IoStatus.Status STATUS_PENDING");
}

void DispatchStatusMismatch(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor, NTSTATUS returned,
                            NTSTATUS completed)
{
    Report(rules::DispatchStatusMismatch, "the dispatch routine of " + DescribeDevice(device) + " completed " +
                                              Request(major, minor) + " (" + DescribeIrp(irp) + ") with " +
                                              StatusText(completed) + " but returned " + StatusText(returned));
}

void DispatchReturnedWithoutCompleting(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor, NTSTATUS returned)
{
    Report(rules::DispatchStatusMismatch, "the dispatch routine of " + DescribeDevice(device) + " returned " +
                                              StatusText(returned) + " for " + Request(major, minor) + " (" +
                                              DescribeIrp(irp) +
                                              ") without completing it and without returning STATUS_PENDING");
}

void MarkIrpPending(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor)
{
    Report(rules::MarkIrpPending, "the dispatch routine of " + DescribeDevice(device) +
                                      " returned STATUS_PENDING for " + Request(major, minor) + " (" +
                                      DescribeIrp(irp) + ") without marking its stack location pending");
}

void MarkIrpPending2(PDEVICE_OBJECT device, PIRP irp, UCHAR major, UCHAR minor, NTSTATUS returned)
{
    Report(rules::MarkIrpPending2, "the dispatch routine of " + DescribeDevice(device) + " marked " +
                                       Request(major, minor) + " (" + DescribeIrp(irp) + ") pending but returned " +
                                       StatusText(returned));
}

void PowerIrpNoStartNext(PDEVICE_OBJECT device, PIRP irp, UCHAR minor)
{
    Report(rules::PowerIrpNoStartNext, DescribeDevice(device) + " completed IRP_MJ_POWER minor " + Hex(minor) + " (" +
                                           DescribeIrp(irp) + ") without calling PoStartNextPowerIrp first");
}

void BadIrpFree(PIRP irp, const char* why)
{
    Report(rules::BadIrpFree, "IoFreeIrp on " + DescribeIrp(irp) + ": " + why);
}

void InvalidDeviceObject(const void* device, const char* function)
{
    Report(rules::InvalidDeviceObject, std::string(function) + " on " + Hex((uintptr_t)device) +
                                           ", which is not a device object (or was already freed)");
}

void IrpToDeletedDevice(PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    Report(rules::IrpToDeletedDevice, "a request (major " + Hex(major) + " minor " + Hex(minor) + ") sent to " +
                                          DescribeDevice(device) + ", which IoDeleteDevice already deleted");
}

void RemoveLockUnbalanced(const void* lock, const char* function)
{
    Report(rules::RemoveLockUnbalanced, std::string(function) + " on the remove lock at " + Hex((uintptr_t)lock) +
                                            ", which the caller does not hold");
}

void BufferedIoOverrun(PDEVICE_OBJECT device, ULONG code, ULONG_PTR information, ULONG outputLength)
{
    Report(rules::BufferedIoOverrun, DescribeDevice(device) + " completed control code " + Hex(code) +
                                         " with Information " + std::to_string(information) +
                                         ", more than the output buffer's " + std::to_string(outputLength) + " bytes");
}

void PoolFreeWrongTag(const void* address, ULONG tag, ULONG expected)
{
    Report(rules::PoolFreeWrongTag, "ExFreePoolWithTag(" + Hex((uintptr_t)address) + ", '" + simk::TagText(tag) +
                                        "') on an allocation tagged '" + simk::TagText(expected) + "'");
}

void PoolFreeUnknown(const void* address)
{
    Report(rules::PoolFreeUnknown,
           "ExFreePool(" + Hex((uintptr_t)address) + "): not the start of an outstanding pool allocation");
}

void PoolZeroSize(ULONG tag)
{
    Report(rules::PoolZeroSize, "ExAllocatePoolWithTag of zero bytes with tag '" + simk::TagText(tag) + "'");
}

void ObjectHandleNotKernel(const char* function)
{
    Report(rules::ObjectHandleNotKernel, std::string(function) +
                                             " without OBJ_KERNEL_HANDLE: the handle is the current process's, "
                                             "which its user can use");
}

void PoolTypeUnknownToSystem(POOL_TYPE type, ULONG tag)
{
    Report(rules::BadPoolCaller, "ExAllocatePoolWithTag with pool type " + std::to_string(type) + " (tag '" +
                                     simk::TagText(tag) + "'), which this Windows version does not have");
}

void PoolOverrun(const void* address, ULONG tag, size_t size)
{
    Report(rules::PoolOverrun, "bytes written past the end of pool allocation " + Hex((uintptr_t)address) + " ('" +
                                   simk::TagText(tag) + "', " + std::to_string(size) + " bytes)");
}

void PoolFreeHeldLock(const void* address, ULONG tag)
{
    Report(rules::PoolFreeHeldLock, "pool allocation " + Hex((uintptr_t)address) + " ('" + simk::TagText(tag) +
                                        "') freed while a lock inside it is held");
}

void FastMutexRecursion(const void* mutex)
{
    Report(rules::FastMutexRecursion,
           "fast mutex " + Hex((uintptr_t)mutex) + " acquired again by the thread that holds it");
}

void FastMutexWrongOwner(const void* mutex, bool owned)
{
    Report(rules::FastMutexWrongOwner, "fast mutex " + Hex((uintptr_t)mutex) +
                                           " released by a thread that does not own it" +
                                           (owned ? "" : " (it is not held at all)"));
}

void FastMutexMismatchedRelease(const void* mutex, bool acquiredUnsafe)
{
    Report(rules::FastMutexMismatchedRelease, "fast mutex " + Hex((uintptr_t)mutex) + " acquired with " +
                                                  (acquiredUnsafe ? "ExAcquireFastMutexUnsafe" : "ExAcquireFastMutex") +
                                                  " but released with " +
                                                  (acquiredUnsafe ? "ExReleaseFastMutex" : "ExReleaseFastMutexUnsafe"));
}

void FastMutexUnsafeApcsEnabled(const void* mutex)
{
    Report(rules::FastMutexUnsafeApcsEnabled,
           "ExAcquireFastMutexUnsafe(" + Hex((uintptr_t)mutex) + ") outside a critical region and below APC_LEVEL");
}

void DeadlockLockOrder(const void* held, const void* acquiring)
{
    Report(rules::DeadlockLockOrder, "lock " + Hex((uintptr_t)acquiring) + " acquired while holding lock " +
                                         Hex((uintptr_t)held) + ", after they were once taken in the opposite order");
}

void InvalidDispatcherObject(const void* object, const char* function)
{
    Report(rules::InvalidDispatcherObject,
           std::string(function) + " on " + Hex((uintptr_t)object) + ", which is not an initialised event");
}

void DeleteDeviceTwice(PDEVICE_OBJECT device)
{
    Report(rules::DeleteDeviceTwice, "IoDeleteDevice on " + DescribeDevice(device) + ", which is already deleted");
}

void DeleteDeviceStillAttached(PDEVICE_OBJECT device, PDEVICE_OBJECT lower)
{
    Report(rules::DeleteDeviceStillAttached, "IoDeleteDevice on " + DescribeDevice(device) +
                                                 ", which is still attached to " + DescribeDevice(lower) +
                                                 " (IoDetachDevice first)");
}

void DeleteDeviceWithAttachedDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT upper)
{
    Report(rules::DeleteDeviceWithAttachedDevice,
           "IoDeleteDevice on " + DescribeDevice(device) + " while " + DescribeDevice(upper) + " is attached to it");
}

void DetachNotAttached(PDEVICE_OBJECT device)
{
    Report(rules::DetachNotAttached, "IoDetachDevice on " + DescribeDevice(device) + ", which has no attached device");
}

void ObjectReferenceImbalance(const void* object, const std::string& what)
{
    Report(rules::ObjectReferenceImbalance, "object " + Hex((uintptr_t)object) + ": " + what);
}

void ObjectReferenceUnknown(const void* object, const char* function)
{
    Report(rules::ObjectReferenceUnknown,
           std::string(function) + " on " + Hex((uintptr_t)object) + ", which is not a live kernel object");
}

void PoolLeakOnUnload(PDRIVER_OBJECT driver, const std::vector<simk::pool::Allocation>& leaked, const char* when)
{
    Report(rules::PoolLeakOnUnload, DriverNameForMessages(driver) + " " + when + " with " +
                                        std::to_string(leaked.size()) + " pool allocation(s) outstanding:\n" +
                                        simk::pool::Describe(leaked));
}

void DeviceObjectLeakOnUnload(PDRIVER_OBJECT driver, const std::vector<PDEVICE_OBJECT>& devices, const char* when)
{
    std::string list;
    for (PDEVICE_OBJECT d : devices)
        list += "\n  " + DescribeDevice(d);
    Report(rules::DeviceObjectLeakOnUnload, DriverNameForMessages(driver) + " " + when + " with " +
                                                std::to_string(devices.size()) +
                                                " device object(s) not deleted:" + list);
}

void SymbolicLinkLeakOnUnload(PDRIVER_OBJECT driver, const std::vector<std::u16string>& links, const char* when)
{
    std::string list;
    for (const auto& l : links)
        list += "\n  " + simk::Narrow(l);
    Report(rules::SymbolicLinkLeakOnUnload, DriverNameForMessages(driver) + " " + when + " with " +
                                                std::to_string(links.size()) + " symbolic link(s) not deleted:" + list);
}

void NotificationLeakOnUnload(PDRIVER_OBJECT driver, size_t registrations, const char* when)
{
    Report(rules::NotificationLeakOnUnload, DriverNameForMessages(driver) + " " + when + " with " +
                                                std::to_string(registrations) +
                                                " Plug and Play notification registration(s) not unregistered");
}

void NotificationEntryUnknown(const void* entry, const char* function)
{
    Report(rules::NotificationEntryUnknown, std::string(function) + " of " + Hex(reinterpret_cast<uintptr_t>(entry)) +
                                                ", which is no registration (never made, or unregistered already)");
}

void CriticalRegionLeftUnentered()
{
    Report(rules::CriticalRegions, "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
}

void SpinLockAtDpcLevelTooLow() { Report(rules::IrqlSpinLock, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL"); }

void HandleLeak(PDRIVER_OBJECT driver, const std::u16string& keyPath)
{
    Report(rules::HandleLeak,
           DriverNameForMessages(driver) + " unloads with a key handle open: " + simk::Narrow(keyPath));
}

void InvalidKernelHandle(HANDLE handle)
{
    char details[96];
    std::snprintf(details, sizeof(details), "ZwClose of handle %p, which is not open", handle);
    Report(rules::InvalidKernelHandle, details);
}

void PdoDeletedWhileReported(const std::string& node)
{
    Report(rules::PdoDeletedWhileReported,
           "IoDeleteDevice on the PDO of " + node +
               " before its final removal: its bus still reports it, or Plug and Play has not removed it yet");
}

void PdoChangedAnsweredStatus(UCHAR major, UCHAR minor, NTSTATUS completed, NTSTATUS answered)
{
    char details[200];
    std::snprintf(details, sizeof(details),
                  "the PDO completed major 0x%02X minor 0x%02X with 0x%08X over the answer 0x%08X a driver above gave",
                  major, minor, static_cast<unsigned>(completed), static_cast<unsigned>(answered));
    Report(rules::PdoChangedAnsweredStatus, details);
}

void PdoChangedUnansweredStatus(UCHAR major, UCHAR minor, NTSTATUS completed)
{
    char details[200];
    std::snprintf(details, sizeof(details),
                  "the PDO completed major 0x%02X minor 0x%02X, which nobody answered, with 0x%08X instead of "
                  "leaving its status as it came",
                  major, minor, static_cast<unsigned>(completed));
    Report(rules::PdoChangedUnansweredStatus, details);
}

void PowerPagableInconsistent(const std::string& node, PDEVICE_OBJECT upper, PDEVICE_OBJECT lower)
{
    Report(rules::PowerPagableInconsistent, "in the stack of " + node + ", " + DescribeDevice(upper) +
                                                " is not DO_POWER_PAGABLE above the pageable " + DescribeDevice(lower));
}

void DuplicateRelation(const std::string& node)
{
    Report(rules::DuplicateRelation, "relations of " + node + " list one device twice");
}

void ForeignRelation(const std::string& node)
{
    Report(rules::ForeignRelation, "bus relations of " + node + " list a device of another parent");
}

void DuplicateDeviceInstance(const std::u16string& instancePath)
{
    Report(rules::DuplicateDeviceInstance, "two devices report the instance path " + simk::Narrow(instancePath));
}

void InvalidTargetRelation(const std::string& node)
{
    Report(rules::InvalidTargetRelation, "the target relation of " + node + " is not its PDO alone");
}

void InvalidPdo(const char* function)
{
    Report(rules::InvalidPdo, std::string(function) + " on a device object that is not a PDO");
}

void IrpNeverCompleted(UCHAR major, UCHAR minor, NTSTATUS returned)
{
    char details[160];
    std::snprintf(details, sizeof(details), "major 0x%02X minor 0x%02X returned 0x%08X and was never completed", major,
                  minor, static_cast<unsigned>(returned));
    Report(rules::IrpNeverCompleted, details);
}

void RootDeviceCreation() { Report(rules::RootDeviceCreation, "IoCreateDevice failed for a root device"); }

namespace {
void MustNotFail(const char* rule, const std::string& node, NTSTATUS status, const char* after)
{
    char details[160];
    std::snprintf(details, sizeof(details), "status 0x%08X from %s", static_cast<unsigned>(status), node.c_str());
    Report(rule, after ? std::string(details) + ", after " + after : std::string(details));
}
} // namespace

void IrpFailedRemoveDevice(const std::string& node, NTSTATUS status, const char* after)
{
    MustNotFail(rules::IrpFailedRemoveDevice, node, status, after);
}

void IrpFailedCancelRemove(const std::string& node, NTSTATUS status, const char* after)
{
    MustNotFail(rules::IrpFailedCancelRemove, node, status, after);
}

void IrpFailedSurpriseRemoval(const std::string& node, NTSTATUS status, const char* after)
{
    MustNotFail(rules::IrpFailedSurpriseRemoval, node, status, after);
}

void IrpFailedStopDevice(const std::string& node, NTSTATUS status, const char* after)
{
    MustNotFail(rules::IrpFailedStopDevice, node, status, after);
}

void IrpFailedCancelStop(const std::string& node, NTSTATUS status, const char* after)
{
    MustNotFail(rules::IrpFailedCancelStop, node, status, after);
}

void PowerSystemSetFailed(const std::string& node, SYSTEM_POWER_STATE state, NTSTATUS status)
{
    char details[160];
    std::snprintf(details, sizeof(details), "system set-power to S%d completed with 0x%08X by %s",
                  static_cast<int>(state) - 1, static_cast<unsigned>(status), node.c_str());
    Report(rules::PowerSystemSetFailed, details);
}

void RemoveLockWrongTag(const void* lock, const void* tag, const std::string& held)
{
    Report(rules::RemoveLockWrongTag, "IoReleaseRemoveLock on the remove lock at " + Hex((uintptr_t)lock) +
                                          " with tag " + Hex((uintptr_t)tag) +
                                          ", which no IoAcquireRemoveLock of that lock used; held: " + held);
}

void RemoveLockDoubleRelease(const void* lock, const void* tag, const char* function)
{
    Report(rules::RemoveLockUnbalanced, std::string(function) + " on the remove lock at " + Hex((uintptr_t)lock) +
                                            " with tag " + Hex((uintptr_t)tag) +
                                            ", released more often than it was acquired");
}

void RemoveLockNeverReleased(const void* lock, const std::string& held)
{
    Report(rules::RemoveLockNeverReleased, "IoReleaseRemoveLockAndWait on the remove lock at " + Hex((uintptr_t)lock) +
                                               " would wait for ever: acquisitions never released: " + held);
}

void RemoveLockWaitOutsideRemove(const void* lock)
{
    Report(rules::RemoveLockWaitOutsideRemove, "IoReleaseRemoveLockAndWait on the remove lock at " +
                                                   Hex((uintptr_t)lock) +
                                                   " outside the handling of IRP_MN_REMOVE_DEVICE");
}

void MultRemoveLock(PDEVICE_OBJECT device, const void* lock, const void* other)
{
    Report(rules::MultRemoveLock, "a second remove lock at " + Hex((uintptr_t)lock) + " for " + DescribeDevice(device) +
                                      ", which already has the one at " + Hex((uintptr_t)other));
}

void RemoveLockForward(PDEVICE_OBJECT device, const void* lock, PIRP irp, UCHAR major, UCHAR minor)
{
    Report(rules::RemoveLockForward, DescribeDevice(device) + " passed " + Request(major, minor) + " (" +
                                         DescribeIrp(irp) + ") down without holding its remove lock at " +
                                         Hex((uintptr_t)lock) + " for it");
}

void LockInitializedTwice(const char* kind, const void* lock, const char* why)
{
    Report(rules::LockInitializedTwice,
           std::string(kind) + " at " + Hex((uintptr_t)lock) + " initialised again while " + why);
}

void LockNotInitialized(const char* kind, const void* lock, const char* function)
{
    Report(rules::LockNotInitialized,
           std::string(function) + " on the " + kind + " at " + Hex((uintptr_t)lock) + ", which was never initialised");
}

void PoSetPowerStateType(PDEVICE_OBJECT device, POWER_STATE_TYPE type, ULONG value)
{
    Report(rules::PoSetPowerStateType,
           "PoSetPowerState for " + DescribeDevice(device) + " with " +
               (type == DevicePowerState ? "DevicePowerState and the value " + std::to_string(value)
                                         : "type " + std::to_string(type) + " (drivers report DevicePowerState)") +
               "; drivers report a DEVICE_POWER_STATE from PowerDeviceD0 to PowerDeviceD3");
}

void IrqlPoSetPowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state, KIRQL irql)
{
    std::ostringstream s;
    s << "PoSetPowerState(D" << (int)state - 1 << ") for " << DescribeDevice(device) << " at IRQL " << (int)irql
      << "; allowed up to APC_LEVEL, DISPATCH_LEVEL only for D0 on a device that is not DO_POWER_PAGABLE";
    Report(rules::IrqlPoSetPowerState, s.str());
}

void CheckDeviceObjectFlags(const std::string& node, PDEVICE_OBJECT child, PDEVICE_OBJECT parent)
{
    Report(rules::CheckDeviceObjectFlags, "in the stack of " + node + ", " + DescribeDevice(child) +
                                              " is not DO_POWER_PAGABLE but its parent's " + DescribeDevice(parent) +
                                              " is: a parent must not be pageable for power when a child is not");
}

void DeleteDeviceRequestBelow(PDEVICE_OBJECT device, PIRP irp)
{
    Report(rules::DeleteDeviceRequestBelow, "IoDeleteDevice on " + DescribeDevice(device) + " while " +
                                                DescribeIrp(irp) +
                                                ", which it sent down with a completion routine, is still below it");
}

void ForwardedAtBadIrql(PDEVICE_OBJECT target, UCHAR major, KIRQL irql)
{
    std::ostringstream s;
    s << "IoCallDriver of " << MajorName(major) << " to " << DescribeDevice(target) << " at IRQL " << (int)irql
      << "; only power, read, write and device control requests may be sent at DISPATCH_LEVEL";
    Report(rules::ForwardedAtBadIrql, s.str());
}

void SpinLockSafe(PIRP irp)
{
    Report(rules::SpinLockSafe, "IoCompleteRequest on " + DescribeIrp(irp) + " while the caller holds a spin lock");
}

void IrqlCriticalRegion(const char* function, KIRQL irql)
{
    IrqlTooHigh(rules::IrqlCriticalRegion, function, irql, APC_LEVEL);
}

} // namespace rule
} // namespace simk::detail
