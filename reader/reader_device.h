// The physical device object of one virtual reader: a child of a bus, with its own Plug and Play
// identity, the configuration the client gave it, and the removal protocol that ends it.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"
#include "driver/device_object_base.h"

class BusDevice;

// Where a reader is in its life. Every change first saves the old value in m_PreviousState.
enum class ReaderState : ULONG
{
    NotStarted = 0,
    Started = 1,
    RemovePending = 2,
    Unplugged = 3,
    Deleted = 4,
};

class ReaderDevice : public DeviceObjectBase
{
public:
    ReaderDevice(BusDevice* Bus, PDEVICE_OBJECT DeviceObject, ULONG Number, const ReaderConfig& Config);
    ~ReaderDevice() override;

    NTSTATUS DispatchPower(PIRP Irp) override;
    NTSTATUS DispatchPnp(PIRP Irp) override;
    NTSTATUS DispatchSystemControl(PIRP Irp) override;

    // Creates a started reader for Bus, numbered from g_NextReaderNumber. Called with the bus's
    // m_Mutex held. On failure nothing is left and *Reader is null.
    static NTSTATUS Create(BusDevice* Bus, const ReaderConfig* Config, ReaderDevice** Reader);

    // Each completes its request and returns the status it completed it with.
    NTSTATUS OnStartDevice(PIRP Irp);
    NTSTATUS OnQueryId(PIRP Irp);

    // State is written without a lock by Plug and Play, power, the client's removal and the
    // control device's cleanup; each writer goes through here so the history step is never lost.
    void ChangeState(ReaderState NewState)
    {
        m_PreviousState = m_State;
        m_State = NewState;
    }

    // Deletes the reader: its state becomes Deleted, then its device object goes.
    void DeleteReader();

    // The bus that created the reader; not owned. Null once the bus has gone while the reader
    // still waited for its final removal (a handle on its stack held that back): the removal
    // that comes then deletes it without looking for a bus.
    BusDevice* m_Bus;
    ULONG m_Number;
    ReaderConfig m_Config;
    ReaderState m_State;
    ReaderState m_PreviousState;

    // The removal protocol, kept apart from m_State, which power requests overwrite (a function
    // driver commonly powers its device to D3 on the way out). All but the last two are read and
    // written under the hold of the bus's m_Readers.
    bool m_OnBus;              // in m_Readers: reported in every relations reply from now on
    bool m_KnownToPnp;         // decided when it left the bus: a reply Plug and Play received listed it
    bool m_AwaitingReply;      // left the bus while the only reply listing it was on its way down
    ULONG64 m_FirstListedIn;   // the first reply that listed it; 0: none yet
    ULONG64 m_LeftAfter;       // the last reply built before it left the bus
    LIST_ENTRY m_DepartedLink; // in the bus's m_Departed while it waits off the bus
    // Plug and Play's requests are serialised per device, so these two need no lock.
    bool m_QueryRemoved;       // between a query-remove and the removal or the cancel
    bool m_AwaitingRemoval;    // surprise-removed: the final removal is still to come

private:
    NTSTATUS OnQueryRemoveDevice(PIRP Irp);
    NTSTATUS OnRemoveDevice(PIRP Irp);
    NTSTATUS OnCancelRemoveDevice(PIRP Irp);
    NTSTATUS OnSurpriseRemoval(PIRP Irp);
    NTSTATUS OnQueryDeviceRelations(PIRP Irp);
    NTSTATUS OnQueryCapabilities(PIRP Irp);
    NTSTATUS OnQueryDeviceText(PIRP Irp);
    NTSTATUS OnQueryBusInformation(PIRP Irp);
    NTSTATUS OnSetPower(PIRP Irp);

    // Opens the hardware key and writes the configuration values, stopping at the first failure.
    NTSTATUS WriteConfiguration();
};

// The number the next reader gets: shared by every bus, never reused while the driver is loaded.
extern ULONG g_NextReaderNumber;

// A reader's key in its bus's m_Readers: its number, moved up by one because a null key asks the
// list for a key of its own. Numbers are unique, so the key is too.
inline PVOID ReaderKey(ULONG Number)
{
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Number) + 1);
}
