// The bus functional device: one per bus instance that Plug and Play gives the driver. It owns
// the list of the readers created on it and answers Plug and Play for the bus.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"
#include "driver/attached_device.h"
#include "driver/driver_globals.h"
#include "registry/bus_registry.h"
#include "bus/reader_roster.h"

class ReaderDevice;

class BusDevice : public AttachedDevice
{
public:
    BusDevice(DriverObjectContext* Context, PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDeviceObject);

    ~BusDevice() override;
    NTSTATUS Start() override;
    void Delete() override;
    NTSTATUS DispatchPnp(PIRP Irp) override;
    NTSTATUS DispatchPower(PIRP Irp) override;

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
    NTSTATUS OnStopDevice(PIRP Irp);

    // Power of the bus as its stack's power policy owner (bus_power.cpp).
    NTSTATUS OnSystemSetPower(PIRP Irp);
    NTSTATUS OnDeviceSetPower(PIRP Irp);
    static NTSTATUS NTAPI OnSystemSetPowerPassed(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
    static VOID NTAPI OnDeviceSetPowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                           PVOID Context, PIO_STATUS_BLOCK IoStatus);
    static NTSTATUS NTAPI OnDevicePoweredUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

    // Readers on the bus, named by the reader half of the client's handle (ReaderDevice::Handle):
    // the number, whose ReaderKey is the key in the roster, and the generation above it.
    NTSTATUS CreateReader(const ReaderConfig* Config, ULONG64* ReaderHandle);
    NTSTATUS RemoveReader(ULONG64 ReaderHandle);
    // Has the reader report DeviceState (PNP_DEVICE_*) to Plug and Play (ReaderRoster::Report).
    NTSTATUS ReportReaderState(ULONG64 ReaderHandle, ULONG DeviceState)
    {
        return m_Roster.Report(ReaderHandle, DeviceState);
    }

    // The bus's serial number, its name in diagnostics.
    ULONG Serial() const { return MsdscBusHandleSerial(m_Handle); }
    // Takes every reader off the bus, as the client's cleanup does, and re-enumerates the bus.
    void UnplugEveryReader();

    // The driver's context this bus was created with, kept for the bus's life.
    DriverObjectContext* m_DriverContext;
    // Names the bus to the client without its address, and is its key in g_BusRegistry: this
    // load's handle tag and the bus's serial number. Set once, when AddDevice registers the bus.
    ULONG64 m_Handle;
    // The readers on the bus and their removal protocol.
    ReaderRoster m_Roster;
    // Makes the m_Started test and the insertion of a new reader one step (the lock order is in
    // driver/kernel_support.h).
    DriverMutex m_Mutex ACQUIRED_AFTER(g_BusRegistry->m_Buses) ACQUIRED_BEFORE(m_Roster.m_Readers);
    bool m_Started GUARDED_BY(m_Mutex);
    // The system set-power waiting for the device set-power the bus asked for; one at a time.
    PIRP m_SystemPowerIrp = nullptr;
};

// Called by Plug and Play once per bus instance: creates, attaches and registers the bus, which
// makes the control device openable.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
