// The driver's one container: an ordered list binding device-object keys to the objects in
// their extensions, with a lock that one thread can keep across several operations.
#pragma once
#include <ntddk.h>
#include "driver/kernel_support.h"

// Callers test only zero against non-zero.
enum DeviceListResult : LONG {
    Ok = 0,
    NotFound = 2,
    KeyExists = 4,
};

// One binding. The caller allocates it from the list's entry pool; the list owns it from
// InsertUnique on. Keys and payloads are borrowed and never dereferenced.
struct DeviceListEntry {
    LIST_ENTRY m_Link;
    // In the list's index, once it has one: the entries whose keys share a bucket.
    LIST_ENTRY m_BucketLink;
    PVOID m_Key;
    LONG m_RefCount;
    BOOLEAN m_Removing;
    PVOID m_Payload;
};

constexpr ULONG DEVICE_LIST_ENTRY_TAG = MakePoolTag("apsl");
// The bucket array of a list's key index, from the same pool as its entries.
constexpr ULONG DEVICE_LIST_INDEX_TAG = MakePoolTag("apsi");

// A list of more than a few entries keeps an index of its keys (buckets of the entries by key
// hash, doubled as the list grows), so finding, inserting and removing a key cost the same
// however long the list is. Without memory for the index the list works as well, by walking.
// Single operations lock the list by themselves. Between Hold and Release one thread keeps the
// list locked: its own single operations pass through the lock, every other thread's wait.
// The lock is never recursive; its place in the lock order is in driver/kernel_support.h.
class CAPABILITY("device list") DeviceList
{
public:
    DeviceList(BOOLEAN UseMutex, POOL_TYPE EntryPoolType, ULONG EntryTag);

    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // An entry from this list's own pool and tag, for a following InsertUnique; null when the
    // pool is exhausted.
    DeviceListEntry* AllocateEntry() const;

    // Key: in, the key to use or null (then the entry's own address is the key); out, the key
    // in effect on success. A refused entry is freed at once.
    DeviceListResult InsertUnique(PVOID Payload, PVOID* Key, DeviceListEntry* Entry);
    DeviceListResult Find(PVOID Key, PVOID* Payload);
    DeviceListResult GetAt(LONG Index, PVOID* Key, PVOID* Payload);
    // The keys at positions 0 to Count - 1, oldest first, in one walk: what GetAt gives position by
    // position, without walking from the head again for every position. NotFound, with Keys
    // partly written, when the list holds fewer than Count entries.
    DeviceListResult GetKeys(PVOID* Keys, ULONG Count);
    // The same for the payloads.
    DeviceListResult GetPayloads(PVOID* Payloads, ULONG Count);
    DeviceListResult Remove(PVOID Key);
    ULONG Count();

    // Run once, by the destructor of the object that holds the list. Frees the entries only.
    void Clear();

    void Hold() ACQUIRE();
    void Release() RELEASE();

    POOL_TYPE EntryPoolType() const { return m_EntryPoolType; }
    ULONG EntryTag() const { return m_EntryTag; }

private:
    struct HoldState {
        LONG Free;
        HANDLE Owner;
    };

    // A single operation's section: the lock, or nothing when the calling thread holds the list.
    void Lock() ACQUIRE();
    void Unlock() RELEASE();
    void AcquireLock() ACQUIRE();
    void ReleaseLock() RELEASE();
    HoldState ReadHold();
    bool HeldByCaller();
    DeviceListEntry* FindEntry(PVOID Key) REQUIRES(this);
    // The first Count keys or payloads in one walk, for GetKeys and GetPayloads.
    DeviceListResult CopyOut(PVOID* Out, ULONG Count, bool Payloads);
    void FreeEntry(DeviceListEntry* Entry) const;
    void Unlink(DeviceListEntry* Entry) REQUIRES(this);
    PLIST_ENTRY BucketOf(PVOID Key) const REQUIRES(this);
    // Called with the list locked after an insertion: builds or doubles the index when the list
    // has outgrown it. A failed allocation leaves the index as it was.
    void GrowIndex() REQUIRES(this);
    void FreeIndex() REQUIRES(this);

    // The hold pair is only read and written inside a guard section (the guard word taken at
    // DISPATCH_LEVEL), so no thread ever sees half of it. Private to the list, and the last lock
    // taken: nothing is called inside a section.
    class CAPABILITY("guard word") GuardWord
    {
    public:
        KIRQL Enter() ACQUIRE();
        void Leave(KIRQL PreviousIrql) RELEASE();

    private:
        volatile LONG m_Free = 1;
    };

    // The list's lock is one of these two, as m_UseMutex says.
    DriverMutex m_Mutex;
    KSPIN_LOCK m_SpinLock;
    LIST_ENTRY m_Entries GUARDED_BY(this);
    KIRQL m_SavedIrql GUARDED_BY(this);
    GuardWord m_Guard;
    LONG m_HoldFree GUARDED_BY(m_Guard);
    HANDLE m_HoldOwner GUARDED_BY(m_Guard);
    ULONG m_Count GUARDED_BY(this);
    // Null while the list is short or had no memory for it; a power of two buckets otherwise.
    PLIST_ENTRY m_Buckets GUARDED_BY(this);
    ULONG m_BucketShift GUARDED_BY(this);
    BOOLEAN m_UseMutex;
    POOL_TYPE m_EntryPoolType;
    ULONG m_EntryTag;
};

// Keeps a list held for a scope.
class SCOPED_CAPABILITY ListHold
{
public:
    explicit ListHold(DeviceList& List) ACQUIRE(List) : m_List(List) { m_List.Hold(); }
    ~ListHold() RELEASE() { m_List.Release(); }

    ListHold(const ListHold&) = delete;
    ListHold& operator=(const ListHold&) = delete;

private:
    DeviceList& m_List;
};
