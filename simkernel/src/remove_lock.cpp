// Remove locks, as the I/O manager exports them: a count of requests in flight through a device
// and the one-way "removed" switch that makes further acquisitions fail while removal waits.
// Each lock also remembers its acquisitions by tag, as the checked build's remove lock does, so
// a release with a tag nobody acquired with, a release once too often, a request forwarded with
// nothing held for it and a removal that would wait for ever are named instead of showing up as
// a count gone wrong or a hang.
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "internal.h"
#include "pnp_internal.h"

using namespace simk::detail;

namespace {

struct LockState {
    PDEVICE_OBJECT device = nullptr;    // the device whose memory holds the lock, if any
    std::map<const void*, long> held;   // tag -> acquisitions not yet released
    std::set<const void*> releasedTags; // tags whose every acquisition was released
    bool removed = false;               // IoReleaseRemoveLockAndWait has run
};

std::mutex& LocksMutex()
{
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::map<const void*, LockState>& Locks()
{
    static auto* locks = new std::map<const void*, LockState>;
    return *locks;
}

std::string HeldText(const LockState& state)
{
    if (state.held.empty())
        return "none";
    std::ostringstream s;
    const char* separator = "";
    for (const auto& [tag, count] : state.held) {
        s << separator << "tag " << tag << " (" << count << ")";
        separator = ", ";
    }
    return s.str();
}

// Takes one acquisition of `tag` off the lock's record; reports and returns false when there is
// none to take. The caller holds LocksMutex and releases it before reporting, so it passes the
// report back instead.
enum class Taken { Ok, WrongTag, Twice };
Taken TakeAcquisition(LockState& state, const void* tag)
{
    auto it = state.held.find(tag);
    if (it == state.held.end())
        return state.releasedTags.count(tag) ? Taken::Twice : Taken::WrongTag;
    if (--it->second == 0) {
        state.held.erase(it);
        state.releasedTags.insert(tag);
    }
    return Taken::Ok;
}

bool ReportTaken(Taken taken, const void* lock, const void* tag, const std::string& held, const char* function)
{
    if (taken == Taken::WrongTag)
        rule::RemoveLockWrongTag(lock, tag, held);
    else if (taken == Taken::Twice)
        rule::RemoveLockDoubleRelease(lock, tag, function);
    return taken == Taken::Ok;
}

} // namespace

namespace simk::detail {

void ForgetRemoveLocksIn(const void* begin, size_t size)
{
    const char* b = static_cast<const char*>(begin);
    std::lock_guard<std::mutex> guard(LocksMutex());
    auto& locks = Locks();
    for (auto it = locks.lower_bound(b); it != locks.end() && static_cast<const char*>(it->first) < b + size;)
        it = locks.erase(it);
}

void ResetRemoveLocks()
{
    std::lock_guard<std::mutex> guard(LocksMutex());
    Locks().clear();
}

const void* RemoveLockNotHeldFor(PDEVICE_OBJECT device, PIRP irp)
{
    std::lock_guard<std::mutex> guard(LocksMutex());
    for (const auto& [lock, state] : Locks()) {
        if (state.device == device && !state.removed && state.held.find(irp) == state.held.end())
            return lock;
    }
    return nullptr;
}

} // namespace simk::detail

extern "C" {

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG)
{
    PDEVICE_OBJECT device = DeviceContaining(Lock);
    bool inUse = false;
    const void* other = nullptr;
    {
        std::lock_guard<std::mutex> guard(LocksMutex());
        for (const auto& [lock, state] : Locks()) {
            if (device && lock != Lock && state.device == device)
                other = lock;
        }
        auto it = Locks().find(Lock);
        // Once removed, the lock's memory goes with its device; a lock still live is in use.
        inUse = it != Locks().end() && !it->second.removed;
        LockState& state = Locks()[Lock];
        state = LockState{};
        state.device = device;
    }
    if (inUse)
        rule::LockInitializedTwice("remove lock", Lock, "it is in use (its removal has not run)");
    // One lock per device: with two, a request may be let through one while the removal waits on
    // the other.
    if (other)
        rule::MultRemoveLock(device, Lock, other);
    Lock->Common.Removed = FALSE;
    // The bias the removal drops in IoReleaseRemoveLockAndWait.
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR, ULONG, ULONG)
{
    bool known;
    {
        std::lock_guard<std::mutex> guard(LocksMutex());
        known = Locks().count(RemoveLock) != 0;
    }
    if (!known) {
        rule::LockNotInitialized("remove lock", RemoveLock, "IoAcquireRemoveLock");
        return STATUS_DELETE_PENDING;
    }
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    // Read and written atomically here, so the race the design allows (an acquisition reading the
    // switch while the removal sets it) is not reported as a data race.
    if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
        std::lock_guard<std::mutex> guard(LocksMutex());
        Locks()[RemoveLock].held[Tag]++;
        return STATUS_SUCCESS;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG)
{
    Taken taken;
    std::string held;
    {
        std::lock_guard<std::mutex> guard(LocksMutex());
        auto it = Locks().find(RemoveLock);
        if (it == Locks().end()) {
            taken = Taken::WrongTag;
        } else {
            taken = TakeAcquisition(it->second, Tag);
            held = HeldText(it->second);
        }
    }
    // A release that matches no acquisition would take a count another request holds.
    if (!ReportTaken(taken, RemoveLock, Tag, held, "IoReleaseRemoveLock"))
        return;
    const LONG left = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (left < 0 || (left == 0 && !__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST))) {
        rule::RemoveLockUnbalanced(RemoveLock, "IoReleaseRemoveLock");
        return;
    }
    if (left == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG)
{
    RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "IoReleaseRemoveLockAndWait");
    // Only the removal may wait for the requests in flight: anywhere else the wait can meet a
    // request that waits for the caller.
    if (!DispatchingRemoveDevice())
        rule::RemoveLockWaitOutsideRemove(RemoveLock);
    Taken taken;
    std::string held;
    {
        std::lock_guard<std::mutex> guard(LocksMutex());
        auto it = Locks().find(RemoveLock);
        if (it == Locks().end()) {
            taken = Taken::WrongTag;
        } else {
            taken = TakeAcquisition(it->second, Tag);
            it->second.removed = true;
            held = HeldText(it->second);
        }
    }
    if (!ReportTaken(taken, RemoveLock, Tag, held, "IoReleaseRemoveLockAndWait"))
        return;
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    // The caller's own acquisition, then the bias: what is left are requests still in flight.
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) <= 0) {
        rule::RemoveLockUnbalanced(RemoveLock, "IoReleaseRemoveLockAndWait");
        return;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) <= 0)
        return;
    // Windows waits here for ever when an acquisition is never released; the removal would hang
    // with no rule named. Waiting as long as the Plug and Play manager waits for a request, then
    // naming the tags still held, turns the hang into a report.
    const auto timeout = simk::pnp::detail::PendingTimeout();
    if (WaitKernelEvent(&RemoveLock->Common.RemoveEvent, timeout.count()))
        return;
    {
        std::lock_guard<std::mutex> guard(LocksMutex());
        auto it = Locks().find(RemoveLock);
        held = it == Locks().end() ? "none" : HeldText(it->second);
    }
    rule::RemoveLockNeverReleased(RemoveLock, held);
}

} // extern "C"
