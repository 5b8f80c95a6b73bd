// The simulated Plug and Play manager: a tree of device nodes driven the way Windows drives them
// (AddDevice, start, bus-relations enumeration, query-remove / remove / surprise removal), what it
// saw along the way, and a child function-driver double that tests can put over enumerated devices.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace simk::pnp {

// A device node. Nodes stay valid (and inspectable) until the kernel is reset, also after their
// device was removed and dropped from the tree.
struct DeviceNode;

enum class NodeState {
    Enumerated,      // reported and identified; no start sent yet
    IdQueryFailed,   // its device ID or instance ID could not be read, or clashed: never started
    AddDeviceFailed, // the function driver's AddDevice failed: never started
    StartFailed,     // the stack failed IRP_MN_START_DEVICE; the stack was then sent IRP_MN_REMOVE_DEVICE
    NotInstalled,    // present and identified, but no function driver is installed for it and it cannot run
                     // raw (RawDeviceOK clear): never started, problem code 28 (CM_PROB_FAILED_INSTALL)
    Started,
    Disabled,        // removed while its bus still reports it: the node and the PDO stay, the stack is gone
    QueryRemoved,    // between a successful query-remove and the removal or the cancel
    SurpriseRemoved, // IRP_MN_SURPRISE_REMOVAL sent; the removal follows
    Removed,         // its final IRP_MN_REMOVE_DEVICE was sent: no longer in the tree
};
const char* NodeStateName(NodeState state);
inline std::ostream& operator<<(std::ostream& os, NodeState state) { return os << NodeStateName(state); }

// One reply a driver handed over in IoStatus.Information, copied before the manager freed it.
struct Reply {
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    bool present = false;             // a success with a non-null Information
    std::vector<unsigned char> bytes; // the whole pool block the reply lives in
    ULONG tag = 0;                    // its pool tag
};

// Everything the manager learned about a device when it enumerated it.
struct NodeInfo {
    DEVICE_OBJECT* pdo = nullptr;
    NodeState state = NodeState::Enumerated;
    NTSTATUS problem = STATUS_SUCCESS; // why it is in a failed state
    ULONG problemCode = 0;             // its CM_PROB_* code as Device Manager shows it; 0 when it has none
    // "<device id>\<instance id>", case as reported; for a child that does not claim a unique ID,
    // "<device id>\<parent prefix>&<instance id>", as Windows builds it.
    std::u16string instancePath;
    std::u16string deviceId;
    std::u16string instanceId;
    std::vector<std::u16string> hardwareIds; // the multi-string's entries
    std::vector<std::u16string> compatibleIds;
    std::optional<std::u16string> description; // set when the text query succeeded
    std::optional<std::u16string> location;
    Reply deviceIdReply, instanceIdReply, hardwareIdsReply, compatibleIdsReply;
    Reply descriptionReply, locationReply, busInformationReply;
    NTSTATUS capabilitiesStatus = STATUS_NOT_SUPPORTED;
    DEVICE_CAPABILITIES capabilities{};                // as the stack left it, asked again after each start
    NTSTATUS deviceStateStatus = STATUS_NOT_SUPPORTED; // IRP_MN_QUERY_PNP_DEVICE_STATE after the last start
    ULONG_PTR deviceState = 0;                         // its PNP_DEVICE_STATE flags
    std::optional<PNP_BUS_INFORMATION> busInformation;
    bool functionDriverAttached = false; // the child function-driver double is on its stack
    bool raw = false;                    // started without a function driver (RawDeviceOK)
};

// Device Manager's problem codes the manager sets (cfg.h).
inline constexpr ULONG CM_PROB_NOT_CONFIGURED = 1; // a new device whose installation has not finished
inline constexpr ULONG CM_PROB_FAILED_START = 10;
inline constexpr ULONG CM_PROB_FAILED_INSTALL = 28;
inline constexpr ULONG CM_PROB_FAILED_ADD = 31;
inline constexpr ULONG CM_PROB_DISABLED = 22;
inline constexpr ULONG CM_PROB_FAILED_POST_START = 43; // its stack reported PNP_DEVICE_FAILED

// One Plug and Play (or, from the function-driver double, power) request as the manager saw it.
struct IrpRecord {
    DeviceNode* node = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
    DEVICE_OBJECT* target = nullptr; // the device the request was sent to (the top of the stack)
    UCHAR major = IRP_MJ_PNP;
    UCHAR minor = 0;
    ULONG detail = 0; // relation type, ID type, text type or power state, by minor function
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

// Root-enumerated device "ROOT\<last component of hardwareId>\NNNN", a PDO of the manager's own root
// bus driver, installed with `driver` as its service ("Service" in its device key). Its stack is
// built as every node's is (filters and function driver from the registry, AddDevice at
// PASSIVE_LEVEL), then started and its bus relations enumerated. Never null: a failure shows in the
// node's state; with no driver it stays NotInstalled.
DeviceNode* CreateRootDevice(DRIVER_OBJECT* driver, const std::u16string& hardwareId,
                             const std::u16string& classGuid = {});
DRIVER_OBJECT* RootBusDriver(); // "\Driver\PnpManager", created with the first root device

// Work queued by IoInvalidateDeviceRelations. RunUntilIdle processes it on the calling thread (or
// waits for the worker thread) until nothing is left and nothing is running.
void RunUntilIdle();
void StartWorkerThread();
void StopWorkerThread(); // queued work stays queued
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
// Resource rebalancing of the node and every started stack below it, as Windows (since Vista)
// rebalances a subtree: query-stop to each, children before parents; a veto (its status returned,
// the node that vetoed in *vetoedBy) sends cancel-stop to every stack queried, in reverse order.
// Then each is asked for its resource requirements; when the node itself consumes none, the
// manager sends cancel-stop to all as an optimisation, and nothing stops. Otherwise each stack is
// stopped, children first, and started again with the same stack, parents first; a start that
// fails after the stop surprise-removes the children of that node.
NTSTATUS Rebalance(DeviceNode* node, DeviceNode** vetoedBy = nullptr);
// The root enumerator reports a resource requirement (an I/O port range) for a root device, so a
// rebalance of it stops and starts it.
void RootDeviceConsumesResources(DeviceNode* rootDevice, bool consumes);
// The device is yanked: surprise removal of the started stacks in the subtree, then their removal.
// A child its bus still reports (a device that failed while present) keeps its node as Disabled
// until the bus stops reporting it, as after a disable. A surprise-removed device with a handle open on its stack gets its final removal only once the
// last handle closes (queued work, like enumeration), also after its parent is gone.
void SurpriseRemoveDevice(DeviceNode* node);
bool AwaitingCloses(const DeviceNode* node);
// IRP_MN_QUERY_DEVICE_RELATIONS for TargetDeviceRelation, as Windows sends it when someone
// registers for notifications on a handle to the device: at any time, also while another Plug and
// Play request of the same node is under way (it does not wait for the manager's current
// operation). The status; on success *reported is the device the stack named (its reference
// released), which must be the PDO.
NTSTATUS QueryTargetDeviceRelation(DeviceNode* node, DEVICE_OBJECT** reported = nullptr);
// The root enumerator fails the bus-relations queries that reach a root device's PDO with `status`
// (a driver above it then sees its reply refused); STATUS_SUCCESS ends that.
void FailBusRelationsBelow(DeviceNode* rootDevice, NTSTATUS status);
// The manager's own re-enumeration of a device's bus relations, done at once.
void EnumerateNow(DeviceNode* node);

// How long the manager waits for a request that a driver left pending before it reports
// "PnpIrpNeverCompleted" and leaves the request to its fate.
void SetPendingIrpTimeout(std::chrono::milliseconds timeout);

// ---- Installed drivers and the stacks built from them ---------------------------------------
// Every node's stack is built by one routine from the registry, as Windows builds it: the
// "Service" and "ClassGUID" of the node's device key ("Enum\<instance path>"), the "LowerFilters"
// and "UpperFilters" (REG_MULTI_SZ service names) of that key and of the class key
// ("Control\Class\<ClassGUID>"), AddDevice called in the order device lower filters, class lower
// filters, function driver, device upper filters, class upper filters. A service whose driver is
// not loaded is loaded from the image it was installed with.

// What an INF install leaves behind: devices reporting `hardwareId` (among their hardware or
// compatible IDs; empty: every device) get `driver`'s service as their function driver and
// `classGuid` as their setup class when they are first enumerated. As an install on Windows does,
// the nodes that match and wait at problem 28 get their stacks built and started at once.
void InstallDriver(const std::u16string& hardwareId, DRIVER_OBJECT* driver, const std::u16string& classGuid = {});
// A service installed from a driver image (a filter, say): loaded as `serviceName` unless that
// service is loaded already, and loaded again from the image whenever a stack needs it after it
// was unloaded. Null (and *error set) when the image cannot be loaded.
DRIVER_OBJECT* InstallService(const char* imagePath, const std::u16string& serviceName, std::string* error = nullptr);
// The same for a driver image: loaded as `serviceName` unless that service is loaded already, and
// loaded again from the image whenever a stack needs the service after it was unloaded. Null (and
// *error set) when the image cannot be loaded.
DRIVER_OBJECT* InstallDriverImage(const std::u16string& hardwareId, const char* imagePath,
                                  const std::u16string& serviceName, const std::u16string& classGuid = {},
                                  std::string* error = nullptr);
// On a real machine a new device waits for its installation (driver selection, the class installer,
// copying files) before AddDevice: seconds, in which Device Manager shows it with problem 1. While
// held, every device enumerated for the first time stops there (Enumerated, problem code 1), and
// ReleaseHeldInstalls installs and starts the ones still in the tree, as the finished installation
// would. Devices seen before, and every other operation, are not held.
void HoldNewDeviceInstalls(bool hold);
void ReleaseHeldInstalls();
// Forgets an install: devices enumerated from then on no longer get its driver (installed devices keep theirs).
void UninstallDriverPackage(const std::u16string& hardwareId);
// Filters as an INF's AddReg (device) or a class installer (class) writes them. They take effect
// at the node's next stack build: its first start, a restart, an enable.
void SetDeviceFilters(DeviceNode* node, const std::vector<std::u16string>& upper,
                      const std::vector<std::u16string>& lower);
void SetClassFilters(const std::u16string& classGuid, const std::vector<std::u16string>& upper,
                     const std::vector<std::u16string>& lower);
std::u16string DeviceKeyPath(const DeviceNode* node); // "<CurrentControlSet>\Enum\<instance path>"
// The node's device objects from the PDO up, as attached now.
std::vector<DEVICE_OBJECT*> Stack(const DeviceNode* node);

// ---- What a user or an installer does to a device ------------------------------------------
// "Restart device" (and what a driver update does): removal relations and query-remove of the
// subtree (a veto, or a handle open on a queried stack, ends it with cancel-remove and the veto's
// status), removal of the subtree, children first (the node and its PDO stay), then the node's
// stack built again from the registry (so a new function driver or filter takes over) and the
// same PDO started and enumerated.
NTSTATUS RestartDevice(DeviceNode* node, DeviceNode** vetoedBy = nullptr);
// A driver update: `driver` becomes the node's service, then the node restarts. A node at
// problem 28 is started with it.
NTSTATUS UpdateDriver(DeviceNode* node, DRIVER_OBJECT* driver, DeviceNode** vetoedBy = nullptr);
// Device Manager's "Scan for hardware changes": the bus relations of every started device, from
// the roots down, as the manager's own re-enumeration of the tree.
void ScanForHardwareChanges();

// ---- System power ------------------------------------------------------------------------
// The power manager takes the machine to `state` (PowerSystemSleeping3, PowerSystemHibernate) or
// back to PowerSystemWorking: IRP_MN_QUERY_POWER for a sleep state to every started stack (a
// failure vetoes the transition, returned with nothing set), then IRP_MN_SET_POWER, each a system
// power IRP sent to the top of the stack and waited for. Going to sleep, children hear it before
// their parents; waking, parents before children. A stack's power policy owner (the
// function-driver double for readers) answers with the D-IRP its device's DeviceState table maps
// the state to.
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE CurrentSystemPowerState(); // PowerSystemWorking until a transition

// Lookup. Instance paths are compared case-insensitively; only nodes in the tree are found.
DeviceNode* FindNode(const std::u16string& instancePath);
DeviceNode* FindNodeByPdo(const DEVICE_OBJECT* pdo);
std::vector<DeviceNode*> RootDevices();
std::vector<DeviceNode*> Children(const DeviceNode* node);
DeviceNode* Parent(const DeviceNode* node); // null for root devices
NodeState State(const DeviceNode* node);
DEVICE_OBJECT* Pdo(const DeviceNode* node);
std::u16string InstancePath(const DeviceNode* node);
std::u16string HardwareKeyPath(const DeviceNode* node); // its "Device Parameters" key
NodeInfo Info(const DeviceNode* node);

// Every request the manager sent, in order (ClearIrpLog forgets them); or those of one node.
std::vector<IrpRecord> IrpLog();
std::vector<IrpRecord> IrpLogFor(const DeviceNode* node);
void ClearIrpLog();

// Pool the manager holds: replies it was handed and has not freed yet. Settled, this is zero:
// replies are copied and freed at once, so whatever else is outstanding belongs to drivers.
size_t OwnedPoolBlocks();

// The child function-driver double: a driver of its own ("\Driver\ChildFunction"), installed as
// InstallDriver installs one for `hardwareId` (empty: every device), so its AddDevice attaches an
// FDO over each matching child the manager enumerates from then on (and over those waiting at
// problem 28). The host tool, the Python host library, the benchmarks and the driver's test
// fixtures install it for the reader's hardware ID, as a reader's own driver would be.
struct ChildFunctionDriverOptions {
    std::u16string hardwareId;                 // attach only over children reporting it; empty: all
    NTSTATUS addDeviceStatus = STATUS_SUCCESS; // a failure here makes AddDevice fail, creating nothing
    bool powerDownOnSurpriseRemoval = false;   // send IRP_MN_SET_POWER D3 to the PDO first
    bool powerDownOnRemove = false;            // the same on IRP_MN_REMOVE_DEVICE
    // Requests (other than start, removal and stop) the function driver answers before passing
    // them down: status and Information as it sets them.
    struct Answer {
        NTSTATUS status;
        ULONG_PTR information;
    };
    std::map<UCHAR, Answer> pnpAnswers;
    std::optional<NTSTATUS> wmiAnswer; // its answer to every IRP_MJ_SYSTEM_CONTROL
};
void SetChildFunctionDriver(const ChildFunctionDriverOptions& options);
void ClearChildFunctionDriver(); // existing FDOs stay until their devices are removed
DRIVER_OBJECT* ChildFunctionDriver();
// A WMI request (IRP_MJ_SYSTEM_CONTROL, Status STATUS_NOT_SUPPORTED) sent to the top of a node's
// stack, as the WMI service sends them; the status it came back with.
NTSTATUS SendWmiRequest(DeviceNode* node, UCHAR minor);
size_t ChildFunctionDeviceCount(); // FDOs of the double that exist now

// ---- Device interfaces ------------------------------------------------------------------------
// The enabled interfaces of a class whose device is in the tree, as SetupDiGetClassDevs
// (DIGCF_DEVICEINTERFACE | DIGCF_PRESENT) lists them; an application opens one through its device
// (simk::user::OpenDeviceObject of the PDO sends the create to the top of the stack).
struct DeviceInterface {
    std::u16string linkName; // "\??\<instance path, '' as '#'>#{guid}", folded
    DeviceNode* node = nullptr;
    DEVICE_OBJECT* pdo = nullptr;
};
std::vector<DeviceInterface> DeviceInterfaces(const GUID& interfaceClass);

// Every interface of a class ever registered, on or off, as CM_Get_Device_Interface_List with
// CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES lists them: one switched off, or whose device is gone,
// stays listed as disabled (Windows keeps its entry), so a test sees an application's view of it.
struct RegisteredInterface {
    std::u16string linkName; // folded, as DeviceInterface's
    std::u16string instancePath;
    bool enabled = false;
};
std::vector<RegisteredInterface> RegisteredInterfaces(const GUID& interfaceClass);

// An application's registration for the arrivals and removals of a class's interfaces
// (CM_Register_Notification for CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE), kept in the same list as the
// drivers' IoRegisterPlugPlayNotification. As on Windows, a change is announced only when the state
// really changes (IoSetDeviceInterfaceState, or the manager switching off what a removed stack left
// on), queued behind the manager's pending work and delivered by its worker (RunUntilIdle), in
// order; with includeExisting, the interfaces on at the registration arrive first, at once.
struct InterfaceEvent {
    bool arrival = false;
    std::u16string linkName; // folded
    bool operator==(const InterfaceEvent& other) const
    {
        return arrival == other.arrival && linkName == other.linkName;
    }
};
class InterfaceWatch
{
public:
    explicit InterfaceWatch(const GUID& interfaceClass, bool includeExisting = false);
    ~InterfaceWatch(); // unregisters; no event is recorded after it
    InterfaceWatch(const InterfaceWatch&) = delete;
    InterfaceWatch& operator=(const InterfaceWatch&) = delete;

    std::vector<InterfaceEvent> Events() const; // delivered so far, oldest first

    struct Record;

private:
    std::shared_ptr<Record> m_Record;
    void* m_Entry = nullptr;
};

} // namespace simk::pnp
