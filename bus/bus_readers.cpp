// Readers appearing on and disappearing from a bus. Both change the bus's reader list and then
// ask Plug and Play to enumerate the bus again. A reader Plug and Play knows is deleted by its own
// removal once a relations reply that reached Plug and Play no longer lists it (the rule for bus
// drivers), or by the bus's removal; one Plug and Play never learnt of is deleted by whoever takes
// it off the bus.
#include <ntddk.h>
#include "bus/bus_device.h"
#include "reader/reader_device.h"
#include "driver/diagnostics.h"

ULONG g_NextReaderNumber = 0;

namespace {

// Readers to delete once the list's hold has ended, chained through their departed links.
void DeleteChained(PLIST_ENTRY Chain)
{
    while (!IsListEmpty(Chain)) {
        PLIST_ENTRY link = RemoveHeadList(Chain);
        CONTAINING_RECORD(link, ReaderDevice, m_DepartedLink)->DeleteReader();
    }
}

} // namespace

NTSTATUS BusDevice::CreateReader(const ReaderConfig* Config, ULONG* ReaderNumber)
{
    ULONG number = 0;
    {
        // The m_Started test and the insertion are one step, so a successful query-remove or a
        // surprise removal (which clear m_Started under the same mutex) never sees a reader
        // arrive after it.
        MutexGuard guard(&m_Mutex);
        if (!m_Started) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        ReaderDevice* reader = nullptr;
        const NTSTATUS status = ReaderDevice::Create(this, Config, &reader);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        DeleteOnFailure deleteOnFailure(reader);

        DeviceListEntry* entry = m_Readers.AllocateEntry();
        if (entry == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        PVOID listKey = ReaderKey(reader->m_Number);
        if (m_Readers.InsertUnique(reader, &listKey, entry) != Ok) {
            // The list has freed the entry it refused.
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        deleteOnFailure.Dismiss();
        number = reader->m_Number;
    }
    MSDSC_EVENT("reader %u created on bus %u", static_cast<unsigned>(number), static_cast<unsigned>(Serial()));
    // Outside the mutex: Plug and Play may query the relations on this very thread.
    IoInvalidateDeviceRelations(m_PhysicalDeviceObject, BusRelations);
    *ReaderNumber = number;
    return STATUS_SUCCESS;
}

bool BusDevice::LeaveLocked(ReaderDevice* Reader)
{
    Reader->ChangeState(ReaderState::Unplugged);
    Reader->m_OnBus = false;
    Reader->m_LeftAfter = m_RepliesBuilt;
    MSDSC_EVENT("reader %u left bus %u", static_cast<unsigned>(Reader->m_Number), static_cast<unsigned>(Serial()));
    const ULONG64 first = Reader->m_FirstListedIn;
    if (first != 0 && m_ReplyDelivered >= first) {
        // Every reply since the first that listed it did too, so Plug and Play has it.
        Reader->m_KnownToPnp = true;
    } else if (first != 0 && m_ReplyInFlight >= first) {
        // Whether Plug and Play gets to know it is decided when that reply comes back up.
        Reader->m_AwaitingReply = true;
    } else {
        return true;
    }
    InsertTailList(&m_Departed, &Reader->m_DepartedLink);
    return false;
}

bool BusDevice::ReportedMissingLocked(const ReaderDevice* Reader) const
{
    return !Reader->m_OnBus && Reader->m_KnownToPnp && m_ReplyDelivered > Reader->m_LeftAfter;
}

NTSTATUS BusDevice::RemoveReader(ULONG ReaderNumber)
{
    const PVOID key = ReaderKey(ReaderNumber);
    ReaderDevice* unknownToPnp = nullptr;
    {
        // One hold from the lookup to the state change: the reader's own removal request decides
        // under the same hold whether it is off its bus and deletes itself, so it cannot vanish
        // between the two. No mutex: a removal only lowers the count that query-remove tests.
        ListHold hold(m_Readers);
        PVOID payload = nullptr;
        if (m_Readers.Find(key, &payload) != Ok) {
            return STATUS_UNSUCCESSFUL;
        }
        // Removals of one reader overlap (the client, the reader's own removal, the cleanup of
        // the control device); only the one whose Remove took the entry moves the reader on.
        if (m_Readers.Remove(key) != Ok) {
            return STATUS_SUCCESS;
        }
        ReaderDevice* reader = static_cast<ReaderDevice*>(payload);
        if (LeaveLocked(reader)) {
            unknownToPnp = reader;
        }
    }
    if (unknownToPnp != nullptr) {
        // No reply that reached Plug and Play listed it, so no removal will ever come for it, and
        // the relations Plug and Play holds have not changed.
        unknownToPnp->DeleteReader();
        return STATUS_SUCCESS;
    }
    IoInvalidateDeviceRelations(m_PhysicalDeviceObject, BusRelations);
    return STATUS_SUCCESS;
}

void BusDevice::UnplugEveryReader()
{
    LIST_ENTRY unknownToPnp;
    InitializeListHead(&unknownToPnp);
    {
        ListHold hold(m_Readers);
        TakeEveryReaderLocked([&](ReaderDevice* Reader) {
            if (LeaveLocked(Reader)) {
                InsertTailList(&unknownToPnp, &Reader->m_DepartedLink);
            }
        });
    }
    DeleteChained(&unknownToPnp);
    // Every bus is re-enumerated, also one that had no readers.
    IoInvalidateDeviceRelations(m_PhysicalDeviceObject, BusRelations);
}

void BusDevice::SettleReply(bool Delivered)
{
    LIST_ENTRY neverReceived;
    InitializeListHead(&neverReceived);
    {
        ListHold hold(m_Readers);
        if (Delivered) {
            m_ReplyDelivered = m_ReplyInFlight;
        }
        m_ReplyInFlight = 0;
        PLIST_ENTRY link = m_Departed.Flink;
        while (link != &m_Departed) {
            ReaderDevice* reader = CONTAINING_RECORD(link, ReaderDevice, m_DepartedLink);
            link = link->Flink;
            if (!reader->m_AwaitingReply) {
                continue;
            }
            reader->m_AwaitingReply = false;
            if (Delivered) {
                reader->m_KnownToPnp = true;
            } else {
                RemoveEntryList(&reader->m_DepartedLink);
                InsertTailList(&neverReceived, &reader->m_DepartedLink);
            }
        }
    }
    DeleteChained(&neverReceived);
}

void BusDevice::ReleaseReaders()
{
    LIST_ENTRY doomed;
    InitializeListHead(&doomed);
    {
        ListHold hold(m_Readers);
        // Windows removes a bus's children before the bus, so a reader still on the bus is one
        // Plug and Play removed while the bus still reported it, or one it never saw.
        TakeEveryReaderLocked([&](ReaderDevice* Reader) {
            Reader->ChangeState(ReaderState::Unplugged);
            Reader->m_OnBus = false;
            InsertTailList(&m_Departed, &Reader->m_DepartedLink);
        });
        while (!IsListEmpty(&m_Departed)) {
            ReaderDevice* reader = CONTAINING_RECORD(RemoveHeadList(&m_Departed), ReaderDevice, m_DepartedLink);
            if (reader->m_AwaitingRemoval) {
                // Its final removal waits for a handle on its stack and comes after the bus is gone.
                InitializeListHead(&reader->m_DepartedLink);
                reader->m_Bus = nullptr;
                MSDSC_EVENT("reader %u outlives bus %u until its final removal", static_cast<unsigned>(reader->m_Number),
                            static_cast<unsigned>(Serial()));
                continue;
            }
            InsertTailList(&doomed, &reader->m_DepartedLink);
        }
    }
    DeleteChained(&doomed);
}
