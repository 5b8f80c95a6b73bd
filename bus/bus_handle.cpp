// This load's handle tag and the minting of bus handles.
#include <ntddk.h>
#include "bus/bus_handle.h"
#include "driver/driver_globals.h"

void InitializeHandleTag()
{
    // Any value that differs between two loads will do; the tag is no secret (the client sees it),
    // only a way to tell this load's handles from an earlier one's.
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(nullptr);
    const ULONG tag = counter.LowPart ^ static_cast<ULONG>(counter.HighPart);
    g_HandleTag = tag != 0 ? tag : 1;
}

ULONG64 MakeBusHandle(ULONG Serial) { return static_cast<ULONG64>(g_HandleTag) << 32 | Serial; }

ULONG64 MintBusHandle() { return MakeBusHandle(g_NextBusSerial++); }
