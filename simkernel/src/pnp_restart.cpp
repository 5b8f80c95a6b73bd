// Plug and Play operations that take a device down and bring the same PDO up again: a restart
// ("restart device", a property change), a driver update, a resource rebalance, and "scan for
// hardware changes", each in the order Windows uses.
#include "simkernel/pnp.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"
#include "pnp_tree.h"

#include <mutex>

namespace {

using namespace simk::pnp;
using namespace simk::pnp::tree;

// A device that is not running is only (re)built and started; one that is running first goes
// through the removal a disable does, which keeps its node and PDO.
NTSTATUS TakeDownAndBringUp(DeviceNode* node, DeviceNode** vetoedBy)
{
    if (vetoedBy)
        *vetoedBy = nullptr;
    if (!node || !node->inTree)
        return STATUS_NO_SUCH_DEVICE;
    const NodeState state = GetState(node);
    if (state == NodeState::Started) {
        const NTSTATUS removed = RemoveSubtree(node, vetoedBy, true);
        if (!NT_SUCCESS(removed))
            return removed;
        // A child its bus stopped reporting meanwhile went for good.
        if (!node->inTree)
            return STATUS_NO_SUCH_DEVICE;
    } else if (state != NodeState::NotInstalled && state != NodeState::AddDeviceFailed &&
               state != NodeState::StartFailed) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // The stack is built again from the registry: a new service or filter takes over here.
    if (!BuildStack(node))
        return Info(node).problem;
    StartNode(node);
    return GetState(node) == NodeState::Started ? STATUS_SUCCESS : Info(node).problem;
}

void ScanFrom(DeviceNode* node)
{
    if (!node->inTree || GetState(node) != NodeState::Started)
        return;
    EnumerateBusRelations(node);
    for (DeviceNode* child : LiveChildren(node))
        ScanFrom(child);
}

} // namespace

namespace simk::pnp {

NTSTATUS RestartDevice(DeviceNode* node, DeviceNode** vetoedBy)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    return TakeDownAndBringUp(node, vetoedBy);
}

NTSTATUS UpdateDriver(DeviceNode* node, DRIVER_OBJECT* driver, DeviceNode** vetoedBy)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (vetoedBy)
        *vetoedBy = nullptr;
    if (!node || !node->inTree)
        return STATUS_NO_SUCH_DEVICE;
    SetServiceOf(node, driver);
    return TakeDownAndBringUp(node, vetoedBy);
}

void ScanForHardwareChanges()
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    for (DeviceNode* root : RootDevices())
        ScanFrom(root);
}

NTSTATUS Rebalance(DeviceNode* node)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (!node || !node->inTree || GetState(node) != NodeState::Started)
        return STATUS_INVALID_DEVICE_STATE;
    auto query = SendPnp(node, IRP_MN_QUERY_STOP_DEVICE, 0);
    if (!query.completed || !NT_SUCCESS(query.status)) {
        auto cancel = SendPnp(node, IRP_MN_CANCEL_STOP_DEVICE, 0);
        if (cancel.completed && !NT_SUCCESS(cancel.status))
            simk::detail::rule::IrpFailedCancelStop(Describe(node), cancel.status, "a failed query-stop");
        return query.completed ? query.status : STATUS_PENDING;
    }
    auto stop = SendPnp(node, IRP_MN_STOP_DEVICE, 0);
    if (stop.completed && !NT_SUCCESS(stop.status))
        simk::detail::rule::IrpFailedStopDevice(Describe(node), stop.status);
    SetState(node, NodeState::Enumerated);
    // New resources, the same stack.
    if (SendStart(node, true))
        return STATUS_SUCCESS;
    // A start that fails after a stop makes the system surprise-remove the device (WDTF's
    // EDTTryStopDeviceFailRestart); its children ran on it, so the whole subtree goes, children
    // first, and the node stays at its failed start.
    if (!Info(node).problem || GetState(node) != NodeState::StartFailed)
        return Info(node).problem;
    const std::vector<DeviceNode*> children = LiveChildren(node);
    for (DeviceNode* child : children)
        SurpriseRemoveTree(child);
    auto surprise = SendPnp(node, IRP_MN_SURPRISE_REMOVAL, 0);
    if (surprise.completed && !NT_SUCCESS(surprise.status))
        simk::detail::rule::IrpFailedSurpriseRemoval(Describe(node), surprise.status, "a failed restart");
    for (DeviceNode* child : children)
        RemoveTree(child);
    auto removed = SendPnp(node, IRP_MN_REMOVE_DEVICE, 0);
    if (removed.completed && !NT_SUCCESS(removed.status))
        simk::detail::rule::IrpFailedRemoveDevice(Describe(node), removed.status, "a failed restart");
    return Info(node).problem;
}

} // namespace simk::pnp
