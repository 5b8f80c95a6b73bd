// Every piece of state the whole driver shares, in one place, and the per-driver context that
// lives in the driver-object extension. What each global is for, who writes it and under what.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"

class ControlDevice;
class BusRegistry;

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

// Each global with why the whole driver shares it and what keeps its readers and writers apart.

// Every registered bus, its handle and the adds' turn (registry/bus_registry.h); built at entry, freed at unload.
extern BusRegistry* g_BusRegistry;
// The client's one way in, built by the entry and deleted by the unload routine.
extern ControlDevice* g_ControlDevice;
// Bit n: some reader device object holds number n, its instance ID, unique over every bus; interlocked.
extern LONG g_ReaderNumbersHeld[MAX_READERS / 32];
// Readers created in this load, each reader's generation, so a stale handle never names a later reader.
extern ULONG g_ReaderGenerations;
// NonPagedPoolNx from Windows 8 (6.2) on, where memory integrity wants data never executable; chosen at entry.
extern POOL_TYPE g_NonPagedPoolType;

// Puts every global above back to its value at load, freeing nothing: for the host build's tests
// and fuzzer, which link the driver in once and load it many times into a simulated kernel that
// takes back its pool and devices itself. Windows loads a fresh image every time.
void ResetDriverGlobals();
