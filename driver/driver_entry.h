// The driver's entry points, its per-driver context and its version.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"

constexpr char DRIVER_VERSION_STRING[] = "1.2.0.134";

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
    // not exist yet: the bus registry, then the control device.
    NTSTATUS Initialize();

    PDRIVER_OBJECT m_DriverObject;
};

// The pool for memory that must stay resident: NonPagedPoolNx on Windows 8 (6.2) and later, where
// memory integrity wants data pages never executable, and NonPagedPool before, which has no Nx
// type. Chosen from the running system's version at driver entry.
extern POOL_TYPE g_NonPagedPoolType;

// What the driver uses on a system of that version.
POOL_TYPE NonPagedPoolTypeFor(ULONG MajorVersion, ULONG MinorVersion);

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS InitializeDriver(PDRIVER_OBJECT DriverObject);
void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);

// Parses DRIVER_VERSION_STRING into Version; false, with Version untouched, if it does not parse.
bool ParseDriverVersion(DriverVersion* Version);

// The rules behind ParseDriverVersion, for any text: exactly three dots, digits only, an empty
// component counts 0, each component keeps its low 16 bits; the last component goes first.
bool ParseDriverVersionText(const char* Text, DriverVersion* Version);
