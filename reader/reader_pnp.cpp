// Plug and Play of a reader: its identity and capabilities, its configuration values written at
// start, and the removal protocol that deletes it once it is off its bus. A reader is the bottom
// of its stack, so every request ends here.
#include <ntddk.h>
#include "reader/reader_device.h"
#include "bus/bus_device.h"
#include "driver/kernel_support.h"
#include "driver/diagnostics.h"
#include "msdscnames.h"

// Sent by systems newer than the oldest one the driver supports, whose kit headers omit it.
#ifndef IRP_MN_DEVICE_ENUMERATED
#define IRP_MN_DEVICE_ENUMERATED 0x19
#endif

namespace {

// Every reply handed to Plug and Play, which frees it.
constexpr ULONG READER_REPLY_TAG = MakePoolTag("mdbp");

// The device ID, and the one entry of the hardware IDs, for which the reader function driver is
// installed.
constexpr WCHAR READER_HARDWARE_ID[] = MSDSC_WIDE(MSDSC_READER_HARDWARE_ID);
// The ID with its terminator and one zero character more.
constexpr SIZE_T DEVICE_ID_REPLY_SIZE = sizeof(READER_HARDWARE_ID) + sizeof(WCHAR);
// A multi-string of one entry: the ID's terminator, the list terminator and one zero character more.
constexpr SIZE_T HARDWARE_IDS_REPLY_SIZE = sizeof(READER_HARDWARE_ID) + 2 * sizeof(WCHAR);
static_assert(DEVICE_ID_REPLY_SIZE == 88 && HARDWARE_IDS_REPLY_SIZE == 90, "ID reply sizes");

constexpr WCHAR READER_DESCRIPTION[] = L"MicroSD SmartCard Reader";
constexpr SIZE_T DESCRIPTION_REPLY_SIZE = sizeof(READER_DESCRIPTION) + sizeof(WCHAR);
static_assert(DESCRIPTION_REPLY_SIZE == 52, "description reply size");

// {AF529766-0F2F-4DAA-A70E-8A86D503E78A}
constexpr GUID READER_BUS_TYPE_GUID = {0xAF529766, 0x0F2F, 0x4DAA, {0xA7, 0x0E, 0x8A, 0x86, 0xD5, 0x03, 0xE7, 0x8A}};

// Ten decimal digits and a terminator fit, so the first instance-ID buffer always suffices.
constexpr USHORT INSTANCE_ID_FIRST_SIZE = 64;

// A zeroed reply block, or null when the pool is exhausted.
PVOID AllocateReply(SIZE_T Size)
{
    PVOID reply = ExAllocatePoolWithTag(PagedPool, Size, READER_REPLY_TAG);
    if (reply != nullptr) {
        RtlZeroMemory(reply, Size);
    }
    return reply;
}

// A copy of Text in a zeroed reply of Size bytes (at least the text with its terminator).
PVOID AllocateTextReply(const WCHAR* Text, SIZE_T TextSize, SIZE_T Size)
{
    PVOID reply = AllocateReply(Size);
    if (reply != nullptr) {
        RtlCopyMemory(reply, Text, TextSize);
    }
    return reply;
}

// Completes with what the Plug and Play manager (or a driver before us) set: a request the
// reader has nothing to say about must not look answered.
NTSTATUS CompleteAsItCame(PIRP Irp)
{
    const NTSTATUS status = Irp->IoStatus.Status;
    CompleteIrp(Irp);
    return status;
}

NTSTATUS HandOver(PIRP Irp, PVOID Reply)
{
    if (Reply == nullptr) {
        return CompleteIrpWith(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Reply);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

} // namespace

NTSTATUS ReaderDevice::DispatchPnp(PIRP Irp)
{
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return OnStartDevice(Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return OnQueryRemoveDevice(Irp);
    case IRP_MN_REMOVE_DEVICE:
        return OnRemoveDevice(Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return OnCancelRemoveDevice(Irp);
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        // Nothing to stop: the reader holds no hardware resources.
        return CompleteIrpWith(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return OnQueryDeviceRelations(Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return OnQueryCapabilities(Irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return OnQueryDeviceText(Irp);
    case IRP_MN_QUERY_ID:
        return OnQueryId(Irp);
    case IRP_MN_QUERY_BUS_INFORMATION:
        return OnQueryBusInformation(Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return OnSurpriseRemoval(Irp);
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        return OnQueryPnpDeviceState(Irp);
    case IRP_MN_DEVICE_ENUMERATED:
        // Windows 7 and later: Plug and Play has enumerated the reader in full, so it knows it.
        ReaderRoster::ChildKnown(this);
        return CompleteIrpWith(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_INTERFACE:
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
    case IRP_MN_SET_LOCK:
        return CompleteAsItCame(Irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        // The reader can carry no paging, hibernation or dump file.
        return CompleteIrpWith(Irp, STATUS_NOT_SUPPORTED);
    default:
        // 0x0E, config space, eject, legacy bus information and anything newer:
        // "If a bus driver does not handle this IRP, it leaves Irp->IoStatus.Status as is and
        // completes the IRP" (IRP_MN_EJECT and the others), so an
        // answer a driver above gave stays, and a request nobody answered keeps the status Plug
        // and Play sent it with.
        return CompleteAsItCame(Irp);
    }
}

NTSTATUS ReaderDevice::DispatchSystemControl(PIRP Irp)
{
    // The reader is no WMI provider; its function driver may be. The bottom of a stack
    // completes a WMI request that is not its own with the status it came with (WmiSystemControl:
    // IrpNotWmi and IrpForward).
    return CompleteAsItCame(Irp);
}

namespace {

// The values the reader function driver reads from the hardware key.
constexpr WCHAR NUMBER_VALUE_NAME[] = MSDSC_WIDE(MSDSC_VALUE_NUMBER);
constexpr WCHAR DRIVE_VALUE_NAME[] = MSDSC_WIDE(MSDSC_VALUE_DRIVE);
constexpr WCHAR LOG_VALUE_NAME[] = MSDSC_WIDE(MSDSC_VALUE_LOG);
constexpr WCHAR EXISTS_VALUE_NAME[] = MSDSC_WIDE(MSDSC_VALUE_EXISTS);
constexpr ULONG READER_EXISTS = 1;

} // namespace

NTSTATUS ReaderDevice::WriteConfiguration()
{
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(m_DeviceObject, PLUGPLAY_REGKEY_DEVICE, GENERIC_ALL, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // Written in this order; a failure stops the writes and leaves the earlier values behind.
    struct ConfigurationValue {
        const WCHAR* Name;
        const ULONG* Data;
    };
    const ConfigurationValue values[] = {
        {NUMBER_VALUE_NAME, &m_Config.Number},
        {DRIVE_VALUE_NAME, &m_Config.Drive},
        {LOG_VALUE_NAME, &m_Config.Log},
        {EXISTS_VALUE_NAME, &READER_EXISTS},
    };
    for (const ConfigurationValue& value : values) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, value.Name);
        status = ZwSetValueKey(key, &name, 0, REG_DWORD, const_cast<ULONG*>(value.Data), sizeof(ULONG));
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    ZwClose(key);
    return status;
}

NTSTATUS ReaderDevice::OnStartDevice(PIRP Irp)
{
    // The start's resource lists are ignored: the reader has no hardware resources, and it
    // reports no power state of its own here.
    const NTSTATUS status = WriteConfiguration();
    if (!NT_SUCCESS(status)) {
        MSDSC_REFUSED("reader %u: start failed, its configuration could not be written (%08X)",
                      static_cast<unsigned>(m_ReaderNumber), StatusCode(status));
        return CompleteIrpWith(Irp, status);
    }
    MSDSC_EVENT("reader %u started", static_cast<unsigned>(m_ReaderNumber));
    ReaderRoster::ChildStarted(this);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

NTSTATUS ReaderDevice::OnQueryRemoveDevice(PIRP Irp)
{
    ReaderRoster::ChildQueryRemoved(this);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

NTSTATUS ReaderDevice::OnCancelRemoveDevice(PIRP Irp)
{
    ReaderRoster::ChildCancelRemoved(this);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

NTSTATUS ReaderDevice::OnRemoveDevice(PIRP Irp)
{
    // May delete the reader; the request is not part of it and is completed after.
    ReaderRoster::ChildRemoved(this);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

NTSTATUS ReaderDevice::OnSurpriseRemoval(PIRP Irp)
{
    ReaderRoster::ChildSurpriseRemoved(this);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

NTSTATUS ReaderDevice::OnQueryPnpDeviceState(PIRP Irp)
{
    // The rebalance asked for is consumed here, so the next query (after the restart of a stack
    // that consumes resources) does not start another.
    const LONG reported =
        InterlockedAnd(&m_ReportedDeviceState, ~static_cast<LONG>(PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED));
    if (reported == 0) {
        // Nothing of the reader's own: whatever came, an answer from above or none, stays.
        return CompleteAsItCame(Irp);
    }
    // Drivers above may have set flags of their own: the answer is a bit mask to add to, never to
    // overwrite (IRP_MN_QUERY_PNP_DEVICE_STATE).
    const ULONG_PTR above = NT_SUCCESS(Irp->IoStatus.Status) ? Irp->IoStatus.Information : 0;
    Irp->IoStatus.Information = above | static_cast<ULONG>(reported);
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

NTSTATUS ReaderDevice::OnQueryDeviceRelations(PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        return CompleteAsItCame(Irp);
    }
    PDEVICE_RELATIONS relations = static_cast<PDEVICE_RELATIONS>(AllocateReply(sizeof(DEVICE_RELATIONS)));
    if (relations != nullptr) {
        relations->Count = 1;
        relations->Objects[0] = m_DeviceObject;
        // The reference belongs to whoever receives the relation.
        ObReferenceObject(m_DeviceObject);
    }
    return HandOver(Irp, relations);
}

NTSTATUS ReaderDevice::OnQueryCapabilities(PIRP Irp)
{
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    // The card can be pulled at any time and needs no user interaction to install.
    capabilities->Removable = TRUE;
    capabilities->SurpriseRemovalOK = TRUE;
    capabilities->SilentInstall = TRUE;
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    const SYSTEM_POWER_STATE sleepingStates[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                                 PowerSystemHibernate, PowerSystemShutdown};
    for (const SYSTEM_POWER_STATE state : sleepingStates) {
        capabilities->DeviceState[state] = PowerDeviceD3;
    }
    return CompleteIrpWith(Irp, STATUS_SUCCESS);
}

NTSTATUS ReaderDevice::OnQueryDeviceText(PIRP Irp)
{
    // One description for every locale.
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) {
        return CompleteAsItCame(Irp);
    }
    return HandOver(Irp, AllocateTextReply(READER_DESCRIPTION, sizeof(READER_DESCRIPTION), DESCRIPTION_REPLY_SIZE));
}

NTSTATUS ReaderDevice::OnQueryBusInformation(PIRP Irp)
{
    PPNP_BUS_INFORMATION information = static_cast<PPNP_BUS_INFORMATION>(AllocateReply(sizeof(PNP_BUS_INFORMATION)));
    if (information != nullptr) {
        information->BusTypeGuid = READER_BUS_TYPE_GUID;
        information->LegacyBusType = PNPBus;
        information->BusNumber = m_ReaderNumber;
    }
    return HandOver(Irp, information);
}

NTSTATUS ReaderDevice::OnQueryId(PIRP Irp)
{
    // Plug and Play identifies every new child before anything else: on systems that never send
    // IRP_MN_DEVICE_ENUMERATED, this is the sign that it knows the reader.
    ReaderRoster::ChildKnown(this);
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        return HandOver(Irp, AllocateTextReply(READER_HARDWARE_ID, sizeof(READER_HARDWARE_ID), DEVICE_ID_REPLY_SIZE));
    case BusQueryHardwareIDs:
        return HandOver(Irp,
                        AllocateTextReply(READER_HARDWARE_ID, sizeof(READER_HARDWARE_ID), HARDWARE_IDS_REPLY_SIZE));
    case BusQueryInstanceID:
        break;
    default:
        // No compatible IDs, serial number or container: whatever came stays.
        return CompleteAsItCame(Irp);
    }

    // The instance ID is the reader number in decimal: no two reader device objects hold one number
    // at once, and a later reader with this number is the same device node on purpose (a slot).
    USHORT size = INSTANCE_ID_FIRST_SIZE;
    PWCHAR buffer = nullptr;
    NTSTATUS status;
    for (;;) {
        if (buffer != nullptr) {
            ExFreePoolWithTag(buffer, READER_REPLY_TAG);
        }
        buffer = static_cast<PWCHAR>(AllocateReply(size));
        if (buffer == nullptr) {
            return CompleteIrpWith(Irp, STATUS_INSUFFICIENT_RESOURCES);
        }
        UNICODE_STRING text = {0, size, buffer};
        status = RtlIntegerToUnicodeString(m_ReaderNumber, 0, &text);
        if (status != STATUS_BUFFER_OVERFLOW) {
            break;
        }
        size = static_cast<USHORT>(size * 2);
    }
    if (!NT_SUCCESS(status)) {
        // A failed request hands nothing over, so nothing would ever free the buffer.
        ExFreePoolWithTag(buffer, READER_REPLY_TAG);
        return CompleteIrpWith(Irp, status);
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
    return CompleteIrpWith(Irp, status);
}
