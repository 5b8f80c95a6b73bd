// A reader's power requests: the device power state mirrored into its state, system requests
// reported and nothing else, and every request completed after PoStartNextPowerIrp.
#include "bus_test_driver.h"

#include "simkernel/power.h"

namespace {

using namespace msdsc::testing;

class ReaderPowerTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        m_Reader = CreateReader(AddBus());
        ASSERT_NE(m_Reader, nullptr);
        simk::power::ClearRecords();
    }

    PDEVICE_OBJECT Device() const { return m_Reader->m_DeviceObject; }

    static void ExpectCompletedWith(const simk::power::PowerIrpResult& result, NTSTATUS status)
    {
        EXPECT_TRUE(result.completed);
        EXPECT_EQ(result.status, status);
        EXPECT_TRUE(result.startNextBeforeCompletion);
    }

    ReaderDevice* m_Reader = nullptr;
};

struct DeviceStateRow
{
    ReaderState before;
    DEVICE_POWER_STATE request;
    ReaderState after;
};

class DeviceSetPower : public ReaderPowerTest, public ::testing::WithParamInterface<DeviceStateRow> {};

TEST_P(DeviceSetPower, MirrorsTheDeviceStateAndKeepsTheOneBefore)
{
    const DeviceStateRow row = GetParam();
    m_Reader->ChangeState(row.before);
    ExpectCompletedWith(simk::power::SetDevicePower(Device(), row.request), STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->m_State, row.after);
    EXPECT_EQ(m_Reader->m_PreviousState, row.before);
    const auto calls = simk::power::SetPowerStateCallsFor(Device());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].type, DevicePowerState);
    EXPECT_EQ(calls[0].state.DeviceState, row.request);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DeviceSetPower,
    ::testing::Values(DeviceStateRow{ReaderState::NotStarted, PowerDeviceD0, ReaderState::Started},
                      DeviceStateRow{ReaderState::Started, PowerDeviceD3, ReaderState::NotStarted},
                      DeviceStateRow{ReaderState::Started, PowerDeviceD1, ReaderState::NotStarted},
                      DeviceStateRow{ReaderState::Started, PowerDeviceD2, ReaderState::NotStarted},
                      DeviceStateRow{ReaderState::Unplugged, PowerDeviceD3, ReaderState::NotStarted},
                      DeviceStateRow{ReaderState::RemovePending, PowerDeviceD0, ReaderState::Started}));

TEST_F(ReaderPowerTest, SystemSetPowerIsReportedAndLeavesTheStateAlone)
{
    m_Reader->ChangeState(ReaderState::Started);
    ExpectCompletedWith(simk::power::SetSystemPower(Device(), PowerSystemSleeping3), STATUS_SUCCESS);
    const auto calls = simk::power::SetPowerStateCallsFor(Device());
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].type, SystemPowerState);
    EXPECT_EQ(calls[0].state.SystemState, PowerSystemSleeping3);
    EXPECT_EQ(m_Reader->m_State, ReaderState::Started);
    EXPECT_EQ(m_Reader->m_PreviousState, ReaderState::NotStarted);
}

TEST_F(ReaderPowerTest, QueriesSucceedAndOtherRequestsAreNotImplemented)
{
    m_Reader->ChangeState(ReaderState::Started);
    ExpectCompletedWith(simk::power::QueryDevicePower(Device(), PowerDeviceD3), STATUS_SUCCESS);
    ExpectCompletedWith(simk::power::QuerySystemPower(Device(), PowerSystemHibernate), STATUS_SUCCESS);
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping1;
    for (UCHAR minor : {UCHAR{IRP_MN_WAIT_WAKE}, UCHAR{IRP_MN_POWER_SEQUENCE}, UCHAR{0x07}}) {
        SCOPED_TRACE(static_cast<int>(minor));
        ExpectCompletedWith(simk::power::SendPowerIrp(Device(), minor, SystemPowerState, state),
                            STATUS_NOT_IMPLEMENTED);
    }
    EXPECT_TRUE(simk::power::SetPowerStateCallsFor(Device()).empty());
    EXPECT_EQ(m_Reader->m_State, ReaderState::Started);
    EXPECT_EQ(m_Reader->m_PreviousState, ReaderState::NotStarted);
    EXPECT_EQ(simk::power::StartNextPowerIrpCalls().size(), 5u);
}

} // namespace
