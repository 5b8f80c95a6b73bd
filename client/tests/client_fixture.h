// A loaded driver image in a fresh simulated kernel, with helpers to add bus devices the way Plug
// and Play does and to look at what it then sees, for the client library's tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control_client.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"
#include "simkernel/registry.h"
#include "simkernel/testing.h"

namespace msdsc::testing {

inline constexpr char16_t BUS_HARDWARE_ID[] = u"Root\\MicroSDSmartCardBus";

class LoadedDriverTest : public simk::testing::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        const simk::LoadResult result = simk::LoadDriver(MSDSCBUS_IMAGE, u"msdscbus");
        ASSERT_NE(result.driverObject, nullptr) << result.error;
        m_Driver = result.driverObject;
    }

    // A root bus device through the Plug and Play manager: AddDevice, start, first enumeration.
    simk::pnp::DeviceNode* AddStartedBus() {
        simk::pnp::DeviceNode* bus = simk::pnp::CreateRootDevice(m_Driver, BUS_HARDWARE_ID);
        simk::pnp::RunUntilIdle();
        EXPECT_EQ(simk::pnp::State(bus), simk::pnp::NodeState::Started);
        return bus;
    }

    // The bus's own device object: the handle's first half names it.
    static ULONG64 BusKey(simk::pnp::DeviceNode* bus) {
        return reinterpret_cast<ULONG64>(simk::pnp::Pdo(bus)->AttachedDevice);
    }

    static std::vector<simk::pnp::DeviceNode*> Readers(simk::pnp::DeviceNode* bus) {
        return simk::pnp::Children(bus);
    }

    static std::optional<ULONG> ReaderValue(simk::pnp::DeviceNode* reader, const char* name) {
        return simk::registry::QueryDword(simk::pnp::HardwareKeyPath(reader), simk::Widen(name));
    }

    PDRIVER_OBJECT m_Driver = nullptr;
};

}  // namespace msdsc::testing
