// The client library against the real driver image in the simulated kernel: every failure reaches
// the caller with the driver's status and the message for that request, and a session on two
// buses leaves nothing behind.
#include <cstring>

#include "client_fixture.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/user.h"

namespace msdsc::testing {
namespace {

using simk::pnp::NodeState;
using ::testing::HasSubstr;

TEST(ClientWithoutDriver, OpenSaysTheDriverIsNotLoaded)
{
    simk::Kernel kernel;
    ControlClient client;
    EXPECT_EQ(client.Open(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.LastOperation(), MsdscOperationOpen);
    EXPECT_THAT(client.LastMessage(), HasSubstr("driver is not loaded"));
}

using ClientOpen = LoadedDriverTest;

TEST_F(ClientOpen, NoBusDeviceThenBusAddedThenOpens)
{
    ControlClient client;
    EXPECT_EQ(client.Open(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_STREQ(client.LastMessage(), "no bus device is installed");
    EXPECT_FALSE(client.IsOpen());

    AddStartedBus();
    EXPECT_EQ(client.Open(), STATUS_SUCCESS);
    EXPECT_TRUE(client.IsOpen());
    // The failure stays readable after later successes, so a caller can report it late.
    EXPECT_EQ(client.LastStatus(), STATUS_INVALID_DEVICE_STATE);
}

// The open a planted name or server could exploit: a per-session DosDevices name, or an open that
// lets whatever answers act as the caller. The client names the global link and allows only
// identification.
TEST_F(ClientOpen, OpensTheGlobalNameForIdentificationOnly)
{
    AddStartedBus();
    ControlClient client;
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    const simk::user::OpenRecord open = simk::user::LastOpen();
    EXPECT_EQ(open.path, u"\\\\.\\Global\\MicroSDSmartCardControl");
    EXPECT_EQ(open.request.securityQos, ULONG(SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
    EXPECT_EQ(open.request.disposition, ULONG(FILE_OPEN));
    EXPECT_EQ(open.request.desiredAccess & (GENERIC_READ | GENERIC_WRITE), ULONG(GENERIC_READ | GENERIC_WRITE));
}

TEST_F(ClientOpen, SecondClientIsRefusedUntilTheFirstCloses)
{
    AddStartedBus();
    ControlClient first, second;
    ASSERT_EQ(first.Open(), STATUS_SUCCESS);
    EXPECT_EQ(second.Open(), STATUS_SHARING_VIOLATION);
    EXPECT_STREQ(second.LastMessage(), "another session holds the control device: close it first");
    EXPECT_TRUE(first.IsOpen());

    DriverVersion version{};
    EXPECT_EQ(first.GetVersion(&version), STATUS_SUCCESS) << "the refused open must not disturb the first";
    EXPECT_EQ(first.Close(), STATUS_SUCCESS);
    EXPECT_EQ(second.Open(), STATUS_SUCCESS);
}

// The two refusals a user meets at open say different things: elevate, or close the other session.
TEST_F(ClientOpen, NotElevatedIsToldApartFromHeldByAnotherSession)
{
    AddStartedBus();
    ControlClient plain;
    {
        simk::user::ActingAs user(simk::user::Caller::User);
        EXPECT_EQ(plain.Open(), STATUS_ACCESS_DENIED);
    }
    EXPECT_THAT(plain.LastMessage(), HasSubstr("only an administrator"));

    ControlClient first, second;
    ASSERT_EQ(first.Open(), STATUS_SUCCESS);
    {
        simk::user::ActingAs user(simk::user::Caller::User);
        EXPECT_EQ(plain.Open(), STATUS_ACCESS_DENIED) << "a plain user is not told that the device is busy";
    }
    EXPECT_EQ(second.Open(), STATUS_SHARING_VIOLATION);
    EXPECT_THAT(second.LastMessage(), HasSubstr("another session holds the control device"));
    EXPECT_STRNE(plain.LastMessage(), second.LastMessage());
}

TEST_F(ClientOpen, OneObjectHoldsOneHandle)
{
    AddStartedBus();
    ControlClient client;
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    EXPECT_EQ(client.Open(), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(simk::user::OpenHandleCount(), 1u) << "a second Open on the same object must not leak a handle";
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    EXPECT_EQ(simk::user::OpenHandleCount(), 0u);
    EXPECT_EQ(client.Close(), STATUS_INVALID_HANDLE);
    EXPECT_STREQ(client.LastMessage(), "the control device is not open");
}

TEST_F(ClientOpen, RequestsOnAClosedClientFailWithoutReachingTheDriver)
{
    AddStartedBus();
    ControlClient client;
    DriverVersion version{};
    BusReaderHandle handle{};
    EXPECT_EQ(client.GetVersion(&version), STATUS_INVALID_HANDLE);
    EXPECT_EQ(client.AddReader(ReaderConfig{1, 2, 3}, &handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(client.LastOperation(), MsdscOperationAddReader);
    EXPECT_EQ(client.RemoveReader(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(client.LastOperation(), MsdscOperationRemoveReader);
    EXPECT_STREQ(client.LastMessage(), "the control device is not open");
}

TEST_F(ClientOpen, VersionIsTheDriversOwn)
{
    AddStartedBus();
    ControlClient client;
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    DriverVersion version{};
    ASSERT_EQ(client.GetVersion(&version), STATUS_SUCCESS);
    EXPECT_EQ(version.Elements[0], 134);
    EXPECT_EQ(version.Elements[3], 1);
    EXPECT_EQ(FormatVersion(version), "1.2.0.134");
}

TEST_F(ClientOpen, VersionAfterTheLastBusWentSaysNoBus)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    ControlClient client;
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    ASSERT_EQ(simk::pnp::RemoveDevice(bus), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();

    DriverVersion version{};
    EXPECT_EQ(client.GetVersion(&version), STATUS_INVALID_DEVICE_STATE);
    EXPECT_STREQ(client.LastMessage(), "no bus device is installed");
    BusReaderHandle handle{};
    EXPECT_EQ(client.AddReader(ReaderConfig{1, 1, 1}, &handle), STATUS_INVALID_DEVICE_STATE);
    EXPECT_THAT(client.LastMessage(), HasSubstr("no bus device is installed"));
}

using ClientReaders = LoadedDriverTest;

TEST_F(ClientReaders, BadHandlesAreNoSuchReader)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    ControlClient client;
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    BusReaderHandle handle{};
    ASSERT_EQ(client.AddReader(ReaderConfig{7, 1, 0}, &handle), STATUS_SUCCESS);

    const BusReaderHandle zero{0, 0};
    const BusReaderHandle wrongBus{handle.ReaderHandle, handle.ReaderHandle};
    const BusReaderHandle wrongReader{handle.BusHandle, handle.BusHandle};
    for (const BusReaderHandle& bad : {zero, wrongBus, wrongReader}) {
        EXPECT_EQ(client.RemoveReader(bad), STATUS_UNSUCCESSFUL);
        EXPECT_THAT(client.LastMessage(), HasSubstr("no such reader"));
    }
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(Readers(bus).size(), 1u) << "a refused removal must leave the reader in place";

    EXPECT_EQ(client.RemoveReader(handle), STATUS_SUCCESS);
    EXPECT_EQ(client.RemoveReader(handle), STATUS_UNSUCCESSFUL) << "the same handle twice";
    EXPECT_THAT(client.LastMessage(), HasSubstr("no such reader"));
}

TEST_F(ClientReaders, BusNotStartedRefusesTheReader)
{
    // AddDevice without a start: the bus is registered, so the control device opens, but a bus
    // that Plug and Play has not started creates no reader.
    simk::test::LowerDriver lower;
    PDEVICE_OBJECT pdo = lower.CreateDevice();
    ASSERT_EQ(m_Driver->DriverExtension->AddDevice(m_Driver, pdo), STATUS_SUCCESS);

    ControlClient client;
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    BusReaderHandle handle{0x1111, 0x2222};
    BusReaderHandle untouched = handle;
    EXPECT_EQ(client.AddReader(ReaderConfig{1, 2, 3}, &handle), STATUS_INVALID_DEVICE_STATE);
    EXPECT_THAT(client.LastMessage(), HasSubstr("not started"));
    EXPECT_EQ(std::memcmp(&handle, &untouched, sizeof(handle)), 0) << "a failed add must not write the handle";
    // The cleanup re-enumerates the bus through the device it was attached over, which here is a
    // test driver's device and not a PDO Plug and Play knows.
    SIMK_EXPECT_VIOLATION("PnpInvalidPdo", EXPECT_EQ(client.Close(), STATUS_SUCCESS));
}

// The whole user story: readers on two buses, one removed, the rest removed by closing.
TEST_F(ClientReaders, SessionOnTwoBusesLeavesNothingBehind)
{
    simk::pnp::DeviceNode* buses[2] = {AddStartedBus(), AddStartedBus()};
    const size_t devicesBefore = simk::DevicesOfDriver(m_Driver).size();
    const size_t poolBefore = simk::pool::OutstandingCount(m_Driver);

    ControlClient client;
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    const ReaderConfig configs[3] = {{7, 1, 0}, {8, 2, 1}, {9, 3, 0xFFFFFFFF}};
    BusReaderHandle handles[3];
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(client.AddReader(configs[i], &handles[i]), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();

    // Round robin over the registry: bus 0, bus 1, then bus 0 again.
    EXPECT_EQ(handles[0].BusHandle, handles[2].BusHandle);
    EXPECT_NE(handles[0].BusHandle, handles[1].BusHandle);
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(ReaderNode(handles[i]), nullptr) << "reader " << i;
        EXPECT_EQ(simk::pnp::Parent(ReaderNode(handles[i])), buses[i == 1 ? 1 : 0]) << "reader " << i;
    }
    ASSERT_EQ(Readers(buses[0]).size(), 2u);
    ASSERT_EQ(Readers(buses[1]).size(), 1u);

    std::vector<simk::pnp::DeviceNode*> readerNodes;
    for (int i = 0; i < 3; ++i) {
        simk::pnp::DeviceNode* node = ReaderNode(handles[i]);
        ASSERT_NE(node, nullptr) << "reader " << i << ": its handle names no device Plug and Play knows";
        readerNodes.push_back(node);
        EXPECT_EQ(simk::pnp::State(node), NodeState::Started);
        EXPECT_EQ(ReaderValue(node, "Number"), configs[i].Number);
        EXPECT_EQ(ReaderValue(node, "Drive"), configs[i].Drive);
        EXPECT_EQ(ReaderValue(node, "Log"), configs[i].Log);
        EXPECT_EQ(ReaderValue(node, "Exists"), 1u);
    }

    ASSERT_EQ(client.RemoveReader(handles[1]), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(readerNodes[1]), NodeState::Removed);
    EXPECT_TRUE(Readers(buses[1]).empty());
    EXPECT_EQ(Readers(buses[0]).size(), 2u);

    ASSERT_EQ(client.Close(), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    for (simk::pnp::DeviceNode* node : readerNodes)
        EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_TRUE(Readers(buses[0]).empty());
    EXPECT_TRUE(Readers(buses[1]).empty());
    EXPECT_EQ(simk::pnp::State(buses[0]), NodeState::Started);
    EXPECT_EQ(simk::pnp::State(buses[1]), NodeState::Started);
    EXPECT_EQ(simk::DevicesOfDriver(m_Driver).size(), devicesBefore) << "a reader device object outlived the session";
    EXPECT_EQ(simk::pool::OutstandingCount(m_Driver), poolBefore) << simk::pool::Describe(simk::pool::Outstanding());
    EXPECT_EQ(simk::pnp::OwnedPoolBlocks(), 0u);

    // The control device is free again for the next session.
    ControlClient next;
    EXPECT_EQ(next.Open(), STATUS_SUCCESS);
}

TEST_F(ClientReaders, DestroyingTheClientClosesTheSession)
{
    simk::pnp::DeviceNode* bus = AddStartedBus();
    {
        ControlClient client;
        ASSERT_EQ(client.Open(), STATUS_SUCCESS);
        BusReaderHandle handle{};
        ASSERT_EQ(client.AddReader(ReaderConfig{1, 0, 0}, &handle), STATUS_SUCCESS);
        simk::pnp::RunUntilIdle();
        ASSERT_EQ(Readers(bus).size(), 1u);
    }
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(Readers(bus).empty());
    ControlClient next;
    EXPECT_EQ(next.Open(), STATUS_SUCCESS);
}

// ---- The C surface -------------------------------------------------------------------------------

// The C surface's answers: the driver's status with the message for that call, and the library's
// own refusals of a missing argument before anything is sent. Its whole session is the C program's
// (tests/c_program).
TEST_F(ClientOpen, CSurfaceOpenFailureLeavesNoClient)
{
    MsdscClient* client = reinterpret_cast<MsdscClient*>(0x1);
    const char* message = nullptr;
    EXPECT_EQ(MsdscOpen(&client, &message), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client, nullptr);
    EXPECT_STREQ(message, "no bus device is installed");
    EXPECT_EQ(MsdscGetVersion(nullptr, nullptr, &message), STATUS_INVALID_HANDLE);
    EXPECT_THAT(message, HasSubstr("NULL"));
    EXPECT_EQ(MsdscClose(nullptr, nullptr), STATUS_INVALID_HANDLE);
}

TEST_F(ClientReaders, CSurfaceAnswersWithTheStatusAndItsMessage)
{
    AddStartedBus();
    MsdscClient* client = nullptr;
    const char* message = nullptr;
    ASSERT_EQ(MsdscOpen(&client, &message), STATUS_SUCCESS);
    EXPECT_STREQ(message, "success");

    MsdscReaderHandle handle;
    std::memset(&handle, 0xA5, sizeof(handle));
    const MsdscReaderHandle untouched = handle;
    EXPECT_EQ(MsdscAddReader(client, 1, 2, 3, nullptr, &message), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(message, HasSubstr("NULL"));
    ASSERT_EQ(MsdscAddReader(client, 1, 2, 3, &handle, &message), STATUS_SUCCESS);
    EXPECT_NE(std::memcmp(&handle, &untouched, sizeof(handle)), 0);

    // A handle with one byte changed names no reader, and the message says so for a removal.
    MsdscReaderHandle other = handle;
    other.bytes[15] ^= 0x80;
    EXPECT_EQ(MsdscRemoveReader(client, &other, &message), STATUS_UNSUCCESSFUL);
    EXPECT_STREQ(message, MsdscStatusMessage(MsdscOperationRemoveReader, STATUS_UNSUCCESSFUL));
    EXPECT_EQ(MsdscRemoveReader(client, &handle, nullptr), STATUS_SUCCESS) << "a NULL message is allowed";
    EXPECT_EQ(MsdscClose(client, &message), STATUS_SUCCESS);
}

TEST(ClientMessages, SameStatusReadsDifferentlyPerOperation)
{
    const std::string atOpen = MsdscStatusMessage(MsdscOperationOpen, STATUS_INVALID_DEVICE_STATE);
    const std::string atAdd = MsdscStatusMessage(MsdscOperationAddReader, STATUS_INVALID_DEVICE_STATE);
    const std::string atRemove = MsdscStatusMessage(MsdscOperationRemoveReader, STATUS_UNSUCCESSFUL);
    const std::string atAddUnsuccessful = MsdscStatusMessage(MsdscOperationAddReader, STATUS_UNSUCCESSFUL);
    EXPECT_NE(atOpen, atAdd);
    EXPECT_NE(atRemove, atAddUnsuccessful);
    // An unknown status still gets a message, never null or empty.
    const char* unknown = MsdscStatusMessage(MsdscOperationRemoveReader, static_cast<MsdscStatus>(0xC0001234));
    ASSERT_NE(unknown, nullptr);
    EXPECT_GT(std::strlen(unknown), 0u);
    EXPECT_STREQ(MsdscStatusMessage(MsdscOperationClose, STATUS_SUCCESS), "success");
}

} // namespace
} // namespace msdsc::testing
