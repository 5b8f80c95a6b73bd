// The driver's buses as the client's requests find them: every registered bus keyed by its handle,
// the handles themselves and the round-robin turn of the adds. The only owner of all three.
#pragma once
#include <ntddk.h>
#include "msdscbus.h"
#include "driver/driver_globals.h"
#include "registry/device_list.h"

class BusDevice;

// Built once at driver entry as g_BusRegistry and freed at unload. A bus is registered from its
// AddDevice until its removal; a client's request holds m_Buses across its calls into a bus, so that
// the bus's removal (which unregisters it first) waits for the request and no bus is deleted under it.
class BusRegistry
{
public:
    // Builds g_BusRegistry with this load's handle tag; false when there is no pool for it.
    static bool Create();
    // Frees g_BusRegistry; every bus has unregistered by then.
    static void Free();

    // Enters Bus under a new handle, written to *Handle. False, with the registry as it was, when
    // there is no pool for the entry or the key is taken; the serial is used up either way.
    bool Register(BusDevice* Bus, ULONG64* Handle);
    // Takes the bus with this handle out; false when it was not registered. *LastLeft: no bus is
    // registered any more.
    bool Unregister(ULONG64 Handle, bool* LastLeft);
    // Some bus is registered: the control device admits a session, and a version or add request,
    // only then.
    // Read without the lock: it is written only under it, by the step that enters or takes out a bus,
    // so a caller that holds the registry sees it agree with the list.
    bool HasBus() { return InterlockedCompareExchange(&m_Registered, 0, 0) != 0; }

    // Under a hold of m_Buses (ListHold), so that the bus stays registered while it is used.
    BusDevice* Find(ULONG64 Handle) REQUIRES(m_Buses);
    ULONG Count() REQUIRES(m_Buses) { return m_Buses.Count(); }
    BusDevice* At(ULONG Index) REQUIRES(m_Buses);
    // Starts an add's round over the Count buses registered: the position of the bus whose turn it
    // is. The turn then moves on by one; after the last bus it is put back to the first, not the
    // second, so after a wrap the first bus is picked twice.
    ULONG StartRound(ULONG Count) REQUIRES(m_Buses);
    // The bus at Index took the reader after the one picked had refused: the turn moves on from it.
    void RoundTakenAt(ULONG Index) REQUIRES(m_Buses) { m_NextIndex = Index + 1; }
    // Calls Visit(BusDevice*) for every bus, in registration order.
    template <typename Visitor>
    void ForEach(Visitor Visit) REQUIRES(m_Buses)
    {
        PVOID key = nullptr;
        PVOID payload = nullptr;
        for (LONG index = 0; m_Buses.GetAt(index, &key, &payload) == Ok; ++index) {
            Visit(static_cast<BusDevice*>(payload));
        }
    }

    // The handle of the bus with this serial in this load.
    ULONG64 HandleOf(ULONG Serial) const { return MsdscMakeBusHandle(m_HandleTag, Serial); }
    // A bus's key in m_Buses: its handle itself, so the client's half finds the bus directly.
    static PVOID KeyOf(ULONG64 Handle) { return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Handle)); }

    // The lock of every operation above (its place in the order is in driver/kernel_support.h).
    DeviceList m_Buses;
    // This load's half of every bus handle (never 0), so an earlier load's handle names no bus.
    // Drawn by the constructor, before any bus exists; read without a lock.
    const ULONG m_HandleTag;
    // The next bus's serial number, so no two buses of a load share a handle.
    ULONG m_NextSerial GUARDED_BY(m_Buses);
    // Position of the next add's bus, so adds go round the buses.
    ULONG m_NextIndex GUARDED_BY(m_Buses);
    // The buses registered: the control device's readiness, asked on every open and request.
    volatile LONG m_Registered;

private:
    BusRegistry();
};
