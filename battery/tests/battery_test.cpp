// The battery against the package's sample reader driver in the simulated kernel: every scenario
// passes, and each faulty variant of the sample fails the scenario it targets, with evidence
// naming the fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "battery.h"
#include "machine.h"
#include "msdscclient.h"
#include "simkernel/pnp.h"

namespace {

using msdsc::battery::Outcome;
using msdsc::battery::Verdict;

struct BatteryRun {
    std::vector<Verdict> verdicts;

    const Verdict& Of(const std::string& name) const
    {
        const auto found = std::find_if(verdicts.begin(), verdicts.end(),
                                        [&](const Verdict& verdict) { return verdict.name == name; });
        EXPECT_NE(found, verdicts.end()) << name;
        return *found;
    }
    std::vector<std::string> Failed() const
    {
        std::vector<std::string> names;
        for (const Verdict& verdict : verdicts)
            if (verdict.outcome == Outcome::Failed)
                names.push_back(verdict.name);
        return names;
    }
    std::string Evidence(const std::string& name) const
    {
        std::string text;
        for (const std::string& line : Of(name).evidence)
            text += line + "\n";
        return text;
    }
};

// A machine with two buses and a reader driver (the sample, or one of its faulty variants), one
// client open on it, and the battery run with small counts.
BatteryRun RunBattery(const char* readerImage, const std::u16string& service, msdsc::battery::Options options = {})
{
    msdsc::machine::Machine machine;
    std::string error;
    BatteryRun run;
    if (!machine.Load(MSDSCBUS_IMAGE, &error) || !machine.InstallReaderDriver(readerImage, service, &error) ||
        !machine.CreateBuses(2, &error)) {
        ADD_FAILURE() << error;
        return run;
    }
    // A start left pending is given up on soon: the battery's evidence, not a five-second wait.
    simk::pnp::SetPendingIrpTimeout(std::chrono::milliseconds(200));
    MsdscClient* client = nullptr;
    EXPECT_EQ(MsdscOpen(&client, nullptr), 0);
    std::unique_ptr<msdsc::battery::Platform> platform = msdsc::battery::MakePlatform(nullptr, &error);
    options.stormCycles = 5;
    options.timeoutMs = 2000;
    options.ioTimeoutMs = 300;
    msdsc::battery::StopFlag stop;
    run.verdicts = msdsc::battery::Run(client, *platform, options, {}, stop);
    MsdscClose(client, nullptr);
    return run;
}

TEST(Battery, EveryScenarioPassesAgainstTheSample)
{
    const BatteryRun run = RunBattery(MSDSCSAMPLE_IMAGE, u"msdscsample");
    ASSERT_EQ(run.verdicts.size(), msdsc::battery::Scenarios().size());
    for (const Verdict& verdict : run.verdicts) {
        EXPECT_EQ(verdict.outcome, Outcome::Passed) << verdict.name << ": " << verdict.reason << "\n"
                                                    << run.Evidence(verdict.name);
    }
    const Verdict& storm = run.Of("storm");
    EXPECT_EQ(storm.storm.completed, 5u);
    EXPECT_EQ(storm.storm.nodesPresent, 0u);
    EXPECT_LE(storm.storm.medianMs, storm.storm.worstMs);
}

struct FaultCase {
    const char* fault;                // the variant's name, its service "msdscsample-<fault>"
    const char* target;               // the scenario that must catch it
    const char* named;                // what the target's evidence must say
    std::vector<std::string> failing; // every scenario it fails, the target among them
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.fault; }

class FaultyReaderDriver : public ::testing::TestWithParam<FaultCase>
{};

TEST_P(FaultyReaderDriver, FailsItsScenarioWithEvidenceNamingTheFault)
{
    const FaultCase& fault = GetParam();
    const BatteryRun run =
        RunBattery(MSDSCSAMPLE_FAULTS_IMAGE,
                   u"msdscsample-" + std::u16string(fault.fault, fault.fault + std::strlen(fault.fault)));
    EXPECT_EQ(run.Failed(), fault.failing);
    EXPECT_NE(run.Evidence(fault.target).find(fault.named), std::string::npos) << run.Evidence(fault.target);
}

INSTANTIATE_TEST_SUITE_P(
    Battery, FaultyReaderDriver,
    // A removal or a restart the driver gets wrong breaks every scenario that goes through one; a
    // start that never completes, every scenario that adds a reader.
    ::testing::Values(
        FaultCase{"leak-on-removal", "departure", "pool block(s) more after its readers left", {"departure", "storm"}},
        FaultCase{"failing-restart",
                  "disable-restart-dif",
                  "enabling reader 0 failed",
                  {"disable-restart-dif", "query-remove"}},
        FaultCase{"veto-query-remove",
                  "query-remove",
                  "with no handle open was refused: veto Device",
                  {"disable-restart-dif", "query-remove"}},
        FaultCase{"hang-after-surprise-removal", "surprise-removal", "I/O hangs", {"surprise-removal"}},
        FaultCase{"interface-left-enabled", "surprise-removal", "interface is still enabled", {"surprise-removal"}},
        FaultCase{"start-never-completes",
                  "arrival",
                  "verifier: PnpIrpNeverCompleted",
                  {"arrival", "departure", "surprise-removal", "disable-restart-dif", "query-remove", "storm"}}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        std::string name;
        for (const char* c = info.param.fault; *c; ++c)
            if (*c != '-')
                name += *c;
        return name;
    });

// Ctrl+C in the middle of the storm: the run ends there, says so, and leaves no reader behind.
TEST(Battery, AStopEndsTheRunAndRemovesEveryReaderItAdded)
{
    msdsc::machine::Machine machine;
    std::string error;
    ASSERT_TRUE(machine.Load(MSDSCBUS_IMAGE, &error) &&
                machine.InstallReaderDriver(MSDSCSAMPLE_IMAGE, u"msdscsample", &error) &&
                machine.CreateBuses(2, &error))
        << error;
    MsdscClient* client = nullptr;
    ASSERT_EQ(MsdscOpen(&client, nullptr), 0);
    std::unique_ptr<msdsc::battery::Platform> platform = msdsc::battery::MakePlatform(nullptr, &error);
    msdsc::battery::Options options;
    options.stormCycles = 1000;
    msdsc::battery::StopFlag stop;
    msdsc::battery::Observer observer;
    uint32_t lastCycle = 0;
    // Stopped with the cycle's readers added and started, the worst moment for leftovers.
    observer.cycle = [&](const Verdict&, uint32_t cycle, uint32_t) {
        lastCycle = cycle;
        if (cycle == 3)
            stop.Stop();
    };
    options.only = {"arrival", "departure", "storm"};
    const std::vector<Verdict> verdicts = msdsc::battery::Run(client, *platform, options, observer, stop);
    ASSERT_EQ(verdicts.size(), 3u);
    EXPECT_EQ(verdicts[0].outcome, Outcome::Passed);
    EXPECT_EQ(verdicts[1].outcome, Outcome::Passed) << "departure runs before the storm";
    EXPECT_EQ(verdicts[2].outcome, Outcome::Skipped);
    EXPECT_EQ(verdicts[2].reason, "stopped before it ended");
    EXPECT_EQ(lastCycle, 3u) << "a stopped storm went on cycling";

    MsdscReaderDevice devices[64];
    uint32_t count = 0;
    ASSERT_GE(MsdscListReaderDevices(devices, 64, &count, nullptr), 0);
    for (uint32_t i = 0; i < count && i < 64; ++i)
        EXPECT_FALSE(devices[i].present) << "reader " << devices[i].readerNumber << " left by the stopped battery";
    MsdscClose(client, nullptr);
}

} // namespace
