// The record behind MSDSC_STATUS_STALE_HANDLE: keyed on the whole 16 bytes of a handle, so it makes
// no assumption about the handle's layout beyond the reader number the library reads out of it.
#include "handle_record.h"

#include <array>
#include <atomic>
#include <cstring>
#include <map>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sched.h>
#endif

namespace msdsc::handles {

namespace {

// A spin lock on an atomic flag: the target build's compiler (win32 thread model) has no
// std::mutex, and the flag needs no constructor. Held only for a look-up in the record.
std::atomic_flag g_Lock = ATOMIC_FLAG_INIT;
struct Guard {
    Guard()
    {
        while (g_Lock.test_and_set(std::memory_order_acquire))
#if defined(_WIN32)
            SwitchToThread();
#else
            sched_yield();
#endif
    }
    ~Guard() { g_Lock.clear(std::memory_order_release); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

using Key = std::array<uint8_t, sizeof(MsdscReaderHandle::bytes)>;

struct Entry {
    const void* owner; // null once stale
    uint32_t readerNumber;
};

std::map<Key, Entry>& Record()
{
    static std::map<Key, Entry> record;
    return record;
}

Key KeyOf(const MsdscReaderHandle& handle)
{
    Key key;
    std::memcpy(key.data(), handle.bytes, key.size());
    return key;
}

} // namespace

void Issued(const void* owner, const MsdscReaderHandle& handle)
{
    uint32_t number = 0;
    if (MsdscReaderNumberOfHandle(&handle, &number, nullptr) < 0)
        return;
    const Key key = KeyOf(handle);
    Guard guard;
    for (auto& [other, entry] : Record())
        if (entry.readerNumber == number && other != key)
            entry.owner = nullptr;
    Record()[key] = Entry{owner, number};
}

void Removed(const MsdscReaderHandle& handle)
{
    Guard guard;
    const auto found = Record().find(KeyOf(handle));
    if (found != Record().end())
        found->second.owner = nullptr;
}

void SessionClosed(const void* owner)
{
    Guard guard;
    for (auto& [key, entry] : Record())
        if (entry.owner == owner)
            entry.owner = nullptr;
}

bool IsStale(const MsdscReaderHandle& handle)
{
    Guard guard;
    const auto found = Record().find(KeyOf(handle));
    return found != Record().end() && found->second.owner == nullptr;
}

} // namespace msdsc::handles
