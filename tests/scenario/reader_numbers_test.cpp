// Reader numbers as a rig meets them over a long day: reused once their reader is gone, so the
// device nodes Windows keeps for good stay few; a handle of an earlier reader in the same slot names
// nothing; and a cap on how many readers exist at once.
#include "support/client_session.h"

#include <deque>
#include <set>

#include "simkernel/pool.h"
#include "simkernel/registry.h"

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::ClientTest;
using msdsc::testing::HandleOf;
using msdsc::testing::ReaderObject;
using msdsc::testing::RemoveReader;
using msdsc::testing::Reply;

constexpr ReaderConfig CONFIG = {1, 2, 3};

using ReaderNumbers = ClientTest;

// The device keys Plug and Play made for readers: "Enum\<enumerator>\<device ID>" holds one
// subkey per instance path ever seen, and nothing deletes them.
size_t ReaderInstanceKeys(const std::u16string& readerDeviceKey)
{
    return simk::registry::SubKeyNames(readerDeviceKey).size();
}

std::u16string DeviceIdKeyOf(PDEVICE_OBJECT reader)
{
    const std::u16string key = simk::pnp::DeviceKeyPath(simk::pnp::FindNodeByPdo(reader));
    return key.substr(0, key.rfind(u'\\'));
}

// 1,000 adds and removes on two buses, never more than four readers at once: each number lands on
// either bus, so at most 2 x 4 instance paths ever exist.
TEST_F(ReaderNumbers, AThousandCyclesLeaveAtMostBusesTimesReadersInstancePaths)
{
    AddStartedBus();
    AddStartedBus();
    simk::user::Handle handle = Open();
    std::deque<BusReaderHandle> readers;
    std::u16string deviceIdKey;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        if (readers.size() == 4) {
            ASSERT_EQ(RemoveReader(handle, readers.front()).status, STATUS_SUCCESS) << "cycle " << cycle;
            readers.pop_front();
            // Plug and Play removes it before the next add: four readers at a time, not five.
            simk::pnp::RunUntilIdle();
        }
        const Reply added = AddReader(handle, CONFIG);
        ASSERT_EQ(added.status, STATUS_SUCCESS) << "cycle " << cycle;
        readers.push_back(HandleOf(added));
        simk::pnp::RunUntilIdle();
        if (deviceIdKey.empty()) {
            deviceIdKey = DeviceIdKeyOf(ReaderObject(readers.back()));
        }
        ASSERT_LT(MsdscReaderHandleNumber(readers.back().ReaderHandle), 4u)
            << "the lowest free number, cycle " << cycle;
    }
    const size_t instancePaths = ReaderInstanceKeys(deviceIdKey);
    std::printf("reader instance paths after 1,000 cycles on 2 buses, at most 4 readers at once: %zu\n", instancePaths);
    EXPECT_LE(instancePaths, 8u);
}

// A handle of a removed reader whose number the next reader took: refused as no reader, and the
// reader now in the slot stays.
TEST_F(ReaderNumbers, AStaleHandleNamesNotTheReaderNowInItsSlot)
{
    AddStartedBus();
    simk::user::Handle handle = Open();
    const BusReaderHandle earlier = HandleOf(AddReader(handle, CONFIG));
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(RemoveReader(handle, earlier).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    const BusReaderHandle now = HandleOf(AddReader(handle, CONFIG));
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(MsdscReaderHandleNumber(now.ReaderHandle), MsdscReaderHandleNumber(earlier.ReaderHandle))
        << "the slot is reused";
    ASSERT_EQ(now.BusHandle, earlier.BusHandle);
    const PDEVICE_OBJECT reader = ReaderObject(now);

    EXPECT_EQ(RemoveReader(handle, earlier).status, STATUS_UNSUCCESSFUL);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderObject(now), reader);
    EXPECT_EQ(simk::pnp::State(simk::pnp::FindNodeByPdo(reader)), simk::pnp::NodeState::Started);
    EXPECT_EQ(RemoveReader(handle, now).status, STATUS_SUCCESS);
}

// A departed reader Plug and Play still knows holds its number: while a handle on its stack holds
// back its removal, the next reader takes another number.
TEST_F(ReaderNumbers, AReaderPlugAndPlayStillKnowsHoldsItsNumber)
{
    AddStartedBus();
    simk::user::Handle handle = Open();
    const BusReaderHandle first = HandleOf(AddReader(handle, CONFIG));
    simk::pnp::RunUntilIdle();
    simk::user::Handle onStack = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(ReaderObject(first), &onStack), STATUS_SUCCESS);
    ASSERT_EQ(RemoveReader(handle, first).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();

    const BusReaderHandle second = HandleOf(AddReader(handle, CONFIG));
    EXPECT_EQ(MsdscReaderHandleNumber(second.ReaderHandle), 1u);
    ASSERT_EQ(simk::user::Close(onStack), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    const BusReaderHandle third = HandleOf(AddReader(handle, CONFIG));
    EXPECT_EQ(MsdscReaderHandleNumber(third.ReaderHandle), 0u) << "free again once the last handle let it go";
}

// Past the cap an add creates nothing and says why; the session's end gives everything back.
TEST_F(ReaderNumbers, AnAddPastTheCapIsRefusedAndCreatesNothing)
{
    AddStartedBus();
    AddStartedBus();
    simk::user::Handle handle = Open();
    const simk::pool::Snapshot pool;
    for (ULONG i = 0; i < MAX_READERS; ++i) {
        ASSERT_EQ(AddReader(handle, CONFIG).status, STATUS_SUCCESS) << i;
    }
    simk::pnp::RunUntilIdle();
    const size_t devices = simk::DevicesOfDriver(Driver()).size();
    const size_t queued = simk::pnp::QueuedWorkCount();
    const Reply refused = AddReader(handle, CONFIG);
    EXPECT_EQ(refused.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), devices);
    EXPECT_EQ(simk::pnp::QueuedWorkCount(), queued) << "no relations invalidated";
    CloseClient();
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), 3u) << "the control device and the two buses";
    EXPECT_TRUE(pool.NewSince().empty()) << simk::pool::Describe(pool.NewSince());
    simk::user::Handle again = Open();
    EXPECT_EQ(AddReader(again, CONFIG).status, STATUS_SUCCESS) << "every number is free again";
}

} // namespace
