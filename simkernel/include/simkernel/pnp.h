// The simulated Plug and Play manager: a tree of device nodes driven the way Windows drives them
// (AddDevice, start, bus-relations enumeration, query-remove / remove / surprise removal), what it
// saw along the way, and a child function-driver double that tests can put over enumerated devices.
#pragma once

#include <wdm.h>

#include <chrono>
#include <map>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace simk::pnp {

// A device node. Nodes stay valid (and inspectable) until the kernel is reset, also after their
// device was removed and dropped from the tree.
struct DeviceNode;

enum class NodeState {
    Enumerated,       // reported and identified; no start sent yet
    IdQueryFailed,    // its device ID or instance ID could not be read, or clashed: never started
    AddDeviceFailed,  // the function driver's AddDevice failed: never started
    StartFailed,      // the stack failed IRP_MN_START_DEVICE; the stack was then sent IRP_MN_REMOVE_DEVICE
    Started,
    Disabled,         // removed while its bus still reports it: the node and the PDO stay, the stack is gone
    QueryRemoved,     // between a successful query-remove and the removal or the cancel
    SurpriseRemoved,  // IRP_MN_SURPRISE_REMOVAL sent; the removal follows
    Removed,          // its final IRP_MN_REMOVE_DEVICE was sent: no longer in the tree
};
const char* NodeStateName(NodeState state);
inline std::ostream& operator<<(std::ostream& os, NodeState state) { return os << NodeStateName(state); }

// One reply a driver handed over in IoStatus.Information, copied before the manager freed it.
struct Reply {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    bool present = false;              // a success with a non-null Information
    std::vector<unsigned char> bytes;  // the whole pool block the reply lives in
    ULONG tag = 0;                     // its pool tag
};

// Everything the manager learned about a device when it enumerated it.
struct NodeInfo {
    DEVICE_OBJECT* pdo = nullptr;
    NodeState state = NodeState::Enumerated;
    NTSTATUS problem = STATUS_SUCCESS;  // why it is in a failed state
    // "<device id>\<instance id>", case as reported; for a child that does not claim a unique ID,
    // "<device id>\<parent prefix>&<instance id>", as Windows builds it.
    std::u16string instancePath;
    std::u16string deviceId;
    std::u16string instanceId;
    std::vector<std::u16string> hardwareIds;    // the multi-string's entries
    std::vector<std::u16string> compatibleIds;
    std::optional<std::u16string> description;  // set when the text query succeeded
    std::optional<std::u16string> location;
    Reply deviceIdReply, instanceIdReply, hardwareIdsReply, compatibleIdsReply;
    Reply descriptionReply, locationReply, busInformationReply;
    NTSTATUS capabilitiesStatus = STATUS_NOT_SUPPORTED;
    DEVICE_CAPABILITIES capabilities{};  // as the stack left it, asked again after each start
    NTSTATUS deviceStateStatus = STATUS_NOT_SUPPORTED;  // IRP_MN_QUERY_PNP_DEVICE_STATE after the last start
    ULONG_PTR deviceState = 0;                          // its PNP_DEVICE_STATE flags
    std::optional<PNP_BUS_INFORMATION> busInformation;
    bool functionDriverAttached = false;  // the child function-driver double is on its stack
};

// One Plug and Play (or, from the function-driver double, power) request as the manager saw it.
struct IrpRecord {
    DeviceNode* node = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    DEVICE_OBJECT* target = nullptr;  // the device the request was sent to (the top of the stack)
    UCHAR major = IRP_MJ_PNP;
    UCHAR minor = 0;
    ULONG detail = 0;  // relation type, ID type, text type or power state, by minor function
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

// Root-enumerated device "ROOT\<last component of hardwareId>\NNNN", a PDO of the manager's own root
// bus driver. Calls driver->DriverExtension->AddDevice at PASSIVE_LEVEL, starts the stack and
// enumerates its bus relations. Never null: a failure shows in the node's state.
DeviceNode* CreateRootDevice(DRIVER_OBJECT* driver, const std::u16string& hardwareId);
DRIVER_OBJECT* RootBusDriver();  // "\Driver\PnpManager", created with the first root device

// Work queued by IoInvalidateDeviceRelations. RunUntilIdle processes it on the calling thread (or
// waits for the worker thread) until nothing is left and nothing is running.
void RunUntilIdle();
void StartWorkerThread();
void StopWorkerThread();  // queued work stays queued
size_t QueuedWorkCount();

// The user uninstalls a device: removal relations and query-remove of the subtree, children first;
// on a veto (a driver's, or a handle still open on a queried stack, STATUS_DEVICE_BUSY),
// cancel-remove to every stack that was queried, in reverse order, and the veto's status is
// returned (the node that vetoed in *vetoedBy). Otherwise removal, children before parents. A root
// device goes for good; a child its bus still reports keeps its node as Disabled (the PDO stays
// its bus driver's), and is removed once more when the bus stops reporting it.
NTSTATUS RemoveDevice(DeviceNode* node, DeviceNode** vetoedBy = nullptr);
// The user disables a device: as RemoveDevice, but a root device's node is kept Disabled too.
NTSTATUS DisableDevice(DeviceNode* node, DeviceNode** vetoedBy = nullptr);
// The user enables a Disabled device: its function driver is added again and the stack started.
NTSTATUS EnableDevice(DeviceNode* node);
// Resource rebalancing: query-stop (cancel-stop on a veto, whose status is returned), stop, and a
// new start of the same stack.
NTSTATUS Rebalance(DeviceNode* node);
// The device is yanked: surprise removal of the started stacks in the subtree, then their removal.
// A child its bus still reports (a device that failed while present) keeps its node as Disabled
// until the bus stops reporting it, as after a disable. A surprise-removed device with a handle open on its stack gets its final removal only once the
// last handle closes (queued work, like enumeration), also after its parent is gone.
void SurpriseRemoveDevice(DeviceNode* node);
bool AwaitingCloses(const DeviceNode* node);
// The root enumerator fails the bus-relations queries that reach a root device's PDO with `status`
// (a driver above it then sees its reply refused); STATUS_SUCCESS ends that.
void FailBusRelationsBelow(DeviceNode* rootDevice, NTSTATUS status);
// The manager's own re-enumeration of a device's bus relations, done at once.
void EnumerateNow(DeviceNode* node);

// How long the manager waits for a request that a driver left pending before it reports
// "PnpIrpNeverCompleted" and leaves the request to its fate.
void SetPendingIrpTimeout(std::chrono::milliseconds timeout);

// Lookup. Instance paths are compared case-insensitively; only nodes in the tree are found.
DeviceNode* FindNode(const std::u16string& instancePath);
DeviceNode* FindNodeByPdo(const DEVICE_OBJECT* pdo);
std::vector<DeviceNode*> RootDevices();
std::vector<DeviceNode*> Children(const DeviceNode* node);
DeviceNode* Parent(const DeviceNode* node);  // null for root devices
NodeState State(const DeviceNode* node);
DEVICE_OBJECT* Pdo(const DeviceNode* node);
std::u16string InstancePath(const DeviceNode* node);
std::u16string HardwareKeyPath(const DeviceNode* node);  // its "Device Parameters" key
NodeInfo Info(const DeviceNode* node);

// Every request the manager sent, in order (ClearIrpLog forgets them); or those of one node.
std::vector<IrpRecord> IrpLog();
std::vector<IrpRecord> IrpLogFor(const DeviceNode* node);
void ClearIrpLog();

// Pool the manager holds: replies it was handed and has not freed yet. Settled, this is zero:
// replies are copied and freed at once, so whatever else is outstanding belongs to drivers.
size_t OwnedPoolBlocks();

// The child function-driver double: a driver of its own ("\Driver\ChildFunction") whose AddDevice
// attaches an FDO over each child the manager enumerates from then on.
struct ChildFunctionDriverOptions {
    std::u16string hardwareId;               // attach only over children reporting it; empty: all
    NTSTATUS addDeviceStatus = STATUS_SUCCESS;  // a failure here makes AddDevice fail, creating nothing
    bool powerDownOnSurpriseRemoval = false; // send IRP_MN_SET_POWER D3 to the PDO first
    bool powerDownOnRemove = false;          // the same on IRP_MN_REMOVE_DEVICE
    // Requests (other than start, removal and stop) the function driver answers before passing
    // them down: status and Information as it sets them.
    struct Answer {
        NTSTATUS status;
        ULONG_PTR information;
    };
    std::map<UCHAR, Answer> pnpAnswers;
    std::optional<NTSTATUS> wmiAnswer;  // its answer to every IRP_MJ_SYSTEM_CONTROL
};
void SetChildFunctionDriver(const ChildFunctionDriverOptions& options);
void ClearChildFunctionDriver();  // existing FDOs stay until their devices are removed
DRIVER_OBJECT* ChildFunctionDriver();
// A WMI request (IRP_MJ_SYSTEM_CONTROL, Status STATUS_NOT_SUPPORTED) sent to the top of a node's
// stack, as the WMI service sends them; the status it came back with.
NTSTATUS SendWmiRequest(DeviceNode* node, UCHAR minor);
size_t ChildFunctionDeviceCount();  // FDOs of the double that exist now

}  // namespace simk::pnp
