// System power over the device tree: S3 and S4 and back to S0 in the order Windows uses, with the
// function-driver double as its stack's power policy owner asking for the D-IRP its DeviceState
// table names before it completes the system IRP.
#include "pnp_test_bus.h"

#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/power.h"
#include "simkernel/testing.h"

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
    // Queries, child first; then the child's S-IRP, the D2 its table names, then the bus's S-IRP.
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order[0], std::make_pair(node, UCHAR(IRP_MN_QUERY_POWER)));
    EXPECT_EQ(order[1], std::make_pair(busNode, UCHAR(IRP_MN_QUERY_POWER)));
    EXPECT_EQ(order[2], std::make_pair(node, UCHAR(IRP_MN_SET_POWER)));
    EXPECT_EQ(order[3], std::make_pair(node, UCHAR(IRP_MN_SET_POWER)));
    EXPECT_EQ(IrpLog()[3].detail, static_cast<ULONG>(PowerDeviceD2));
    EXPECT_EQ(order[4], std::make_pair(busNode, UCHAR(IRP_MN_SET_POWER)));
    EXPECT_EQ(simk::power::DevicePowerStateOf(child->pdo), PowerDeviceD2);
    EXPECT_EQ(simk::power::SystemPowerStateOf(child->pdo), PowerSystemSleeping3);

    // Back to S0: the bus first, then the child and its D0.
    ClearIrpLog();
    ASSERT_EQ(SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    order.clear();
    for (const auto& r : IrpLog())
        if (r.major == IRP_MJ_POWER)
            order.push_back({r.node, r.minor});
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0].first, busNode);
    EXPECT_EQ(order[1].first, node);
    EXPECT_EQ(IrpLog()[2].detail, static_cast<ULONG>(PowerDeviceD0));
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

} // namespace
