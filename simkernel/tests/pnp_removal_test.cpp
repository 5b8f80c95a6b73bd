// Removing devices the way Windows does: the user's uninstall (query-remove, veto and cancel,
// removal children first), surprise removal, drivers that fail what must not fail, and the child
// function-driver double powering its device down on the way out.
#include "pnp_test_bus.h"

#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/user.h"
#include "simkernel/power.h"
#include "simkernel/testing.h"

#include <algorithm>

using namespace simk::pnp;
using pnptest::ChildShape;
using pnptest::Minors;
using pnptest::TestBus;

namespace {

struct Sent {
    DeviceNode* node;
    UCHAR minor;
    bool operator==(const Sent& o) const { return node == o.node && minor == o.minor; }
};

std::ostream& operator<<(std::ostream& os, const Sent& s)
{
    return os << simk::Narrow(InstancePath(s.node)) << ":" << static_cast<int>(s.minor);
}

class PnpRemoval : public simk::testing::KernelTest
{
protected:
    // A started bus with two started children.
    void SetUp() override
    {
        KernelTest::SetUp();
        bus = std::make_unique<TestBus>();
        busNode = CreateRootDevice(bus->Driver(), u"TestBus\\Bus");
        ASSERT_EQ(State(busNode), NodeState::Started);
    }
    void TearDown() override
    {
        KernelTest::TearDown();
        bus.reset();
    }

    void PlugTwo(ChildShape first = {}, ChildShape second = {})
    {
        c0 = bus->Plug(first);
        c1 = bus->Plug(second);
        bus->Invalidate();
        RunUntilIdle();
        n0 = FindNodeByPdo(c0->pdo);
        n1 = FindNodeByPdo(c1->pdo);
        ASSERT_TRUE(n0 && n1);
        ASSERT_EQ(State(n0), NodeState::Started);
        ASSERT_EQ(State(n1), NodeState::Started);
        ClearIrpLog();
    }

    // The removal-protocol requests the manager sent since the log was cleared, in order.
    std::vector<Sent> RemovalTraffic()
    {
        std::vector<Sent> out;
        for (const auto& r : IrpLog()) {
            if (r.major != IRP_MJ_PNP)
                continue;
            switch (r.minor) {
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_REMOVE_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
                out.push_back({r.node, r.minor});
                break;
            default:
                break;
            }
        }
        return out;
    }

    std::unique_ptr<TestBus> bus;
    DeviceNode* busNode = nullptr;
    pnptest::Child* c0 = nullptr;
    pnptest::Child* c1 = nullptr;
    DeviceNode* n0 = nullptr;
    DeviceNode* n1 = nullptr;
};

TEST_F(PnpRemoval, UninstallingABusQueriesAndRemovesChildrenFirst)
{
    PlugTwo();
    DEVICE_OBJECT* busPdo = bus->BusPdo();
    DeviceNode* vetoedBy = busNode;
    EXPECT_EQ(RemoveDevice(busNode, &vetoedBy), STATUS_SUCCESS);
    EXPECT_EQ(vetoedBy, nullptr);
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {n1, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {busNode, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {n0, IRP_MN_REMOVE_DEVICE},
                                                   {n1, IRP_MN_REMOVE_DEVICE},
                                                   {busNode, IRP_MN_REMOVE_DEVICE}}));
    for (DeviceNode* n : {n0, n1, busNode})
        EXPECT_EQ(State(n), NodeState::Removed);
    EXPECT_TRUE(RootDevices().empty());
    EXPECT_EQ(FindNodeByPdo(busPdo), nullptr);
    // The bus deleted its FDO and its children; the root enumerator deleted its PDO.
    EXPECT_TRUE(simk::DevicesOfDriver(bus->Driver()).empty());
    EXPECT_TRUE(simk::DevicesOfDriver(RootBusDriver()).empty());
    EXPECT_FALSE(simk::IsDeviceObject(busPdo));
    EXPECT_EQ(RemoveDevice(busNode), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpRemoval, AVetoedQueryRemoveIsCancelledInReverseOrder)
{
    ChildShape vetoing;
    vetoing.queryRemoveStatus = STATUS_DEVICE_BUSY;
    PlugTwo({}, vetoing);
    DeviceNode* vetoedBy = nullptr;
    EXPECT_EQ(RemoveDevice(busNode, &vetoedBy), STATUS_DEVICE_BUSY);
    EXPECT_EQ(vetoedBy, n1);
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {n1, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {n1, IRP_MN_CANCEL_REMOVE_DEVICE},
                                                   {n0, IRP_MN_CANCEL_REMOVE_DEVICE}}));
    for (DeviceNode* n : {n0, n1, busNode})
        EXPECT_EQ(State(n), NodeState::Started);

    // The parent's veto comes last and rolls back every child too.
    ClearIrpLog();
    bus->vetoQueryRemove = true;
    c1->shape.queryRemoveStatus = STATUS_SUCCESS;
    EXPECT_EQ(RemoveDevice(busNode, &vetoedBy), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vetoedBy, busNode);
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {n1, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {busNode, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {busNode, IRP_MN_CANCEL_REMOVE_DEVICE},
                                                   {n1, IRP_MN_CANCEL_REMOVE_DEVICE},
                                                   {n0, IRP_MN_CANCEL_REMOVE_DEVICE}}));
    EXPECT_EQ(Children(busNode).size(), 2u);
}

TEST_F(PnpRemoval, DisabledChildKeepsItsNodeUntilItsBusStopsReportingIt)
{
    PlugTwo();
    EXPECT_EQ(DisableDevice(n0), STATUS_SUCCESS);
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_QUERY_REMOVE_DEVICE}, {n0, IRP_MN_REMOVE_DEVICE}}));
    EXPECT_EQ(State(n0), NodeState::Disabled);
    EXPECT_EQ(Children(busNode), (std::vector<DeviceNode*>{n0, n1}));
    EXPECT_EQ(simk::ObjectReferenceCount(c0->pdo), 1); // still the node's

    // Still reported: an enumeration leaves the node as it is.
    bus->Invalidate();
    RunUntilIdle();
    EXPECT_EQ(FindNodeByPdo(c0->pdo), n0);
    EXPECT_EQ(State(n0), NodeState::Disabled);

    // Enabled, the same PDO starts again.
    EXPECT_EQ(EnableDevice(n0), STATUS_SUCCESS);
    EXPECT_EQ(State(n0), NodeState::Started);
    const std::vector<UCHAR> minors = Minors(bus->ChildSeen(c0));
    EXPECT_EQ(std::count(minors.begin(), minors.end(), IRP_MN_START_DEVICE), 2);

    // Disabled again, then gone from the bus: one more removal, no surprise removal, and the node goes.
    ASSERT_EQ(DisableDevice(n0), STATUS_SUCCESS);
    ClearIrpLog();
    bus->Unplug(c0);
    bus->Invalidate();
    RunUntilIdle();
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_REMOVE_DEVICE}}));
    EXPECT_EQ(State(n0), NodeState::Removed);
    EXPECT_TRUE(c0->deleted);
}

TEST_F(PnpRemoval, AnOpenHandleVetoesTheQueryAndHoldsBackTheFinalRemovalPastTheParent)
{
    PlugTwo();
    simk::user::Handle handle = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(c0->pdo, &handle), STATUS_SUCCESS);
    DeviceNode* vetoedBy = nullptr;
    EXPECT_EQ(RemoveDevice(n0, &vetoedBy), STATUS_DEVICE_BUSY);
    EXPECT_EQ(vetoedBy, n0);
    EXPECT_EQ(State(n0), NodeState::Started);

    ClearIrpLog();
    SurpriseRemoveDevice(busNode);
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_SURPRISE_REMOVAL},
                                                   {n1, IRP_MN_SURPRISE_REMOVAL},
                                                   {busNode, IRP_MN_SURPRISE_REMOVAL},
                                                   {n1, IRP_MN_REMOVE_DEVICE},
                                                   {busNode, IRP_MN_REMOVE_DEVICE}}));
    EXPECT_TRUE(AwaitingCloses(n0));
    EXPECT_EQ(State(n0), NodeState::SurpriseRemoved);
    EXPECT_TRUE(RootDevices().empty());

    ClearIrpLog();
    ASSERT_EQ(simk::user::Close(handle), STATUS_SUCCESS);
    EXPECT_TRUE(RemovalTraffic().empty()) << "queued, as Windows queues it";
    RunUntilIdle();
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_REMOVE_DEVICE}}));
    EXPECT_EQ(State(n0), NodeState::Removed);
}

// A child yanked while its bus still reports it keeps its node; with a handle open, neither that
// nor its parent's uninstall sends it a removal before the handle closes.
TEST_F(PnpRemoval, AYankedChildWithAHandleWaitsForItThroughItsParentsUninstall)
{
    PlugTwo();
    simk::user::Handle handle = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(c0->pdo, &handle), STATUS_SUCCESS);
    SurpriseRemoveDevice(n0);
    EXPECT_EQ(State(n0), NodeState::SurpriseRemoved);
    EXPECT_TRUE(AwaitingCloses(n0));
    EXPECT_EQ(Children(busNode), (std::vector<DeviceNode*>{n0, n1})) << "its bus still reports it";

    ClearIrpLog();
    ASSERT_EQ(RemoveDevice(busNode), STATUS_SUCCESS);
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n1, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {busNode, IRP_MN_QUERY_REMOVE_DEVICE},
                                                   {n1, IRP_MN_REMOVE_DEVICE},
                                                   {busNode, IRP_MN_REMOVE_DEVICE}}));
    ClearIrpLog();
    ASSERT_EQ(simk::user::Close(handle), STATUS_SUCCESS);
    RunUntilIdle();
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_REMOVE_DEVICE}}));
    EXPECT_EQ(State(n0), NodeState::Removed);
}

TEST_F(PnpRemoval, BusDriverFaultsAroundItsChildrenAreCaught)
{
    // A PDO deleted at a removal while its bus still reports it.
    ChildShape faulty;
    faulty.deleteAtAnyRemoval = true;
    pnptest::Child* child = bus->Plug(faulty);
    bus->Invalidate();
    RunUntilIdle();
    DeviceNode* node = FindNodeByPdo(child->pdo);
    ASSERT_NE(node, nullptr);
    {
        simk::verifier::Expect deleted(simk::verifier::rules::PdoDeletedWhileReported);
        // The node still lists the deleted PDO, so the next request to it is caught too.
        simk::verifier::Expect sentToDeleted(simk::verifier::rules::IrpToDeletedDevice);
        EXPECT_EQ(DisableDevice(node), STATUS_SUCCESS);
        EXPECT_EQ(deleted.Count(), 1u);
        EXPECT_EQ(EnableDevice(node), STATUS_SUCCESS);
        EXPECT_TRUE(sentToDeleted.Seen());
        EXPECT_EQ(RemoveDevice(busNode), STATUS_SUCCESS);
    }
}
TEST_F(PnpRemoval, SurpriseRemovalReachesEveryStartedStackBeforeAnyRemoval)
{
    PlugTwo();
    SurpriseRemoveDevice(busNode);
    EXPECT_EQ(RemovalTraffic(), (std::vector<Sent>{{n0, IRP_MN_SURPRISE_REMOVAL},
                                                   {n1, IRP_MN_SURPRISE_REMOVAL},
                                                   {busNode, IRP_MN_SURPRISE_REMOVAL},
                                                   {n0, IRP_MN_REMOVE_DEVICE},
                                                   {n1, IRP_MN_REMOVE_DEVICE},
                                                   {busNode, IRP_MN_REMOVE_DEVICE}}));
    EXPECT_TRUE(RootDevices().empty());
    EXPECT_TRUE(simk::DevicesOfDriver(bus->Driver()).empty());
}

// Surprise removal, removal and cancel-remove must not fail; Windows treats it as a driver bug.
TEST_F(PnpRemoval, FailingWhatMustNotFailIsCaught)
{
    ChildShape badSurprise;
    badSurprise.surpriseRemovalStatus = STATUS_UNSUCCESSFUL;
    ChildShape badRemove;
    badRemove.removeStatus = STATUS_DEVICE_BUSY;
    PlugTwo(badSurprise, badRemove);
    bus->Unplug(c0);
    bus->Invalidate();
    SIMK_EXPECT_VIOLATION("PnpIrpFailedSurpriseRemoval", RunUntilIdle());
    EXPECT_EQ(State(n0), NodeState::Removed); // the manager goes on regardless

    {
        simk::verifier::Expect failedRemove("PnpIrpFailedRemoveDevice");
        bus->Unplug(c1);
        bus->Invalidate();
        RunUntilIdle();
        ASSERT_EQ(failedRemove.Count(), 1u);
        EXPECT_NE(failedRemove.Captured()[0].details.find("0x80000011"), std::string::npos)
            << failedRemove.Captured()[0].details;
    }

    pnptest::Child* c2 = nullptr;
    ChildShape badCancel;
    badCancel.queryRemoveStatus = STATUS_UNSUCCESSFUL;
    badCancel.cancelRemoveStatus = STATUS_UNSUCCESSFUL;
    c2 = bus->Plug(badCancel);
    bus->Invalidate();
    RunUntilIdle();
    SIMK_EXPECT_VIOLATION("PnpIrpFailedCancelRemove", RemoveDevice(FindNodeByPdo(c2->pdo)));
}

class PnpFunctionDouble : public PnpRemoval
{};

TEST_F(PnpFunctionDouble, AttachesOverChildrenAndPowersThemDownOnTheWayOut)
{
    ChildFunctionDriverOptions options;
    options.powerDownOnSurpriseRemoval = true;
    options.powerDownOnRemove = true;
    SetChildFunctionDriver(options);
    PlugTwo();
    EXPECT_TRUE(Info(n0).functionDriverAttached);
    EXPECT_EQ(ChildFunctionDeviceCount(), 2u);
    DEVICE_OBJECT* fdo = c0->pdo->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(fdo->DriverObject, ChildFunctionDriver());
    EnumerateNow(n0);
    ASSERT_EQ(IrpLogFor(n0).size(), 1u);
    EXPECT_EQ(IrpLogFor(n0)[0].target, fdo); // requests go to the top of the stack
    // The start went through the FDO down to the PDO.
    std::vector<UCHAR> seen = Minors(bus->ChildSeen(c0));
    EXPECT_NE(std::find(seen.begin(), seen.end(), IRP_MN_START_DEVICE), seen.end());

    bus->Unplug(c0);
    bus->Invalidate();
    RunUntilIdle();
    // D3 once, before the surprise removal reaches the PDO; then the removal; the FDO is gone.
    std::vector<pnptest::SeenIrp> tail = bus->ChildSeen(c0);
    ASSERT_GE(tail.size(), 3u);
    const auto& power = tail[tail.size() - 3];
    EXPECT_EQ(power.major, IRP_MJ_POWER);
    EXPECT_EQ(power.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(power.detail, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(tail[tail.size() - 2].minor, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(tail.back().minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(ChildFunctionDeviceCount(), 1u);
    EXPECT_FALSE(simk::IsDeviceObject(fdo));
    auto reported = simk::power::SetPowerStateCallsFor(c0->pdo);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].state.DeviceState, PowerDeviceD3);
}

TEST_F(PnpFunctionDouble, PowersDownOnRemovalAloneWhenAskedOnlyForThat)
{
    ChildFunctionDriverOptions options;
    options.powerDownOnRemove = true;
    SetChildFunctionDriver(options);
    PlugTwo();
    bus->Unplug(c1);
    bus->Invalidate();
    RunUntilIdle();
    std::vector<pnptest::SeenIrp> tail = bus->ChildSeen(c1);
    ASSERT_GE(tail.size(), 3u);
    EXPECT_EQ(tail[tail.size() - 3].minor, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(tail[tail.size() - 2].major, IRP_MJ_POWER);
    EXPECT_EQ(tail.back().minor, IRP_MN_REMOVE_DEVICE);

    // The manager's log shows the double's own power request, sent while the removal was under way.
    std::vector<IrpRecord> log = IrpLogFor(n1);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].major, IRP_MJ_PNP);
    EXPECT_EQ(log[log.size() - 2].minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(log.back().major, IRP_MJ_POWER);
    EXPECT_EQ(log.back().detail, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(log.back().status, STATUS_SUCCESS);
    EXPECT_EQ(log.back().target, c1->pdo);
}

TEST_F(PnpFunctionDouble, ChoosesChildrenByHardwareIdAndCanFailAddDevice)
{
    ChildFunctionDriverOptions options;
    options.hardwareId = u"testbus\\WANTED";
    SetChildFunctionDriver(options);
    ChildShape wanted;
    wanted.hardwareIds = {u"TestBus\\Other", u"TestBus\\Wanted"};
    PlugTwo(wanted, {});
    EXPECT_TRUE(Info(n0).functionDriverAttached);
    EXPECT_FALSE(Info(n1).functionDriverAttached);
    EXPECT_EQ(c1->pdo->AttachedDevice, nullptr);

    options.hardwareId.clear();
    options.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
    SetChildFunctionDriver(options);
    pnptest::Child* c2 = bus->Plug();
    bus->Invalidate();
    RunUntilIdle();
    DeviceNode* n2 = FindNodeByPdo(c2->pdo);
    EXPECT_EQ(State(n2), NodeState::AddDeviceFailed);
    EXPECT_EQ(Info(n2).problem, STATUS_INSUFFICIENT_RESOURCES);
    std::vector<UCHAR> seen = Minors(bus->ChildSeen(c2));
    EXPECT_EQ(std::find(seen.begin(), seen.end(), IRP_MN_START_DEVICE), seen.end());
}

TEST_F(PnpRemoval, TargetRelationNamingAnotherDeviceIsCaught)
{
    ChildShape wrong;
    wrong.targetRelationNamesTheBus = true;
    PlugTwo(wrong);
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::InvalidTargetRelation, QueryTargetDeviceRelation(n0));
    EXPECT_EQ(QueryTargetDeviceRelation(n1), STATUS_SUCCESS);
}

} // namespace
