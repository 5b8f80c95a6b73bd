// System power over the device tree: S3 and S4 and back to S0 in the order Windows uses, with the
// function-driver double as its stack's power policy owner asking for the D-IRP its DeviceState
// table names before it completes the system IRP.
#include "pnp_test_bus.h"

#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/power.h"
#include "simkernel/testing.h"
#include "simkernel/verifier.h"

#include <chrono>

using namespace simk::pnp;
using pnptest::ChildShape;

namespace {

using PnpPower = pnptest::BusWithChildDriver;

TEST_F(PnpPower, SleepGoesFromTheLeavesUpAndTheOwnerAsksForItsMappedDeviceState)
{
    DeviceNode* node = Plug();
    ASSERT_EQ(State(node), NodeState::Started);
    ClearIrpLog();

    ASSERT_EQ(SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(CurrentSystemPowerState(), PowerSystemSleeping3);
    std::vector<std::pair<DeviceNode*, UCHAR>> order;
    for (const auto& r : IrpLog())
        if (r.major == IRP_MJ_POWER)
            order.push_back({r.node, r.minor});
    // Queries, child first; then the child's S-IRP, the D2 its table names, then the bus's S-IRP
    // and the D3 its own policy owner asks for.
    ASSERT_EQ(order.size(), 6u);
    EXPECT_EQ(order[0], std::make_pair(node, UCHAR(IRP_MN_QUERY_POWER)));
    EXPECT_EQ(order[1], std::make_pair(busNode, UCHAR(IRP_MN_QUERY_POWER)));
    EXPECT_EQ(order[2], std::make_pair(node, UCHAR(IRP_MN_SET_POWER)));
    EXPECT_EQ(order[3], std::make_pair(node, UCHAR(IRP_MN_SET_POWER)));
    EXPECT_EQ(IrpLog()[3].detail, static_cast<ULONG>(PowerDeviceD2));
    EXPECT_EQ(order[4], std::make_pair(busNode, UCHAR(IRP_MN_SET_POWER)));
    EXPECT_EQ(order[5], std::make_pair(busNode, UCHAR(IRP_MN_SET_POWER)));
    EXPECT_EQ(IrpLog()[5].detail, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(simk::power::DevicePowerStateOf(child->pdo), PowerDeviceD2);

    // Back to S0: the bus first, then the child and its D0.
    ClearIrpLog();
    ASSERT_EQ(SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    order.clear();
    for (const auto& r : IrpLog())
        if (r.major == IRP_MJ_POWER)
            order.push_back({r.node, r.minor});
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order[0].first, busNode);
    EXPECT_EQ(order[1].first, busNode);
    EXPECT_EQ(order[2].first, node);
    EXPECT_EQ(IrpLog()[3].detail, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(simk::power::DevicePowerStateOf(child->pdo), PowerDeviceD0);
}

TEST_F(PnpPower, HibernationMapsToD3AndAVetoedQueryChangesNothing)
{
    DeviceNode* node = Plug();
    ASSERT_EQ(SetSystemPowerState(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(simk::power::DevicePowerStateOf(child->pdo), PowerDeviceD3);
    ASSERT_EQ(SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(State(node), NodeState::Started);

    ChildShape vetoing;
    vetoing.failSystemQuery = true;
    Plug(vetoing);
    ClearIrpLog();
    EXPECT_EQ(SetSystemPowerState(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(CurrentSystemPowerState(), PowerSystemWorking);
    for (const auto& r : IrpLog())
        EXPECT_NE(r.minor, IRP_MN_SET_POWER);
}

// The power manager's watchdog: a stack that holds a system set-power past it is reported by the
// name of its device, and the transition goes on without it.
TEST_F(PnpPower, StackHoldingASystemSetPowerIsReportedByName)
{
    ChildShape holding;
    holding.holdSystemSet = true;
    holding.instanceId = u"Held";
    DeviceNode* node = Plug(holding);
    ASSERT_EQ(State(node), NodeState::Started);
    SetPendingIrpTimeout(std::chrono::milliseconds(50));
    {
        simk::verifier::Expect timedOut(simk::verifier::rules::SystemPowerIrpTimeout);
        EXPECT_EQ(SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(timedOut.Count(), 1u);
        EXPECT_NE(timedOut.Captured()[0].details.find(simk::Narrow(InstancePath(node))), std::string::npos)
            << timedOut.Captured()[0].details;
        EXPECT_NE(timedOut.Captured()[0].details.find("set-power to S3"), std::string::npos);
    }
    bus->CompleteHeldPower(child);
    ASSERT_EQ(SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
}

// A function driver that passes the system set-power down and asks for no device set-power lets
// its device sleep unknown to the drivers below: the power policy owner's rule, each way.
TEST_F(PnpPower, PolicyOwnerThatAsksForNoDevicePowerIsReported)
{
    ChildShape shape;
    shape.hardwareIds = {u"TestBus\\PassThrough"};
    InstallDriver(shape.hardwareIds[0], pnptest::LoadPassThroughDriver(u"PassThroughOwner"));
    DeviceNode* node = Plug(shape);
    ASSERT_EQ(State(node), NodeState::Started);
    for (const auto& [state, rule] : {std::pair{PowerSystemSleeping3, simk::verifier::rules::MarkPowerDown},
                                      std::pair{PowerSystemWorking, simk::verifier::rules::MarkDevicePower}}) {
        simk::verifier::Expect unasked(rule);
        EXPECT_EQ(SetSystemPowerState(state), STATUS_SUCCESS);
        ASSERT_EQ(unasked.Count(), 1u) << rule;
        EXPECT_NE(unasked.Captured()[0].details.find(simk::Narrow(InstancePath(node))), std::string::npos);
    }
}

TEST_F(PnpPower, FailedSystemSetPowerIsCaught)
{
    ChildShape failing;
    failing.systemSetPowerStatus = STATUS_UNSUCCESSFUL;
    Plug(failing);
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::PowerSystemSetFailed, SetSystemPowerState(PowerSystemSleeping3));
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::PowerSystemSetFailed, SetSystemPowerState(PowerSystemWorking));
}

} // namespace
