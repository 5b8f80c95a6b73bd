// A reader's Plug and Play requests sent straight to its device: the minor-function table, the
// bytes of every reply, replies without pool, capabilities, and the start's registry writes.
#include "support/linked_driver.h"

#include <cstring>
#include <functional>
#include <string>

#include "simkernel/faults.h"
#include "simkernel/registry.h"

namespace {

using namespace msdsc::testing;

constexpr char16_t READER_ID[] = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);
constexpr ULONG_PTR MARKER = 0x5A5A0000;

std::u16string Utf16(const std::vector<unsigned char>& bytes, size_t from, size_t count)
{
    std::u16string text;
    for (size_t i = from; i < from + count && 2 * i + 1 < bytes.size(); ++i) {
        text.push_back(static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
    }
    return text;
}

bool ZeroFrom(const std::vector<unsigned char>& bytes, size_t from)
{
    for (size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

class ReaderPnpTest : public DriverTest
{
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        m_Bus = AddBus();
        m_Reader = CreateReader(m_Bus);
        ASSERT_NE(m_Reader, nullptr);
    }

    PDEVICE_OBJECT Device() const { return m_Reader->m_DeviceObject; }

    IrpOutcome QueryId(BUS_QUERY_ID_TYPE type, PDEVICE_OBJECT device = nullptr)
    {
        return SendPnp(
            device != nullptr ? device : Device(), IRP_MN_QUERY_ID,
            [type](PIO_STACK_LOCATION location) { location->Parameters.QueryId.IdType = type; }, MARKER);
    }

    IrpOutcome QueryText(DEVICE_TEXT_TYPE type, LCID locale)
    {
        return SendPnp(
            Device(), IRP_MN_QUERY_DEVICE_TEXT,
            [=](PIO_STACK_LOCATION location) {
                location->Parameters.QueryDeviceText.DeviceTextType = type;
                location->Parameters.QueryDeviceText.LocaleId = locale;
            },
            MARKER);
    }

    static TakenReply ExpectReply(const IrpOutcome& outcome, size_t bytes)
    {
        EXPECT_EQ(outcome.status, STATUS_SUCCESS);
        EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
        TakenReply reply = TakeReply(outcome.information);
        EXPECT_EQ(reply.bytes.size(), bytes);
        EXPECT_EQ(reply.tag, READER_REPLY_TAG);
        EXPECT_EQ(reply.type, PagedPool);
        return reply;
    }

    BusDevice* m_Bus = nullptr;
    ReaderDevice* m_Reader = nullptr;
};

TEST_F(ReaderPnpTest, IdReplies)
{
    const TakenReply deviceId = ExpectReply(QueryId(BusQueryDeviceID), 88);
    EXPECT_EQ(Utf16(deviceId.bytes, 0, 42), READER_ID);
    EXPECT_TRUE(ZeroFrom(deviceId.bytes, 84)) << "ends in four zero bytes";

    const TakenReply hardwareIds = ExpectReply(QueryId(BusQueryHardwareIDs), 90);
    EXPECT_EQ(Utf16(hardwareIds.bytes, 0, 42), READER_ID);
    EXPECT_TRUE(ZeroFrom(hardwareIds.bytes, 84)) << "ends in six zero bytes";

    const TakenReply first = ExpectReply(QueryId(BusQueryInstanceID), 64);
    EXPECT_EQ(Utf16(first.bytes, 0, 2), std::u16string(u"0\0", 2));

    g_ReaderNumbersHeld[0] |= 0xFFE; // 1 to 11 taken, as by readers on other buses
    ReaderDevice* twelfth = CreateReader(m_Bus);
    g_ReaderNumbersHeld[0] &= ~0xFFE;
    const TakenReply second = ExpectReply(QueryId(BusQueryInstanceID, twelfth->m_DeviceObject), 64);
    EXPECT_EQ(Utf16(second.bytes, 0, 3), std::u16string(u"12\0", 3));

    // Every number but the last held: the last one is MAX_READERS - 1.
    LONG held[MAX_READERS / 32];
    std::memcpy(held, g_ReaderNumbersHeld, sizeof(held));
    std::memset(g_ReaderNumbersHeld, 0xFF, sizeof(g_ReaderNumbersHeld));
    g_ReaderNumbersHeld[MAX_READERS / 32 - 1] = 0x7FFFFFFF;
    ReaderDevice* largest = CreateReader(m_Bus);
    std::memcpy(g_ReaderNumbersHeld, held, sizeof(held));
    g_ReaderNumbersHeld[MAX_READERS / 32 - 1] |= static_cast<LONG>(0x80000000u);
    const TakenReply widest = ExpectReply(QueryId(BusQueryInstanceID, largest->m_DeviceObject), 64);
    EXPECT_EQ(Utf16(widest.bytes, 0, 4), std::u16string(u"255\0", 4));
}

TEST_F(ReaderPnpTest, DescriptionIsTheSameForEveryLocaleAndLocationIsLeftAsItCame)
{
    for (LCID locale : {LCID{0x409}, LCID{0x407}, LCID{0}}) {
        const TakenReply text = ExpectReply(QueryText(DeviceTextDescription, locale), 52);
        EXPECT_EQ(Utf16(text.bytes, 0, 24), u"MicroSD SmartCard Reader");
        EXPECT_TRUE(ZeroFrom(text.bytes, 48));
    }
    // The reader has no location text; the status Plug and Play sent stays.
    const IrpOutcome location = QueryText(DeviceTextLocationInformation, 0x409);
    EXPECT_EQ(location.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(location.information, MARKER);
}

TEST_F(ReaderPnpTest, BusInformationCarriesTheBusTypeAndTheReaderNumber)
{
    g_ReaderNumbersHeld[0] |= 0xFFF; // 0 to 11 taken, as by readers on other buses
    ReaderDevice* reader = CreateReader(m_Bus);
    g_ReaderNumbersHeld[0] &= ~0xFFF;
    const TakenReply reply =
        ExpectReply(SendPnp(reader->m_DeviceObject, IRP_MN_QUERY_BUS_INFORMATION, [](PIO_STACK_LOCATION) {}), 24);
    const std::vector<unsigned char> guid = {0x66, 0x97, 0x52, 0xAF, 0x2F, 0x0F, 0xAA, 0x4D,
                                             0xA7, 0x0E, 0x8A, 0x86, 0xD5, 0x03, 0xE7, 0x8A};
    EXPECT_EQ(std::vector<unsigned char>(reply.bytes.begin(), reply.bytes.begin() + 16), guid);
    PNP_BUS_INFORMATION information;
    std::memcpy(&information, reply.bytes.data(), sizeof(information));
    EXPECT_EQ(information.LegacyBusType, PNPBus);
    EXPECT_EQ(static_cast<int>(information.LegacyBusType), 15);
    EXPECT_EQ(information.BusNumber, 12u);
}

TEST_F(ReaderPnpTest, TargetRelationIsTheReaderItselfWithOneReference)
{
    const LONG_PTR before = simk::ObjectReferenceCount(Device());
    const TakenReply reply = ExpectReply(QueryRelations(Device(), TargetDeviceRelation), 16);
    DEVICE_RELATIONS relations;
    std::memcpy(&relations, reply.bytes.data(), sizeof(relations));
    EXPECT_EQ(relations.Count, 1u);
    EXPECT_EQ(relations.Objects[0], Device());
    EXPECT_EQ(simk::ObjectReferenceCount(Device()), before + 1);
    ObDereferenceObject(Device());
}

// Every reply the reader allocates: without pool the request fails with
// STATUS_INSUFFICIENT_RESOURCES, hands nothing over and leaves Information as it came.
TEST_F(ReaderPnpTest, EveryReplyWithoutPoolFailsAndLeavesInformationUntouched)
{
    struct Request {
        const char* name;
        std::function<IrpOutcome()> send;
    };
    const std::vector<Request> requests = {
        {"device ID", [&] { return QueryId(BusQueryDeviceID); }},
        {"hardware IDs", [&] { return QueryId(BusQueryHardwareIDs); }},
        {"instance ID", [&] { return QueryId(BusQueryInstanceID); }},
        {"description", [&] { return QueryText(DeviceTextDescription, 0x409); }},
        {"bus information",
         [&] {
             return SendPnp(
                 Device(), IRP_MN_QUERY_BUS_INFORMATION, [](PIO_STACK_LOCATION) {}, MARKER);
         }},
        {"target relation", [&] { return QueryRelations(Device(), TargetDeviceRelation, MARKER); }},
    };
    const LONG_PTR references = simk::ObjectReferenceCount(Device());
    for (const Request& request : requests) {
        SCOPED_TRACE(request.name);
        const simk::pool::Snapshot pool;
        simk::faults::FailPoolTag(READER_REPLY_TAG);
        const IrpOutcome outcome = request.send();
        simk::faults::DisarmAll();
        EXPECT_EQ(outcome.status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(outcome.returned, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(outcome.information, MARKER);
        EXPECT_TRUE(pool.Unchanged()) << simk::pool::Describe(pool.NewSince());
    }
    EXPECT_EQ(simk::ObjectReferenceCount(Device()), references);
}

// The rows of the minor-function table that give no reply. "As it came" rows are sent with two
// different preset statuses, so a handler that picks a status of its own shows.
struct MinorRow {
    UCHAR minor;
    int parameter; // relation, ID or text type where the row needs one; -1 otherwise
    bool asItCame;
    NTSTATUS status; // for the rows that are not "as it came"
};

class ReaderMinorTable : public ReaderPnpTest, public ::testing::WithParamInterface<MinorRow>
{};

TEST_P(ReaderMinorTable, CompletesWithTheRowsStatusAndLeavesInformation)
{
    const MinorRow row = GetParam();
    const ReaderState stateBefore = m_Reader->State();
    for (NTSTATUS preset : {STATUS_NOT_SUPPORTED, STATUS_SUCCESS}) {
        const IrpOutcome outcome = SendPnp(
            Device(), row.minor,
            [&](PIO_STACK_LOCATION location) {
                if (row.parameter < 0) {
                    return;
                }
                if (row.minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
                    location->Parameters.QueryDeviceRelations.Type = static_cast<DEVICE_RELATION_TYPE>(row.parameter);
                } else if (row.minor == IRP_MN_QUERY_ID) {
                    location->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(row.parameter);
                } else if (row.minor == IRP_MN_QUERY_DEVICE_TEXT) {
                    location->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(row.parameter);
                }
            },
            MARKER, preset);
        const NTSTATUS expected = row.asItCame ? preset : row.status;
        EXPECT_EQ(outcome.status, expected) << "preset 0x" << std::hex << preset;
        EXPECT_EQ(outcome.returned, expected);
        EXPECT_EQ(outcome.information, MARKER);
    }
    EXPECT_EQ(m_Reader->State(), stateBefore);
    EXPECT_EQ(m_Bus->m_Roster.m_Readers.Count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, ReaderMinorTable,
                         ::testing::Values(MinorRow{IRP_MN_STOP_DEVICE, -1, false, STATUS_SUCCESS},
                                           MinorRow{IRP_MN_QUERY_STOP_DEVICE, -1, false, STATUS_SUCCESS},
                                           MinorRow{IRP_MN_CANCEL_STOP_DEVICE, -1, false, STATUS_SUCCESS},
                                           MinorRow{IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations, true, 0},
                                           MinorRow{IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations, true, 0},
                                           MinorRow{IRP_MN_QUERY_DEVICE_RELATIONS, EjectionRelations, true, 0},
                                           MinorRow{IRP_MN_QUERY_INTERFACE, -1, true, 0},
                                           MinorRow{IRP_MN_QUERY_RESOURCES, -1, true, 0},
                                           MinorRow{IRP_MN_QUERY_RESOURCE_REQUIREMENTS, -1, true, 0},
                                           MinorRow{IRP_MN_FILTER_RESOURCE_REQUIREMENTS, -1, true, 0},
                                           MinorRow{0x0E, -1, true, 0}, MinorRow{IRP_MN_READ_CONFIG, -1, true, 0},
                                           MinorRow{IRP_MN_WRITE_CONFIG, -1, true, 0},
                                           MinorRow{IRP_MN_EJECT, -1, true, 0}, MinorRow{IRP_MN_SET_LOCK, -1, true, 0},
                                           MinorRow{IRP_MN_QUERY_ID, BusQueryCompatibleIDs, true, 0},
                                           MinorRow{IRP_MN_QUERY_ID, BusQueryDeviceSerialNumber, true, 0},
                                           MinorRow{IRP_MN_QUERY_ID, BusQueryContainerID, true, 0},
                                           MinorRow{IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation, true, 0},
                                           MinorRow{IRP_MN_QUERY_PNP_DEVICE_STATE, -1, true, 0},
                                           MinorRow{IRP_MN_DEVICE_USAGE_NOTIFICATION, -1, false, STATUS_NOT_SUPPORTED},
                                           MinorRow{IRP_MN_QUERY_LEGACY_BUS_INFORMATION, -1, true, 0},
                                           MinorRow{0x19, -1, false, STATUS_SUCCESS}, MinorRow{0x1A, -1, true, 0},
                                           MinorRow{0xFF, -1, true, 0}));

TEST_F(ReaderPnpTest, CapabilitiesSetTheRemovalBitsAndSleepStatesAndKeepTheRest)
{
    DEVICE_CAPABILITIES capabilities;
    std::memset(&capabilities, 0, sizeof(capabilities));
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 7;
    capabilities.UniqueID = 1;
    capabilities.LockSupported = 1;
    capabilities.EjectSupported = 1;
    capabilities.DeviceState[PowerSystemUnspecified] = PowerDeviceD2;
    capabilities.SystemWake = PowerSystemSleeping1;
    capabilities.DeviceWake = PowerDeviceD1;
    capabilities.D1Latency = 11;
    capabilities.D3Latency = 33;
    DEVICE_CAPABILITIES expected = capabilities;
    expected.Removable = 1;
    expected.SurpriseRemovalOK = 1;
    expected.SilentInstall = 1;
    expected.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; ++state) {
        expected.DeviceState[state] = PowerDeviceD3;
    }

    const IrpOutcome outcome = SendPnp(Device(), IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION location) {
        location->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&capabilities, &expected, sizeof(capabilities)), 0);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemUnspecified], PowerDeviceD2);
    EXPECT_TRUE(capabilities.UniqueID && capabilities.LockSupported && capabilities.EjectSupported);
}

// Starts against a real hardware key: Plug and Play enumerates the reader, but the function
// driver's AddDevice fails, so the reader stays unstarted until the test starts it.
class ReaderStartTest : public DriverTest
{
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        simk::pnp::ChildFunctionDriverOptions options;
        options.addDeviceStatus = STATUS_UNSUCCESSFUL;
        simk::pnp::SetChildFunctionDriver(options);
        simk::pnp::DeviceNode* bus = AddRootBus();
        m_Reader = CreateReader(BusOf(bus), {0x11, 0x22, 0x33});
        ASSERT_NE(m_Reader, nullptr);
        simk::pnp::RunUntilIdle();
        simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(m_Reader->m_DeviceObject);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(simk::pnp::State(node), simk::pnp::NodeState::AddDeviceFailed);
        m_Key = simk::pnp::HardwareKeyPath(node);
    }

    IrpOutcome Start() { return SendPnp(m_Reader->m_DeviceObject, IRP_MN_START_DEVICE); }

    ReaderDevice* m_Reader = nullptr;
    std::u16string m_Key;
};

TEST_F(ReaderStartTest, WritesTheFourValuesInOrderAndStarts)
{
    const IrpOutcome outcome = Start();
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.returned, STATUS_SUCCESS);
    EXPECT_EQ(m_Reader->State(), ReaderState::Started);
    EXPECT_EQ(m_Reader->PreviousState(), ReaderState::NotStarted);
    const std::vector<simk::registry::NamedValue> values = simk::registry::Values(m_Key);
    ASSERT_EQ(values.size(), 4u);
    const std::vector<std::pair<std::u16string, ULONG>> expected = {
        {u"Number", 0x11}, {u"Drive", 0x22}, {u"Log", 0x33}, {u"Exists", 1}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(values[i].name, expected[i].first);
        EXPECT_EQ(values[i].value.type, ULONG{REG_DWORD});
        EXPECT_EQ(simk::registry::QueryDword(m_Key, expected[i].first), expected[i].second);
    }
    EXPECT_EQ(simk::registry::OpenHandleCount(), 0u);
}

TEST_F(ReaderStartTest, KeyThatCannotBeOpenedFailsTheStartAndChangesNothing)
{
    simk::faults::FailNth(simk::Call::IoOpenDeviceRegistryKey, 1, STATUS_ACCESS_DENIED);
    const IrpOutcome outcome = Start();
    EXPECT_EQ(outcome.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(outcome.returned, STATUS_ACCESS_DENIED);
    EXPECT_EQ(m_Reader->State(), ReaderState::NotStarted);
    EXPECT_TRUE(simk::registry::Values(m_Key).empty());
}

TEST_F(ReaderStartTest, SecondValueFailingKeepsTheFirstClosesTheKeyAndChangesNoState)
{
    ASSERT_EQ(SendPnp(m_Reader->m_DeviceObject, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    simk::faults::FailNth(simk::Call::ZwSetValueKey, 2, STATUS_INSUFFICIENT_RESOURCES);
    const IrpOutcome outcome = Start();
    EXPECT_EQ(outcome.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(simk::faults::CallCount(simk::Call::ZwSetValueKey), 2u) << "stops at the first failure";
    EXPECT_EQ(m_Reader->State(), ReaderState::RemovePending);
    EXPECT_EQ(m_Reader->PreviousState(), ReaderState::NotStarted);
    EXPECT_EQ(simk::registry::ValueNames(m_Key), std::vector<std::u16string>{u"Number"});
    EXPECT_EQ(simk::registry::OpenHandleCount(), 0u) << "the key is closed";
}

} // namespace
