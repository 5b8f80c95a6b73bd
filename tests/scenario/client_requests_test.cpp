// The client's three control requests, seen from user mode: what each answers for good and bad
// buffers, how adds are spread over the buses, and what a removal does to the reader.
#include "support/client_session.h"

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::ClientTest;
using msdsc::testing::HandleOf;
using msdsc::testing::ReaderObject;
using msdsc::testing::ReaderOf;
using msdsc::testing::RemoveReader;
using msdsc::testing::Reply;
using msdsc::testing::Request;

constexpr ReaderConfig CONFIG = {7, 3, 1};

// The driver's device objects that are readers: everything but the control device and the buses.
size_t ReaderObjectCount(PDRIVER_OBJECT driver, size_t buses)
{
    return simk::DevicesOfDriver(driver).size() - 1 - buses;
}

using ClientRequests = ClientTest;

TEST_F(ClientRequests, VersionIsTheBuiltInVersionLastComponentFirst)
{
    AddStartedBus();
    simk::user::Handle handle = Open();

    const Reply exact = Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 8);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.information, 8u);
    EXPECT_EQ(exact.bytes, (std::vector<unsigned char>{0x86, 0, 0, 0, 2, 0, 1, 0}));

    // A longer buffer is accepted, and the reply is still the eight bytes; the input is ignored.
    const unsigned char junk[3] = {1, 2, 3};
    const Reply longer = Request(handle, IOCTL_BUS_GET_VERSION, junk, sizeof(junk), 12);
    EXPECT_EQ(longer.status, STATUS_SUCCESS);
    EXPECT_EQ(longer.information, 8u);
    EXPECT_EQ(std::vector<unsigned char>(longer.bytes.begin(), longer.bytes.begin() + 8), exact.bytes);
}

TEST_F(ClientRequests, VersionRefusesShortOrMissingOutput)
{
    AddStartedBus();
    simk::user::Handle handle = Open();

    EXPECT_EQ(Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 7).status, STATUS_INVALID_PARAMETER);
    // No buffer at all: the I/O manager hands the driver no system buffer.
    EXPECT_EQ(Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 0).status, STATUS_INVALID_PARAMETER);
    // Eight bytes of input do not make up for a short output.
    const unsigned char in[8] = {};
    EXPECT_EQ(Request(handle, IOCTL_BUS_GET_VERSION, in, sizeof(in), 4).status, STATUS_INVALID_PARAMETER);
}

TEST_F(ClientRequests, AddHandsBackTheChosenBusAndTheNewReader)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    simk::user::Handle handle = Open();

    const Reply reply = AddReader(handle, CONFIG);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, sizeof(BusReaderHandle));
    const BusReaderHandle reader = HandleOf(reply);
    EXPECT_EQ(reader.BusHandle, BusHandleOf(bus));
    ASSERT_TRUE(simk::IsDeviceObject(ReaderObject(reader)));
    EXPECT_EQ(ReaderObject(reader)->DriverObject, Driver());

    // Plug and Play finds the reader under the bus, starts it, and the reader writes what the
    // client gave into its hardware key.
    simk::pnp::RunUntilIdle();
    simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(ReaderObject(reader));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(simk::pnp::Parent(node), bus);
    EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Started);
    const std::u16string key = simk::pnp::HardwareKeyPath(node);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Number"), CONFIG.Number);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Drive"), CONFIG.Drive);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Log"), CONFIG.Log);
}

TEST_F(ClientRequests, AddAcceptsLongerBuffersAndReadsOnlyTheFirstTwelveBytes)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    simk::user::Handle handle = Open();

    std::vector<unsigned char> in(20, 0xEE);
    std::memcpy(in.data(), &CONFIG, sizeof(CONFIG));
    const Reply reply = Request(handle, IOCTL_BUS_ADD_READER, in.data(), 20, 24);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, sizeof(BusReaderHandle));
    EXPECT_EQ(HandleOf(reply).BusHandle, BusHandleOf(bus));
    const ReaderDevice* reader = ReaderOf(HandleOf(reply));
    EXPECT_EQ(reader->m_Config.Number, CONFIG.Number);
    EXPECT_EQ(reader->m_Config.Drive, CONFIG.Drive);
    EXPECT_EQ(reader->m_Config.Log, CONFIG.Log);
}

TEST_F(ClientRequests, AddRefusesShortBuffersWithoutCreatingOrMovingOn)
{
    simk::pnp::DeviceNode* first = AddStartedBus();
    AddStartedBus();
    simk::user::Handle handle = Open();

    struct Lengths {
        ULONG in;
        ULONG out;
    };
    for (const Lengths lengths : {Lengths{11, 16}, Lengths{12, 15}, Lengths{0, 0}, Lengths{0, 16}, Lengths{12, 0}}) {
        SCOPED_TRACE(testing::Message() << "input " << lengths.in << ", output " << lengths.out);
        const Reply reply = AddReader(handle, CONFIG, lengths.in, lengths.out);
        EXPECT_EQ(reply.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(reply.information, 0u);
    }
    EXPECT_EQ(ReaderObjectCount(Driver(), 2), 0u);

    // None of the refused requests took a turn: the next add still goes to the first bus.
    const Reply reply = AddReader(handle, CONFIG);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(HandleOf(reply).BusHandle, BusHandleOf(first));
}

TEST_F(ClientRequests, AddsTakeTwoStartedBusesInTurnWithTheFirstTwiceAfterEachRound)
{
    simk::pnp::DeviceNode* buses[2] = {AddStartedBus(), AddStartedBus()};
    simk::user::Handle handle = Open();

    std::vector<int> chosen;
    for (int i = 0; i < 6; ++i) {
        const Reply reply = AddReader(handle, CONFIG);
        ASSERT_EQ(reply.status, STATUS_SUCCESS);
        const ULONG64 bus = HandleOf(reply).BusHandle;
        chosen.push_back(bus == BusHandleOf(buses[0]) ? 0 : bus == BusHandleOf(buses[1]) ? 1 : -1);
    }
    EXPECT_EQ(chosen, (std::vector<int>{0, 1, 0, 0, 1, 0}));

    // Each bus reports exactly the readers it was given.
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::Children(buses[0]).size(), 4u);
    EXPECT_EQ(simk::pnp::Children(buses[1]).size(), 2u);
}

// A bus that cannot take readers (never started, or pulled while a handle holds it open) gives
// its turn to the next bus in registry order, and the turn moves on from the bus that took the
// reader, so the started buses still take turns.
TEST_F(ClientRequests, AddSkipsBusesThatAreNotStartedAndTheTurnMovesOnFromTheBusUsed)
{
    AddUnstartedBus();
    simk::pnp::DeviceNode* first = AddStartedBus();
    simk::pnp::DeviceNode* second = AddStartedBus();
    simk::user::Handle handle = Open();

    std::vector<ULONG64> used;
    for (int i = 0; i < 4; ++i) {
        const Reply reply = AddReader(handle, CONFIG);
        ASSERT_EQ(reply.status, STATUS_SUCCESS) << "add " << i;
        used.push_back(HandleOf(reply).BusHandle);
    }
    EXPECT_EQ(used,
              (std::vector<ULONG64>{BusHandleOf(first), BusHandleOf(second), BusHandleOf(first), BusHandleOf(second)}));

    simk::user::Handle onBus = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(simk::pnp::Pdo(second), &onBus), STATUS_SUCCESS);
    simk::pnp::SurpriseRemoveDevice(second);
    for (int i = 0; i < 3; ++i) {
        const Reply reply = AddReader(handle, CONFIG);
        ASSERT_EQ(reply.status, STATUS_SUCCESS) << "add " << i << " after the pull";
        EXPECT_EQ(HandleOf(reply).BusHandle, BusHandleOf(first));
    }
    ASSERT_EQ(simk::user::Close(onBus), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
}

TEST_F(ClientRequests, RemoveUnplugsTheReaderOnceAndPlugAndPlayDeletesIt)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    simk::user::Handle handle = Open();
    const BusReaderHandle reader = HandleOf(AddReader(handle, CONFIG));
    simk::pnp::RunUntilIdle();
    simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(ReaderObject(reader));
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(ReaderOf(reader)->State(), ReaderState::Started);

    simk::pnp::ClearIrpLog();
    const Reply removed = RemoveReader(handle, reader);
    EXPECT_EQ(removed.status, STATUS_SUCCESS);
    EXPECT_EQ(removed.information, 0u);
    EXPECT_EQ(ReaderOf(reader)->State(), ReaderState::Unplugged);
    EXPECT_EQ(ReaderOf(reader)->PreviousState(), ReaderState::Started);

    // The bus is enumerated again, the reader is missing, and Plug and Play removes it.
    simk::pnp::RunUntilIdle();
    bool busEnumerated = false;
    for (const simk::pnp::IrpRecord& record : simk::pnp::IrpLogFor(bus)) {
        busEnumerated |= record.minor == IRP_MN_QUERY_DEVICE_RELATIONS && record.detail == BusRelations;
    }
    EXPECT_TRUE(busEnumerated);
    EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Removed);
    EXPECT_TRUE(simk::pnp::Children(bus).empty());
    EXPECT_EQ(ReaderObjectCount(Driver(), 1), 0u);

    EXPECT_EQ(RemoveReader(handle, reader).status, STATUS_UNSUCCESSFUL);
}

TEST_F(ClientRequests, ReaderRemovedBeforePlugAndPlaySawItIsDeletedAtOnce)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    simk::user::Handle handle = Open();
    const BusReaderHandle reader = HandleOf(AddReader(handle, CONFIG));
    ASSERT_EQ(ReaderObjectCount(Driver(), 1), 1u);

    // No enumeration has run: Plug and Play will never send this reader a removal.
    EXPECT_EQ(RemoveReader(handle, reader).status, STATUS_SUCCESS);
    EXPECT_EQ(ReaderObjectCount(Driver(), 1), 0u);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(simk::pnp::Children(bus).empty());
    EXPECT_EQ(RemoveReader(handle, reader).status, STATUS_UNSUCCESSFUL);
}

TEST_F(ClientRequests, RemoveFindsNothingForHandlesItDidNotGive)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    simk::user::Handle handle = Open();
    const BusReaderHandle reader = HandleOf(AddReader(handle, CONFIG));

    // Halves swapped, a bus that is not registered, a reader that is not on the bus: the values
    // are only compared, never followed.
    const BusReaderHandle swapped = {reader.ReaderHandle, reader.BusHandle};
    const BusReaderHandle noBus = {0x1000, reader.ReaderHandle};
    const BusReaderHandle noReader = {reader.BusHandle, BusHandleOf(bus)};
    const BusReaderHandle zero = {0, 0};
    for (const BusReaderHandle& bad : {swapped, noBus, noReader, zero}) {
        const Reply reply = RemoveReader(handle, bad);
        EXPECT_EQ(reply.status, STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(RemoveReader(handle, reader, 15).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Request(handle, IOCTL_BUS_REMOVE_READER, nullptr, 0, 16).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReaderOf(reader)->State(), ReaderState::NotStarted);

    // The real handle still works after all that; an output buffer is not looked at.
    const Reply reply = Request(handle, IOCTL_BUS_REMOVE_READER, &reader, sizeof(reader), 4);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, 0u);
}

TEST_F(ClientRequests, CodesNoRequestHoldsAreInvalidRequests)
{
    AddStartedBus();
    simk::user::Handle handle = Open();

    const unsigned char buffer[16] = {};
    const ULONG codes[] = {msdsc::testing::UNASSIGNED_CONTROL_CODE, msdsc::testing::UnassignedControlCode(1),
                           CTL_CODE(FILE_DEVICE_UNKNOWN, 0x000, METHOD_BUFFERED, FILE_ANY_ACCESS),
                           CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)};
    for (const ULONG code : codes) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        const Reply reply = Request(handle, code, buffer, sizeof(buffer), 16);
        EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(reply.information, 0u);
    }
    EXPECT_EQ(ReaderObjectCount(Driver(), 1), 0u);
}

} // namespace
