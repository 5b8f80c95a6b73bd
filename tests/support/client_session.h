// Scenario helpers for the client's view of the driver: buffered control requests as user mode
// sends them, and a fixture on top of the loaded driver that adds buses through Plug and Play (or
// registers one that never starts) and holds the control device open. The base fixture's TearDown
// closes, uninstalls and unloads, so the kernel's leak checks run at the end of every test.
#pragma once

#include <ntddk.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "msdscbus.h"
#include "reader/reader_device.h"
#include "simkernel/io.h"
#include "simkernel/lowerdriver.h"
#include "simkernel/pool.h"
#include "simkernel/power.h"
#include "simkernel/registry.h"
#include "support/driver_fixtures.h"

namespace msdsc::testing {

inline constexpr ULONG UNASSIGNED_CONTROL_CODE = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// One buffered control request as the client sees it.
struct Reply
{
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<unsigned char> bytes;  // the output buffer afterwards
};

inline Reply Request(simk::user::Handle handle, ULONG code, const void* in, ULONG inLength, ULONG outLength)
{
    Reply reply;
    reply.bytes.assign(outLength, 0xCD);
    reply.information = 0xDEAD;
    reply.status = simk::user::DeviceIoControl(handle, code, in, inLength, outLength ? reply.bytes.data() : nullptr,
                                               outLength, &reply.information);
    return reply;
}

inline Reply AddReader(simk::user::Handle handle, const ReaderConfig& config, ULONG inLength = sizeof(ReaderConfig),
                       ULONG outLength = sizeof(BusReaderHandle))
{
    std::vector<unsigned char> in(inLength, 0);
    if (inLength != 0) {
        std::memcpy(in.data(), &config, inLength < sizeof(config) ? inLength : sizeof(config));
    }
    return Request(handle, IOCTL_BUS_ADD_READER, inLength ? in.data() : nullptr, inLength, outLength);
}

inline BusReaderHandle HandleOf(const Reply& reply)
{
    BusReaderHandle handle{};
    if (reply.bytes.size() >= sizeof(handle)) {
        std::memcpy(&handle, reply.bytes.data(), sizeof(handle));
    }
    return handle;
}

inline Reply RemoveReader(simk::user::Handle handle, const BusReaderHandle& reader,
                          ULONG inLength = sizeof(BusReaderHandle))
{
    return Request(handle, IOCTL_BUS_REMOVE_READER, &reader, inLength, 0);
}

inline PDEVICE_OBJECT ReaderObject(const BusReaderHandle& handle)
{
    return reinterpret_cast<PDEVICE_OBJECT>(static_cast<ULONG_PTR>(handle.ReaderHandle));
}

// The ReaderDevice in a live reader's extension (layout only: read fields).
inline ReaderDevice* ReaderOf(const BusReaderHandle& handle)
{
    return static_cast<ReaderDevice*>(ReaderObject(handle)->DeviceExtension);
}

class ClientTest : public LoadedDriver
{
protected:
    void TearDown() override
    {
        for (PDEVICE_OBJECT fdo : std::vector<PDEVICE_OBJECT>(m_UnstartedBuses)) {
            RemoveUnstartedBus(fdo);
        }
        LoadedDriver::TearDown();
    }

    // A root-enumerated bus, added and started by Plug and Play.
    simk::pnp::DeviceNode* AddStartedBus()
    {
        simk::pnp::DeviceNode* node = AddBus();
        EXPECT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Started);
        return node;
    }

    // A bus the driver has registered but that has had no start request.
    PDEVICE_OBJECT AddUnstartedBus()
    {
        if (!m_Lower) {
            m_Lower = std::make_unique<simk::test::LowerDriver>(u"UnstartedBusPdo");
        }
        PDEVICE_OBJECT pdo = m_Lower->CreateDevice(nullptr, FILE_DEVICE_BUS_EXTENDER);
        // It stands for a bus's physical device object, which may have its relations invalidated.
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
        EXPECT_EQ(Driver()->DriverExtension->AddDevice(Driver(), pdo), STATUS_SUCCESS);
        PDEVICE_OBJECT fdo = pdo->AttachedDevice;
        m_UnstartedBuses.push_back(fdo);
        return fdo;
    }

    void RemoveUnstartedBus(PDEVICE_OBJECT fdo)
    {
        EXPECT_EQ(simk::io::Call(fdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION, PIRP) {}),
                  STATUS_SUCCESS);
        m_UnstartedBuses.erase(std::remove(m_UnstartedBuses.begin(), m_UnstartedBuses.end(), fdo),
                               m_UnstartedBuses.end());
    }

    static PDEVICE_OBJECT BusObject(simk::pnp::DeviceNode* node) { return BusFdo(node); }
    static ULONG64 BusHandleOf(simk::pnp::DeviceNode* node) { return reinterpret_cast<ULONG_PTR>(BusFdo(node)); }

    // Opens the control device as the client; the fixture closes it at the end if still open.
    simk::user::Handle Open()
    {
        simk::user::Handle handle = nullptr;
        EXPECT_EQ(LoadedDriver::Open(&handle), STATUS_SUCCESS);
        m_Handle = handle;
        return handle;
    }

    void CloseClient()
    {
        if (m_Handle != nullptr) {
            EXPECT_EQ(Close(m_Handle), STATUS_SUCCESS);
            m_Handle = nullptr;
        }
    }

    // The user uninstalls one bus; false when it was vetoed.
    bool UninstallBus(simk::pnp::DeviceNode* node)
    {
        if (!NT_SUCCESS(simk::pnp::RemoveDevice(node))) {
            return false;
        }
        m_Buses.erase(std::remove(m_Buses.begin(), m_Buses.end(), node), m_Buses.end());
        return true;
    }

    // What a user does before the driver can go: close the client, let Plug and Play remove every
    // reader, uninstall every bus; then unload, which runs the kernel's leak checks.
    void UnloadEverything()
    {
        CloseClient();
        simk::pnp::RunUntilIdle();
        for (PDEVICE_OBJECT fdo : std::vector<PDEVICE_OBJECT>(m_UnstartedBuses)) {
            RemoveUnstartedBus(fdo);
        }
        RemoveBuses();
        EXPECT_EQ(simk::UnloadDriver(Driver()), STATUS_SUCCESS);
    }

    simk::user::Handle m_Handle = nullptr;
    std::vector<PDEVICE_OBJECT> m_UnstartedBuses;
    std::unique_ptr<simk::test::LowerDriver> m_Lower;
};

} // namespace msdsc::testing
