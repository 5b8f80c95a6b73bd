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
