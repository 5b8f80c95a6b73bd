// A test on the simulated machine: the driver image the test target names in MSDSCBUS_IMAGE loaded
// and two buses started before the body, and every verifier violation of the run a failure after it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "machine.h"

namespace msdsc::machine {

class MachineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_Machine.Load(MSDSCBUS_IMAGE, &error)) << error;
        ASSERT_TRUE(m_Machine.CreateBuses(2, &error)) << error;
    }

    void TearDown() override
    {
        for (const std::string& violation : m_Machine.Violations())
            ADD_FAILURE() << "verifier: " << violation;
    }

    Machine m_Machine;
};

} // namespace msdsc::machine
