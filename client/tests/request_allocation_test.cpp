// The driver allocates pool on no request path except for the replies it hands to Plug and Play
// (and the one list entry that a new reader is): counted with the simulated kernel's pool totals,
// which see every ExAllocatePoolWithTag, also one freed again before the request ends.
#include "client_fixture.h"
#include "simkernel/power.h"

namespace msdsc::testing {
namespace {

// Requests that hand a pool block to the Plug and Play manager in IoStatus.Information.
bool CarriesReply(const simk::pnp::IrpRecord& record)
{
    if (record.major != IRP_MJ_PNP || !NT_SUCCESS(record.status) || record.information == 0)
        return false;
    switch (record.minor) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_DEVICE_TEXT:
    case IRP_MN_QUERY_BUS_INFORMATION:
        return true;
    default:
        return false;
    }
}

size_t RepliesSinceLogCleared()
{
    size_t replies = 0;
    for (const simk::pnp::IrpRecord& record : simk::pnp::IrpLog())
        replies += CarriesReply(record) ? 1 : 0;
    return replies;
}

class RequestAllocations : public LoadedDriverTest
{
protected:
    void SetUp() override
    {
        LoadedDriverTest::SetUp();
        if (HasFatalFailure())
            return;
        m_Buses[0] = AddStartedBus();
        m_Buses[1] = AddStartedBus();
        ASSERT_EQ(m_Client.Open(), STATUS_SUCCESS);
    }

    // Starts counting: from here every allocation must be explained.
    void Mark()
    {
        simk::pnp::RunUntilIdle();
        simk::pnp::ClearIrpLog();
        m_Total = simk::pool::TotalAllocations();
        m_Entries = simk::pool::OutstandingCount(simk::Tag("apsl"));
        m_DriverBlocks = simk::pool::OutstandingCount(m_Driver);
    }
    unsigned long long AllocatedSinceMark() const { return simk::pool::TotalAllocations() - m_Total; }
    long EntriesSinceMark() const
    {
        return static_cast<long>(simk::pool::OutstandingCount(simk::Tag("apsl"))) - static_cast<long>(m_Entries);
    }
    long DriverBlocksSinceMark() const
    {
        return static_cast<long>(simk::pool::OutstandingCount(m_Driver)) - static_cast<long>(m_DriverBlocks);
    }

    BusReaderHandle AddReader(ULONG number)
    {
        BusReaderHandle handle{};
        EXPECT_EQ(m_Client.AddReader(ReaderConfig{number, 1, 0}, &handle), STATUS_SUCCESS);
        return handle;
    }

    simk::pnp::DeviceNode* m_Buses[2] = {};
    ControlClient m_Client;
    unsigned long long m_Total = 0;
    size_t m_Entries = 0;
    size_t m_DriverBlocks = 0;
};

TEST_F(RequestAllocations, ControlRequestsThatCreateNothingAllocateNothing)
{
    const BusReaderHandle handle = AddReader(1);
    Mark();
    DriverVersion version{};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(m_Client.GetVersion(&version), STATUS_SUCCESS);
    EXPECT_EQ(m_Client.RemoveReader(BusReaderHandle{0, 0}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_Client.RemoveReader(BusReaderHandle{handle.BusHandle, 0x1234}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(AllocatedSinceMark(), 0u);
}

TEST_F(RequestAllocations, AddingAReaderAllocatesItsListEntryAndRepliesOnly)
{
    Mark();
    AddReader(1);
    AddReader(2);
    simk::pnp::RunUntilIdle();
    const size_t replies = RepliesSinceLogCleared();
    EXPECT_GT(replies, 0u) << "Plug and Play should have asked the new readers who they are";
    EXPECT_EQ(AllocatedSinceMark(), replies + 2) << "beyond one list entry per reader and the replies";
    EXPECT_EQ(EntriesSinceMark(), 2);
    EXPECT_EQ(DriverBlocksSinceMark(), 2) << "the replies must all have been handed over and freed";
}

TEST_F(RequestAllocations, PowerRequestsToAReaderAllocateNothing)
{
    const BusReaderHandle handle = AddReader(1);
    Mark();
    simk::pnp::RunUntilIdle();
    ASSERT_NE(ReaderNode(handle), nullptr);
    DEVICE_OBJECT* pdo = simk::pnp::Pdo(ReaderNode(handle));
    EXPECT_TRUE(simk::power::SetDevicePower(pdo, PowerDeviceD3).completed);
    EXPECT_TRUE(simk::power::SetDevicePower(pdo, PowerDeviceD0).completed);
    EXPECT_TRUE(simk::power::QuerySystemPower(pdo, PowerSystemSleeping1).completed);
    EXPECT_EQ(AllocatedSinceMark(), 0u);
}

TEST_F(RequestAllocations, RemovalAndCleanupAllocateOnlyBusRelationsReplies)
{
    const BusReaderHandle first = AddReader(1);
    AddReader(2);
    AddReader(3);
    Mark();
    ASSERT_EQ(m_Client.RemoveReader(first), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(AllocatedSinceMark(), RepliesSinceLogCleared());
    EXPECT_EQ(EntriesSinceMark(), -1);

    Mark();
    ASSERT_EQ(m_Client.Close(), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    const size_t replies = RepliesSinceLogCleared();
    EXPECT_GE(replies, 2u) << "each bus is re-enumerated after the cleanup";
    EXPECT_EQ(AllocatedSinceMark(), replies);
    EXPECT_EQ(EntriesSinceMark(), -2);
}

} // namespace
} // namespace msdsc::testing
