// The physical device object of one virtual reader: a child of a bus, with its own Plug and Play
// identity, the configuration the client gave it, and the removal protocol that ends it.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"
#include "driver/device_object_base.h"
#include "bus/bus_device.h"
#include "bus/reader_roster.h"

// Where a reader is in its life. Every change first saves the old value in m_PreviousState; the
// reader's roster makes every change.
enum class ReaderState : ULONG {
    NotStarted = 0,
    Started = 1,
    RemovePending = 2,
    Unplugged = 3,
    Deleted = 4,
};

class ReaderDevice : public DeviceObjectBase
{
public:
    ReaderDevice(BusDevice* Bus, PDEVICE_OBJECT DeviceObject, ULONG ReaderNumber, ULONG Generation,
                 const ReaderConfig& Config);
    ~ReaderDevice() override;

    NTSTATUS DispatchPower(PIRP Irp) override;
    NTSTATUS DispatchPnp(PIRP Irp) override;
    NTSTATUS DispatchSystemControl(PIRP Irp) override;

    // Creates a started reader for Bus with the lowest free reader number, in the bus's m_Started
    // section. On failure nothing is left and *Reader is null; with every number held, the status
    // is STATUS_INSUFFICIENT_RESOURCES and nothing was created.
    static NTSTATUS Create(BusDevice* Bus, const ReaderConfig* Config, ReaderDevice** Reader) REQUIRES(Bus->m_Mutex);

    // Each completes its request and returns the status it completed it with.
    NTSTATUS OnStartDevice(PIRP Irp);
    NTSTATUS OnQueryId(PIRP Irp);

    ReaderState State() const { return m_State; }
    ReaderState PreviousState() const { return m_PreviousState; }

    // The bus that created the reader; not owned. Null once the bus has gone while the reader
    // still waited for its final removal (a handle on its stack held that back): the removal
    // that comes then deletes it without looking for a bus.
    BusDevice* m_Bus;
    // The reader's own number: its instance ID and the low half of its handle. Not the
    // configuration's Number (m_Config.Number), a value the client chose for the hardware key.
    ULONG m_ReaderNumber;
    // Which of the readers that held this number it is: the client's handle carries it, so that a
    // handle of an earlier reader never names a later one in the same slot.
    ULONG m_Generation;
    ReaderConfig m_Config;

    // The reader half of the client's handle: the generation above the number.
    ULONG64 Handle() const { return MsdscMakeReaderHandle(m_Generation, m_ReaderNumber); }

    // PNP_DEVICE_* flags the client asked the reader to report, for the next
    // IRP_MN_QUERY_PNP_DEVICE_STATE: PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED is taken by the
    // answer that carries it (one request, one rebalance); PNP_DEVICE_FAILED stays for the
    // reader's life, so a restart of the failed device fails it again until the session removes
    // the reader. Set through ReaderRoster::Report.
    volatile LONG m_ReportedDeviceState = 0;

private:
    NTSTATUS OnQueryRemoveDevice(PIRP Irp);
    NTSTATUS OnRemoveDevice(PIRP Irp);
    NTSTATUS OnCancelRemoveDevice(PIRP Irp);
    NTSTATUS OnSurpriseRemoval(PIRP Irp);
    NTSTATUS OnQueryDeviceRelations(PIRP Irp);
    NTSTATUS OnQueryCapabilities(PIRP Irp);
    NTSTATUS OnQueryDeviceText(PIRP Irp);
    NTSTATUS OnQueryBusInformation(PIRP Irp);
    NTSTATUS OnQueryPnpDeviceState(PIRP Irp);
    NTSTATUS OnSetPower(PIRP Irp);

    // Opens the hardware key and writes the configuration values, stopping at the first failure.
    NTSTATUS WriteConfiguration();

    // The removal protocol's part of the reader: written by Plug and Play's and the power
    // manager's requests, by the client's removal and by the session's end, all through the
    // roster, which alone reads the marks. The marks are guarded by the bus's reader list; the
    // state pair by m_StateLock alone, so that a power request, which may come at DISPATCH_LEVEL
    // where the list's fast mutex may not be taken, can record its state.
    friend class ReaderRoster;
    KSPIN_LOCK m_StateLock;
    ReaderState m_State;
    ReaderState m_PreviousState;
    RosterMarks m_Marks;
};

// The lowest reader number no reader holds in g_ReaderNumbersHeld, taken; false when every number
// within the cap (IsWithinReaderCap, msdscbus.h) is held.
bool TakeReaderNumber(ULONG* ReaderNumber);
void ReleaseReaderNumber(ULONG ReaderNumber);

// A reader's key in its bus's m_Readers: its number, moved up by one because a null key asks the
// list for a key of its own. Numbers are unique, so the key is too.
inline PVOID ReaderKey(ULONG ReaderNumber) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(ReaderNumber) + 1); }
