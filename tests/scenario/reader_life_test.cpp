// Whole lives of readers with the driver image loaded: the client adds and removes them, the
// Plug and Play manager enumerates, identifies, starts and removes them, and every test ends with
// the checks after the last bus (no pool, device object or link left but the control device's).
#include "support/client_session.h"
#include "support/driver_fixtures.h"

#include <algorithm>
#include <cstring>

#include "msdscbus.h"
#include "reader/reader_device.h"
#include "simkernel/faults.h"
#include "simkernel/pool.h"
#include "simkernel/power.h"
#include "simkernel/registry.h"

namespace {

using msdsc::testing::READER_HARDWARE_ID;

using simk::pnp::DeviceNode;
using simk::pnp::NodeState;

class ReaderLife : public msdsc::testing::WithOpenClient<1>
{
protected:
    void UseFunctionDriver(bool powerDownOnSurpriseRemoval = false)
    {
        simk::pnp::ChildFunctionDriverOptions options;
        options.hardwareId = READER_HARDWARE_ID;
        options.powerDownOnSurpriseRemoval = powerDownOnSurpriseRemoval;
        simk::pnp::SetChildFunctionDriver(options);
    }

    PDEVICE_OBJECT Add(ReaderConfig config)
    {
        BusReaderHandle handle{};
        ULONG_PTR information = 0;
        EXPECT_EQ(simk::user::DeviceIoControl(m_Client, IOCTL_BUS_ADD_READER, &config, sizeof(config), &handle,
                                              sizeof(handle), &information),
                  STATUS_SUCCESS);
        m_Handle = handle;
        return msdsc::testing::ReaderObject(handle);
    }

    NTSTATUS RemoveLast()
    {
        ULONG_PTR information = 0;
        return simk::user::DeviceIoControl(m_Client, IOCTL_BUS_REMOVE_READER, &m_Handle, sizeof(m_Handle), nullptr, 0,
                                           &information);
    }

    // Layout only: the reader's state as its device extension holds it.
    static ReaderState StateOf(PDEVICE_OBJECT device)
    {
        return static_cast<ReaderDevice*>(device->DeviceExtension)->State();
    }

    bool Exists(PDEVICE_OBJECT device) const
    {
        const std::vector<PDEVICE_OBJECT> live = simk::DevicesOfDriver(Driver());
        return std::find(live.begin(), live.end(), device) != live.end();
    }

    static bool Saw(DeviceNode* node, UCHAR minor)
    {
        for (const simk::pnp::IrpRecord& record : simk::pnp::IrpLogFor(node)) {
            if (record.major == IRP_MJ_PNP && record.minor == minor) {
                return true;
            }
        }
        return false;
    }

    static void ExpectNoReplyPoolLeft()
    {
        EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("mdbp")), 0u);
        EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("msbp")), 0u);
        EXPECT_EQ(simk::pnp::OwnedPoolBlocks(), 0u);
    }

    BusReaderHandle m_Handle{};
};

TEST_F(ReaderLife, AddedEnumeratedStartedConfiguredRemovedAndDeleted)
{
    UseFunctionDriver();
    PDEVICE_OBJECT device = Add({5, 1, 3});
    ASSERT_NE(device, nullptr);
    simk::pnp::RunUntilIdle();

    const std::vector<DeviceNode*> children = simk::pnp::Children(BusNode(0));
    ASSERT_EQ(children.size(), 1u);
    DeviceNode* node = children[0];
    const simk::pnp::NodeInfo info = simk::pnp::Info(node);
    EXPECT_EQ(info.pdo, device);
    EXPECT_EQ(info.state, NodeState::Started);
    EXPECT_TRUE(info.functionDriverAttached);
    // The reader claims no machine-wide unique ID, so Plug and Play puts its bus's prefix before
    // the number: "<hardware ID>\<parent prefix>&0".
    const std::u16string prefix = std::u16string(READER_HARDWARE_ID) + u"\\";
    EXPECT_EQ(info.instancePath.rfind(prefix, 0), 0u) << simk::Narrow(info.instancePath);
    EXPECT_EQ(info.instancePath.substr(info.instancePath.size() - 2), u"&0");
    EXPECT_FALSE(info.capabilities.UniqueID);
    EXPECT_EQ(info.hardwareIds, std::vector<std::u16string>{READER_HARDWARE_ID});
    EXPECT_EQ(info.deviceIdReply.bytes.size(), 88u);
    EXPECT_EQ(info.hardwareIdsReply.bytes.size(), 90u);
    EXPECT_EQ(info.descriptionReply.bytes.size(), 52u);
    EXPECT_EQ(info.description, std::u16string(u"MicroSD SmartCard Reader"));
    EXPECT_TRUE(info.capabilities.Removable && info.capabilities.SurpriseRemovalOK && info.capabilities.SilentInstall);
    ASSERT_TRUE(info.busInformation.has_value());
    const unsigned char guid[16] = {0x66, 0x97, 0x52, 0xAF, 0x2F, 0x0F, 0xAA, 0x4D,
                                    0xA7, 0x0E, 0x8A, 0x86, 0xD5, 0x03, 0xE7, 0x8A};
    EXPECT_EQ(std::memcmp(&info.busInformation->BusTypeGuid, guid, sizeof(guid)), 0);
    EXPECT_EQ(info.busInformation->LegacyBusType, PNPBus);
    EXPECT_EQ(info.busInformation->BusNumber, 0u);
    EXPECT_EQ(StateOf(device), ReaderState::Started);

    const std::u16string key = simk::pnp::HardwareKeyPath(node);
    EXPECT_EQ(key, simk::registry::DeviceHardwareKeyPath(info.instancePath));
    EXPECT_EQ(simk::registry::ValueNames(key), (std::vector<std::u16string>{u"Number", u"Drive", u"Log", u"Exists"}));
    EXPECT_EQ(simk::registry::QueryDword(key, u"Number"), 5u);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Drive"), 1u);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Log"), 3u);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Exists"), 1u);

    EXPECT_EQ(RemoveLast(), STATUS_SUCCESS);
    EXPECT_EQ(StateOf(device), ReaderState::Unplugged);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_TRUE(Saw(node, IRP_MN_SURPRISE_REMOVAL));
    EXPECT_TRUE(Saw(node, IRP_MN_REMOVE_DEVICE));
    EXPECT_FALSE(Exists(device));
    ExpectNoReplyPoolLeft();
    // TearDown closes the client, uninstalls the bus and runs the leak checks.
}

TEST_F(ReaderLife, SecondReaderGetsTheNextNumberAsItsInstance)
{
    UseFunctionDriver();
    Add({1, 1, 1});
    PDEVICE_OBJECT second = Add({2, 2, 2});
    simk::pnp::RunUntilIdle();
    DeviceNode* node = simk::pnp::FindNodeByPdo(second);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(simk::pnp::Info(node).instanceId, u"1");
    EXPECT_EQ(simk::pnp::Info(node).busInformation->BusNumber, 1u);
    EXPECT_EQ(simk::registry::QueryDword(simk::pnp::HardwareKeyPath(node), u"Number"), 2u);
}

// The function driver powers the reader down to D3 as Plug and Play takes it away, which
// overwrites Unplugged; off its bus, the reader is deleted all the same.
TEST_F(ReaderLife, FunctionDriverPoweringDownOnTheWayOutDoesNotKeepTheReaderAlive)
{
    UseFunctionDriver(true);
    PDEVICE_OBJECT device = Add({1, 2, 3});
    simk::pnp::RunUntilIdle();
    DeviceNode* node = simk::pnp::FindNodeByPdo(device);
    ASSERT_NE(node, nullptr);

    EXPECT_EQ(RemoveLast(), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_EQ(simk::power::DevicePowerStateOf(device), PowerDeviceD3);
    EXPECT_FALSE(Exists(device));
    ExpectNoReplyPoolLeft();
}

TEST_F(ReaderLife, BusUninstallIsVetoedWhileItHasAReaderAndProceedsOnceTheReaderIsGone)
{
    UseFunctionDriver();
    PDEVICE_OBJECT device = Add({1, 2, 3});
    simk::pnp::RunUntilIdle();

    DeviceNode* vetoedBy = nullptr;
    EXPECT_EQ(simk::pnp::RemoveDevice(BusNode(0), &vetoedBy), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vetoedBy, BusNode(0));
    EXPECT_EQ(simk::pnp::State(BusNode(0)), NodeState::Started);
    EXPECT_EQ(StateOf(device), ReaderState::Started) << "its query-remove was cancelled";

    EXPECT_EQ(RemoveLast(), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::RemoveDevice(BusNode(0)), STATUS_SUCCESS);
    simk::user::Handle second = nullptr;
    ASSERT_EQ(Close(m_Client), STATUS_SUCCESS);
    EXPECT_EQ(Open(&second), STATUS_INVALID_DEVICE_STATE) << "no bus is left";
}

// A reader whose start failed stays on its bus; when the bus is pulled, the bus deletes it.
TEST_F(ReaderLife, ReaderLeftOnAPulledBusGoesWithTheBus)
{
    simk::faults::FailAlways(simk::Call::IoOpenDeviceRegistryKey, STATUS_ACCESS_DENIED);
    PDEVICE_OBJECT device = Add({1, 2, 3});
    simk::pnp::RunUntilIdle();
    simk::faults::DisarmAll();
    DeviceNode* node = simk::pnp::FindNodeByPdo(device);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(simk::pnp::State(node), NodeState::StartFailed);
    ASSERT_TRUE(Exists(device));

    simk::pnp::SurpriseRemoveDevice(BusNode(0));
    EXPECT_FALSE(Exists(device));
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), 1u) << "only the control device";
    ExpectNoReplyPoolLeft();
}

// Plug and Play keeps the node of a reader whose start failed until the bus stops reporting it,
// so the client's removal ends it through Plug and Play's final removal, not at once.
TEST_F(ReaderLife, ReaderWhoseStartFailedIsRemovedByTheClientThroughPlugAndPlay)
{
    simk::faults::FailAlways(simk::Call::IoOpenDeviceRegistryKey, STATUS_ACCESS_DENIED);
    PDEVICE_OBJECT device = Add({1, 2, 3});
    simk::pnp::RunUntilIdle();
    simk::faults::DisarmAll();
    DeviceNode* node = simk::pnp::FindNodeByPdo(device);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(simk::pnp::State(node), NodeState::StartFailed);

    EXPECT_EQ(RemoveLast(), STATUS_SUCCESS);
    EXPECT_TRUE(Exists(device)) << "Plug and Play still holds its node";
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_FALSE(Exists(device));
    ExpectNoReplyPoolLeft();
}

using BusRemoval = msdsc::testing::WithBuses<2>;

TEST_F(BusRemoval, RemovingOneOfTwoBusesKeepsTheControlDeviceOpenableAndTheLastClosesIt)
{
    ASSERT_EQ(simk::pnp::RemoveDevice(BusNode(0)), STATUS_SUCCESS);
    simk::user::Handle client = nullptr;
    ASSERT_EQ(Open(&client), STATUS_SUCCESS);
    ASSERT_EQ(Close(client), STATUS_SUCCESS);

    ASSERT_EQ(simk::pnp::RemoveDevice(BusNode(1)), STATUS_SUCCESS);
    EXPECT_EQ(Open(&client), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(simk::DevicesOfDriver(Driver()).size(), 1u);
}

} // namespace
