// Small kernel-side helpers every device class uses: placement construction into a device
// extension, the driver's mutex and its guard with the lock order, and pool tags written as their
// four characters.
#pragma once
#include <ntddk.h>
#include "driver/thread_safety.h"

// Placement construction into memory the kernel already gave us (a device extension). The tag
// argument keeps this form apart from the standard placement new of <new> in test builds.
enum InPlaceTag { InPlace };

inline void* operator new(decltype(sizeof(0)), void* where, InPlaceTag) noexcept { return where; }
inline void operator delete(void*, void*, InPlaceTag) noexcept {}

// A pool tag given as its four characters in memory order ("ansl" is 0x6C736E61).
constexpr ULONG MakePoolTag(const char (&text)[5])
{
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

// The driver's locks, outermost first. A thread that holds two of them took them in this order;
// two locks of one rank (two buses' mutexes, two buses' reader lists) are never held together,
// nor are the control device's mutex and a bus's mutex. Each guards the fields listed with it,
// marked GUARDED_BY where they are declared, and clang's thread-safety analysis checks both.
//  1. The control device's m_Mutex: its m_Opened, m_SessionEnding, m_Session and
//     m_RequestsUnderWay. An open asks the bus registry whether a bus is registered inside it, the
//     one place the two are held together, so the open and the last bus's removal are one step
//     each: the open comes first or is refused.
//  2. The bus registry's lock (g_BusRegistry->m_Buses, a DeviceList): the registry's m_NextSerial
//     and m_NextIndex. A bus's registration and its removal take it alone. Not innermost: a
//     client's add, remove and session end keep the registry held across their calls into a bus,
//     so that no bus is deleted under them, and the bus takes its own locks inside.
//  3. A bus's m_Mutex: its m_Started. Reader creation adds to the roster inside it, and the
//     query-remove counts the roster inside it, each as one step with the m_Started test or change.
//  4. A bus's reader list lock (its roster's m_Readers, a DeviceList, mostly held across a whole
//     step): the roster's departed list, reply numbers and m_Pulled, and the removal marks of
//     each of its readers (the analysis cannot tie a reader to its bus's list, so those are not
//     marked). No other lock of the driver but the next is taken inside it.
//  5. A reader's m_StateLock, a spin lock: its m_State and m_PreviousState. Innermost, and the only
//     one a reader's power requests take, which may come at DISPATCH_LEVEL.
// Below them all, inside each DeviceList: its guard word, which guards who holds the list and is
// kept for a few instructions only. Lock-free: the reader numbers and generations (interlocked),
// and the registry's handle tag (drawn when the registry is built, before any bus exists).

// A fast mutex, known to the analysis as a lock. It is the FAST_MUTEX and nothing more, so it
// takes the same room in a device extension. Taken with the critical region and the unsafe
// acquire, which keep the protected code at PASSIVE_LEVEL (ExAcquireFastMutex would raise to
// APC_LEVEL), so device objects may be created and deleted inside a section.
class CAPABILITY("mutex") DriverMutex
{
public:
    DriverMutex() { ExInitializeFastMutex(&m_FastMutex); }

    DriverMutex(const DriverMutex&) = delete;
    DriverMutex& operator=(const DriverMutex&) = delete;

    // Public for a lock whose section spans calls (a list's Hold ... Release); always as this pair.
    void Acquire() ACQUIRE()
    {
        KeEnterCriticalRegion();
        ExAcquireFastMutexUnsafe(&m_FastMutex);
    }

    void Release() RELEASE()
    {
        ExReleaseFastMutexUnsafe(&m_FastMutex);
        KeLeaveCriticalRegion();
    }

private:
    FAST_MUTEX m_FastMutex;
};

static_assert(sizeof(DriverMutex) == sizeof(FAST_MUTEX), "a DriverMutex is its FAST_MUTEX");

// Every fast mutex of the driver is taken for a scope through this type.
class SCOPED_CAPABILITY MutexGuard
{
public:
    explicit MutexGuard(DriverMutex* mutex) ACQUIRE(*mutex) : m_Mutex(mutex) { m_Mutex->Acquire(); }
    ~MutexGuard() RELEASE() { m_Mutex->Release(); }

    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    DriverMutex* m_Mutex;
};
