// The keyed device list: ordering and lookup edge cases, entry ownership as the pool sees it, the
// hold across operations with real threads, overlapping removals, and the stops on misuse.
#include <ntddk.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "registry/device_list.h"
#include "simkernel/faults.h"
#include "simkernel/kernel.h"
#include "simkernel/pool.h"
#include "simkernel/testing.h"

namespace {

using namespace std::chrono_literals;

PVOID FakePointer(ULONG_PTR value) { return reinterpret_cast<PVOID>(value); }

// Runs `body` on a thread of its own and reports whether it finished in time. A body that
// deadlocks is left behind (detached), so the test fails instead of hanging.
template <typename Body>
bool FinishesWithin(std::chrono::milliseconds limit, Body body)
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([done, body]() mutable {
        body();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

class DeviceListTest : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        m_List.emplace(TRUE, PagedPool, DEVICE_LIST_ENTRY_TAG);
    }

    DeviceList& List() { return *m_List; }

    // Inserts with a fresh entry from the list's pool; returns the entry so tests can look at it.
    DeviceListEntry* Insert(PVOID key, PVOID payload, DeviceListResult expected = Ok)
    {
        DeviceListEntry* entry = List().AllocateEntry();
        EXPECT_NE(entry, nullptr);
        PVOID inOut = key;
        EXPECT_EQ(List().InsertUnique(payload, &inOut, entry), expected);
        return entry;
    }

    static size_t EntriesInPool() { return simk::pool::OutstandingCount(DEVICE_LIST_ENTRY_TAG); }

private:
    std::optional<DeviceList> m_List;
};

TEST_F(DeviceListTest, EmptyListFindsNothingCountsZeroAndClearsQuietly)
{
    PVOID key = FakePointer(0x11);
    PVOID payload = FakePointer(0x22);
    EXPECT_EQ(List().Find(FakePointer(0x1000), &payload), NotFound);
    EXPECT_EQ(List().GetAt(0, &key, &payload), NotFound);
    EXPECT_EQ(List().Remove(FakePointer(0x1000)), NotFound);
    EXPECT_EQ(key, FakePointer(0x11));
    EXPECT_EQ(payload, FakePointer(0x22));
    EXPECT_EQ(List().Count(), 0u);
    List().Clear();
    EXPECT_EQ(List().Count(), 0u);
}

TEST_F(DeviceListTest, EntriesKeepInsertionOrderAcrossRemoval)
{
    Insert(FakePointer(0x1000), FakePointer(0xA));
    Insert(FakePointer(0x2000), FakePointer(0xB));
    Insert(FakePointer(0x3000), FakePointer(0xC));
    ASSERT_EQ(List().Count(), 3u);

    PVOID key = nullptr;
    PVOID payload = nullptr;
    ASSERT_EQ(List().GetAt(0, &key, &payload), Ok);
    EXPECT_EQ(key, FakePointer(0x1000));
    EXPECT_EQ(payload, FakePointer(0xA));
    ASSERT_EQ(List().GetAt(2, &key, &payload), Ok);
    EXPECT_EQ(key, FakePointer(0x3000));
    EXPECT_EQ(payload, FakePointer(0xC));
    EXPECT_EQ(List().GetAt(3, &key, &payload), NotFound);
    EXPECT_EQ(List().GetAt(-1, &key, &payload), NotFound);
    EXPECT_EQ(List().GetAt(0x7FFFFFFF, &key, &payload), NotFound);

    ASSERT_EQ(List().Find(FakePointer(0x2000), &payload), Ok);
    EXPECT_EQ(payload, FakePointer(0xB));

    EXPECT_EQ(List().Remove(FakePointer(0x2000)), Ok);
    EXPECT_EQ(List().Count(), 2u);
    EXPECT_EQ(EntriesInPool(), 2u);
    ASSERT_EQ(List().GetAt(1, &key, &payload), Ok);
    EXPECT_EQ(key, FakePointer(0x3000));
    EXPECT_EQ(List().Find(FakePointer(0x2000), &payload), NotFound);
    EXPECT_EQ(List().Remove(FakePointer(0x2000)), NotFound);

    List().Clear();
}

TEST_F(DeviceListTest, GetKeysWalksOnceInTheOrderGetAtGives)
{
    Insert(FakePointer(0x1000), FakePointer(0xA));
    Insert(FakePointer(0x2000), FakePointer(0xB));
    Insert(FakePointer(0x3000), FakePointer(0xC));
    ASSERT_EQ(List().Remove(FakePointer(0x2000)), Ok);
    Insert(FakePointer(0x4000), FakePointer(0xD));

    PVOID keys[4] = {};
    ASSERT_EQ(List().GetKeys(keys, 3), Ok);
    for (LONG i = 0; i < 3; ++i) {
        PVOID key = nullptr;
        PVOID payload = nullptr;
        ASSERT_EQ(List().GetAt(i, &key, &payload), Ok);
        EXPECT_EQ(keys[i], key) << "position " << i;
    }
    EXPECT_EQ(keys[3], nullptr) << "nothing written past the count asked for";
    EXPECT_EQ(List().GetKeys(keys, 0), Ok);
    EXPECT_EQ(List().GetKeys(keys, 4), NotFound) << "the list holds only three";

    List().Clear();
}

// Past a few entries the list indexes its keys: lookups, duplicates and removals must give what the
// walk gave, in the same order, through every doubling, without memory for the index, and the
// index's memory goes when the list empties. Keys differ only in low bits (reader keys are small
// numbers) and in high bits (bus handles), the two ways a weak hash would crowd one bucket.
TEST_F(DeviceListTest, IndexedListAnswersAsTheWalkDidAndGivesItsMemoryBack)
{
    constexpr ULONG KEYS = 300;
    const auto keyOf = [](ULONG i) { return FakePointer(i % 2 ? i + 1 : (ULONG_PTR(i) << 32) | 7); };
    for (ULONG i = 0; i < KEYS; ++i) {
        if (i == KEYS / 2) {
            // A doubling that finds no memory: the list carries on with the index it has.
            simk::faults::FailPoolTag(DEVICE_LIST_INDEX_TAG);
        }
        Insert(keyOf(i), FakePointer(0x10000 + i));
        if (i == KEYS / 2 + 80) {
            simk::faults::DisarmAll();
        }
    }
    EXPECT_EQ(simk::pool::OutstandingCount(DEVICE_LIST_INDEX_TAG), 1u) << "one bucket array at a time";
    Insert(keyOf(17), FakePointer(0x1), KeyExists);
    for (ULONG i = 0; i < KEYS; ++i) {
        PVOID payload = nullptr;
        ASSERT_EQ(List().Find(keyOf(i), &payload), Ok) << i;
        EXPECT_EQ(payload, FakePointer(0x10000 + i));
    }
    EXPECT_EQ(List().Find(FakePointer(KEYS * 2 + 1), nullptr), NotFound);

    for (ULONG i = 0; i < KEYS; i += 3) {
        ASSERT_EQ(List().Remove(keyOf(i)), Ok) << i;
    }
    std::vector<PVOID> keys(List().Count());
    ASSERT_EQ(List().GetKeys(keys.data(), List().Count()), Ok);
    size_t position = 0;
    for (ULONG i = 0; i < KEYS; ++i) {
        if (i % 3 == 0) {
            PVOID payload = nullptr;
            EXPECT_EQ(List().Find(keyOf(i), &payload), NotFound) << i;
            continue;
        }
        EXPECT_EQ(keys[position++], keyOf(i)) << "insertion order kept";
    }

    for (ULONG i = 0; i < KEYS; ++i) {
        if (i % 3 != 0) {
            ASSERT_EQ(List().Remove(keyOf(i)), Ok) << i;
        }
    }
    EXPECT_EQ(List().Count(), 0u);
    EXPECT_EQ(simk::pool::OutstandingCount(DEVICE_LIST_INDEX_TAG), 0u) << "an empty list holds no index";
    EXPECT_EQ(EntriesInPool(), 0u);
    Insert(keyOf(1), FakePointer(0x2));
    List().Clear();
}

TEST_F(DeviceListTest, DuplicateKeyIsRefusedAndTheOfferedEntryFreed)
{
    Insert(FakePointer(0x1000), FakePointer(0xA));
    DeviceListEntry* offered = List().AllocateEntry();
    ASSERT_NE(offered, nullptr);
    simk::pool::Allocation info{};
    ASSERT_TRUE(simk::pool::IsOutstanding(offered, &info));
    EXPECT_EQ(info.tag, DEVICE_LIST_ENTRY_TAG);
    EXPECT_EQ(info.type, PagedPool);

    PVOID key = FakePointer(0x1000);
    EXPECT_EQ(List().InsertUnique(FakePointer(0xB), &key, offered), KeyExists);
    EXPECT_EQ(key, FakePointer(0x1000));
    EXPECT_FALSE(simk::pool::IsOutstanding(offered));
    EXPECT_EQ(List().Count(), 1u);
    PVOID payload = nullptr;
    ASSERT_EQ(List().Find(FakePointer(0x1000), &payload), Ok);
    EXPECT_EQ(payload, FakePointer(0xA));

    List().Clear();
}

// A null key asks for the entry's own address as the key; such entries are found and removed by the
// key they were given, before and after every doubling of the index.
TEST_F(DeviceListTest, NullKeyBecomesTheEntrysOwnAddressAndFindsItThroughTheIndex)
{
    constexpr ULONG ENTRIES = 100;
    std::vector<PVOID> keys;
    for (ULONG i = 0; i < ENTRIES; ++i) {
        DeviceListEntry* entry = List().AllocateEntry();
        ASSERT_NE(entry, nullptr);
        PVOID key = nullptr;
        ASSERT_EQ(List().InsertUnique(FakePointer(0xA + i), &key, entry), Ok);
        EXPECT_EQ(key, static_cast<PVOID>(entry));
        keys.push_back(key);
        PVOID payload = nullptr;
        ASSERT_EQ(List().Find(key, &payload), Ok) << "entry " << i;
        EXPECT_EQ(payload, FakePointer(0xA + i));
    }
    for (ULONG i = 0; i < ENTRIES; ++i) {
        ASSERT_EQ(List().Remove(keys[i]), Ok) << "entry " << i;
    }
    EXPECT_EQ(List().Count(), 0u);
    EXPECT_EQ(EntriesInPool(), 0u);
    List().Clear();
}

TEST_F(DeviceListTest, RemoveOfAnAbsentKeyMarksNothing)
{
    DeviceListEntry* first = Insert(FakePointer(0x1000), FakePointer(0xA));
    DeviceListEntry* second = Insert(FakePointer(0x2000), FakePointer(0xB));
    EXPECT_EQ(List().Remove(FakePointer(0x3000)), NotFound);
    EXPECT_FALSE(first->m_Removing);
    EXPECT_FALSE(second->m_Removing);
    EXPECT_EQ(first->m_RefCount, 1);
    EXPECT_EQ(List().Count(), 2u);
    List().Clear();
}

TEST_F(DeviceListTest, RemoveThatFindsTheEntryAlreadyMarkedLeavesItToTheFirstRemoval)
{
    // What a removal sees when another removal of the same key is between its two passes.
    DeviceListEntry* entry = Insert(FakePointer(0x1000), FakePointer(0xA));
    entry->m_Removing = TRUE;
    EXPECT_NE(List().Remove(FakePointer(0x1000)), Ok);
    EXPECT_EQ(List().Count(), 1u);
    EXPECT_TRUE(simk::pool::IsOutstanding(entry));
    List().Clear();
}

TEST_F(DeviceListTest, ClearFreesEveryEntryAndNoPayload)
{
    std::vector<int> payloads = {7, 8, 9};
    for (size_t i = 0; i < payloads.size(); ++i) {
        Insert(FakePointer(0x1000 * (i + 1)), &payloads[i]);
    }
    ASSERT_EQ(EntriesInPool(), 3u);
    List().Clear();
    EXPECT_EQ(List().Count(), 0u);
    EXPECT_EQ(EntriesInPool(), 0u);
    EXPECT_EQ(payloads, (std::vector<int>{7, 8, 9}));
    PVOID key = nullptr;
    PVOID payload = nullptr;
    EXPECT_EQ(List().GetAt(0, &key, &payload), NotFound);
}

TEST_F(DeviceListTest, HoldingThreadsOwnOperationsPassThroughTheLock)
{
    Insert(FakePointer(0x1000), FakePointer(0xA));
    DeviceList& list = List();
    std::atomic<bool> correct{false};
    const bool finished = FinishesWithin(5s, [&list, &correct] {
        ListHold hold(list);
        bool ok = list.Count() == 1;
        DeviceListEntry* entry = list.AllocateEntry();
        PVOID key = FakePointer(0x2000);
        ok = ok && list.InsertUnique(FakePointer(0xB), &key, entry) == Ok;
        PVOID payload = nullptr;
        ok = ok && list.Find(FakePointer(0x2000), &payload) == Ok && payload == FakePointer(0xB);
        ok = ok && list.GetAt(1, &key, &payload) == Ok && key == FakePointer(0x2000);
        ok = ok && list.Remove(FakePointer(0x1000)) == Ok;
        ok = ok && list.Count() == 1;
        correct = ok;
    });
    ASSERT_TRUE(finished) << "the holder blocked on its own list";
    EXPECT_TRUE(correct);
    EXPECT_EQ(List().Count(), 1u);
    List().Clear();
}

TEST_F(DeviceListTest, OtherThreadsCountAndHoldWaitForTheRelease)
{
    DeviceList& list = List();
    list.Hold();

    std::atomic<bool> countDone{false};
    std::atomic<ULONG> countSeen{0};
    std::atomic<bool> holdDone{false};
    std::thread counter([&] {
        countSeen = list.Count();
        countDone = true;
    });
    std::thread holder([&] {
        list.Hold();
        holdDone = true;
        list.Release();
    });

    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(countDone) << "Count went past another thread's hold";
    EXPECT_FALSE(holdDone) << "Hold went past another thread's hold";

    // Made under the hold: a waiting Count must see it once it gets the list.
    Insert(FakePointer(0x1000), FakePointer(0xA));
    list.Release();
    counter.join();
    holder.join();
    EXPECT_TRUE(countDone);
    EXPECT_TRUE(holdDone);
    EXPECT_EQ(countSeen.load(), 1u);
    List().Clear();
}

TEST_F(DeviceListTest, MutexModeSectionsRunAtPassiveLevelInACriticalRegion)
{
    ASSERT_EQ(simk::CriticalRegionDepth(), 0u);
    List().Hold();
    EXPECT_EQ(simk::CurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(simk::CriticalRegionDepth(), 1u);
    List().Release();
    EXPECT_EQ(simk::CurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(simk::CriticalRegionDepth(), 0u);
}

TEST_F(DeviceListTest, OverlappingRemovesOfOneKeyRemoveItExactlyOnce)
{
    constexpr int ROUNDS = 200;
    constexpr int REMOVERS = 4;
    Insert(FakePointer(0x9000), FakePointer(0xF)); // a bystander that must survive every round
    for (int round = 0; round < ROUNDS; ++round) {
        Insert(FakePointer(0x1000), FakePointer(0xA));
        std::atomic<int> ready{0};
        std::atomic<int> removed{0};
        std::vector<std::thread> removers;
        for (int i = 0; i < REMOVERS; ++i) {
            removers.emplace_back([&] {
                ++ready;
                while (ready.load() < REMOVERS) {
                }
                if (List().Remove(FakePointer(0x1000)) == Ok) {
                    ++removed;
                }
            });
        }
        for (auto& t : removers) {
            t.join();
        }
        ASSERT_EQ(removed.load(), 1) << "round " << round;
        ASSERT_EQ(List().Count(), 1u) << "round " << round;
        ASSERT_EQ(EntriesInPool(), 1u) << "round " << round;
    }
    PVOID payload = nullptr;
    EXPECT_EQ(List().Find(FakePointer(0x9000), &payload), Ok);
    List().Clear();
}

TEST_F(DeviceListTest, ConcurrentUseKeepsCountAndEntriesInStep)
{
    constexpr int THREADS = 4;
    constexpr int KEYS = 100;
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int t = 0; t < THREADS; ++t) {
        workers.emplace_back([&, t] {
            for (int k = 0; k < KEYS; ++k) {
                PVOID key = FakePointer(0x100000 * (t + 1) + k);
                DeviceListEntry* entry = List().AllocateEntry();
                PVOID inOut = key;
                if (List().InsertUnique(FakePointer(t), &inOut, entry) != Ok) {
                    ++failures;
                }
                if (k % 2 == 0 && List().Remove(key) != Ok) {
                    ++failures;
                }
                // A walk under a hold sees a consistent list: every index below Count exists.
                ListHold hold(List());
                const ULONG count = List().Count();
                PVOID seenKey = nullptr;
                PVOID payload = nullptr;
                if ((count > 0 && List().GetAt(static_cast<LONG>(count - 1), &seenKey, &payload) != Ok) ||
                    List().GetAt(static_cast<LONG>(count), &seenKey, &payload) != NotFound) {
                    ++failures;
                }
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(List().Count(), static_cast<ULONG>(THREADS * KEYS / 2));
    EXPECT_EQ(EntriesInPool(), static_cast<size_t>(THREADS * KEYS / 2));
    List().Clear();
    EXPECT_EQ(EntriesInPool(), 0u);
}

TEST_F(DeviceListTest, SpinLockModeHoldsAtDispatchLevel)
{
    DeviceList list(FALSE, NonPagedPool, DEVICE_LIST_ENTRY_TAG);
    DeviceListEntry* entry = list.AllocateEntry();
    ASSERT_NE(entry, nullptr);
    simk::pool::Allocation info{};
    ASSERT_TRUE(simk::pool::IsOutstanding(entry, &info));
    EXPECT_EQ(info.type, NonPagedPool);

    PVOID key = FakePointer(0x1000);
    ASSERT_EQ(list.InsertUnique(FakePointer(0xA), &key, entry), Ok);
    list.Hold();
    EXPECT_EQ(simk::CurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(list.Count(), 1u);
    EXPECT_EQ(list.Remove(FakePointer(0x1000)), Ok);
    EXPECT_EQ(simk::CurrentIrql(), DISPATCH_LEVEL);
    list.Release();
    EXPECT_EQ(simk::CurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(list.Count(), 0u);
    list.Clear();
}

using DeviceListDeathTest = DeviceListTest;

TEST_F(DeviceListDeathTest, ReleaseOfAListNobodyHoldsStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(List().Release(), "STOP: 0x00000121");
}

TEST_F(DeviceListDeathTest, ReleaseByAThreadThatDoesNotHoldTheListStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            List().Hold();
            std::thread([this] { List().Release(); }).join();
        },
        "STOP: 0x00000121");
}

TEST_F(DeviceListDeathTest, ClearThatLeavesEntriesStopsTheSystem)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            DeviceListEntry* entry = Insert(FakePointer(0x1000), FakePointer(0xA));
            // A second reference the list does not know about keeps the entry linked.
            entry->m_RefCount = 2;
            List().Clear();
        },
        "STOP: 0x00000121");
}

} // namespace
