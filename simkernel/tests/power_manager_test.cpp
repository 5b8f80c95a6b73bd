// The power manager: the states drivers report with PoSetPowerState, and power requests sent to a
// device as the power manager sends them.
#include "simkernel/kernel.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/power.h"
#include "simkernel/testing.h"
#include "simkernel/verifier.h"

#include "kernel_test_driver.h"

namespace power = simk::power;
namespace rules = simk::verifier::rules;
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

TEST_F(PowerManager, SetPowerStateReturnsWhatWasReportedBeforePerDevice)
{
    LowerDriver driver;
    DEVICE_OBJECT* a = driver.CreateDevice();
    DEVICE_OBJECT* b = driver.CreateDevice();

    EXPECT_EQ(PoSetPowerState(a, DevicePowerState, Device(PowerDeviceD0)).DeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(a, DevicePowerState, Device(PowerDeviceD3)).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(b, DevicePowerState, Device(PowerDeviceD2)).DeviceState, PowerDeviceUnspecified);

    EXPECT_EQ(power::DevicePowerStateOf(a), PowerDeviceD3);
    EXPECT_EQ(power::DevicePowerStateOf(b), PowerDeviceD2);
    auto calls = power::SetPowerStateCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].device, a);
    EXPECT_EQ(calls[1].state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(calls[2].device, b);
    EXPECT_EQ(power::SetPowerStateCallsFor(a).size(), 2u);

    power::ClearRecords();
    EXPECT_TRUE(power::SetPowerStateCalls().empty());
    EXPECT_EQ(power::DevicePowerStateOf(a), PowerDeviceD3); // the state is not a record
}

// "PoSetPowerState function": a device state from D0 to D3, at most APC_LEVEL, DISPATCH_LEVEL only
// to report D0, which a device the power manager calls at PASSIVE_LEVEL only never does there.
TEST_F(PowerManager, SetPowerStateTakesDeviceStatesOnlyAtTheirIrql)
{
    LowerDriver driver;
    DEVICE_OBJECT* device = driver.CreateDevice();
    SIMK_EXPECT_VIOLATION(rules::PoSetPowerStateType,
                          PoSetPowerState(device, SystemPowerState, System(PowerSystemSleeping3)));
    SIMK_EXPECT_VIOLATION(rules::PoSetPowerStateType,
                          PoSetPowerState(device, DevicePowerState, Device(PowerDeviceUnspecified)));
    SIMK_EXPECT_VIOLATION(rules::PoSetPowerStateType,
                          PoSetPowerState(device, DevicePowerState, Device(PowerDeviceMaximum)));

    simk::ScopedIrql dispatch(DISPATCH_LEVEL);
    PoSetPowerState(device, DevicePowerState, Device(PowerDeviceD0));
    SIMK_EXPECT_VIOLATION(rules::IrqlPoSetPowerState, PoSetPowerState(device, DevicePowerState, Device(PowerDeviceD3)));
    EXPECT_EQ(power::SetPowerStateCalls().size(), 5u);
}

TEST_F(PowerManager, RequestsArriveAsThePowerManagerBuildsThem)
{
    LowerDriver driver;
    DEVICE_OBJECT* device = driver.CreateDevice();

    auto set = power::SetSystemPower(device, PowerSystemHibernate, PowerActionHibernate);
    EXPECT_TRUE(set.completed);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_TRUE(set.startNextBeforeCompletion);
    // Pageable, the device is called at PASSIVE_LEVEL; before, at DISPATCH_LEVEL.
    device->Flags |= DO_POWER_PAGABLE;
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
    EXPECT_EQ(seen[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(seen[1].irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen[1].location.MinorFunction, IRP_MN_QUERY_POWER);
    EXPECT_EQ(seen[1].location.Parameters.Power.Type, DevicePowerState);
    EXPECT_EQ(seen[1].location.Parameters.Power.State.DeviceState, PowerDeviceD2);
    EXPECT_EQ(power::StartNextPowerIrpCalls().size(), 2u);
}

// While a function or filter driver handles a set-power it calls nothing only PASSIVE_LEVEL allows,
// and on the way to sleep it allocates no pool (the paging device may already be off). Waking,
// or for a device's own set-power, an allocation is no breach.
TEST_F(PowerManager, SetPowerPathThatAllocatesOrCallsPassiveOnlyRoutinesIsReported)
{
    LowerDriver lower;
    PDEVICE_OBJECT pdo = lower.CreateDevice();
    pdo->Flags |= DO_POWER_PAGABLE;
    ktest::InProcessDriver owner(u"KTestPowerOwner");
    PDEVICE_OBJECT fdo = owner.CreateDevice();
    PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(fdo, pdo);
    ASSERT_EQ(below, pdo);
    fdo->Flags |= DO_POWER_PAGABLE;
    owner.OnDispatch([&](PDEVICE_OBJECT, PIRP irp) {
        ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 16, 'wPsT'), 'wPsT');
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(below, irp);
    });

    {
        simk::verifier::Expect allocated(simk::verifier::rules::PowerDownAllocate);
        simk::verifier::Expect passiveOnly(simk::verifier::rules::PowerIrpDDIs);
        EXPECT_TRUE(power::SetSystemPower(fdo, PowerSystemSleeping3).completed);
        EXPECT_EQ(allocated.Count(), 1u);
        EXPECT_EQ(passiveOnly.Count(), 1u);
        EXPECT_NE(passiveOnly.Captured()[0].details.find("IoOpenDeviceRegistryKey"), std::string::npos);
    }
    {
        simk::verifier::Expect passiveOnly(simk::verifier::rules::PowerIrpDDIs);
        EXPECT_TRUE(power::SetSystemPower(fdo, PowerSystemWorking).completed);
        EXPECT_TRUE(power::SetDevicePower(fdo, PowerDeviceD3).completed);
        EXPECT_EQ(passiveOnly.Count(), 2u);
    }
    // A query is no set-power: neither rule applies.
    EXPECT_TRUE(power::QuerySystemPower(fdo, PowerSystemSleeping3).completed);
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
    simk::ScopedIrql high(HIGH_LEVEL);
    SIMK_EXPECT_VIOLATION(rules::IrqlIoDispatch, PoStartNextPowerIrp(nullptr));
}

} // namespace
