// The client's reader management requests as the rest of the driver sees them: the round-robin
// choice of a bus for a new reader, and the handles that name readers to the client.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"
#include "driver/driver_globals.h"

// A handle names a reader without a kernel address. Its bus half is this load's tag (upper 32
// bits, never 0) and the bus's serial number, so a handle from an earlier load names no bus; its
// reader half is the reader's number, the instance ID Plug and Play shows for the reader, never
// reused while the driver is loaded.

// Draws this load's tag; once, at driver entry.
void InitializeHandleTag();

inline ULONG64 MakeBusHandle(ULONG Serial)
{
    return static_cast<ULONG64>(g_HandleTag) << 32 | Serial;
}

// Picks the next bus round-robin from the bus registry and creates a reader with Config on it.
// Handle is written only on success; it may share its memory with Config, which is read first.
NTSTATUS AddReader(const ReaderConfig* Config, BusReaderHandle* Handle);
