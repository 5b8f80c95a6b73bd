// Stacks built from the registry by one routine: a node with no function driver waits at problem
// 28 unless it may run raw, an install starts the nodes waiting for it, and filters attach in the
// documented order around the function driver.
#include "pnp_test_bus.h"

#include "simkernel/kernel.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/testing.h"

#include <algorithm>

using namespace simk::pnp;
using pnptest::ChildShape;
using pnptest::Minors;
using pnptest::TestBus;

namespace {

constexpr char16_t CHILD_ID[] = u"TestBus\\Child";

class PnpStacks : public simk::testing::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        bus = std::make_unique<TestBus>();
        busNode = CreateRootDevice(bus->Driver(), u"TestBus\\Bus");
        ASSERT_EQ(State(busNode), NodeState::Started);
    }
    void TearDown() override {
        KernelTest::TearDown();
        bus.reset();
    }

    DeviceNode* PlugAndEnumerate(ChildShape shape, pnptest::Child** plugged = nullptr) {
        pnptest::Child* child = bus->Plug(shape);
        if (plugged) *plugged = child;
        bus->Invalidate();
        RunUntilIdle();
        return FindNodeByPdo(child->pdo);
    }

    std::unique_ptr<TestBus> bus;
    DeviceNode* busNode = nullptr;
};

TEST_F(PnpStacks, ChildWithNoFunctionDriverWaitsAtProblem28UntilOneIsInstalled) {
    ChildShape shape;
    shape.rawDeviceOk = false;
    pnptest::Child* child = nullptr;
    DeviceNode* node = PlugAndEnumerate(shape, &child);
    ASSERT_NE(node, nullptr);

    // Present and identified, but nobody was asked to add a device and no start was sent.
    EXPECT_EQ(State(node), NodeState::NotInstalled);
    EXPECT_EQ(Info(node).problemCode, CM_PROB_FAILED_INSTALL);
    EXPECT_EQ(Stack(node).size(), 1u);
    const auto before = Minors(bus->ChildSeen(child));
    EXPECT_EQ(std::count(before.begin(), before.end(), IRP_MN_START_DEVICE), 0);
    EXPECT_TRUE(simk::registry::KeyExists(HardwareKeyPath(node)));

    // A later install for its hardware ID starts it with that driver, as an install on Windows does.
    ChildFunctionDriverOptions function;
    function.hardwareId = CHILD_ID;
    SetChildFunctionDriver(function);
    EXPECT_EQ(State(node), NodeState::Started);
    EXPECT_EQ(Info(node).problemCode, 0u);
    EXPECT_TRUE(Info(node).functionDriverAttached);
    ASSERT_EQ(Stack(node).size(), 2u);
    EXPECT_EQ(Stack(node)[1]->DriverObject, ChildFunctionDriver());
    const auto after = Minors(bus->ChildSeen(child));
    EXPECT_EQ(std::count(after.begin(), after.end(), IRP_MN_START_DEVICE), 1);
}

TEST_F(PnpStacks, RawCapableChildStartsWithItsBusDriverAlone) {
    DeviceNode* node = PlugAndEnumerate(ChildShape{});
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(State(node), NodeState::Started);
    EXPECT_TRUE(Info(node).raw);
    EXPECT_EQ(Stack(node).size(), 1u);
}

TEST_F(PnpStacks, DeviceInstalledOnceKeepsItsServiceWhenItComesBack) {
    ChildShape shape;
    shape.rawDeviceOk = false;
    shape.instanceId = u"Same";
    shape.uniqueId = true;
    ChildFunctionDriverOptions function;
    function.hardwareId = CHILD_ID;
    SetChildFunctionDriver(function);
    pnptest::Child* child = nullptr;
    DeviceNode* node = PlugAndEnumerate(shape, &child);
    ASSERT_EQ(State(node), NodeState::Started);
    EXPECT_TRUE(simk::registry::QueryValue(DeviceKeyPath(node), u"Service").has_value());

    // The package goes from the store, the device leaves and comes back: its device key still names
    // its service, as on Windows, so it starts with it again.
    UninstallDriverPackage(CHILD_ID);
    bus->Unplug(child);
    bus->Invalidate();
    RunUntilIdle();
    DeviceNode* again = PlugAndEnumerate(shape);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(State(again), NodeState::Started);

    // A new device matching nothing waits at problem 28.
    shape.instanceId = u"Other";
    EXPECT_EQ(State(PlugAndEnumerate(shape)), NodeState::NotInstalled);
}

}  // namespace
