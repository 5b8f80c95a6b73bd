// Runs the C program of reader_session.c on a simulated machine: the driver image loaded and two
// bus devices started, the reader function driver's stand-in over every reader. The program itself
// sees only msdscclient.h and libmsdscclient.so.
#include <gtest/gtest.h>

#include "reader_session.h"
#include "simkernel/kernel.h"
#include "simkernel/loader.h"
#include "simkernel/pnp.h"
#include "simkernel/pool.h"

namespace {

simk::pnp::DeviceNode* g_PulledBus = nullptr;

void PullBus() {
    simk::pnp::SurpriseRemoveDevice(g_PulledBus);
    simk::pnp::RunUntilIdle();
}

TEST(CProgram, AddsListsAndRemovesReadersThroughTheShippedLibrary) {
    simk::Kernel kernel;
    simk::pnp::ChildFunctionDriverOptions reader;
    reader.hardwareId = u"MicroSDSmartCardBus\\MicroSDSmartCardReader";
    simk::pnp::SetChildFunctionDriver(reader);
    const simk::LoadResult load = simk::LoadDriver(MSDSCBUS_IMAGE, u"msdscbus");
    ASSERT_NE(load.driverObject, nullptr) << load.error;
    simk::pnp::DeviceNode* buses[2];
    for (auto& bus : buses) {
        bus = simk::pnp::CreateRootDevice(load.driverObject, u"Root\\MicroSDSmartCardBus");
        simk::pnp::RunUntilIdle();
        ASSERT_EQ(simk::pnp::State(bus), simk::pnp::NodeState::Started);
    }
    const size_t poolBefore = simk::pool::OutstandingCount(load.driverObject);

    char transcript[4096];
    const char* failed = RunReaderSession(transcript, sizeof(transcript));
    EXPECT_EQ(failed, nullptr) << "the C program's check '" << failed << "' failed:\n" << transcript;

    simk::pnp::RunUntilIdle();
    for (simk::pnp::DeviceNode* bus : buses) EXPECT_TRUE(simk::pnp::Children(bus).empty());
    EXPECT_EQ(simk::pool::OutstandingCount(load.driverObject), poolBefore);
}

}  // namespace

namespace {

TEST(CProgram, EveryAddAfterABusIsPulledWaitsForItsOwnReader) {
    simk::Kernel kernel;
    simk::pnp::ChildFunctionDriverOptions reader;
    reader.hardwareId = u"MicroSDSmartCardBus\\MicroSDSmartCardReader";
    simk::pnp::SetChildFunctionDriver(reader);
    const simk::LoadResult load = simk::LoadDriver(MSDSCBUS_IMAGE, u"msdscbus");
    ASSERT_NE(load.driverObject, nullptr) << load.error;
    simk::pnp::DeviceNode* buses[2];
    for (auto& bus : buses) {
        bus = simk::pnp::CreateRootDevice(load.driverObject, u"Root\\MicroSDSmartCardBus");
        simk::pnp::RunUntilIdle();
        ASSERT_EQ(simk::pnp::State(bus), simk::pnp::NodeState::Started);
    }
    // The first bus: the round-robin puts readers 0 and 2 on it, so the numbers after the pull
    // are out of step with any count of the nodes.
    g_PulledBus = buses[0];
    char transcript[4096];
    const char* failed = RunPulledBusSession(transcript, sizeof(transcript), PullBus);
    EXPECT_EQ(failed, nullptr) << "the C program's check '" << failed << "' failed:\n" << transcript;
}

}  // namespace
