// The bus registry: its life with the driver's, a bus's registration and removal, and the turn.
#include <ntddk.h>
#include "registry/bus_registry.h"

namespace {

constexpr ULONG BUS_REGISTRY_TAG = MakePoolTag("ansl");
static_assert(BUS_REGISTRY_TAG == 0x6C736E61, "pool tag of the bus registry");
static_assert(DEVICE_LIST_ENTRY_TAG == 0x6C737061, "pool tag of list entries");

// Any value that differs between two loads will do; the tag is no secret (the client sees it), only
// a way to tell this load's handles from an earlier one's.
ULONG DrawHandleTag()
{
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(nullptr);
    const ULONG tag = counter.LowPart ^ static_cast<ULONG>(counter.HighPart);
    return tag != 0 ? tag : 1;
}

} // namespace

BusRegistry::BusRegistry()
    : m_Buses(TRUE, PagedPool, DEVICE_LIST_ENTRY_TAG), m_HandleTag(DrawHandleTag()), m_NextSerial(0), m_NextIndex(0),
      m_Registered(0)
{}

bool BusRegistry::Create()
{
    PVOID memory = ExAllocatePoolWithTag(g_NonPagedPoolType, sizeof(BusRegistry), BUS_REGISTRY_TAG);
    if (memory == nullptr) {
        return false;
    }
    g_BusRegistry = new (memory, InPlace) BusRegistry();
    return true;
}

void BusRegistry::Free()
{
    g_BusRegistry->m_Buses.Clear();
    g_BusRegistry->~BusRegistry();
    ExFreePoolWithTag(g_BusRegistry, BUS_REGISTRY_TAG);
    g_BusRegistry = nullptr;
}

bool BusRegistry::Register(BusDevice* Bus, ULONG64* Handle)
{
    DeviceListEntry* entry = m_Buses.AllocateEntry();
    if (entry == nullptr) {
        return false;
    }
    // The serial is drawn and the bus entered in one hold, so that two buses registering at once
    // never draw one serial.
    ListHold hold(m_Buses);
    const ULONG64 handle = HandleOf(m_NextSerial++);
    PVOID key = KeyOf(handle);
    if (m_Buses.InsertUnique(Bus, &key, entry) != Ok) {
        return false;
    }
    InterlockedIncrement(&m_Registered);
    *Handle = handle;
    return true;
}

bool BusRegistry::Unregister(ULONG64 Handle, bool* LastLeft)
{
    // One hold: the removal and the count it reports are one step, so two buses leaving at once
    // cannot both, or neither, be the last.
    ListHold hold(m_Buses);
    if (m_Buses.Remove(KeyOf(Handle)) != Ok) {
        *LastLeft = false;
        return false;
    }
    *LastLeft = InterlockedDecrement(&m_Registered) == 0;
    return true;
}

BusDevice* BusRegistry::Find(ULONG64 Handle)
{
    PVOID payload = nullptr;
    return m_Buses.Find(KeyOf(Handle), &payload) == Ok ? static_cast<BusDevice*>(payload) : nullptr;
}

BusDevice* BusRegistry::At(ULONG Index)
{
    PVOID key = nullptr;
    PVOID payload = nullptr;
    return m_Buses.GetAt(static_cast<LONG>(Index), &key, &payload) == Ok ? static_cast<BusDevice*>(payload) : nullptr;
}

ULONG BusRegistry::StartRound(ULONG Count)
{
    if (m_NextIndex < Count) {
        return m_NextIndex++;
    }
    // Wrapping sets the position to 0, not 1, so after a wrap the first bus is picked twice.
    m_NextIndex = 0;
    return 0;
}
