// The session of the open handle: its readers belong to it, nothing reaches the driver on its
// behalf once it has ended, an add racing its end is either removed by it or refused, and a close
// that comes without a cleanup (as on Wine) ends it all the same. Also the request-level rule that
// a failed request leaves IoStatus.Information as the I/O manager gave it.
#include "support/client_session.h"

#include <atomic>
#include <thread>

#include "simkernel/faults.h"

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::ClientTest;
using msdsc::testing::CONTROL_USER_PATH;
using msdsc::testing::Request;

constexpr ReaderConfig CONFIG = {9, 8, 7};

using ControlSession = ClientTest;

// Readers of the driver that exist now: every device object but the control device and the buses.
size_t ReaderCount(PDRIVER_OBJECT driver, size_t buses) { return simk::DevicesOfDriver(driver).size() - 1 - buses; }

// A request to the control device as the I/O manager builds it for the session's file object,
// with IoStatus.Information preset, so what the driver leaves there can be seen.
struct RawRequest {
    ULONG code = IOCTL_BUS_GET_VERSION;
    bool withBuffer = true;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    unsigned char buffer[32] = {};
};

struct RawOutcome {
    NTSTATUS status;
    ULONG_PTR information;
};

constexpr ULONG_PTR SENTINEL = 0x5EA7ED;

TEST_F(ControlSession, RequestsAfterTheHandlesCleanupAreRefusedAndCreateNothing)
{
    AddStartedBus();
    simk::user::Handle handle = Open();
    ASSERT_EQ(AddReader(handle, CONFIG).status, STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    PFILE_OBJECT session = Control()->m_Session;
    ASSERT_NE(session, nullptr);

    // The cleanup of the handle, while the handle itself (another thread's, say) is still usable.
    ASSERT_EQ(simk::io::Call(ControlDeviceObject(), IRP_MJ_CLEANUP, 0,
                             [&](PIO_STACK_LOCATION stack, PIRP) { stack->FileObject = session; }),
              STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderCount(Driver(), 1), 0u);
    EXPECT_FALSE(Control()->m_Opened);

    EXPECT_EQ(AddReader(handle, CONFIG).status, STATUS_FILE_CLOSED);
    EXPECT_EQ(Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 8).status, STATUS_FILE_CLOSED);
    const BusReaderHandle none{};
    EXPECT_EQ(Request(handle, IOCTL_BUS_REMOVE_READER, &none, sizeof(none), 0).status, STATUS_FILE_CLOSED);
    EXPECT_EQ(ReaderCount(Driver(), 1), 0u);

    // The next open is another session; the old handle stays shut out of it.
    simk::user::Handle next = nullptr;
    ASSERT_EQ(simk::user::OpenDevice(CONTROL_USER_PATH, &next), STATUS_SUCCESS);
    EXPECT_EQ(AddReader(handle, CONFIG).status, STATUS_FILE_CLOSED);
    EXPECT_EQ(AddReader(next, CONFIG).status, STATUS_SUCCESS);
    EXPECT_EQ(simk::user::Close(next), STATUS_SUCCESS);
    CloseClient();
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderCount(Driver(), 1), 0u);
}

// Wine sends IRP_MJ_CLOSE alone when a handle closes.
TEST_F(ControlSession, CloseWithoutCleanupRemovesTheSessionsReaders)
{
    simk::pnp::DeviceNode* buses[2] = {AddStartedBus(), AddStartedBus()};
    simk::user::Handle handle = Open();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(AddReader(handle, CONFIG).status, STATUS_SUCCESS);
    }
    simk::pnp::RunUntilIdle();
    ASSERT_EQ(ReaderCount(Driver(), 2), 3u);

    ASSERT_EQ(CloseWithoutCleanup(handle), STATUS_SUCCESS);
    m_Handle = nullptr;
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(ReaderCount(Driver(), 2), 0u);
    EXPECT_TRUE(simk::pnp::Children(buses[0]).empty());
    EXPECT_TRUE(simk::pnp::Children(buses[1]).empty());
    EXPECT_FALSE(Control()->m_Opened);
    Open();
}

// Another thread closes the handle while adds are on their way. Each add either finished before
// the session's end, and the end removed its reader, or was refused; none leaves a reader behind.
// Run under ThreadSanitizer in the host-tsan preset.
TEST_F(ControlSession, AnAddRacingTheCleanupNeverLeavesAReader)
{
    AddStartedBus();
    AddStartedBus();
    constexpr int ROUNDS = 40;
    constexpr int ADDERS = 2;
    constexpr int READERS_PER_ROUND = 12;
    int added = 0;
    int refused = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        simk::user::Handle handle = Open();
        std::atomic<int> ready{0};
        std::atomic<int> successes{0};
        std::atomic<int> refusals{0};
        std::atomic<int> unexpected{0};
        std::vector<std::thread> adders;
        for (int i = 0; i < ADDERS; ++i) {
            adders.emplace_back([&] {
                ++ready;
                for (;;) {
                    // A few readers per round are enough; then the requests go on, cheaper, until
                    // the close refuses them.
                    const bool add = successes.load() < READERS_PER_ROUND;
                    const NTSTATUS status = add ? AddReader(handle, CONFIG).status
                                                : Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 8).status;
                    if (status == STATUS_SUCCESS) {
                        successes += add ? 1 : 0;
                        continue;
                    }
                    // Refused by the driver (the session had ended) or by the I/O manager (the
                    // handle was gone before the request was built).
                    if (status == STATUS_FILE_CLOSED || status == STATUS_INVALID_HANDLE) {
                        ++refusals;
                    } else {
                        ++unexpected;
                    }
                    return;
                }
            });
        }
        while (ready.load() < ADDERS) {
            std::this_thread::yield();
        }
        // Let a few adds through first, at a different point each round.
        for (int spin = 0; spin < round * 20; ++spin) {
            std::this_thread::yield();
        }
        CloseClient();
        for (std::thread& adder : adders) {
            adder.join();
        }
        simk::pnp::RunUntilIdle();
        ASSERT_EQ(unexpected.load(), 0) << "round " << round;
        ASSERT_EQ(ReaderCount(Driver(), 2), 0u) << "round " << round << ": a reader outlived its session";
        added += successes.load();
        refused += refusals.load();
    }
    EXPECT_GT(added, 0);
    EXPECT_EQ(refused, ROUNDS * ADDERS);
}

class RequestInformation : public ClientTest
{
protected:
    RawOutcome Send(RawRequest request)
    {
        PFILE_OBJECT session = Control()->m_Session;
        IO_STATUS_BLOCK iosb{};
        const NTSTATUS status = simk::io::Call(
            ControlDeviceObject(), IRP_MJ_DEVICE_CONTROL, 0,
            [&](PIO_STACK_LOCATION stack, PIRP irp) {
                stack->FileObject = session;
                stack->Parameters.DeviceIoControl.IoControlCode = request.code;
                stack->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
                stack->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
                irp->AssociatedIrp.SystemBuffer = request.withBuffer ? request.buffer : nullptr;
                irp->IoStatus.Information = SENTINEL;
            },
            &iosb);
        return {status, iosb.Information};
    }

    // A request of that row with records of their full size, zeroed.
    static RawRequest Full(ULONG code)
    {
        const ControlRequest* row = FindControlRequest(code);
        RawRequest request;
        request.code = code;
        request.inputLength = row->InputSize;
        request.outputLength = row->OutputSize;
        return request;
    }

    static RawRequest Version() { return Full(IOCTL_BUS_GET_VERSION); }

    static RawRequest Add()
    {
        RawRequest request = Full(IOCTL_BUS_ADD_READER);
        std::memcpy(request.buffer, &CONFIG, sizeof(CONFIG));
        return request;
    }

    static RawRequest Remove(const BusReaderHandle& handle)
    {
        RawRequest request = Full(IOCTL_BUS_REMOVE_READER);
        std::memcpy(request.buffer, &handle, sizeof(handle));
        return request;
    }
};

// Every failure row of the control requests, each checked for its status and for an Information
// field left as it came. The success rows set it to the reply's size (remove has no reply).
TEST_F(RequestInformation, FailuresLeaveInformationAsItCame)
{
    PDEVICE_OBJECT unstarted = AddUnstartedBus();
    Open();
    const auto expect = [](const RawOutcome& outcome, NTSTATUS status, ULONG_PTR information, const char* row) {
        EXPECT_EQ(outcome.status, status) << row;
        EXPECT_EQ(outcome.information, information) << row;
    };
    expect(Send(Add()), STATUS_INVALID_DEVICE_STATE, SENTINEL, "add, no bus is started");
    simk::pnp::DeviceNode* bus = AddStartedBus();

    // Each request's records, one byte short or not there at all: refused before its handler runs.
    for (const ControlRequest& row : CONTROL_REQUESTS) {
        SCOPED_TRACE(row.Name);
        RawRequest request = Full(row.Code);
        if (row.InputSize != 0) {
            RawRequest shortInput = request;
            --shortInput.inputLength;
            expect(Send(shortInput), STATUS_INVALID_PARAMETER, SENTINEL, "input one byte short");
        }
        if (row.OutputSize != 0) {
            RawRequest shortOutput = request;
            --shortOutput.outputLength;
            expect(Send(shortOutput), STATUS_INVALID_PARAMETER, SENTINEL, "output one byte short");
        }
        request.withBuffer = false;
        expect(Send(request), STATUS_INVALID_PARAMETER, SENTINEL, "no buffer");
    }

    expect(Send(Version()), STATUS_SUCCESS, 8, "version");

    const RawOutcome added = [&] {
        RawRequest request = Add();
        RawOutcome outcome = Send(request);
        return outcome;
    }();
    expect(added, STATUS_SUCCESS, 16, "add");
    simk::faults::FailNth(simk::Call::IoCreateDevice, 1, STATUS_NO_SUCH_DEVICE);
    expect(Send(Add()), STATUS_NO_SUCH_DEVICE, SENTINEL, "add, IoCreateDevice fails");
    simk::faults::DisarmAll();
    simk::faults::FailPoolTag(simk::Tag("apsl"));
    expect(Send(Add()), STATUS_INSUFFICIENT_RESOURCES, SENTINEL, "add, no pool for the list entry");
    simk::faults::DisarmAll();

    // Reader 0, the first reader made in this load (generation 1).
    const BusReaderHandle present = {Bus(bus)->m_Handle, MsdscMakeReaderHandle(1, 0)};
    expect(Send(Remove({present.BusHandle + 9, 0})), STATUS_UNSUCCESSFUL, SENTINEL, "remove, no such bus");
    expect(Send(Remove({present.BusHandle, 99})), STATUS_UNSUCCESSFUL, SENTINEL, "remove, no such reader");
    expect(Send(Remove({present.BusHandle, MsdscMakeReaderHandle(256, 0)})), STATUS_UNSUCCESSFUL, SENTINEL,
           "remove, forged reader");
    simk::pnp::RunUntilIdle();
    expect(Send(Remove(present)), STATUS_SUCCESS, SENTINEL, "remove");

    RawRequest unknown = Version();
    unknown.code = msdsc::testing::UNASSIGNED_CONTROL_CODE;
    expect(Send(unknown), STATUS_INVALID_DEVICE_REQUEST, SENTINEL, "unassigned code");

    // No bus ready: the last one goes while the handle stays open.
    RemoveUnstartedBus(unstarted);
    simk::pnp::RunUntilIdle();
    ASSERT_TRUE(UninstallBus(bus));
    for (const ControlRequest& row : CONTROL_REQUESTS) {
        if (row.NeedsBus) {
            expect(Send(Full(row.Code)), STATUS_INVALID_DEVICE_STATE, SENTINEL, row.Name);
        }
    }

    // A request on a file object whose session has ended.
    PFILE_OBJECT session = Control()->m_Session;
    ASSERT_EQ(simk::io::Call(ControlDeviceObject(), IRP_MJ_CLEANUP, 0,
                             [&](PIO_STACK_LOCATION stack, PIRP) { stack->FileObject = session; }),
              STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    simk::io::Call(
        ControlDeviceObject(), IRP_MJ_DEVICE_CONTROL, 0,
        [&](PIO_STACK_LOCATION stack, PIRP irp) {
            stack->FileObject = session;
            stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_GET_VERSION;
            irp->IoStatus.Information = SENTINEL;
        },
        &iosb);
    EXPECT_EQ(iosb.Status, STATUS_FILE_CLOSED);
    EXPECT_EQ(iosb.Information, SENTINEL);
}

} // namespace
