// The driver linked in and loaded in-process, so that its globals can be looked at: the entry's
// failure paths leave no registry, control device or unload routine behind, AddDevice registers
// buses in order, and a key collision in the registry is refused without leaving the bus.
#include <ntddk.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "bus/bus_device.h"
#include "control/control_device.h"
#include "control/control_requests.h"
#include "driver/driver_globals.h"
#include "entry/driver_entry.h"
#include "registry/bus_registry.h"
#include "simkernel/faults.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/pool.h"
#include "simkernel/testing.h"
#include "simkernel/user.h"
#include "support/driver_messages.h"

namespace {

using namespace std::chrono_literals;
using simk::test::LowerDriver;

PDRIVER_UNLOAD g_UnloadAfterEntry = nullptr;

NTSTATUS ObservedDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    const NTSTATUS status = DriverEntry(driver, registryPath);
    g_UnloadAfterEntry = driver->DriverUnload;
    return status;
}

// The driver's globals as a failed or unloaded driver must leave them.
void ExpectGlobalsCleared()
{
    EXPECT_EQ(g_BusRegistry, nullptr);
    EXPECT_EQ(g_ControlDevice, nullptr);
}

class InProcessDriverTest : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_UnloadAfterEntry = nullptr;
        m_Lower = std::make_unique<LowerDriver>(u"BusPdoDriver");
    }

    void TearDown() override
    {
        // Buses remove themselves only through Plug and Play; here they are taken down by hand.
        // The kernel then refuses the unload, as Windows does while the control device lives, so
        // the unload routine is called here as the unit it is (the globals of this in-process
        // driver outlive the kernel's reset, and the next test's entry must find them cleared).
        if (m_Driver != nullptr && simk::IsDriverLoaded(m_Driver)) {
            RemoveAllBuses();
            EXPECT_EQ(simk::UnloadDriver(m_Driver), STATUS_DEVICE_BUSY);
            EXPECT_NE(m_Driver->DeviceObject, nullptr) << "the refused unload took the control device";
            DriverUnload(m_Driver);
            ExpectGlobalsCleared();
            EXPECT_EQ(m_Driver->DeviceObject, nullptr) << "the unload routine left a device object";
            EXPECT_EQ(simk::pool::OutstandingCount(m_Driver), 0u) << "the unload routine left pool";
            EXPECT_TRUE(simk::SymbolicLinkTarget(u"\\DosDevices\\MicroSDSmartCardControl").empty());
        }
        m_Lower->JoinThreads();
        KernelTest::TearDown();
        m_Lower.reset();
    }

    NTSTATUS Load()
    {
        const simk::LoadResult loaded = simk::LoadDriverEntry(ObservedDriverEntry, u"msdscbus");
        m_Driver = loaded.driverObject;
        return loaded.status;
    }

    NTSTATUS AddBus(PDEVICE_OBJECT pdo) { return m_Driver->DriverExtension->AddDevice(m_Driver, pdo); }

    void RemoveAllBuses()
    {
        PVOID key = nullptr;
        PVOID payload = nullptr;
        while (g_BusRegistry != nullptr && g_BusRegistry->m_Buses.GetAt(0, &key, &payload) == Ok) {
            g_BusRegistry->m_Buses.Remove(key);
            static_cast<BusDevice*>(payload)->Delete();
        }
    }

    BusDevice* BusAt(LONG index)
    {
        PVOID key = nullptr;
        PVOID payload = nullptr;
        if (g_BusRegistry->m_Buses.GetAt(index, &key, &payload) != Ok) {
            return nullptr;
        }
        const ULONG64 handle = static_cast<BusDevice*>(payload)->m_Handle;
        EXPECT_EQ(key, BusRegistry::KeyOf(handle)) << "a bus's key is its handle";
        EXPECT_EQ(MsdscBusHandleTag(handle), g_BusRegistry->m_HandleTag) << "this load's tag";
        return static_cast<BusDevice*>(payload);
    }

    // How the control device answers an open, asked on another thread; STATUS_TIMEOUT when it does
    // not answer at once (its mutex is still held). A successful open is closed again.
    static NTSTATUS OpenAnswer()
    {
        auto answer = std::make_shared<std::promise<NTSTATUS>>();
        std::future<NTSTATUS> answered = answer->get_future();
        std::thread([answer] {
            simk::user::Handle handle = nullptr;
            const NTSTATUS status = simk::user::OpenDevice(u"\\\\.\\MicroSDSmartCardControl", &handle);
            if (NT_SUCCESS(status)) {
                simk::user::Close(handle);
            }
            answer->set_value(status);
        }).detach();
        return answered.wait_for(2s) == std::future_status::ready ? answered.get() : STATUS_TIMEOUT;
    }

    std::unique_ptr<LowerDriver> m_Lower;
    PDRIVER_OBJECT m_Driver = nullptr;
};

TEST_F(InProcessDriverTest, LoadBuildsTheRegistryAndControlDeviceAndUnloadReleasesThem)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(g_UnloadAfterEntry, DriverUnload);
    ASSERT_NE(g_BusRegistry, nullptr);
    ASSERT_NE(g_ControlDevice, nullptr);
    EXPECT_FALSE(g_BusRegistry->HasBus());
    EXPECT_EQ(g_BusRegistry->m_Buses.EntryPoolType(), PagedPool);
    EXPECT_EQ(g_BusRegistry->m_Buses.EntryTag(), DEVICE_LIST_ENTRY_TAG);
    simk::pool::Allocation registry{};
    ASSERT_TRUE(simk::pool::IsOutstanding(g_BusRegistry, &registry));
    EXPECT_EQ(registry.tag, simk::Tag("ansl"));
    EXPECT_EQ(registry.type, NonPagedPoolNx) << "the simulated system is Windows 10";
    EXPECT_FALSE(g_ControlDevice->m_Opened);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        EXPECT_EQ(m_Driver->MajorFunction[major], DispatchIrp) << "major function " << major;
    }
    EXPECT_EQ(m_Driver->DriverExtension->AddDevice, AddDevice);
    auto* context = static_cast<DriverObjectContext*>(IoGetDriverObjectExtension(m_Driver, DriverObjectContextId()));
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->m_DriverObject, m_Driver);
    // TearDown runs the unload routine and finds everything released and the globals cleared.
}

struct EntryFailure {
    const char* name;
    ULONG major;
    ULONG minor;
    void (*arm)();
    NTSTATUS expected;
};

class DriverEntryFailureTest : public InProcessDriverTest, public ::testing::WithParamInterface<EntryFailure>
{};

TEST_P(DriverEntryFailureTest, LeavesNoUnloadRoutineAndNoGlobals)
{
    const EntryFailure& c = GetParam();
    simk::SetOsVersion(c.major, c.minor);
    if (c.arm != nullptr) {
        c.arm();
    }
    EXPECT_EQ(Load(), c.expected);
    EXPECT_EQ(g_UnloadAfterEntry, nullptr);
    ExpectGlobalsCleared();
    simk::faults::DisarmAll();

    // The next load starts from scratch and succeeds.
    simk::SetOsVersion(10, 0);
    EXPECT_EQ(Load(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DriverEntryFailureTest,
    ::testing::Values(
        EntryFailure{"Windows4", 4, 0, nullptr, STATUS_UNSUCCESSFUL},
        EntryFailure{"Windows5_0", 5, 0, nullptr, STATUS_UNSUCCESSFUL},
        EntryFailure{"NoDriverObjectExtension", 10, 0,
                     [] {
                         simk::faults::FailNth(simk::Call::IoAllocateDriverObjectExtension, 1,
                                               STATUS_INSUFFICIENT_RESOURCES);
                     },
                     STATUS_INSUFFICIENT_RESOURCES},
        EntryFailure{"NoPoolForTheRegistry", 10, 0, [] { simk::faults::FailPoolTag(simk::Tag("ansl")); },
                     STATUS_UNSUCCESSFUL},
        EntryFailure{"ControlDeviceNotCreated", 10, 0,
                     [] { simk::faults::FailNth(simk::Call::IoCreateDevice, 1, STATUS_INSUFFICIENT_RESOURCES); },
                     STATUS_INSUFFICIENT_RESOURCES},
        EntryFailure{"SymbolicLinkNotCreated", 10, 0,
                     [] { simk::faults::FailNth(simk::Call::IoCreateSymbolicLink, 1, STATUS_OBJECT_NAME_COLLISION); },
                     STATUS_OBJECT_NAME_COLLISION}),
    [](const ::testing::TestParamInfo<EntryFailure>& info) { return std::string(info.param.name); });

TEST_F(InProcessDriverTest, BusesRegisterInTheOrderAddDeviceSawThem)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDEVICE_OBJECT first = m_Lower->CreateDevice();
    PDEVICE_OBJECT second = m_Lower->CreateDevice();

    ASSERT_EQ(AddBus(first), STATUS_SUCCESS);
    ASSERT_EQ(AddBus(second), STATUS_SUCCESS);
    ASSERT_EQ(g_BusRegistry->m_Buses.Count(), 2u);

    BusDevice* firstBus = BusAt(0);
    BusDevice* secondBus = BusAt(1);
    ASSERT_NE(firstBus, nullptr);
    ASSERT_NE(secondBus, nullptr);
    EXPECT_EQ(firstBus->m_PhysicalDeviceObject, first);
    EXPECT_EQ(firstBus->m_LowerDeviceObject, first);
    EXPECT_EQ(first->AttachedDevice, firstBus->m_DeviceObject);
    EXPECT_EQ(secondBus->m_PhysicalDeviceObject, second);
    EXPECT_EQ(static_cast<PVOID>(firstBus), firstBus->m_DeviceObject->DeviceExtension);

    // A new bus: its driver context, an empty reader list of its own, and not yet started.
    EXPECT_EQ(firstBus->m_DriverContext, IoGetDriverObjectExtension(m_Driver, DriverObjectContextId()));
    EXPECT_EQ(firstBus->m_DriverObject, m_Driver);
    EXPECT_FALSE(firstBus->m_Deleted);
    EXPECT_FALSE(firstBus->m_Started);
    EXPECT_EQ(firstBus->m_Roster.m_Readers.Count(), 0u);
    EXPECT_EQ(firstBus->m_Roster.m_Readers.EntryPoolType(), PagedPool);
    EXPECT_EQ(firstBus->m_Roster.m_Readers.EntryTag(), simk::Tag("apsl"));
}

TEST_F(InProcessDriverTest, DestroyingABusFreesItsReaderEntriesButNotTheReaders)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = m_Lower->CreateDevice();
    ASSERT_EQ(AddBus(pdo), STATUS_SUCCESS);
    BusDevice* bus = BusAt(0);
    ASSERT_NE(bus, nullptr);

    // Two stand-ins for reader devices, entered the way a reader creation enters them.
    PDEVICE_OBJECT readers[2] = {m_Lower->CreateDevice(), m_Lower->CreateDevice()};
    for (PDEVICE_OBJECT reader : readers) {
        DeviceListEntry* entry = bus->m_Roster.m_Readers.AllocateEntry();
        PVOID key = reader;
        ASSERT_EQ(bus->m_Roster.m_Readers.InsertUnique(reader->DeviceExtension, &key, entry), Ok);
    }
    const size_t entriesBefore = simk::pool::OutstandingCount(simk::Tag("apsl"));

    bool lastLeft = false;
    EXPECT_TRUE(g_BusRegistry->Unregister(bus->m_Handle, &lastLeft));
    EXPECT_TRUE(lastLeft);
    bus->Delete();
    EXPECT_EQ(simk::pool::OutstandingCount(simk::Tag("apsl")), entriesBefore - 3)
        << "the bus's registry entry and its two reader entries";
    for (PDEVICE_OBJECT reader : readers) {
        EXPECT_TRUE(simk::IsDeviceObject(reader));
        EXPECT_FALSE(simk::IsDeviceDeleted(reader));
    }
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

// The registry already holds the key the next bus will have (its handle: this load's tag and the
// next serial), so the registration collides: AddDevice fails, says so at the error level, and
// leaves neither the bus nor its entry, and the registry's lock is free again.
TEST_F(InProcessDriverTest, KeyAlreadyInTheRegistryFailsAndDeletesTheAttachedBus)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = m_Lower->CreateDevice();
    PVOID takenKey = BusRegistry::KeyOf(g_BusRegistry->HandleOf(0));
    DeviceListEntry* taken = g_BusRegistry->m_Buses.AllocateEntry();
    ASSERT_EQ(g_BusRegistry->m_Buses.InsertUnique(nullptr, &takenKey, taken), Ok);
    const simk::pool::Snapshot poolBefore;
    const size_t liveDevicesBefore = simk::LiveDeviceCount();
    const unsigned createdBefore = simk::faults::CallCount(simk::Call::IoCreateDevice);
    const size_t errorsBefore = msdsc::testing::ShownDriverErrors();

    EXPECT_EQ(AddBus(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(simk::faults::CallCount(simk::Call::IoCreateDevice), createdBefore + 1);
    EXPECT_EQ(g_BusRegistry->m_Buses.Count(), 1u);
    EXPECT_EQ(pdo->AttachedDevice, nullptr) << "the refused bus was not detached";
    EXPECT_EQ(simk::LiveDeviceCount(), liveDevicesBefore);
    EXPECT_TRUE(poolBefore.Unchanged()) << simk::pool::Describe(poolBefore.NewSince());
    EXPECT_EQ(msdsc::testing::ShownDriverErrors(), errorsBefore + 1) << "the failure is told at the error level";
    g_BusRegistry->m_Buses.Remove(takenKey);
    EXPECT_EQ(OpenAnswer(), STATUS_INVALID_DEVICE_STATE) << "no bus, and the registry's lock let go";

    // The serial the collision consumed is not given again; the next bus registers. (Its device
    // stands for a physical device object, which the session's end may have re-enumerated.)
    PDEVICE_OBJECT next = m_Lower->CreateDevice();
    next->Flags |= DO_BUS_ENUMERATED_DEVICE;
    ASSERT_EQ(AddBus(next), STATUS_SUCCESS);
    EXPECT_EQ(OpenAnswer(), STATUS_SUCCESS);
}

} // namespace
