// The power manager: the states drivers report with PoSetPowerState, and power requests sent to a
// device as the power manager sends them.
#include "simkernel/kernel.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/power.h"
#include "simkernel/testing.h"

namespace power = simk::power;
using simk::test::Action;
using simk::test::LowerDriver;
using simk::test::Response;

namespace {

class PowerManager : public simk::testing::KernelTest
{};

POWER_STATE Device(DEVICE_POWER_STATE s)
{
    POWER_STATE p;
    p.DeviceState = s;
    return p;
}

POWER_STATE System(SYSTEM_POWER_STATE s)
{
    POWER_STATE p;
    p.SystemState = s;
    return p;
}

TEST_F(PowerManager, SetPowerStateReturnsWhatWasReportedBeforePerDeviceAndType)
{
    LowerDriver driver;
    DEVICE_OBJECT* a = driver.CreateDevice();
    DEVICE_OBJECT* b = driver.CreateDevice();

    EXPECT_EQ(PoSetPowerState(a, DevicePowerState, Device(PowerDeviceD0)).DeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(a, SystemPowerState, System(PowerSystemSleeping3)).SystemState, PowerSystemUnspecified);
    EXPECT_EQ(PoSetPowerState(a, DevicePowerState, Device(PowerDeviceD3)).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(b, DevicePowerState, Device(PowerDeviceD2)).DeviceState, PowerDeviceUnspecified);

    EXPECT_EQ(power::DevicePowerStateOf(a), PowerDeviceD3);
    EXPECT_EQ(power::SystemPowerStateOf(a), PowerSystemSleeping3);
    EXPECT_EQ(power::DevicePowerStateOf(b), PowerDeviceD2);
    auto calls = power::SetPowerStateCalls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[1].device, a);
    EXPECT_EQ(calls[1].type, SystemPowerState);
    EXPECT_EQ(calls[1].state.SystemState, PowerSystemSleeping3);
    EXPECT_EQ(calls[3].device, b);
    EXPECT_EQ(power::SetPowerStateCallsFor(a).size(), 3u);

    power::ClearRecords();
    EXPECT_TRUE(power::SetPowerStateCalls().empty());
    EXPECT_EQ(power::DevicePowerStateOf(a), PowerDeviceD3); // the state is not a record
}

TEST_F(PowerManager, RequestsArriveAsThePowerManagerBuildsThem)
{
    LowerDriver driver;
    DEVICE_OBJECT* device = driver.CreateDevice();

    auto set = power::SetSystemPower(device, PowerSystemHibernate, PowerActionHibernate);
    EXPECT_TRUE(set.completed);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_TRUE(set.startNextBeforeCompletion);
    auto query = power::QueryDevicePower(device, PowerDeviceD2);
    EXPECT_EQ(query.status, STATUS_SUCCESS);

    auto seen = driver.Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].location.MajorFunction, IRP_MJ_POWER);
    EXPECT_EQ(seen[0].location.MinorFunction, IRP_MN_SET_POWER);
    EXPECT_EQ(seen[0].location.Parameters.Power.Type, SystemPowerState);
    EXPECT_EQ(seen[0].location.Parameters.Power.State.SystemState, PowerSystemHibernate);
    EXPECT_EQ(seen[0].location.Parameters.Power.ShutdownType, PowerActionHibernate);
    EXPECT_EQ(seen[0].statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(seen[0].irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen[1].location.MinorFunction, IRP_MN_QUERY_POWER);
    EXPECT_EQ(seen[1].location.Parameters.Power.Type, DevicePowerState);
    EXPECT_EQ(seen[1].location.Parameters.Power.State.DeviceState, PowerDeviceD2);
    EXPECT_EQ(power::StartNextPowerIrpCalls().size(), 2u);
}

TEST_F(PowerManager, ACompletionWithoutStartNextIsSeenAndReported)
{
    LowerDriver driver;
    DEVICE_OBJECT* device = driver.CreateDevice();
    Response forgetful;
    forgetful.callStartNextPowerIrp = false;
    driver.SetResponse(IRP_MJ_POWER, forgetful);
    power::PowerIrpResult result;
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::PowerIrpNoStartNext,
                          result = power::SetDevicePower(device, PowerDeviceD3));
    EXPECT_TRUE(result.completed);
    EXPECT_FALSE(result.startNextBeforeCompletion);
    EXPECT_TRUE(power::StartNextPowerIrpCalls().empty());
}

TEST_F(PowerManager, PendingRequestsAreWaitedForAndFailuresPassBack)
{
    LowerDriver driver;
    DEVICE_OBJECT* device = driver.CreateDevice();
    Response later;
    later.action = Action::PendAndCompleteOnThread;
    later.delayMs = 20;
    later.status = STATUS_DEVICE_BUSY;
    driver.SetResponse(IRP_MJ_POWER, later);
    auto result = power::SetDevicePower(device, PowerDeviceD1);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.status, STATUS_DEVICE_BUSY);
    EXPECT_TRUE(result.startNextBeforeCompletion);
    driver.JoinThreads();
}

TEST_F(PowerManager, CallsAboveTheirIrqlAreCaught)
{
    LowerDriver driver;
    DEVICE_OBJECT* device = driver.CreateDevice();
    simk::ScopedIrql high(HIGH_LEVEL);
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::IrqlIoDispatch,
                          PoSetPowerState(device, DevicePowerState, Device(PowerDeviceD0)));
}

} // namespace
