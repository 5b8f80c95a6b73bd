// The problem-code advice the tools and the Python package show: which codes a wait can outlast and
// what each other one tells the user to do.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <string>

#include "msdscclient.h"
#include "msdscnames.h"

using ::testing::HasSubstr;

namespace {

struct Advice {
    std::string text;
    uint32_t waitHelps;
};

Advice AdviceFor(MsdscDeviceKind kind, uint32_t problem)
{
    uint32_t waitHelps = 7;
    const char* text = MsdscProblemAdvice(kind, problem, &waitHelps);
    EXPECT_NE(text, nullptr);
    return {text ? text : "", waitHelps};
}

TEST(ProblemAdvice, OnlyInstallingStatesAreWaitedFor)
{
    for (const MsdscDeviceKind kind : {MsdscDeviceBus, MsdscDeviceReader}) {
        EXPECT_EQ(AdviceFor(kind, 0).waitHelps, 1u);
        EXPECT_EQ(AdviceFor(kind, 0).text, "");
        for (const uint32_t installing : {1u, 18u}) {
            const Advice advice = AdviceFor(kind, installing);
            EXPECT_EQ(advice.waitHelps, 1u) << installing;
            EXPECT_THAT(advice.text, HasSubstr("installing")) << installing;
        }
        // Each stays until someone acts; an unknown code too, so a wait never outlasts a code the
        // table has not met.
        for (const uint32_t final : {28u, 31u, 10u, 39u, 52u, 22u, 43u}) {
            const Advice advice = AdviceFor(kind, final);
            EXPECT_EQ(advice.waitHelps, 0u) << final;
            EXPECT_FALSE(advice.text.empty()) << final;
            if (final != 43)
                EXPECT_THAT(advice.text, HasSubstr("(code " + std::to_string(final) + ")"));
        }
    }
    EXPECT_EQ(MsdscProblemAdvice(MsdscDeviceReader, 28, nullptr), AdviceFor(MsdscDeviceReader, 28).text);
}

TEST(ProblemAdvice, SaysWhatToDoForTheBusAndForAReader)
{
    // A reader without a function driver: the sample is the way to start it today.
    EXPECT_THAT(AdviceFor(MsdscDeviceReader, 28).text, HasSubstr("pnputil /add-driver msdscsample.inf /install"));
    EXPECT_THAT(AdviceFor(MsdscDeviceReader, 28).text, HasSubstr(MSDSC_READER_HARDWARE_ID));
    EXPECT_THAT(AdviceFor(MsdscDeviceBus, 28).text, HasSubstr("msdscctl install"));
    // An untrusted signature: both halves of the cure.
    for (const MsdscDeviceKind kind : {MsdscDeviceBus, MsdscDeviceReader}) {
        EXPECT_THAT(AdviceFor(kind, 52).text, HasSubstr("bcdedit /set testsigning on"));
        EXPECT_THAT(AdviceFor(kind, 52).text, HasSubstr("certificate"));
        EXPECT_THAT(AdviceFor(kind, 22).text, HasSubstr("pnputil /enable-device"));
    }
    EXPECT_THAT(AdviceFor(MsdscDeviceBus, 52).text, HasSubstr("trust-test-certificate.cmd"));
    EXPECT_THAT(AdviceFor(MsdscDeviceBus, 10).text, HasSubstr("setupapi.dev.log"));
    EXPECT_THAT(AdviceFor(MsdscDeviceBus, 31).text, HasSubstr("msdscbus.sys"));
    EXPECT_THAT(AdviceFor(MsdscDeviceReader, 10).text, HasSubstr("REG_DWORD"));
}

} // namespace
