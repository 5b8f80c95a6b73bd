// The executive's pool: tagged allocations with their type, size and owning driver, the IRQL rules of
// paged and non-paged pool, guard bytes behind every block, and the accounting tests read.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "internal.h"

namespace simk::detail {
namespace {

constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFD; // behind every block, checked on free
constexpr unsigned char kFreshFill = 0xCD; // pool is not zeroed: drivers must initialise it
constexpr unsigned char kFreedFill = 0xDD;

struct Block {
    ULONG tag;
    POOL_TYPE type;
    size_t size;
    PDRIVER_OBJECT owner;
    unsigned long long serial;
    bool kernel;
};

struct PoolState {
    std::mutex lock;
    std::map<const void*, Block> blocks;
    unsigned long long nextSerial = 0;
    unsigned long long total = 0;
};

PoolState& State()
{
    static PoolState* state = new PoolState;
    return *state;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

bool GuardIntact(const void* p, size_t size)
{
    const unsigned char* guard = static_cast<const unsigned char*>(p) + size;
    for (size_t i = 0; i < kGuardBytes; ++i) {
        if (guard[i] != kGuardFill)
            return false;
    }
    return true;
}

void* RawAllocate(size_t size)
{
    size_t total = (size + kGuardBytes + 15) & ~size_t(15);
    void* p = std::aligned_alloc(16, total);
    if (!p)
        return nullptr;
    std::memset(p, kFreshFill, size);
    std::memset(static_cast<char*>(p) + size, kGuardFill, total - size);
    return p;
}

void* Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, PDRIVER_OBJECT owner, bool kernel)
{
    if (size == 0)
        size = 1;
    void* p = RawAllocate(size);
    if (!p)
        return nullptr;
    std::lock_guard<std::mutex> guard(State().lock);
    State().blocks[p] = Block{tag, type, (size_t)size, owner, ++State().nextSerial, kernel};
    if (!kernel)
        State().total++;
    return p;
}

simk::pool::Allocation ToAllocation(const void* p, const Block& b)
{
    return simk::pool::Allocation{p, b.tag, b.type, b.size, b.owner, b.serial};
}

std::vector<simk::pool::Allocation> Select(bool (*keep)(const Block&, const void*), const void* arg)
{
    std::vector<simk::pool::Allocation> result;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        for (const auto& [p, b] : State().blocks) {
            if (!b.kernel && keep(b, arg))
                result.push_back(ToAllocation(p, b));
        }
    }
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a.serial < b.serial; });
    return result;
}

// Frees a block the caller has validated; checks the guard bytes and locks left inside.
void Release(void* p, const Block& block)
{
    if (!GuardIntact(p, block.size))
        rule::PoolOverrun(p, block.tag, block.size);
    if (AnyLockHeldIn(p, block.size))
        rule::PoolFreeHeldLock(p, block.tag);
    ForgetLocksIn(p, block.size);
    std::memset(p, kFreedFill, block.size);
    std::free(p);
}

} // namespace

PVOID AllocateKernelPool(POOL_TYPE type, SIZE_T size, ULONG tag) { return Allocate(type, size, tag, nullptr, true); }

void FreeKernelPool(PVOID p)
{
    if (!p)
        return;
    Block block;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        auto it = State().blocks.find(p);
        if (it == State().blocks.end()) {
            rule::PoolFreeUnknown(p);
            return;
        }
        block = it->second;
        State().blocks.erase(it);
    }
    Release(p, block);
}

std::vector<simk::pool::Allocation> PoolOwnedBy(PDRIVER_OBJECT driver)
{
    return Select([](const Block& b, const void* d) { return b.owner == d; }, driver);
}

void ResetPool()
{
    std::map<const void*, Block> blocks;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        blocks.swap(State().blocks);
        State().nextSerial = 0;
        State().total = 0;
    }
    for (auto& [p, b] : blocks)
        std::free(const_cast<void*>(p));
}

} // namespace simk::detail

namespace simk::pool {
using namespace simk::detail;

size_t OutstandingCount() { return Outstanding().size(); }

size_t OutstandingBytes()
{
    size_t bytes = 0;
    for (const auto& a : Outstanding())
        bytes += a.size;
    return bytes;
}

size_t OutstandingCount(ULONG tag) { return Outstanding(tag).size(); }

size_t OutstandingBytes(ULONG tag)
{
    size_t bytes = 0;
    for (const auto& a : Outstanding(tag))
        bytes += a.size;
    return bytes;
}

size_t OutstandingCount(PDRIVER_OBJECT owner) { return PoolOwnedBy(owner).size(); }

std::vector<Allocation> Outstanding()
{
    return Select([](const Block&, const void*) { return true; }, nullptr);
}

std::vector<Allocation> Outstanding(ULONG tag)
{
    return Select([](const Block& b, const void* t) { return b.tag == *static_cast<const ULONG*>(t); }, &tag);
}

bool IsOutstanding(const void* address, Allocation* info)
{
    std::lock_guard<std::mutex> guard(State().lock);
    auto it = State().blocks.find(address);
    if (it == State().blocks.end())
        return false;
    if (info)
        *info = ToAllocation(it->first, it->second);
    return true;
}

unsigned long long TotalAllocations()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().total;
}

Snapshot::Snapshot() : m_Then(Outstanding()) {}

namespace {
std::vector<Allocation> Minus(const std::vector<Allocation>& a, const std::vector<Allocation>& b)
{
    std::set<unsigned long long> serials;
    for (const auto& x : b)
        serials.insert(x.serial);
    std::vector<Allocation> result;
    for (const auto& x : a) {
        if (!serials.count(x.serial))
            result.push_back(x);
    }
    return result;
}
} // namespace

std::vector<Allocation> Snapshot::NewSince() const { return Minus(Outstanding(), m_Then); }
std::vector<Allocation> Snapshot::FreedSince() const { return Minus(m_Then, Outstanding()); }

std::map<ULONG, long> Snapshot::CountChangeByTag() const
{
    std::map<ULONG, long> change;
    for (const auto& a : NewSince())
        change[a.tag]++;
    for (const auto& a : FreedSince())
        change[a.tag]--;
    for (auto it = change.begin(); it != change.end();)
        it = it->second == 0 ? change.erase(it) : std::next(it);
    return change;
}

std::string Describe(const std::vector<Allocation>& allocations)
{
    std::ostringstream s;
    for (const auto& a : allocations) {
        s << "  '" << simk::TagText(a.tag) << "' " << a.size << " bytes " << (IsPaged(a.type) ? "paged" : "non-paged")
          << " at " << Hex((uintptr_t)a.address) << " by " << DriverNameForMessages(a.owner) << "\n";
    }
    return s.str();
}

} // namespace simk::pool

using namespace simk::detail;
namespace rules = simk::verifier::rules;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    if (IsPaged(PoolType)) {
        RequireIrql(APC_LEVEL, rules::IrqlPagedPool, "ExAllocatePoolWithTag(PagedPool)");
    } else {
        RequireIrql(DISPATCH_LEVEL, rules::IrqlExAllocatePool, "ExAllocatePoolWithTag");
    }
    if (NumberOfBytes == 0)
        rule::PoolZeroSize(Tag);
    // While the system goes to sleep the paging device may already be off: a function or filter
    // driver's own set-power path allocates nothing (PoRequestPowerIrp's IRP is the kernel's).
    if (HandlingSleepSetPower() && CurrentDriver() == SetPowerDevice()->DriverObject)
        rule::PowerDownAllocate(SetPowerDevice(), NumberOfBytes, Tag);
    if (PoolType & NonPagedPoolNx) {
        // The no-execute pool types came with Windows 8 (6.2); an older kernel stops the system.
        RTL_OSVERSIONINFOW version{};
        version.dwOSVersionInfoSize = sizeof(version);
        RtlGetVersion(&version);
        if (version.dwMajorVersion < 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion < 2)) {
            rule::PoolTypeUnknownToSystem(PoolType, Tag);
        }
    }
    NTSTATUS ignored;
    if (CallBefore(simk::Call::ExAllocatePoolWithTag, nullptr, Tag, &ignored))
        return nullptr;
    PDRIVER_OBJECT owner = DriverOfAddress(__builtin_return_address(0));
    if (!owner)
        owner = CurrentDriver();
    return Allocate(PoolType, NumberOfBytes, Tag, owner, false);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, simk::Tag("None"));
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    Block block;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        auto it = State().blocks.find(P);
        if (it != State().blocks.end() && !it->second.kernel) {
            block = it->second;
            State().blocks.erase(it);
            known = true;
        }
    }
    if (!known) {
        rule::PoolFreeUnknown(P);
        return;
    }
    if (IsPaged(block.type)) {
        RequireIrql(APC_LEVEL, rules::IrqlPagedPool, "ExFreePool(PagedPool)");
    } else {
        RequireIrql(DISPATCH_LEVEL, rules::IrqlExAllocatePool, "ExFreePool");
    }
    // Tag 0 is ExFreePool: no tag to compare. The protected-pool bit is not part of the tag.
    if (Tag != 0 && (Tag & 0x7FFFFFFF) != (block.tag & 0x7FFFFFFF))
        rule::PoolFreeWrongTag(P, Tag, block.tag);
    Release(P, block);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

} // extern "C"
