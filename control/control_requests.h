// The client's reader management requests as the rest of the driver sees them: the round-robin
// choice of a bus for a new reader.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"
#include "control/control_device.h"
#include "registry/device_list.h"

// Picks the next bus round-robin from the bus registry and creates a reader with Config on it.
// Handle is written only on success; it may share its memory with Config, which is read first.
NTSTATUS AddReader(const ReaderConfig* Config, BusReaderHandle* Handle);

// Only a thread that holds the bus registry reads or moves the round-robin position.
extern ULONG g_NextBusIndex GUARDED_BY(*g_BusRegistry);
