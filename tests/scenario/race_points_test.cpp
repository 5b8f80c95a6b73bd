// Races at the points where two requests meet inside the driver, forced one interleaving at a time:
// one request is held at each boundary of its locked sections in turn while the other runs, on a
// freshly loaded driver each time. Whatever the interleaving, the outcome must be one a user could
// get from the two requests in some order, what Plug and Play sees must match the driver's devices,
// and nothing but the control device may be left once the user has closed and uninstalled.
#include "support/client_session.h"
#include "support/race.h"

#include <mutex>
#include <set>
#include <string>

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::ClientTest;
using msdsc::testing::HandleOf;
using msdsc::testing::MAX_LOCK_BOUNDARIES;
using msdsc::testing::RaceAtLockBoundary;
using msdsc::testing::ReaderObject;
using msdsc::testing::RemoveReader;
using msdsc::testing::Reply;
using simk::pnp::NodeState;

constexpr ReaderConfig CONFIG = {11, 2, 0};

// Which request is held at its lock boundaries; the other one races it.
enum class Held { First, Second };

const char* HeldName(Held held) { return held == Held::First ? "first held" : "second held"; }

class RacePoints : public ClientTest, public ::testing::WithParamInterface<Held>
{
protected:
    // Sweeps the held request over its lock boundaries. `arrange` builds the state on a freshly
    // loaded driver, `race` runs one interleaving and returns whether the boundary was reached,
    // `check` judges the settled outcome and returns its name. Every outcome seen is returned.
    std::set<std::string> Sweep(const std::function<void()>& arrange, const std::function<bool(unsigned)>& race,
                                const std::function<std::string()>& check)
    {
        std::set<std::string> outcomes;
        unsigned nth = 1;
        for (; nth <= MAX_LOCK_BOUNDARIES; ++nth) {
            SCOPED_TRACE(::testing::Message() << HeldName(GetParam()) << " at lock boundary " << nth);
            if (nth != 1) {
                EXPECT_EQ(Restart(), STATUS_SUCCESS);
            }
            arrange();
            if (HasFatalFailure()) {
                break;
            }
            // Every device object the driver deletes during the race, so that a reply can be
            // checked against the readers that existed.
            m_Deleted.clear();
            const simk::hooks::Hook deletions(simk::hooks::At(simk::Call::IoDeleteDevice, simk::When::Before, 0),
                                              [this](const simk::CallSite& site) {
                                                  std::lock_guard<std::mutex> lock(m_DeletedMutex);
                                                  m_Deleted.insert(NumberOf(site.object));
                                              });
            const bool reached = race(nth);
            simk::pnp::RunUntilIdle();
            outcomes.insert(check());
            ExpectPlugAndPlayMatchesTheDriver();
            ClearSurvivors();
            UnloadEverything();
            for (const simk::verifier::Violation& violation : TakeUnexpectedViolations()) {
                ADD_FAILURE() << violation.rule << ": " << violation.details;
            }
            if (!reached || HasFatalFailure()) {
                break;
            }
        }
        // The sweep's case count, in the test's XML output, so a change that loses cases shows.
        RecordProperty("lock_boundaries_swept", static_cast<int>(nth));
        EXPECT_GT(nth, 1u) << "the held request crossed no lock boundary";
        EXPECT_LE(nth, MAX_LOCK_BOUNDARIES) << "the held request kept crossing lock boundaries";
        return outcomes;
    }

    // Runs the two requests, holding the one the parameter names.
    bool Race(unsigned nth, const std::function<void()>& first, const std::function<void()>& second,
              bool secondInFlight = false)
    {
        if (GetParam() == Held::First) {
            return RaceAtLockBoundary(nth, first, second, false);
        }
        // The first request is the one already under way when the second arrives.
        return RaceAtLockBoundary(nth, second, first, secondInFlight);
    }

    std::vector<PDEVICE_OBJECT> LiveBusObjects()
    {
        std::vector<PDEVICE_OBJECT> buses;
        for (simk::pnp::DeviceNode* node : m_Buses) {
            if (simk::pnp::State(node) != NodeState::Removed) {
                buses.push_back(BusObject(node));
            }
        }
        return buses;
    }

    // The driver's device objects that are neither the control device nor a bus still present.
    std::vector<PDEVICE_OBJECT> ReaderObjects()
    {
        const std::vector<PDEVICE_OBJECT> buses = LiveBusObjects();
        std::vector<PDEVICE_OBJECT> readers;
        for (PDEVICE_OBJECT device : simk::DevicesOfDriver(Driver())) {
            if (device != ControlDeviceObject() && std::find(buses.begin(), buses.end(), device) == buses.end()) {
                readers.push_back(device);
            }
        }
        return readers;
    }

    // Settled, every reader the driver has is a started child of a bus that is still there, and
    // every child Plug and Play lists under a bus is a reader the driver has.
    void ExpectPlugAndPlayMatchesTheDriver()
    {
        const std::vector<PDEVICE_OBJECT> readers = ReaderObjects();
        for (PDEVICE_OBJECT reader : readers) {
            simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(reader);
            ASSERT_NE(node, nullptr) << "a reader Plug and Play does not know";
            EXPECT_EQ(simk::pnp::State(node), NodeState::Started);
            const std::vector<PDEVICE_OBJECT> buses = LiveBusObjects();
            EXPECT_NE(std::find(buses.begin(), buses.end(), BusObject(simk::pnp::Parent(node))), buses.end())
                << "a reader whose bus is gone";
        }
        for (simk::pnp::DeviceNode* bus : m_Buses) {
            if (simk::pnp::State(bus) == NodeState::Removed) {
                continue;
            }
            for (simk::pnp::DeviceNode* child : simk::pnp::Children(bus)) {
                EXPECT_NE(std::find(readers.begin(), readers.end(), simk::pnp::Pdo(child)), readers.end())
                    << "Plug and Play lists a reader the driver has deleted";
            }
        }
    }

    // After a failure, readers that outlived the client's handle go as a user would make them go
    // (another session opens and closes the control device), so the next boundary starts clean.
    void ClearSurvivors()
    {
        if (ReaderObjects().empty() || m_Handle != nullptr) {
            return;
        }
        Open();
        CloseClient();
        simk::pnp::RunUntilIdle();
        EXPECT_TRUE(ReaderObjects().empty()) << "a reader outlived a second session's cleanup";
    }

    // A successful add's reply names the reader it created: one that exists now or that was
    // deleted during the race, never memory that was something else.
    void ExpectNamesAReader(const Reply& add)
    {
        if (add.status != STATUS_SUCCESS) {
            return;
        }
        const ULONG64 number = HandleOf(add).ReaderHandle;
        std::set<ULONG64> numbers;
        for (PDEVICE_OBJECT reader : ReaderObjects()) {
            numbers.insert(NumberOf(reader));
        }
        std::lock_guard<std::mutex> lock(m_DeletedMutex);
        EXPECT_TRUE(numbers.count(number) != 0 || m_Deleted.count(number) != 0)
            << "the add replied with reader " << number << ", which was never a reader";
    }

    // A reader's handle half (generation and number), read from its device extension (layout only); the bus and control devices
    // deleted during a race get numbers no reader has.
    ULONG64 NumberOf(const void* device)
    {
        const auto* object = static_cast<const DEVICE_OBJECT*>(device);
        if (object == ControlDeviceObject() || object->DeviceObjectExtension->AttachedTo != nullptr) {
            return ~0ull;
        }
        return static_cast<const ReaderDevice*>(object->DeviceExtension)->Handle();
    }

    bool BusRemoved(unsigned index) { return simk::pnp::State(m_Buses.at(index)) == NodeState::Removed; }

    // Arranges started buses, an open client and one settled reader per bus when asked.
    void ArrangeBusesAndClient(unsigned buses, bool readerOnEachBus)
    {
        for (unsigned i = 0; i < buses; ++i) {
            AddStartedBus();
        }
        Open();
        m_Existing.clear();
        for (unsigned i = 0; readerOnEachBus && i < buses; ++i) {
            const Reply reply = AddReader(m_Handle, CONFIG);
            ASSERT_EQ(reply.status, STATUS_SUCCESS);
            m_Existing.push_back(HandleOf(reply));
        }
        simk::pnp::RunUntilIdle();
    }

    std::vector<BusReaderHandle> m_Existing;
    std::mutex m_DeletedMutex;
    std::set<ULONG64> m_Deleted; // the numbers of the readers deleted during the race
};

// A query-remove of a bus arriving between the bus's "started" test and the insertion of a new
// reader: either the add wins and the reader vetoes the removal, or the removal wins and the add
// is refused. Never both: a reader on a bus that is gone.
TEST_P(RacePoints, AddAgainstUninstallOfItsBus)
{
    Reply add;
    NTSTATUS uninstall = STATUS_PENDING;
    const std::set<std::string> outcomes =
        Sweep([&] { ArrangeBusesAndClient(1, false); },
              [&](unsigned nth) {
                  simk::pnp::DeviceNode* bus = m_Buses[0];
                  simk::user::Handle handle = m_Handle;
                  return Race(
                      nth, [&, handle] { add = AddReader(handle, CONFIG); },
                      [&, bus] { uninstall = simk::pnp::RemoveDevice(bus); });
              },
              [&]() -> std::string {
                  ExpectNamesAReader(add);
                  if (add.status == STATUS_SUCCESS) {
                      EXPECT_NE(uninstall, STATUS_SUCCESS) << "the bus was removed under a reader just added to it";
                      EXPECT_FALSE(BusRemoved(0));
                      EXPECT_EQ(ReaderObjects().size(), 1u);
                      return "add won";
                  }
                  EXPECT_EQ(uninstall, STATUS_SUCCESS)
                      << "the add failed (0x" << std::hex << add.status << ") and yet the bus vetoed its removal";
                  EXPECT_TRUE(BusRemoved(0));
                  EXPECT_TRUE(ReaderObjects().empty());
                  return "removal won";
              });
    EXPECT_EQ(outcomes, (std::set<std::string>{"add won", "removal won"}));
}

// An add already inside the driver while the client's handle closes, in two sessions of one load
// (what the first session's end leaves behind must not shorten the second's): the add is refused,
// or its reader goes with the session like the readers that were there before. No reader outlives
// its session, whichever side is held at whichever boundary.
TEST_P(RacePoints, AnAddRacingTheSessionsEndNeverOutlivesIt)
{
    std::string sessions;
    const std::set<std::string> outcomes =
        Sweep([&] { ArrangeBusesAndClient(2, true); },
              [&](unsigned nth) {
                  bool reached = false;
                  sessions.clear();
                  for (int session = 1; session <= 2; ++session) {
                      SCOPED_TRACE(::testing::Message() << "session " << session);
                      if (session == 2) {
                          Open();
                      }
                      simk::user::Handle handle = m_Handle;
                      m_Handle = nullptr;
                      Reply add;
                      reached |= Race(
                          nth, [&, handle] { add = AddReader(handle, CONFIG); },
                          [&, handle] { EXPECT_EQ(Close(handle), STATUS_SUCCESS); }, true);
                      simk::pnp::RunUntilIdle();
                      EXPECT_TRUE(add.status == STATUS_SUCCESS || add.status == STATUS_FILE_CLOSED)
                          << std::hex << add.status;
                      EXPECT_TRUE(ReaderObjects().empty()) << "a reader outlived its session";
                      sessions += add.status == STATUS_SUCCESS ? "added " : "refused ";
                  }
                  return reached;
              },
              [&] { return sessions; });
    EXPECT_GE(outcomes.size(), 2u);
}

// An open racing the close of the session it would follow: refused as a sharing violation while
// the old session is still there, or given a session of its own that works, which the old
// session's end never touches.
TEST_P(RacePoints, AnOpenRacingTheCloseIsRefusedOrGetsASessionThatWorks)
{
    NTSTATUS open = STATUS_PENDING;
    simk::user::Handle next = nullptr;
    const std::set<std::string> outcomes =
        Sweep([&] { ArrangeBusesAndClient(1, true); },
              [&](unsigned nth) {
                  simk::user::Handle handle = m_Handle;
                  m_Handle = nullptr;
                  next = nullptr;
                  return Race(
                      nth, [&, handle] { EXPECT_EQ(Close(handle), STATUS_SUCCESS); },
                      [&] { open = simk::user::OpenDevice(msdsc::testing::CONTROL_USER_PATH, &next); });
              },
              [&]() -> std::string {
                  if (open == STATUS_SHARING_VIOLATION) {
                      EXPECT_TRUE(ReaderObjects().empty());
                      return "refused";
                  }
                  EXPECT_EQ(open, STATUS_SUCCESS);
                  m_Handle = next;
                  const Reply add = AddReader(next, CONFIG);
                  EXPECT_EQ(add.status, STATUS_SUCCESS) << "the new session does not work";
                  simk::pnp::RunUntilIdle();
                  EXPECT_EQ(ReaderObjects().size(), add.status == STATUS_SUCCESS ? 1u : 0u)
                      << "the old session's readers are gone, the new one's reader is there";
                  return "opened";
              });
    EXPECT_EQ(outcomes, (std::set<std::string>{"refused", "opened"}));
}

// The bus is yanked while an add holds the bus registry: the add either lands before (and the
// reader goes with the bus) or finds no bus. The bus never goes away under the add.
TEST_P(RacePoints, BusSurpriseRemovalAgainstAnAdd)
{
    Reply add;
    const std::set<std::string> outcomes = Sweep(
        [&] { ArrangeBusesAndClient(1, false); },
        [&](unsigned nth) {
            simk::pnp::DeviceNode* bus = m_Buses[0];
            simk::user::Handle handle = m_Handle;
            return Race(
                nth, [&, handle] { add = AddReader(handle, CONFIG); }, [bus] { simk::pnp::SurpriseRemoveDevice(bus); });
        },
        [&]() -> std::string {
            ExpectNamesAReader(add);
            EXPECT_TRUE(BusRemoved(0));
            EXPECT_TRUE(ReaderObjects().empty()) << "a reader outlived its bus";
            return add.status == STATUS_SUCCESS ? "added, then gone with the bus" : "no bus to add to";
        });
    EXPECT_EQ(outcomes.size(), 2u);
}

// The bus is yanked while the client's remove of one of its readers holds the bus registry.
TEST_P(RacePoints, BusSurpriseRemovalAgainstARemove)
{
    Reply remove;
    const std::set<std::string> outcomes =
        Sweep([&] { ArrangeBusesAndClient(1, true); },
              [&](unsigned nth) {
                  simk::pnp::DeviceNode* bus = m_Buses[0];
                  simk::user::Handle handle = m_Handle;
                  const BusReaderHandle reader = m_Existing[0];
                  return Race(
                      nth, [&, handle, reader] { remove = RemoveReader(handle, reader); },
                      [bus] { simk::pnp::SurpriseRemoveDevice(bus); });
              },
              [&]() -> std::string {
                  EXPECT_TRUE(BusRemoved(0));
                  EXPECT_TRUE(ReaderObjects().empty()) << "a reader outlived its bus";
                  if (remove.status == STATUS_SUCCESS) {
                      return "removed, then the bus went";
                  }
                  EXPECT_EQ(remove.status, STATUS_UNSUCCESSFUL);
                  return "bus gone first";
              });
    EXPECT_EQ(outcomes.size(), 2u);
}

// A bus is yanked while the client's handle is closed and its cleanup walks the buses: the walk
// never reaches a bus that is gone, and every reader ends up removed.
TEST_P(RacePoints, BusSurpriseRemovalAgainstTheCleanup)
{
    const std::set<std::string> outcomes = Sweep([&] { ArrangeBusesAndClient(2, true); },
                                                 [&](unsigned nth) {
                                                     simk::pnp::DeviceNode* bus = m_Buses[0];
                                                     simk::user::Handle handle = m_Handle;
                                                     m_Handle = nullptr;
                                                     return Race(
                                                         nth, [&, handle] { EXPECT_EQ(Close(handle), STATUS_SUCCESS); },
                                                         [bus] { simk::pnp::SurpriseRemoveDevice(bus); });
                                                 },
                                                 [&]() -> std::string {
                                                     EXPECT_TRUE(BusRemoved(0));
                                                     EXPECT_FALSE(BusRemoved(1));
                                                     EXPECT_TRUE(ReaderObjects().empty())
                                                         << "a reader outlived the cleanup";
                                                     return "settled";
                                                 });
    EXPECT_EQ(outcomes.size(), 1u);
}

// Plug and Play removes a reader (the user uninstalls it, or its stack fails) while the client
// removes the same reader. Plug and Play's removal leaves a reader its bus still reports on the
// bus, so the client's removal always finds it, and the reader is deleted exactly once, at the
// removal that follows the reply without it, whichever came first.
TEST_P(RacePoints, ReaderRemovalAgainstTheClientsRemove)
{
    for (const bool surprise : {false, true}) {
        SCOPED_TRACE(surprise ? "surprise removal" : "uninstall");
        Reply remove;
        NTSTATUS uninstall = STATUS_SUCCESS;
        const std::set<std::string> outcomes =
            Sweep([&] { ArrangeBusesAndClient(1, true); },
                  [&](unsigned nth) {
                      simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(ReaderObject(m_Existing[0]));
                      EXPECT_NE(node, nullptr);
                      simk::user::Handle handle = m_Handle;
                      const BusReaderHandle reader = m_Existing[0];
                      return Race(
                          nth, [&, handle, reader] { remove = RemoveReader(handle, reader); },
                          [&, node, surprise] {
                              if (surprise) {
                                  simk::pnp::SurpriseRemoveDevice(node);
                              } else {
                                  uninstall = simk::pnp::RemoveDevice(node);
                              }
                          });
                  },
                  [&]() -> std::string {
                      EXPECT_EQ(uninstall, STATUS_SUCCESS);
                      EXPECT_FALSE(BusRemoved(0));
                      EXPECT_TRUE(ReaderObjects().empty()) << "the reader outlived both removals";
                      EXPECT_EQ(remove.status, STATUS_SUCCESS) << "Plug and Play's removal took it off its bus";
                      return "settled";
                  });
        EXPECT_EQ(outcomes.size(), 1u);
        if (HasFailure()) {
            return;
        }
        ASSERT_EQ(Restart(), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(EachSideHeld, RacePoints, ::testing::Values(Held::First, Held::Second),
                         [](const ::testing::TestParamInfo<Held>& info) {
                             return info.param == Held::First ? std::string("FirstHeld") : std::string("SecondHeld");
                         });

} // namespace
