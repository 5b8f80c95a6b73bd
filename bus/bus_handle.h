// The bus half of the client's reader handles, minted when AddDevice registers a bus and read
// back when a handle comes in: the only code that touches g_HandleTag and g_NextBusSerial.
#pragma once
#include <ntddk.h>
#include "control/control_device.h"

// A handle names a bus without a kernel address: this load's tag (upper 32 bits, never 0) and the
// bus's serial number, so a handle from an earlier load names no bus.

// Draws this load's tag; once, at driver entry.
void InitializeHandleTag();

// The handle of the bus with this serial number in this load.
ULONG64 MakeBusHandle(ULONG Serial);

// The handle of the next bus, which uses up its serial number whether or not the bus is then
// registered: serials only need to be unique. Under the control device's mutex.
ULONG64 MintBusHandle() REQUIRES(g_ControlDevice->m_Mutex);

// The bus's key in g_BusRegistry: the handle itself, so the client's half finds the bus directly.
inline PVOID BusHandleKey(ULONG64 Handle) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Handle)); }

// The serial number inside a handle, the bus's name in diagnostics.
inline ULONG BusHandleSerial(ULONG64 Handle) { return static_cast<ULONG>(Handle); }
