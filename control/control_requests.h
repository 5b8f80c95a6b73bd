// The client's reader management requests as the rest of the driver sees them: the round-robin
// choice of a bus for a new reader.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"

// Picks the next bus round-robin from the bus registry and creates a reader with Config on it.
// Handle is written only on success; it may share its memory with Config, which is read first.
NTSTATUS AddReader(const ReaderConfig* Config, BusReaderHandle* Handle);
