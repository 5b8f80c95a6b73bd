// Threaded stress of the client interface: several threads send overlapping requests on the one
// open handle while Plug and Play runs on its own thread and buses arrive and leave. Afterwards
// every reader the client was given is either still there or went by a documented way: the
// client removed it, or its bus left.
#include "support/client_session.h"

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace {

using msdsc::testing::AddReader;
using msdsc::testing::ClientTest;
using msdsc::testing::HandleOf;
using msdsc::testing::ReaderObject;
using msdsc::testing::RemoveReader;
using msdsc::testing::Reply;
using msdsc::testing::Request;

constexpr int CLIENT_THREADS = 4;
constexpr int OPERATIONS_PER_THREAD = 250;
constexpr int BUS_ROUNDS = 30;

// What the client was told, by the reader half of its handle. Numbers are reused, but with a new
// generation, so no reader half is given twice while the driver is loaded and no record should
// ever turn ambiguous; the generation each record carries would catch a driver that gave one twice.
class Ledger
{
public:
    struct Record {
        BusReaderHandle handle{};
        unsigned long generation = 0;
        bool removedByClient = false;
        bool ambiguous = false; // a stale handle may have removed a newer reader with the same number
    };

    void Added(const BusReaderHandle& handle)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        Record& record = m_Records[handle.ReaderHandle];
        record = Record{handle, ++m_Generation, false, false};
    }

    // A handle to try to remove, with the generation it belongs to.
    bool Pick(std::mt19937& random, BusReaderHandle* handle, unsigned long* generation)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Records.empty()) {
            return false;
        }
        auto it = m_Records.begin();
        std::advance(it, static_cast<long>(random() % m_Records.size()));
        *handle = it->second.handle;
        *generation = it->second.generation;
        return true;
    }

    void Removed(const BusReaderHandle& handle, unsigned long generation)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_Records.find(handle.ReaderHandle);
        if (it == m_Records.end()) {
            return;
        }
        if (it->second.generation == generation) {
            it->second.removedByClient = true;
        } else {
            it->second.ambiguous = true;
        }
    }

    std::map<ULONG64, Record> Records()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Records;
    }

private:
    std::mutex m_Mutex;
    std::map<ULONG64, Record> m_Records;
    unsigned long m_Generation = 0;
};

class ClientStress : public ClientTest
{
protected:
    void OverlappingRequestsWhileBusesComeAndGo();
};

TEST_F(ClientStress, OverlappingRequestsWhileBusesComeAndGo) { OverlappingRequestsWhileBusesComeAndGo(); }

// The same with the package's sample reader driver over every reader, starting and removing with it.
TEST_F(ClientStress, OverlappingRequestsWhileBusesComeAndGoWithTheSampleAsReadersDriver)
{
    simk::pnp::ClearChildFunctionDriver();
    ASSERT_NE(InstallSampleReaderDriver(), nullptr);
    OverlappingRequestsWhileBusesComeAndGo();
}

void ClientStress::OverlappingRequestsWhileBusesComeAndGo()
{
    simk::pnp::DeviceNode* fixedBuses[2] = {AddStartedBus(), AddStartedBus()};
    simk::user::Handle handle = Open();
    simk::pnp::StartWorkerThread();

    Ledger ledger;
    std::mutex goneMutex;
    std::set<ULONG64> busesGone; // bus handles of buses that left during the run
    std::atomic<int> unexpected{0};
    std::atomic<int> adds{0};
    std::atomic<int> removals{0};

    auto client = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int i = 0; i < OPERATIONS_PER_THREAD; ++i) {
            const unsigned choice = random() % 20;
            if (choice < 10) {
                const ReaderConfig config = {static_cast<ULONG>(i), seed, 0};
                const Reply reply = AddReader(handle, config);
                if (reply.status == STATUS_SUCCESS) {
                    ledger.Added(HandleOf(reply));
                    ++adds;
                } else if (reply.status != STATUS_INVALID_DEVICE_STATE &&
                           reply.status != STATUS_INSUFFICIENT_RESOURCES) {
                    // Only a bus that is between its query-remove and its removal refuses, and the
                    // driver once it holds its most readers.
                    ADD_FAILURE() << "add: 0x" << std::hex << reply.status;
                    ++unexpected;
                }
            } else if (choice < 16) {
                BusReaderHandle reader;
                unsigned long generation = 0;
                if (!ledger.Pick(random, &reader, &generation)) {
                    continue;
                }
                const NTSTATUS status = RemoveReader(handle, reader).status;
                if (status == STATUS_SUCCESS) {
                    ledger.Removed(reader, generation);
                    ++removals;
                } else if (status != STATUS_UNSUCCESSFUL) {
                    ADD_FAILURE() << "remove: 0x" << std::hex << status;
                    ++unexpected;
                }
            } else if (choice < 19) {
                const Reply reply = Request(handle, IOCTL_BUS_GET_VERSION, nullptr, 0, 8);
                if (reply.status != STATUS_SUCCESS || reply.information != 8) {
                    ++unexpected;
                }
            } else {
                if (Request(handle, msdsc::testing::UNASSIGNED_CONTROL_CODE, nullptr, 0, 0).status !=
                    STATUS_INVALID_DEVICE_REQUEST) {
                    ++unexpected;
                }
            }
        }
    };

    std::vector<std::thread> clients;
    for (int t = 0; t < CLIENT_THREADS; ++t) {
        clients.emplace_back(client, 1000u + static_cast<unsigned>(t));
    }

    // Buses arrive and leave on this thread: an uninstall (vetoed while the bus has readers),
    // else a surprise removal that takes its readers with it.
    for (int round = 0; round < BUS_ROUNDS; ++round) {
        simk::pnp::DeviceNode* bus = simk::pnp::CreateRootDevice(Driver(), msdsc::testing::BUS_HARDWARE_ID);
        ASSERT_EQ(simk::pnp::State(bus), simk::pnp::NodeState::Started);
        const ULONG64 busHandle = BusHandleOf(bus);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        {
            // Recorded before it leaves: a reader on it may be reported gone from now on.
            std::lock_guard<std::mutex> lock(goneMutex);
            busesGone.insert(busHandle);
        }
        if (!NT_SUCCESS(simk::pnp::RemoveDevice(bus))) {
            simk::pnp::SurpriseRemoveDevice(bus);
        }
        ASSERT_EQ(simk::pnp::State(bus), simk::pnp::NodeState::Removed);
    }

    for (std::thread& thread : clients) {
        thread.join();
    }
    simk::pnp::StopWorkerThread();
    simk::pnp::RunUntilIdle();

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(adds.load(), 0);
    EXPECT_GT(removals.load(), 0);

    // The readers that exist now are exactly those the client was told of and has not lost.
    const PDEVICE_OBJECT notReaders[3] = {ControlDeviceObject(), BusObject(fixedBuses[0]), BusObject(fixedBuses[1])};
    std::set<ULONG64> present;
    for (PDEVICE_OBJECT device : simk::DevicesOfDriver(Driver())) {
        if (std::find(std::begin(notReaders), std::end(notReaders), device) == std::end(notReaders)) {
            present.insert(static_cast<const ReaderDevice*>(device->DeviceExtension)->Handle());
        }
    }
    size_t expectedPresent = 0;
    for (const auto& [address, record] : ledger.Records()) {
        if (record.ambiguous) {
            continue;
        }
        const bool busLeft = busesGone.count(record.handle.BusHandle) != 0;
        const bool shouldBeGone = record.removedByClient || busLeft;
        const bool isPresent = present.count(address) != 0;
        if (shouldBeGone) {
            // Reader halves are never given twice, so no newer reader can stand behind it.
            EXPECT_FALSE(isPresent) << (record.removedByClient ? "reader removed by the client"
                                                               : "reader of a bus that left")
                                    << " still exists";
            continue;
        }
        ++expectedPresent;
        EXPECT_TRUE(isPresent) << "reader vanished without a removal";
        if (isPresent) {
            simk::pnp::DeviceNode* node = simk::pnp::FindNodeByPdo(ReaderObject(record.handle));
            ASSERT_NE(node, nullptr) << "reader not known to Plug and Play";
            EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Started);
            EXPECT_EQ(BusHandleOf(simk::pnp::Parent(node)), record.handle.BusHandle);
            if (m_Sample != nullptr) {
                const PDEVICE_OBJECT top = simk::pnp::Pdo(node)->AttachedDevice;
                EXPECT_TRUE(top != nullptr && top->DriverObject == m_Sample) << "a reader without the sample over it";
            }
        }
    }
    EXPECT_EQ(present.size(), expectedPresent) << "readers exist that the client was never told of";
}

} // namespace
