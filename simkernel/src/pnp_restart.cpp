// Plug and Play operations that take a device down and bring the same PDO up again: a restart
// ("restart device", a property change), a driver update, a resource rebalance of a subtree, and
// "scan for hardware changes", each in the order Windows uses.
#include "simkernel/pnp.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"
#include "pnp_tree.h"

#include <cstring>
#include <mutex>
#include <vector>

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

// The started stacks of a subtree, children before their parents: the order stops go in.
void CollectStartedLeavesFirst(DeviceNode* node, std::vector<DeviceNode*>* out)
{
    for (DeviceNode* child : LiveChildren(node))
        CollectStartedLeavesFirst(child, out);
    if (GetState(node) == NodeState::Started)
        out->push_back(node);
}

void CancelStops(const std::vector<DeviceNode*>& queried)
{
    for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
        auto cancel = SendPnp(*it, IRP_MN_CANCEL_STOP_DEVICE, 0);
        if (cancel.completed && !NT_SUCCESS(cancel.status))
            simk::detail::rule::IrpFailedCancelStop(Describe(*it), cancel.status, "a rebalance");
    }
}

// What the stack asks for, through the filters of its requirements: a device with no alternative
// list of at least one descriptor consumes no resources.
bool AsksForResources(DeviceNode* node)
{
    const Reply requirements = TakeReply(SendPnp(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0));
    TakeReply(SendPnp(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0));
    if (!requirements.present || requirements.bytes.size() < sizeof(IO_RESOURCE_REQUIREMENTS_LIST))
        return false;
    IO_RESOURCE_REQUIREMENTS_LIST list;
    std::memcpy(&list, requirements.bytes.data(), sizeof(list));
    return list.AlternativeLists != 0 && list.List[0].Count != 0;
}

// A start that fails after a stop makes the system surprise-remove the device (WDTF's
// EDTTryStopDeviceFailRestart); its children ran on it, so the whole subtree goes, children
// first, and the node stays at its failed start.
NTSTATUS FailedRestart(DeviceNode* node)
{
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

// "DF - PNP Stop (Rebalance) Device Test": since Windows Vista a rebalance started on a node that
// is not a leaf takes every stack below it too, and one query-stop veto abandons all of it.
NTSTATUS RebalanceSubtree(DeviceNode* node, DeviceNode** vetoedBy)
{
    std::vector<DeviceNode*> stacks;
    CollectStartedLeavesFirst(node, &stacks);
    std::vector<DeviceNode*> queried;
    for (DeviceNode* stack : stacks) {
        queried.push_back(stack);
        auto query = SendPnp(stack, IRP_MN_QUERY_STOP_DEVICE, 0);
        if (!query.completed || !NT_SUCCESS(query.status)) {
            if (vetoedBy)
                *vetoedBy = stack;
            CancelStops(queried);
            return query.completed ? query.status : STATUS_PENDING;
        }
    }
    bool consumes = false;
    for (DeviceNode* stack : stacks) {
        const bool asks = AsksForResources(stack);
        consumes = consumes || (stack == node && asks);
    }
    // A device that consumes no resources has nothing to move: the manager cancels the stop itself.
    if (!consumes) {
        CancelStops(queried);
        return STATUS_SUCCESS;
    }
    for (DeviceNode* stack : stacks) {
        auto stop = SendPnp(stack, IRP_MN_STOP_DEVICE, 0);
        if (stop.completed && !NT_SUCCESS(stop.status))
            simk::detail::rule::IrpFailedStopDevice(Describe(stack), stop.status);
        SetState(stack, NodeState::Enumerated);
    }
    // New resources, the same stacks, parents first; a child whose parent failed went with it.
    for (auto it = stacks.rbegin(); it != stacks.rend(); ++it) {
        DeviceNode* stack = *it;
        if (!stack->inTree || GetState(stack) != NodeState::Enumerated)
            continue;
        if (!SendStart(stack, true)) {
            const NTSTATUS failed = FailedRestart(stack);
            if (stack == node)
                return failed;
        }
    }
    return STATUS_SUCCESS;
}
} // namespace

namespace simk::pnp::tree {

// IRP_MN_QUERY_PNP_DEVICE_STATE after IoInvalidateDeviceState: the flags are recorded as after a
// start; a failed device's stack is surprise-removed and then removed (once its last handle
// closes), its node kept while its bus lists it ("Handling an IRP_MN_SURPRISE_REMOVAL Request");
// changed requirements rebalance it.
void ActOnDeviceState(DEVICE_OBJECT* pdo)
{
    DeviceNode* node = FindNodeByPdo(pdo);
    if (!node || !node->inTree || GetState(node) != NodeState::Started)
        return;
    auto state = SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE, 0);
    const ULONG_PTR flags = state.completed && NT_SUCCESS(state.status) ? state.information : 0;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->info.deviceStateStatus = state.status;
        node->info.deviceState = flags;
        node->reportedFailed = (flags & PNP_DEVICE_FAILED) != 0;
    }
    if (flags & PNP_DEVICE_FAILED) {
        SurpriseRemoveTree(node);
        RemoveTree(node, true);
        return;
    }
    if (flags & PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED)
        RebalanceSubtree(node, nullptr);
}

} // namespace simk::pnp::tree

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

NTSTATUS Rebalance(DeviceNode* node, DeviceNode** vetoedBy)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (vetoedBy)
        *vetoedBy = nullptr;
    if (!node || !node->inTree || GetState(node) != NodeState::Started)
        return STATUS_INVALID_DEVICE_STATE;
    return RebalanceSubtree(node, vetoedBy);
}

} // namespace simk::pnp
