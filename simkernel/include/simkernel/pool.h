// Pool accounting of the simulated kernel: every allocation made through ExAllocatePoolWithTag that is
// still outstanding, by tag and by owner, and snapshots to compare two moments. The kernel's own
// allocations (system buffers, driver-object extensions) are not counted; IsOutstanding sees them.
#pragma once

#include <wdm.h>

#include <map>
#include <string>
#include <vector>

namespace simk::pool {

struct Allocation {
    const void* address;
    ULONG tag;
    POOL_TYPE type;
    size_t size;
    PDRIVER_OBJECT owner;      // the driver that allocated it, or null (kernel / unattributed)
    unsigned long long serial; // allocation order since the last reset
};

size_t OutstandingCount();
size_t OutstandingBytes();
size_t OutstandingCount(ULONG tag);
size_t OutstandingBytes(ULONG tag);
size_t OutstandingCount(PDRIVER_OBJECT owner);
std::vector<Allocation> Outstanding(); // in allocation order
std::vector<Allocation> Outstanding(ULONG tag);
bool IsOutstanding(const void* address, Allocation* info = nullptr); // the start of a live allocation
unsigned long long TotalAllocations();                               // successful allocations since the reset

// The outstanding allocations at one moment; Diff tells what appeared and vanished since.
class Snapshot
{
public:
    Snapshot();
    std::vector<Allocation> NewSince() const;       // outstanding now, not at the snapshot
    std::vector<Allocation> FreedSince() const;     // outstanding at the snapshot, not now
    std::map<ULONG, long> CountChangeByTag() const; // tag -> (now - then), zero entries omitted
    bool Unchanged() const { return NewSince().empty() && FreedSince().empty(); }

private:
    std::vector<Allocation> m_Then;
};

std::string Describe(const std::vector<Allocation>& allocations); // "ansl 64 bytes NonPaged ..." lines

} // namespace simk::pool
