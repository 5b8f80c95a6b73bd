// Stacks built from the registry by one routine: a node with no function driver waits at problem
// 28 unless it may run raw, an install starts the nodes waiting for it, and filters attach in the
// documented order around the function driver.
#include "pnp_test_bus.h"

#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/testing.h"
#include "simkernel/verifier.h"

#include <algorithm>
#include <chrono>
#include <thread>

using namespace simk::pnp;
using pnptest::ChildShape;
using pnptest::Minors;
using pnptest::TestBus;

namespace {

constexpr char16_t CHILD_ID[] = u"TestBus\\Child";
constexpr char16_t CHILD_CLASS[] = u"{4d36e97d-e325-11ce-bfc1-08002be10318}";

class PnpStacks : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        bus = std::make_unique<TestBus>();
        busNode = CreateRootDevice(bus->Driver(), u"TestBus\\Bus");
        ASSERT_EQ(State(busNode), NodeState::Started);
    }
    void TearDown() override
    {
        KernelTest::TearDown();
        bus.reset();
    }

    DeviceNode* PlugAndEnumerate(ChildShape shape, pnptest::Child** plugged = nullptr)
    {
        pnptest::Child* child = bus->Plug(shape);
        if (plugged)
            *plugged = child;
        bus->Invalidate();
        RunUntilIdle();
        return FindNodeByPdo(child->pdo);
    }

    std::unique_ptr<TestBus> bus;
    DeviceNode* busNode = nullptr;
};

TEST_F(PnpStacks, ChildWithNoFunctionDriverWaitsAtProblem28UntilOneIsInstalled)
{
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

TEST_F(PnpStacks, RawCapableChildStartsWithItsBusDriverAlone)
{
    DeviceNode* node = PlugAndEnumerate(ChildShape{});
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(State(node), NodeState::Started);
    EXPECT_TRUE(Info(node).raw);
    EXPECT_EQ(Stack(node).size(), 1u);
}

TEST_F(PnpStacks, DeviceInstalledOnceKeepsItsServiceWhenItComesBack)
{
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

TEST_F(PnpStacks, FiltersAttachInTheDocumentedOrderAroundTheFunctionDriver)
{
    ChildFunctionDriverOptions function;
    function.hardwareId = CHILD_ID;
    SetChildFunctionDriver(function);
    InstallDriver(CHILD_ID, ChildFunctionDriver(), CHILD_CLASS);
    DRIVER_OBJECT* devLower = pnptest::LoadPassThroughDriver(u"DevLower");
    DRIVER_OBJECT* classLower = pnptest::LoadPassThroughDriver(u"ClassLower");
    DRIVER_OBJECT* devUpper = pnptest::LoadPassThroughDriver(u"DevUpper");
    DRIVER_OBJECT* classUpper = pnptest::LoadPassThroughDriver(u"ClassUpper");
    SetClassFilters(CHILD_CLASS, {u"ClassUpper"}, {u"ClassLower"});

    // The class's filters are there from the first start.
    DeviceNode* node = PlugAndEnumerate(ChildShape{});
    ASSERT_EQ(State(node), NodeState::Started);
    auto drivers = [&] {
        std::vector<DRIVER_OBJECT*> out;
        for (DEVICE_OBJECT* d : Stack(node))
            out.push_back(d->DriverObject);
        return out;
    };
    EXPECT_EQ(drivers(), (std::vector<DRIVER_OBJECT*>{bus->Driver(), classLower, ChildFunctionDriver(), classUpper}));

    // The device's own filters come with its next stack, nearer the function driver than the class's.
    SetDeviceFilters(node, {u"DevUpper"}, {u"DevLower"});
    EXPECT_EQ(RestartDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(drivers(), (std::vector<DRIVER_OBJECT*>{bus->Driver(), devLower, classLower, ChildFunctionDriver(),
                                                      devUpper, classUpper}));
    // Requests go to the top of the stack and reach the PDO through every filter.
    EXPECT_EQ(IrpLogFor(node).back().target, Stack(node).back());
    EXPECT_EQ(RemoveDevice(node), STATUS_SUCCESS);
}

TEST_F(PnpStacks, FilterImageThatFailsTheStartOnItsWayUpFailsTheDevice)
{
    std::string error;
    DRIVER_OBJECT* filter = InstallService(SIMK_FILTER_TEST_DRIVER, u"ProbeFilter", &error);
    ASSERT_NE(filter, nullptr) << error;
    auto failOnWayUp =
        reinterpret_cast<void (*)(UCHAR, UCHAR, NTSTATUS)>(simk::ImageSymbol(filter, "FilterTestFailOnWayUp"));
    auto devices = reinterpret_cast<LONG (*)()>(simk::ImageSymbol(filter, "FilterTestDeviceCount"));
    ASSERT_TRUE(failOnWayUp && devices);
    ChildFunctionDriverOptions function;
    function.hardwareId = CHILD_ID;
    SetChildFunctionDriver(function);
    InstallDriver(CHILD_ID, ChildFunctionDriver(), CHILD_CLASS);
    SetClassFilters(CHILD_CLASS, {}, {u"ProbeFilter"});

    // Below the function driver, the filter turns the PDO's successful start into a failure: the
    // function driver sees it fail, the device does not start and its stack is removed.
    failOnWayUp(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_READY);
    DeviceNode* node = PlugAndEnumerate(ChildShape{});
    EXPECT_EQ(State(node), NodeState::StartFailed);
    EXPECT_EQ(Info(node).problem, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Info(node).problemCode, CM_PROB_FAILED_START);
    EXPECT_EQ(devices(), 0);
    EXPECT_EQ(ChildFunctionDeviceCount(), 0u);
    EXPECT_EQ(Stack(node).size(), 1u);

    // Once it lets the start through, a restart brings the device up with the filter in its stack.
    failOnWayUp(IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_SUCCESS);
    EXPECT_EQ(RestartDevice(node), STATUS_SUCCESS);
    ASSERT_EQ(Stack(node).size(), 3u);
    EXPECT_EQ(Stack(node)[1]->DriverObject, filter);
    EXPECT_EQ(devices(), 1);
    EXPECT_EQ(RemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(devices(), 0);
}

// The removal rules of an uninstall reach a device that never started: it is asked too, and hears
// the cancel when another device of the subtree vetoes.
TEST_F(PnpStacks, UninstallAsksADeviceThatNeverStartedAndCancelsItOnAVeto)
{
    ChildShape waiting;
    waiting.rawDeviceOk = false;
    pnptest::Child* idle = nullptr;
    DeviceNode* idleNode = PlugAndEnumerate(waiting, &idle);
    ASSERT_EQ(State(idleNode), NodeState::NotInstalled);
    ChildShape vetoing;
    vetoing.queryRemoveStatus = STATUS_DEVICE_BUSY;
    DeviceNode* busy = PlugAndEnumerate(vetoing);
    ASSERT_EQ(State(busy), NodeState::Started);

    DeviceNode* vetoedBy = nullptr;
    EXPECT_EQ(RemoveDevice(busNode, &vetoedBy), STATUS_DEVICE_BUSY);
    EXPECT_EQ(vetoedBy, busy);
    const auto seen = Minors(bus->ChildSeen(idle));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_QUERY_REMOVE_DEVICE), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_CANCEL_REMOVE_DEVICE), 1);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), IRP_MN_SURPRISE_REMOVAL), 0);
    EXPECT_EQ(State(idleNode), NodeState::NotInstalled);
    EXPECT_EQ(State(busy), NodeState::Started);
}

// A device that never got its drivers is not sent a surprise removal when its bus is pulled: only
// its final removal, like every device of the subtree.
TEST_F(PnpStacks, PulledBusSendsSurpriseRemovalOnlyToStacksThatWereBuilt)
{
    ChildShape waiting;
    waiting.rawDeviceOk = false;
    pnptest::Child* idle = nullptr;
    PlugAndEnumerate(waiting, &idle);
    pnptest::Child* running = nullptr;
    PlugAndEnumerate(ChildShape{}, &running);
    SurpriseRemoveDevice(busNode);
    const auto idleSeen = Minors(bus->ChildSeen(idle));
    const auto runningSeen = Minors(bus->ChildSeen(running));
    EXPECT_EQ(std::count(idleSeen.begin(), idleSeen.end(), IRP_MN_SURPRISE_REMOVAL), 0);
    EXPECT_EQ(std::count(idleSeen.begin(), idleSeen.end(), IRP_MN_REMOVE_DEVICE), 1);
    EXPECT_EQ(std::count(runningSeen.begin(), runningSeen.end(), IRP_MN_SURPRISE_REMOVAL), 1);
    EXPECT_EQ(std::count(runningSeen.begin(), runningSeen.end(), IRP_MN_REMOVE_DEVICE), 1);
}

// Someone registers for notifications on a handle while the device is still starting: the target
// relation query is not held back until the start is done.
TEST_F(PnpStacks, TargetRelationIsAnsweredWhileTheStartIsUnderWay)
{
    ChildShape shape;
    shape.pendStart = true;
    pnptest::Child* child = bus->Plug(shape);
    StartWorkerThread();
    bus->Invalidate();
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> lock(bus->mutex);
            if (child->heldStart)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    DeviceNode* node = FindNodeByPdo(child->pdo);
    ASSERT_NE(node, nullptr);
    DEVICE_OBJECT* reported = nullptr;
    EXPECT_EQ(QueryTargetDeviceRelation(node, &reported), STATUS_SUCCESS);
    EXPECT_EQ(reported, child->pdo);
    bus->CompleteHeldStart(child, STATUS_SUCCESS);
    StopWorkerThread();
    RunUntilIdle();
    EXPECT_EQ(State(node), NodeState::Started);
}

// A PDO that refuses a request it does not handle and nobody above answered is caught; one the
// bus driver must answer itself (its capabilities, say) is not.
TEST_F(PnpStacks, PdoChangingTheStatusOfARequestNobodyAnsweredIsCaught)
{
    ChildShape shape;
    shape.refuseUnanswered = true;
    simk::verifier::Expect unanswered(simk::verifier::rules::PdoChangedUnansweredStatus);
    DeviceNode* node = PlugAndEnumerate(shape);
    ASSERT_EQ(State(node), NodeState::Started);
    // IRP_MN_FILTER_RESOURCE_REQUIREMENTS before the start and IRP_MN_QUERY_PNP_DEVICE_STATE after
    // it; none of the queries the bus driver must answer.
    ASSERT_EQ(unanswered.Count(), 2u);
    EXPECT_NE(unanswered.Captured()[0].details.find("minor 0x0D"), std::string::npos);
    EXPECT_NE(unanswered.Captured()[1].details.find("minor 0x14"), std::string::npos);

    // With the function driver above answering the device state, the PDO keeps that answer.
    ChildFunctionDriverOptions function;
    function.hardwareId = CHILD_ID;
    function.pnpAnswers[IRP_MN_QUERY_PNP_DEVICE_STATE] = {STATUS_SUCCESS, 0};
    SetChildFunctionDriver(function);
    shape.instanceId = u"Answered";
    simk::verifier::Expect answered(simk::verifier::rules::PdoChangedAnsweredStatus);
    PlugAndEnumerate(shape);
    EXPECT_EQ(unanswered.Count(), 3u); // the resource requirements only
    EXPECT_EQ(answered.Count(), 0u);
}

TEST_F(PnpStacks, FilterNotPageableAboveAPageableDeviceIsCaught)
{
    ChildFunctionDriverOptions function;
    function.hardwareId = CHILD_ID;
    SetChildFunctionDriver(function);
    InstallDriver(CHILD_ID, ChildFunctionDriver(), CHILD_CLASS);
    pnptest::LoadPassThroughDriver(u"Unpaged", false);
    SetClassFilters(CHILD_CLASS, {u"Unpaged"}, {});
    bus->Plug();
    bus->Invalidate();
    SIMK_EXPECT_VIOLATION(simk::verifier::rules::PowerPagableInconsistent, RunUntilIdle());
}

} // namespace
