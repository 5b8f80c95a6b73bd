// Readers appearing on and disappearing from a bus. Both change the bus's reader list and then
// ask Plug and Play to enumerate the bus again; a reader Plug and Play knows is deleted only by
// its own removal request.
#include <ntddk.h>
#include "bus/bus_device.h"
#include "reader/reader_device.h"

ULONG g_NextReaderNumber = 0;

NTSTATUS BusDevice::CreateReader(const ReaderConfig* Config, ULONG* ReaderNumber)
{
    ULONG number = 0;
    {
        // The m_Started test and the insertion are one step, so a successful query-remove (which
        // clears m_Started under the same mutex) never sees a reader arrive after it.
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
    // Outside the mutex: Plug and Play may query the relations on this very thread.
    IoInvalidateDeviceRelations(m_PhysicalDeviceObject, BusRelations);
    *ReaderNumber = number;
    return STATUS_SUCCESS;
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
        // the control device); only the one whose Remove took the entry moves the state.
        if (m_Readers.Remove(key) != Ok) {
            return STATUS_SUCCESS;
        }
        ReaderDevice* reader = static_cast<ReaderDevice*>(payload);
        reader->ChangeState(ReaderState::Unplugged);
        if (!reader->m_Reported) {
            unknownToPnp = reader;
        }
    }
    if (unknownToPnp != nullptr) {
        // No relations ever listed it, so no removal request will ever come for it, and the
        // relations Plug and Play holds have not changed.
        unknownToPnp->Delete();
        return STATUS_SUCCESS;
    }
    IoInvalidateDeviceRelations(m_PhysicalDeviceObject, BusRelations);
    return STATUS_SUCCESS;
}
