// The driver through what the Plug and Play manager does on Windows beyond a plain add and remove:
// a reader nobody installed a function driver for, a restart or driver update of a reader, a filter
// above the bus, "scan for hardware changes", sleep with a session open, and the driver after its
// last bus is gone. Outcomes the driver still gets wrong are asserted as they are today, in tests
// named KnownFault..., so they run every time and fail once the driver is fixed.
#include "support/client_session.h"
#include "support/driver_fixtures.h"

#include <algorithm>

#include "msdscbus.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::HandleOf;
using msdsc::testing::READER_HARDWARE_ID;
using msdsc::testing::RemoveReader;
using simk::pnp::DeviceNode;
using simk::pnp::NodeState;

constexpr ReaderConfig CONFIG = {7, 1, 0};
const char16_t* const READER_VALUES[] = {u"Number", u"Drive", u"Log", u"Exists"};

// The reader nodes under a bus, found as a test engineer finds them: by their hardware ID.
std::vector<DeviceNode*> ReaderNodes(DeviceNode* bus)
{
    std::vector<DeviceNode*> readers;
    for (DeviceNode* child : simk::pnp::Children(bus)) {
        const auto ids = simk::pnp::Info(child).hardwareIds;
        if (std::find(ids.begin(), ids.end(), std::u16string(READER_HARDWARE_ID)) != ids.end()) {
            readers.push_back(child);
        }
    }
    return readers;
}

size_t ValuesWritten(DeviceNode* reader)
{
    size_t written = 0;
    for (const char16_t* name : READER_VALUES) {
        written += simk::registry::QueryDword(simk::pnp::HardwareKeyPath(reader), name).has_value() ? 1 : 0;
    }
    return written;
}

class ReaderWithoutFunctionDriver : public msdsc::testing::WithOpenClient<1> {
protected:
    ReaderWithoutFunctionDriver() { m_InstallReaderDriver = false; }
};

TEST_F(ReaderWithoutFunctionDriver, WaitsAtProblem28UnstartedAndStartsWhenItsDriverIsInstalled)
{
    const msdsc::testing::Reply added = AddReader(m_Client, CONFIG);
    ASSERT_EQ(added.status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    const std::vector<DeviceNode*> readers = ReaderNodes(BusNode(0));
    ASSERT_EQ(readers.size(), 1u);
    DeviceNode* reader = readers[0];

    // The reader cannot run raw, so Windows leaves it present and unstarted: its four values are
    // never written.
    EXPECT_EQ(simk::pnp::State(reader), NodeState::NotInstalled);
    EXPECT_EQ(simk::pnp::Info(reader).problemCode, simk::pnp::CM_PROB_FAILED_INSTALL);
    EXPECT_FALSE(simk::pnp::Info(reader).capabilities.RawDeviceOK);
    EXPECT_EQ(ValuesWritten(reader), 0u);

    // The reader's driver is installed: the same node starts and the driver writes the values.
    msdsc::testing::InstallReaderFunctionDriver();
    EXPECT_EQ(simk::pnp::State(reader), NodeState::Started);
    EXPECT_EQ(ValuesWritten(reader), 4u);
    EXPECT_EQ(simk::registry::QueryDword(simk::pnp::HardwareKeyPath(reader), u"Number"), CONFIG.Number);

    // The client removes it as any other reader.
    EXPECT_EQ(RemoveReader(m_Client, HandleOf(added)).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(BusNode(0)).empty());
}

TEST_F(ReaderWithoutFunctionDriver, RemovedByTheClientWhileWaitingLeavesNothingBehind)
{
    const msdsc::testing::Reply added = AddReader(m_Client, CONFIG);
    ASSERT_EQ(added.status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(BusNode(0)).size(), 1u);
    EXPECT_EQ(RemoveReader(m_Client, HandleOf(added)).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(BusNode(0)).empty());
    // Closing the session and uninstalling the bus (TearDown) then run the unload checks.
}

}  // namespace

namespace {

class ReaderRestart : public msdsc::testing::WithOpenClient<1> {
protected:
    DeviceNode* AddSettled(BusReaderHandle* handle)
    {
        const msdsc::testing::Reply added = AddReader(m_Client, CONFIG);
        EXPECT_EQ(added.status, STATUS_SUCCESS);
        *handle = HandleOf(added);
        simk::pnp::RunUntilIdle();
        const std::vector<DeviceNode*> readers = ReaderNodes(BusNode(0));
        return readers.size() == 1 ? readers[0] : nullptr;
    }
};

// Windows restarts a reader (Device Manager's "restart", a driver update of the reader's own
// driver, disable then enable) with query-remove and removal of the same PDO, then AddDevice and
// start again: the reader is still on its bus and must come back as the client's reader.
// KNOWN FAULT (the driver's, to be fixed there): the driver takes the reader off its bus at that
// removal, so the client's reader is gone. These tests assert today's outcome and fail once the
// driver keeps the reader; then they become the tests of the fix.
TEST_F(ReaderRestart, KnownFault_RestartOfAReaderDestroysTheClientsReader)
{
    BusReaderHandle handle{};
    DeviceNode* reader = AddSettled(&handle);
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(simk::pnp::State(reader), NodeState::Started);

    // The same PDO starts again, but the driver took the reader off its bus at the removal, so
    // Plug and Play loses it at the next enumeration and the client's handle names nothing.
    EXPECT_EQ(simk::pnp::RestartDevice(reader), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(BusNode(0)).empty()) << "the known fault is fixed: make this test the check of the fix";
    EXPECT_FALSE(NT_SUCCESS(RemoveReader(m_Client, handle).status));
}

// The same through a driver update of the reader's function driver.
TEST_F(ReaderRestart, KnownFault_DriverUpdateOfTheReadersFunctionDriverDestroysTheClientsReader)
{
    BusReaderHandle handle{};
    DeviceNode* reader = AddSettled(&handle);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(simk::pnp::UpdateDriver(reader, simk::pnp::ChildFunctionDriver()), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(BusNode(0)).empty()) << "the known fault is fixed: make this test the check of the fix";
    EXPECT_FALSE(NT_SUCCESS(RemoveReader(m_Client, handle).status));
}

// A reader that cannot be restarted because a handle is open on it: the restart is vetoed, the
// reader keeps running and stays the client's.
TEST_F(ReaderRestart, VetoedByAnOpenHandleLeavesTheReaderRunning)
{
    BusReaderHandle handle{};
    DeviceNode* reader = AddSettled(&handle);
    ASSERT_NE(reader, nullptr);
    simk::user::Handle open = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(simk::pnp::Pdo(reader), &open), STATUS_SUCCESS);
    DeviceNode* vetoedBy = nullptr;
    EXPECT_EQ(simk::pnp::RestartDevice(reader, &vetoedBy), STATUS_DEVICE_BUSY);
    EXPECT_EQ(vetoedBy, reader);
    EXPECT_EQ(simk::pnp::State(reader), NodeState::Started);
    EXPECT_EQ(simk::user::Close(open), STATUS_SUCCESS);
    EXPECT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
}

using BusDriverUpdate = msdsc::testing::WithOpenClient<1>;

// A driver update (or restart) of a bus: the bus vetoes the query-remove while readers are on it
// (Windows then asks the user to restart the machine to finish the update), and the readers keep
// running; once they are gone the same bus PDO starts again under the driver and takes new readers.
TEST_F(BusDriverUpdate, VetoedWhileReadersAreOnItAndDoneOnceTheyAreGone)
{
    const msdsc::testing::Reply added = AddReader(m_Client, CONFIG);
    ASSERT_EQ(added.status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(BusNode(0)).size(), 1u);

    DeviceNode* vetoedBy = nullptr;
    EXPECT_FALSE(NT_SUCCESS(simk::pnp::UpdateDriver(BusNode(0), Driver(), &vetoedBy)));
    EXPECT_EQ(vetoedBy, BusNode(0));
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(BusNode(0)).size(), 1u);
    EXPECT_EQ(simk::pnp::State(ReaderNodes(BusNode(0))[0]), NodeState::Started);

    EXPECT_EQ(RemoveReader(m_Client, HandleOf(added)).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::UpdateDriver(BusNode(0), Driver()), STATUS_SUCCESS);
    EXPECT_EQ(simk::pnp::State(BusNode(0)), NodeState::Started);

    ASSERT_EQ(AddReader(m_Client, {8, 2, 0}).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(BusNode(0)).size(), 1u);
    EXPECT_EQ(simk::pnp::State(ReaderNodes(BusNode(0))[0]), NodeState::Started);
}

using ScanForHardwareChanges = msdsc::testing::WithOpenClient<2>;

// "Scan for hardware changes" with a session open: every bus is asked again and reports the
// readers it has; nothing is added twice, removed or restarted.
TEST_F(ScanForHardwareChanges, WithASessionOpenChangesNothing)
{
    ASSERT_EQ(AddReader(m_Client, CONFIG).status, STATUS_SUCCESS);
    ASSERT_EQ(AddReader(m_Client, {8, 2, 0}).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    const size_t before = ReaderNodes(BusNode(0)).size() + ReaderNodes(BusNode(1)).size();
    ASSERT_EQ(before, 2u);
    simk::pnp::ClearIrpLog();

    simk::pnp::ScanForHardwareChanges();
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderNodes(BusNode(0)).size() + ReaderNodes(BusNode(1)).size(), before);
    for (const simk::pnp::IrpRecord& record : simk::pnp::IrpLog()) {
        EXPECT_NE(record.minor, IRP_MN_REMOVE_DEVICE);
        EXPECT_NE(record.minor, IRP_MN_START_DEVICE);
    }
    for (unsigned bus = 0; bus < 2; ++bus) {
        for (DeviceNode* reader : ReaderNodes(BusNode(bus))) {
            EXPECT_EQ(simk::pnp::State(reader), NodeState::Started);
        }
    }
}

}  // namespace
