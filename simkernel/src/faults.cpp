// Fault injection: arming kernel routines to fail on their Nth call or on every call, and counting
// the calls, for the sweeps that walk a creation path through each of its failure exits.
#include <mutex>
#include <set>

#include "core.h"

namespace simk {
namespace {

struct Arm {
    unsigned calls = 0;
    unsigned injected = 0;
    unsigned nth = 0;  // 0: not armed
    NTSTATUS nthStatus = STATUS_SUCCESS;
    bool always = false;
    NTSTATUS alwaysStatus = STATUS_SUCCESS;
    bool fired = false;
};

struct FaultState {
    std::mutex lock;
    Arm arms[(size_t)Call::Count_];
    std::set<ULONG> failingTags;
};

FaultState& State() {
    static FaultState* state = new FaultState;
    return *state;
}

Arm& ArmOf(Call call) { return State().arms[(size_t)call]; }

}  // namespace

const char* CallName(Call call) {
    switch (call) {
    case Call::ExAllocatePoolWithTag: return "ExAllocatePoolWithTag";
    case Call::IoCreateDevice: return "IoCreateDevice";
    case Call::IoCreateSymbolicLink: return "IoCreateSymbolicLink";
    case Call::IoAttachDeviceToDeviceStackSafe: return "IoAttachDeviceToDeviceStackSafe";
    case Call::IoAllocateDriverObjectExtension: return "IoAllocateDriverObjectExtension";
    case Call::IoOpenDeviceRegistryKey: return "IoOpenDeviceRegistryKey";
    case Call::ZwSetValueKey: return "ZwSetValueKey";
    case Call::Count_: break;
    }
    return "?";
}

namespace faults {

void FailNth(Call call, unsigned n, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(State().lock);
    Arm& arm = ArmOf(call);
    arm.calls = 0;
    arm.injected = 0;
    arm.fired = false;
    arm.nth = n;
    arm.nthStatus = status;
}

void FailAlways(Call call, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(State().lock);
    Arm& arm = ArmOf(call);
    arm.calls = 0;
    arm.injected = 0;
    arm.fired = false;
    arm.always = true;
    arm.alwaysStatus = status;
}

void FailPoolTag(ULONG tag) {
    std::lock_guard<std::mutex> guard(State().lock);
    State().failingTags.insert(tag);
}

void Disarm(Call call) {
    std::lock_guard<std::mutex> guard(State().lock);
    ArmOf(call).nth = 0;
    ArmOf(call).always = false;
}

void DisarmAll() {
    std::lock_guard<std::mutex> guard(State().lock);
    for (Arm& arm : State().arms) {
        arm.nth = 0;
        arm.always = false;
    }
    State().failingTags.clear();
}

unsigned CallCount(Call call) {
    std::lock_guard<std::mutex> guard(State().lock);
    return ArmOf(call).calls;
}

unsigned Injected(Call call) {
    std::lock_guard<std::mutex> guard(State().lock);
    return ArmOf(call).injected;
}

bool Fired(Call call) {
    std::lock_guard<std::mutex> guard(State().lock);
    return ArmOf(call).fired;
}

}  // namespace faults

namespace detail {

bool ShouldFail(Call call, NTSTATUS* status) {
    std::lock_guard<std::mutex> guard(State().lock);
    Arm& arm = ArmOf(call);
    arm.calls++;
    if (arm.always) {
        arm.injected++;
        if (status) *status = arm.alwaysStatus;
        return true;
    }
    if (arm.nth != 0 && arm.calls == arm.nth) {
        arm.nth = 0;
        arm.fired = true;
        arm.injected++;
        if (status) *status = arm.nthStatus;
        return true;
    }
    return false;
}

// The tag filter is separate from the call counts so that a sweep over the Nth allocation and a
// tag that always fails can be combined.
bool PoolTagFails(ULONG tag) {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().failingTags.count(tag) != 0;
}

void ResetFaults() {
    std::lock_guard<std::mutex> guard(State().lock);
    for (Arm& arm : State().arms) arm = Arm{};
    State().failingTags.clear();
}

}  // namespace detail
}  // namespace simk
