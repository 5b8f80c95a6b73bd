// The Plug and Play manager finding, identifying, starting and losing devices: root devices, bus
// relations, the queries a new child gets, the references and replies it takes over.
#include "pnp_test_bus.h"

#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/testing.h"

#include <algorithm>
#include <cstring>
#include <thread>

using namespace simk::pnp;
using pnptest::ChildShape;
using pnptest::Minors;
using pnptest::TestBus;

namespace {

constexpr ULONG REPLY_TAG = simk::Tag("tsbT");

class PnpEnumeration : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        bus = std::make_unique<TestBus>();
        busNode = CreateRootDevice(bus->Driver(), u"TestBus\\Bus");
        ASSERT_NE(busNode, nullptr);
        ASSERT_EQ(State(busNode), NodeState::Started);
    }
    void TearDown() override
    {
        KernelTest::TearDown();
        bus.reset();
    }

    std::vector<UCHAR> ManagerMinorsFor(const DeviceNode* node)
    {
        std::vector<UCHAR> out;
        for (const auto& r : IrpLogFor(node))
            if (r.major == IRP_MJ_PNP)
                out.push_back(r.minor);
        return out;
    }

    std::unique_ptr<TestBus> bus;
    DeviceNode* busNode = nullptr;
};

TEST_F(PnpEnumeration, RootDeviceIsAddedStartedAndAskedForItsChildren)
{
    EXPECT_EQ(InstancePath(busNode), u"ROOT\\Bus\\0000");
    EXPECT_EQ(Pdo(busNode), bus->BusPdo());
    EXPECT_EQ(bus->Fdo()->AttachedDevice, nullptr);
    EXPECT_EQ(bus->BusPdo()->AttachedDevice, bus->Fdo());
    EXPECT_EQ(Minors(bus->FdoSeen()),
              (std::vector<UCHAR>{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                  IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS}));
    EXPECT_EQ(bus->FdoSeen()[4].detail, static_cast<ULONG>(BusRelations));
    EXPECT_TRUE(simk::registry::KeyExists(HardwareKeyPath(busNode)));
    EXPECT_TRUE(Children(busNode).empty());

    // Instance numbers count per device ID, whatever the case of the hardware ID. A device with no
    // driver installed waits at problem 28; nobody is called for it.
    DeviceNode* second = CreateRootDevice(nullptr, u"OTHER\\BUS");
    EXPECT_EQ(InstancePath(second), u"ROOT\\BUS\\0001");
    EXPECT_EQ(State(second), NodeState::NotInstalled);
    EXPECT_EQ(Info(second).problemCode, CM_PROB_FAILED_INSTALL);
    EXPECT_EQ(Stack(second).size(), 1u);
    EXPECT_EQ(RootDevices().size(), 2u);
}

TEST_F(PnpEnumeration, ChildIsIdentifiedStartedAndLostInWindowsOrder)
{
    ChildShape shape;
    shape.deviceId = u"TestBus\\Reader";
    shape.instanceId = u"Seven";
    shape.uniqueId = true;
    shape.hardwareIds = {u"TestBus\\Reader", u"TestBus\\Generic"};
    shape.description = u"A reader";
    pnptest::Child* child = bus->Plug(shape);
    bus->Invalidate();
    EXPECT_EQ(QueuedWorkCount(), 1u); // nothing happens until the manager's work runs
    EXPECT_TRUE(Children(busNode).empty());
    RunUntilIdle();

    ASSERT_EQ(Children(busNode).size(), 1u);
    DeviceNode* node = Children(busNode)[0];
    EXPECT_EQ(FindNode(u"testbus\\READER\\seven"), node);
    EXPECT_EQ(FindNodeByPdo(child->pdo), node);
    EXPECT_EQ(Parent(node), busNode);
    EXPECT_EQ(State(node), NodeState::Started);

    NodeInfo info = Info(node);
    EXPECT_EQ(info.instancePath, u"TestBus\\Reader\\Seven"); // kept as reported
    EXPECT_EQ(info.hardwareIds, (std::vector<std::u16string>{u"TestBus\\Reader", u"TestBus\\Generic"}));
    EXPECT_TRUE(info.compatibleIds.empty());
    EXPECT_EQ(info.compatibleIdsReply.status, STATUS_NOT_SUPPORTED); // what the manager preset
    EXPECT_EQ(info.description, std::optional<std::u16string>(u"A reader"));
    EXPECT_FALSE(info.location.has_value());
    EXPECT_EQ(info.deviceIdReply.tag, REPLY_TAG);
    EXPECT_EQ(info.deviceIdReply.bytes.size(), (14 + 1) * sizeof(char16_t));
    EXPECT_EQ(info.hardwareIdsReply.bytes.size(), (14 + 1 + 15 + 1 + 1) * sizeof(char16_t));
    ASSERT_TRUE(info.busInformation.has_value());
    EXPECT_EQ(info.busInformation->LegacyBusType, PNPBus);
    EXPECT_TRUE(info.capabilities.Removable);
    EXPECT_TRUE(simk::registry::KeyExists(
        u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Enum\\TestBus\\Reader\\Seven\\Device Parameters"));

    // What the child was asked, in order, and how the capabilities arrived.
    std::vector<pnptest::SeenIrp> seen = bus->ChildSeen(child);
    EXPECT_EQ(
        Minors(seen),
        (std::vector<UCHAR>{IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID, IRP_MN_QUERY_ID,
                            IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_DEVICE_TEXT,
                            IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_QUERY_RESOURCES, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                            IRP_MN_DEVICE_ENUMERATED, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
                            IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS}));
    EXPECT_EQ(seen[0].detail, static_cast<ULONG>(BusQueryDeviceID));
    EXPECT_EQ(seen[1].detail, static_cast<ULONG>(BusQueryInstanceID));
    EXPECT_EQ(seen[2].detail, static_cast<ULONG>(BusQueryHardwareIDs));
    EXPECT_EQ(seen[3].detail, static_cast<ULONG>(BusQueryCompatibleIDs));
    EXPECT_EQ(seen[5].detail, static_cast<ULONG>(DeviceTextDescription));
    EXPECT_EQ(seen[6].detail, static_cast<ULONG>(DeviceTextLocationInformation));
    EXPECT_EQ(seen[15].detail, static_cast<ULONG>(BusRelations));
    ASSERT_TRUE(child->capabilitiesOnArrival.has_value());
    DEVICE_CAPABILITIES expected{};
    expected.Size = sizeof(DEVICE_CAPABILITIES);
    expected.Version = 1;
    expected.Address = 0xFFFFFFFF;
    expected.UINumber = 0xFFFFFFFF;
    EXPECT_EQ(std::memcmp(&*child->capabilitiesOnArrival, &expected, sizeof(expected)), 0);

    // Every reply was freed at once; the relations' references became the node's one reference.
    EXPECT_EQ(simk::pool::OutstandingCount(REPLY_TAG), 0u);
    EXPECT_EQ(OwnedPoolBlocks(), 0u);
    EXPECT_EQ(simk::ObjectReferenceCount(child->pdo), 1);

    // Enumerating again changes nothing and releases the new reference.
    bus->Invalidate();
    bus->Invalidate();
    RunUntilIdle();
    EXPECT_EQ(Minors(bus->ChildSeen(child)).size(), 16u);
    EXPECT_EQ(simk::ObjectReferenceCount(child->pdo), 1);
    EXPECT_EQ(simk::pool::OutstandingCount(REPLY_TAG), 0u);

    // Gone from the relations: surprise removal, then removal, then the node and the PDO are gone.
    ClearIrpLog();
    DEVICE_OBJECT* pdo = child->pdo;
    bus->Unplug(child);
    bus->Invalidate();
    RunUntilIdle();
    std::vector<UCHAR> tail = Minors(bus->ChildSeen(child));
    ASSERT_GE(tail.size(), 2u);
    EXPECT_EQ(tail[tail.size() - 2], IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(tail.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(State(node), NodeState::Removed);
    EXPECT_EQ(FindNode(u"TestBus\\Reader\\Seven"), nullptr);
    EXPECT_EQ(FindNodeByPdo(pdo), nullptr);
    EXPECT_TRUE(Children(busNode).empty());
    EXPECT_FALSE(simk::IsDeviceObject(pdo)); // deleted by its bus, freed with the last reference
    EXPECT_EQ(ManagerMinorsFor(node), (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    // The key outlives the device, as Windows keeps the Enum branch.
    EXPECT_TRUE(simk::registry::KeyExists(HardwareKeyPath(node)));
}

TEST_F(PnpEnumeration, ChildrenThatFailAreKeptInFailedStatesAndNeverStarted)
{
    ChildShape noId;
    noId.deviceIdStatus = STATUS_INSUFFICIENT_RESOURCES;
    ChildShape badStart;
    badStart.deviceId = u"TestBus\\BadStart";
    badStart.startStatus = STATUS_DEVICE_NOT_READY;
    pnptest::Child* a = bus->Plug(noId);
    pnptest::Child* b = bus->Plug(badStart);
    bus->Invalidate();
    RunUntilIdle();

    DeviceNode* na = FindNodeByPdo(a->pdo);
    DeviceNode* nb = FindNodeByPdo(b->pdo);
    ASSERT_TRUE(na && nb);
    EXPECT_EQ(State(na), NodeState::IdQueryFailed);
    EXPECT_EQ(Info(na).problem, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Minors(bus->ChildSeen(a)), (std::vector<UCHAR>{IRP_MN_QUERY_ID}));
    EXPECT_TRUE(InstancePath(na).empty());
    HANDLE key;
    EXPECT_EQ(IoOpenDeviceRegistryKey(a->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);

    // A failed start tears the stack down again, but the PDO stays as long as the bus reports it.
    EXPECT_EQ(State(nb), NodeState::StartFailed);
    EXPECT_EQ(Info(nb).problem, STATUS_DEVICE_NOT_READY);
    std::vector<UCHAR> seen = Minors(bus->ChildSeen(b));
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[seen.size() - 2], IRP_MN_START_DEVICE);
    EXPECT_EQ(seen.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(simk::IsDeviceObject(b->pdo));

    // Unplugged: no surprise removal for a stack that never ran, only the final removal.
    bus->Unplug(a);
    bus->Unplug(b);
    bus->Invalidate();
    RunUntilIdle();
    EXPECT_EQ(Minors(bus->ChildSeen(a)), (std::vector<UCHAR>{IRP_MN_QUERY_ID, IRP_MN_REMOVE_DEVICE}));
    seen = Minors(bus->ChildSeen(b));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_SURPRISE_REMOVAL), 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_REMOVE_DEVICE), 2);
    EXPECT_EQ(State(na), NodeState::Removed);
    EXPECT_EQ(State(nb), NodeState::Removed);
    EXPECT_TRUE(Children(busNode).empty());
}

TEST_F(PnpEnumeration, RelationsListingADeviceTwiceAreCaughtAndBalanced)
{
    pnptest::Child* child = bus->Plug();
    bus->reportFirstChildTwice = true;
    bus->Invalidate();
    SIMK_EXPECT_VIOLATION("PnpDuplicateRelation", RunUntilIdle());
    EXPECT_EQ(Children(busNode).size(), 1u);
    EXPECT_EQ(simk::ObjectReferenceCount(child->pdo), 1);
}

TEST_F(PnpEnumeration, TwoDevicesWithOneInstancePathAreCaught)
{
    ChildShape shape;
    shape.instanceId = u"Same";
    pnptest::Child* first = bus->Plug(shape);
    shape.instanceId = u"SAME"; // instance paths compare without case
    pnptest::Child* second = bus->Plug(shape);
    bus->Invalidate();
    SIMK_EXPECT_VIOLATION("PnpDuplicateDeviceInstance", RunUntilIdle());
    EXPECT_EQ(State(FindNodeByPdo(first->pdo)), NodeState::Started);
    EXPECT_EQ(State(FindNodeByPdo(second->pdo)), NodeState::IdQueryFailed);
    EXPECT_EQ(Info(FindNodeByPdo(second->pdo)).problem, STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(PnpEnumeration, InvalidatingSomethingThatIsNotAPdoIsCaught)
{
    SIMK_EXPECT_VIOLATION("PnpInvalidPdo", IoInvalidateDeviceRelations(bus->Fdo(), BusRelations));
    EXPECT_EQ(QueuedWorkCount(), 0u);
}

TEST_F(PnpEnumeration, StartLeftPendingForeverIsReported)
{
    ChildShape shape;
    shape.pendStart = true;
    pnptest::Child* child = bus->Plug(shape);
    SetPendingIrpTimeout(std::chrono::milliseconds(50));
    bus->Invalidate();
    SIMK_EXPECT_VIOLATION("PnpIrpNeverCompleted", RunUntilIdle());
    DeviceNode* node = FindNodeByPdo(child->pdo);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(State(node), NodeState::StartFailed);
    EXPECT_EQ(Info(node).problem, STATUS_PENDING);
    bus->CompleteHeldStart(child, STATUS_SUCCESS); // late: nobody is waiting any more
}

// The worker thread settles work that arrives from other threads while it runs.
TEST_F(PnpEnumeration, WorkerThreadSettlesConcurrentPlugAndUnplug)
{
    StartWorkerThread();
    constexpr int PER_THREAD = 12;
    std::vector<std::vector<pnptest::Child*>> plugged(2);
    auto plugger = [&](int t) {
        for (int i = 0; i < PER_THREAD; ++i) {
            ChildShape shape;
            shape.instanceId = simk::Widen(std::to_string(t * 100 + i));
            pnptest::Child* child = bus->Plug(shape);
            plugged[t].push_back(child);
            bus->Invalidate();
            if (i % 3 == 2) {
                bus->Unplug(plugged[t][i - 1]);
                bus->Invalidate();
            }
        }
    };
    std::thread t0(plugger, 0), t1(plugger, 1);
    t0.join();
    t1.join();
    RunUntilIdle();
    StopWorkerThread();

    size_t present = 0;
    for (auto& list : plugged)
        for (pnptest::Child* child : list) {
            DeviceNode* node = FindNodeByPdo(child->pdo);
            if (child->present) {
                ++present;
                ASSERT_NE(node, nullptr);
                EXPECT_EQ(State(node), NodeState::Started);
            } else if (!child->deleted) {
                // Unplugged before any enumeration saw it: Plug and Play never knew it.
                EXPECT_TRUE(bus->ChildSeen(child).empty()) << ::testing::PrintToString(Minors(bus->ChildSeen(child)))
                                                           << (node ? NodeStateName(State(node)) : "none");
                EXPECT_EQ(node, nullptr);
            }
        }
    EXPECT_EQ(Children(busNode).size(), present);
    EXPECT_EQ(present, 2u * (PER_THREAD - PER_THREAD / 3));
    EXPECT_EQ(QueuedWorkCount(), 0u);
    EXPECT_EQ(simk::pool::OutstandingCount(REPLY_TAG), 0u);
}

TEST_F(PnpEnumeration, WorkQueuedWithoutAWorkerWaitsUntilStopped)
{
    StartWorkerThread();
    StopWorkerThread();
    bus->Plug();
    bus->Invalidate();
    EXPECT_EQ(QueuedWorkCount(), 1u);
    EXPECT_TRUE(Children(busNode).empty());
    RunUntilIdle();
    EXPECT_EQ(Children(busNode).size(), 1u);
}

TEST_F(PnpEnumeration, RelationsNamingAnotherParentsDeviceAreCaught)
{
    bus->reportOwnPdo = true;
    bus->Invalidate();
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::ForeignRelation, RunUntilIdle());
    EXPECT_TRUE(Children(busNode).empty());
}

TEST_F(PnpEnumeration, ChildNotPageableUnderAPageableBusIsCaught)
{
    ChildShape unpaged;
    unpaged.pagable = false;
    bus->Plug(unpaged);
    bus->Invalidate();
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::CheckDeviceObjectFlags, RunUntilIdle());
}

} // namespace
