// Runs the C program of reader_session.c on a simulated machine: the driver image loaded and two
// bus devices started, the reader function driver's stand-in over every reader. The program itself
// sees only msdscclient.h and libmsdscclient.so.
#include <gtest/gtest.h>

#include "battery_rig.h"
#include "machine_test.h"
#include "reader_session.h"
#include "simkernel/pnp.h"

namespace {

simk::pnp::DeviceNode* g_PulledBus = nullptr;

void PullBus()
{
    simk::pnp::SurpriseRemoveDevice(g_PulledBus);
    simk::pnp::RunUntilIdle();
}

class CProgram : public msdsc::machine::MachineTest
{};

TEST_F(CProgram, AddsListsAndRemovesReadersThroughTheShippedLibrary)
{
    const size_t poolBefore = m_Machine.DriverPoolBlocks();

    char transcript[4096];
    const char* failed = RunReaderSession(transcript, sizeof(transcript));
    EXPECT_EQ(failed, nullptr) << "the C program's check '" << failed << "' failed:\n" << transcript;

    m_Machine.Settle();
    for (simk::pnp::DeviceNode* bus : m_Machine.Buses())
        EXPECT_TRUE(simk::pnp::Children(bus).empty());
    EXPECT_EQ(m_Machine.DriverPoolBlocks(), poolBefore);
}

TEST_F(CProgram, EveryAddAfterABusIsPulledWaitsForItsOwnReader)
{
    // The first bus: the round-robin puts readers 0 and 2 on it, so the numbers after the pull
    // are out of step with any count of the nodes.
    g_PulledBus = m_Machine.Buses()[0];
    char transcript[4096];
    const char* failed = RunPulledBusSession(transcript, sizeof(transcript), PullBus);
    EXPECT_EQ(failed, nullptr) << "the C program's check '" << failed << "' failed:\n" << transcript;
}

// The battery from C, over the reader driver's stand-in, which registers no device interface: the
// scenario that needs one says so and is skipped, every other one passes, and the run's status
// counts no failure.
TEST_F(CProgram, RunsTheBatteryThroughTheShippedHeaders)
{
    char transcript[4096];
    BatteryRigResult result{};
    const char* failed = RunBatteryRig(transcript, sizeof(transcript), &result);
    ASSERT_EQ(failed, nullptr) << "the rig's check '" << failed << "' failed:\n" << transcript;
    EXPECT_EQ(result.status, 0) << transcript;
    EXPECT_EQ(result.failed, 0u) << transcript;
    EXPECT_EQ(result.ended, 6u) << transcript;
    EXPECT_EQ(result.skipped, 1u) << transcript;
    EXPECT_EQ(result.cycles, 3u);
    EXPECT_NE(std::string(transcript)
                  .find("3 surprise-removal skipped: the function driver has no enabled device "
                        "interface"),
              std::string::npos)
        << transcript;
}

} // namespace
