// A client's whole session: closing its handle unplugs every reader on every bus, a handle
// outlives the last bus, the driver stays loaded with only its control device after the last bus
// (as Windows keeps it), and buses leaving while requests
// are in flight on another thread.
#include "support/client_session.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::ClientTest;
using msdsc::testing::HandleOf;
using msdsc::testing::ReaderObject;
using msdsc::testing::ReaderOf;
using msdsc::testing::RemoveReader;
using msdsc::testing::Reply;
using msdsc::testing::Request;

constexpr ReaderConfig CONFIG = {1, 2, 3};

bool WasEnumerated(simk::pnp::DeviceNode* bus)
{
    for (const simk::pnp::IrpRecord& record : simk::pnp::IrpLogFor(bus)) {
        if (record.minor == IRP_MN_QUERY_DEVICE_RELATIONS && record.detail == BusRelations) {
            return true;
        }
    }
    return false;
}

using ClientSession = ClientTest;

TEST_F(ClientSession, CloseUnplugsEveryReaderOnEveryBusAndPlugAndPlayRemovesThem)
{
    simk::pnp::DeviceNode* buses[3] = {AddStartedBus(), AddStartedBus(), AddStartedBus()};
    simk::user::Handle handle = Open();

    // Turns 0, 1, 2, 0: then the reader on the third bus goes again, so that bus ends up empty.
    std::vector<BusReaderHandle> readers;
    for (int i = 0; i < 4; ++i) {
        const Reply reply = AddReader(handle, CONFIG);
        ASSERT_EQ(reply.status, STATUS_SUCCESS);
        readers.push_back(HandleOf(reply));
    }
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(RemoveReader(handle, readers[2]).status, STATUS_SUCCESS);
    readers.erase(readers.begin() + 2);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::pnp::Children(buses[0]).size(), 2u);
    ASSERT_EQ(simk::pnp::Children(buses[1]).size(), 1u);
    ASSERT_TRUE(simk::pnp::Children(buses[2]).empty());

    // A started reader that the function driver has powered down keeps that in its history.
    ASSERT_TRUE(simk::power::SetDevicePower(ReaderObject(readers[1]), PowerDeviceD3).completed);
    const ReaderState beforeClose[3] = {ReaderOf(readers[0])->State(), ReaderOf(readers[1])->State(),
                                        ReaderOf(readers[2])->State()};

    std::vector<simk::pnp::DeviceNode*> nodes;
    for (const BusReaderHandle& reader : readers) {
        nodes.push_back(simk::pnp::FindNodeByPdo(ReaderObject(reader)));
        ASSERT_NE(nodes.back(), nullptr);
    }
    simk::pnp::ClearIrpLog();
    CloseClient();

    for (size_t i = 0; i < readers.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ReaderOf(readers[i])->State(), ReaderState::Unplugged);
        EXPECT_EQ(ReaderOf(readers[i])->PreviousState(), beforeClose[i]);
    }

    simk::pnp::RunUntilIdle();
    for (simk::pnp::DeviceNode* bus : buses) {
        EXPECT_TRUE(WasEnumerated(bus)) << "every bus is enumerated again, also one without readers";
        EXPECT_TRUE(simk::pnp::Children(bus).empty());
    }
    for (simk::pnp::DeviceNode* node : nodes) {
        EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Removed);
    }
    // Only the control device and the three buses are left.
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), 4u);

    // The exclusive open has ended.
    Open();
    EXPECT_EQ(Request(m_Handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 8).status, STATUS_SUCCESS);
}

TEST_F(ClientSession, CloseDeletesReadersPlugAndPlayHasNotSeenYet)
{
    simk::pnp::DeviceNode* buses[2] = {AddStartedBus(), AddStartedBus()};
    simk::user::Handle handle = Open();
    const BusReaderHandle seen = HandleOf(AddReader(handle, CONFIG));
    simk::pnp::RunUntilIdle();
    const BusReaderHandle unseen = HandleOf(AddReader(handle, CONFIG));
    ASSERT_NE(unseen.BusHandle, seen.BusHandle);
    ASSERT_EQ(simk::DevicesOfDriver(Driver()).size(), 1u + 2u + 2u);

    CloseClient();
    // The unseen reader is gone at once; the seen one waits for its removal by Plug and Play.
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), 1u + 2u + 1u);
    EXPECT_EQ(ReaderOf(seen)->State(), ReaderState::Unplugged);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), 1u + 2u);
    EXPECT_TRUE(simk::pnp::Children(buses[0]).empty());
    EXPECT_TRUE(simk::pnp::Children(buses[1]).empty());
}

TEST_F(ClientSession, HandleStaysOpenAfterTheLastBusLeaves)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    simk::user::Handle handle = Open();
    const BusReaderHandle reader = HandleOf(AddReader(handle, CONFIG));
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(RemoveReader(handle, reader).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_TRUE(UninstallBus(bus));

    // Still this client's: a second open is refused for that, not for the missing bus.
    simk::user::Handle second = nullptr;
    EXPECT_EQ(simk::user::OpenDevice(msdsc::testing::CONTROL_USER_PATH, &second), STATUS_SHARING_VIOLATION);

    EXPECT_EQ(Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 8).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(AddReader(handle, CONFIG).status, STATUS_INVALID_DEVICE_STATE);
    // The bus-ready test comes before the buffer tests.
    EXPECT_EQ(Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 0).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(AddReader(handle, CONFIG, 3, 3).status, STATUS_INVALID_DEVICE_STATE);
    // A removal has no bus-ready test: it simply finds no bus.
    EXPECT_EQ(RemoveReader(handle, reader).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RemoveReader(handle, reader, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request(handle, msdsc::testing::UNASSIGNED_CONTROL_CODE, nullptr, 0, 0).status,
              STATUS_INVALID_DEVICE_REQUEST);

    // Closing with no bus only ends the open; the next one fails for want of a bus until one comes.
    CloseClient();
    EXPECT_EQ(simk::user::OpenDevice(msdsc::testing::CONTROL_USER_PATH, &second), STATUS_INVALID_DEVICE_STATE);
    AddStartedBus();
    Open();
}

// Unload after the last bus: Windows calls a Plug and Play driver's unload routine only once it
// has no device object left, and the control device lives as long as the driver. So the driver
// stays loaded with the control device, its link and its bus registry, and nothing of the buses,
// readers or session; a bus installed later is served by the same loaded driver.
TEST_F(ClientSession, UnloadAfterTheLastBusKeepsOnlyTheControlDevice)
{
    AddStartedBus();
    AddStartedBus();
    simk::user::Handle handle = Open();
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(AddReader(handle, CONFIG).status, STATUS_SUCCESS);
    }
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::DevicesOfDriver(Driver()).size(), 1u + 2u + 5u);

    UnloadEverything(); // checks the unload is refused and only what the entry made remains

    EXPECT_TRUE(simk::IsDriverLoaded(Driver()));
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), 1u);
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("ansl")), 1u) << "the bus registry lives with the driver";
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("apsl")), 0u);
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("msbp")), 0u);
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("mdbp")), 0u);
    EXPECT_EQ(simk::registry::OpenHandleCount(), 0u);
    EXPECT_EQ(simk::user::OpenHandleCount(), 0u);
    EXPECT_EQ(simk::pnp::OwnedPoolBlocks(), 0u);

    // The control device still answers, and a bus installed now gets readers from the same image.
    simk::pnp::DeviceNode* bus = AddStartedBus();
    handle = Open();
    ASSERT_EQ(AddReader(handle, CONFIG).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::Children(bus).size(), 1u);
    EXPECT_EQ(simk::FindDriver(msdsc::testing::SERVICE_NAME), Driver());
}

// A bus leaving on another thread while adds and removals pick it: the registry hold keeps the
// bus alive until the call on it has returned. A bus deleted under the call would show as a
// verifier violation, a stop, or (under AddressSanitizer) a use of freed memory.
TEST_F(ClientSession, BusRemovalRacingAddsAndRemovesNeitherCrashesNorLeaks)
{
    AddStartedBus();
    simk::user::Handle handle = Open();
    simk::pnp::StartWorkerThread();

    constexpr int ROUNDS = 60;
    std::atomic<bool> stop{false};
    std::atomic<int> added{0};
    std::atomic<int> unexpected{0};
    std::thread client([&] {
        std::vector<BusReaderHandle> mine;
        while (!stop.load()) {
            const Reply reply = AddReader(handle, CONFIG);
            if (reply.status == STATUS_SUCCESS) {
                mine.push_back(HandleOf(reply));
                ++added;
            } else if (reply.status != STATUS_INVALID_DEVICE_STATE) {
                // A bus that has been query-removed refuses; nothing else may go wrong.
                ++unexpected;
            }
            if (mine.size() > 3) {
                const NTSTATUS status = RemoveReader(handle, mine.front()).status;
                if (status != STATUS_SUCCESS && status != STATUS_UNSUCCESSFUL) {
                    ++unexpected;
                }
                mine.erase(mine.begin());
            }
        }
    });

    // Buses come and go; half leave by surprise with readers on them, half are uninstalled (a
    // veto while they have readers, then a surprise removal).
    for (int round = 0; round < ROUNDS; ++round) {
        simk::pnp::DeviceNode* bus = simk::pnp::CreateRootDevice(Driver(), msdsc::testing::BUS_HARDWARE_ID);
        ASSERT_EQ(simk::pnp::State(bus), simk::pnp::NodeState::Started);
        std::this_thread::yield();
        if (round % 2 == 0 && NT_SUCCESS(simk::pnp::RemoveDevice(bus))) {
            continue;
        }
        simk::pnp::SurpriseRemoveDevice(bus);
        ASSERT_EQ(simk::pnp::State(bus), simk::pnp::NodeState::Removed);
    }
    // On a loaded machine the client may not have run yet: the first bus stays, so its adds go
    // through once it does (bounded, so a driver that refuses every add still ends the test).
    for (int wait = 0; wait < 10000 && added.load() == 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    client.join();
    simk::pnp::StopWorkerThread();

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(added.load(), 0);
    // UnloadEverything in the fixture closes, settles and uninstalls the first bus; its checks report
    // any reader or entry left behind by a bus that went.
}

} // namespace
