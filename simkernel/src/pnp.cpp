// The Plug and Play manager: the device tree, root enumeration, bus-relations enumeration as queued
// work, and the removal protocols, all carried out with IRPs through the I/O manager as on Windows.
#include "simkernel/pnp.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace simk::pnp {

struct DeviceNode {
    DeviceNode* parent = nullptr;
    std::vector<DeviceNode*> children;
    NodeInfo info;
    bool inTree = true;
    bool rootEnumerated = false;
};

}  // namespace simk::pnp

namespace {

using namespace simk::pnp;

// Windows asks for texts in the system's default locale.
constexpr LCID DEFAULT_LOCALE = 0x409;
constexpr ULONG ROOT_REPLY_TAG = 0x20207050;  // "Pp  ", as Windows tags Plug and Play's own pool

// The root bus driver keeps this in each of its PDOs.
struct RootPdoExtension {
    DeviceNode* node;
    BOOLEAN deleteOnRemove;  // set before the final removal: the root enumerator forgets the device
};

std::mutex g_stateMutex;             // the tree, the nodes' records, the log; never held across a driver call
std::recursive_mutex g_actionMutex;  // one Plug and Play operation at a time, as Windows serialises them
std::vector<std::unique_ptr<DeviceNode>> g_nodes;
std::vector<DeviceNode*> g_roots;
std::map<const DEVICE_OBJECT*, DeviceNode*> g_byPdo;
std::map<std::u16string, unsigned> g_rootInstances;  // by folded device ID: the next instance number
std::vector<IrpRecord> g_log;
DRIVER_OBJECT* g_rootDriver;
size_t g_ownedBlocks;
std::chrono::milliseconds g_pendingTimeout{5000};

struct WorkItem {
    DEVICE_OBJECT* pdo;
    DEVICE_RELATION_TYPE type;
};
std::mutex g_queueMutex;
std::condition_variable g_queueChanged;
std::deque<WorkItem> g_queue;
unsigned g_busy;
std::thread g_worker;
bool g_workerStop;

std::u16string Fold(std::u16string s) {
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    return s;
}

std::u16string LastComponent(const std::u16string& id) {
    const size_t slash = id.find_last_of(u'\\');
    return slash == std::u16string::npos ? id : id.substr(slash + 1);
}

std::u16string Digits4(unsigned n) {
    std::u16string s;
    for (int i = 0; i < 4; ++i) {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    }
    return s;
}

void SetState(DeviceNode* node, NodeState state, NTSTATUS problem = STATUS_SUCCESS) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    node->info.state = state;
    node->info.problem = problem;
}

NodeState GetState(const DeviceNode* node) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->info.state;
}

DeviceNode* NewNode(DeviceNode* parent, DEVICE_OBJECT* pdo) {
    auto owned = std::make_unique<DeviceNode>();
    DeviceNode* node = owned.get();
    node->parent = parent;
    node->info.pdo = pdo;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        g_nodes.push_back(std::move(owned));
        if (parent)
            parent->children.push_back(node);
        else
            g_roots.push_back(node);
        g_byPdo[pdo] = node;
    }
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    pdo->DeviceObjectExtension->DeviceNode = node;
    return node;
}

// Drops a node whose final removal was sent, and the reference the manager kept on its PDO.
void DropNode(DeviceNode* node) {
    DEVICE_OBJECT* pdo;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->inTree = false;
        node->info.state = NodeState::Removed;
        auto& siblings = node->parent ? node->parent->children : g_roots;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
        auto it = g_byPdo.find(node->info.pdo);
        if (it != g_byPdo.end() && it->second == node) g_byPdo.erase(it);
        pdo = node->info.pdo;
    }
    pdo->DeviceObjectExtension->DeviceNode = nullptr;
    ObDereferenceObject(pdo);
}

// One Plug and Play request to the top of a node's stack, logged.
simk::pnp::detail::SyncIrpResult SendPnp(DeviceNode* node, UCHAR minor, ULONG detail,
                                          const std::function<void(IO_STACK_LOCATION*)>& fill = {}) {
    DEVICE_OBJECT* pdo = node->info.pdo;
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(pdo);
    const size_t index = simk::pnp::detail::LogIrp(pdo, top, IRP_MJ_PNP, minor, detail);
    auto result = simk::pnp::detail::SendAndWait(top, IRP_MJ_PNP, minor, [&](IO_STACK_LOCATION* sl) {
        if (fill) fill(sl);
    });
    simk::pnp::detail::LogIrpResult(index, result.status, result.information);
    ObDereferenceObject(top);
    return result;
}

// Copies a reply handed over in IoStatus.Information and frees it, as Windows does once read.
Reply TakeReply(const simk::pnp::detail::SyncIrpResult& result, size_t fixedSize = 0) {
    Reply reply;
    reply.status = result.status;
    void* block = reinterpret_cast<void*>(result.information);
    if (!result.completed || !NT_SUCCESS(result.status) || !block) return reply;
    reply.present = true;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        ++g_ownedBlocks;
    }
    size_t size = 0;
    simk::pool::Allocation allocation{};
    if (simk::pool::IsOutstanding(block, &allocation)) {
        size = allocation.size;
        reply.tag = allocation.tag;
    } else if (fixedSize) {
        size = fixedSize;
    } else {
        // Not pool the kernel handed out: read up to a double terminator and let the free report it.
        const auto* chars = static_cast<const char16_t*>(block);
        size_t n = 0;
        while (chars[n] || chars[n + 1]) ++n;
        size = (n + 2) * sizeof(char16_t);
    }
    const auto* bytes = static_cast<const unsigned char*>(block);
    reply.bytes.assign(bytes, bytes + size);
    ExFreePool(block);
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        --g_ownedBlocks;
    }
    return reply;
}

// A zero-terminated string from a reply's bytes (the whole block, if no terminator).
std::u16string ReplyString(const Reply& reply) {
    std::u16string s;
    for (size_t i = 0; i + 1 < reply.bytes.size(); i += 2) {
        char16_t c = static_cast<char16_t>(reply.bytes[i] | (reply.bytes[i + 1] << 8));
        if (!c) break;
        s.push_back(c);
    }
    return s;
}

std::vector<std::u16string> ReplyMultiString(const Reply& reply) {
    std::vector<std::u16string> entries;
    std::u16string current;
    for (size_t i = 0; i + 1 < reply.bytes.size(); i += 2) {
        char16_t c = static_cast<char16_t>(reply.bytes[i] | (reply.bytes[i + 1] << 8));
        if (c) {
            current.push_back(c);
            continue;
        }
        if (current.empty()) break;
        entries.push_back(current);
        current.clear();
    }
    return entries;
}

Reply QueryId(DeviceNode* node, BUS_QUERY_ID_TYPE type) {
    return TakeReply(SendPnp(node, IRP_MN_QUERY_ID, type,
                             [&](IO_STACK_LOCATION* sl) { sl->Parameters.QueryId.IdType = type; }));
}

Reply QueryText(DeviceNode* node, DEVICE_TEXT_TYPE type) {
    return TakeReply(SendPnp(node, IRP_MN_QUERY_DEVICE_TEXT, type, [&](IO_STACK_LOCATION* sl) {
        sl->Parameters.QueryDeviceText.DeviceTextType = type;
        sl->Parameters.QueryDeviceText.LocaleId = DEFAULT_LOCALE;
    }));
}

void Violation(const char* rule, const std::string& details) { simk::verifier::Report(rule, details); }

std::string Describe(const DeviceNode* node) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->info.instancePath.empty() ? "an unidentified device" : simk::Narrow(node->info.instancePath);
}

void EnumerateBusRelations(DeviceNode* node);

// Removal that must not fail: Windows treats a failure here as a driver bug.
void SendMustSucceed(DeviceNode* node, UCHAR minor, const char* rule) {
    auto result = SendPnp(node, minor, 0);
    if (result.completed && !NT_SUCCESS(result.status)) {
        char details[160];
        std::snprintf(details, sizeof(details), "status 0x%08X from %s", static_cast<unsigned>(result.status),
                      Describe(node).c_str());
        Violation(rule, details);
    }
}

void SendFinalRemove(DeviceNode* node) {
    if (node->rootEnumerated) {
        auto* ext = static_cast<RootPdoExtension*>(node->info.pdo->DeviceExtension);
        ext->deleteOnRemove = TRUE;
    }
    SendMustSucceed(node, IRP_MN_REMOVE_DEVICE, "PnpIrpFailedRemoveDevice");
    DropNode(node);
}

std::vector<DeviceNode*> LiveChildren(const DeviceNode* node) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->children;
}

void SurpriseRemoveTree(DeviceNode* node) {
    for (DeviceNode* child : LiveChildren(node)) SurpriseRemoveTree(child);
    const NodeState state = GetState(node);
    if (state == NodeState::Started || state == NodeState::QueryRemoved) {
        SendMustSucceed(node, IRP_MN_SURPRISE_REMOVAL, "PnpIrpFailedSurpriseRemoval");
        SetState(node, NodeState::SurpriseRemoved);
    }
}

void RemoveTree(DeviceNode* node) {
    for (DeviceNode* child : LiveChildren(node)) RemoveTree(child);
    SendFinalRemove(node);
}

void CollectPostOrder(DeviceNode* node, std::vector<DeviceNode*>* out) {
    for (DeviceNode* child : LiveChildren(node)) CollectPostOrder(child, out);
    out->push_back(node);
}

// AddDevice of the function driver has run (or none was wanted): start the stack and, as Windows
// does after every start, ask it for its children.
void StartNode(DeviceNode* node) {
    auto result = SendPnp(node, IRP_MN_START_DEVICE, 0, [](IO_STACK_LOCATION* sl) {
        sl->Parameters.StartDevice.AllocatedResources = nullptr;
        sl->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    if (!result.completed || !NT_SUCCESS(result.status)) {
        SetState(node, NodeState::StartFailed, result.completed ? result.status : STATUS_PENDING);
        // A stack that failed its start is torn down again; the PDO stays until it is reported missing.
        if (result.completed) SendMustSucceed(node, IRP_MN_REMOVE_DEVICE, "PnpIrpFailedRemoveDevice");
        return;
    }
    SetState(node, NodeState::Started);
    EnumerateBusRelations(node);
}

void EnumerateChild(DeviceNode* parent, DEVICE_OBJECT* pdo) {
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

    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    auto capsResult = SendPnp(node, IRP_MN_QUERY_CAPABILITIES, 0, [&](IO_STACK_LOCATION* sl) {
        sl->Parameters.DeviceCapabilities.Capabilities = &caps;
    });

    Reply description = QueryText(node, DeviceTextDescription);
    Reply location = QueryText(node, DeviceTextLocationInformation);
    Reply busInfo = TakeReply(SendPnp(node, IRP_MN_QUERY_BUS_INFORMATION, 0), sizeof(PNP_BUS_INFORMATION));

    const std::u16string path = ReplyString(deviceId) + u"\\" + ReplyString(instanceId);
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
        if (description.present) info.description = ReplyString(description);
        if (location.present) info.location = ReplyString(location);
        info.capabilitiesStatus = capsResult.status;
        info.capabilities = caps;
        if (busInfo.present && busInfo.bytes.size() >= sizeof(PNP_BUS_INFORMATION)) {
            PNP_BUS_INFORMATION bus;
            std::memcpy(&bus, busInfo.bytes.data(), sizeof(bus));
            info.busInformation = bus;
        }
        for (const auto& other : g_nodes)
            if (other.get() != node && other->inTree && Fold(other->info.instancePath) == Fold(path))
                duplicate = true;
        if (!duplicate) info.instancePath = path;
    }
    if (duplicate) {
        Violation("PnpDuplicateDeviceInstance", "two devices report the instance path " + simk::Narrow(path));
        SetState(node, NodeState::IdQueryFailed, STATUS_OBJECT_NAME_COLLISION);
        return;
    }
    simk::detail::EnsureDeviceHardwareKey(path);

    std::vector<std::u16string> ids;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        ids = node->info.hardwareIds;
    }
    if (simk::pnp::detail::FunctionDoubleWants(ids)) {
        const NTSTATUS status = simk::pnp::detail::FunctionDoubleAddDevice(pdo);
        if (!NT_SUCCESS(status)) {
            SetState(node, NodeState::AddDeviceFailed, status);
            return;
        }
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->info.functionDriverAttached = true;
    }
    StartNode(node);
}

void EnumerateBusRelations(DeviceNode* node) {
    auto result = SendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations, [](IO_STACK_LOCATION* sl) {
        sl->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    // A stack that does not answer keeps the children it had.
    if (!result.completed || !NT_SUCCESS(result.status)) return;

    std::vector<DEVICE_OBJECT*> listed;
    if (auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(result.information)) {
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            ++g_ownedBlocks;
        }
        for (ULONG i = 0; i < relations->Count; ++i) {
            DEVICE_OBJECT* object = relations->Objects[i];
            if (std::find(listed.begin(), listed.end(), object) != listed.end()) {
                Violation("PnpDuplicateRelation", "bus relations of " + Describe(node) + " list one device twice");
                ObDereferenceObject(object);  // every entry carried its own reference
                continue;
            }
            listed.push_back(object);
        }
        ExFreePool(relations);
        std::lock_guard<std::mutex> lock(g_stateMutex);
        --g_ownedBlocks;
    }

    std::vector<DeviceNode*> known = LiveChildren(node);
    for (DeviceNode* child : known) {
        if (std::find(listed.begin(), listed.end(), child->info.pdo) != listed.end()) continue;
        SurpriseRemoveTree(child);
        RemoveTree(child);
    }
    for (DEVICE_OBJECT* object : listed) {
        DeviceNode* owner = nullptr;
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            auto it = g_byPdo.find(object);
            if (it != g_byPdo.end()) owner = it->second;
        }
        if (owner) {
            if (owner->parent != node)
                Violation("PnpForeignRelation", "bus relations of " + Describe(node) + " list a device of another parent");
            ObDereferenceObject(object);
            continue;
        }
        EnumerateChild(node, object);  // the reference the relations carried is now the node's
    }
}

// The root bus driver: completes what a root-enumerated PDO is sent, as the root enumerator does.
NTSTATUS CompleteWith(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS CompleteAsItCame(IRP* irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS RootReply(IRP* irp, const void* data, size_t size) {
    void* block = ExAllocatePoolWithTag(PagedPool, size, ROOT_REPLY_TAG);
    if (!block) return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES);
    std::memcpy(block, data, size);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(block);
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS RootStringReply(IRP* irp, const std::u16string& text, bool multi) {
    std::u16string s = text;
    s.push_back(u'\0');
    if (multi) s.push_back(u'\0');
    return RootReply(irp, s.data(), s.size() * sizeof(char16_t));
}

NTSTATUS RootPdoPnp(DEVICE_OBJECT* device, IRP* irp) {
    auto* ext = static_cast<RootPdoExtension*>(device->DeviceExtension);
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    switch (sl->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        const bool forget = ext->deleteOnRemove;
        CompleteWith(irp, STATUS_SUCCESS);
        if (forget) IoDeleteDevice(device);
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sl->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            DEVICE_RELATIONS relations{};
            relations.Count = 1;
            relations.Objects[0] = device;
            ObReferenceObject(device);
            return RootReply(irp, &relations, sizeof(relations));
        }
        return CompleteAsItCame(irp);
    case IRP_MN_QUERY_ID: {
        NodeInfo info;
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            info = ext->node->info;
        }
        switch (sl->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: return RootStringReply(irp, info.deviceId, false);
        case BusQueryInstanceID: return RootStringReply(irp, info.instanceId, false);
        case BusQueryHardwareIDs:
            return RootStringReply(irp, info.hardwareIds.empty() ? std::u16string() : info.hardwareIds[0], true);
        default: return CompleteAsItCame(irp);
        }
    }
    default:
        return CompleteAsItCame(irp);
    }
}

NTSTATUS RootPdoPower(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    if (sl->MinorFunction == IRP_MN_SET_POWER) {
        PoSetPowerState(device, sl->Parameters.Power.Type, sl->Parameters.Power.State);
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    if (sl->MinorFunction == IRP_MN_QUERY_POWER) return CompleteWith(irp, STATUS_SUCCESS);
    return CompleteAsItCame(irp);
}

NTSTATUS RootPdoDispatch(DEVICE_OBJECT* device, IRP* irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP: return RootPdoPnp(device, irp);
    case IRP_MJ_POWER: return RootPdoPower(device, irp);
    case IRP_MJ_SYSTEM_CONTROL: return CompleteAsItCame(irp);
    default: return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS RootDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    for (auto& entry : driver->MajorFunction) entry = RootPdoDispatch;
    return STATUS_SUCCESS;
}

DRIVER_OBJECT* EnsureRootDriver() {
    if (!g_rootDriver) g_rootDriver = simk::LoadDriverEntry(RootDriverEntry, u"PnpManager").driverObject;
    return g_rootDriver;
}

void ProcessItem(const WorkItem& item) {
    {
        std::lock_guard<std::recursive_mutex> action(g_actionMutex);
        DeviceNode* node = FindNodeByPdo(item.pdo);
        // Only a started device is enumerated; one on its way out has nothing left to report.
        if (node && item.type == BusRelations && GetState(node) == NodeState::Started) EnumerateBusRelations(node);
    }
    ObDereferenceObject(item.pdo);
}

// Takes and processes queued items until there are none and nobody is processing one.
void Drain(std::unique_lock<std::mutex>& queueLock, bool stopWhenIdle) {
    for (;;) {
        if (!g_queue.empty() && !(g_workerStop && !stopWhenIdle)) {
            WorkItem item = g_queue.front();
            g_queue.pop_front();
            ++g_busy;
            queueLock.unlock();
            ProcessItem(item);
            queueLock.lock();
            --g_busy;
            g_queueChanged.notify_all();
            continue;
        }
        if (stopWhenIdle) {
            if (g_queue.empty() && g_busy == 0) return;
        } else if (g_workerStop) {
            return;
        }
        g_queueChanged.wait(queueLock);
    }
}

}  // namespace

namespace simk::pnp {

const char* NodeStateName(NodeState state) {
    switch (state) {
    case NodeState::Enumerated: return "Enumerated";
    case NodeState::IdQueryFailed: return "IdQueryFailed";
    case NodeState::AddDeviceFailed: return "AddDeviceFailed";
    case NodeState::StartFailed: return "StartFailed";
    case NodeState::Started: return "Started";
    case NodeState::QueryRemoved: return "QueryRemoved";
    case NodeState::SurpriseRemoved: return "SurpriseRemoved";
    case NodeState::Removed: return "Removed";
    }
    return "?";
}

DeviceNode* CreateRootDevice(DRIVER_OBJECT* driver, const std::u16string& hardwareId) {
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    simk::detail::RequireIrql(PASSIVE_LEVEL, simk::verifier::rules::IrqlIoPassive, "CreateRootDevice");
    DEVICE_OBJECT* pdo = nullptr;
    NTSTATUS status = IoCreateDevice(EnsureRootDriver(), sizeof(RootPdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        // Without a PDO there is nothing to hang a node on: that is a kernel fault, not a driver's.
        Violation("PnpRootDeviceCreation", "IoCreateDevice failed for a root device");
        return nullptr;
    }
    ObReferenceObject(pdo);  // the node's reference
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    const std::u16string deviceId = u"ROOT\\" + LastComponent(hardwareId);
    unsigned instance;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        instance = g_rootInstances[Fold(deviceId)]++;
    }
    DeviceNode* node = NewNode(nullptr, pdo);
    node->rootEnumerated = true;
    auto* ext = static_cast<RootPdoExtension*>(pdo->DeviceExtension);
    ext->node = node;
    ext->deleteOnRemove = FALSE;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->info.deviceId = deviceId;
        node->info.instanceId = Digits4(instance);
        node->info.instancePath = deviceId + u"\\" + node->info.instanceId;
        node->info.hardwareIds = {hardwareId};
    }
    simk::detail::EnsureDeviceHardwareKey(InstancePath(node));

    status = driver && driver->DriverExtension && driver->DriverExtension->AddDevice
                 ? simk::detail::CallAddDevice(driver, pdo)
                 : STATUS_NOT_IMPLEMENTED;
    if (!NT_SUCCESS(status)) {
        SetState(node, NodeState::AddDeviceFailed, status);
        return node;
    }
    StartNode(node);
    return node;
}

DRIVER_OBJECT* RootBusDriver() {
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    return EnsureRootDriver();
}

void RunUntilIdle() {
    std::unique_lock<std::mutex> lock(g_queueMutex);
    Drain(lock, true);
}

void StartWorkerThread() {
    std::lock_guard<std::mutex> lock(g_queueMutex);
    if (g_worker.joinable()) return;
    g_workerStop = false;
    g_worker = std::thread([] {
        std::unique_lock<std::mutex> queueLock(g_queueMutex);
        Drain(queueLock, false);
    });
}

void StopWorkerThread() {
    {
        std::lock_guard<std::mutex> lock(g_queueMutex);
        if (!g_worker.joinable()) return;
        g_workerStop = true;
        g_queueChanged.notify_all();
    }
    g_worker.join();
    std::lock_guard<std::mutex> lock(g_queueMutex);
    g_workerStop = false;
}

size_t QueuedWorkCount() {
    std::lock_guard<std::mutex> lock(g_queueMutex);
    return g_queue.size();
}

NTSTATUS RemoveDevice(DeviceNode* node, DeviceNode** vetoedBy) {
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (vetoedBy) *vetoedBy = nullptr;
    if (!node || !node->inTree) return STATUS_NO_SUCH_DEVICE;
    std::vector<DeviceNode*> order;
    CollectPostOrder(node, &order);

    std::vector<DeviceNode*> queried;
    for (DeviceNode* n : order) {
        const NodeState state = GetState(n);
        if (state != NodeState::Started) continue;  // a stack that is not running has nothing to veto
        queried.push_back(n);
        auto result = SendPnp(n, IRP_MN_QUERY_REMOVE_DEVICE, 0);
        if (result.completed && NT_SUCCESS(result.status)) {
            SetState(n, NodeState::QueryRemoved);
            continue;
        }
        // The veto: every stack that was asked, the vetoing one too, hears that removal is off.
        for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
            SendMustSucceed(*it, IRP_MN_CANCEL_REMOVE_DEVICE, "PnpIrpFailedCancelRemove");
            if (GetState(*it) == NodeState::QueryRemoved) SetState(*it, NodeState::Started);
        }
        if (vetoedBy) *vetoedBy = n;
        return result.completed ? result.status : STATUS_PENDING;
    }
    for (DeviceNode* n : order) SendFinalRemove(n);
    return STATUS_SUCCESS;
}

void SurpriseRemoveDevice(DeviceNode* node) {
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (!node || !node->inTree) return;
    SurpriseRemoveTree(node);
    RemoveTree(node);
}

void EnumerateNow(DeviceNode* node) {
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    if (node && node->inTree && GetState(node) == NodeState::Started) EnumerateBusRelations(node);
}

void SetPendingIrpTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_pendingTimeout = timeout;
}

DeviceNode* FindNode(const std::u16string& instancePath) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    const std::u16string wanted = Fold(instancePath);
    for (const auto& node : g_nodes)
        if (node->inTree && Fold(node->info.instancePath) == wanted) return node.get();
    return nullptr;
}

DeviceNode* FindNodeByPdo(const DEVICE_OBJECT* pdo) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    auto it = g_byPdo.find(pdo);
    return it == g_byPdo.end() ? nullptr : it->second;
}

std::vector<DeviceNode*> RootDevices() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_roots;
}

std::vector<DeviceNode*> Children(const DeviceNode* node) { return LiveChildren(node); }

DeviceNode* Parent(const DeviceNode* node) { return node->parent; }

NodeState State(const DeviceNode* node) { return GetState(node); }

DEVICE_OBJECT* Pdo(const DeviceNode* node) { return node->info.pdo; }

std::u16string InstancePath(const DeviceNode* node) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->info.instancePath;
}

std::u16string HardwareKeyPath(const DeviceNode* node) {
    return simk::registry::DeviceHardwareKeyPath(InstancePath(node));
}

NodeInfo Info(const DeviceNode* node) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->info;
}

std::vector<IrpRecord> IrpLog() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_log;
}

std::vector<IrpRecord> IrpLogFor(const DeviceNode* node) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    std::vector<IrpRecord> out;
    for (const auto& record : g_log)
        if (record.node == node) out.push_back(record);
    return out;
}

void ClearIrpLog() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_log.clear();
}

size_t OwnedPoolBlocks() {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_ownedBlocks;
}

}  // namespace simk::pnp

namespace simk::pnp::detail {

bool InstancePathOfPdo(const DEVICE_OBJECT* pdo, std::u16string* instancePath) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    auto it = g_byPdo.find(pdo);
    if (it == g_byPdo.end() || it->second->info.instancePath.empty()) return false;
    *instancePath = it->second->info.instancePath;
    return true;
}

size_t LogIrp(DEVICE_OBJECT* pdo, DEVICE_OBJECT* target, UCHAR major, UCHAR minor, ULONG detail) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    IrpRecord record;
    auto it = g_byPdo.find(pdo);
    record.node = it == g_byPdo.end() ? nullptr : it->second;
    record.pdo = pdo;
    record.target = target;
    record.major = major;
    record.minor = minor;
    record.detail = detail;
    record.status = STATUS_PENDING;
    g_log.push_back(record);
    return g_log.size() - 1;
}

void LogIrpResult(size_t index, NTSTATUS status, ULONG_PTR information) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (index >= g_log.size()) return;  // the log was cleared meanwhile
    g_log[index].status = status;
    g_log[index].information = information;
}

namespace {

struct Waiter {
    KEVENT event;
    IO_STATUS_BLOCK status;
    std::function<void(IRP*)> completed;
};

// Waits for IRPs a driver never completed: the driver may still complete them, so their waiters
// live until the kernel is reset, which also takes back the IRPs.
std::vector<std::unique_ptr<Waiter>> g_abandonedWaiters;

NTSTATUS OnSyncIrpComplete(DEVICE_OBJECT*, IRP* irp, void* context) {
    auto* waiter = static_cast<Waiter*>(context);
    waiter->status = irp->IoStatus;
    if (waiter->completed) waiter->completed(irp);
    KeSetEvent(&waiter->event, IO_NO_INCREMENT, FALSE);
    // The IRP is the sender's: it reads the result and frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

SyncIrpResult SendAndWait(DEVICE_OBJECT* target, UCHAR major, UCHAR minor,
                          const std::function<void(IO_STACK_LOCATION*)>& fill,
                          const std::function<void(IRP*)>& sending,
                          const std::function<void(IRP*)>& completed) {
    SyncIrpResult result;
    IRP* irp = IoAllocateIrp(target->StackSize, FALSE);
    if (!irp) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        result.completed = true;
        return result;
    }
    auto* waiter = new Waiter{};
    waiter->completed = completed;
    KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IO_STACK_LOCATION* sl = IoGetNextIrpStackLocation(irp);
    sl->MajorFunction = major;
    sl->MinorFunction = minor;
    if (fill) fill(sl);
    IoSetCompletionRoutine(irp, OnSyncIrpComplete, waiter, TRUE, TRUE, TRUE);
    if (sending) sending(irp);

    const NTSTATUS returned = major == IRP_MJ_POWER ? PoCallDriver(target, irp) : IoCallDriver(target, irp);
    std::chrono::milliseconds timeout;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        timeout = g_pendingTimeout;
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(timeout.count()) * 10000;  // relative, in 100 ns units
    if (KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, &due) != STATUS_SUCCESS) {
        char details[160];
        std::snprintf(details, sizeof(details), "major 0x%02X minor 0x%02X returned 0x%08X and was never completed",
                      major, minor, static_cast<unsigned>(returned));
        simk::verifier::Report("PnpIrpNeverCompleted", details);
        // The driver still owns the IRP and may complete it later: leave it and its event alone.
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            g_abandonedWaiters.emplace_back(waiter);
        }
        result.status = returned;
        return result;
    }
    result.status = waiter->status.Status;
    result.information = waiter->status.Information;
    result.completed = true;
    IoFreeIrp(irp);
    delete waiter;
    return result;
}

}  // namespace simk::pnp::detail

namespace simk::detail {

void ResetPnp() {
    simk::pnp::StopWorkerThread();
    {
        std::lock_guard<std::mutex> lock(g_queueMutex);
        g_queue.clear();  // the device objects go with the I/O manager's reset
        g_busy = 0;
    }
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_nodes.clear();
    g_roots.clear();
    g_byPdo.clear();
    g_rootInstances.clear();
    g_log.clear();
    g_rootDriver = nullptr;
    g_ownedBlocks = 0;
    g_pendingTimeout = std::chrono::milliseconds(5000);
    simk::pnp::detail::g_abandonedWaiters.clear();
    simk::pnp::detail::ResetFunctionDouble();
}

}  // namespace simk::detail

extern "C" void IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    simk::detail::RequireIrql(DISPATCH_LEVEL, simk::verifier::rules::IrqlIoDispatch, "IoInvalidateDeviceRelations");
    simk::detail::CallBefore(simk::Call::IoInvalidateDeviceRelations, DeviceObject, 0, nullptr);
    simk::detail::AfterCall after(simk::Call::IoInvalidateDeviceRelations, DeviceObject);
    if (!DeviceObject || !(DeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE)) {
        // Windows stops with PNP_DETECTED_FATAL_ERROR (invalid PDO) here.
        simk::verifier::Report("PnpInvalidPdo", "IoInvalidateDeviceRelations on a device object that is not a PDO");
        return;
    }
    if (Type != BusRelations) return;  // other relations are asked for when a removal needs them
    ObReferenceObject(DeviceObject);   // held while the request waits in the queue
    std::lock_guard<std::mutex> lock(g_queueMutex);
    g_queue.push_back({DeviceObject, Type});
    g_queueChanged.notify_all();
}
