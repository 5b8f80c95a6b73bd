// What the driver tells a kernel debugger, through DbgPrintEx under the component the debug filter
// keeps for third-party drivers (Kd_IHVDRIVER_Mask): each bus's and reader's life events at the
// info level and each refused request at the warning level, both hidden by the default filter;
// the driver's own failures at the error level, which the default filter shows.
#pragma once
#include <ntddk.h>

// Every line starts with the driver's name, so a debugger's output can be filtered for it. Only
// numbers are printed (reader numbers, bus serials, statuses): never a kernel address.
#define MSDSC_DIAGNOSTIC(Level, Format, ...) \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, Level, "msdscbus: " Format "\n", ##__VA_ARGS__)
#define MSDSC_EVENT(Format, ...) MSDSC_DIAGNOSTIC(DPFLTR_INFO_LEVEL, Format, ##__VA_ARGS__)
#define MSDSC_REFUSED(Format, ...) MSDSC_DIAGNOSTIC(DPFLTR_WARNING_LEVEL, Format, ##__VA_ARGS__)
#define MSDSC_FAILED(Format, ...) MSDSC_DIAGNOSTIC(DPFLTR_ERROR_LEVEL, Format, ##__VA_ARGS__)

// A status as printed: DbgPrintEx formats are C's, so an NTSTATUS goes as an unsigned hex word.
inline unsigned StatusCode(NTSTATUS Status) { return static_cast<unsigned>(Status); }
