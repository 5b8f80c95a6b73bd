// Plug and Play removal, in the orders Windows uses: an uninstall or a disable (removal relations,
// query-remove of the subtree, the veto and its cancels, open handles vetoing too, then removal,
// children first), a surprise removal, and the final removal of a device whose bus stopped
// reporting it, which waits for the last handle on its stack to close.
#include "simkernel/pnp.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"
#include "pnp_tree.h"

#include <mutex>
#include <vector>

namespace {

using namespace simk::pnp;
using namespace simk::pnp::tree;

// Removal that must not fail: Windows treats a failure here as a driver bug.
void SendMustSucceed(DeviceNode* node, UCHAR minor,
                     void (*rule)(const std::string& node, NTSTATUS status, const char* after))
{
    auto result = SendPnp(node, minor, 0);
    if (result.completed && !NT_SUCCESS(result.status))
        rule(Describe(node), result.status, nullptr);
}

void SendFinalRemove(DeviceNode* node)
{
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->finalRemoval = true;
    }
    simk::pnp::detail::MarkRootDeviceGoing(node);
    SendMustSucceed(node, IRP_MN_REMOVE_DEVICE, simk::detail::rule::IrpFailedRemoveDevice);
    DropNode(node);
}

// The removal of a node whose stack goes: for good, or, for a device its bus still reports, with
// its node and PDO kept (Disabled) until the bus stops reporting it.
void RemoveOrKeep(DeviceNode* node, bool keep)
{
    if (!keep) {
        SendFinalRemove(node);
        return;
    }
    SendMustSucceed(node, IRP_MN_REMOVE_DEVICE, simk::detail::rule::IrpFailedRemoveDevice);
    std::lock_guard<std::mutex> lock(g_stateMutex);
    node->info.functionDriverAttached = false;
    if (node->reportedFailed) {
        // Device Manager's "Windows has stopped this device because it has reported problems";
        // a restart (or a disable and enable) starts it again.
        node->info.state = NodeState::StartFailed;
        node->info.problem = STATUS_UNSUCCESSFUL;
        node->info.problemCode = CM_PROB_FAILED_POST_START;
        return;
    }
    node->info.state = NodeState::Disabled;
    node->info.problem = STATUS_SUCCESS;
    node->info.problemCode = 0;
}

bool KeptWhenListed(DeviceNode* node, bool keepIfListed)
{
    if (!keepIfListed || node->rootEnumerated)
        return false;
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->listed;
}

// Opens are counted on the device a handle was opened on, the PDO.
bool HasOpenHandles(const DeviceNode* node);

// The removal waits for the last handle, also past the removal of the parent; a node that stays in
// its parent's children (its bus still reports it) keeps its place there.
void WaitForCloses(DeviceNode* node, bool keep)
{
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->awaitingCloses = true;
        node->keepIfListed = keep;
    }
    if (!keep)
        Detach(node);
}

// Opens are counted on the device a handle was opened on, the PDO.
bool HasOpenHandles(const DeviceNode* node) { return node->info.pdo->ReferenceCount > 0; }

void CollectPostOrder(DeviceNode* node, std::vector<DeviceNode*>* out)
{
    for (DeviceNode* child : LiveChildren(node))
        CollectPostOrder(child, out);
    out->push_back(node);
}

bool Queryable(DeviceNode* n)
{
    switch (GetState(n)) {
    case NodeState::Started:
    case NodeState::NotInstalled:
        return true;
    case NodeState::Enumerated: {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        return n->stackBuilt;
    }
    default:
        return false;
    }
}

// Every stack that was asked hears that the removal is off, the vetoing one too, in reverse order.
void CancelRemoval(const std::vector<DeviceNode*>& queried)
{
    for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
        SendMustSucceed(*it, IRP_MN_CANCEL_REMOVE_DEVICE, simk::detail::rule::IrpFailedCancelRemove);
        if (GetState(*it) == NodeState::QueryRemoved)
            SetState(*it, NodeState::Started);
    }
}

// The removal relations a stack names are asked for before the query; this manager removes no
// more than the subtree, so the devices named are only released.
void QueryRemovalRelations(DeviceNode* node)
{
    auto result = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations,
                          [](IO_STACK_LOCATION* sl) { sl->Parameters.QueryDeviceRelations.Type = RemovalRelations; });
    for (DEVICE_OBJECT* object : TakeRelations(node, result))
        ObDereferenceObject(object);
}

} // namespace

namespace simk::pnp::tree {

NTSTATUS RemoveSubtree(DeviceNode* node, DeviceNode** vetoedBy, bool keepRoot)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (vetoedBy)
        *vetoedBy = nullptr;
    if (!node || !node->inTree)
        return STATUS_NO_SUCH_DEVICE;
    std::vector<DeviceNode*> order;
    CollectPostOrder(node, &order);

    std::vector<DeviceNode*> queried;
    for (DeviceNode* n : order) {
        // IRP_MN_QUERY_REMOVE_DEVICE goes to every device of the subtree that is still there, also
        // one that never started (Windows asks whether it can be removed, not whether it runs).
        if (!Queryable(n))
            continue;
        QueryRemovalRelations(n);
        queried.push_back(n);
        const bool wasStarted = GetState(n) == NodeState::Started;
        auto result = SendPnp(n, IRP_MN_QUERY_REMOVE_DEVICE, 0);
        if (result.completed && NT_SUCCESS(result.status)) {
            if (wasStarted)
                SetState(n, NodeState::QueryRemoved);
            continue;
        }
        CancelRemoval(queried);
        if (vetoedBy)
            *vetoedBy = n;
        return result.completed ? result.status : STATUS_PENDING;
    }
    // Windows vetoes on an outstanding open once the drivers have agreed.
    for (DeviceNode* n : queried) {
        if (!HasOpenHandles(n))
            continue;
        CancelRemoval(queried);
        if (vetoedBy)
            *vetoedBy = n;
        return STATUS_DEVICE_BUSY;
    }

    for (DeviceNode* n : order) {
        if (n != node) {
            // Gone with the subtree; one surprise-removed with a handle open still waits for it.
            if (GetState(n) == NodeState::SurpriseRemoved && HasOpenHandles(n)) {
                WaitForCloses(n, false);
            } else {
                SendFinalRemove(n);
            }
            continue;
        }
        // A device its bus still reports keeps its node: the PDO is the bus driver's until the bus
        // stops reporting it, and Plug and Play removes it once more then.
        RemoveOrKeep(n, node->rootEnumerated ? keepRoot : KeptWhenListed(n, true));
    }
    return STATUS_SUCCESS;
}

void SurpriseRemoveTree(DeviceNode* node)
{
    for (DeviceNode* child : LiveChildren(node))
        SurpriseRemoveTree(child);
    // IRP_MN_SURPRISE_REMOVAL: the device can be in any Plug and Play state when it is sent, so
    // every stack built by AddDevice hears it, started or not.
    bool built;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        built = node->stackBuilt;
    }
    if (built && GetState(node) != NodeState::SurpriseRemoved) {
        SendMustSucceed(node, IRP_MN_SURPRISE_REMOVAL, simk::detail::rule::IrpFailedSurpriseRemoval);
        SetState(node, NodeState::SurpriseRemoved);
    }
}

void RemoveTree(DeviceNode* node, bool keepIfListed)
{
    for (DeviceNode* child : LiveChildren(node))
        RemoveTree(child, false);
    const bool keep = KeptWhenListed(node, keepIfListed);
    if (GetState(node) == NodeState::SurpriseRemoved && HasOpenHandles(node)) {
        WaitForCloses(node, keep);
        return;
    }
    RemoveOrKeep(node, keep);
}

void FinishRemovalAfterClose(DEVICE_OBJECT* pdo)
{
    DeviceNode* node = FindNodeByPdo(pdo);
    if (!node || HasOpenHandles(node))
        return;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        if (!node->awaitingCloses)
            return;
        node->awaitingCloses = false;
    }
    RemoveOrKeep(node, KeptWhenListed(node, node->keepIfListed));
}

} // namespace simk::pnp::tree

namespace simk::pnp {

NTSTATUS RemoveDevice(DeviceNode* node, DeviceNode** vetoedBy) { return RemoveSubtree(node, vetoedBy, false); }

NTSTATUS DisableDevice(DeviceNode* node, DeviceNode** vetoedBy) { return RemoveSubtree(node, vetoedBy, true); }

void SurpriseRemoveDevice(DeviceNode* node)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (!node || !node->inTree)
        return;
    SurpriseRemoveTree(node);
    RemoveTree(node, true);
}

NTSTATUS QueryTargetDeviceRelation(DeviceNode* node, DEVICE_OBJECT** reported)
{
    if (reported)
        *reported = nullptr;
    if (!node || !node->inTree)
        return STATUS_NO_SUCH_DEVICE;
    auto result = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation, [](IO_STACK_LOCATION* sl) {
        sl->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    const std::vector<DEVICE_OBJECT*> named = TakeRelations(node, result);
    // IRP_MN_QUERY_DEVICE_RELATIONS: for TargetDeviceRelation the bus driver returns the PDO alone,
    // referenced.
    if (result.completed && NT_SUCCESS(result.status) && (named.size() != 1 || named[0] != node->info.pdo))
        simk::detail::rule::InvalidTargetRelation(Describe(node));
    if (reported && named.size() == 1)
        *reported = named[0];
    for (DEVICE_OBJECT* object : named)
        ObDereferenceObject(object);
    return result.completed ? result.status : STATUS_PENDING;
}

bool AwaitingCloses(const DeviceNode* node)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->awaitingCloses;
}

} // namespace simk::pnp
