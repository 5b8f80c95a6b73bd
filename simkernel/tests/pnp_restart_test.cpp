// Taking a device down and bringing the same PDO up again as Windows does: "restart device", a
// driver update to another function driver, a resource rebalance, and "scan for hardware changes".
#include "pnp_test_bus.h"

#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/testing.h"

#include <algorithm>

using namespace simk::pnp;
using pnptest::ChildShape;
using pnptest::Minors;
using pnptest::TestBus;

namespace {

class PnpRestart : public pnptest::BusWithChildDriver
{
protected:
    std::vector<UCHAR> LoggedMinors(const DeviceNode* node)
    {
        std::vector<UCHAR> out;
        for (const auto& r : IrpLogFor(node))
            if (r.major == IRP_MJ_PNP)
                out.push_back(r.minor);
        return out;
    }
};

TEST_F(PnpRestart, RestartTakesTheStackDownAndStartsTheSamePdoWithANewStack)
{
    DeviceNode* node = Plug();
    ASSERT_EQ(State(node), NodeState::Started);
    DEVICE_OBJECT* oldFdo = Stack(node).at(1);
    ClearIrpLog();

    EXPECT_EQ(RestartDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(State(node), NodeState::Started);
    EXPECT_EQ(FindNodeByPdo(child->pdo), node);
    ASSERT_EQ(Stack(node).size(), 2u);
    EXPECT_EQ(Stack(node)[1]->DriverObject, ChildFunctionDriver());
    EXPECT_TRUE(simk::IsDeviceDeleted(oldFdo));
    EXPECT_EQ(ChildFunctionDeviceCount(), 1u);
    EXPECT_EQ(LoggedMinors(node),
              (std::vector<UCHAR>{IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE,
                                  IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                  IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_DEVICE_RELATIONS}));
}

TEST_F(PnpRestart, VetoedRestartIsCancelledAndKeepsTheRunningStack)
{
    ChildShape shape;
    shape.queryRemoveStatus = STATUS_DEVICE_BUSY;
    DeviceNode* node = Plug(shape);
    DEVICE_OBJECT* fdo = Stack(node).at(1);
    DeviceNode* vetoedBy = nullptr;
    EXPECT_EQ(RestartDevice(node, &vetoedBy), STATUS_DEVICE_BUSY);
    EXPECT_EQ(vetoedBy, node);
    EXPECT_EQ(State(node), NodeState::Started);
    EXPECT_EQ(Stack(node).at(1), fdo);
    const auto seen = Minors(bus->ChildSeen(child));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_CANCEL_REMOVE_DEVICE), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_REMOVE_DEVICE), 0);
}

TEST_F(PnpRestart, DriverUpdatePutsTheNewFunctionDriverOnTheSamePdo)
{
    DeviceNode* node = Plug();
    DRIVER_OBJECT* updated = pnptest::LoadPassThroughDriver(u"UpdatedFunction");
    ASSERT_NE(updated, nullptr);
    EXPECT_EQ(UpdateDriver(node, updated), STATUS_SUCCESS);
    EXPECT_EQ(State(node), NodeState::Started);
    ASSERT_EQ(Stack(node).size(), 2u);
    EXPECT_EQ(Stack(node)[1]->DriverObject, updated);
    EXPECT_EQ(ChildFunctionDeviceCount(), 0u);
    // It stays the device's driver through a later restart.
    EXPECT_EQ(RestartDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(Stack(node).at(1)->DriverObject, updated);
    EXPECT_EQ(RemoveDevice(node), STATUS_SUCCESS);
}

TEST_F(PnpRestart, NodeWaitingAtProblem28StartsWithAnUpdatedDriver)
{
    ChildShape shape;
    shape.rawDeviceOk = false;
    shape.hardwareIds = {u"TestBus\\Unknown"};
    DeviceNode* node = Plug(shape);
    ASSERT_EQ(State(node), NodeState::NotInstalled);
    DRIVER_OBJECT* updated = pnptest::LoadPassThroughDriver(u"UpdatedFunction");
    EXPECT_EQ(UpdateDriver(node, updated), STATUS_SUCCESS);
    EXPECT_EQ(State(node), NodeState::Started);
    EXPECT_EQ(Stack(node).at(1)->DriverObject, updated);
}

TEST_F(PnpRestart, RebalanceRestartIsNotAskedForItsDeviceStateAndAFailedOneTakesTheSubtree)
{
    DeviceNode* node = Plug();
    RootDeviceConsumesResources(busNode, true);
    ClearIrpLog();
    EXPECT_EQ(Rebalance(busNode), STATUS_SUCCESS);
    // IRP_MN_QUERY_PNP_DEVICE_STATE is not sent on a start after a stop for rebalancing.
    const std::vector<UCHAR> rebalanced = {IRP_MN_QUERY_STOP_DEVICE,
                                           IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                                           IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                                           IRP_MN_STOP_DEVICE,
                                           IRP_MN_START_DEVICE,
                                           IRP_MN_QUERY_CAPABILITIES};
    EXPECT_EQ(LoggedMinors(busNode), rebalanced);
    EXPECT_EQ(LoggedMinors(node), rebalanced) << "the child goes through the rebalance of its bus";

    // The bus's own restart fails: its child, which ran on it, is surprise-removed and removed.
    bus->failNextStart = true;
    EXPECT_NE(Rebalance(busNode), STATUS_SUCCESS);
    EXPECT_EQ(State(busNode), NodeState::StartFailed);
    EXPECT_EQ(State(node), NodeState::Removed);
    const auto seen = Minors(bus->ChildSeen(child));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_SURPRISE_REMOVAL), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_REMOVE_DEVICE), 1);
}

TEST_F(PnpRestart, ScanForHardwareChangesFindsWhatNoDriverReported)
{
    DeviceNode* first = Plug();
    // A child arrives without its bus telling Plug and Play; the scan asks every bus.
    pnptest::Child* quiet = bus->Plug();
    ScanForHardwareChanges();
    DeviceNode* found = FindNodeByPdo(quiet->pdo);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(State(found), NodeState::Started);
    EXPECT_EQ(State(first), NodeState::Started);
    EXPECT_EQ(Children(busNode).size(), 2u);
}

// A stop and a cancel-stop are requests no driver may fail: a bus that fails them is named.
TEST_F(PnpRestart, FailedStopAndCancelStopAreCaught)
{
    // Only a device that consumes resources is stopped: for any other the manager cancels the stop.
    ChildShape failsStop;
    failsStop.consumesResources = true;
    failsStop.queryStopStatus = STATUS_SUCCESS;
    failsStop.stopStatus = STATUS_UNSUCCESSFUL;
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::IrpFailedStopDevice, Rebalance(Plug(failsStop)));

    ChildShape failsCancel;
    failsCancel.queryStopStatus = STATUS_DEVICE_BUSY;
    failsCancel.cancelStopStatus = STATUS_UNSUCCESSFUL;
    DeviceNode* node = Plug(failsCancel);
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::IrpFailedCancelStop, EXPECT_EQ(Rebalance(node), STATUS_DEVICE_BUSY));
    EXPECT_EQ(State(node), NodeState::Started);
}

} // namespace
