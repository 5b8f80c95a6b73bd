// Every piece of state the whole driver shares, in one place, and the per-driver context that
// lives in the driver-object extension. What each global is for, who writes it and under what.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"

class ControlDevice;
class DeviceList;

// The identification key of the driver-object extension that holds the DriverObjectContext;
// the number itself is the identification address.
constexpr ULONG DRIVER_OBJECT_CONTEXT_ID = 0xF80A;

inline PVOID DriverObjectContextId()
{
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(DRIVER_OBJECT_CONTEXT_ID));
}

// Lives in the driver-object extension (8 bytes); the I/O manager frees it with the driver object.
class DriverObjectContext
{
public:
    explicit DriverObjectContext(PDRIVER_OBJECT DriverObject) : m_DriverObject(DriverObject) {}

    // Installs the dispatch and AddDevice routines and creates the process-wide objects that do
    // not exist yet: the bus registry, then the control device. Defined with the driver's entry
    // (entry/driver_entry.cpp), the one place that may create them.
    NTSTATUS Initialize();

    PDRIVER_OBJECT m_DriverObject;
};

// Every registered bus, so the client's requests can find one: key = the bus's handle, payload =
// its BusDevice. Created by the driver entry, freed by the unload routine.
extern DeviceList* g_BusRegistry;

// The client's way in: created by the driver entry, deleted by the unload routine.
extern ControlDevice* g_ControlDevice;

// Registry position of the bus that receives the next reader, so adds go round the buses. Only
// read and written by a thread that holds the bus registry; never reset while the driver is loaded.
extern ULONG g_NextBusIndex;

// This load's half of every bus handle, so a handle from an earlier load names no bus: never 0,
// drawn once at driver entry. Read and written only through bus/bus_handle.h.
extern ULONG g_HandleTag;
// The serial number of the next bus AddDevice registers, so no two buses of a load share a handle;
// under the control device's mutex. Read and written only through bus/bus_handle.h.
extern ULONG g_NextBusSerial;

// Bit n set: a reader device object of this driver holds number n (from its creation until its
// device object is deleted, so also while a departed reader waits for Plug and Play's removal).
// Shared by every bus because a number is the reader's instance ID, unique over the driver.
extern LONG g_ReaderNumbersHeld[MAX_READERS / 32];
// Counts readers created in this load; each reader's generation is the count after its creation,
// so a handle of an earlier reader never names a later one with the same number.
extern ULONG g_ReaderGenerations;

// The pool for memory that must stay resident: NonPagedPoolNx on Windows 8 (6.2) and later, where
// memory integrity wants data pages never executable, and NonPagedPool before, which has no Nx
// type. Chosen from the running system's version at driver entry.
extern POOL_TYPE g_NonPagedPoolType;
