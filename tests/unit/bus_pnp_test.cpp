// The bus's Plug and Play requests sent straight to its device over a pass-through lower device:
// start and cancel-remove against the lower stack's answer, the removal veto, what passes down
// untouched, and removal with its registry bookkeeping and the readers it still lists.
#include "support/linked_driver.h"
#include "support/race.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>

#include "simkernel/io.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/power.h"
#include "simkernel/user.h"

namespace {

using namespace msdsc::testing;

using BusPnpTest = DriverTest;

NTSTATUS TryCreateReader(BusDevice* bus)
{
    const ReaderConfig config = {1, 2, 3};
    ULONG64 handle = 0;
    return bus->CreateReader(&config, &handle);
}

size_t SeenByLower(UCHAR minor)
{
    size_t count = 0;
    for (const LowerRequest& request : PassThroughLower::Seen()) {
        count += request.major == IRP_MJ_PNP && request.minor == minor;
    }
    return count;
}

TEST_F(BusPnpTest, StartReportsD0AfterTheLowerStackAndOpensTheBusToReaders)
{
    BusDevice* bus = AddBus(false);
    EXPECT_EQ(TryCreateReader(bus), STATUS_INVALID_DEVICE_STATE);

    const IrpOutcome started = SendPnp(bus->m_DeviceObject, IRP_MN_START_DEVICE);
    EXPECT_EQ(started.status, STATUS_SUCCESS);
    EXPECT_EQ(started.returned, STATUS_SUCCESS);
    EXPECT_EQ(SeenByLower(IRP_MN_START_DEVICE), 1u);
    EXPECT_EQ(simk::power::DevicePowerStateOf(bus->m_DeviceObject), PowerDeviceD0);
    EXPECT_EQ(TryCreateReader(bus), STATUS_SUCCESS);
}

// A start or a cancel-remove that the lower stack fails is completed with its status and leaves
// the bus exactly as it was: not taking readers, and no power state reported.
class LowerStackFailure : public DriverTest, public ::testing::WithParamInterface<UCHAR>
{};

TEST_P(LowerStackFailure, CompletesWithItsStatusAndChangesNothing)
{
    const UCHAR minor = GetParam();
    BusDevice* bus = AddBus(minor == IRP_MN_CANCEL_REMOVE_DEVICE);
    if (minor == IRP_MN_CANCEL_REMOVE_DEVICE) {
        ASSERT_EQ(SendPnp(bus->m_DeviceObject, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
    }
    simk::power::ClearRecords();
    PassThroughLower::FailPnp(minor, STATUS_DEVICE_NOT_READY);

    const IrpOutcome outcome = SendPnp(bus->m_DeviceObject, minor);
    EXPECT_EQ(outcome.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(outcome.returned, STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(simk::power::SetPowerStateCallsFor(bus->m_DeviceObject).empty());
    EXPECT_FALSE(bus->m_Started);
    EXPECT_EQ(TryCreateReader(bus), STATUS_INVALID_DEVICE_STATE);
}

INSTANTIATE_TEST_SUITE_P(StartAndCancelRemove, LowerStackFailure,
                         ::testing::Values(UCHAR{IRP_MN_START_DEVICE}, UCHAR{IRP_MN_CANCEL_REMOVE_DEVICE}));

TEST_F(BusPnpTest, QueryRemoveIsVetoedWhileAReaderExistsAndLeavesTheBusStarted)
{
    BusDevice* bus = AddBus();
    ASSERT_NE(CreateReader(bus), nullptr);

    const IrpOutcome outcome = SendPnp(bus->m_DeviceObject, IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(outcome.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(outcome.returned, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SeenByLower(IRP_MN_QUERY_REMOVE_DEVICE), 0u) << "a veto is not passed down";
    EXPECT_EQ(TryCreateReader(bus), STATUS_SUCCESS);
}

TEST_F(BusPnpTest, QueryRemoveWithoutReadersStopsCreationUntilCancelRemoveSucceeds)
{
    BusDevice* bus = AddBus();

    const IrpOutcome queried = SendPnp(bus->m_DeviceObject, IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(queried.status, STATUS_SUCCESS);
    const std::vector<LowerRequest> seen = PassThroughLower::Seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().minor, IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(seen.back().statusOnArrival, STATUS_SUCCESS) << "the bus agrees before passing it down";

    EXPECT_EQ(TryCreateReader(bus), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(g_ReaderNumbersHeld[0], 0) << "a refused creation holds no number";

    EXPECT_EQ(SendPnp(bus->m_DeviceObject, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    ReaderDevice* reader = CreateReader(bus);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->m_ReaderNumber, 0u);
}

// Everything the bus does not handle travels down with IoStatus as it came, and leaves m_Started
// alone.
struct PassedDownCase {
    UCHAR minor;
    int relationType; // for IRP_MN_QUERY_DEVICE_RELATIONS; -1 otherwise
};

class PassedDown : public DriverTest, public ::testing::WithParamInterface<PassedDownCase>
{};

TEST_P(PassedDown, ReachesTheLowerStackUntouched)
{
    BusDevice* bus = AddBus();
    const ULONG_PTR marker = 0x5A5A0000;
    const PassedDownCase c = GetParam();

    const IrpOutcome outcome = SendPnp(
        bus->m_DeviceObject, c.minor,
        [&](PIO_STACK_LOCATION location) {
            if (c.relationType >= 0) {
                location->Parameters.QueryDeviceRelations.Type = static_cast<DEVICE_RELATION_TYPE>(c.relationType);
            }
        },
        marker);
    const std::vector<LowerRequest> seen = PassThroughLower::Seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().minor, c.minor);
    EXPECT_EQ(seen.back().statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(seen.back().informationOnArrival, marker);
    EXPECT_EQ(outcome.information, marker);
    EXPECT_TRUE(bus->m_Started);
    EXPECT_EQ(TryCreateReader(bus), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Minors, PassedDown,
                         ::testing::Values(PassedDownCase{IRP_MN_QUERY_CAPABILITIES, -1},
                                           PassedDownCase{IRP_MN_QUERY_ID, -1},
                                           PassedDownCase{IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations},
                                           PassedDownCase{IRP_MN_QUERY_DEVICE_RELATIONS, EjectionRelations},
                                           PassedDownCase{IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation}));

// A rebalance asks the bus first: it agrees before the stack below hears of it, and a cancel changes
// nothing. Then it stops the bus and starts it again: in between it takes no readers, and its
// readers stay.
TEST_F(BusPnpTest, StoppedBusTakesNoReadersUntilItStartsAgain)
{
    BusDevice* bus = AddBus();
    ASSERT_NE(CreateReader(bus), nullptr);
    for (const UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_STOP_DEVICE}) {
        EXPECT_EQ(SendPnp(bus->m_DeviceObject, minor).status, STATUS_SUCCESS);
        EXPECT_EQ(PassThroughLower::Seen().back().minor, minor);
        EXPECT_EQ(PassThroughLower::Seen().back().statusOnArrival, STATUS_SUCCESS);
    }
    EXPECT_EQ(TryCreateReader(bus), STATUS_SUCCESS) << "a query-stop alone stops nothing";
    EXPECT_EQ(SendPnp(bus->m_DeviceObject, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(PassThroughLower::Seen().back().minor, IRP_MN_STOP_DEVICE);
    EXPECT_EQ(TryCreateReader(bus), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(bus->m_Roster.m_Readers.Count(), 2u);
    EXPECT_EQ(SendPnp(bus->m_DeviceObject, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(TryCreateReader(bus), STATUS_SUCCESS);
}

TEST_F(BusPnpTest, RemovingOneOfTwoBusesKeepsBusReadyAndRemovingTheLastClearsIt)
{
    BusDevice* first = AddBus();
    BusDevice* second = AddBus();
    PDEVICE_OBJECT firstDevice = first->m_DeviceObject;
    PDEVICE_OBJECT secondDevice = second->m_DeviceObject;

    const IrpOutcome removed = SendPnp(firstDevice, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(removed.status, STATUS_SUCCESS);
    EXPECT_EQ(PassThroughLower::Seen().back().minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(PassThroughLower::Seen().back().statusOnArrival, STATUS_SUCCESS);
    // Passed down first, then detached and deleted: the device below still has the bus over it.
    EXPECT_TRUE(PassThroughLower::Seen().back().attachedOnArrival);
    EXPECT_TRUE(g_BusRegistry->HasBus());
    EXPECT_EQ(simk::DevicesOfDriver(m_Driver).size(), 2u) << "the control device and the second bus";

    EXPECT_EQ(SendPnp(secondDevice, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_FALSE(g_BusRegistry->HasBus());
    EXPECT_EQ(simk::DevicesOfDriver(m_Driver).size(), 1u);
    EXPECT_EQ(simk::pool::OutstandingCount(LIST_ENTRY_TAG), 0u);
}

// The last bus's removal held at each boundary of its locked sections while a client opens: an
// open that succeeds came before the bus left the registry, whose entry is then still in pool.
// Readiness kept apart from the registry once let an open in between the two.
TEST_F(BusPnpTest, AnOpenRacingTheLastBusRemovalSucceedsOnlyWhileTheBusIsRegistered)
{
    const ULONG registryEntry = simk::Tag("apsl");
    unsigned nth = 1;
    for (; nth <= MAX_LOCK_BOUNDARIES; ++nth) {
        SCOPED_TRACE(::testing::Message() << "removal held at lock boundary " << nth);
        PDEVICE_OBJECT device = AddBus()->m_DeviceObject;
        ASSERT_EQ(simk::pool::OutstandingCount(registryEntry), 1u) << "the registry's entry, no reader's";
        simk::user::Handle client = nullptr;
        NTSTATUS open = STATUS_PENDING;
        size_t entriesAtOpen = 0;
        const bool reached = RaceAtLockBoundary(
            nth, [&] { EXPECT_EQ(SendPnp(device, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS); },
            [&] {
                open = simk::user::OpenDevice(u"\\\\.\\MicroSDSmartCardControl", &client);
                entriesAtOpen = simk::pool::OutstandingCount(registryEntry);
            });
        if (NT_SUCCESS(open)) {
            EXPECT_EQ(entriesAtOpen, 1u) << "an open was admitted with no bus registered";
            simk::user::Close(client);
        } else {
            EXPECT_EQ(open, STATUS_INVALID_DEVICE_STATE);
        }
        if (!reached || HasFatalFailure()) {
            break;
        }
    }
    EXPECT_GT(nth, 2u) << "the removal crossed too few lock boundaries to race";
}

TEST_F(BusPnpTest, RemovedBusDeletesItsReadersButOneWhoseFinalRemovalIsStillToCome)
{
    BusDevice* bus = AddBus();
    ReaderDevice* listed = CreateReader(bus);
    ReaderDevice* unplugged = CreateReader(bus);
    ReaderDevice* held = CreateReader(bus);
    ASSERT_TRUE(listed != nullptr && unplugged != nullptr && held != nullptr);
    PDEVICE_OBJECT heldDevice = held->m_DeviceObject;
    ReportReaders(bus);
    ASSERT_EQ(bus->RemoveReader(unplugged->Handle()), STATUS_SUCCESS);
    // Surprise-removed, with a handle on its stack holding its final removal back past the bus's.
    ASSERT_EQ(SendPnp(heldDevice, IRP_MN_SURPRISE_REMOVAL).status, STATUS_SUCCESS);

    EXPECT_EQ(SendPnp(bus->m_DeviceObject, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    const std::vector<PDEVICE_OBJECT> left = simk::DevicesOfDriver(m_Driver);
    ASSERT_EQ(left.size(), 2u) << "the control device and the reader still to be removed";
    EXPECT_NE(std::find(left.begin(), left.end(), heldDevice), left.end());
    EXPECT_EQ(ReaderOf(heldDevice)->m_Bus, nullptr) << "cut loose from the bus that is gone";
    EXPECT_EQ(simk::pool::OutstandingCount(LIST_ENTRY_TAG), 0u);

    // Its removal comes at last and deletes it without a bus to look at.
    EXPECT_EQ(SendPnp(heldDevice, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(simk::DevicesOfDriver(m_Driver).size(), 1u);
}

// A request the bus is still working on when its removal comes is waited for (here a start the
// lower stack holds); one that arrives after the removal began is turned away at the bus and never
// reaches the lower device that is being detached.
TEST_F(BusPnpTest, RemovalWaitsForARequestInTheBusAndTurnsLaterOnesAway)
{
    simk::test::LowerDriver lower(u"SimkBusLower");
    PDEVICE_OBJECT pdo = lower.CreateDevice(nullptr, FILE_DEVICE_BUS_EXTENDER);
    ASSERT_EQ(AddDevice(m_Driver, pdo), STATUS_SUCCESS);
    BusDevice* bus = BusOver(pdo);
    PDEVICE_OBJECT fdo = bus->m_DeviceObject;
    lower.SetResponse(IRP_MJ_PNP, {simk::test::Action::Pend});

    // The lower driver sees a request before it holds it: each wait is for the hold.
    const auto waitHeld = [&] {
        for (int i = 0; i < 5000 && lower.PendingCount() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return lower.PendingCount() == 1;
    };
    auto start = std::async(std::launch::async, [&] { return SendPnp(fdo, IRP_MN_START_DEVICE).status; });
    ASSERT_TRUE(lower.WaitForSeen(1));
    ASSERT_TRUE(waitHeld());
    auto removal = std::async(std::launch::async, [&] { return SendPnp(fdo, IRP_MN_REMOVE_DEVICE).status; });
    const auto removalBegun = [&] { return __atomic_load_n(&bus->m_RemoveLock.Common.Removed, __ATOMIC_SEQ_CST); };
    for (int i = 0; i < 5000 && !removalBegun(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(removalBegun()) << "the removal has begun";
    EXPECT_EQ(lower.SeenCount(), 1u) << "and waits for the start before it detaches";

    IO_STATUS_BLOCK late{};
    simk::io::Call(
        fdo, IRP_MJ_DEVICE_CONTROL, 0, [](PIO_STACK_LOCATION, PIRP) {}, &late);
    EXPECT_EQ(late.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(lower.SeenCount(), 1u) << "the late request never went below the bus";

    ASSERT_TRUE(lower.CompletePending(STATUS_SUCCESS));
    EXPECT_EQ(start.get(), STATUS_SUCCESS);
    ASSERT_TRUE(lower.WaitForSeen(2));
    ASSERT_TRUE(waitHeld());
    ASSERT_TRUE(lower.CompletePending(STATUS_SUCCESS));
    EXPECT_EQ(removal.get(), STATUS_SUCCESS);
    EXPECT_TRUE(simk::IsDeviceDeleted(fdo) || !simk::IsDeviceObject(fdo));
    lower.JoinThreads();
}

} // namespace
