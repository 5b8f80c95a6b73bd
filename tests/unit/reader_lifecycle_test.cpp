// Whole lives of readers driven by the simulated Plug and Play manager, with the driver linked in
// so that readers can be created and removed on a bus directly: enumeration, identity, start
// with its registry values, removal by the bus and by Plug and Play, and the unload checks after.
#include "bus_test_driver.h"

#include "simkernel/faults.h"
#include "simkernel/power.h"
#include "simkernel/registry.h"

namespace {

using namespace msdsc::testing;
using simk::pnp::DeviceNode;
using simk::pnp::NodeState;

constexpr char16_t READER_ID[] = u"MicroSDSmartCardBus\\MicroSDSmartCardReader";

class ReaderLifecycleTest : public DriverTest {
protected:
    void UseFunctionDriver(bool powerDownOnSurpriseRemoval = false)
    {
        simk::pnp::ChildFunctionDriverOptions options;
        options.hardwareId = READER_ID;
        options.powerDownOnSurpriseRemoval = powerDownOnSurpriseRemoval;
        simk::pnp::SetChildFunctionDriver(options);
    }

    bool Exists(PDEVICE_OBJECT device) const
    {
        for (PDEVICE_OBJECT live : simk::DevicesOfDriver(m_Driver)) {
            if (live == device) {
                return true;
            }
        }
        return false;
    }

    // The driver holds nothing but its bus registry and the entries of the buses in it.
    void ExpectOnlyRegistryPool(size_t buses) const
    {
        EXPECT_EQ(simk::pool::OutstandingCount(READER_REPLY_TAG), 0u);
        EXPECT_EQ(simk::pool::OutstandingCount(BUS_RELATIONS_TAG), 0u);
        EXPECT_EQ(simk::pool::OutstandingCount(LIST_ENTRY_TAG), buses);
        EXPECT_EQ(simk::pool::OutstandingCount(m_Driver), buses + 1) << simk::pool::Describe(simk::pool::Outstanding());
        EXPECT_EQ(simk::pnp::OwnedPoolBlocks(), 0u);
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
};

TEST_F(ReaderLifecycleTest, CreatedEnumeratedStartedUnpluggedRemovedAndDeleted)
{
    UseFunctionDriver();
    DeviceNode* busNode = AddRootBus();
    BusDevice* bus = BusOf(busNode);
    ReaderDevice* reader = CreateReader(bus, {5, 1, 3});
    ASSERT_NE(reader, nullptr);
    PDEVICE_OBJECT device = reader->m_DeviceObject;
    simk::pnp::RunUntilIdle();

    const std::vector<DeviceNode*> children = simk::pnp::Children(busNode);
    ASSERT_EQ(children.size(), 1u) << "found in the next bus relations";
    DeviceNode* node = children[0];
    const simk::pnp::NodeInfo info = simk::pnp::Info(node);
    EXPECT_EQ(info.pdo, device);
    EXPECT_EQ(info.state, NodeState::Started);
    EXPECT_EQ(info.deviceId, READER_ID);
    EXPECT_EQ(info.instanceId, u"0");
    EXPECT_EQ(info.hardwareIds, std::vector<std::u16string>{READER_ID});
    EXPECT_TRUE(info.compatibleIds.empty());
    EXPECT_EQ(info.description, std::u16string(u"MicroSD SmartCard Reader"));
    EXPECT_FALSE(info.location.has_value());
    EXPECT_EQ(info.capabilitiesStatus, STATUS_SUCCESS);
    EXPECT_TRUE(info.capabilities.Removable && info.capabilities.SurpriseRemovalOK && info.capabilities.SilentInstall);
    EXPECT_EQ(info.capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(info.capabilities.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    ASSERT_TRUE(info.busInformation.has_value());
    EXPECT_EQ(info.busInformation->BusTypeGuid.Data1, 0xAF529766u);
    EXPECT_EQ(info.busInformation->LegacyBusType, PNPBus);
    EXPECT_EQ(info.busInformation->BusNumber, 0u);
    EXPECT_TRUE(info.functionDriverAttached);
    EXPECT_EQ(reader->m_State, ReaderState::Started);

    const std::u16string key = simk::pnp::HardwareKeyPath(node);
    const std::u16string instance = u"\\MicroSDSmartCardBus\\MicroSDSmartCardReader\\0\\";
    EXPECT_NE(key.find(instance), std::u16string::npos) << simk::Narrow(key);
    EXPECT_EQ(simk::registry::ValueNames(key), (std::vector<std::u16string>{u"Number", u"Drive", u"Log", u"Exists"}));
    EXPECT_EQ(simk::registry::QueryDword(key, u"Number"), 5u);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Drive"), 1u);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Log"), 3u);
    EXPECT_EQ(simk::registry::QueryDword(key, u"Exists"), 1u);

    ASSERT_EQ(bus->RemoveReader(device), STATUS_SUCCESS);
    EXPECT_EQ(reader->m_State, ReaderState::Unplugged);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed) << "reported missing";
    EXPECT_TRUE(Saw(node, IRP_MN_SURPRISE_REMOVAL));
    EXPECT_TRUE(Saw(node, IRP_MN_REMOVE_DEVICE));
    EXPECT_FALSE(Exists(device));
    EXPECT_EQ(simk::pnp::ChildFunctionDeviceCount(), 0u);
    ExpectOnlyRegistryPool(1);

    EXPECT_EQ(simk::pnp::RemoveDevice(busNode), STATUS_SUCCESS);
    EXPECT_FALSE(g_ControlDevice->m_BusReady);
    EXPECT_EQ(simk::UnloadDriver(m_Driver), STATUS_SUCCESS);
}

TEST_F(ReaderLifecycleTest, FunctionDriverPoweringDownOnTheWayOutDoesNotKeepTheReaderAlive)
{
    UseFunctionDriver(true);
    DeviceNode* busNode = AddRootBus();
    BusDevice* bus = BusOf(busNode);
    PDEVICE_OBJECT device = CreateReader(bus)->m_DeviceObject;
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::pnp::Children(busNode).size(), 1u);

    ASSERT_EQ(bus->RemoveReader(device), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    bool poweredDown = false;
    for (const simk::power::SetPowerStateCall& call : simk::power::SetPowerStateCallsFor(device)) {
        poweredDown |= call.type == DevicePowerState && call.state.DeviceState == PowerDeviceD3;
    }
    EXPECT_TRUE(poweredDown) << "the reader went through D3 after it was unplugged";
    EXPECT_FALSE(Exists(device));
    ExpectOnlyRegistryPool(1);
}

TEST_F(ReaderLifecycleTest, BusRemovalIsVetoedWhileItHasAReaderAndSucceedsAfterwards)
{
    UseFunctionDriver();
    DeviceNode* busNode = AddRootBus();
    BusDevice* bus = BusOf(busNode);
    ReaderDevice* reader = CreateReader(bus);
    PDEVICE_OBJECT device = reader->m_DeviceObject;
    simk::pnp::RunUntilIdle();

    DeviceNode* vetoedBy = nullptr;
    EXPECT_EQ(simk::pnp::RemoveDevice(busNode, &vetoedBy), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vetoedBy, busNode);
    EXPECT_EQ(simk::pnp::State(busNode), NodeState::Started);
    EXPECT_EQ(reader->m_State, ReaderState::Started) << "its query-remove was cancelled";
    EXPECT_TRUE(g_ControlDevice->m_BusReady);

    ASSERT_EQ(bus->RemoveReader(device), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::RemoveDevice(busNode), STATUS_SUCCESS);
    EXPECT_FALSE(g_ControlDevice->m_BusReady);
    EXPECT_EQ(simk::UnloadDriver(m_Driver), STATUS_SUCCESS);
}

// A reader whose start failed is removed by Plug and Play but stays on its bus; when the bus goes,
// it takes the reader with it.
TEST_F(ReaderLifecycleTest, ReaderLeftOnAVanishingBusIsDeletedWithIt)
{
    DeviceNode* busNode = AddRootBus();
    simk::faults::FailAlways(simk::Call::IoOpenDeviceRegistryKey, STATUS_ACCESS_DENIED);
    PDEVICE_OBJECT device = CreateReader(BusOf(busNode))->m_DeviceObject;
    simk::pnp::RunUntilIdle();
    simk::faults::DisarmAll();
    DeviceNode* node = simk::pnp::FindNodeByPdo(device);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(simk::pnp::State(node), NodeState::StartFailed);
    EXPECT_TRUE(Exists(device)) << "its removal after the failed start keeps a listed reader";

    simk::pnp::SurpriseRemoveDevice(busNode);
    EXPECT_FALSE(Exists(device));
    EXPECT_EQ(simk::DevicesOfDriver(m_Driver).size(), 1u) << "only the control device";
    ExpectOnlyRegistryPool(0);
    EXPECT_EQ(simk::UnloadDriver(m_Driver), STATUS_SUCCESS);
}

// Plug and Play keeps the node of a reader whose start failed until the bus stops reporting it;
// the client's removal then ends it through Plug and Play's final removal.
TEST_F(ReaderLifecycleTest, ReaderWhoseStartFailedIsRemovedByTheClientThroughPlugAndPlay)
{
    DeviceNode* busNode = AddRootBus();
    BusDevice* bus = BusOf(busNode);
    simk::faults::FailAlways(simk::Call::IoOpenDeviceRegistryKey, STATUS_ACCESS_DENIED);
    PDEVICE_OBJECT device = CreateReader(bus)->m_DeviceObject;
    simk::pnp::RunUntilIdle();
    simk::faults::DisarmAll();
    DeviceNode* node = simk::pnp::FindNodeByPdo(device);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(simk::pnp::State(node), NodeState::StartFailed);

    ASSERT_EQ(bus->RemoveReader(device), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_FALSE(Exists(device));
    ExpectOnlyRegistryPool(1);
    EXPECT_EQ(simk::pnp::RemoveDevice(busNode), STATUS_SUCCESS);
    EXPECT_EQ(simk::UnloadDriver(m_Driver), STATUS_SUCCESS);
}

} // namespace
