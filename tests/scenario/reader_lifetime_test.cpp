// Reader and bus lifetimes as Windows drives them: handles that hold a final removal back past the
// bus, disable and uninstall while the bus still reports a reader, relations replies the stack
// refuses, answers of the reader's function driver, and a sweep over the orders in which the
// client, the control handle's cleanup, Plug and Play's action on the reader (disable, uninstall
// and rescan, restart, driver update) and the bus's removal come, also with filters above the bus
// and the reader and with the machine sleeping between the steps.
// Every test ends with the leak checks after the last bus; a device deleted twice, a request to a deleted
// device or a PDO deleted while still reported stops the test as a verifier violation.
#include "support/client_session.h"

#include <algorithm>
#include <array>
#include <string>

namespace {

using msdsc::testing::READER_HARDWARE_ID;

using msdsc::testing::AddReader;
using msdsc::testing::HandleOf;
using msdsc::testing::RemoveReader;
using simk::pnp::DeviceNode;
using simk::pnp::NodeState;

class ReaderLifetime : public msdsc::testing::WithOpenClient<1>
{
protected:
    void UseFunctionDriver(bool powerDown, simk::pnp::ChildFunctionDriverOptions options = {})
    {
        options.hardwareId = READER_HARDWARE_ID;
        options.powerDownOnSurpriseRemoval = powerDown;
        options.powerDownOnRemove = powerDown;
        simk::pnp::SetChildFunctionDriver(options);
    }

    // Adds a reader and lets Plug and Play settle; the reader's node, found by its hardware ID.
    DeviceNode* AddSettled(BusReaderHandle* handle)
    {
        const msdsc::testing::Reply reply = AddReader(m_Client, {1, 2, 3});
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        *handle = HandleOf(reply);
        simk::pnp::RunUntilIdle();
        return ReaderNode();
    }

    DeviceNode* ReaderNode() const
    {
        for (DeviceNode* node : simk::pnp::Children(BusNode(0))) {
            const simk::pnp::NodeInfo info = simk::pnp::Info(node);
            if (!info.hardwareIds.empty() && info.hardwareIds[0] == READER_HARDWARE_ID) {
                return node;
            }
        }
        return nullptr;
    }

    bool Exists(PDEVICE_OBJECT device) const
    {
        const std::vector<PDEVICE_OBJECT> live = simk::DevicesOfDriver(Driver());
        return std::find(live.begin(), live.end(), device) != live.end();
    }

    // The driver's device objects other than the control device and the bus devices (which sit on
    // a stack).
    size_t ReaderObjects() const
    {
        size_t count = 0;
        for (PDEVICE_OBJECT device : simk::DevicesOfDriver(Driver())) {
            if (device->DeviceType == FILE_DEVICE_BUS_EXTENDER &&
                device->DeviceObjectExtension->AttachedTo == nullptr) {
                ++count;
            }
        }
        return count;
    }
};

// The client removes a reader whose stack a service keeps a handle on; the bus is uninstalled
// before that handle closes. The reader's final removal then comes after its bus is gone.
TEST_F(ReaderLifetime, ReaderHeldByAHandleOutlivesItsUninstalledBusAndGoesAtTheLastClose)
{
    UseFunctionDriver(false);
    BusReaderHandle handle{};
    DeviceNode* node = AddSettled(&handle);
    ASSERT_NE(node, nullptr);
    PDEVICE_OBJECT pdo = simk::pnp::Pdo(node);
    simk::user::Handle service = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(pdo, &service), STATUS_SUCCESS);

    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::SurpriseRemoved);
    EXPECT_TRUE(simk::pnp::AwaitingCloses(node));

    ASSERT_EQ(Close(m_Client), STATUS_SUCCESS);
    ASSERT_EQ(simk::pnp::RemoveDevice(BusNode(0)), STATUS_SUCCESS);
    EXPECT_EQ(simk::pnp::State(BusNode(0)), NodeState::Removed);
    EXPECT_TRUE(Exists(pdo)) << "its final removal has not come yet";

    ASSERT_EQ(simk::user::Close(service), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_FALSE(Exists(pdo));
}

// A started reader is uninstalled while its function driver powers it down on the way out. Its bus
// still reports it, so it stays, and only the client's removal ends it: Plug and Play removes it
// once more when the bus stops reporting it.
TEST_F(ReaderLifetime, UninstalledReaderStaysOnItsBusUntilTheClientRemovesIt)
{
    UseFunctionDriver(true);
    BusReaderHandle handle{};
    DeviceNode* node = AddSettled(&handle);
    ASSERT_NE(node, nullptr);
    PDEVICE_OBJECT pdo = simk::pnp::Pdo(node);

    ASSERT_EQ(simk::pnp::RemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(simk::pnp::State(node), NodeState::Disabled) << "its bus still reports it";
    EXPECT_TRUE(Exists(pdo));
    EXPECT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS) << "the uninstall left it to the client";
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_FALSE(Exists(pdo));
}

// Disable and enable: the removal leaves the reader on its bus, and the enable starts the same
// reader again, with its number, its configuration and the client's handle still good.
TEST_F(ReaderLifetime, DisabledReaderStartsAgainWhenEnabledAndIsTheClientsStill)
{
    UseFunctionDriver(true);
    BusReaderHandle handle{};
    DeviceNode* node = AddSettled(&handle);
    ASSERT_NE(node, nullptr);
    PDEVICE_OBJECT pdo = simk::pnp::Pdo(node);
    const std::u16string key = simk::pnp::HardwareKeyPath(node);

    ASSERT_EQ(simk::pnp::DisableDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(simk::pnp::State(node), NodeState::Disabled);
    EXPECT_EQ(simk::pnp::QueuedWorkCount(), 0u) << "the reader stays on its bus";
    simk::registry::SetDword(key, u"Drive", 0);
    ASSERT_EQ(simk::pnp::EnableDevice(node), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Started);
    EXPECT_EQ(simk::pnp::Pdo(node), pdo);
    EXPECT_EQ(simk::pnp::Info(node).instanceId, u"0");
    EXPECT_EQ(simk::registry::QueryDword(key, u"Drive"), 2u) << "the configuration is written again";

    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_FALSE(Exists(pdo));
}

// A relations reply the stack below the bus refuses never reached Plug and Play: the reader in it
// is unknown to Plug and Play, and the client's removal deletes it at once.
TEST_F(ReaderLifetime, ReaderOnlyInARefusedRelationsReplyIsDeletedByTheClientsRemoval)
{
    simk::pnp::FailBusRelationsBelow(BusNode(0), STATUS_INSUFFICIENT_RESOURCES);
    BusReaderHandle handle{};
    EXPECT_EQ(AddSettled(&handle), nullptr) << "Plug and Play never saw it";
    ASSERT_EQ(ReaderObjects(), 1u);
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("msbp")), 0u) << "the refused reply came back to the bus";

    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    EXPECT_EQ(ReaderObjects(), 0u);
    simk::pnp::FailBusRelationsBelow(BusNode(0), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(simk::pnp::Children(BusNode(0)).empty());
}

// A reader Plug and Play learnt of from a reply that reached it; every reply after that is refused
// below the bus, also after the client has removed the reader. Plug and Play still has it, so it
// stays until Plug and Play's own removal, which comes once a reply without it gets through.
TEST_F(ReaderLifetime, ReaderPlugAndPlayKnowsOutlivesRefusedRepliesUntilPlugAndPlayRemovesIt)
{
    BusReaderHandle handle{};
    DeviceNode* node = AddSettled(&handle);
    ASSERT_NE(node, nullptr);
    PDEVICE_OBJECT pdo = simk::pnp::Pdo(node);
    simk::pnp::FailBusRelationsBelow(BusNode(0), STATUS_INSUFFICIENT_RESOURCES);
    simk::pnp::EnumerateNow(BusNode(0));

    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    simk::pnp::EnumerateNow(BusNode(0));
    EXPECT_TRUE(Exists(pdo)) << "deleted while Plug and Play still has it";
    EXPECT_EQ(simk::pnp::State(node), NodeState::Started);

    simk::pnp::FailBusRelationsBelow(BusNode(0), STATUS_SUCCESS);
    simk::pnp::EnumerateNow(BusNode(0));
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    EXPECT_FALSE(Exists(pdo));
    // Deleted is not gone: each refused reply took a reference on it, which the bus must drop.
    EXPECT_FALSE(simk::IsDeviceObject(pdo)) << "a refused reply's reference keeps its memory";
}

// The reader's stack fails while its bus still reports it (surprise removal, then removal: the node
// stays, disabled); the client removes it and the bus is uninstalled before Plug and Play has asked
// for the relations again. The reader goes with its bus, and its number is free for the next reader.
TEST_F(ReaderLifetime, ReaderThatFailedWhileListedGoesWithItsUninstalledBusAndGivesBackItsNumber)
{
    BusReaderHandle handle{};
    DeviceNode* node = AddSettled(&handle);
    ASSERT_NE(node, nullptr);
    PDEVICE_OBJECT pdo = simk::pnp::Pdo(node);
    simk::pnp::SurpriseRemoveDevice(node);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::pnp::State(node), NodeState::Disabled) << "its bus still reports it";

    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    ASSERT_EQ(simk::pnp::RemoveDevice(BusNode(0)), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderObjects(), 0u);
    EXPECT_FALSE(simk::IsDeviceObject(pdo)) << "the reader outlived its bus";

    AddBus();
    ASSERT_EQ(Close(m_Client), STATUS_SUCCESS);
    ASSERT_EQ(Open(&m_Client), STATUS_SUCCESS);
    const msdsc::testing::Reply next = AddReader(m_Client, {4, 5, 6});
    ASSERT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(HandleOf(next).ReaderHandle & 0xFFFFFFFFull, 0u) << "number 0 was never given back";
}

// The reader's function driver answers the device-state query sent after every start and WMI
// requests; the reader keeps those answers, and a request nobody answered keeps the status it was
// sent with.
TEST_F(ReaderLifetime, AnswersOfTheReadersFunctionDriverAreKept)
{
    simk::pnp::ChildFunctionDriverOptions answering;
    answering.pnpAnswers[IRP_MN_QUERY_PNP_DEVICE_STATE] = {STATUS_SUCCESS, PNP_DEVICE_NOT_DISABLEABLE};
    answering.wmiAnswer = STATUS_SUCCESS;
    UseFunctionDriver(false, answering);
    BusReaderHandle handle{};
    DeviceNode* answered = AddSettled(&handle);
    ASSERT_NE(answered, nullptr);
    simk::pnp::NodeInfo info = simk::pnp::Info(answered);
    EXPECT_EQ(info.deviceStateStatus, STATUS_SUCCESS);
    EXPECT_EQ(info.deviceState, static_cast<ULONG_PTR>(PNP_DEVICE_NOT_DISABLEABLE));
    EXPECT_EQ(simk::pnp::SendWmiRequest(answered, IRP_MN_QUERY_ALL_DATA), STATUS_SUCCESS);

    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    UseFunctionDriver(false);
    DeviceNode* unanswered = AddSettled(&handle);
    ASSERT_NE(unanswered, nullptr);
    info = simk::pnp::Info(unanswered);
    EXPECT_EQ(info.state, NodeState::Started);
    EXPECT_EQ(info.deviceStateStatus, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(simk::pnp::SendWmiRequest(unanswered, IRP_MN_QUERY_ALL_DATA), STATUS_NOT_SUPPORTED);
}

// A surprise-removed bus waits for a handle on its stack before its final removal; until then it
// exists, is registered, and must refuse new readers. It is pageable like the device below it.
TEST_F(ReaderLifetime, SurpriseRemovedBusRefusesNewReaders)
{
    PDEVICE_OBJECT busPdo = simk::pnp::Pdo(BusNode(0));
    EXPECT_NE(busPdo->AttachedDevice->Flags & DO_POWER_PAGABLE, 0u);
    simk::user::Handle onBus = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(busPdo, &onBus), STATUS_SUCCESS);
    simk::pnp::SurpriseRemoveDevice(BusNode(0));
    ASSERT_EQ(simk::pnp::State(BusNode(0)), NodeState::SurpriseRemoved);

    EXPECT_EQ(AddReader(m_Client, {1, 2, 3}).status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(ReaderObjects(), 0u);

    ASSERT_EQ(simk::user::Close(onBus), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(BusNode(0)), NodeState::Removed);
}

// Rebalancing a bus that consumes resources stops and starts its stack and the reader's below it;
// the reader writes its configuration again and the bus takes readers again.
TEST_F(ReaderLifetime, RebalancedReaderAndBusStartAgain)
{
    BusReaderHandle handle{};
    DeviceNode* node = AddSettled(&handle);
    ASSERT_NE(node, nullptr);
    simk::pnp::RootDeviceConsumesResources(BusNode(0), true);
    simk::registry::SetDword(simk::pnp::HardwareKeyPath(node), u"Drive", 0);
    EXPECT_EQ(simk::pnp::Rebalance(BusNode(0)), STATUS_SUCCESS);
    EXPECT_EQ(simk::pnp::State(node), NodeState::Started);
    EXPECT_EQ(simk::registry::QueryDword(simk::pnp::HardwareKeyPath(node), u"Drive"), 2u) << "written at its new start";
    EXPECT_EQ(simk::pnp::State(BusNode(0)), NodeState::Started);
    EXPECT_EQ(AddReader(m_Client, {4, 5, 6}).status, STATUS_SUCCESS);
}

// ---- The sweep -------------------------------------------------------------------------------

enum class Step { ClientRemove, ClientCleanup, ReaderRemoval, BusRemoval };
// What Plug and Play does to the reader's own node: nothing, a disable, an uninstall, an uninstall
// followed by "scan for hardware changes", a restart, or a driver update of its function driver.
enum class ReaderAction { StaysStarted, Disable, Uninstall, UninstallAndScan, Restart, DriverUpdate };
enum class BusAction { Uninstall, Pull };

struct Life {
    bool functionDriver;
    bool powerDown;
    bool handle;
    bool filters; // another product's upper filter above the bus and above the reader
    bool sleep;   // the machine sleeps (S3) and wakes after every step
    ReaderAction reader;
    BusAction bus;
    bool sample = false; // the package's sample reader driver in place of the double
};

std::string NameOf(const ::testing::TestParamInfo<Life>& info)
{
    const Life& life = info.param;
    std::string name = life.sample            ? "Sample"
                       : !life.functionDriver ? "Bare"
                       : life.powerDown       ? "PoweringDown"
                                              : "Driven";
    name += life.handle ? "Held" : "";
    name += life.filters ? "Filtered" : "";
    name += life.sleep ? "Sleeping" : "";
    static const char* const readerNames[] = {"Started",   "Disabled", "Uninstalled", "UninstalledScanned",
                                              "Restarted", "Updated"};
    name += readerNames[static_cast<int>(life.reader)];
    name += life.bus == BusAction::Uninstall ? "BusUninstalled" : "BusPulled";
    return name;
}

std::vector<Life> EveryLife()
{
    std::vector<Life> lives;
    const Life setups[] = {{false, false, false, false, false},
                           {true, false, false, false, false},
                           {true, false, true, false, false},
                           {true, true, false, false, false},
                           {true, true, true, false, false},
                           {true, false, true, true, false},
                           {true, true, false, true, true},
                           {true, false, false, false, false, {}, {}, true},
                           {true, false, true, false, false, {}, {}, true}};
    for (const Life& setup : setups) {
        for (ReaderAction reader :
             {ReaderAction::StaysStarted, ReaderAction::Disable, ReaderAction::Uninstall,
              ReaderAction::UninstallAndScan, ReaderAction::Restart, ReaderAction::DriverUpdate}) {
            for (BusAction bus : {BusAction::Uninstall, BusAction::Pull}) {
                Life life = setup;
                life.reader = reader;
                life.bus = bus;
                lives.push_back(life);
            }
        }
    }
    return lives;
}

class LifetimeSweep : public ReaderLifetime, public ::testing::WithParamInterface<Life>
{
protected:
    // One life in one order, in a fresh kernel with the driver loaded anew.
    void Live(const std::array<Step, 4>& order)
    {
        const Life life = GetParam();
        if (life.sample) {
            simk::pnp::ClearChildFunctionDriver();
            ASSERT_NE(InstallSampleReaderDriver(), nullptr);
        } else if (life.functionDriver) {
            UseFunctionDriver(life.powerDown);
        }
        if (life.filters) {
            std::string error;
            ASSERT_NE(simk::pnp::InstallService(SIMK_FILTER_TEST_DRIVER, u"UpperProbe", &error), nullptr) << error;
            simk::pnp::SetDeviceFilters(BusNode(0), {u"UpperProbe"}, {});
            ASSERT_EQ(simk::pnp::RestartDevice(BusNode(0)), STATUS_SUCCESS);
        }
        BusReaderHandle handle{};
        DeviceNode* node = AddSettled(&handle);
        ASSERT_NE(node, nullptr);
        if (life.filters) {
            simk::pnp::SetDeviceFilters(node, {u"UpperProbe"}, {});
            ASSERT_EQ(simk::pnp::RestartDevice(node), STATUS_SUCCESS);
            simk::pnp::RunUntilIdle();
            ASSERT_EQ(simk::pnp::Stack(node).size(), 3u) << "the reader, its function driver and the filter";
        }
        if (life.sample) {
            ASSERT_NE(simk::pnp::Pdo(node)->AttachedDevice, nullptr);
            ASSERT_EQ(simk::pnp::Pdo(node)->AttachedDevice->DriverObject, m_Sample)
                << "the sample is the reader's driver";
        }
        simk::user::Handle onReader = nullptr;
        if (life.handle) {
            ASSERT_EQ(simk::user::OpenDeviceObject(simk::pnp::Pdo(node), &onReader), STATUS_SUCCESS);
        }
        for (Step step : order) {
            switch (step) {
            case Step::ClientRemove:
                // Any status: the reader may be gone already. Only a crash or a violation fails.
                RemoveReader(m_Client, handle);
                break;
            case Step::ClientCleanup:
                Close(m_Client);
                break;
            case Step::ReaderRemoval:
                // A veto (an open handle) is a sound outcome too.
                if (simk::pnp::State(node) == NodeState::Started) {
                    switch (life.reader) {
                    case ReaderAction::StaysStarted:
                        break;
                    case ReaderAction::Disable:
                        simk::pnp::DisableDevice(node);
                        break;
                    case ReaderAction::Uninstall:
                        simk::pnp::RemoveDevice(node);
                        break;
                    case ReaderAction::UninstallAndScan:
                        simk::pnp::RemoveDevice(node);
                        simk::pnp::ScanForHardwareChanges();
                        break;
                    case ReaderAction::Restart:
                        simk::pnp::RestartDevice(node);
                        break;
                    case ReaderAction::DriverUpdate:
                        simk::pnp::UpdateDriver(node, simk::pnp::ChildFunctionDriver());
                        break;
                    }
                }
                break;
            case Step::BusRemoval:
                if (simk::pnp::State(BusNode(0)) != NodeState::Started)
                    break;
                if (life.bus == BusAction::Pull) {
                    simk::pnp::SurpriseRemoveDevice(BusNode(0));
                } else {
                    simk::pnp::RemoveDevice(BusNode(0)); // vetoed while the reader is on the bus
                }
                break;
            }
            simk::pnp::RunUntilIdle();
            if (life.sleep) {
                // Any status: only a crash or a violation fails.
                simk::pnp::SetSystemPowerState(PowerSystemSleeping3);
                simk::pnp::SetSystemPowerState(PowerSystemWorking);
                simk::pnp::RunUntilIdle();
            }
        }
        if (onReader != nullptr) {
            ASSERT_EQ(simk::user::Close(onReader), STATUS_SUCCESS);
        }
        CloseClients();
        simk::pnp::RunUntilIdle();
        EXPECT_EQ(ReaderObjects(), 0u) << "every reader deleted once all have let go";
        EXPECT_NE(simk::pnp::State(node), NodeState::SurpriseRemoved);
    }
};

TEST_P(LifetimeSweep, EveryOrderEndsWithEveryReaderDeletedOnceAndNothingLeaked)
{
    std::array<Step, 4> order = {Step::ClientRemove, Step::ClientCleanup, Step::ReaderRemoval, Step::BusRemoval};
    bool first = true;
    do {
        if (!first) {
            // A fresh kernel and a fresh load for each order; the leak checks run in between.
            TearDown();
            SetUp();
        }
        first = false;
        SCOPED_TRACE("order " + std::to_string(static_cast<int>(order[0])) +
                     std::to_string(static_cast<int>(order[1])) + std::to_string(static_cast<int>(order[2])) +
                     std::to_string(static_cast<int>(order[3])));
        Live(order);
        if (HasFatalFailure())
            return;
    } while (std::next_permutation(order.begin(), order.end()));
}

INSTANTIATE_TEST_SUITE_P(Lives, LifetimeSweep, ::testing::ValuesIn(EveryLife()), NameOf);

} // namespace
