// The reader's removal protocol, request by request: query-remove and cancel, removal on and off
// the bus, surprise removal, a pulled bus, and a reader whose state was overwritten after it left
// its bus. A reader is deleted only by a removal that comes after a relations reply no longer
// listed it, or by one that comes after its bus was pulled.
#include "support/linked_driver.h"

#include "simkernel/power.h"

namespace {

using namespace msdsc::testing;

class ReaderRemovalTest : public DriverTest
{
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        m_Bus = AddBus();
        m_Reader = CreateReader(m_Bus);
        ASSERT_NE(m_Reader, nullptr);
        m_Device = m_Reader->m_DeviceObject;
        DriveTo(m_Bus, m_Reader, ReaderState::Started);
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
        return m_Bus->m_Roster.m_Readers.Find(ReaderKey(m_Reader->m_ReaderNumber), &payload) == Ok;
    }

    NTSTATUS Send(UCHAR minor) { return SendPnp(m_Device, minor).status; }

    BusDevice* m_Bus = nullptr;
    ReaderDevice* m_Reader = nullptr;
    PDEVICE_OBJECT m_Device = nullptr;
};

// Plug and Play cancels removals it never asked about too (the children of a device whose
// query-remove was vetoed): only a query-remove is undone.
TEST_F(ReaderRemovalTest, CancelRemoveUndoesOnlyAQueryRemove)
{
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->State(), ReaderState::RemovePending);
    EXPECT_EQ(m_Reader->PreviousState(), ReaderState::Started);
    EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->State(), ReaderState::Started);
    EXPECT_TRUE(Listed());

    ASSERT_TRUE(simk::power::SetDevicePower(m_Device, PowerDeviceD3).completed);
    EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->State(), ReaderState::NotStarted) << "no query-remove to undo";
    EXPECT_EQ(m_Reader->PreviousState(), ReaderState::Started);
}

// A restart, a disable, a driver update, an uninstall and a stack that failed all remove a reader
// its bus still reports: it stays on its bus, unstarted, for a later start, and only the client's
// removal followed by a reply without it lets a removal delete it.
TEST_F(ReaderRemovalTest, RemovalWhileItsBusReportsItKeepsTheReaderOnItsBus)
{
    const std::pair<const char*, UCHAR> before[] = {{"after a query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
                                                    {"after a surprise removal", IRP_MN_SURPRISE_REMOVAL},
                                                    {"alone", 0}};
    for (const auto& [name, announcement] : before) {
        SCOPED_TRACE(name);
        DriveTo(m_Bus, m_Reader, ReaderState::Started);
        if (announcement != 0) {
            EXPECT_EQ(Send(announcement), STATUS_SUCCESS);
        }
        const size_t queuedBefore = simk::pnp::QueuedWorkCount();
        EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_TRUE(Exists());
        EXPECT_TRUE(Listed());
        EXPECT_EQ(m_Reader->State(), ReaderState::NotStarted);
        EXPECT_EQ(simk::pnp::QueuedWorkCount(), queuedBefore) << "nothing changed on the bus";
        EXPECT_EQ(ReportReaders(m_Bus), std::vector<PDEVICE_OBJECT>{m_Device});
    }

    ASSERT_EQ(m_Bus->RemoveReader(m_Reader->Handle()), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Exists()) << "the last reply Plug and Play has still lists it";
    EXPECT_EQ(ReportReaders(m_Bus), std::vector<PDEVICE_OBJECT>{});
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());
}

// A pulled bus reports nothing again: Plug and Play's removal of each of its readers is the last.
TEST_F(ReaderRemovalTest, ReaderOfAPulledBusGoesAtItsRemoval)
{
    EXPECT_EQ(Send(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(Listed()) << "its own surprise removal leaves it on the bus";
    ASSERT_EQ(SendPnp(m_Bus->m_DeviceObject, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());
    EXPECT_EQ(m_Bus->m_Roster.m_Readers.Count(), 0u);
}

TEST_F(ReaderRemovalTest, SurpriseRemovalOfAnUnpluggedReaderDoesNotTouchTheBusAgain)
{
    ASSERT_EQ(m_Bus->RemoveReader(ReaderOf(m_Device)->Handle()), STATUS_SUCCESS);
    ReportReaders(m_Bus);
    const size_t queuedBefore = simk::pnp::QueuedWorkCount();
    EXPECT_EQ(Send(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(simk::pnp::QueuedWorkCount(), queuedBefore);
    EXPECT_EQ(m_Reader->State(), ReaderState::Unplugged);
    EXPECT_EQ(m_Reader->PreviousState(), ReaderState::Started);
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());
}

// The client removed the reader, then its state was overwritten before Plug and Play's removal
// arrived: by a device power-down, or by a query-remove. Off its bus, it is deleted all the same.
TEST_F(ReaderRemovalTest, ReaderOffItsBusIsDeletedWhateverItsStateWasOverwrittenWith)
{
    ASSERT_EQ(m_Bus->RemoveReader(ReaderOf(m_Device)->Handle()), STATUS_SUCCESS);
    ReportReaders(m_Bus);
    ASSERT_TRUE(simk::power::SetDevicePower(m_Device, PowerDeviceD3).completed);
    ASSERT_EQ(m_Reader->State(), ReaderState::NotStarted);
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());

    ReaderDevice* second = CreateReader(m_Bus);
    m_Device = second->m_DeviceObject;
    ReportReaders(m_Bus);
    ASSERT_EQ(m_Bus->RemoveReader(ReaderOf(m_Device)->Handle()), STATUS_SUCCESS);
    ReportReaders(m_Bus);
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(second->State(), ReaderState::RemovePending);
    const size_t queuedBefore = simk::pnp::QueuedWorkCount();
    EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Exists());
    EXPECT_EQ(simk::pnp::QueuedWorkCount(), queuedBefore) << "it was no longer on the bus to take off";
}

// Plug and Play knows a reader only once a request of its own has reached it. One that left while
// the reply listing it was on its way waits at that reply's return: Plug and Play may yet identify
// it from there, and then removes it once a reply without it arrives. One it never identified goes
// at the next reply.
TEST_F(ReaderRemovalTest, ReaderLeftUnidentifiedWaitsForTheNextReply)
{
    for (const bool identified : {true, false}) {
        SCOPED_TRACE(identified ? "identified from the reply on its way" : "never identified");
        m_Reader = CreateReader(m_Bus);
        ASSERT_NE(m_Reader, nullptr);
        m_Device = m_Reader->m_DeviceObject;
        PDEVICE_RELATIONS relations = nullptr;
        ASSERT_EQ(m_Bus->m_Roster.BuildReply(&relations, 0), STATUS_SUCCESS);
        ASSERT_EQ(m_Bus->RemoveReader(m_Reader->Handle()), STATUS_SUCCESS);
        m_Bus->m_Roster.SettleReply(true);
        // The roster's reply carries no references yet; Plug and Play frees it once read.
        ExFreePoolWithTag(relations, ReaderRoster::BUS_RELATIONS_TAG);
        EXPECT_TRUE(Exists()) << "deleted while the reply that lists it may still reach Plug and Play";
        if (identified) {
            EXPECT_EQ(Send(IRP_MN_DEVICE_ENUMERATED), STATUS_SUCCESS);
        }

        ReportReaders(m_Bus);
        EXPECT_EQ(Exists(), identified);
        if (identified) {
            EXPECT_EQ(Send(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
            EXPECT_FALSE(Exists());
        }
    }
}

} // namespace
