// Fault injection swept over the client's paths: a bus arriving, a reader being added, Plug and
// Play enumerating and starting it, the client removing it, and the end of the session (by the
// handle's cleanup, or by its close alone as on Wine). For each
// kernel call the path makes, the 1st, 2nd, ... call fails in turn (on a freshly loaded driver)
// until the path runs without reaching the armed call. Every run must end with the documented
// status, and with nothing but the control device left once the user has closed and uninstalled.
#include "support/client_session.h"

#include <cctype>
#include <string>

#include "simkernel/faults.h"

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::ClientTest;
using msdsc::testing::HandleOf;
using msdsc::testing::ReaderObject;
using msdsc::testing::ReaderOf;
using msdsc::testing::RemoveReader;
using msdsc::testing::Reply;

constexpr ReaderConfig CONFIG = {5, 6, 7};
constexpr unsigned MAX_CALLS = 40;

enum class Path { BusArrival, Add, Enumerate, Remove, Cleanup, CloseWithoutCleanup };

struct SweepCase {
    const char* name;
    Path path;
    simk::Call call;
};

// A failure status of each call that no path produces by itself, so its travel can be seen.
NTSTATUS InjectedStatus(simk::Call call)
{
    switch (call) {
    case simk::Call::IoCreateDevice:
    case simk::Call::IoAttachDeviceToDeviceStackSafe:
        return STATUS_NO_SUCH_DEVICE;
    case simk::Call::IoOpenDeviceRegistryKey:
    case simk::Call::ZwSetValueKey:
        return STATUS_ACCESS_DENIED;
    default:
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

class FaultSweep : public ClientTest, public ::testing::WithParamInterface<SweepCase>
{
protected:
    // The driver's device objects other than the control device.
    size_t DeviceObjectsBesidesControl() { return simk::DevicesOfDriver(Driver()).size() - 1; }

    // State before the path, on a freshly loaded driver.
    void Arrange(Path path)
    {
        m_Readers.clear();
        if (path == Path::BusArrival) {
            return;
        }
        const bool sessionEnd = path == Path::Cleanup || path == Path::CloseWithoutCleanup;
        AddStartedBus();
        if (sessionEnd) {
            AddStartedBus();
        }
        Open();
        if (path == Path::Add) {
            return;
        }
        const int readers = sessionEnd ? 3 : 1;
        for (int i = 0; i < readers; ++i) {
            const Reply reply = AddReader(m_Handle, CONFIG);
            ASSERT_EQ(reply.status, STATUS_SUCCESS);
            m_Readers.push_back(HandleOf(reply));
        }
        if (path != Path::Enumerate) {
            simk::pnp::RunUntilIdle();
        }
    }

    // Runs the path with the call armed and checks what the client and Plug and Play saw.
    void ActAndCheck(Path path, simk::Call call, bool* fired)
    {
        const NTSTATUS injected = InjectedStatus(call);
        switch (path) {
        case Path::BusArrival: {
            simk::pnp::DeviceNode* node = simk::pnp::CreateRootDevice(Driver(), msdsc::testing::BUS_HARDWARE_ID);
            *fired = simk::faults::Fired(call);
            simk::faults::DisarmAll();
            if (!*fired) {
                ASSERT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Started);
                m_Buses.push_back(node);
                return;
            }
            if (call == simk::Call::ExAllocatePoolWithTag && simk::pnp::State(node) == simk::pnp::NodeState::Started) {
                // The bus got in and started; what failed was the reply to its first enumeration.
                m_Buses.push_back(node);
                bool relationsFailed = false;
                for (const simk::pnp::IrpRecord& record : simk::pnp::IrpLogFor(node)) {
                    relationsFailed |= record.minor == IRP_MN_QUERY_DEVICE_RELATIONS && record.detail == BusRelations &&
                                       record.status == STATUS_INSUFFICIENT_RESOURCES;
                }
                EXPECT_TRUE(relationsFailed);
                return;
            }
            // A bus that could not be entered into the registry reports STATUS_UNSUCCESSFUL;
            // the kernel's own failures come back as they were.
            EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::AddDeviceFailed);
            EXPECT_EQ(simk::pnp::Info(node).problem,
                      call == simk::Call::ExAllocatePoolWithTag ? STATUS_UNSUCCESSFUL : injected);
            EXPECT_EQ(DeviceObjectsBesidesControl(), 0u);
            simk::user::Handle handle = nullptr;
            EXPECT_EQ(simk::user::OpenDevice(msdsc::testing::CONTROL_USER_PATH, &handle), STATUS_INVALID_DEVICE_STATE);
            return;
        }
        case Path::Add: {
            const Reply reply = AddReader(m_Handle, CONFIG);
            *fired = simk::faults::Fired(call);
            simk::faults::DisarmAll();
            if (!*fired) {
                ASSERT_EQ(reply.status, STATUS_SUCCESS);
                return;
            }
            EXPECT_EQ(reply.status, call == simk::Call::IoCreateDevice ? injected : STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(reply.information, 0u);
            EXPECT_EQ(DeviceObjectsBesidesControl(), 1u) << "the failed reader was left behind";
            EXPECT_EQ(simk::pnp::QueuedWorkCount(), 0u) << "a failed add announced a reader";
            // The next add works in the failed one's slot; a generation is used up only once its
            // device object existed.
            const Reply next = AddReader(m_Handle, CONFIG);
            ASSERT_EQ(next.status, STATUS_SUCCESS);
            EXPECT_EQ(ReaderOf(HandleOf(next))->m_ReaderNumber, 0u);
            EXPECT_EQ(MsdscReaderHandleGeneration(HandleOf(next).ReaderHandle),
                      call == simk::Call::IoCreateDevice ? 1u : 2u);
            return;
        }
        case Path::Enumerate: {
            simk::pnp::RunUntilIdle();
            *fired = simk::faults::Fired(call);
            simk::faults::DisarmAll();
            simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(ReaderObject(m_Readers[0]));
            if (!*fired) {
                ASSERT_NE(node, nullptr);
                EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Started);
                return;
            }
            if (call == simk::Call::ExAllocatePoolWithTag) {
                // No relations reply, or a reply of the reader that could not be built.
                if (node != nullptr) {
                    EXPECT_NE(simk::pnp::State(node), simk::pnp::NodeState::Removed);
                } else {
                    EXPECT_EQ(ReaderOf(m_Readers[0])->State(), ReaderState::NotStarted);
                }
            } else {
                // The start could not write the configuration: it fails with that status and the
                // reader stays where it was.
                ASSERT_NE(node, nullptr);
                EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::StartFailed);
                EXPECT_EQ(simk::pnp::Info(node).problem, injected);
                EXPECT_EQ(ReaderOf(m_Readers[0])->State(), ReaderState::NotStarted);
            }
            // However far it got, closing the handle takes the reader away for good.
            CloseClient();
            simk::pnp::RunUntilIdle();
            EXPECT_EQ(DeviceObjectsBesidesControl(), 1u) << "the reader outlived the client's handle";
            return;
        }
        case Path::Remove: {
            simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(ReaderObject(m_Readers[0]));
            ASSERT_NE(node, nullptr);
            const Reply reply = RemoveReader(m_Handle, m_Readers[0]);
            simk::pnp::RunUntilIdle();
            *fired = simk::faults::Fired(call);
            simk::faults::DisarmAll();
            // Nothing in the request itself can fail.
            EXPECT_EQ(reply.status, STATUS_SUCCESS);
            if (!*fired) {
                EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Removed);
                return;
            }
            // The enumeration that would have reported it missing failed; the next one does.
            simk::pnp::EnumerateNow(m_Buses[0]);
            EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Removed);
            EXPECT_EQ(DeviceObjectsBesidesControl(), 1u);
            return;
        }
        case Path::Cleanup:
        case Path::CloseWithoutCleanup: {
            if (path == Path::Cleanup) {
                EXPECT_EQ(Close(m_Handle), STATUS_SUCCESS);
            } else {
                EXPECT_EQ(CloseWithoutCleanup(m_Handle), STATUS_SUCCESS);
            }
            m_Handle = nullptr;
            simk::pnp::RunUntilIdle();
            *fired = simk::faults::Fired(call);
            simk::faults::DisarmAll();
            if (!*fired) {
                EXPECT_EQ(DeviceObjectsBesidesControl(), 2u);
                return;
            }
            // Whatever enumeration failed, the readers are off their buses: uninstalling the
            // buses is not vetoed and removes them.
            for (simk::pnp::DeviceNode* bus : std::vector<simk::pnp::DeviceNode*>(m_Buses)) {
                EXPECT_TRUE(UninstallBus(bus));
            }
            EXPECT_EQ(DeviceObjectsBesidesControl(), 0u);
            return;
        }
        }
    }

    std::vector<BusReaderHandle> m_Readers;
};

TEST_P(FaultSweep, EveryFailingCallEndsWithItsStatusAndNothingLeft)
{
    const SweepCase& sweep = GetParam();
    // Plug and Play creates the bus's physical device object with the first IoCreateDevice.
    const unsigned first = sweep.path == Path::BusArrival && sweep.call == simk::Call::IoCreateDevice ? 2 : 1;
    unsigned failures = 0;
    for (unsigned n = first; n < MAX_CALLS; ++n) {
        SCOPED_TRACE(testing::Message() << sweep.name << ", failing call " << n);
        if (n != first) {
            ASSERT_EQ(Restart(), STATUS_SUCCESS);
        }
        Arrange(sweep.path);
        if (HasFatalFailure()) {
            return;
        }
        simk::faults::FailNth(sweep.call, n, InjectedStatus(sweep.call));
        bool fired = false;
        ActAndCheck(sweep.path, sweep.call, &fired);
        simk::faults::DisarmAll();
        UnloadEverything();
        for (const simk::verifier::Violation& violation : TakeUnexpectedViolations()) {
            ADD_FAILURE() << violation.rule << ": " << violation.details;
        }
        if (!fired) {
            break;
        }
        ++failures;
    }
    EXPECT_GT(failures, 0u) << "the path never reached the call";
    EXPECT_LT(failures + first, MAX_CALLS) << "the path kept reaching the armed call";
}

const SweepCase SWEEPS[] = {
    {"bus arrival, pool", Path::BusArrival, simk::Call::ExAllocatePoolWithTag},
    {"bus arrival, device creation", Path::BusArrival, simk::Call::IoCreateDevice},
    {"bus arrival, attachment", Path::BusArrival, simk::Call::IoAttachDeviceToDeviceStackSafe},
    {"add, pool", Path::Add, simk::Call::ExAllocatePoolWithTag},
    {"add, device creation", Path::Add, simk::Call::IoCreateDevice},
    {"enumerate and start, pool", Path::Enumerate, simk::Call::ExAllocatePoolWithTag},
    {"enumerate and start, hardware key", Path::Enumerate, simk::Call::IoOpenDeviceRegistryKey},
    {"enumerate and start, values", Path::Enumerate, simk::Call::ZwSetValueKey},
    {"remove, pool", Path::Remove, simk::Call::ExAllocatePoolWithTag},
    {"cleanup, pool", Path::Cleanup, simk::Call::ExAllocatePoolWithTag},
    {"close without cleanup, pool", Path::CloseWithoutCleanup, simk::Call::ExAllocatePoolWithTag},
};

INSTANTIATE_TEST_SUITE_P(ClientPaths, FaultSweep, ::testing::ValuesIn(SWEEPS),
                         [](const ::testing::TestParamInfo<SweepCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != '\0'; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) {
                                     name += *c;
                                 }
                             }
                             return name;
                         });

} // namespace
