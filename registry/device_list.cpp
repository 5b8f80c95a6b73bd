// The keyed device list and its owner-tracked lock.
#include <ntddk.h>
#include "registry/device_list.h"

namespace {

// The list's consistency violations stop the system with this code and no parameters.
constexpr ULONG DRIVER_VIOLATION_CODE = 0x121;

// Below this many entries a walk is as cheap as the index and needs no memory.
constexpr ULONG INDEX_THRESHOLD = 8;
constexpr ULONG FIRST_INDEX_SHIFT = 4;
// Grown when there are more entries than this many per bucket on average.
constexpr ULONG ENTRIES_PER_BUCKET = 2;

} // namespace

DeviceList::DeviceList(BOOLEAN UseMutex, POOL_TYPE EntryPoolType, ULONG EntryTag)
    : m_SavedIrql(0), m_HoldFree(1), m_HoldOwner(nullptr), m_Count(0), m_Buckets(nullptr), m_BucketShift(0),
      m_UseMutex(UseMutex), m_EntryPoolType(EntryPoolType), m_EntryTag(EntryTag)
{
    KeInitializeSpinLock(&m_SpinLock);
    InitializeListHead(&m_Entries);
}

DeviceListEntry* DeviceList::AllocateEntry() const
{
    return static_cast<DeviceListEntry*>(ExAllocatePoolWithTag(m_EntryPoolType, sizeof(DeviceListEntry), m_EntryTag));
}

void DeviceList::FreeEntry(DeviceListEntry* Entry) const { ExFreePoolWithTag(Entry, m_EntryTag); }

KIRQL DeviceList::GuardWord::Enter()
{
    KIRQL previousIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &previousIrql);
    while (InterlockedExchange(&m_Free, 0) == 0) {
    }
    return previousIrql;
}

void DeviceList::GuardWord::Leave(KIRQL PreviousIrql)
{
    InterlockedExchange(&m_Free, 1);
    KeLowerIrql(PreviousIrql);
}

DeviceList::HoldState DeviceList::ReadHold()
{
    const KIRQL previousIrql = m_Guard.Enter();
    const HoldState state = {m_HoldFree, m_HoldOwner};
    m_Guard.Leave(previousIrql);
    return state;
}

bool DeviceList::HeldByCaller()
{
    const HoldState state = ReadHold();
    return state.Free == 0 && state.Owner == PsGetCurrentThreadId();
}

// The list's lock is whichever of its two locks m_UseMutex picks, which the analysis cannot
// follow: to it, these two take and release the list itself.
void DeviceList::AcquireLock() NO_THREAD_SAFETY_ANALYSIS
{
    if (m_UseMutex) {
        m_Mutex.Acquire();
    } else {
        m_SavedIrql = KeAcquireSpinLockRaiseToDpc(&m_SpinLock);
    }
}

void DeviceList::ReleaseLock() NO_THREAD_SAFETY_ANALYSIS
{
    if (m_UseMutex) {
        m_Mutex.Release();
    } else {
        KeReleaseSpinLock(&m_SpinLock, m_SavedIrql);
    }
}

// The calling thread holds the list already when it holds it through Hold, a state of the list
// and not of the code: the analysis sees these two take and release the lock every time.
void DeviceList::Lock() NO_THREAD_SAFETY_ANALYSIS
{
    if (!HeldByCaller()) {
        AcquireLock();
    }
}

void DeviceList::Unlock() NO_THREAD_SAFETY_ANALYSIS
{
    if (!HeldByCaller()) {
        ReleaseLock();
    }
}

void DeviceList::Hold()
{
    AcquireLock();
    for (;;) {
        const KIRQL previousIrql = m_Guard.Enter();
        const bool taken = m_HoldFree == 1;
        if (taken) {
            m_HoldFree = 0;
            m_HoldOwner = PsGetCurrentThreadId();
        }
        m_Guard.Leave(previousIrql);
        if (taken) {
            return;
        }
    }
}

void DeviceList::Release()
{
    const HoldState state = ReadHold();
    if (state.Free == 1 || state.Owner != PsGetCurrentThreadId()) {
        KeBugCheck(DRIVER_VIOLATION_CODE);
    }
    const KIRQL previousIrql = m_Guard.Enter();
    m_HoldOwner = nullptr;
    m_HoldFree = 1;
    m_Guard.Leave(previousIrql);
    ReleaseLock();
}

PLIST_ENTRY DeviceList::BucketOf(PVOID Key) const
{
    // Fibonacci hashing: the top bits of the product spread keys that differ only in low bits
    // (numbers, aligned addresses) over every bucket.
    const ULONG64 hash = static_cast<ULONG64>(reinterpret_cast<ULONG_PTR>(Key)) * 0x9E3779B97F4A7C15ull;
    return &m_Buckets[hash >> (64 - m_BucketShift)];
}

DeviceListEntry* DeviceList::FindEntry(PVOID Key)
{
    if (m_Buckets != nullptr) {
        const PLIST_ENTRY bucket = BucketOf(Key);
        for (PLIST_ENTRY link = bucket->Flink; link != bucket; link = link->Flink) {
            DeviceListEntry* entry = CONTAINING_RECORD(link, DeviceListEntry, m_BucketLink);
            if (entry->m_Key == Key) {
                return entry;
            }
        }
        return nullptr;
    }
    for (PLIST_ENTRY link = m_Entries.Flink; link != &m_Entries; link = link->Flink) {
        DeviceListEntry* entry = CONTAINING_RECORD(link, DeviceListEntry, m_Link);
        if (entry->m_Key == Key) {
            return entry;
        }
    }
    return nullptr;
}

void DeviceList::GrowIndex()
{
    const ULONG shift = m_Buckets == nullptr ? FIRST_INDEX_SHIFT : m_BucketShift + 1;
    if (m_Count < INDEX_THRESHOLD || (m_Buckets != nullptr && m_Count <= (1ul << m_BucketShift) * ENTRIES_PER_BUCKET) ||
        shift > 24) {
        return;
    }
    const ULONG buckets = 1ul << shift;
    PLIST_ENTRY memory = static_cast<PLIST_ENTRY>(
        ExAllocatePoolWithTag(m_EntryPoolType, buckets * sizeof(LIST_ENTRY), DEVICE_LIST_INDEX_TAG));
    if (memory == nullptr) {
        return;
    }
    FreeIndex();
    for (ULONG i = 0; i < buckets; ++i) {
        InitializeListHead(&memory[i]);
    }
    m_Buckets = memory;
    m_BucketShift = shift;
    for (PLIST_ENTRY link = m_Entries.Flink; link != &m_Entries; link = link->Flink) {
        DeviceListEntry* entry = CONTAINING_RECORD(link, DeviceListEntry, m_Link);
        InsertTailList(BucketOf(entry->m_Key), &entry->m_BucketLink);
    }
}

void DeviceList::FreeIndex()
{
    if (m_Buckets != nullptr) {
        ExFreePoolWithTag(m_Buckets, DEVICE_LIST_INDEX_TAG);
        m_Buckets = nullptr;
        m_BucketShift = 0;
    }
}

void DeviceList::Unlink(DeviceListEntry* Entry)
{
    RemoveEntryList(&Entry->m_Link);
    if (m_Buckets != nullptr) {
        RemoveEntryList(&Entry->m_BucketLink);
    }
    // An empty list gives its index back, so a list that had many entries once holds no memory
    // for them after they have gone.
    if (--m_Count == 0) {
        FreeIndex();
    }
}

DeviceListResult DeviceList::InsertUnique(PVOID Payload, PVOID* Key, DeviceListEntry* Entry)
{
    Entry->m_RefCount = 1;
    Entry->m_Payload = Payload;
    Entry->m_Removing = FALSE;

    Lock();
    bool duplicate = false;
    if (*Key != nullptr) {
        duplicate = FindEntry(*Key) != nullptr;
        Entry->m_Key = *Key;
    } else {
        Entry->m_Key = Entry;
    }
    if (!duplicate) {
        InsertTailList(&m_Entries, &Entry->m_Link);
        if (m_Buckets != nullptr) {
            InsertTailList(BucketOf(Entry->m_Key), &Entry->m_BucketLink);
        }
        *Key = Entry->m_Key;
        ++m_Count;
        GrowIndex();
    }
    Unlock();

    if (duplicate) {
        FreeEntry(Entry);
        return KeyExists;
    }
    return Ok;
}

DeviceListResult DeviceList::Find(PVOID Key, PVOID* Payload)
{
    Lock();
    const DeviceListEntry* entry = FindEntry(Key);
    if (entry != nullptr) {
        *Payload = entry->m_Payload;
    }
    Unlock();
    return entry != nullptr ? Ok : NotFound;
}

DeviceListResult DeviceList::GetAt(LONG Index, PVOID* Key, PVOID* Payload)
{
    DeviceListResult result = NotFound;
    Lock();
    LONG remaining = Index;
    for (PLIST_ENTRY link = m_Entries.Flink; remaining >= 0 && link != &m_Entries; link = link->Flink) {
        if (remaining-- == 0) {
            const DeviceListEntry* entry = CONTAINING_RECORD(link, DeviceListEntry, m_Link);
            *Key = entry->m_Key;
            *Payload = entry->m_Payload;
            result = Ok;
        }
    }
    Unlock();
    return result;
}

DeviceListResult DeviceList::CopyOut(PVOID* Out, ULONG Count, bool Payloads)
{
    Lock();
    ULONG copied = 0;
    for (PLIST_ENTRY link = m_Entries.Flink; copied < Count && link != &m_Entries; link = link->Flink) {
        const DeviceListEntry* entry = CONTAINING_RECORD(link, DeviceListEntry, m_Link);
        Out[copied++] = Payloads ? entry->m_Payload : entry->m_Key;
    }
    Unlock();
    return copied == Count ? Ok : NotFound;
}

DeviceListResult DeviceList::GetKeys(PVOID* Keys, ULONG Count) { return CopyOut(Keys, Count, false); }

DeviceListResult DeviceList::GetPayloads(PVOID* Payloads, ULONG Count) { return CopyOut(Payloads, Count, true); }

DeviceListResult DeviceList::Remove(PVOID Key)
{
    // Pass 1 marks the entry. A mark already there means another removal of this key is between
    // its passes and will unlink the entry: this call removes nothing.
    Lock();
    DeviceListEntry* entry = FindEntry(Key);
    const bool markedBefore = entry != nullptr && entry->m_Removing;
    if (entry != nullptr) {
        entry->m_Removing = TRUE;
    }
    Unlock();
    if (entry == nullptr || markedBefore) {
        return NotFound;
    }

    // Pass 2 unlinks; the list was unlocked in between, so the entry is looked up again.
    DeviceListEntry* unlinked = nullptr;
    Lock();
    entry = FindEntry(Key);
    if (entry != nullptr && --entry->m_RefCount == 0) {
        Unlink(entry);
        unlinked = entry;
    }
    Unlock();

    if (unlinked != nullptr) {
        FreeEntry(unlinked);
    }
    return entry != nullptr ? Ok : NotFound;
}

ULONG DeviceList::Count()
{
    Lock();
    const ULONG count = m_Count;
    Unlock();
    return count;
}

void DeviceList::Clear()
{
    Lock();
    PLIST_ENTRY link = m_Entries.Flink;
    while (link != &m_Entries) {
        DeviceListEntry* entry = CONTAINING_RECORD(link, DeviceListEntry, m_Link);
        link = link->Flink;
        if (--entry->m_RefCount == 0) {
            Unlink(entry);
            FreeEntry(entry);
        }
    }
    const bool empty = m_Count == 0;
    FreeIndex();
    Unlock();
    if (!empty) {
        KeBugCheck(DRIVER_VIOLATION_CODE);
    }
}
