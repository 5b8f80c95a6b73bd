// Fixtures for scenario tests: the driver image loaded into a fresh simulated kernel, buses that
// Plug and Play has added and started, and a client holding the control device open. Tests drive
// the driver only through the kernel, the user-mode view and Plug and Play; driver headers are
// included for object layouts only.
#pragma once

#include <ntddk.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bus/bus_device.h"
#include "control/control_device.h"
#include "msdscnames.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/testing.h"
#include "simkernel/user.h"

#ifndef MSDSCBUS_IMAGE
#error "scenario tests are built with MSDSCBUS_IMAGE, the path of the driver image"
#endif

namespace msdsc::testing {

inline constexpr char16_t SERVICE_NAME[] = u"msdscbus";
inline constexpr char16_t CONTROL_DEVICE_NAME[] = MSDSC_UTF16(MSDSC_CONTROL_DEVICE_NAME);
inline constexpr char16_t CONTROL_LINK_NAME[] = MSDSC_UTF16(MSDSC_CONTROL_LINK_NAME);
inline constexpr char16_t CONTROL_USER_PATH[] = MSDSC_UTF16(MSDSC_CONTROL_USER_PATH);
// The hardware ID a bus instance is installed under (the driver never sees it).
inline constexpr char16_t BUS_HARDWARE_ID[] = u"Root\\MicroSDSmartCardBusTest";
// The readers' hardware ID, for which the function-driver double is installed by default.
inline constexpr char16_t READER_HARDWARE_ID[] = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);

// Installs the function-driver double for the readers, as a reader's own driver would be
// installed: without one a reader waits at problem 28, as on Windows.
inline void InstallReaderFunctionDriver(simk::pnp::ChildFunctionDriverOptions options = {})
{
    options.hardwareId = READER_HARDWARE_ID;
    simk::pnp::SetChildFunctionDriver(options);
}

// A fresh kernel with the driver image loaded. TearDown removes what Plug and Play added and checks
// that the driver is left as Windows leaves it after its last bus (loaded, with nothing but its
// control device and what its entry allocated) on every test that leaves the driver loaded.
class LoadedDriver : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        if (m_InstallReaderDriver) {
            InstallReaderFunctionDriver();
        }
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        CloseClients();
        if (m_Driver != nullptr && simk::IsDriverLoaded(m_Driver)) {
            RemoveBuses();
            ExpectLeftAsAfterTheLastBus();
        }
        UnloadSampleReaderDriver();
        // The kernel's reset frees the control device and the registry without calling
        // DriverUnload, as a restart of the machine would.
        KernelTest::TearDown();
    }

    // Windows unloads a Plug and Play driver only once it has no device object left, and the
    // control device lives as long as the driver: after the last bus the driver stays loaded with
    // the control device, its link and the pool its entry allocated, and nothing else.
    void ExpectLeftAsAfterTheLastBus()
    {
        EXPECT_EQ(simk::UnloadDriver(m_Driver), STATUS_DEVICE_BUSY) << "unloaded with its control device";
        ASSERT_TRUE(simk::IsDriverLoaded(m_Driver));
        const PDEVICE_OBJECT control = ControlDeviceObject();
        ASSERT_NE(control, nullptr) << "the control device went before the driver";
        EXPECT_EQ(m_Driver->DeviceObject, control) << "a device object outlived its bus";
        EXPECT_EQ(control->NextDevice, nullptr) << "a device object outlived its bus";
        EXPECT_EQ(simk::SymbolicLinkTarget(CONTROL_LINK_NAME), CONTROL_DEVICE_NAME);
        std::vector<unsigned long long> kept;
        for (const simk::pool::Allocation& allocation : simk::pool::Outstanding()) {
            if (allocation.owner == m_Driver) {
                kept.push_back(allocation.serial);
            }
        }
        EXPECT_EQ(kept, m_PoolAtLoad) << "pool of the driver's buses or readers outlived them";
        EXPECT_EQ(simk::registry::OpenHandleCount(m_Driver), 0u) << "a registry key of a bus or reader is still open";
    }

#ifdef MSDSCSAMPLE_IMAGE
    // The package's sample reader driver as the readers' function driver, as `pnputil /add-driver
    // msdscsample.inf /install` installs it: readers waiting at problem 28 start at once.
    PDRIVER_OBJECT InstallSampleReaderDriver()
    {
        std::string error;
        m_Sample = simk::pnp::InstallDriverImage(READER_HARDWARE_ID, MSDSCSAMPLE_IMAGE, u"msdscsample", {}, &error);
        EXPECT_NE(m_Sample, nullptr) << error;
        simk::pnp::RunUntilIdle();
        return m_Sample;
    }
#endif

    // With its readers gone the sample has no device left: its unload must find nothing of its
    // own, pool included.
    void UnloadSampleReaderDriver()
    {
        if (m_Sample == nullptr || !simk::IsDriverLoaded(m_Sample))
            return;
        simk::pnp::RunUntilIdle();
        EXPECT_EQ(m_Sample->DeviceObject, nullptr) << "a device of the sample outlived its reader";
        EXPECT_EQ(simk::pool::OutstandingCount(m_Sample), 0u) << "the sample leaks pool";
        EXPECT_EQ(simk::UnloadDriver(m_Sample), STATUS_SUCCESS);
        m_Sample = nullptr;
    }

    // A restart of the machine: a fresh kernel, the readers' driver installed again and the driver
    // loaded anew, which is the only way Windows replaces a loaded image of this driver.
    NTSTATUS Restart()
    {
        m_Buses.clear();
        m_Clients.clear();
        m_Sample = nullptr;
        simk::ResetKernel();
        if (m_InstallReaderDriver) {
            InstallReaderFunctionDriver();
        }
        return Load();
    }

    NTSTATUS Load()
    {
        const simk::LoadResult loaded = simk::LoadDriver(MSDSCBUS_IMAGE, SERVICE_NAME);
        m_Driver = loaded.driverObject;
        m_PoolAtLoad.clear();
        for (const simk::pool::Allocation& allocation : simk::pool::Outstanding()) {
            if (m_Driver != nullptr && allocation.owner == m_Driver) {
                m_PoolAtLoad.push_back(allocation.serial);
            }
        }
        EXPECT_TRUE(loaded.error.empty()) << loaded.error;
        return loaded.status;
    }

    PDRIVER_OBJECT Driver() const { return m_Driver; }

    PDEVICE_OBJECT ControlDeviceObject() const { return simk::FindDevice(CONTROL_DEVICE_NAME); }

    // The ControlDevice in the control device object's extension (layout only: read fields).
    ControlDevice* Control() const
    {
        PDEVICE_OBJECT device = ControlDeviceObject();
        return device != nullptr ? static_cast<ControlDevice*>(device->DeviceExtension) : nullptr;
    }

    // Plug and Play adds a root-enumerated bus instance: AddDevice, start, enumeration.
    simk::pnp::DeviceNode* AddBus()
    {
        simk::pnp::DeviceNode* node = simk::pnp::CreateRootDevice(m_Driver, BUS_HARDWARE_ID);
        simk::pnp::RunUntilIdle();
        m_Buses.push_back(node);
        return node;
    }

    // The bus device object (the driver's FDO) over a bus node's physical device.
    static PDEVICE_OBJECT BusFdo(simk::pnp::DeviceNode* node)
    {
        PDEVICE_OBJECT pdo = simk::pnp::Pdo(node);
        return pdo != nullptr ? pdo->AttachedDevice : nullptr;
    }

    // The BusDevice in a bus device object's extension (layout only: read fields).
    static BusDevice* Bus(simk::pnp::DeviceNode* node)
    {
        PDEVICE_OBJECT fdo = BusFdo(node);
        return fdo != nullptr ? static_cast<BusDevice*>(fdo->DeviceExtension) : nullptr;
    }

    // Opens the control device as a client does; the handle is closed at TearDown if still open.
    NTSTATUS Open(simk::user::Handle* handle)
    {
        const NTSTATUS status = simk::user::OpenDevice(CONTROL_USER_PATH, handle);
        if (NT_SUCCESS(status)) {
            m_Clients.push_back(*handle);
        }
        return status;
    }

    NTSTATUS Close(simk::user::Handle handle)
    {
        for (auto it = m_Clients.begin(); it != m_Clients.end(); ++it) {
            if (*it == handle) {
                m_Clients.erase(it);
                break;
            }
        }
        return simk::user::Close(handle);
    }

    // Closes with IRP_MJ_CLOSE alone, as Wine does.
    NTSTATUS CloseWithoutCleanup(simk::user::Handle handle)
    {
        for (auto it = m_Clients.begin(); it != m_Clients.end(); ++it) {
            if (*it == handle) {
                m_Clients.erase(it);
                break;
            }
        }
        return simk::user::CloseWithoutCleanup(handle);
    }

    // Uninstalls every bus this fixture added that is still in the tree.
    void RemoveBuses()
    {
        for (simk::pnp::DeviceNode* node : m_Buses) {
            if (simk::pnp::State(node) != simk::pnp::NodeState::Removed) {
                EXPECT_EQ(simk::pnp::RemoveDevice(node), STATUS_SUCCESS);
            }
        }
        simk::pnp::RunUntilIdle();
        m_Buses.clear();
    }

    void CloseClients()
    {
        while (!m_Clients.empty()) {
            Close(m_Clients.back());
        }
    }

    std::vector<simk::pnp::DeviceNode*> m_Buses;
    // A test of readers with no function driver clears this in its constructor.
    bool m_InstallReaderDriver = true;
    PDRIVER_OBJECT m_Sample = nullptr;

private:
    PDRIVER_OBJECT m_Driver = nullptr;
    std::vector<unsigned long long> m_PoolAtLoad; // what the driver's entry allocated
    std::vector<simk::user::Handle> m_Clients;
};

// The driver with N buses added and started by Plug and Play.
template <unsigned N>
class WithBuses : public LoadedDriver
{
protected:
    void SetUp() override
    {
        LoadedDriver::SetUp();
        for (unsigned i = 0; i < N; ++i) {
            simk::pnp::DeviceNode* node = AddBus();
            ASSERT_EQ(simk::pnp::State(node), simk::pnp::NodeState::Started) << "bus " << i;
        }
    }

    simk::pnp::DeviceNode* BusNode(unsigned index) const { return m_Buses.at(index); }
};

// N started buses and a client holding the control device open.
template <unsigned N>
class WithOpenClient : public WithBuses<N>
{
protected:
    void SetUp() override
    {
        WithBuses<N>::SetUp();
        ASSERT_EQ(this->Open(&m_Client), STATUS_SUCCESS);
    }

    simk::user::Handle m_Client = nullptr;
};

} // namespace msdsc::testing
