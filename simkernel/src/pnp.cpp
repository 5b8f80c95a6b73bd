// The Plug and Play manager's core: the device tree and its records, the queue of work that
// IoInvalidateDeviceRelations and closing handles start, lookups, the request log, and the checks
// on what drivers do to Plug and Play's devices and requests. Enumeration, removal and the root
// enumerator live in pnp_enumeration.cpp, pnp_removal.cpp and pnp_root.cpp.
#include "simkernel/pnp.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/verifier.h"

#include "internal.h"
#include "pnp_internal.h"
#include "pnp_tree.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace simk::pnp::tree {

std::mutex g_stateMutex;
std::recursive_mutex g_actionMutex;
std::vector<std::unique_ptr<DeviceNode>> g_nodes;
std::vector<DeviceNode*> g_roots;

} // namespace simk::pnp::tree

namespace {

using namespace simk::pnp;
using namespace simk::pnp::tree;

std::map<const DEVICE_OBJECT*, DeviceNode*> g_byPdo;
std::vector<IrpRecord> g_log;
size_t g_ownedBlocks;
std::chrono::milliseconds g_pendingTimeout{5000};

// Requests a driver above a PDO had already answered when they reached it.
struct Answered {
    DEVICE_OBJECT* pdo;
    UCHAR major;
    UCHAR minor;
    NTSTATUS status;
    bool byNobody;  // it still carried the status every Plug and Play and WMI request starts with
    ULONG relation; // the relation type of IRP_MN_QUERY_DEVICE_RELATIONS
};
std::map<const IRP*, Answered> g_answered;

enum class WorkKind { Relations, DeviceState, RemoveAfterClose, Notification };
struct WorkItem {
    DEVICE_OBJECT* pdo; // null for a notification
    WorkKind kind;
    std::function<void()> notify;
};
std::mutex g_queueMutex;
std::condition_variable g_queueChanged;
std::deque<WorkItem> g_queue;
unsigned g_busy;
std::thread g_worker;
bool g_workerStop;

void Enqueue(DEVICE_OBJECT* pdo, WorkKind kind)
{
    ObReferenceObject(pdo); // held while the work waits in the queue
    std::lock_guard<std::mutex> lock(g_queueMutex);
    g_queue.push_back({pdo, kind, {}});
    g_queueChanged.notify_all();
}

} // namespace

namespace simk::pnp::tree {

std::u16string Fold(std::u16string s)
{
    for (auto& c : s)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 0x20);
    return s;
}

// Device Manager's problem code for a state a node failed into.
ULONG ProblemCodeOf(NodeState state)
{
    switch (state) {
    case NodeState::NotInstalled:
        return CM_PROB_FAILED_INSTALL;
    case NodeState::AddDeviceFailed:
        return CM_PROB_FAILED_ADD;
    case NodeState::StartFailed:
        return CM_PROB_FAILED_START;
    default:
        return 0;
    }
}

void SetState(DeviceNode* node, NodeState state, NTSTATUS problem)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    node->info.state = state;
    node->info.problem = problem;
    node->info.problemCode = ProblemCodeOf(state);
}

NodeState GetState(const DeviceNode* node)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->info.state;
}

DeviceNode* NewNode(DeviceNode* parent, DEVICE_OBJECT* pdo)
{
    auto owned = std::make_unique<DeviceNode>();
    DeviceNode* node = owned.get();
    node->parent = parent;
    node->info.pdo = pdo;
    node->depth = parent ? parent->depth + 1 : 1;
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

void Detach(DeviceNode* node)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    auto& siblings = node->parent ? node->parent->children : g_roots;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
}

void DropNode(DeviceNode* node)
{
    DEVICE_OBJECT* pdo;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->inTree = false;
        node->awaitingCloses = false;
        node->info.state = NodeState::Removed;
        auto& siblings = node->parent ? node->parent->children : g_roots;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
        auto it = g_byPdo.find(node->info.pdo);
        if (it != g_byPdo.end() && it->second == node)
            g_byPdo.erase(it);
        pdo = node->info.pdo;
    }
    pdo->DeviceObjectExtension->DeviceNode = nullptr;
    ObDereferenceObject(pdo);
}

simk::pnp::detail::SyncIrpResult SendPnp(DeviceNode* node, UCHAR minor, ULONG detail,
                                         const std::function<void(IO_STACK_LOCATION*)>& fill)
{
    DEVICE_OBJECT* pdo = node->info.pdo;
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(pdo);
    const size_t index = simk::pnp::detail::LogIrp(pdo, top, IRP_MJ_PNP, minor, detail);
    auto result = simk::pnp::detail::SendAndWait(top, IRP_MJ_PNP, minor, [&](IO_STACK_LOCATION* sl) {
        if (fill)
            fill(sl);
    });
    simk::pnp::detail::LogIrpResult(index, result.status, result.information);
    ObDereferenceObject(top);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        std::u16string instancePath;
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            node->stackBuilt = false;
            instancePath = node->info.instancePath;
        }
        // The stack is gone: whatever interface its drivers left on goes off with it.
        simk::pnp::detail::DisableInterfacesOf(instancePath);
    }
    return result;
}

Reply TakeReply(const simk::pnp::detail::SyncIrpResult& result, size_t fixedSize)
{
    Reply reply;
    reply.status = result.status;
    void* block = reinterpret_cast<void*>(result.information);
    if (!result.completed || !NT_SUCCESS(result.status) || !block)
        return reply;
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
        while (chars[n] || chars[n + 1])
            ++n;
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

std::vector<DEVICE_OBJECT*> TakeRelations(DeviceNode* node, const simk::pnp::detail::SyncIrpResult& result)
{
    std::vector<DEVICE_OBJECT*> listed;
    auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(result.information);
    if (!result.completed || !NT_SUCCESS(result.status) || !relations)
        return listed;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        ++g_ownedBlocks;
    }
    for (ULONG i = 0; i < relations->Count; ++i) {
        DEVICE_OBJECT* object = relations->Objects[i];
        if (std::find(listed.begin(), listed.end(), object) != listed.end()) {
            simk::detail::rule::DuplicateRelation(Describe(node));
            ObDereferenceObject(object); // every entry carried its own reference
            continue;
        }
        listed.push_back(object);
    }
    ExFreePool(relations);
    std::lock_guard<std::mutex> lock(g_stateMutex);
    --g_ownedBlocks;
    return listed;
}

std::string Describe(const DeviceNode* node)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->info.instancePath.empty() ? "an unidentified device" : simk::Narrow(node->info.instancePath);
}

std::vector<DeviceNode*> LiveChildren(const DeviceNode* node)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->children;
}

} // namespace simk::pnp::tree

namespace {

void ProcessItem(const WorkItem& item)
{
    if (item.kind == WorkKind::Notification) {
        // Delivered outside the manager's operation, as Windows delivers them from its event
        // thread: a callback may itself ask the manager for something.
        item.notify();
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> action(g_actionMutex);
        if (item.kind == WorkKind::RemoveAfterClose) {
            FinishRemovalAfterClose(item.pdo);
        } else if (item.kind == WorkKind::DeviceState) {
            ActOnDeviceState(item.pdo);
        } else {
            DeviceNode* node = FindNodeByPdo(item.pdo);
            // Only a started device is enumerated; one on its way out has nothing left to report.
            if (node && GetState(node) == NodeState::Started)
                EnumerateBusRelations(node);
        }
    }
    ObDereferenceObject(item.pdo);
}

// Takes and processes queued items until there are none and nobody is processing one.
void Drain(std::unique_lock<std::mutex>& queueLock, bool stopWhenIdle)
{
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
            if (g_queue.empty() && g_busy == 0)
                return;
        } else if (g_workerStop) {
            return;
        }
        g_queueChanged.wait(queueLock);
    }
}

} // namespace

namespace simk::pnp::detail {

void QueueNotification(std::function<void()> deliver)
{
    std::lock_guard<std::mutex> lock(g_queueMutex);
    g_queue.push_back({nullptr, WorkKind::Notification, std::move(deliver)});
    g_queueChanged.notify_all();
}

std::chrono::milliseconds PendingTimeout()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_pendingTimeout;
}

void NoteIrpArrival(DEVICE_OBJECT* device, const IRP* irp, UCHAR major)
{
    if (major != IRP_MJ_PNP && major != IRP_MJ_SYSTEM_CONTROL)
        return;
    if (device->DeviceObjectExtension->AttachedTo)
        return; // only PDOs
    std::lock_guard<std::mutex> lock(g_stateMutex);
    auto node = g_byPdo.find(device);
    if (node == g_byPdo.end())
        return;
    // A failure a test asked the root enumerator for is the fault under test, not one to report.
    if (node->second->rootEnumerated && RootRelationsFailing(device))
        return;
    const IO_STACK_LOCATION* sl = irp->Tail.Overlay.CurrentStackLocation;
    const bool byNobody = irp->IoStatus.Status == STATUS_NOT_SUPPORTED;
    // A driver above answering matters only where there is one.
    if (!byNobody && !device->AttachedDevice)
        return;
    const ULONG relation = sl->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && major == IRP_MJ_PNP
                               ? static_cast<ULONG>(sl->Parameters.QueryDeviceRelations.Type)
                               : 0;
    g_answered[irp] = {device, major, sl->MinorFunction, irp->IoStatus.Status, byNobody, relation};
}

namespace {

// "All PnP drivers must handle this IRP": the removal protocol, start, stop, usage notification.
bool AllPnpDriversHandle(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return true;
    default:
        return false;
    }
}

// Requests whose outcome a PDO decides itself even after the drivers above agreed (a veto, a
// failed start): only the queries are the upper drivers' to answer.
bool PdoDecides(UCHAR minor) { return AllPnpDriversHandle(minor) || minor == IRP_MN_EJECT || minor == IRP_MN_SET_LOCK; }

// The requests a bus driver answers for its child itself, so its PDO may set a status nobody
// above set. For every other request the page of the request says: "If a bus driver does not
// handle this IRP, it leaves Irp->IoStatus.Status as is and completes the IRP" (Plug and Play
// minor IRPs; IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_FILTER_RESOURCE_REQUIREMENTS and the
// relation types other than TargetDeviceRelation among them), and a PDO that is no WMI provider
// completes IRP_MJ_SYSTEM_CONTROL as it came (WMI Requirements for WDM Drivers).
bool BusDriverAnswers(UCHAR minor, ULONG relation)
{
    if (AllPnpDriversHandle(minor)) {
        return true;
    }
    switch (minor) {
    // The bus driver must answer these for its children (IRP_MN_QUERY_ID, IRP_MN_QUERY_CAPABILITIES,
    // IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_QUERY_RESOURCES,
    // IRP_MN_QUERY_RESOURCE_REQUIREMENTS pages).
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_CAPABILITIES:
    case IRP_MN_QUERY_DEVICE_TEXT:
    case IRP_MN_QUERY_BUS_INFORMATION:
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    // Answered by the bus driver of a device that supports them (IRP_MN_EJECT, IRP_MN_SET_LOCK,
    // IRP_MN_QUERY_INTERFACE, IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG, IRP_MN_DEVICE_ENUMERATED).
    case IRP_MN_EJECT:
    case IRP_MN_SET_LOCK:
    case IRP_MN_QUERY_INTERFACE:
    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
    case IRP_MN_DEVICE_ENUMERATED:
        return true;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        // IRP_MN_QUERY_DEVICE_RELATIONS: the bus driver returns the PDO for TargetDeviceRelation.
        return relation == TargetDeviceRelation;
    default:
        return false;
    }
}

} // namespace

void CheckPdoCompletion(DEVICE_OBJECT* completer, const IRP* irp)
{
    Answered answered;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        auto it = g_answered.find(irp);
        if (it == g_answered.end())
            return;
        answered = it->second;
        g_answered.erase(it);
    }
    if (completer != answered.pdo || irp->IoStatus.Status == answered.status)
        return;
    if (answered.byNobody) {
        if (answered.major == IRP_MJ_PNP && BusDriverAnswers(answered.minor, answered.relation))
            return;
        // A bus driver that knows something of its child's state sets the flags and STATUS_SUCCESS
        // (IRP_MN_QUERY_PNP_DEVICE_STATE); only failing the query is not its to do.
        if (answered.major == IRP_MJ_PNP && answered.minor == IRP_MN_QUERY_PNP_DEVICE_STATE &&
            irp->IoStatus.Status == STATUS_SUCCESS)
            return;
        simk::detail::rule::PdoChangedUnansweredStatus(answered.major, answered.minor, irp->IoStatus.Status);
        return;
    }
    if (answered.major == IRP_MJ_PNP && PdoDecides(answered.minor))
        return;
    simk::detail::rule::PdoChangedAnsweredStatus(answered.major, answered.minor, irp->IoStatus.Status, answered.status);
}

void NoteDeviceDeleted(DEVICE_OBJECT* device)
{
    DeviceNode* node = static_cast<DeviceNode*>(device->DeviceObjectExtension->DeviceNode);
    if (!node || node->rootEnumerated)
        return;
    bool early;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        early = node->inTree && !node->finalRemoval;
    }
    if (early)
        simk::detail::rule::PdoDeletedWhileReported(Describe(node));
}

void NoteLastHandleClosed(DEVICE_OBJECT* device)
{
    bool waiting;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        auto it = g_byPdo.find(device);
        waiting = it != g_byPdo.end() && it->second->awaitingCloses;
    }
    if (waiting)
        Enqueue(device, WorkKind::RemoveAfterClose);
}

} // namespace simk::pnp::detail

namespace simk::pnp {

const char* NodeStateName(NodeState state)
{
    switch (state) {
    case NodeState::Enumerated:
        return "Enumerated";
    case NodeState::IdQueryFailed:
        return "IdQueryFailed";
    case NodeState::AddDeviceFailed:
        return "AddDeviceFailed";
    case NodeState::StartFailed:
        return "StartFailed";
    case NodeState::NotInstalled:
        return "NotInstalled";
    case NodeState::Disabled:
        return "Disabled";
    case NodeState::Started:
        return "Started";
    case NodeState::QueryRemoved:
        return "QueryRemoved";
    case NodeState::SurpriseRemoved:
        return "SurpriseRemoved";
    case NodeState::Removed:
        return "Removed";
    }
    return "?";
}

NTSTATUS SendWmiRequest(DeviceNode* node, UCHAR minor)
{
    DEVICE_OBJECT* pdo = node->info.pdo;
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(pdo);
    const size_t index = simk::pnp::detail::LogIrp(pdo, top, IRP_MJ_SYSTEM_CONTROL, minor, 0);
    auto result = simk::pnp::detail::SendAndWait(top, IRP_MJ_SYSTEM_CONTROL, minor, {});
    simk::pnp::detail::LogIrpResult(index, result.status, result.information);
    ObDereferenceObject(top);
    return result.status;
}

void RunUntilIdle()
{
    std::unique_lock<std::mutex> lock(g_queueMutex);
    Drain(lock, true);
}

void StartWorkerThread()
{
    std::lock_guard<std::mutex> lock(g_queueMutex);
    if (g_worker.joinable())
        return;
    g_workerStop = false;
    g_worker = std::thread([] {
        std::unique_lock<std::mutex> queueLock(g_queueMutex);
        Drain(queueLock, false);
    });
}

void StopWorkerThread()
{
    {
        std::lock_guard<std::mutex> lock(g_queueMutex);
        if (!g_worker.joinable())
            return;
        g_workerStop = true;
        g_queueChanged.notify_all();
    }
    g_worker.join();
    std::lock_guard<std::mutex> lock(g_queueMutex);
    g_workerStop = false;
}

size_t QueuedWorkCount()
{
    std::lock_guard<std::mutex> lock(g_queueMutex);
    return g_queue.size();
}

void SetPendingIrpTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_pendingTimeout = timeout;
}

DeviceNode* FindNode(const std::u16string& instancePath)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    const std::u16string wanted = Fold(instancePath);
    for (const auto& node : g_nodes)
        if (node->inTree && Fold(node->info.instancePath) == wanted)
            return node.get();
    return nullptr;
}

DeviceNode* FindNodeByPdo(const DEVICE_OBJECT* pdo)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    auto it = g_byPdo.find(pdo);
    return it == g_byPdo.end() ? nullptr : it->second;
}

std::vector<DeviceNode*> RootDevices()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_roots;
}

std::vector<DeviceNode*> Children(const DeviceNode* node) { return LiveChildren(node); }

DeviceNode* Parent(const DeviceNode* node) { return node->parent; }

NodeState State(const DeviceNode* node) { return GetState(node); }

DEVICE_OBJECT* Pdo(const DeviceNode* node) { return node->info.pdo; }

std::u16string InstancePath(const DeviceNode* node)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->info.instancePath;
}

std::u16string HardwareKeyPath(const DeviceNode* node)
{
    return simk::registry::DeviceHardwareKeyPath(InstancePath(node));
}

NodeInfo Info(const DeviceNode* node)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return node->info;
}

std::vector<IrpRecord> IrpLog()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_log;
}

std::vector<IrpRecord> IrpLogFor(const DeviceNode* node)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    std::vector<IrpRecord> out;
    for (const auto& record : g_log)
        if (record.node == node)
            out.push_back(record);
    return out;
}

void ClearIrpLog()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_log.clear();
}

size_t OwnedPoolBlocks()
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    return g_ownedBlocks;
}

} // namespace simk::pnp

namespace simk::pnp::detail {

bool InstancePathOfPdo(const DEVICE_OBJECT* pdo, std::u16string* instancePath)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    auto it = g_byPdo.find(pdo);
    if (it == g_byPdo.end() || it->second->info.instancePath.empty())
        return false;
    *instancePath = it->second->info.instancePath;
    return true;
}

size_t LogIrp(DEVICE_OBJECT* pdo, DEVICE_OBJECT* target, UCHAR major, UCHAR minor, ULONG detail)
{
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

void LogIrpResult(size_t index, NTSTATUS status, ULONG_PTR information)
{
    std::lock_guard<std::mutex> lock(g_stateMutex);
    if (index >= g_log.size())
        return; // the log was cleared meanwhile
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

NTSTATUS OnSyncIrpComplete(DEVICE_OBJECT*, IRP* irp, void* context)
{
    auto* waiter = static_cast<Waiter*>(context);
    waiter->status = irp->IoStatus;
    if (waiter->completed)
        waiter->completed(irp);
    KeSetEvent(&waiter->event, IO_NO_INCREMENT, FALSE);
    // The IRP is the sender's: it reads the result and frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

SyncIrpResult SendAndWait(DEVICE_OBJECT* target, UCHAR major, UCHAR minor,
                          const std::function<void(IO_STACK_LOCATION*)>& fill, const std::function<void(IRP*)>& sending,
                          const std::function<void(IRP*)>& completed, const std::function<void()>& timedOut)
{
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
    if (fill)
        fill(sl);
    IoSetCompletionRoutine(irp, OnSyncIrpComplete, waiter, TRUE, TRUE, TRUE);
    if (sending)
        sending(irp);

    const NTSTATUS returned =
        major == IRP_MJ_POWER ? simk::detail::CallPowerDriver(target, irp) : IoCallDriver(target, irp);
    std::chrono::milliseconds timeout;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        timeout = g_pendingTimeout;
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(timeout.count()) * 10000; // relative, in 100 ns units
    if (KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, &due) != STATUS_SUCCESS) {
        if (timedOut)
            timedOut();
        else
            simk::detail::rule::IrpNeverCompleted(major, minor, returned);
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

} // namespace simk::pnp::detail

namespace simk::detail {

void ResetPnp()
{
    simk::pnp::StopWorkerThread();
    // Their own locks, which are taken before the manager's (an install reads nodes under its
    // lock), never inside it.
    simk::pnp::detail::ResetInterfaces();
    simk::pnp::tree::ResetInstalls();
    {
        std::lock_guard<std::mutex> lock(g_queueMutex);
        g_queue.clear(); // the device objects go with the I/O manager's reset
        g_busy = 0;
    }
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_nodes.clear();
    g_roots.clear();
    g_byPdo.clear();
    g_log.clear();
    simk::pnp::detail::ResetRootEnumerator();
    g_ownedBlocks = 0;
    g_answered.clear();
    g_pendingTimeout = std::chrono::milliseconds(5000);
    simk::pnp::detail::g_abandonedWaiters.clear();
    simk::pnp::detail::ResetFunctionDouble();
    simk::pnp::detail::ResetSystemPower();
}

} // namespace simk::detail

namespace {

// Both invalidations are the bus driver's to call, on its own PDO, and are acted upon later.
bool AcceptsInvalidation(PDEVICE_OBJECT DeviceObject, const char* function)
{
    simk::detail::RequireIrql(DISPATCH_LEVEL, simk::verifier::rules::IrqlIoDispatch, function);
    if (!DeviceObject || !(DeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE)) {
        // Windows stops with PNP_DETECTED_FATAL_ERROR (invalid PDO) here.
        simk::detail::rule::InvalidPdo(function);
        return false;
    }
    return true;
}

} // namespace

extern "C" void IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    simk::detail::CallBefore(simk::Call::IoInvalidateDeviceRelations, DeviceObject, 0, nullptr);
    simk::detail::AfterCall after(simk::Call::IoInvalidateDeviceRelations, DeviceObject);
    if (!AcceptsInvalidation(DeviceObject, "IoInvalidateDeviceRelations"))
        return;
    if (Type != BusRelations)
        return; // other relations are asked for when a removal needs them
    Enqueue(DeviceObject, WorkKind::Relations);
}

extern "C" void IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (AcceptsInvalidation(PhysicalDeviceObject, "IoInvalidateDeviceState"))
        Enqueue(PhysicalDeviceObject, WorkKind::DeviceState);
}
