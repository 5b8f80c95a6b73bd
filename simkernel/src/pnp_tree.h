// The Plug and Play manager's own state, shared by its flows: the device tree and its records
// (pnp.cpp), enumeration and start (pnp_enumeration.cpp), stacks built from the installed drivers
// (pnp_stack.cpp), removal (pnp_removal.cpp), and restarts and scans (pnp_restart.cpp).
#pragma once

#include "simkernel/pnp.h"

#include "pnp_internal.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace simk::pnp {

struct DeviceNode {
    DeviceNode* parent = nullptr;
    std::vector<DeviceNode*> children;
    NodeInfo info;
    bool inTree = true;
    bool rootEnumerated = false;
    // The parent's last bus-relations reply that reached the manager listed the PDO. Root devices
    // are reported by the manager itself.
    bool listed = true;
    // Its final IRP_MN_REMOVE_DEVICE has begun: from here on its bus driver may delete the PDO.
    bool finalRemoval = false;
    // Surprise-removed with handles still open on its stack: out of its parent's children, its
    // final removal queued for the last close.
    bool awaitingCloses = false;
    // When that removal comes: the node stays (Disabled) if its bus still reports it.
    bool keepIfListed = false;
    // Its stack reported PNP_DEVICE_FAILED: once removed it stays with CM_PROB_FAILED_POST_START
    // until it starts again.
    bool reportedFailed = false;
    // AddDevice of its drivers ran (or it runs raw) and no IRP_MN_REMOVE_DEVICE has taken the
    // stack down since.
    bool stackBuilt = false;
    // The function driver's device in the stack, the stack's power policy owner; null for a raw
    // device or before its stack is built.
    DEVICE_OBJECT* functionDevice = nullptr;
    unsigned depth = 0;            // root devices are at depth 1
    std::u16string parentIdPrefix; // given to children that do not claim a unique ID
};

} // namespace simk::pnp

namespace simk::pnp::tree {

extern std::mutex g_stateMutex;            // the tree, the nodes' records, the log; never held across a driver call
extern std::recursive_mutex g_actionMutex; // one Plug and Play operation at a time, as Windows serialises them
extern std::vector<std::unique_ptr<DeviceNode>> g_nodes;
extern std::vector<DeviceNode*> g_roots;

DeviceNode* NewNode(DeviceNode* parent, DEVICE_OBJECT* pdo);
// Drops a node whose final removal was sent, and the reference the manager kept on its PDO.
void DropNode(DeviceNode* node);
// Takes a node out of its parent's children without dropping it (a removal that waits for handles).
void Detach(DeviceNode* node);

// Also sets the node's problem code by the state.
void SetState(DeviceNode* node, NodeState state, NTSTATUS problem = STATUS_SUCCESS);
NodeState GetState(const DeviceNode* node);
std::vector<DeviceNode*> LiveChildren(const DeviceNode* node);
std::string Describe(const DeviceNode* node);
std::u16string Fold(std::u16string s);

// One Plug and Play request to the top of a node's stack, logged.
simk::pnp::detail::SyncIrpResult SendPnp(DeviceNode* node, UCHAR minor, ULONG detail,
                                         const std::function<void(IO_STACK_LOCATION*)>& fill = {});
// Copies a reply handed over in IoStatus.Information and frees it, as Windows does once read.
Reply TakeReply(const simk::pnp::detail::SyncIrpResult& result, size_t fixedSize = 0);
// A relations reply: its objects (each reference now the caller's), the array freed.
std::vector<DEVICE_OBJECT*> TakeRelations(DeviceNode* node, const simk::pnp::detail::SyncIrpResult& result);

// Enumeration (pnp_enumeration.cpp).
// Sends the start and what Windows sends around it; false when the stack failed the start. A
// start after a stop (rebalance) is followed by no device-state query.
bool SendStart(DeviceNode* node, bool afterStop = false);
void EnumerateBusRelations(DeviceNode* node);
// AddDevice of the function driver has run (or none was wanted): resources, start, and what
// Windows asks after every start.
void StartNode(DeviceNode* node);

// Installed drivers and stacks (pnp_stack.cpp).
// Builds the node's stack from the registry; false (the node NotInstalled or AddDeviceFailed, with
// its problem code) when it cannot start.
bool BuildStack(DeviceNode* node);
// A node first enumerated: the best install there is becomes its service, unless it has one.
void InstallNewDevice(DeviceNode* node);
void SetServiceOf(DeviceNode* node, DRIVER_OBJECT* driver, const std::u16string& classGuid = {});
void ResetInstalls();
// A new device stops before its installation while installs are held: true when it was held here.
bool HoldInstallOf(DeviceNode* node);

// Removal (pnp_removal.cpp).
// An uninstall, disable or restart: query-remove of the subtree (a veto cancels it and is
// returned), then its removal, children first; with keepRoot a root device keeps its node.
NTSTATUS RemoveSubtree(DeviceNode* node, DeviceNode** vetoedBy, bool keepRoot);
void SurpriseRemoveTree(DeviceNode* node);
// The removal of a subtree, children first, each for good; a surprise-removed node with open
// handles waits for the last close. With keepIfListed, the top node keeps its node and PDO when its
// bus still reports it (a device that failed or was yanked while present).
void RemoveTree(DeviceNode* node, bool keepIfListed = false);
// The queued final removal of a node whose last handle closed.
void FinishRemovalAfterClose(DEVICE_OBJECT* pdo);

// IoInvalidateDeviceState, queued (pnp_restart.cpp): the node's stack is asked for its state
// and the manager acts on what it answers.
void ActOnDeviceState(DEVICE_OBJECT* pdo);

} // namespace simk::pnp::tree
