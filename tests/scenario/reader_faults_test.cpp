// The client's fault injection: a reader rebalanced or reported failed on request, as Plug and
// Play then treats its stack, and the requests refused for a reader the session cannot name.
#include "support/client_session.h"
#include "support/driver_fixtures.h"

#include <vector>

#include "msdscbus.h"
#include "reader/reader_device.h"
#include "simkernel/faults.h"

namespace {

using msdsc::testing::READER_HARDWARE_ID;

using simk::pnp::DeviceNode;
using simk::pnp::NodeState;

class ReaderFaults : public msdsc::testing::WithOpenClient<1>
{
protected:
    void SetUp() override
    {
        msdsc::testing::WithOpenClient<1>::SetUp();
        simk::pnp::ChildFunctionDriverOptions options;
        options.hardwareId = READER_HARDWARE_ID;
        // A flag of the function driver's own, which the reader's answer must keep.
        options.pnpAnswers[IRP_MN_QUERY_PNP_DEVICE_STATE] = {STATUS_SUCCESS, PNP_DEVICE_DONT_DISPLAY_IN_UI};
        simk::pnp::SetChildFunctionDriver(options);
    }

    BusReaderHandle Add()
    {
        ReaderConfig config{1, 2, 3};
        BusReaderHandle handle{};
        ULONG_PTR information = 0;
        EXPECT_EQ(simk::user::DeviceIoControl(m_Client, IOCTL_BUS_ADD_READER, &config, sizeof(config), &handle,
                                              sizeof(handle), &information),
                  STATUS_SUCCESS);
        return handle;
    }

    NTSTATUS Send(ULONG code, BusReaderHandle handle, simk::user::Handle client = nullptr)
    {
        ULONG_PTR information = 0;
        return simk::user::DeviceIoControl(client != nullptr ? client : m_Client, code, &handle, sizeof(handle),
                                           nullptr, 0, &information);
    }

    static std::vector<UCHAR> PnpMinorsSince(DeviceNode* node, size_t first)
    {
        std::vector<UCHAR> minors;
        const std::vector<simk::pnp::IrpRecord> log = simk::pnp::IrpLogFor(node);
        for (size_t i = first; i < log.size(); ++i) {
            if (log[i].major == IRP_MJ_PNP) {
                minors.push_back(log[i].minor);
            }
        }
        return minors;
    }
};

// The stack sees the rebalance a device without resources gets, stays started, and the next state
// query carries no second rebalance (the request was consumed by the answer that carried it).
TEST_F(ReaderFaults, RebalancedReaderStaysStartedAndItsHandleStillNamesIt)
{
    const BusReaderHandle handle = Add();
    simk::pnp::RunUntilIdle();
    PDEVICE_OBJECT pdo = msdsc::testing::ReaderObject(handle);
    DeviceNode* node = simk::pnp::FindNodeByPdo(pdo);
    ASSERT_NE(node, nullptr);
    const size_t before = simk::pnp::IrpLogFor(node).size();

    ASSERT_EQ(Send(IOCTL_BUS_REBALANCE_READER, handle), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(
        PnpMinorsSince(node, before),
        (std::vector<UCHAR>{IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                            IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_CANCEL_STOP_DEVICE}));
    EXPECT_EQ(simk::pnp::Info(node).deviceState,
              ULONG_PTR{PNP_DEVICE_DONT_DISPLAY_IN_UI | PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED})
        << "the function driver's flag is kept beside the reader's";
    EXPECT_EQ(simk::pnp::State(node), NodeState::Started);
    EXPECT_EQ(msdsc::testing::ReaderOf(handle)->State(), ReaderState::Started);

    // Asked again for another reason, the reader reports nothing of its own any more.
    IoInvalidateDeviceState(pdo);
    const size_t second = simk::pnp::IrpLogFor(node).size();
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(PnpMinorsSince(node, second), std::vector<UCHAR>{IRP_MN_QUERY_PNP_DEVICE_STATE});
    EXPECT_EQ(simk::pnp::Info(node).deviceState, ULONG_PTR{PNP_DEVICE_DONT_DISPLAY_IN_UI});

    EXPECT_EQ(Send(IOCTL_BUS_REMOVE_READER, handle), STATUS_SUCCESS) << "the handle still names the reader";
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
}

// A failed reader: surprise removal, its removal waits for the open handle, then the node stays
// with its problem code while the bus lists the PDO; the session's removal ends it, and the next
// reader takes its number.
TEST_F(ReaderFaults, FailedReaderIsSurpriseRemovedKeptWithAProblemAndItsNumberReusedAfterRemoval)
{
    const BusReaderHandle handle = Add();
    simk::pnp::RunUntilIdle();
    PDEVICE_OBJECT pdo = msdsc::testing::ReaderObject(handle);
    DeviceNode* node = simk::pnp::FindNodeByPdo(pdo);
    ASSERT_NE(node, nullptr);
    simk::user::Handle application = nullptr;
    ASSERT_EQ(simk::user::OpenDeviceObject(pdo, &application), STATUS_SUCCESS);
    const size_t before = simk::pnp::IrpLogFor(node).size();

    ASSERT_EQ(Send(IOCTL_BUS_FAIL_READER, handle), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(PnpMinorsSince(node, before),
              (std::vector<UCHAR>{IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_SURPRISE_REMOVAL}));
    EXPECT_EQ(simk::pnp::State(node), NodeState::SurpriseRemoved) << "an application still holds it open";

    ASSERT_EQ(simk::user::Close(application), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(PnpMinorsSince(node, before),
              (std::vector<UCHAR>{IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(simk::pnp::Info(node).problemCode, simk::pnp::CM_PROB_FAILED_POST_START);
    EXPECT_EQ(simk::pnp::FindNodeByPdo(pdo), node) << "the bus still lists the reader";
    EXPECT_EQ(Send(IOCTL_BUS_REBALANCE_READER, handle), STATUS_INVALID_DEVICE_STATE) << "no longer started";

    EXPECT_EQ(Send(IOCTL_BUS_REMOVE_READER, handle), STATUS_SUCCESS);
    simk::pnp::RunUntilIdle();
    EXPECT_EQ(simk::pnp::State(node), NodeState::Removed);
    const BusReaderHandle next = Add();
    EXPECT_EQ(MsdscReaderHandleNumber(next.ReaderHandle), MsdscReaderHandleNumber(handle.ReaderHandle));
    simk::pnp::RunUntilIdle();
    DeviceNode* nextNode = simk::pnp::FindNodeByPdo(msdsc::testing::ReaderObject(next));
    ASSERT_NE(nextNode, nullptr);
    EXPECT_EQ(simk::pnp::State(nextNode), NodeState::Started) << "the new reader reports no failure";
}

// Each request needs a started reader the session's handle names; a refusal asks Plug and Play
// for nothing.
TEST_F(ReaderFaults, RequestsAreRefusedForAStaleForeignOrNotStartedReader)
{
    for (const ULONG code : {IOCTL_BUS_REBALANCE_READER, IOCTL_BUS_FAIL_READER}) {
        SCOPED_TRACE(FindControlRequest(code)->Name);
        // An earlier session's reader: its end took the reader off the bus.
        const BusReaderHandle foreign = Add();
        simk::pnp::RunUntilIdle();
        ASSERT_EQ(Close(m_Client), STATUS_SUCCESS);
        simk::pnp::RunUntilIdle();
        ASSERT_EQ(Open(&m_Client), STATUS_SUCCESS);
        EXPECT_EQ(Send(code, foreign), STATUS_UNSUCCESSFUL);

        // A stale handle: the number is held again, by a reader of another generation.
        const BusReaderHandle current = Add();
        ASSERT_EQ(MsdscReaderHandleNumber(current.ReaderHandle), MsdscReaderHandleNumber(foreign.ReaderHandle));
        simk::pnp::RunUntilIdle();
        EXPECT_EQ(Send(code, foreign), STATUS_UNSUCCESSFUL);

        // Not started: its start failed.
        simk::faults::FailAlways(simk::Call::IoOpenDeviceRegistryKey, STATUS_ACCESS_DENIED);
        const BusReaderHandle unstarted = Add();
        simk::pnp::RunUntilIdle();
        simk::faults::DisarmAll();
        DeviceNode* node = simk::pnp::FindNodeByPdo(msdsc::testing::ReaderObject(unstarted));
        ASSERT_NE(node, nullptr);
        const size_t before = simk::pnp::IrpLogFor(node).size();
        EXPECT_EQ(Send(code, unstarted), STATUS_INVALID_DEVICE_STATE);
        simk::pnp::RunUntilIdle();
        EXPECT_EQ(simk::pnp::IrpLogFor(node).size(), before) << "nothing was asked";

        EXPECT_EQ(Send(IOCTL_BUS_REMOVE_READER, current), STATUS_SUCCESS);
        EXPECT_EQ(Send(IOCTL_BUS_REMOVE_READER, unstarted), STATUS_SUCCESS);
        simk::pnp::RunUntilIdle();
    }
}

} // namespace
