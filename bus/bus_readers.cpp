// Readers appearing on and disappearing from a bus at the client's request. Creation is the bus's
// (its m_Started test and the reader's device object); the list and every departure belong to the
// roster, which owns the removal protocol.
#include <ntddk.h>
#include "bus/bus_device.h"
#include "reader/reader_device.h"
#include "driver/diagnostics.h"

NTSTATUS BusDevice::CreateReader(const ReaderConfig* Config, ULONG64* ReaderHandle)
{
    ULONG readerNumber = 0;
    ULONG64 handle = 0;
    {
        // The m_Started test and the insertion are one step, so a successful query-remove or a
        // surprise removal (which clear m_Started under the same mutex) never sees a reader
        // arrive after it.
        MutexGuard guard(&m_Mutex);
        if (!m_Started) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        ReaderDevice* reader = nullptr;
        NTSTATUS status = ReaderDevice::Create(this, Config, &reader);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        DeleteOnFailure deleteOnFailure(reader);
        status = m_Roster.Add(reader);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        deleteOnFailure.Dismiss();
        readerNumber = reader->m_ReaderNumber;
        handle = reader->Handle();
    }
    MSDSC_EVENT("reader %u created on bus %u", static_cast<unsigned>(readerNumber), static_cast<unsigned>(Serial()));
    // Outside the mutex: Plug and Play may query the relations on this very thread.
    IoInvalidateDeviceRelations(m_PhysicalDeviceObject, BusRelations);
    *ReaderHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS BusDevice::RemoveReader(ULONG64 ReaderHandle) { return m_Roster.TakeOff(ReaderHandle); }

void BusDevice::UnplugEveryReader() { m_Roster.TakeAllOff(); }
