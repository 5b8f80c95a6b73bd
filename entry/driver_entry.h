// The driver's entry and unload routines and the choice of its resident pool. The entry builds
// what every other part shares, so it may include them all; nothing but tests includes it.
#pragma once
#include <ntddk.h>

// What the driver uses on a system of that version.
POOL_TYPE NonPagedPoolTypeFor(ULONG MajorVersion, ULONG MinorVersion);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS InitializeDriver(PDRIVER_OBJECT DriverObject);
void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
