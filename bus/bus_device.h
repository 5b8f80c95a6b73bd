// The bus functional device: one per bus instance that Plug and Play gives the driver. It owns
// the list of the readers created on it and answers Plug and Play for the bus.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"
#include "driver/attached_device.h"
#include "driver/driver_entry.h"
#include "registry/device_list.h"

class ReaderDevice;

class BusDevice : public AttachedDevice
{
public:
    BusDevice(DriverObjectContext* Context, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDeviceObject);

    // Empties m_Readers; the readers are already deleted or cut loose by the bus's removal.
    ~BusDevice() override;
    NTSTATUS Start() override;
    void Delete() override;
    NTSTATUS DispatchPnp(PIRP Irp) override;

    // Creates the bus's device object over PhysicalDeviceObject, builds the BusDevice in its
    // extension and attaches it. On failure nothing is left and *Bus stays null.
    static NTSTATUS Create(DriverObjectContext* Context, PDEVICE_OBJECT PhysicalDeviceObject, BusDevice** Bus);

    // Plug and Play of the bus.
    NTSTATUS OnStartDevice(PIRP Irp);
    NTSTATUS OnQueryRemoveDevice(PIRP Irp);
    NTSTATUS OnCancelRemoveDevice(PIRP Irp);
    NTSTATUS OnRemoveDevice(PIRP Irp);
    NTSTATUS OnQueryDeviceRelations(PIRP Irp);
    // A new relations array holding the readers, with room for ExtraSlots more objects; on
    // failure *Relations is unchanged.
    NTSTATUS BuildBusRelations(PDEVICE_RELATIONS* Relations, ULONG ExtraSlots);

    NTSTATUS OnSurpriseRemoval(PIRP Irp);

    // Readers on the bus, named by their reader numbers (ReaderKey gives their keys in m_Readers).
    NTSTATUS CreateReader(const ReaderConfig* Config, ULONG* ReaderNumber);
    NTSTATUS RemoveReader(ULONG ReaderNumber);

    // The bus's serial number, its name in diagnostics.
    ULONG Serial() const { return static_cast<ULONG>(m_Handle); }

    // The bus's key in g_BusRegistry, which is also its half of the client's reader handles.
    PVOID RegistryKey() const { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(m_Handle)); }
    // Takes every reader off the bus, as the client's cleanup does, and re-enumerates the bus.
    void UnplugEveryReader();

    // Under the hold of m_Readers, for a reader whose entry the caller has just taken out of
    // m_Readers: the reader is Unplugged, and either waits among m_Departed for Plug and Play's
    // removal, or, when no reply Plug and Play received or may still receive listed it, is
    // returned true: nobody will remove it, and the caller deletes it once the hold ends.
    bool LeaveLocked(ReaderDevice* Reader);
    // Under the hold of m_Readers: a reply that reached Plug and Play no longer lists the reader,
    // so the removal Plug and Play sends it now is its last.
    bool ReportedMissingLocked(const ReaderDevice* Reader) const;

    // Takes the readers off m_Readers, oldest first, under one hold of the list, and hands each to
    // Taken. An entry that another removal has already marked belongs to that removal, which
    // unlinks it once the hold ends and changes the reader's state itself: it is passed over.
    // The caller holds m_Readers.
    template <typename Action>
    void TakeEveryReaderLocked(Action Taken)
    {
        LONG index = 0;
        PVOID key = nullptr;
        PVOID payload = nullptr;
        while (m_Readers.GetAt(index, &key, &payload) == Ok) {
            // The payload is taken before the entry goes.
            if (m_Readers.Remove(key) != Ok) {
                ++index;
                continue;
            }
            Taken(static_cast<ReaderDevice*>(payload));
        }
    }

    DriverObjectContext* m_DriverContext;
    // Names the bus to the client without its address: this load's handle tag and the bus's
    // serial number (MakeBusHandle). Set once, when AddDevice registers the bus.
    ULONG64 m_Handle;
    // Lock order: m_Mutex before the lock of m_Readers.
    DeviceList m_Readers;
    // Readers off the bus that still exist: Plug and Play has yet to remove them, or a relations
    // reply that listed them is still on its way down. Linked through ReaderDevice::m_DepartedLink
    // and guarded by the hold of m_Readers, like the three reply numbers below.
    LIST_ENTRY m_Departed;
    // Bus-relations replies, numbered from 1: the last one built, the one on its way down the
    // stack (0: none; Plug and Play sends one query at a time), and the last one the stack let
    // through to Plug and Play.
    ULONG64 m_RepliesBuilt;
    ULONG64 m_ReplyInFlight;
    ULONG64 m_ReplyDelivered;
    // Makes the m_Started test and the insertion of a new reader one step.
    FAST_MUTEX m_Mutex;
    bool m_Started;

private:
    // Settles the reply on its way down once the stack has answered: readers that left the bus
    // meanwhile become Plug and Play's to remove, or, when the reply never reached it, are deleted.
    void SettleReply(bool Delivered);
    // At the bus's own removal: every reader still known here is deleted, except one that waits
    // for a final removal held back by open handles, which is cut loose from the bus.
    void ReleaseReaders();
};

// Called by Plug and Play once per bus instance: creates, attaches and registers the bus and
// makes the control device openable.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
