// The definitions of the driver-wide state declared in driver_globals.h, each at its value when the
// driver loads.
#include <ntddk.h>
#include "driver/driver_globals.h"

static_assert(sizeof(DriverObjectContext) == 8, "the driver-object extension holds one pointer");

BusRegistry* g_BusRegistry = nullptr;
ControlDevice* g_ControlDevice = nullptr;
LONG g_ReaderNumbersHeld[MAX_READERS / 32] = {};
ULONG g_ReaderGenerations = 0;
POOL_TYPE g_NonPagedPoolType = NonPagedPool;

// Beside the definitions, so that a global added above is reset here too.
void ResetDriverGlobals()
{
    g_BusRegistry = nullptr;
    g_ControlDevice = nullptr;
    for (LONG& word : g_ReaderNumbersHeld) {
        word = 0;
    }
    g_ReaderGenerations = 0;
    g_NonPagedPoolType = NonPagedPool;
}
