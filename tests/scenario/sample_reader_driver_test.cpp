// The last step of a reader's road with the package's own sample reader driver as its function
// driver: installed while readers wait at problem 28 it starts them, reads exactly the values the
// client gave, answers through its interface, follows the system into sleep and out, and leaves
// nothing behind when it unloads.
#include "support/client_session.h"
#include "support/driver_fixtures.h"

#include <algorithm>

#include "msdscbus.h"
#include "msdscnames.h"
#include "msdscsample.h"
#include "simkernel/faults.h"
#include "simkernel/hooks.h"
#include "simkernel/pool.h"
#include "simkernel/power.h"
#include "simkernel/registry.h"

#ifndef MSDSCSAMPLE_IMAGE
#error "scenario tests are built with MSDSCSAMPLE_IMAGE, the path of the sample reader driver's image"
#endif

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::HandleOf;
using msdsc::testing::READER_HARDWARE_ID;
using msdsc::testing::RemoveReader;
using simk::pnp::DeviceNode;
using simk::pnp::NodeState;

const GUID SAMPLE_INTERFACE = MSDSC_SAMPLE_INTERFACE_GUID_INITIALIZER;

struct SampleReply {
    NTSTATUS open = STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
    SampleConfiguration configuration{};
};

class SampleReaderDriver : public msdsc::testing::WithOpenClient<2>
{
protected:
    SampleReaderDriver() { m_InstallReaderDriver = false; }

    void InstallSample() { ASSERT_NE(InstallSampleReaderDriver(), nullptr); }

    DeviceNode* AddSettled(const ReaderConfig& config, BusReaderHandle* handle = nullptr)
    {
        const msdsc::testing::Reply added = AddReader(m_Client, config);
        EXPECT_EQ(added.status, STATUS_SUCCESS);
        if (handle != nullptr)
            *handle = HandleOf(added);
        simk::pnp::RunUntilIdle();
        for (DeviceNode* bus : m_Buses) {
            for (DeviceNode* child : simk::pnp::Children(bus)) {
                if (simk::pnp::Info(child).instanceId == std::u16string(1, char16_t(u'0' + m_Added))) {
                    ++m_Added;
                    return child;
                }
            }
        }
        ADD_FAILURE() << "no node for reader number " << m_Added;
        return nullptr;
    }

    // What a client sees: the reader's interface of the sample's class, opened and asked.
    static SampleReply AskSample(DeviceNode* reader)
    {
        SampleReply reply;
        for (const simk::pnp::DeviceInterface& entry : simk::pnp::DeviceInterfaces(SAMPLE_INTERFACE)) {
            if (entry.node != reader)
                continue;
            simk::user::Handle handle = nullptr;
            reply.open = simk::user::OpenDeviceObject(entry.pdo, &handle, GENERIC_READ);
            if (!NT_SUCCESS(reply.open))
                return reply;
            reply.status =
                simk::user::DeviceIoControl(handle, IOCTL_SAMPLE_GET_CONFIGURATION, nullptr, 0, &reply.configuration,
                                            sizeof(reply.configuration), &reply.information);
            EXPECT_EQ(simk::user::Close(handle), STATUS_SUCCESS);
            return reply;
        }
        reply.open = STATUS_OBJECT_NAME_NOT_FOUND;
        return reply;
    }

    static DEVICE_OBJECT* SampleFdo(DeviceNode* reader)
    {
        DEVICE_OBJECT* pdo = simk::pnp::Pdo(reader);
        return pdo != nullptr ? pdo->AttachedDevice : nullptr;
    }

    unsigned m_Added = 0;
};

void ExpectReadAsGiven(const SampleReply& reply, const ReaderConfig& config)
{
    ASSERT_EQ(reply.open, STATUS_SUCCESS);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, sizeof(SampleConfiguration));
    EXPECT_EQ(reply.configuration.Number, config.Number);
    EXPECT_EQ(reply.configuration.Drive, config.Drive);
    EXPECT_EQ(reply.configuration.Log, config.Log);
    EXPECT_EQ(reply.configuration.Exists, 1u);
    // 1.0.0.3, last component first.
    EXPECT_EQ(reply.configuration.SampleVersion.Elements[0], 3);
    EXPECT_EQ(reply.configuration.SampleVersion.Elements[3], 1);
}

TEST_F(SampleReaderDriver, InstalledWhileReadersWaitAtProblem28ItStartsThemAndReadsTheClientsValues)
{
    // Readers on both buses (the client's adds go round-robin), each with values of its own, the
    // last with every bit set so no value can pass for another's.
    const ReaderConfig configs[] = {{7, 1, 0}, {0x2002, 2, 1}, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}};
    DeviceNode* readers[3];
    for (unsigned i = 0; i < 3; ++i)
        readers[i] = AddSettled(configs[i]);
    for (DeviceNode* reader : readers) {
        ASSERT_NE(reader, nullptr);
        // No function driver: present, unstarted, nothing written, no interface to ask.
        EXPECT_EQ(simk::pnp::State(reader), NodeState::NotInstalled);
        EXPECT_EQ(simk::pnp::Info(reader).problemCode, simk::pnp::CM_PROB_FAILED_INSTALL);
        EXPECT_FALSE(
            simk::registry::QueryDword(simk::pnp::HardwareKeyPath(reader), u"" MSDSC_VALUE_EXISTS).has_value());
        EXPECT_EQ(AskSample(reader).open, STATUS_OBJECT_NAME_NOT_FOUND);
    }

    InstallSample();
    for (unsigned i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(simk::pnp::State(readers[i]), NodeState::Started);
        EXPECT_EQ(simk::pnp::Info(readers[i]).problemCode, 0u);
        ExpectReadAsGiven(AskSample(readers[i]), configs[i]);
        // The sample told the power manager its device is in D0, and asked for no power request.
        EXPECT_EQ(simk::power::DevicePowerStateOf(SampleFdo(readers[i])), PowerDeviceD0);
        const auto records = simk::pnp::IrpLogFor(readers[i]);
        EXPECT_TRUE(std::none_of(records.begin(), records.end(),
                                 [](const simk::pnp::IrpRecord& r) { return r.major == IRP_MJ_POWER; }));
    }

    // A reader added now starts at once, and the client's removal ends it as any other.
    BusReaderHandle handle{};
    DeviceNode* late = AddSettled({0x4004, 4, 2}, &handle);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(simk::pnp::State(late), NodeState::Started);
    ExpectReadAsGiven(AskSample(late), {0x4004, 4, 2});
    EXPECT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(late), NodeState::Removed);
    EXPECT_EQ(AskSample(late).open, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(SampleReaderDriver, RefusesAShortReplyBufferAndRequestsItDoesNotKnow)
{
    InstallSample();
    DeviceNode* reader = AddSettled({5, 6, 7});
    ASSERT_NE(reader, nullptr);
    simk::user::Handle handle = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(simk::pnp::Pdo(reader), &handle, GENERIC_READ), STATUS_SUCCESS);
    SampleConfiguration short_reply[1];
    ULONG_PTR information = 0;
    EXPECT_EQ(simk::user::DeviceIoControl(handle, IOCTL_SAMPLE_GET_CONFIGURATION, nullptr, 0, short_reply,
                                          sizeof(SampleConfiguration) - 1, &information),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(simk::user::DeviceIoControl(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, short_reply,
                                          sizeof(SampleConfiguration), &information),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(simk::user::Close(handle), STATUS_SUCCESS);
}

TEST_F(SampleReaderDriver, SleepAndWakeAskForTheReadersDeviceStatesAndCompleteTheSystemRequestAfter)
{
    InstallSample();
    const ReaderConfig config = {9, 2, 1};
    DeviceNode* reader = AddSettled(config);
    ASSERT_NE(reader, nullptr);
    DEVICE_OBJECT* fdo = SampleFdo(reader);
    DEVICE_OBJECT* pdo = simk::pnp::Pdo(reader);
    simk::power::ClearRecords();

    // The system goes to S3: the reader maps it to D3 (its capabilities), and the sample, its power
    // policy owner, asks for D3 once the system request has gone down, and completes it after.
    const simk::power::PowerIrpResult sleep = simk::power::SetSystemPower(fdo, PowerSystemSleeping3);
    EXPECT_TRUE(sleep.completed);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    EXPECT_EQ(simk::power::DevicePowerStateOf(fdo), PowerDeviceD3);
    EXPECT_EQ(simk::power::DevicePowerStateOf(pdo), PowerDeviceD3);
    const auto calls = simk::power::SetPowerStateCalls();
    const auto firstOf = [&](DEVICE_OBJECT* device, POWER_STATE_TYPE type) {
        return std::find_if(calls.begin(), calls.end(), [&](const simk::power::SetPowerStateCall& call) {
            return call.device == device && call.type == type;
        });
    };
    // Only device states are reported, and the reader's D3 came in answer to the system request.
    EXPECT_EQ(firstOf(pdo, SystemPowerState), calls.end());
    ASSERT_NE(firstOf(pdo, DevicePowerState), calls.end());
    EXPECT_EQ(firstOf(pdo, DevicePowerState)->state.DeviceState, PowerDeviceD3);

    // Back to S0: D0 again, and the values still there to read.
    const simk::power::PowerIrpResult wake = simk::power::SetSystemPower(fdo, PowerSystemWorking);
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_EQ(simk::power::DevicePowerStateOf(fdo), PowerDeviceD0);
    EXPECT_EQ(simk::power::DevicePowerStateOf(pdo), PowerDeviceD0);
    ExpectReadAsGiven(AskSample(reader), config);
}

// The sample's own start fails when the hardware key does not open for it, after the reader's start
// wrote the values: the stack is taken down (problem 10) and the sample leaves nothing behind.
TEST_F(SampleReaderDriver, StartThatCannotReadTheHardwareKeyFailsWithItsStatusAndLeavesNothing)
{
    DeviceNode* reader = AddSettled({4, 4, 4});
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(simk::pnp::State(reader), NodeState::NotInstalled);
    // The reader's open is the first, the sample's the second.
    simk::faults::FailNth(simk::Call::IoOpenDeviceRegistryKey, 2, STATUS_ACCESS_DENIED);
    InstallSample();
    EXPECT_EQ(simk::pnp::State(reader), NodeState::StartFailed);
    EXPECT_EQ(simk::pnp::Info(reader).problem, STATUS_ACCESS_DENIED);
    EXPECT_EQ(simk::pnp::Info(reader).problemCode, simk::pnp::CM_PROB_FAILED_START);
    EXPECT_EQ(simk::registry::QueryDword(simk::pnp::HardwareKeyPath(reader), u"" MSDSC_VALUE_NUMBER), 4u);
    EXPECT_EQ(AskSample(reader).open, STATUS_OBJECT_NAME_NOT_FOUND);
    // The stack went with the failed start: no device of the sample, none of its pool.
    EXPECT_EQ(m_Sample->DeviceObject, nullptr);
    EXPECT_EQ(simk::pool::OutstandingCount(m_Sample), 0u);
}

// The values in the hardware key are another reader's (Exists 0 beside the other three, as a reader
// leaves them on its way out): the sample's start fails with a configuration error and leaves nothing.
TEST_F(SampleReaderDriver, StartWithExistsZeroInTheHardwareKeyFailsAsAConfigurationError)
{
    DeviceNode* reader = AddSettled({4, 4, 4});
    ASSERT_NE(reader, nullptr);
    // Between the reader's write (its own start, the first open) and the sample's read (the second).
    const std::u16string key = simk::pnp::HardwareKeyPath(reader);
    simk::hooks::Hook clearExists(
        simk::hooks::At(simk::Call::IoOpenDeviceRegistryKey, simk::When::Before, 2),
        [&](const simk::CallSite&) { simk::registry::SetDword(key, u"" MSDSC_VALUE_EXISTS, 0); });
    InstallSample();
    ASSERT_TRUE(clearExists.Fired());
    EXPECT_EQ(simk::registry::QueryDword(key, u"" MSDSC_VALUE_NUMBER), 4u);
    EXPECT_EQ(simk::pnp::State(reader), NodeState::StartFailed);
    EXPECT_EQ(simk::pnp::Info(reader).problem, STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(AskSample(reader).open, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(m_Sample->DeviceObject, nullptr);
    EXPECT_EQ(simk::pool::OutstandingCount(m_Sample), 0u);
}

// An application holds a handle on the sample's interface when the client removes the reader: the
// reader's final removal waits for that handle, but the interface goes off, and its removal is
// announced, at once, so the application learns it should close.
TEST_F(SampleReaderDriver, PulledReaderSwitchesItsInterfaceOffBeforeTheApplicationsHandleCloses)
{
    InstallSample();
    simk::pnp::InterfaceWatch application(SAMPLE_INTERFACE);
    BusReaderHandle handle{};
    DeviceNode* reader = AddSettled({2, 2, 2}, &handle);
    ASSERT_NE(reader, nullptr);
    const std::vector<simk::pnp::DeviceInterface> present = simk::pnp::DeviceInterfaces(SAMPLE_INTERFACE);
    ASSERT_EQ(present.size(), 1u);
    const std::u16string link = present[0].linkName;
    EXPECT_EQ(application.Events(), (std::vector<simk::pnp::InterfaceEvent>{{true, link}}));
    simk::user::Handle opened = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(present[0].pdo, &opened, GENERIC_READ), STATUS_SUCCESS);

    ASSERT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    ASSERT_TRUE(simk::pnp::AwaitingCloses(reader)) << "the handle holds the final removal back";
    const std::vector<simk::pnp::RegisteredInterface> listed = simk::pnp::RegisteredInterfaces(SAMPLE_INTERFACE);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_FALSE(listed[0].enabled) << "still on while the application's handle is open";
    EXPECT_EQ(application.Events(), (std::vector<simk::pnp::InterfaceEvent>{{true, link}, {false, link}}));

    ASSERT_EQ(simk::user::Close(opened), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(reader), NodeState::Removed);
    EXPECT_EQ(application.Events().size(), 2u) << "announced once";
}

// A driver update of the sample restarts the reader: query-remove, removal, AddDevice of the new
// driver and a start of the same PDO. The client's reader lives on: the new driver reads the same
// values from the same node, and the client's handle still removes it.
TEST_F(SampleReaderDriver, DriverUpdateOfTheSampleKeepsTheClientsReader)
{
    InstallSample();
    const ReaderConfig config = {3, 3, 3};
    BusReaderHandle handle{};
    DeviceNode* reader = AddSettled(config, &handle);
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(simk::pnp::State(reader), NodeState::Started);
    DEVICE_OBJECT* const pdo = simk::pnp::Pdo(reader);
    DeviceNode* const bus = simk::pnp::Parent(reader);
    simk::pnp::UpdateDriver(reader, m_Sample);
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(simk::pnp::State(reader), NodeState::Started);
    EXPECT_EQ(simk::pnp::Pdo(reader), pdo) << "the same reader started again";
    ASSERT_NE(SampleFdo(reader), nullptr);
    EXPECT_EQ(SampleFdo(reader)->DriverObject, m_Sample);
    ExpectReadAsGiven(AskSample(reader), config);
    EXPECT_EQ(RemoveReader(m_Client, handle).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_TRUE(simk::pnp::Children(bus).empty());
}

} // namespace
