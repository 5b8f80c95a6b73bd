// The kernel's synchronisation: per-thread IRQL and critical regions, events and waits, fast mutexes
// and spin locks, with the lock-order graph the deadlock rule is checked against.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "internal.h"

namespace simk::detail {
namespace {

struct ThreadState;

// One lock for every dispatcher object and for the lock bookkeeping: simple, and waits are rare
// enough in tests that contention on it does not matter.
std::mutex& SyncLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}
std::condition_variable& SyncCv()
{
    static std::condition_variable* cv = new std::condition_variable;
    return *cv;
}

struct LockInfo {
    ThreadState* owner = nullptr;
    bool unsafe = false;      // acquired with ExAcquireFastMutexUnsafe
    bool initialised = false; // ExInitializeFastMutex ran on it
};

struct SyncState {
    std::set<ThreadState*> threads;
    std::map<const void*, LockInfo> locks;              // fast mutexes initialised or acquired
    std::map<const void*, std::set<const void*>> order; // edge A -> B: B taken while A held
    std::set<std::pair<const void*, const void*>> reported;
};
SyncState& State()
{
    static SyncState* state = new SyncState;
    return *state;
}

std::atomic<unsigned long long> g_NextThreadId{0};

// A wait on a fast mutex this long is a deadlock: the test stops with a message instead of hanging.
constexpr int kDeadlockSeconds = 30;

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    ULONG criticalRegions = 0;
    HANDLE id = nullptr;
    std::vector<const void*> held; // locks in acquisition order (under SyncLock)
    PDRIVER_OBJECT driver = nullptr;
    int waiting = 0; // waits in progress (under SyncLock): a fast mutex, an event, a hook's gate

    ThreadState()
    {
        id = (HANDLE)(uintptr_t)(4 * ++g_NextThreadId);
        std::lock_guard<std::mutex> guard(SyncLock());
        State().threads.insert(this);
    }
    ~ThreadState()
    {
        std::lock_guard<std::mutex> guard(SyncLock());
        State().threads.erase(this);
        for (auto& entry : State().locks) {
            if (entry.second.owner == this)
                entry.second.owner = nullptr;
        }
    }
};

thread_local ThreadState t_Thread;
// The set-power request this thread's dispatch routine handles (SetPowerScope).
thread_local PDEVICE_OBJECT t_SetPowerDevice = nullptr;
thread_local bool t_SetPowerSleeping = false;

ULONG_PTR SpinOwnerTag() { return (ULONG_PTR)&t_Thread | 1; }

// Called with SyncLock held: is `to` reachable from `from` in the lock-order graph?
bool Reaches(const void* from, const void* to)
{
    std::vector<const void*> stack{from};
    std::set<const void*> seen;
    auto& order = State().order;
    while (!stack.empty()) {
        const void* node = stack.back();
        stack.pop_back();
        if (node == to)
            return true;
        if (!seen.insert(node).second)
            continue;
        auto it = order.find(node);
        if (it == order.end())
            continue;
        for (const void* next : it->second)
            stack.push_back(next);
    }
    return false;
}

// Called with SyncLock held. Records the edges held -> lock and returns the held locks for which
// the reverse order was seen before.
std::vector<const void*> NoteLockOrder(const void* lock)
{
    std::vector<const void*> inversions;
    for (const void* held : t_Thread.held) {
        if (held == lock)
            continue;
        if (Reaches(lock, held) && State().reported.insert({held, lock}).second)
            inversions.push_back(held);
        State().order[held].insert(lock);
    }
    return inversions;
}

void RemoveHeld(ThreadState* thread, const void* lock)
{
    auto& held = thread->held;
    auto it = std::find(held.rbegin(), held.rend(), lock);
    if (it != held.rend())
        held.erase(std::next(it).base());
}

bool AcquireFastMutex(PFAST_MUTEX mutex, bool unsafe)
{
    std::vector<const void*> inversions;
    {
        std::unique_lock<std::mutex> guard(SyncLock());
        LockInfo& info = State().locks[mutex];
        if (!info.initialised) {
            // Its count and event are whatever the memory held: reported, then taken as if
            // initialised so the run goes on.
            info.initialised = true;
            mutex->Count = 1;
            mutex->Owner = nullptr;
            guard.unlock();
            rule::LockNotInitialized("fast mutex", mutex, unsafe ? "ExAcquireFastMutexUnsafe" : "ExAcquireFastMutex");
            guard.lock();
        }
        if (info.owner == &t_Thread) {
            // On Windows the thread would wait for itself for ever. Here the second acquisition is
            // reported and ignored, so the first release frees the mutex.
            guard.unlock();
            rule::FastMutexRecursion(mutex);
            return false;
        }
        inversions = NoteLockOrder(mutex);
    }
    for (const void* held : inversions)
        rule::DeadlockLockOrder(held, mutex);

    std::unique_lock<std::mutex> guard(SyncLock());
    bool counted = false;
    auto started = std::chrono::steady_clock::now();
    struct Waiting {
        bool marked = false;
        ~Waiting()
        {
            if (marked)
                t_Thread.waiting--;
        }
    } waiting;
    while (mutex->Count != 1) {
        if (State().locks[mutex].owner == nullptr) {
            // Taken, but by no thread the kernel knows: never initialised, or its memory was
            // reused while it was held. Waiting would never end.
            guard.unlock();
            rule::InvalidDispatcherObject(mutex, "ExAcquireFastMutex (the mutex is taken but has no owner)");
            guard.lock();
            break;
        }
        if (!counted) {
            mutex->Contention++;
            counted = true;
            waiting.marked = true;
            t_Thread.waiting++;
        }
        SyncCv().wait_for(guard, std::chrono::seconds(1));
        if (mutex->Count != 1 && std::chrono::steady_clock::now() - started > std::chrono::seconds(kDeadlockSeconds)) {
            std::fprintf(stderr,
                         "*** STOP: fast mutex %p has been waited for %d s; its owner never released it "
                         "(a deadlock)\n",
                         (void*)mutex, kDeadlockSeconds);
            std::abort();
        }
    }
    mutex->Count = 0;
    mutex->Owner = (PKTHREAD)&t_Thread;
    LockInfo& info = State().locks[mutex];
    info.owner = &t_Thread;
    info.unsafe = unsafe;
    t_Thread.held.push_back(mutex);
    return true;
}

// Returns true when the mutex was really released (not a release of a mutex nobody holds); *oldIrql receives the IRQL saved at acquisition.
bool ReleaseFastMutex(PFAST_MUTEX mutex, bool unsafe, ULONG* oldIrql, bool* acquiredUnsafeOut = nullptr)
{
    std::unique_lock<std::mutex> guard(SyncLock());
    auto it = State().locks.find(mutex);
    if (it == State().locks.end() || it->second.owner == nullptr) {
        guard.unlock();
        rule::FastMutexWrongOwner(mutex, false);
        return false;
    }
    LockInfo& info = it->second;
    ThreadState* owner = info.owner;
    bool wrongOwner = owner != &t_Thread;
    bool mismatched = info.unsafe != unsafe;
    bool acquiredUnsafe = info.unsafe;
    if (acquiredUnsafeOut)
        *acquiredUnsafeOut = acquiredUnsafe;
    RemoveHeld(owner, mutex);
    *oldIrql = mutex->OldIrql;
    info.owner = nullptr;
    mutex->Owner = nullptr;
    mutex->Count = 1;
    guard.unlock();
    SyncCv().notify_all();
    if (wrongOwner)
        rule::FastMutexWrongOwner(mutex, true);
    if (mismatched)
        rule::FastMutexMismatchedRelease(mutex, acquiredUnsafe);
    return true;
}

NTSTATUS WaitOnEvent(PKEVENT event, const std::chrono::steady_clock::time_point* deadline)
{
    std::unique_lock<std::mutex> guard(SyncLock());
    // Decremented while the lock is held again on every way out.
    struct Waiting {
        ~Waiting() { t_Thread.waiting--; }
    };
    t_Thread.waiting++;
    Waiting waiting;
    while (event->Header.SignalState == 0) {
        if (deadline) {
            if (SyncCv().wait_until(guard, *deadline) == std::cv_status::timeout && event->Header.SignalState == 0) {
                return STATUS_TIMEOUT;
            }
        } else {
            SyncCv().wait(guard);
        }
    }
    if (event->Header.Type == EventSynchronizationObject)
        event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

LONGLONG HostSystemTime()
{
    // 100-ns intervals since 1601-01-01, as KeQuerySystemTime reports.
    using namespace std::chrono;
    auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return since1970 + 116444736000000000LL;
}

// Converts a kernel timeout (negative: relative, positive: absolute system time) to a deadline.
std::chrono::steady_clock::time_point Deadline(LONGLONG timeout)
{
    LONGLONG relative = timeout < 0 ? -timeout : std::max<LONGLONG>(0, timeout - HostSystemTime());
    return std::chrono::steady_clock::now() + std::chrono::nanoseconds(relative * 100);
}

} // namespace

KIRQL ThreadIrql() { return t_Thread.irql; }
void SetThreadIrql(KIRQL irql) { t_Thread.irql = irql; }
ULONG ThreadCriticalRegionDepth() { return t_Thread.criticalRegions; }

bool WaitKernelEvent(PKEVENT event, long long timeoutMs)
{
    if (timeoutMs < 0)
        return WaitOnEvent(event, nullptr) == STATUS_SUCCESS;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return WaitOnEvent(event, &deadline) == STATUS_SUCCESS;
}

WaitingScope::WaitingScope()
{
    std::lock_guard<std::mutex> guard(SyncLock());
    t_Thread.waiting++;
}

WaitingScope::~WaitingScope()
{
    std::lock_guard<std::mutex> guard(SyncLock());
    t_Thread.waiting--;
}

bool ThreadWaiting(HANDLE thread)
{
    std::lock_guard<std::mutex> guard(SyncLock());
    for (ThreadState* state : State().threads) {
        if (state->id == thread)
            return state->waiting > 0;
    }
    return false;
}

bool ThreadHoldsSpinLock()
{
    std::lock_guard<std::mutex> guard(SyncLock());
    for (const void* lock : t_Thread.held) {
        // Fast mutexes are in the lock table; what else a thread holds is a spin lock.
        if (State().locks.count(lock) == 0)
            return true;
    }
    return false;
}

bool AnyLockHeldIn(const void* begin, size_t size)
{
    const char* b = static_cast<const char*>(begin);
    std::lock_guard<std::mutex> guard(SyncLock());
    for (ThreadState* thread : State().threads) {
        for (const void* lock : thread->held) {
            const char* l = static_cast<const char*>(lock);
            if (l >= b && l < b + size)
                return true;
        }
    }
    return false;
}

void ForgetLocksIn(const void* begin, size_t size)
{
    ForgetRemoveLocksIn(begin, size);
    const char* b = static_cast<const char*>(begin);
    auto inside = [&](const void* p) {
        const char* c = static_cast<const char*>(p);
        return c >= b && c < b + size;
    };
    std::lock_guard<std::mutex> guard(SyncLock());
    auto& s = State();
    for (auto it = s.locks.begin(); it != s.locks.end();) {
        if (inside(it->first)) {
            if (it->second.owner)
                RemoveHeld(it->second.owner, it->first);
            it = s.locks.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = s.order.begin(); it != s.order.end();) {
        if (inside(it->first)) {
            it = s.order.erase(it);
            continue;
        }
        for (auto e = it->second.begin(); e != it->second.end();)
            e = inside(*e) ? it->second.erase(e) : std::next(e);
        ++it;
    }
    for (auto it = s.reported.begin(); it != s.reported.end();) {
        it = (inside(it->first) || inside(it->second)) ? s.reported.erase(it) : std::next(it);
    }
    for (ThreadState* thread : s.threads) {
        auto& held = thread->held;
        held.erase(std::remove_if(held.begin(), held.end(), inside), held.end());
    }
}

void ResetSync()
{
    ResetRemoveLocks();
    std::lock_guard<std::mutex> guard(SyncLock());
    auto& s = State();
    s.locks.clear();
    s.order.clear();
    s.reported.clear();
    for (ThreadState* thread : s.threads) {
        thread->irql = PASSIVE_LEVEL;
        thread->criticalRegions = 0;
        thread->held.clear();
        thread->driver = nullptr;
    }
}

bool RequireIrql(KIRQL maxIrql, const char* rule, const char* function)
{
    // The power manager may send the request at DISPATCH_LEVEL to another stack, so a driver
    // handling a set-power calls nothing that only PASSIVE_LEVEL allows, whatever its IRQL now.
    if (maxIrql == PASSIVE_LEVEL && t_SetPowerDevice != nullptr)
        rule::PowerIrpDDIs(function);
    KIRQL current = t_Thread.irql;
    if (current <= maxIrql)
        return true;
    rule::IrqlTooHigh(rule, function, current, maxIrql);
    return false;
}

SetPowerScope::SetPowerScope(PDEVICE_OBJECT device, bool sleeping)
    : m_PreviousDevice(t_SetPowerDevice), m_PreviousSleeping(t_SetPowerSleeping)
{
    t_SetPowerDevice = device;
    t_SetPowerSleeping = sleeping;
}

SetPowerScope::~SetPowerScope()
{
    t_SetPowerDevice = m_PreviousDevice;
    t_SetPowerSleeping = m_PreviousSleeping;
}

PDEVICE_OBJECT SetPowerDevice() { return t_SetPowerDevice; }
bool HandlingSleepSetPower() { return t_SetPowerSleeping; }

DriverScope::DriverScope(PDRIVER_OBJECT driver) : m_Previous(t_Thread.driver) { t_Thread.driver = driver; }
DriverScope::~DriverScope() { t_Thread.driver = m_Previous; }
PDRIVER_OBJECT CurrentDriver() { return t_Thread.driver; }

} // namespace simk::detail

using namespace simk::detail;
namespace rules = simk::verifier::rules;

extern "C" {

VOID KeEnterCriticalRegion(VOID)
{
    if (t_Thread.irql > APC_LEVEL)
        rule::IrqlCriticalRegion("KeEnterCriticalRegion", t_Thread.irql);
    t_Thread.criticalRegions++;
}

VOID KeLeaveCriticalRegion(VOID)
{
    if (t_Thread.irql > APC_LEVEL)
        rule::IrqlCriticalRegion("KeLeaveCriticalRegion", t_Thread.irql);
    if (t_Thread.criticalRegions == 0) {
        rule::CriticalRegionLeftUnentered();
        return;
    }
    t_Thread.criticalRegions--;
}

BOOLEAN KeAreApcsDisabled(VOID) { return (t_Thread.criticalRegions > 0 || t_Thread.irql >= APC_LEVEL) ? TRUE : FALSE; }

KIRQL KeGetCurrentIrql(VOID) { return t_Thread.irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    KIRQL old = t_Thread.irql;
    if (NewIrql < old) {
        rule::IrqlRaiseToLower(old, NewIrql);
        return old;
    }
    t_Thread.irql = NewIrql;
    return old;
}

VOID KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > t_Thread.irql) {
        rule::IrqlLowerToHigher(t_Thread.irql, NewIrql);
        return;
    }
    t_Thread.irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = (UCHAR)(Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject);
    Event->Header.Signalling = 0;
    Event->Header.Size = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    RequireIrql(DISPATCH_LEVEL, rules::IrqlIoDispatch, "KeSetEvent");
    LONG previous;
    {
        std::lock_guard<std::mutex> guard(SyncLock());
        previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    SyncCv().notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(SyncLock());
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(SyncLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(SyncLock());
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    KIRQL irql = t_Thread.irql;
    bool pollOnly = Timeout && Timeout->QuadPart == 0;
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !pollOnly)) {
        rule::IrqlTooHigh(rules::IrqlKeWait, "KeWaitForSingleObject", irql, pollOnly ? DISPATCH_LEVEL : APC_LEVEL);
    }
    auto* header = static_cast<PDISPATCHER_HEADER>(Object);
    if (!header || (header->Type != EventNotificationObject && header->Type != EventSynchronizationObject)) {
        rule::InvalidDispatcherObject(Object, "KeWaitForSingleObject");
        return STATUS_INVALID_PARAMETER;
    }
    auto* event = static_cast<PKEVENT>(Object);
    if (!Timeout)
        return WaitOnEvent(event, nullptr);
    auto deadline = Deadline(Timeout->QuadPart);
    return WaitOnEvent(event, &deadline);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    RequireIrql(APC_LEVEL, rules::IrqlKeWait, "KeDelayExecutionThread");
    if (Interval)
        std::this_thread::sleep_until(Deadline(Interval->QuadPart));
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = HostSystemTime(); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    // Ticks of 100 ns since the host started counting, as a 10 MHz counter.
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    LARGE_INTEGER counter;
    counter.QuadPart = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
    if (PerformanceFrequency)
        PerformanceFrequency->QuadPart = 10000000;
    return counter;
}

VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    RequireIrql(APC_LEVEL, rules::IrqlFastMutex, "ExAcquireFastMutex");
    CallBefore(simk::Call::ExAcquireFastMutex, FastMutex, 0, nullptr);
    KIRQL old = t_Thread.irql;
    if (AcquireFastMutex(FastMutex, false)) {
        FastMutex->OldIrql = old;
        if (t_Thread.irql < APC_LEVEL)
            t_Thread.irql = APC_LEVEL;
    }
    CallAfter(simk::Call::ExAcquireFastMutex, FastMutex);
}

BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    RequireIrql(APC_LEVEL, rules::IrqlFastMutex, "ExTryToAcquireFastMutex");
    {
        std::lock_guard<std::mutex> guard(SyncLock());
        if (FastMutex->Count != 1)
            return FALSE;
    }
    ExAcquireFastMutex(FastMutex);
    return TRUE;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    if (t_Thread.irql != APC_LEVEL) {
        rule::IrqlTooHigh(rules::IrqlFastMutex, "ExReleaseFastMutex (must run at APC_LEVEL)", t_Thread.irql, APC_LEVEL);
    }
    CallBefore(simk::Call::ExReleaseFastMutex, FastMutex, 0, nullptr);
    ULONG oldIrql = PASSIVE_LEVEL;
    bool acquiredUnsafe = false;
    if (ReleaseFastMutex(FastMutex, false, &oldIrql, &acquiredUnsafe)) {
        // An unsafe acquisition saved no IRQL to go back to.
        if (!acquiredUnsafe && oldIrql <= t_Thread.irql)
            t_Thread.irql = (KIRQL)oldIrql;
    }
    CallAfter(simk::Call::ExReleaseFastMutex, FastMutex);
}

VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    RequireIrql(APC_LEVEL, rules::IrqlFastMutex, "ExAcquireFastMutexUnsafe");
    if (!KeAreApcsDisabled())
        rule::FastMutexUnsafeApcsEnabled(FastMutex);
    CallBefore(simk::Call::ExAcquireFastMutexUnsafe, FastMutex, 0, nullptr);
    AcquireFastMutex(FastMutex, true);
    CallAfter(simk::Call::ExAcquireFastMutexUnsafe, FastMutex);
}

VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    RequireIrql(APC_LEVEL, rules::IrqlFastMutex, "ExReleaseFastMutexUnsafe");
    CallBefore(simk::Call::ExReleaseFastMutexUnsafe, FastMutex, 0, nullptr);
    ULONG ignored = 0;
    ReleaseFastMutex(FastMutex, true, &ignored);
    CallAfter(simk::Call::ExReleaseFastMutexUnsafe, FastMutex);
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    if (AnyLockHeldIn(SpinLock, sizeof(*SpinLock))) {
        // Left as it is: the holder's release must still find it held.
        rule::LockInitializedTwice("spin lock", SpinLock, "a thread holds it");
        return;
    }
    *SpinLock = 0;
}

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    bool held;
    {
        std::lock_guard<std::mutex> guard(SyncLock());
        LockInfo& info = State().locks[FastMutex];
        held = info.owner != nullptr;
        info.initialised = true;
    }
    if (held) {
        // Left as it is: the holder's release must still find it held.
        rule::LockInitializedTwice("fast mutex", FastMutex, "a thread holds it");
        return;
    }
    FastMutex->Count = 1;
    FastMutex->Owner = NULL;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (t_Thread.irql < DISPATCH_LEVEL) {
        rule::SpinLockAtDpcLevelTooLow();
    }
    RequireIrql(DISPATCH_LEVEL, rules::IrqlSpinLock, "KeAcquireSpinLockAtDpcLevel");
    ULONG_PTR tag = SpinOwnerTag();
    if (__atomic_load_n(SpinLock, __ATOMIC_SEQ_CST) == tag) {
        KeBugCheckEx(SPIN_LOCK_ALREADY_OWNED, (ULONG_PTR)SpinLock, 0, 0, 0);
    }
    std::vector<const void*> inversions;
    {
        std::lock_guard<std::mutex> guard(SyncLock());
        inversions = NoteLockOrder(SpinLock);
    }
    for (const void* held : inversions)
        rule::DeadlockLockOrder(held, SpinLock);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, tag, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            break;
        std::this_thread::yield();
    }
    std::lock_guard<std::mutex> guard(SyncLock());
    t_Thread.held.push_back(SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ULONG_PTR tag = SpinOwnerTag();
    if (__atomic_load_n(SpinLock, __ATOMIC_SEQ_CST) != tag) {
        KeBugCheckEx(SPIN_LOCK_NOT_OWNED, (ULONG_PTR)SpinLock, 0, 0, 0);
    }
    {
        std::lock_guard<std::mutex> guard(SyncLock());
        RemoveHeld(&t_Thread, SpinLock);
    }
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_SEQ_CST);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    RequireIrql(DISPATCH_LEVEL, rules::IrqlSpinLock, "KeAcquireSpinLock");
    KIRQL old = t_Thread.irql;
    if (t_Thread.irql < DISPATCH_LEVEL)
        t_Thread.irql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    if (t_Thread.irql != DISPATCH_LEVEL)
        rule::SpinLockReleaseIrql(t_Thread.irql);
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    KeLowerIrql(NewIrql);
}

HANDLE PsGetCurrentThreadId(VOID) { return t_Thread.id; }

HANDLE PsGetCurrentProcessId(VOID) { return (HANDLE)(uintptr_t)4; }

} // extern "C"
