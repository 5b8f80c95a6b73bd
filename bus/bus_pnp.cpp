// Plug and Play of the bus: start, the removal veto while readers exist, removal with its
// registry bookkeeping, and the bus relations that tell Plug and Play which readers exist.
#include <ntddk.h>
#include "bus/bus_device.h"
#include "driver/diagnostics.h"
#include "reader/reader_device.h"

NTSTATUS BusDevice::DispatchPnp(PIRP Irp)
{
    // Held for every request, so a removal waits for requests already on their way through the
    // bus and turns away any that come after it.
    const NTSTATUS held = IoAcquireRemoveLock(&m_RemoveLock, Irp);
    if (!NT_SUCCESS(held)) {
        return CompleteIrpWith(Irp, held);
    }
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = OnStartDevice(Irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = OnQueryRemoveDevice(Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        // Releases the lock itself, before the bus goes.
        return OnRemoveDevice(Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        status = OnCancelRemoveDevice(Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = OnSurpriseRemoval(Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        // Nothing keeps the bus from stopping for a rebalance, nor has it anything to undo: a
        // driver that agrees says so before it passes the request down ("Handling an
        // IRP_MN_QUERY_STOP_DEVICE Request"), or the stack below, which has nothing to say about
        // it, would leave the request unanswered and veto the rebalance of the whole subtree.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        status = PassIrpDown(m_LowerDeviceObject, Irp);
        break;
    case IRP_MN_STOP_DEVICE:
        status = OnStopDevice(Irp);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        status = OnQueryDeviceRelations(Irp);
        break;
    default:
        // The rest are the lower stack's business.
        status = PassIrpDown(m_LowerDeviceObject, Irp);
        break;
    }
    IoReleaseRemoveLock(&m_RemoveLock, Irp);
    return status;
}

NTSTATUS BusDevice::OnStartDevice(PIRP Irp)
{
    // The lower stack starts first; the bus is usable only once the device under it is.
    const NTSTATUS status = ForwardIrpAndWait(m_LowerDeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        PoSetPowerState(m_DeviceObject, DevicePowerState, state);
        MutexGuard guard(&m_Mutex);
        m_Started = true;
    }
    if (NT_SUCCESS(status)) {
        MSDSC_EVENT("bus %u started", static_cast<unsigned>(Serial()));
    } else {
        MSDSC_EVENT("bus %u: the stack below failed its start (%08X)", static_cast<unsigned>(Serial()),
                    StatusCode(status));
    }
    return CompleteIrpWith(Irp, status);
}

NTSTATUS BusDevice::OnQueryRemoveDevice(PIRP Irp)
{
    ULONG readers;
    {
        // One section with reader creation: once this succeeds, no reader can be added until a
        // cancel-remove or a new start.
        MutexGuard guard(&m_Mutex);
        readers = m_Roster.Count();
        if (readers == 0) {
            m_Started = false;
        }
    }
    if (readers != 0) {
        MSDSC_REFUSED("bus %u: removal vetoed, %u reader(s) still on it", static_cast<unsigned>(Serial()),
                      static_cast<unsigned>(readers));
        return CompleteIrpWith(Irp, STATUS_UNSUCCESSFUL);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassIrpDown(m_LowerDeviceObject, Irp);
}

NTSTATUS BusDevice::OnCancelRemoveDevice(PIRP Irp)
{
    // The lower stack must have taken the cancel back before the bus takes readers again.
    const NTSTATUS status = ForwardIrpAndWait(m_LowerDeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        MutexGuard guard(&m_Mutex);
        m_Started = true;
    }
    return CompleteIrpWith(Irp, status);
}

NTSTATUS BusDevice::OnStopDevice(PIRP Irp)
{
    {
        // Stopped for a rebalance: no reader is added until the start that follows, which sets
        // m_Started again. The readers it has stay.
        MutexGuard guard(&m_Mutex);
        m_Started = false;
    }
    return PassIrpDown(m_LowerDeviceObject, Irp);
}

NTSTATUS BusDevice::OnSurpriseRemoval(PIRP Irp)
{
    {
        // The bus is gone from the machine: no reader may be added from here on, and no
        // cancel-remove ever follows a surprise removal.
        MutexGuard guard(&m_Mutex);
        m_Started = false;
    }
    m_Roster.BusPulled();
    MSDSC_EVENT("bus %u surprise-removed: it takes no more readers", static_cast<unsigned>(Serial()));
    return PassIrpDown(m_LowerDeviceObject, Irp);
}

NTSTATUS BusDevice::OnRemoveDevice(PIRP Irp)
{
    // Requests still on their way through the bus finish first, and later ones are turned away,
    // before anything is torn down ("Using Remove Locks").
    IoReleaseRemoveLockAndWait(&m_RemoveLock, Irp);
    // Out of the registry first: a client's request that holds the registry finishes its call into
    // the bus before this returns, and none finds the bus after it. The last bus to leave closes the
    // control device to new sessions by the same step.
    bool lastLeft = false;
    if (g_BusRegistry->Unregister(m_Handle, &lastLeft) && lastLeft) {
        MSDSC_EVENT("bus %u removed, the last: no new session until a bus arrives", static_cast<unsigned>(Serial()));
    } else {
        MSDSC_EVENT("bus %u removed", static_cast<unsigned>(Serial()));
    }

    // "Removing a Device in a Function Driver": a bus's function driver deletes the children that
    // are left, passes the removal down, and only then detaches and deletes its own device. A
    // filter above the bus detaches from it after this returns, and one below still has the bus
    // attached over it while it handles the removal.
    m_Roster.ReleaseAll();
    Irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = PassIrpDown(m_LowerDeviceObject, Irp);
    Delete();
    return status;
}

NTSTATUS BusDevice::OnQueryDeviceRelations(PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != BusRelations) {
        return PassIrpDown(m_LowerDeviceObject, Irp);
    }

    // Drivers above may already have put objects of their own in the request; they stay, after
    // the readers, without another reference.
    PDEVICE_RELATIONS earlier = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    const ULONG earlierCount = earlier != nullptr ? earlier->Count : 0;

    PDEVICE_RELATIONS relations = nullptr;
    const NTSTATUS status = BuildBusRelations(&relations, earlierCount);
    if (!NT_SUCCESS(status)) {
        // The earlier array stays in the request, untouched, for its owner to free.
        return CompleteIrpWith(Irp, status);
    }

    // Plug and Play drops one reference on every object it is handed.
    PDEVICE_OBJECT* slots = relations->Objects;
    for (ULONG i = 0; i < relations->Count; ++i) {
        ObReferenceObject(slots[i]);
    }
    if (earlierCount != 0) {
        const PDEVICE_OBJECT* earlierSlots = earlier->Objects;
        for (ULONG i = 0; i < earlierCount; ++i) {
            slots[relations->Count + i] = earlierSlots[i];
        }
        relations->Count += earlierCount;
    }
    if (earlier != nullptr) {
        ExFreePoolWithTag(earlier, 0);
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    // Waited for, because what the lower stack does with the reply decides what Plug and Play
    // knows: a reply it fails never reached Plug and Play.
    const NTSTATUS lowerStatus = ForwardIrpAndWait(m_LowerDeviceObject, Irp);
    if (!NT_SUCCESS(lowerStatus) && Irp->IoStatus.Information == reinterpret_cast<ULONG_PTR>(relations)) {
        // Plug and Play reads nothing from a failed request, so the reply and the references in
        // it come back to the bus.
        for (ULONG i = 0; i < relations->Count; ++i) {
            ObDereferenceObject(slots[i]);
        }
        ExFreePoolWithTag(relations, ReaderRoster::BUS_RELATIONS_TAG);
        Irp->IoStatus.Information = 0;
    }
    m_Roster.SettleReply(NT_SUCCESS(lowerStatus));
    return CompleteIrpWith(Irp, lowerStatus);
}

NTSTATUS BusDevice::BuildBusRelations(PDEVICE_RELATIONS* Relations, ULONG ExtraSlots)
{
    return m_Roster.BuildReply(Relations, ExtraSlots);
}
