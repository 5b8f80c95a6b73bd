// Call points: every hookable kernel routine counts its calls here and runs what is armed at it.
// An arm is a point (the Nth matching call, or every one) and an action: fail the call with a
// status (fault injection) or run test code (hooks.cpp). This file also holds the fault-injection
// interface, which arms and disarms failures and reads the counts.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "internal.h"

namespace simk {
namespace {

struct Arm {
    detail::ArmPlan plan;
    unsigned long long id = 0;
    unsigned seen = 0;  // matching calls since the arming
    bool spent = false; // an Nth arm that has fired
};

struct CallStats {
    std::atomic<unsigned> calls{0}; // counted without the lock while nothing is armed
    unsigned injected = 0;
    bool fired = false;

    void Reset()
    {
        calls = 0;
        injected = 0;
        fired = false;
    }
};

struct CallState {
    std::mutex lock;
    std::vector<Arm> arms;
    unsigned long long nextId = 0;
    CallStats stats[(size_t)Call::Count_];
};

CallState& State()
{
    static CallState* state = new CallState;
    return *state;
}

// Calls stay cheap while nothing is armed: the fast mutex routines go through here too.
std::atomic<size_t> g_ArmCount{0};

CallStats& StatsOf(Call call) { return State().stats[(size_t)call]; }

bool AtSite(const detail::ArmPlan& plan, Call call, When when)
{
    return std::any_of(plan.sites.begin(), plan.sites.end(),
                       [&](const std::pair<Call, When>& s) { return s.first == call && s.second == when; });
}

void RequireCanFail(Call call)
{
    if (!CanFail(call))
        throw std::invalid_argument(std::string("fault injection: ") + CallName(call) + " cannot fail");
}

void RemoveFaultArms(bool (*which)(const Arm&, Call), Call call)
{
    auto& arms = State().arms;
    arms.erase(std::remove_if(arms.begin(), arms.end(), [&](const Arm& a) { return a.plan.fault && which(a, call); }),
               arms.end());
    g_ArmCount = arms.size();
}

bool ArmedFor(const Arm& arm, Call call) { return AtSite(arm.plan, call, When::Before) && arm.plan.tag == 0; }

void ArmFault(Call call, unsigned nth, NTSTATUS status)
{
    RequireCanFail(call);
    std::lock_guard<std::mutex> guard(State().lock);
    RemoveFaultArms(ArmedFor, call);
    StatsOf(call).Reset();
    detail::ArmPlan plan;
    plan.sites = {{call, When::Before}};
    plan.nth = nth;
    plan.fails = true;
    plan.status = status;
    plan.fault = true;
    State().arms.push_back(Arm{plan, ++State().nextId});
    g_ArmCount = State().arms.size();
}

// Counts the call and collects what its arms do; the actions run after the lock is let go, since
// a hook may block or call the kernel.
bool Evaluate(const CallSite& site, NTSTATUS* status, std::vector<std::function<void(const CallSite&)>>* actions)
{
    std::lock_guard<std::mutex> guard(State().lock);
    if (site.when == When::Before)
        StatsOf(site.call).calls++;
    bool fails = false;
    for (Arm& arm : State().arms) {
        const detail::ArmPlan& plan = arm.plan;
        if (arm.spent || !AtSite(plan, site.call, site.when))
            continue;
        if (plan.thread != nullptr && plan.thread != site.thread)
            continue;
        if (plan.tag != 0 && plan.tag != site.tag)
            continue;
        if (plan.match && !plan.match(site))
            continue;
        ++arm.seen;
        if (plan.nth != 0 && arm.seen != plan.nth)
            continue;
        if (plan.nth != 0)
            arm.spent = true;
        if (plan.fails && !fails) {
            fails = true;
            if (status)
                *status = plan.status;
            CallStats& stats = StatsOf(site.call);
            stats.injected++;
            if (plan.nth != 0)
                stats.fired = true;
        }
        if (plan.run)
            actions->push_back(plan.run);
    }
    return fails;
}

} // namespace

const char* CallName(Call call)
{
    switch (call) {
    case Call::ExAllocatePoolWithTag:
        return "ExAllocatePoolWithTag";
    case Call::IoCreateDevice:
        return "IoCreateDevice";
    case Call::IoCreateSymbolicLink:
        return "IoCreateSymbolicLink";
    case Call::IoAttachDeviceToDeviceStackSafe:
        return "IoAttachDeviceToDeviceStackSafe";
    case Call::IoAllocateDriverObjectExtension:
        return "IoAllocateDriverObjectExtension";
    case Call::IoOpenDeviceRegistryKey:
        return "IoOpenDeviceRegistryKey";
    case Call::ZwSetValueKey:
        return "ZwSetValueKey";
    case Call::ObOpenObjectByPointer:
        return "ObOpenObjectByPointer";
    case Call::ZwSetSecurityObject:
        return "ZwSetSecurityObject";
    case Call::ExAcquireFastMutex:
        return "ExAcquireFastMutex";
    case Call::ExReleaseFastMutex:
        return "ExReleaseFastMutex";
    case Call::ExAcquireFastMutexUnsafe:
        return "ExAcquireFastMutexUnsafe";
    case Call::ExReleaseFastMutexUnsafe:
        return "ExReleaseFastMutexUnsafe";
    case Call::IoDeleteDevice:
        return "IoDeleteDevice";
    case Call::IoInvalidateDeviceRelations:
        return "IoInvalidateDeviceRelations";
    case Call::Count_:
        break;
    }
    return "?";
}

bool CanFail(Call call) { return call < Call::ExAcquireFastMutex; }

namespace detail {

bool CallBefore(Call call, const void* object, ULONG tag, NTSTATUS* status)
{
    if (g_ArmCount.load(std::memory_order_relaxed) == 0) {
        StatsOf(call).calls++;
        return false;
    }
    std::vector<std::function<void(const CallSite&)>> actions;
    const CallSite site{call, When::Before, object, tag, PsGetCurrentThreadId()};
    const bool fails = Evaluate(site, status, &actions);
    for (const auto& action : actions)
        action(site);
    return fails;
}

void CallAfter(Call call, const void* object)
{
    if (g_ArmCount.load(std::memory_order_relaxed) == 0)
        return;
    std::vector<std::function<void(const CallSite&)>> actions;
    const CallSite site{call, When::After, object, 0, PsGetCurrentThreadId()};
    Evaluate(site, nullptr, &actions);
    for (const auto& action : actions)
        action(site);
}

unsigned long long AddArm(ArmPlan plan)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().arms.push_back(Arm{std::move(plan), ++State().nextId});
    g_ArmCount = State().arms.size();
    return State().nextId;
}

void RemoveArm(unsigned long long id)
{
    std::lock_guard<std::mutex> guard(State().lock);
    auto& arms = State().arms;
    arms.erase(std::remove_if(arms.begin(), arms.end(), [&](const Arm& a) { return a.id == id; }), arms.end());
    g_ArmCount = arms.size();
}

void ResetFaults()
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().arms.clear();
    for (CallStats& stats : State().stats)
        stats.Reset();
    g_ArmCount = 0;
}

} // namespace detail

namespace faults {

void FailNth(Call call, unsigned n, NTSTATUS status)
{
    if (n == 0)
        throw std::invalid_argument("fault injection: calls are counted from 1");
    ArmFault(call, n, status);
}

void FailAlways(Call call, NTSTATUS status) { ArmFault(call, 0, status); }

// The tag arm keeps its own count, so a sweep over the Nth allocation and a tag that always fails
// can be combined.
void FailPoolTag(ULONG tag)
{
    detail::ArmPlan plan;
    plan.sites = {{Call::ExAllocatePoolWithTag, When::Before}};
    plan.tag = tag;
    plan.fails = true;
    plan.status = STATUS_INSUFFICIENT_RESOURCES;
    plan.fault = true;
    detail::AddArm(std::move(plan));
}

void Disarm(Call call)
{
    std::lock_guard<std::mutex> guard(State().lock);
    RemoveFaultArms(ArmedFor, call);
}

void DisarmAll()
{
    std::lock_guard<std::mutex> guard(State().lock);
    RemoveFaultArms([](const Arm&, Call) { return true; }, Call::Count_);
}

unsigned CallCount(Call call)
{
    std::lock_guard<std::mutex> guard(State().lock);
    return StatsOf(call).calls;
}

unsigned Injected(Call call)
{
    std::lock_guard<std::mutex> guard(State().lock);
    return StatsOf(call).injected;
}

bool Fired(Call call)
{
    std::lock_guard<std::mutex> guard(State().lock);
    return StatsOf(call).fired;
}

} // namespace faults
} // namespace simk
