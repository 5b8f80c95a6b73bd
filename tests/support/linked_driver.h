// Shared by the bus and reader unit tests: the driver linked into the test and loaded through the
// simulated loader on a fresh kernel, buses over a pass-through lower device or over root devices
// of the Plug and Play manager, and Plug and Play requests sent straight to a device.
#pragma once
#include <cstring>

#include <ntddk.h>
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <vector>

#include "bus/bus_device.h"
#include "control/control_device.h"
#include "control/control_requests.h"
#include "driver/driver_globals.h"
#include "entry/driver_entry.h"
#include "msdscnames.h"
#include "reader/reader_device.h"
#include "registry/device_list.h"
#include "simkernel/io.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/power.h"
#include "simkernel/testing.h"

namespace msdsc::testing {

constexpr ULONG BUS_RELATIONS_TAG = simk::Tag("msbp");
constexpr ULONG READER_REPLY_TAG = simk::Tag("mdbp");
constexpr ULONG LIST_ENTRY_TAG = simk::Tag("apsl");

// What the device under a bus was sent, as it arrived.
struct LowerRequest {
    UCHAR major;
    UCHAR minor;
    NTSTATUS statusOnArrival;
    ULONG_PTR informationOnArrival;
    bool attachedOnArrival; // a device (the bus) was still attached over the lower device
};

// The device under a bus: it succeeds the Plug and Play requests a physical device object must
// succeed, completes every other request as it came, and fails the minor functions a test names.
class PassThroughLower
{
public:
    static void Reset()
    {
        std::lock_guard<std::mutex> lock(s_Mutex);
        s_Seen.clear();
        s_PnpFailures.clear();
        s_Driver = nullptr;
    }

    static void FailPnp(UCHAR minor, NTSTATUS status)
    {
        std::lock_guard<std::mutex> lock(s_Mutex);
        s_PnpFailures[minor] = status;
    }

    static std::vector<LowerRequest> Seen()
    {
        std::lock_guard<std::mutex> lock(s_Mutex);
        return s_Seen;
    }

    // Marked bus-enumerated, so that the bus may invalidate its relations; the Plug and Play
    // manager knows no node for it and drops the queued work.
    static PDEVICE_OBJECT CreateDevice()
    {
        if (s_Driver == nullptr) {
            const simk::LoadResult loaded = simk::LoadDriverEntry(Entry, u"PassThroughLower");
            EXPECT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
            s_Driver = loaded.driverObject;
        }
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(s_Driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device), STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        device->Flags |= DO_BUS_ENUMERATED_DEVICE;
        return device;
    }

private:
    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
    {
        for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
            driver->MajorFunction[major] = Dispatch;
        }
        return STATUS_SUCCESS;
    }

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = irp->IoStatus.Status;
        {
            std::lock_guard<std::mutex> lock(s_Mutex);
            s_Seen.push_back({location->MajorFunction, location->MinorFunction, irp->IoStatus.Status,
                              irp->IoStatus.Information, device->AttachedDevice != nullptr});
            const auto failure = s_PnpFailures.find(location->MinorFunction);
            if (location->MajorFunction == IRP_MJ_PNP && failure != s_PnpFailures.end()) {
                status = failure->second;
            } else if (location->MajorFunction == IRP_MJ_PNP) {
                switch (location->MinorFunction) {
                case IRP_MN_START_DEVICE:
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                case IRP_MN_STOP_DEVICE:
                case IRP_MN_SURPRISE_REMOVAL:
                    status = STATUS_SUCCESS;
                    break;
                default:
                    break;
                }
            }
        }
        if (location->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static inline std::mutex s_Mutex;
    static inline std::vector<LowerRequest> s_Seen;
    static inline std::map<UCHAR, NTSTATUS> s_PnpFailures;
    static inline PDRIVER_OBJECT s_Driver = nullptr;
};

// How a request came back to its sender.
struct IrpOutcome {
    NTSTATUS status;   // IoStatus.Status at completion
    NTSTATUS returned; // what the dispatch routine returned
    ULONG_PTR information;
};

// Sends one IRP_MJ_PNP request to `target` itself, preset as the Plug and Play manager presets it
// unless told otherwise; `fill` sets the parameters of the location the target sees.
template <typename Fill>
IrpOutcome SendPnp(PDEVICE_OBJECT target, UCHAR minor, Fill fill, ULONG_PTR information = 0,
                   NTSTATUS initialStatus = STATUS_NOT_SUPPORTED)
{
    PIRP irp = simk::io::BuildIrp(target, IRP_MJ_PNP, minor, initialStatus);
    irp->IoStatus.Information = information;
    fill(IoGetNextIrpStackLocation(irp));
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned = STATUS_PENDING;
    simk::io::SendAndWait(target, irp, &iosb, &returned);
    IoFreeIrp(irp);
    return {iosb.Status, returned, iosb.Information};
}

inline IrpOutcome SendPnp(PDEVICE_OBJECT target, UCHAR minor)
{
    return SendPnp(target, minor, [](PIO_STACK_LOCATION) {});
}

inline IrpOutcome QueryRelations(PDEVICE_OBJECT target, DEVICE_RELATION_TYPE type, ULONG_PTR earlier = 0)
{
    return SendPnp(
        target, IRP_MN_QUERY_DEVICE_RELATIONS,
        [type](PIO_STACK_LOCATION location) { location->Parameters.QueryDeviceRelations.Type = type; }, earlier);
}

// A reply handed over in IoStatus.Information, copied and freed as the Plug and Play manager
// does once it has read it.
struct TakenReply {
    std::vector<unsigned char> bytes;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
};

inline TakenReply TakeReply(ULONG_PTR information)
{
    TakenReply reply;
    simk::pool::Allocation allocation{};
    void* block = reinterpret_cast<void*>(information);
    if (block == nullptr || !simk::pool::IsOutstanding(block, &allocation)) {
        ADD_FAILURE() << "no reply block in IoStatus.Information";
        return reply;
    }
    const auto* bytes = static_cast<const unsigned char*>(block);
    reply.bytes.assign(bytes, bytes + allocation.size);
    reply.tag = allocation.tag;
    reply.type = allocation.type;
    ExFreePoolWithTag(block, allocation.tag);
    return reply;
}

// A relations array of the test's own, as a driver above the bus would leave it in the request.
inline PDEVICE_RELATIONS EarlierRelations(const std::vector<PDEVICE_OBJECT>& objects)
{
    const size_t size = sizeof(DEVICE_RELATIONS) + objects.size() * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, simk::Tag("Test")));
    relations->Count = static_cast<ULONG>(objects.size());
    for (size_t i = 0; i < objects.size(); ++i) {
        relations->Objects[i] = objects[i];
    }
    return relations;
}

// Answers a bus-relations query as Plug and Play would, dropping the references the reply carried:
// from then on the readers listed count as known to Plug and Play, which alone deletes them.
inline std::vector<PDEVICE_OBJECT> ReportReaders(BusDevice* bus)
{
    const IrpOutcome outcome = QueryRelations(bus->m_DeviceObject, BusRelations);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    std::vector<PDEVICE_OBJECT> objects;
    const TakenReply reply = TakeReply(outcome.information);
    if (reply.bytes.size() < sizeof(DEVICE_RELATIONS)) {
        return objects;
    }
    const auto* relations = reinterpret_cast<const DEVICE_RELATIONS*>(reply.bytes.data());
    const PDEVICE_OBJECT* slots = relations->Objects;
    objects.assign(slots, slots + relations->Count);
    for (PDEVICE_OBJECT object : objects) {
        // As Plug and Play tells every child it enumerated; a second time changes nothing.
        SendPnp(object, IRP_MN_DEVICE_ENUMERATED);
        ObDereferenceObject(object);
    }
    return objects;
}

inline ReaderDevice* ReaderOf(PDEVICE_OBJECT device) { return static_cast<ReaderDevice*>(device->DeviceExtension); }

inline BusDevice* BusOver(PDEVICE_OBJECT physicalDevice)
{
    return static_cast<BusDevice*>(physicalDevice->AttachedDevice->DeviceExtension);
}

// The driver, loaded into a fresh kernel for every test. The linked-in driver's globals outlive a
// kernel reset, so they are forgotten before each load, as a fresh image would have them.
class DriverTest : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ResetDriverGlobals();
        PassThroughLower::Reset();
        // The readers' function driver, installed as on a machine that uses them (without one a
        // reader Plug and Play enumerates waits at problem 28).
        simk::pnp::ChildFunctionDriverOptions reader;
        reader.hardwareId = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);
        simk::pnp::SetChildFunctionDriver(reader);
        const simk::LoadResult loaded = simk::LoadDriverEntry(DriverEntry, u"MsdscBus");
        ASSERT_EQ(loaded.status, STATUS_SUCCESS) << loaded.error;
        m_Driver = loaded.driverObject;
    }

    void TearDown() override
    {
        KernelTest::TearDown();
        ResetDriverGlobals();
    }

    // A registered bus over a new pass-through device; started unless told otherwise.
    BusDevice* AddBus(bool start = true)
    {
        PDEVICE_OBJECT lower = PassThroughLower::CreateDevice();
        EXPECT_EQ(AddDevice(m_Driver, lower), STATUS_SUCCESS);
        BusDevice* bus = BusOver(lower);
        if (start) {
            EXPECT_EQ(SendPnp(bus->m_DeviceObject, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
        }
        return bus;
    }

    // A bus that Plug and Play added, started and enumerated over a root device of its own.
    simk::pnp::DeviceNode* AddRootBus()
    {
        simk::pnp::DeviceNode* node = simk::pnp::CreateRootDevice(m_Driver, u"MsdscTestBus");
        EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Started);
        return node;
    }

    static BusDevice* BusOf(simk::pnp::DeviceNode* node) { return BusOver(simk::pnp::Pdo(node)); }

    static ReaderDevice* CreateReader(BusDevice* bus, ReaderConfig config = {7, 8, 9})
    {
        ULONG64 handle = 0;
        if (bus->CreateReader(&config, &handle) != STATUS_SUCCESS) {
            ADD_FAILURE() << "the bus created no reader";
            return nullptr;
        }
        PVOID payload = nullptr;
        return bus->m_Roster.m_Readers.Find(ReaderKey(static_cast<ULONG>(handle)), &payload) == Ok
                   ? static_cast<ReaderDevice*>(payload)
                   : nullptr;
    }

    PDRIVER_OBJECT m_Driver = nullptr;
};

// Brings a reader into a state the way the power manager, Plug and Play or the client would: the
// reader has no other way in.
inline void DriveTo(BusDevice* bus, ReaderDevice* reader, ReaderState state)
{
    switch (state) {
    case ReaderState::Started:
        simk::power::SetDevicePower(reader->m_DeviceObject, PowerDeviceD0);
        break;
    case ReaderState::NotStarted:
        simk::power::SetDevicePower(reader->m_DeviceObject, PowerDeviceD3);
        break;
    case ReaderState::RemovePending:
        SendPnp(reader->m_DeviceObject, IRP_MN_QUERY_REMOVE_DEVICE);
        break;
    case ReaderState::Unplugged:
        // Reported first, so the client's removal leaves it waiting for Plug and Play.
        ReportReaders(bus);
        bus->RemoveReader(reader->Handle());
        break;
    case ReaderState::Deleted:
        break;
    }
    ASSERT_EQ(reader->State(), state);
}

} // namespace msdsc::testing
