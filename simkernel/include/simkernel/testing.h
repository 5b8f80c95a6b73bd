// GoogleTest support for tests on the simulated kernel: a fixture that gives every test a fresh
// kernel and fails the test for any verifier violation it did not expect.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "simkernel/kernel.h"
#include "simkernel/verifier.h"

namespace simk::testing {

class KernelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        simk::ResetKernel();
        m_Recorder = std::make_unique<simk::verifier::Recorder>();
    }

    void TearDown() override
    {
        for (const auto& v : m_Recorder->Take()) {
            ADD_FAILURE() << "unexpected verifier violation " << v.rule << ": " << v.details;
        }
        simk::ResetKernel();
        // Violations raised while the kernel was torn down (leaks reported by nothing) are not the test's.
        m_Recorder->Take();
        m_Recorder.reset();
    }

    // Violations recorded so far that no Expect captured; taking them keeps TearDown from failing.
    std::vector<simk::verifier::Violation> TakeUnexpectedViolations() { return m_Recorder->Take(); }

private:
    std::unique_ptr<simk::verifier::Recorder> m_Recorder;
};

} // namespace simk::testing

// Runs `statement` and checks that it raised at least one violation of `rule`.
#define SIMK_EXPECT_VIOLATION(rule, statement)                                        \
    do {                                                                              \
        ::simk::verifier::Expect simk_expect_(rule);                                  \
        statement;                                                                    \
        EXPECT_TRUE(simk_expect_.Seen()) << "expected verifier violation " << (rule); \
    } while (0)
