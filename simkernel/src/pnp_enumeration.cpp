// Plug and Play enumeration: root devices, a bus's relations compared with the children it had,
// each new child identified, given its function driver and started, and the requests Windows
// sends around a start (resources before, capabilities and device state after), a stop and
// restart for rebalancing, and a disabled device started again.
#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"
#include "pnp_tree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

using namespace simk::pnp;
using namespace simk::pnp::tree;

// Windows asks for texts in the system's default locale.
constexpr LCID DEFAULT_LOCALE = 0x409;

// Parent prefixes by their hash, to number two parents whose instance paths hash alike.
std::map<unsigned, unsigned> g_prefixesByHash;
std::mutex g_prefixMutex;

// A zero-terminated string from a reply's bytes (the whole block, if no terminator).
std::u16string ReplyString(const Reply& reply)
{
    std::u16string s;
    for (size_t i = 0; i + 1 < reply.bytes.size(); i += 2) {
        char16_t c = static_cast<char16_t>(reply.bytes[i] | (reply.bytes[i + 1] << 8));
        if (!c)
            break;
        s.push_back(c);
    }
    return s;
}

std::vector<std::u16string> ReplyMultiString(const Reply& reply)
{
    std::vector<std::u16string> entries;
    std::u16string current;
    for (size_t i = 0; i + 1 < reply.bytes.size(); i += 2) {
        char16_t c = static_cast<char16_t>(reply.bytes[i] | (reply.bytes[i + 1] << 8));
        if (c) {
            current.push_back(c);
            continue;
        }
        if (current.empty())
            break;
        entries.push_back(current);
        current.clear();
    }
    return entries;
}

Reply QueryId(DeviceNode* node, BUS_QUERY_ID_TYPE type)
{
    return TakeReply(
        SendPnp(node, IRP_MN_QUERY_ID, type, [&](IO_STACK_LOCATION* sl) { sl->Parameters.QueryId.IdType = type; }));
}

Reply QueryText(DeviceNode* node, DEVICE_TEXT_TYPE type)
{
    return TakeReply(SendPnp(node, IRP_MN_QUERY_DEVICE_TEXT, type, [&](IO_STACK_LOCATION* sl) {
        sl->Parameters.QueryDeviceText.DeviceTextType = type;
        sl->Parameters.QueryDeviceText.LocaleId = DEFAULT_LOCALE;
    }));
}

// "<depth>&<hash of the parent's instance path>&<n>", made once per parent and kept, as Windows
// keeps a parent's ParentIdPrefix in its registry key.
std::u16string ParentIdPrefix(DeviceNode* parent)
{
    std::u16string parentPath;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        if (!parent->parentIdPrefix.empty())
            return parent->parentIdPrefix;
        parentPath = Fold(parent->info.instancePath);
    }
    unsigned hash = 2166136261u; // FNV-1a over the folded path
    for (char16_t c : parentPath)
        hash = (hash ^ c) * 16777619u;
    unsigned n;
    {
        std::lock_guard<std::mutex> lock(g_prefixMutex);
        n = g_prefixesByHash[hash]++;
    }
    char text[40];
    std::snprintf(text, sizeof(text), "%x&%08x&%x", parent->depth, hash, n);
    std::u16string prefix(text, text + std::strlen(text));
    std::lock_guard<std::mutex> lock(g_stateMutex);
    parent->parentIdPrefix = prefix;
    return prefix;
}

// A driver that is not pageable above one that is would be called for power at DISPATCH_LEVEL by
// a stack the power manager believes it may page: Driver Verifier stops on it.
void CheckPowerPagable(DeviceNode* node)
{
    DEVICE_OBJECT* lower = node->info.pdo;
    for (DEVICE_OBJECT* upper = lower->AttachedDevice; upper; lower = upper, upper = upper->AttachedDevice) {
        if ((lower->Flags & DO_POWER_PAGABLE) && !(upper->Flags & DO_POWER_PAGABLE)) {
            simk::detail::rule::PowerPagableInconsistent(Describe(node), upper, lower);
        }
    }
    // "Setting Device Object Flags for Power Management": a device that is not pageable for power
    // may be called at DISPATCH_LEVEL, so its parent's stack may not be pageable either.
    if (!node->parent || !node->parent->info.pdo)
        return;
    // The child the bus driver made against the bus driver's own device: a filter's flags over the
    // child are the rule above's business.
    DEVICE_OBJECT* child = (node->info.pdo->Flags & DO_POWER_PAGABLE) ? nullptr : node->info.pdo;
    DEVICE_OBJECT* parent = nullptr;
    for (DEVICE_OBJECT* d = node->parent->info.pdo; d && !parent; d = d->AttachedDevice)
        if (d->Flags & DO_POWER_PAGABLE)
            parent = d;
    if (child && parent)
        simk::detail::rule::CheckDeviceObjectFlags(Describe(node), child, parent);
}

DEVICE_CAPABILITIES QueryCapabilities(DeviceNode* node, NTSTATUS* status)
{
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    auto result = SendPnp(node, IRP_MN_QUERY_CAPABILITIES, 0,
                          [&](IO_STACK_LOCATION* sl) { sl->Parameters.DeviceCapabilities.Capabilities = &caps; });
    *status = result.status;
    return caps;
}

} // namespace

namespace simk::pnp::tree {

bool SendStart(DeviceNode* node, bool afterStop)
{
    CheckPowerPagable(node);
    // After a stop the rebalance has just asked for the requirements.
    if (!afterStop)
        TakeReply(SendPnp(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0));
    auto result = SendPnp(node, IRP_MN_START_DEVICE, 0, [](IO_STACK_LOCATION* sl) {
        sl->Parameters.StartDevice.AllocatedResources = nullptr;
        sl->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    if (!result.completed || !NT_SUCCESS(result.status)) {
        SetState(node, NodeState::StartFailed, result.completed ? result.status : STATUS_PENDING);
        // A stack that failed its first start is torn down again; the PDO stays until it is
        // reported missing. After a stop the caller surprise-removes the subtree first.
        if (result.completed && !afterStop) {
            auto removed = SendPnp(node, IRP_MN_REMOVE_DEVICE, 0);
            if (removed.completed && !NT_SUCCESS(removed.status))
                simk::detail::rule::IrpFailedRemoveDevice(Describe(node), removed.status, "a failed start");
        }
        return false;
    }
    // Windows asks again after every start: a started driver may report other capabilities.
    NTSTATUS capsStatus;
    DEVICE_CAPABILITIES caps = QueryCapabilities(node, &capsStatus);
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->info.capabilitiesStatus = capsStatus;
        node->info.capabilities = caps;
    }
    // IRP_MN_QUERY_PNP_DEVICE_STATE: sent after a device's first start succeeded, never on a start
    // after a stop for resource rebalancing.
    if (!afterStop) {
        auto state = SendPnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE, 0);
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->info.deviceStateStatus = state.status;
        // The answer is a set of flags in Information itself, not a block to free.
        node->info.deviceState = state.completed && NT_SUCCESS(state.status) ? state.information : 0;
    }
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->reportedFailed = false; // a failure it reported ended with the stack that reported it
    }
    SetState(node, NodeState::Started);
    return true;
}

} // namespace simk::pnp::tree

namespace {

void EnumerateChild(DeviceNode* parent, DEVICE_OBJECT* pdo)
{
    DeviceNode* node = NewNode(parent, pdo);

    Reply deviceId = QueryId(node, BusQueryDeviceID);
    Reply instanceId = deviceId.present ? QueryId(node, BusQueryInstanceID) : Reply{};
    if (!deviceId.present || !instanceId.present) {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->info.deviceIdReply = deviceId;
        node->info.instanceIdReply = instanceId;
        node->info.state = NodeState::IdQueryFailed;
        const NTSTATUS failed = !deviceId.present ? deviceId.status : instanceId.status;
        node->info.problem = NT_SUCCESS(failed) ? STATUS_UNSUCCESSFUL : failed;
        return;
    }
    Reply hardwareIds = QueryId(node, BusQueryHardwareIDs);
    Reply compatibleIds = QueryId(node, BusQueryCompatibleIDs);

    NTSTATUS capsStatus;
    DEVICE_CAPABILITIES caps = QueryCapabilities(node, &capsStatus);

    Reply description = QueryText(node, DeviceTextDescription);
    Reply location = QueryText(node, DeviceTextLocationInformation);
    Reply busInfo = TakeReply(SendPnp(node, IRP_MN_QUERY_BUS_INFORMATION, 0), sizeof(PNP_BUS_INFORMATION));

    // A child that does not claim an instance ID unique on the machine gets its parent's prefix,
    // so two buses can both have a child "0".
    const std::u16string path = ReplyString(deviceId) + u"\\" +
                                (caps.UniqueID ? std::u16string() : ParentIdPrefix(parent) + u"&") +
                                ReplyString(instanceId);
    bool duplicate = false;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        NodeInfo& info = node->info;
        info.deviceIdReply = deviceId;
        info.instanceIdReply = instanceId;
        info.hardwareIdsReply = hardwareIds;
        info.compatibleIdsReply = compatibleIds;
        info.descriptionReply = description;
        info.locationReply = location;
        info.busInformationReply = busInfo;
        info.deviceId = ReplyString(deviceId);
        info.instanceId = ReplyString(instanceId);
        info.hardwareIds = ReplyMultiString(hardwareIds);
        info.compatibleIds = ReplyMultiString(compatibleIds);
        if (description.present)
            info.description = ReplyString(description);
        if (location.present)
            info.location = ReplyString(location);
        info.capabilitiesStatus = capsStatus;
        info.capabilities = caps;
        if (busInfo.present && busInfo.bytes.size() >= sizeof(PNP_BUS_INFORMATION)) {
            PNP_BUS_INFORMATION bus;
            std::memcpy(&bus, busInfo.bytes.data(), sizeof(bus));
            info.busInformation = bus;
        }
        for (const auto& other : g_nodes)
            if (other.get() != node && other->inTree && Fold(other->info.instancePath) == Fold(path))
                duplicate = true;
        if (!duplicate)
            info.instancePath = path;
    }
    if (duplicate) {
        simk::detail::rule::DuplicateDeviceInstance(path);
        SetState(node, NodeState::IdQueryFailed, STATUS_OBJECT_NAME_COLLISION);
        return;
    }
    simk::detail::EnsureDeviceHardwareKey(path);
    // The boot configuration and the requirements, which the arbiters would work from.
    TakeReply(SendPnp(node, IRP_MN_QUERY_RESOURCES, 0));
    TakeReply(SendPnp(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0));
    // Windows 7 and later: the child is fully enumerated, just before user mode hears of it
    // (GUID_DEVICE_ENUMERATED) and before its installation. Its answer changes nothing.
    SendPnp(node, IRP_MN_DEVICE_ENUMERATED, 0);

    if (HoldInstallOf(node))
        return;
    InstallNewDevice(node);
    if (BuildStack(node))
        StartNode(node);
}

void EnumerateBusRelationsImpl(DeviceNode* node)
{
    auto result = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations,
                          [](IO_STACK_LOCATION* sl) { sl->Parameters.QueryDeviceRelations.Type = BusRelations; });
    // A stack that does not answer keeps the children it had, and what they were last reported as.
    if (!result.completed || !NT_SUCCESS(result.status))
        return;
    const std::vector<DEVICE_OBJECT*> listed = TakeRelations(node, result);

    std::vector<DeviceNode*> known = LiveChildren(node);
    for (DeviceNode* child : known) {
        const bool still = std::find(listed.begin(), listed.end(), child->info.pdo) != listed.end();
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            child->listed = still;
        }
        if (still)
            continue;
        SurpriseRemoveTree(child);
        RemoveTree(child);
    }
    for (DEVICE_OBJECT* object : listed) {
        DeviceNode* owner = FindNodeByPdo(object);
        if (owner) {
            if (owner->parent != node)
                simk::detail::rule::ForeignRelation(Describe(node));
            ObDereferenceObject(object);
            continue;
        }
        EnumerateChild(node, object); // the reference the relations carried is now the node's
    }
}

} // namespace

namespace simk::pnp::tree {

void EnumerateBusRelations(DeviceNode* node) { EnumerateBusRelationsImpl(node); }

void StartNode(DeviceNode* node)
{
    if (SendStart(node))
        EnumerateBusRelations(node);
}

} // namespace simk::pnp::tree

namespace simk::pnp {

DeviceNode* CreateRootDevice(DRIVER_OBJECT* driver, const std::u16string& hardwareId, const std::u16string& classGuid)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "CreateRootDevice");
    DeviceNode* node = nullptr;
    if (!simk::pnp::detail::CreateRootPdo(&node, hardwareId)) {
        // Without a PDO there is nothing to hang a node on: that is a kernel fault, not a driver's.
        simk::detail::rule::RootDeviceCreation();
        return nullptr;
    }
    simk::detail::EnsureDeviceHardwareKey(InstancePath(node));
    if (driver)
        SetServiceOf(node, driver, classGuid);
    if (BuildStack(node))
        StartNode(node);
    return node;
}

void EnumerateNow(DeviceNode* node)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (node && node->inTree && GetState(node) == NodeState::Started)
        EnumerateBusRelations(node);
}

NTSTATUS EnableDevice(DeviceNode* node)
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (!node || !node->inTree || GetState(node) != NodeState::Disabled)
        return STATUS_INVALID_DEVICE_STATE;
    if (!BuildStack(node))
        return Info(node).problem;
    StartNode(node);
    const NodeState state = GetState(node);
    return state == NodeState::Started ? STATUS_SUCCESS : Info(node).problem;
}

} // namespace simk::pnp
