// System power transitions over the device tree: the power manager's query and set of a system
// power state (S3, S4 and back to S0), sent to every started stack in the order Windows uses.
#include "simkernel/pnp.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"
#include "pnp_tree.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

using namespace simk::pnp;
using namespace simk::pnp::tree;

SYSTEM_POWER_STATE g_systemState = PowerSystemWorking;

// Parents before children.
void CollectStarted(DeviceNode* node, std::vector<DeviceNode*>* out)
{
    if (GetState(node) == NodeState::Started)
        out->push_back(node);
    for (DeviceNode* child : LiveChildren(node))
        CollectStarted(child, out);
}

// A system power IRP to the top of the node's stack, waited for as long as the power manager's
// watchdog allows: a stack that holds it longer is reported by name.
simk::pnp::detail::SyncIrpResult SendSystemPower(DeviceNode* node, UCHAR minor, SYSTEM_POWER_STATE state,
                                                 POWER_ACTION action)
{
    DEVICE_OBJECT* pdo = node->info.pdo;
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(pdo);
    const size_t index = simk::pnp::detail::LogIrp(pdo, top, IRP_MJ_POWER, minor, state);
    DEVICE_OBJECT* owner;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        owner = node->functionDevice;
    }
    const size_t devicePowerAskedBefore = simk::detail::DeviceSetPowerRequestsFor(pdo);
    auto result = simk::pnp::detail::SendAndWait(
        top, IRP_MJ_POWER, minor,
        [&](IO_STACK_LOCATION* sl) {
            sl->Parameters.Power.SystemContext = 0;
            sl->Parameters.Power.Type = SystemPowerState;
            sl->Parameters.Power.State.SystemState = state;
            sl->Parameters.Power.ShutdownType = action;
        },
        {}, {}, [&] { simk::detail::rule::SystemPowerIrpTimeout(Describe(node), top, minor, state); });
    simk::pnp::detail::LogIrpResult(index, result.status, result.information);
    ObDereferenceObject(top);
    // "The device power policy owner must send a device set-power IRP for each system set-power
    // IRP, even if the device is already in the correct device power state" (Determining the
    // Correct Device Power State); the function driver owns its stack's policy.
    // A system set-power that failed below the owner is the failure's own report, not this one:
    // the owner asks for its device's request only once the system's has come back well.
    if (minor == IRP_MN_SET_POWER && result.completed && NT_SUCCESS(result.status) && owner &&
        simk::detail::DeviceSetPowerRequestsFor(pdo) == devicePowerAskedBefore)
        simk::detail::rule::PolicyOwnerAskedNoDevicePower(Describe(node), owner, state);
    return result;
}

} // namespace

namespace simk::pnp {

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "SetSystemPowerState");
    std::vector<DeviceNode*> stacks;
    for (DeviceNode* root : RootDevices())
        CollectStarted(root, &stacks);
    const bool sleeping = state != PowerSystemWorking;
    // System power state transitions: devices are powered down from the leaves of the tree to its
    // root, and powered up again from the root down, so no child runs on a parent that is off.
    if (sleeping)
        std::reverse(stacks.begin(), stacks.end());
    const POWER_ACTION powerAction = state == PowerSystemHibernate ? PowerActionHibernate : PowerActionSleep;
    if (sleeping) {
        // IRP_MN_QUERY_POWER: a driver that fails the system query vetoes the sleep; the stacks
        // already queried hear nothing more (Windows sends no cancel for a system query).
        for (DeviceNode* node : stacks) {
            auto query = SendSystemPower(node, IRP_MN_QUERY_POWER, state, powerAction);
            if (!query.completed)
                return STATUS_PENDING;
            if (!NT_SUCCESS(query.status))
                return query.status;
        }
    }
    for (DeviceNode* node : stacks) {
        // IRP_MN_SET_POWER for a system state must not fail.
        auto set = SendSystemPower(node, IRP_MN_SET_POWER, state, powerAction);
        if (set.completed && !NT_SUCCESS(set.status))
            simk::detail::rule::PowerSystemSetFailed(Describe(node), state, set.status);
    }
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_systemState = state;
    return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE CurrentSystemPowerState()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_systemState;
}

} // namespace simk::pnp

namespace simk::pnp::detail {

void ResetSystemPower() { g_systemState = PowerSystemWorking; }

} // namespace simk::pnp::detail
