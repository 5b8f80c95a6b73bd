// The root enumerator: the Plug and Play manager's own bus driver, whose PDOs carry the root
// devices ("ROOT\\<name>\\NNNN") that tests install drivers on. It completes what such a PDO is
// sent as the root enumerator does, and deletes the PDO when the device is uninstalled.
#include "simkernel/bus_pdo.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"

#include "internal.h"
#include "pnp_internal.h"
#include "pnp_tree.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

using namespace simk::pnp;
using namespace simk::pnp::tree;
using namespace simk::pdo;

constexpr ULONG ROOT_REPLY_TAG = 0x20207050; // "Pp  ", as Windows tags Plug and Play's own pool

// The root bus driver keeps this in each of its PDOs.
struct RootPdoExtension {
    DeviceNode* node;
    BOOLEAN deleteOnRemove;    // set before the final removal: the root enumerator forgets the device
    NTSTATUS relationsFailure; // a test's: bus-relations queries fail here with it (0: as they came)
    BOOLEAN consumesResources; // a test's: the device asks for an I/O port range
};

// A device with hardware asks for resources: here one range of I/O ports, anywhere.
NTSTATUS ReplyPortRequirement(IRP* irp)
{
    auto* list = static_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(IO_RESOURCE_REQUIREMENTS_LIST), ROOT_REPLY_TAG));
    if (!list)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    std::memset(list, 0, sizeof(*list));
    list->ListSize = sizeof(*list);
    list->InterfaceType = Internal;
    list->AlternativeLists = 1;
    list->List[0].Version = 1;
    list->List[0].Revision = 1;
    list->List[0].Count = 1;
    IO_RESOURCE_DESCRIPTOR& port = list->List[0].Descriptors[0];
    port.Type = CmResourceTypePort;
    port.u.Port.Length = 8;
    port.u.Port.Alignment = 8;
    port.u.Port.MaximumAddress.QuadPart = 0xFFFF;
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
    return Complete(irp, STATUS_SUCCESS);
}

std::map<std::u16string, unsigned> g_rootInstances; // by folded device ID: the next instance number
DRIVER_OBJECT* g_rootDriver;

std::u16string LastComponent(const std::u16string& id)
{
    const size_t slash = id.find_last_of(u'\\');
    return slash == std::u16string::npos ? id : id.substr(slash + 1);
}

std::u16string Digits4(unsigned n)
{
    std::u16string s;
    for (int i = 0; i < 4; ++i) {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + n % 10));
        n /= 10;
    }
    return s;
}

NTSTATUS RootStringReply(IRP* irp, const std::u16string& text, bool multi)
{
    return simk::pdo::ReplyStrings(irp, {text}, multi, ROOT_REPLY_TAG);
}

// The root bus driver: completes what a root-enumerated PDO is sent, as the root enumerator does.
NTSTATUS RootPdoPnp(DEVICE_OBJECT* device, IRP* irp)
{
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
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        const bool forget = ext->deleteOnRemove;
        Complete(irp, STATUS_SUCCESS);
        if (forget)
            IoDeleteDevice(device);
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sl->Parameters.QueryDeviceRelations.Type == BusRelations && ext->relationsFailure != 0) {
            return Complete(irp, ext->relationsFailure);
        }
        if (sl->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            return ReplyTargetRelation(irp, device, ROOT_REPLY_TAG);
        }
        return CompleteAsItCame(irp);
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        if (ext->consumesResources)
            return ReplyPortRequirement(irp);
        return CompleteAsItCame(irp);
    case IRP_MN_QUERY_ID: {
        NodeInfo info;
        {
            std::lock_guard<std::mutex> lock(g_stateMutex);
            info = ext->node->info;
        }
        switch (sl->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            return RootStringReply(irp, info.deviceId, false);
        case BusQueryInstanceID:
            return RootStringReply(irp, info.instanceId, false);
        case BusQueryHardwareIDs:
            return RootStringReply(irp, info.hardwareIds.empty() ? std::u16string() : info.hardwareIds[0], true);
        default:
            return CompleteAsItCame(irp);
        }
    }
    default:
        return CompleteAsItCame(irp);
    }
}

NTSTATUS RootPdoDispatch(DEVICE_OBJECT* device, IRP* irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return RootPdoPnp(device, irp);
    case IRP_MJ_POWER:
        return AnswerPower(device, irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return CompleteAsItCame(irp);
    // A handle may be held on a root device's stack.
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS RootDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*)
{
    for (auto& entry : driver->MajorFunction)
        entry = RootPdoDispatch;
    return STATUS_SUCCESS;
}

DRIVER_OBJECT* EnsureRootDriver()
{
    if (!g_rootDriver)
        g_rootDriver = simk::LoadDriverEntry(RootDriverEntry, u"PnpManager").driverObject;
    return g_rootDriver;
}

} // namespace

namespace simk::pnp::detail {

DEVICE_OBJECT* CreateRootPdo(DeviceNode** created, const std::u16string& hardwareId)
{
    DEVICE_OBJECT* pdo = nullptr;
    NTSTATUS status = IoCreateDevice(EnsureRootDriver(), sizeof(RootPdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return nullptr;
    ObReferenceObject(pdo); // the node's reference
    // The root enumerator's devices are pageable, as on Windows: every device above them must be too.
    pdo->Flags |= DO_POWER_PAGABLE;
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
    ext->relationsFailure = 0;
    ext->consumesResources = FALSE;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        node->info.deviceId = deviceId;
        node->info.instanceId = Digits4(instance);
        node->info.instancePath = deviceId + u"\\" + node->info.instanceId;
        node->info.hardwareIds = {hardwareId};
    }
    *created = node;
    return pdo;
}

void MarkRootDeviceGoing(DeviceNode* node)
{
    if (!node->rootEnumerated)
        return;
    static_cast<RootPdoExtension*>(node->info.pdo->DeviceExtension)->deleteOnRemove = TRUE;
}

bool RootRelationsFailing(const DEVICE_OBJECT* pdo)
{
    return static_cast<const RootPdoExtension*>(pdo->DeviceExtension)->relationsFailure != 0;
}

void ResetRootEnumerator()
{
    g_rootInstances.clear();
    g_rootDriver = nullptr;
}

} // namespace simk::pnp::detail

namespace simk::pnp {

void FailBusRelationsBelow(DeviceNode* rootDevice, NTSTATUS status)
{
    if (!rootDevice->rootEnumerated)
        return;
    static_cast<RootPdoExtension*>(rootDevice->info.pdo->DeviceExtension)->relationsFailure = status;
}

void RootDeviceConsumesResources(DeviceNode* rootDevice, bool consumes)
{
    if (!rootDevice->rootEnumerated)
        return;
    static_cast<RootPdoExtension*>(rootDevice->info.pdo->DeviceExtension)->consumesResources = consumes;
}

DRIVER_OBJECT* RootBusDriver()
{
    std::lock_guard<std::recursive_mutex> action(g_actionMutex);
    return EnsureRootDriver();
}

} // namespace simk::pnp
