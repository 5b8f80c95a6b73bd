// A reader's power requests: the device power state mirrored into its state, system requests
// reported and nothing else, and every request completed after PoStartNextPowerIrp.
#include "support/linked_driver.h"

#include "simkernel/power.h"

namespace {

using namespace msdsc::testing;

class ReaderPowerTest : public DriverTest
{
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        m_Bus = AddBus();
        m_Reader = CreateReader(m_Bus);
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

    // Brings the reader into a state by the requests that lead there, then forgets them.
    void Prepare(ReaderState state)
    {
        DriveTo(m_Bus, m_Reader, state);
        simk::power::ClearRecords();
    }

    BusDevice* m_Bus = nullptr;
    ReaderDevice* m_Reader = nullptr;
};

struct DeviceStateRow {
    ReaderState before;
    DEVICE_POWER_STATE request;
    ReaderState after;
};

class DeviceSetPower : public ReaderPowerTest, public ::testing::WithParamInterface<DeviceStateRow>
{};

TEST_P(DeviceSetPower, MirrorsTheDeviceStateAndKeepsTheOneBefore)
{
    const DeviceStateRow row = GetParam();
    Prepare(row.before);
    const ReaderState previous = m_Reader->State();
    ExpectCompletedWith(simk::power::SetDevicePower(Device(), row.request), STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->State(), row.after);
    EXPECT_EQ(m_Reader->PreviousState(), previous);
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

// A system state is never reported with PoSetPowerState (its page allows device states only); the
// device request that follows is what the reader acts on.
TEST_F(ReaderPowerTest, SystemSetPowerSucceedsUnreportedAndLeavesTheStateAlone)
{
    Prepare(ReaderState::Started);
    ExpectCompletedWith(simk::power::SetSystemPower(Device(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(simk::power::SetPowerStateCallsFor(Device()).empty());
    EXPECT_EQ(m_Reader->State(), ReaderState::Started);
    EXPECT_EQ(m_Reader->PreviousState(), ReaderState::NotStarted);
}

// Wake is refused as a device without wake-up refuses it, the power sequence is not implemented,
// and a minor code nobody documents keeps the status it came with.
TEST_F(ReaderPowerTest, QueriesSucceedWakeIsUnsupportedAndUnknownRequestsKeepTheirStatus)
{
    Prepare(ReaderState::Started);
    ExpectCompletedWith(simk::power::QueryDevicePower(Device(), PowerDeviceD3), STATUS_SUCCESS);
    ExpectCompletedWith(simk::power::QuerySystemPower(Device(), PowerSystemHibernate), STATUS_SUCCESS);
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping1;
    const std::pair<UCHAR, NTSTATUS> rows[] = {{IRP_MN_WAIT_WAKE, STATUS_NOT_SUPPORTED},
                                               {IRP_MN_POWER_SEQUENCE, STATUS_NOT_IMPLEMENTED},
                                               {0x07, STATUS_NOT_SUPPORTED}};
    for (const auto& [minor, status] : rows) {
        SCOPED_TRACE(static_cast<int>(minor));
        ExpectCompletedWith(simk::power::SendPowerIrp(Device(), minor, SystemPowerState, state), status);
    }
    EXPECT_TRUE(simk::power::SetPowerStateCallsFor(Device()).empty());
    EXPECT_EQ(m_Reader->State(), ReaderState::Started);
    EXPECT_EQ(m_Reader->PreviousState(), ReaderState::NotStarted);
    EXPECT_EQ(simk::power::StartNextPowerIrpCalls().size(), 5u);
}

} // namespace
