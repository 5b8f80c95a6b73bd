// The driver through what the Plug and Play manager does on Windows beyond a plain add and remove:
// a reader nobody installed a function driver for, a restart or driver update of a reader, a filter
// above the bus, "scan for hardware changes", sleep with a session open, and the driver after its
// last bus is gone.
#include "support/client_session.h"
#include "support/driver_fixtures.h"

#include <algorithm>

#include "msdscbus.h"
#include "simkernel/pool.h"
#include "simkernel/power.h"
#include "simkernel/registry.h"
#include "simkernel/verifier.h"

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

class ReaderWithoutFunctionDriver : public msdsc::testing::WithOpenClient<1>
{
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
    // Closing the session and uninstalling the bus (TearDown) then run the leak checks.
}

} // namespace

namespace {

class ReaderRestart : public msdsc::testing::WithOpenClient<1>
{
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
// start again. The reader is still on its bus, so it comes back as the client's reader: the same
// PDO and instance, its values written again, and the client's handle still removes it.
void ExpectBackAsTheClientsReader(DeviceNode* reader, PDEVICE_OBJECT pdo, DeviceNode* bus)
{
    ASSERT_EQ(ReaderNodes(bus).size(), 1u);
    EXPECT_EQ(ReaderNodes(bus)[0], reader);
    EXPECT_EQ(simk::pnp::State(reader), NodeState::Started);
    EXPECT_EQ(simk::pnp::Pdo(reader), pdo);
    EXPECT_EQ(ValuesWritten(reader), 4u);
    EXPECT_EQ(simk::registry::QueryDword(simk::pnp::HardwareKeyPath(reader), u"Number"), CONFIG.Number);
}

TEST_F(ReaderRestart, RestartOfAReaderKeepsTheClientsReader)
{
    BusReaderHandle handle{};
    DeviceNode* reader = AddSettled(&handle);
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(simk::pnp::State(reader), NodeState::Started);
    PDEVICE_OBJECT pdo = simk::pnp::Pdo(reader);
    simk::registry::SetDword(simk::pnp::HardwareKeyPath(reader), u"Number", 0);

    EXPECT_EQ(simk::pnp::RestartDevice(reader), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ExpectBackAsTheClientsReader(reader, pdo, BusNode(0));

    EXPECT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(BusNode(0)).empty());
}

// The same through a driver update of the reader's function driver, twice over.
TEST_F(ReaderRestart, DriverUpdateOfTheReadersFunctionDriverKeepsTheClientsReader)
{
    BusReaderHandle handle{};
    DeviceNode* reader = AddSettled(&handle);
    ASSERT_NE(reader, nullptr);
    PDEVICE_OBJECT pdo = simk::pnp::Pdo(reader);
    for (int update = 0; update < 2; ++update) {
        SCOPED_TRACE(update);
        EXPECT_EQ(simk::pnp::UpdateDriver(reader, simk::pnp::ChildFunctionDriver()), STATUS_SUCCESS);
        simk::pnp::RunUntilIdle();
        ExpectBackAsTheClientsReader(reader, pdo, BusNode(0));
    }
    EXPECT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(BusNode(0)).empty());
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

} // namespace

namespace {

constexpr char16_t BUS_CLASS[] = u"{4d36e97d-e325-11ce-bfc1-08002be10318}"; // System devices

// Another product's upper filter on the bus class (or a probe wrapped around the bus's
// AddDevice), a driver image of its own that forwards by the rules for filters.
class BusUpperFilter : public msdsc::testing::LoadedDriver
{
protected:
    void SetUp() override
    {
        LoadedDriver::SetUp();
        std::string error;
        m_Filter = simk::pnp::InstallService(SIMK_FILTER_TEST_DRIVER, u"UpperProbe", &error);
        ASSERT_NE(m_Filter, nullptr) << error;
        simk::pnp::SetClassFilters(BUS_CLASS, {u"UpperProbe"}, {});
        DeviceNode* bus = simk::pnp::CreateRootDevice(Driver(), msdsc::testing::BUS_HARDWARE_ID, BUS_CLASS);
        simk::pnp::RunUntilIdle();
        m_Buses.push_back(bus);
        ASSERT_EQ(simk::pnp::State(bus), NodeState::Started);
        ASSERT_EQ(Open(&m_Client), STATUS_SUCCESS);
    }

    LONG FilterDevices() const
    {
        auto count = reinterpret_cast<LONG (*)()>(simk::ImageSymbol(m_Filter, "FilterTestDeviceCount"));
        return count != nullptr ? count() : -1;
    }

    // The driver's reader device objects: those of its type on no stack of their own.
    size_t ReaderObjects() const
    {
        size_t count = 0;
        for (PDEVICE_OBJECT device : simk::DevicesOfDriver(Driver())) {
            count +=
                device->DeviceType == FILE_DEVICE_BUS_EXTENDER && device->DeviceObjectExtension->AttachedTo == nullptr;
        }
        return count;
    }

    // The filter fails this Plug and Play request on its way up (STATUS_SUCCESS: none).
    void FailOnTheWayUp(UCHAR minor, NTSTATUS status)
    {
        auto fail =
            reinterpret_cast<void (*)(UCHAR, UCHAR, NTSTATUS)>(simk::ImageSymbol(m_Filter, "FilterTestFailOnWayUp"));
        ASSERT_NE(fail, nullptr);
        fail(IRP_MJ_PNP, minor, status);
    }

    PDRIVER_OBJECT m_Filter = nullptr;
    simk::user::Handle m_Client = nullptr;
};

TEST_F(BusUpperFilter, SitsAboveTheBusAndReadersWorkThroughIt)
{
    const std::vector<PDEVICE_OBJECT> stack = simk::pnp::Stack(m_Buses[0]);
    ASSERT_EQ(stack.size(), 3u);
    EXPECT_EQ(stack[1]->DriverObject, Driver());
    EXPECT_EQ(stack[2]->DriverObject, m_Filter);
    const msdsc::testing::Reply added = AddReader(m_Client, CONFIG);
    ASSERT_EQ(added.status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(m_Buses[0]).size(), 1u);
    EXPECT_EQ(simk::pnp::State(ReaderNodes(m_Buses[0])[0]), NodeState::Started);
    EXPECT_EQ(RemoveReader(m_Client, HandleOf(added)).status, STATUS_SUCCESS);
}

// The bus's removal travels through the filter: the bus passes the removal down, then detaches and
// deletes its device, and the filter above detaches from it afterwards, as the documented removal
// order has every driver do. Windows keeps the bus's deleted device until that detach.
TEST_F(BusUpperFilter, UninstallOfTheBusWithTheFilterAboveLeavesNothing)
{
    EXPECT_EQ(simk::pnp::RemoveDevice(m_Buses[0]), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(FilterDevices(), 0);
    EXPECT_TRUE(simk::DevicesOfDriver(m_Filter).empty());
}

// The filter fails the relations reply on its way up, after the bus has settled it: Plug and Play
// never hears of the reader in it. The client's removal takes the reader at the next reply, its
// number goes to the next reader, and nothing of it is left.
TEST_F(BusUpperFilter, ReaderOnlyInARepliesFailedAboveTheBusGoesAtTheNextReply)
{
    FailOnTheWayUp(IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_UNSUCCESSFUL);
    const msdsc::testing::Reply unseen = AddReader(m_Client, CONFIG);
    ASSERT_EQ(unseen.status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(m_Buses[0]).empty()) << "no reply reached Plug and Play";
    ASSERT_EQ(ReaderObjects(), 1u);

    ASSERT_EQ(RemoveReader(m_Client, HandleOf(unseen)).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderObjects(), 0u) << "kept for a removal Plug and Play will never send";
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("msbp")), 0u);

    FailOnTheWayUp(IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_SUCCESS);
    const msdsc::testing::Reply next = AddReader(m_Client, {8, 2, 0});
    ASSERT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(static_cast<ULONG>(HandleOf(next).ReaderHandle), static_cast<ULONG>(HandleOf(unseen).ReaderHandle))
        << "the number of the reader Plug and Play never saw is free again";
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(m_Buses[0]).size(), 1u);
    EXPECT_EQ(simk::pnp::State(ReaderNodes(m_Buses[0])[0]), NodeState::Started);
    EXPECT_EQ(RemoveReader(m_Client, HandleOf(next)).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(m_Buses[0]).empty());
    EXPECT_EQ(ReaderObjects(), 0u);
}

// A rebalance of the bus takes every reader's stack with it. With no resources to move, each
// stack hears query-stop and then cancel-stop; a veto from the filter above the bus cancels the
// stop of every stack already asked; with resources, each stops and starts again. Every time the
// readers stay started and the session goes on with them.
TEST_F(BusUpperFilter, RebalanceOfTheBusTakesEveryReaderAndLeavesThemStarted)
{
    const msdsc::testing::Reply first = AddReader(m_Client, CONFIG);
    const msdsc::testing::Reply second = AddReader(m_Client, {8, 2, 0});
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    const std::vector<DeviceNode*> readers = ReaderNodes(m_Buses[0]);
    ASSERT_EQ(readers.size(), 2u);
    const auto minorsOf = [](DeviceNode* node) {
        std::vector<UCHAR> minors;
        for (const simk::pnp::IrpRecord& record : simk::pnp::IrpLogFor(node)) {
            if (record.major == IRP_MJ_PNP && record.minor != IRP_MN_QUERY_RESOURCE_REQUIREMENTS &&
                record.minor != IRP_MN_FILTER_RESOURCE_REQUIREMENTS) {
                minors.push_back(record.minor);
            }
        }
        return minors;
    };
    const std::vector<UCHAR> cancelled = {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE};
    const std::vector<UCHAR> restarted = {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                                          IRP_MN_QUERY_CAPABILITIES};

    simk::pnp::ClearIrpLog();
    EXPECT_EQ(simk::pnp::Rebalance(m_Buses[0]), STATUS_SUCCESS);
    EXPECT_EQ(minorsOf(m_Buses[0]), cancelled) << "a bus with no resources is not stopped";
    for (DeviceNode* reader : readers) {
        EXPECT_EQ(minorsOf(reader), cancelled);
    }

    FailOnTheWayUp(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
    simk::pnp::ClearIrpLog();
    DeviceNode* vetoedBy = nullptr;
    EXPECT_EQ(simk::pnp::Rebalance(m_Buses[0], &vetoedBy), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(vetoedBy, m_Buses[0]);
    for (DeviceNode* node : {readers[0], readers[1], m_Buses[0]}) {
        EXPECT_EQ(minorsOf(node), cancelled) << "the veto cancels the stop of every stack";
    }
    FailOnTheWayUp(IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS);

    simk::pnp::RootDeviceConsumesResources(m_Buses[0], true);
    simk::pnp::ClearIrpLog();
    EXPECT_EQ(simk::pnp::Rebalance(m_Buses[0]), STATUS_SUCCESS);
    for (DeviceNode* node : {readers[0], readers[1], m_Buses[0]}) {
        EXPECT_EQ(minorsOf(node), restarted);
    }

    for (DeviceNode* reader : readers) {
        EXPECT_EQ(simk::pnp::State(reader), NodeState::Started);
    }
    EXPECT_EQ(RemoveReader(m_Client, HandleOf(first)).status, STATUS_SUCCESS);
    const msdsc::testing::Reply third = AddReader(m_Client, {9, 3, 0});
    EXPECT_EQ(third.status, STATUS_SUCCESS) << "the bus takes readers again";
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderNodes(m_Buses[0]).size(), 2u);
}

TEST_F(BusUpperFilter, SurpriseRemovalOfTheBusWithReadersAndTheFilterAboveLeavesNothing)
{
    ASSERT_EQ(AddReader(m_Client, CONFIG).status, STATUS_SUCCESS);
    ASSERT_EQ(AddReader(m_Client, {8, 2, 0}).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    simk::pnp::SurpriseRemoveDevice(m_Buses[0]);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(FilterDevices(), 0);
    EXPECT_EQ(Close(m_Client), STATUS_SUCCESS);
}

} // namespace

namespace {

using TargetRelation = msdsc::testing::WithOpenClient<1>;

// A program registers for notifications on a reader's handle: Windows asks the stack for its
// target relation, which must name the PDO; it may come at any time, here with a session open.
TEST_F(TargetRelation, ReaderAndBusNameTheirOwnPdo)
{
    ASSERT_EQ(AddReader(m_Client, CONFIG).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(BusNode(0)).size(), 1u);
    DeviceNode* reader = ReaderNodes(BusNode(0))[0];
    PDEVICE_OBJECT reported = nullptr;
    EXPECT_EQ(simk::pnp::QueryTargetDeviceRelation(reader, &reported), STATUS_SUCCESS);
    EXPECT_EQ(reported, simk::pnp::Pdo(reader));
    EXPECT_EQ(simk::pnp::QueryTargetDeviceRelation(BusNode(0), &reported), STATUS_SUCCESS);
    EXPECT_EQ(reported, simk::pnp::Pdo(BusNode(0)));
}

} // namespace

namespace {

using SleepOvernight = msdsc::testing::WithOpenClient<1>;

// The engineer's machine sleeps (S3) or hibernates (S4) overnight with a session open and readers
// present: each reader's power policy owner takes it to the device state its capabilities name
// and back to D0 in the morning; the session goes on with the same readers.
TEST_F(SleepOvernight, WithASessionOpenReadersComeBackAndTheSessionGoesOn)
{
    const msdsc::testing::Reply first = AddReader(m_Client, CONFIG);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(BusNode(0)).size(), 1u);
    DeviceNode* reader = ReaderNodes(BusNode(0))[0];
    PDEVICE_OBJECT pdo = simk::pnp::Pdo(reader);

    for (SYSTEM_POWER_STATE night : {PowerSystemSleeping3, PowerSystemHibernate}) {
        SCOPED_TRACE(night == PowerSystemSleeping3 ? "S3" : "S4");
        ASSERT_EQ(simk::pnp::SetSystemPowerState(night), STATUS_SUCCESS);
        EXPECT_EQ(simk::power::DevicePowerStateOf(pdo), simk::pnp::Info(reader).capabilities.DeviceState[night]);
        EXPECT_EQ(simk::power::DevicePowerStateOf(pdo), PowerDeviceD3);
        ASSERT_EQ(simk::pnp::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(simk::power::DevicePowerStateOf(pdo), PowerDeviceD0);
        simk::pnp::RunUntilIdle();
        ASSERT_EQ(ReaderNodes(BusNode(0)).size(), 1u);
        EXPECT_EQ(simk::pnp::State(reader), NodeState::Started);
    }

    // The morning: the session adds and removes readers as before.
    const msdsc::testing::Reply second = AddReader(m_Client, {8, 2, 0});
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderNodes(BusNode(0)).size(), 2u);
    EXPECT_EQ(RemoveReader(m_Client, HandleOf(first)).status, STATUS_SUCCESS);
    EXPECT_EQ(RemoveReader(m_Client, HandleOf(second)).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(BusNode(0)).empty());
}

// A filter over a reader that is not DO_POWER_PAGABLE (a driver in the paging path stays callable
// at DISPATCH_LEVEL): the power manager calls that stack at DISPATCH_LEVEL, the reader at its
// bottom too, and the machine sleeps and wakes with the reader running. The verifier reports the
// stack's disagreeing flags when it starts, and nothing else.
TEST_F(SleepOvernight, ReaderUnderANonPageableFilterSleepsAndWakesAtDispatchLevel)
{
    std::string error;
    PDRIVER_OBJECT filter = simk::pnp::InstallService(SIMK_FILTER_TEST_DRIVER, u"NotPageable", &error);
    ASSERT_NE(filter, nullptr) << error;
    auto pagable = reinterpret_cast<void (*)(BOOLEAN)>(simk::ImageSymbol(filter, "FilterTestPowerPagable"));
    auto highestIrql = reinterpret_cast<KIRQL (*)()>(simk::ImageSymbol(filter, "FilterTestHighestPowerIrql"));
    ASSERT_TRUE(pagable && highestIrql);
    pagable(FALSE);
    ASSERT_EQ(AddReader(m_Client, CONFIG).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderNodes(BusNode(0)).size(), 1u);
    DeviceNode* reader = ReaderNodes(BusNode(0))[0];
    simk::pnp::SetDeviceFilters(reader, {u"NotPageable"}, {});
    {
        simk::verifier::Expect inconsistent(simk::verifier::rules::PowerPagableInconsistent);
        ASSERT_EQ(simk::pnp::RestartDevice(reader), STATUS_SUCCESS);
        EXPECT_TRUE(inconsistent.Seen());
    }
    ASSERT_EQ(simk::pnp::Stack(reader).back()->DriverObject, filter);

    ASSERT_EQ(simk::pnp::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(highestIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(simk::power::DevicePowerStateOf(simk::pnp::Pdo(reader)), PowerDeviceD3);
    ASSERT_EQ(simk::pnp::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(simk::power::DevicePowerStateOf(simk::pnp::Pdo(reader)), PowerDeviceD0);
    EXPECT_EQ(simk::pnp::State(reader), NodeState::Started);
    EXPECT_EQ(Close(m_Client), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(ReaderNodes(BusNode(0)).empty());
}

// A client's request that reaches the driver while the machine is asleep (sent just before the
// sleep, as a queued request is) is answered, and the reader it adds starts with the others.
TEST_F(SleepOvernight, RequestArrivingDuringTheSleepIsAnsweredAndItsReaderRunsAfterWaking)
{
    ASSERT_EQ(AddReader(m_Client, CONFIG).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::pnp::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    const msdsc::testing::Reply during = AddReader(m_Client, {8, 2, 0});
    EXPECT_EQ(during.status, STATUS_SUCCESS);
    ASSERT_EQ(simk::pnp::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    const std::vector<DeviceNode*> readers = ReaderNodes(BusNode(0));
    ASSERT_EQ(readers.size(), 2u);
    for (DeviceNode* reader : readers) {
        EXPECT_EQ(simk::pnp::State(reader), NodeState::Started);
    }
    // The one that slept is back in D0; the new one started after the machine woke.
    EXPECT_EQ(simk::power::DevicePowerStateOf(simk::pnp::Pdo(readers[0])), PowerDeviceD0);
}

} // namespace
