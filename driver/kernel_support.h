// Small kernel-side helpers every device class uses: placement construction into a device
// extension, the fast-mutex guard and pool tags written as their four characters.
#pragma once
#include <ntddk.h>

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

// Every fast mutex of the driver is taken through this type. The critical region plus the
// unsafe acquire keeps the protected code at PASSIVE_LEVEL (ExAcquireFastMutex would raise to
// APC_LEVEL), so device objects may be created and deleted inside a section. Acquire and
// Release are public for sections that span calls (a list's Hold ... Release); they are always
// used as this pair.
class MutexGuard
{
public:
    explicit MutexGuard(PFAST_MUTEX mutex) : m_Mutex(mutex) { Acquire(m_Mutex); }
    ~MutexGuard() { Release(m_Mutex); }

    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

    static void Acquire(PFAST_MUTEX mutex)
    {
        KeEnterCriticalRegion();
        ExAcquireFastMutexUnsafe(mutex);
    }

    static void Release(PFAST_MUTEX mutex)
    {
        ExReleaseFastMutexUnsafe(mutex);
        KeLeaveCriticalRegion();
    }

private:
    PFAST_MUTEX m_Mutex;
};
