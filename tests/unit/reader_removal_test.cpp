// The reader's removal protocol, request by request: query-remove and cancel, removal on and off
// the bus, surprise removal, and a reader whose state was overwritten after it left its bus. A
// reader is deleted only by a removal that comes after a relations reply no longer listed it.
#include "bus_test_driver.h"

#include "simkernel/power.h"

namespace {

using namespace msdsc::testing;

class ReaderRemovalTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        m_Bus = AddBus();
        m_Reader = CreateReader(m_Bus);
        ASSERT_NE(m_Reader, nullptr);
        m_Device = m_Reader->m_DeviceObject;
        m_Reader->ChangeState(ReaderState::Started);
        ReportReaders(m_Bus);
    }

    bool Exists() const
    {
        for (PDEVICE_OBJECT device : simk::DevicesOfDriver(m_Driver)) {
            if (device == m_Device) {
                return true;
            }
        }
        return false;
    }

    bool Listed() const
    {
        PVOID payload = nullptr;
        return m_Bus->m_Readers.Find(ReaderKey(m_Reader->m_Number), &payload) == Ok;
    }

    NTSTATUS Send(UCHAR minor) { return SendPnp(m_Device, minor).status; }

    BusDevice* m_Bus = nullptr;
    ReaderDevice* m_Reader = nullptr;
    PDEVICE_OBJECT m_Device = nullptr;
};

TEST_F(ReaderRemovalTest, QueryRemoveThenCancelReturnsToStarted)
{
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->m_State, ReaderState::RemovePending);
    EXPECT_EQ(m_Reader->m_PreviousState, ReaderState::Started);
    EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->m_State, ReaderState::Started);
    EXPECT_TRUE(Listed());
}

// A cancelled query-remove leaves nothing behind: a removal without a query-remove after it (as
// after a failed start) leaves the reader on its bus, reported in the next relations reply.
TEST_F(ReaderRemovalTest, RemovalAfterACancelledQueryRemoveLeavesTheReaderOnItsBus)
{
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Exists());
    EXPECT_EQ(ReportReaders(m_Bus), std::vector<PDEVICE_OBJECT>{m_Device});
}

TEST_F(ReaderRemovalTest, QueryRemoveThenRemovalTakesAStartedReaderOffItsBusAndTheNextRemovalDeletesIt)
{
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    const size_t queuedBefore = simk::pnp::QueuedWorkCount();
    const IrpOutcome removed = SendPnp(m_Device, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(removed.status, STATUS_SUCCESS);
    EXPECT_EQ(removed.returned, STATUS_SUCCESS);
    EXPECT_EQ(m_Bus->m_Readers.Count(), 0u);
    EXPECT_EQ(simk::pnp::QueuedWorkCount(), queuedBefore + 1) << "the bus is enumerated again";
    EXPECT_TRUE(Exists()) << "the last reply Plug and Play has still lists it";

    EXPECT_EQ(ReportReaders(m_Bus), std::vector<PDEVICE_OBJECT>{});
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());
}

TEST_F(ReaderRemovalTest, RemovalOfAListedReaderWithoutQueryRemoveDeletesNothing)
{
    for (ReaderState state : {ReaderState::Started, ReaderState::NotStarted}) {
        m_Reader->ChangeState(state);
        const ReaderState previous = m_Reader->m_PreviousState;
        EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_TRUE(Exists());
        EXPECT_TRUE(Listed());
        EXPECT_EQ(m_Reader->m_State, state);
        EXPECT_EQ(m_Reader->m_PreviousState, previous);
    }
}

TEST_F(ReaderRemovalTest, SurpriseRemovalTakesAListedReaderOffItsBusAndTheRemovalDeletesIt)
{
    const size_t queuedBefore = simk::pnp::QueuedWorkCount();
    EXPECT_EQ(Send(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->m_State, ReaderState::Unplugged);
    EXPECT_FALSE(Listed());
    EXPECT_TRUE(Exists()) << "surprise removal deletes nothing";
    EXPECT_EQ(simk::pnp::QueuedWorkCount(), queuedBefore + 1);
    ReportReaders(m_Bus);
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());
}

TEST_F(ReaderRemovalTest, SurpriseRemovalOfAnUnpluggedReaderDoesNotTouchTheBusAgain)
{
    ASSERT_EQ(m_Bus->RemoveReader(ReaderOf(m_Device)->m_Number), STATUS_SUCCESS);
    ReportReaders(m_Bus);
    const size_t queuedBefore = simk::pnp::QueuedWorkCount();
    EXPECT_EQ(Send(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(simk::pnp::QueuedWorkCount(), queuedBefore);
    EXPECT_EQ(m_Reader->m_State, ReaderState::Unplugged);
    EXPECT_EQ(m_Reader->m_PreviousState, ReaderState::Started);
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());
}

// The client removed the reader, then its state was overwritten before Plug and Play's removal
// arrived: by a device power-down, or by a query-remove. Off its bus, it is deleted all the same.
TEST_F(ReaderRemovalTest, ReaderOffItsBusIsDeletedWhateverItsStateWasOverwrittenWith)
{
    ASSERT_EQ(m_Bus->RemoveReader(ReaderOf(m_Device)->m_Number), STATUS_SUCCESS);
    ReportReaders(m_Bus);
    ASSERT_TRUE(simk::power::SetDevicePower(m_Device, PowerDeviceD3).completed);
    ASSERT_EQ(m_Reader->m_State, ReaderState::NotStarted);
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());

    ReaderDevice* second = CreateReader(m_Bus);
    m_Device = second->m_DeviceObject;
    ReportReaders(m_Bus);
    ASSERT_EQ(m_Bus->RemoveReader(ReaderOf(m_Device)->m_Number), STATUS_SUCCESS);
    ReportReaders(m_Bus);
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(second->m_State, ReaderState::RemovePending);
    const size_t queuedBefore = simk::pnp::QueuedWorkCount();
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());
    EXPECT_EQ(simk::pnp::QueuedWorkCount(), queuedBefore) << "it was no longer on the bus to take off";
}

} // namespace
