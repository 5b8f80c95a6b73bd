// A loaded driver image in a fresh simulated kernel, with helpers to add bus devices the way Plug
// and Play does and to look at what it then sees, for the client library's tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control_client.h"
#include "msdscnames.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/testing.h"

namespace msdsc::testing {

inline constexpr char16_t BUS_HARDWARE_ID[] = u"Root\\MicroSDSmartCardBus";

class LoadedDriverTest : public simk::testing::KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        // The readers' function driver, as installed on a machine that uses them.
        simk::pnp::ChildFunctionDriverOptions reader;
        reader.hardwareId = MSDSC_UTF16(MSDSC_READER_HARDWARE_ID);
        simk::pnp::SetChildFunctionDriver(reader);
        const simk::LoadResult result = simk::LoadDriver(MSDSCBUS_IMAGE, u"msdscbus");
        ASSERT_NE(result.driverObject, nullptr) << result.error;
        m_Driver = result.driverObject;
    }

    // A root bus device through the Plug and Play manager: AddDevice, start, first enumeration.
    simk::pnp::DeviceNode* AddStartedBus()
    {
        simk::pnp::DeviceNode* bus = simk::pnp::CreateRootDevice(m_Driver, BUS_HARDWARE_ID);
        simk::pnp::RunUntilIdle();
        EXPECT_EQ(simk::pnp::State(bus), simk::pnp::NodeState::Started);
        return bus;
    }

    // The device node a handle names: its reader half is the reader's instance ID.
    // The reader's device node, found as a test engineer finds it: by its hardware ID and its
    // instance ID, the number in the handle's reader half.
    static simk::pnp::DeviceNode* ReaderNode(const BusReaderHandle& handle)
    {
        const std::u16string number = simk::Widen(std::to_string(MsdscReaderHandleNumber(handle.ReaderHandle)));
        for (simk::pnp::DeviceNode* bus : simk::pnp::RootDevices()) {
            for (simk::pnp::DeviceNode* node : simk::pnp::Children(bus)) {
                const simk::pnp::NodeInfo info = simk::pnp::Info(node);
                if (info.deviceId == MSDSC_UTF16(MSDSC_READER_HARDWARE_ID) && info.instanceId == number)
                    return node;
            }
        }
        return nullptr;
    }

    static std::vector<simk::pnp::DeviceNode*> Readers(simk::pnp::DeviceNode* bus) { return simk::pnp::Children(bus); }

    static std::optional<ULONG> ReaderValue(simk::pnp::DeviceNode* reader, const char* name)
    {
        return simk::registry::QueryDword(simk::pnp::HardwareKeyPath(reader), simk::Widen(name));
    }

    PDRIVER_OBJECT m_Driver = nullptr;
};

} // namespace msdsc::testing
