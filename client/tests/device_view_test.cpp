// The device view over the simulated Plug and Play manager: every reader device node with its
// number, instance path, presence, start and problem code, and waiting for a reader to start or go.
#include <cstring>

#include "client_fixture.h"
#include "device_view.h"

namespace msdsc::testing {
namespace {

using ::testing::HasSubstr;

constexpr MsdscStatus STATUS_IO_TIMEOUT_VALUE = static_cast<MsdscStatus>(0xC00000B5u);
const char16_t READER_HARDWARE_ID[] = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);

class DeviceView : public LoadedDriverTest
{
protected:
    void SetUp() override
    {
        simk::pnp::ChildFunctionDriverOptions reader;
        reader.hardwareId = READER_HARDWARE_ID;
        m_Reader = reader;
        LoadedDriverTest::SetUp();
        if (HasFatalFailure())
            return;
        simk::pnp::SetChildFunctionDriver(m_Reader);
        AddStartedBus();
        AddStartedBus();
        ASSERT_EQ(MsdscOpen(&m_Client, nullptr), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (m_Client)
            MsdscClose(m_Client, nullptr);
        LoadedDriverTest::TearDown();
    }

    MsdscReaderHandle Add(uint32_t number)
    {
        MsdscReaderHandle handle{};
        EXPECT_EQ(MsdscAddReader(m_Client, number, 1, 0, &handle, nullptr), STATUS_SUCCESS);
        return handle;
    }

    // The instance path the simulated manager built for the present reader with that number.
    static std::string PathOfReader(uint32_t number)
    {
        for (simk::pnp::DeviceNode* bus : simk::pnp::RootDevices())
            for (simk::pnp::DeviceNode* reader : simk::pnp::Children(bus)) {
                const simk::pnp::NodeInfo info = simk::pnp::Info(reader);
                if (info.busInformation && info.busInformation->BusNumber == number)
                    return simk::Narrow(info.instancePath);
            }
        return "(no present reader " + std::to_string(number) + ")";
    }

    std::vector<MsdscReaderDevice> List()
    {
        MsdscReaderDevice devices[16];
        uint32_t count = 0;
        EXPECT_EQ(MsdscListReaderDevices(devices, 16, &count, nullptr), STATUS_SUCCESS);
        return std::vector<MsdscReaderDevice>(devices, devices + std::min<uint32_t>(count, 16));
    }

    simk::pnp::ChildFunctionDriverOptions m_Reader;
    MsdscClient* m_Client = nullptr;
};

TEST_F(DeviceView, ReadersByNumberWithTheirPathsAndStates)
{
    EXPECT_TRUE(List().empty());
    const MsdscReaderHandle first = Add(7);
    Add(8);
    Add(9);
    // The view lets Plug and Play finish first: all three are there and started at once.
    std::vector<MsdscReaderDevice> devices = List();
    ASSERT_EQ(devices.size(), 3u);
    const std::string firstPath = PathOfReader(0);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(devices[i].readerNumber, i);
        EXPECT_EQ(std::string(devices[i].instancePath), PathOfReader(i));
        uint32_t fromPath = 99;
        EXPECT_TRUE(ReaderNumberFromInstancePath(devices[i].instancePath, &fromPath));
        EXPECT_EQ(fromPath, i) << "the instance path ends in the reader number";
        EXPECT_EQ(devices[i].present, 1u);
        EXPECT_EQ(devices[i].started, 1u);
        EXPECT_EQ(devices[i].problem, 0u);
    }

    // A removed reader's node stays, no longer present, as Windows keeps it in the registry.
    ASSERT_EQ(MsdscRemoveReader(m_Client, &first, nullptr), STATUS_SUCCESS);
    MsdscReaderDevice device;
    const char* message = nullptr;
    EXPECT_EQ(MsdscWaitForReaderDevice(0, MsdscWaitForGone, 1000, &device, &message), STATUS_SUCCESS);
    EXPECT_EQ(device.present, 0u);
    EXPECT_EQ(std::string(device.instancePath), firstPath);
    devices = List();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].present, 0u);
    EXPECT_EQ(devices[0].started, 0u);
    EXPECT_EQ(devices[1].present, 1u);

    // Waiting for it to start again runs out of time, and says where it stands.
    EXPECT_EQ(MsdscWaitForReaderDevice(0, MsdscWaitForStarted, 50, &device, &message), STATUS_IO_TIMEOUT_VALUE);
    EXPECT_THAT(message, HasSubstr("timed out"));
    EXPECT_EQ(device.readerNumber, 0u);
    EXPECT_EQ(device.present, 0u);
    // A number no node ever had: the time runs out, and the reply names only the number.
    EXPECT_EQ(MsdscWaitForReaderDevice(42, MsdscWaitForStarted, 20, &device, nullptr), STATUS_IO_TIMEOUT_VALUE);
    EXPECT_EQ(device.readerNumber, 42u);
    EXPECT_EQ(device.instancePath[0], '\0');
    EXPECT_EQ(MsdscWaitForReaderDevice(42, MsdscWaitForGone, 0, &device, nullptr), STATUS_SUCCESS);

    ASSERT_EQ(MsdscClose(m_Client, nullptr), STATUS_SUCCESS);
    m_Client = nullptr;
    for (const MsdscReaderDevice& left : List())
        EXPECT_EQ(left.present, 0u) << left.instancePath;
}

// A handle outlived by its reader speaks only for that reader: once removed, or closed with its
// session, waits and the view on it answer "stale handle" at once, although a later reader holds its
// number, started, and the number's node is present.
TEST_F(DeviceView, StaleHandlesNeverAnswerForTheReaderThatTookTheirNumber)
{
    constexpr uint32_t LONG_MS = 30000;
    const MsdscReaderHandle removed = Add(7);
    uint32_t number = 0, reused = 1;
    ASSERT_EQ(MsdscReaderNumberOfHandle(&removed, &number, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(MsdscRemoveReader(m_Client, &removed, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(MsdscWaitForReaderDevice(number, MsdscWaitForGone, LONG_MS, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(MsdscWaitForReader(&removed, MsdscWaitForGone, 0, nullptr, nullptr), MSDSC_STATUS_STALE_HANDLE);
    const MsdscReaderHandle later = Add(8);
    ASSERT_EQ(MsdscReaderNumberOfHandle(&later, &reused, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(reused, number) << "the driver gives the freed number to the next reader";
    MsdscReaderDevice device;
    ASSERT_EQ(MsdscWaitForReader(&later, MsdscWaitForStarted, LONG_MS, &device, nullptr), STATUS_SUCCESS);

    const char* message = nullptr;
    EXPECT_EQ(MsdscWaitForReader(&removed, MsdscWaitForStarted, LONG_MS, &device, &message), MSDSC_STATUS_STALE_HANDLE);
    EXPECT_THAT(message, HasSubstr("stale handle"));
    EXPECT_EQ(device.readerNumber, number);
    EXPECT_EQ(device.present, 0u) << "nothing of the later reader";
    EXPECT_EQ(MsdscWaitForReader(&removed, MsdscWaitForGone, LONG_MS, &device, nullptr), MSDSC_STATUS_STALE_HANDLE);
    EXPECT_EQ(MsdscGetReaderDevice(&removed, &device, nullptr), MSDSC_STATUS_STALE_HANDLE);
    ASSERT_EQ(MsdscGetReaderDevice(&later, &device, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(device.started, 1u);

    // Closing removes the session's readers: its handles are stale, also once a new session's reader
    // takes the number.
    ASSERT_EQ(MsdscClose(m_Client, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(MsdscOpen(&m_Client, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(MsdscWaitForReaderDevice(number, MsdscWaitForGone, LONG_MS, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(MsdscWaitForReader(&later, MsdscWaitForGone, 0, nullptr, nullptr), MSDSC_STATUS_STALE_HANDLE);
    const MsdscReaderHandle third = Add(9);
    ASSERT_EQ(MsdscWaitForReader(&third, MsdscWaitForStarted, LONG_MS, &device, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(device.readerNumber, number);
    EXPECT_EQ(MsdscWaitForReader(&later, MsdscWaitForStarted, LONG_MS, &device, nullptr), MSDSC_STATUS_STALE_HANDLE);
    EXPECT_EQ(MsdscGetReaderDevice(&later, &device, nullptr), MSDSC_STATUS_STALE_HANDLE);
    EXPECT_STREQ(MsdscStatusMessage(MsdscOperationWaitForDevice, MSDSC_STATUS_STALE_HANDLE), message);
}

// A reader Plug and Play could not start shows the problem code Device Manager would show, and a
// wait for its start ends on it at once with the advice for it, by number or by handle.
TEST_F(DeviceView, AProblemWaitingDoesNotCureEndsTheWaitWithTheProblem)
{
    m_Reader.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
    simk::pnp::SetChildFunctionDriver(m_Reader);
    const MsdscReaderHandle handle = Add(7);
    // Far longer than a start takes here: a wait that does not end early fails with the timeout.
    constexpr uint32_t LONG_MS = 30000;
    MsdscReaderDevice device;
    const char* message = nullptr;
    EXPECT_EQ(MsdscWaitForReaderDevice(0, MsdscWaitForStarted, LONG_MS, &device, &message),
              STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_THAT(message, HasSubstr("code 31"));
    std::memset(&device, 0, sizeof(device));
    EXPECT_EQ(MsdscWaitForReader(&handle, MsdscWaitForStarted, LONG_MS, &device, &message),
              STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(device.readerNumber, 0u);
    EXPECT_EQ(device.present, 1u);
    EXPECT_EQ(device.started, 0u);
    EXPECT_EQ(device.problem, PROBLEM_FAILED_ADD);
    EXPECT_THAT(message, HasSubstr("AddDevice"));

    // The add-and-wait hands the handle back with the problem, so the caller can remove the reader.
    MsdscReaderHandle second{};
    EXPECT_EQ(MsdscAddReaderAndWait(m_Client, 8, 1, 0, LONG_MS, &second, &device, &message),
              STATUS_DEVICE_CONFIGURATION_ERROR);
    uint32_t number = 99;
    ASSERT_EQ(MsdscReaderNumberOfHandle(&second, &number, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(number, 1u);
    EXPECT_EQ(device.readerNumber, 1u);
    EXPECT_EQ(MsdscRemoveReader(m_Client, &second, nullptr), STATUS_SUCCESS);

    // Problems Windows shows while it still installs a driver are waited for, as is a node
    // without one: only the set above ends a wait early.
    for (uint32_t problem : {0u, 1u, 9u, 18u})
        EXPECT_EQ(FinalProblemMessage(problem), nullptr) << problem;
    for (uint32_t problem : {10u, 22u, 28u, 31u, 39u, 52u})
        EXPECT_THAT(FinalProblemMessage(problem), HasSubstr("code " + std::to_string(problem)));
}

// A new reader whose installation has not finished shows problem 1, which ends by itself: a wait
// runs on through it (out to its timeout, not failing at once), and ends once the reader starts.
TEST_F(DeviceView, AReaderStillInstallingIsWaitedFor)
{
    simk::pnp::HoldNewDeviceInstalls(true);
    const MsdscReaderHandle handle = Add(7);
    MsdscReaderDevice device;
    EXPECT_EQ(MsdscWaitForReader(&handle, MsdscWaitForStarted, 200, &device, nullptr), STATUS_IO_TIMEOUT_VALUE);
    EXPECT_EQ(device.present, 1u);
    EXPECT_EQ(device.started, 0u);
    EXPECT_EQ(device.problem, 1u);
    simk::pnp::ReleaseHeldInstalls();
    EXPECT_EQ(MsdscWaitForReader(&handle, MsdscWaitForStarted, 30000, &device, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(device.started, 1u);
    EXPECT_EQ(device.problem, 0u);
}

// Handles whose reader half holds no reader number are refused before anything is waited for.
TEST_F(DeviceView, WaitByHandleRefusesAHandleWithoutAReaderNumber)
{
    MsdscReaderHandle handle = Add(7);
    uint32_t number = 99;
    ASSERT_EQ(MsdscReaderNumberOfHandle(&handle, &number, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(number, 0u);
    handle.bytes[9] = 1; // number 256: at or above the cap, no reader has it
    const char* message = nullptr;
    EXPECT_EQ(MsdscReaderNumberOfHandle(&handle, &number, &message), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(message, HasSubstr("no reader number"));
    EXPECT_EQ(MsdscWaitForReader(&handle, MsdscWaitForStarted, 0xFFFFFFFFu, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(MsdscWaitForReader(nullptr, MsdscWaitForStarted, 0, nullptr, &message), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(MsdscAddReaderAndWait(m_Client, 1, 2, 3, 0, nullptr, nullptr, &message), STATUS_INVALID_PARAMETER);
}

// The bus count tells the tools "no bus device is installed" apart from "no reader yet".
TEST_F(DeviceView, BusDevicesAreCountedUntilOneIsPulled)
{
    uint32_t count = 0;
    ASSERT_EQ(MsdscCountBusDevices(&count, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    simk::pnp::SurpriseRemoveDevice(simk::pnp::RootDevices().front());
    ASSERT_EQ(MsdscCountBusDevices(&count, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(MsdscCountBusDevices(nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

// Readers are found by hardware ID and number, not by a fixed path: an absent node from an earlier
// load whose path carries a parent prefix, as Windows builds it for children that claim no unique
// ID, is the same reader number; the present node with that number is the one a wait sees.
TEST_F(DeviceView, NodesWithAParentPrefixAreFoundByTheirNumber)
{
    simk::registry::CreateKey(
        simk::registry::DeviceHardwareKeyPath(MSDSC_UTF16(MSDSC_READER_HARDWARE_ID) u"\\5&2f1e0a&0&1"));
    simk::registry::CreateKey(
        simk::registry::DeviceHardwareKeyPath(MSDSC_UTF16(MSDSC_READER_HARDWARE_ID) u"\\5&2f1e0a&0&12"));
    Add(7);
    Add(8);
    const std::vector<MsdscReaderDevice> devices = List();
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].readerNumber, 0u);
    EXPECT_EQ(devices[1].readerNumber, 1u);
    EXPECT_EQ(devices[1].present, 1u) << "the present node of a number comes first";
    EXPECT_EQ(devices[2].readerNumber, 1u);
    EXPECT_STREQ(devices[2].instancePath, MSDSC_READER_HARDWARE_ID "\\5&2f1e0a&0&1");
    EXPECT_EQ(devices[2].present, 0u);
    EXPECT_EQ(devices[3].readerNumber, 12u);

    MsdscReaderDevice device;
    EXPECT_EQ(MsdscWaitForReaderDevice(1, MsdscWaitForStarted, 1000, &device, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(device.instancePath), PathOfReader(1));
    EXPECT_EQ(MsdscWaitForReaderDevice(12, MsdscWaitForGone, 0, &device, nullptr), STATUS_SUCCESS);
    EXPECT_STREQ(device.instancePath, MSDSC_READER_HARDWARE_ID "\\5&2f1e0a&0&12");
}

TEST_F(DeviceView, ListIntoTooSmallABufferCountsAll)
{
    Add(7);
    Add(8);
    MsdscReaderDevice one;
    std::memset(&one, 0xEE, sizeof(one));
    uint32_t count = 0;
    const char* message = nullptr;
    EXPECT_EQ(MsdscListReaderDevices(&one, 1, &count, &message), static_cast<MsdscStatus>(0x80000005u));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(one.readerNumber, 0u);
    EXPECT_THAT(message, HasSubstr("count"));
    EXPECT_EQ(MsdscListReaderDevices(nullptr, 0, &count, nullptr), static_cast<MsdscStatus>(0x80000005u));
    EXPECT_EQ(MsdscListReaderDevices(nullptr, 0, nullptr, &message), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(MsdscWaitForReaderDevice(0, static_cast<MsdscWaitFor>(7), 0, nullptr, &message),
              STATUS_INVALID_PARAMETER);
}

TEST(ReaderNumberOfAnInstancePath, LastDecimalAfterABackslashOrAmpersand)
{
    uint32_t number = 99;
    EXPECT_TRUE(ReaderNumberFromInstancePath(MSDSC_READER_HARDWARE_ID "\\17", &number));
    EXPECT_EQ(number, 17u);
    EXPECT_TRUE(
        ReaderNumberFromInstancePath("MICROSDSMARTCARDBUS\\MICROSDSMARTCARDREADER\\6&1a2b3c4d&0&4294967295", &number));
    EXPECT_EQ(number, 4294967295u);
    for (const char* bad : {"X\\Y\\", "X\\Y\\4294967296", "X\\Y\\1a", "X\\Y\\5&", "X\\Y\\-1"})
        EXPECT_FALSE(ReaderNumberFromInstancePath(bad, &number)) << bad;
}

} // namespace
} // namespace msdsc::testing

namespace msdsc::testing {
namespace {

constexpr MsdscStatus STATUS_NOT_FOUND_VALUE = static_cast<MsdscStatus>(0xC0000225u);

// A reader's configuration as its function driver saw it, read through the sample reader driver's
// interface, and the driver each reader is bound to: none (problem 28), then the sample.
TEST_F(DeviceView, ReadsWhatTheSampleReadAndNamesEachReadersDriver)
{
    simk::pnp::ClearChildFunctionDriver();
    simk::pnp::UninstallDriverPackage(READER_HARDWARE_ID);
    Add(0x1234);
    Add(0xFFFFFFFF);
    MsdscReaderConfiguration read{};
    const char* message = nullptr;
    for (const MsdscReaderDevice& device : List()) {
        EXPECT_EQ(device.problem, 28u);
        EXPECT_STREQ(device.driver, "");
        EXPECT_EQ(MsdscReadReaderConfiguration(device.readerNumber, &read, &message), STATUS_NOT_FOUND_VALUE);
        EXPECT_THAT(message, HasSubstr("sample"));
    }

    std::string error;
    PDRIVER_OBJECT sample =
        simk::pnp::InstallDriverImage(READER_HARDWARE_ID, MSDSCSAMPLE_IMAGE, u"msdscsample", {}, &error);
    ASSERT_NE(sample, nullptr) << error;
    const std::vector<MsdscReaderDevice> devices = List();
    ASSERT_EQ(devices.size(), 2u);
    const uint32_t numbers[2] = {0x1234, 0xFFFFFFFF};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(devices[i].started, 1u);
        EXPECT_STREQ(devices[i].driver, "msdscsample");
        ASSERT_EQ(MsdscReadReaderConfiguration(devices[i].readerNumber, &read, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(read.number, numbers[i]);
        EXPECT_EQ(read.drive, 1u);
        EXPECT_EQ(read.log, 0u);
        EXPECT_EQ(read.exists, 1u);
        const uint16_t version[4] = {1, 0, 0, 3};
        EXPECT_EQ(std::memcmp(read.driverVersion, version, sizeof(version)), 0);
    }
    // A number no reader has.
    EXPECT_EQ(MsdscReadReaderConfiguration(99, &read, nullptr), STATUS_NOT_FOUND_VALUE);
    MsdscClose(m_Client, nullptr);
    m_Client = nullptr;
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::UnloadDriver(sample), STATUS_SUCCESS);
}

} // namespace
} // namespace msdsc::testing
